"""Ctrl-C while a call blocks on a FIFO that the other side never serves.

The child process makes the call; this process holds the other end of the
FIFO open for the whole test, so nothing but the signal can end the call.
The call must end with the KeyboardInterrupt of the first signal alone: no
chained exception, no SystemError, and no last write-out that blocks again
on the full pipe.
"""

import os
import select
import signal
import subprocess
import sys
import textwrap
import time
from collections.abc import Callable
from pathlib import Path

import pytest

# How long the call may take to end after Ctrl-C; the other end of the FIFO
# stays open longer, so only the signal can end it in time.
ENDED_WITHIN = 5
# Time for the child to start and reach its blocking call on a loaded machine.
BLOCKED_WITHIN = 60

CHILD = """
    import signal
    import sys
    import _quillon_backend
    from _quillon_backend import SalvageReader, open, salvage_file

    def raising(signum, frame):
        raise KeyboardInterrupt("handler")

    handler = {handler}
    signal.signal(signal.SIGINT, handler)
    fifo, data, out = sys.argv[1:]
    print("ready", flush=True)
    try:
        {call}
    except KeyboardInterrupt as e:
        print(repr(e), repr(e.__context__), repr(e.__cause__), flush=True)
        sys.exit(3)
    print("returned", flush=True)
"""

HANDLERS = {
    "default handler": ("signal.default_int_handler", "KeyboardInterrupt()"),
    "raising handler": ("raising", "KeyboardInterrupt('handler')"),
}

# Writes block once the pipe is full: 400 kB of output, and 100,000
# quarantined rows (no row has the two columns asked for).
WRITES = {
    "output": ("salvage_file(data, fifo)", b"a,b\n" * 100_000),
    "quarantine": (
        "salvage_file(data, out, fifo, expected_columns=2, fill_ragged_rows=False)",
        b"a\n" * 100_000,
    ),
}

READS = ["salvage_file(fifo, out)", "open(fifo)", "SalvageReader(fifo)"]


def blocked(pid: int) -> bool:
    """Whether the process sleeps in the kernel, as a blocked read or write does."""
    stat = Path(f"/proc/{pid}/stat").read_text()
    return stat[stat.rindex(")") + 2] == "S"


def interrupt_blocked_child(
    tmp_path: Path, handler: str, call: str, data: bytes, hold: Callable[[str], int]
) -> None:
    fifo = os.fspath(tmp_path / "fifo")
    os.mkfifo(fifo)
    source = tmp_path / "data.csv"
    source.write_bytes(data)
    handler_name, expected = HANDLERS[handler]
    program = textwrap.dedent(CHILD).format(handler=handler_name, call=call)
    held = hold(fifo)
    child = subprocess.Popen(
        [sys.executable, "-c", program, fifo, os.fspath(source), os.fspath(tmp_path / "out.csv")],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "ready\n"
        deadline = time.monotonic() + BLOCKED_WITHIN
        while child.poll() is None and not blocked(child.pid):
            assert time.monotonic() < deadline, "the call never blocked"
            time.sleep(0.05)
        assert child.poll() is None, child.stdout.read()
        # Once asleep it stays asleep; the margin only covers a child that
        # was caught between two writes.
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        # The child reports as soon as the call has ended; its exit may take
        # longer (a sanitizer build).
        ended, _, _ = select.select([child.stdout], [], [], ENDED_WITHIN)
        assert ended, "the call went on blocking after Ctrl-C"
        assert child.stdout.readline() == f"{expected} None None\n"
        assert child.wait(timeout=BLOCKED_WITHIN) == 3
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()
        os.close(held)


@pytest.mark.parametrize("handler", HANDLERS)
@pytest.mark.parametrize("target", WRITES)
def test_ctrl_c_ends_a_write_that_blocks(tmp_path, handler, target):
    call, data = WRITES[target]

    def reader_that_never_reads(fifo: str) -> int:
        return os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)

    interrupt_blocked_child(tmp_path, handler, call, data, reader_that_never_reads)


@pytest.mark.parametrize("handler", HANDLERS)
@pytest.mark.parametrize("call", READS)
def test_ctrl_c_ends_a_read_that_blocks(tmp_path, handler, call):
    def writer_that_never_writes(fifo: str) -> int:
        # Opening both ends at once needs no partner and keeps a writer.
        return os.open(fifo, os.O_RDWR)

    interrupt_blocked_child(tmp_path, handler, call, b"", writer_that_never_writes)
