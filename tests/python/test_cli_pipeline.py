"""quillon salvage in pipelines: stdin and stdout, compressed input, many
files, quarantine limits, the report file, the progress bar and Ctrl-C."""

import bz2
import contextlib
import fcntl
import gzip
import json
import lzma
import os
import pty
import select
import signal
import struct
import subprocess
import sys
import termios
import time
import zlib
from pathlib import Path

import pytest
import zstandard

import quillon

from test_cli import summary_table

HEADER = b"id,name,amount\n"
# The header and ten records: eight that fit, one short and one long
# (quarantined with --no-fill --no-merge).
DATA = HEADER + b"".join(b"%d,name %d,%d.5\n" % (i, i, i) for i in range(8)) + b"8,short\n9,a,b,c\n"
STRICT = ["--no-fill", "--no-merge"]

COMPRESSORS = {
    "gzip": gzip.compress,
    "bzip2": bz2.compress,
    "xz": lzma.compress,
    "zstd": lambda data: zstandard.ZstdCompressor().compress(data),
    # Two members one after the other, as `cat a.gz b.gz` makes them.
    "gzip members": lambda data: gzip.compress(data[:40]) + gzip.compress(data[40:]),
}


def run(cwd: Path, *args: str, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [sys.executable, "-m", "quillon", "salvage", *args],
        cwd=cwd, input=stdin, capture_output=True, timeout=120,
    )


@pytest.fixture
def plain(tmp_path: Path) -> bytes:
    """The clean file of DATA, from the plain file."""
    (tmp_path / "in.csv").write_bytes(DATA)
    result = run(tmp_path, "in.csv", "plain.csv", *STRICT)
    assert result.returncode == 0, result.stderr
    return (tmp_path / "plain.csv").read_bytes()


def test_dash_reads_stdin_and_writes_the_clean_file_alone_to_stdout(tmp_path: Path, plain: bytes) -> None:
    result = run(tmp_path, "-", "-", *STRICT, stdin=DATA)
    assert result.returncode == 0, result.stderr
    assert result.stdout == plain
    table = summary_table(result.stderr.decode())
    assert (table["input"], table["rows quarantined"]) == ("standard input", "2")
    assert table["clean file"] == "standard output (comma-delimited)"
    as_json = run(tmp_path, "in.csv", "-", "--json", *STRICT)
    assert as_json.stdout == plain
    assert json.loads(as_json.stderr)["quarantined_rows"] == 2


@pytest.mark.parametrize("kind", [*COMPRESSORS, "plain"])
@pytest.mark.parametrize("via", ["file", "stdin", "pipe"])
def test_compressed_input_gives_the_plain_files_output(tmp_path: Path, plain: bytes, kind: str, via: str) -> None:
    packed = DATA if kind == "plain" else COMPRESSORS[kind](DATA)
    (tmp_path / "in.csv.z").write_bytes(packed)
    rest = ["out.csv", "--quarantine", "q.csv", *STRICT]
    if via == "pipe":  # a path that can be read only once: /dev/fd/N
        command = " ".join([sys.executable, "-m", "quillon", "salvage", "<(cat in.csv.z)", *rest])
        result = subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True, timeout=120)
    else:
        result = run(tmp_path, "-" if via == "stdin" else "in.csv.z", *rest, stdin=packed)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.csv").read_bytes() == plain
    assert len((tmp_path / "q.csv").read_bytes().splitlines()) == 3
    if via == "file" and kind != "plain":
        assert summary_table(result.stdout.decode())["input"] == f"in.csv.z ({kind.split()[0]})"


def test_misnamed_compressed_input_is_an_error(tmp_path: Path) -> None:
    (tmp_path / "in.csv.gz").write_bytes(DATA)
    result = run(tmp_path, "in.csv.gz", "out.csv")
    assert result.returncode == 1
    assert b"not gzip data, though the name says so" in result.stderr
    assert not (tmp_path / "out.csv").exists()


# Cut-off compressed input keeps what decompressed, says so, and exits 1
# after writing the files.
@pytest.mark.parametrize(
    ("name", "content", "kept", "message"),
    [
        ("in.csv.gz", gzip.compress(DATA)[:-12], zlib.decompressobj(wbits=31).decompress(gzip.compress(DATA)[:-12]),
         "truncated: its gzip data ends after"),
        ("in.csv.xz", lzma.compress(DATA)[:30], b"", "truncated: its xz data ends after 0"),
    ],
)
def test_cut_off_compressed_input_keeps_what_decompressed(tmp_path: Path, name, content, kept, message) -> None:
    assert kept != DATA
    (tmp_path / name).write_bytes(content)
    result = run(tmp_path, name, "out.csv")
    assert result.returncode == 1
    assert message.encode() in result.stderr
    assert b"Traceback" not in result.stderr
    expected = tmp_path / "expected.csv"
    quillon.salvage(kept, expected)
    assert (tmp_path / "out.csv").read_bytes() == expected.read_bytes()


def make_tree(root: Path) -> None:
    (root / "exports" / "2025").mkdir(parents=True)
    (root / "exports" / "a.csv").write_bytes(DATA)
    (root / "exports" / "2025" / "a.csv.gz").write_bytes(gzip.compress(DATA))
    (root / "exports" / "notes.txt").write_bytes(b"not a table")
    # A directory entry that cannot be read whoever runs the test.
    (root / "exports" / "broken.csv").symlink_to("nowhere.csv")
    (root / "b.tsv").write_bytes(DATA.replace(b",", b"\t"))


def test_many_inputs_each_with_its_line_and_the_worst_status(tmp_path: Path, plain: bytes) -> None:
    make_tree(tmp_path)
    result = run(tmp_path, "--out-dir", "clean", "--quarantine-dir", "rejected", "--jobs", "2",
                 "exports", "*.tsv", "none-*.csv", *STRICT)
    assert result.returncode == 1
    written = sorted(str(p.relative_to(tmp_path / "clean")) for p in (tmp_path / "clean").rglob("*.*"))
    assert written == ["2025/a.csv", "a.csv", "b.tsv"]
    assert (tmp_path / "clean" / "2025" / "a.csv").read_bytes() == plain
    assert (tmp_path / "rejected" / "2025" / "a.csv").exists()
    lines = result.stdout.decode().splitlines()
    assert sorted(line.split(" -> ")[0] for line in lines[:-1]) == ["b.tsv", "exports/2025/a.csv.gz", "exports/a.csv"]
    assert lines[-1].startswith("5 files: 3 salvaged, 2 failed; 33 rows read, 27 kept, 6 quarantined")
    errors = result.stderr.decode().splitlines()
    assert sorted(errors) == [
        "quillon: error: exports/broken.csv: No such file or directory",
        "quillon: error: none-*.csv: no file matches this pattern",
    ]


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads a file of mode 000")
def test_a_file_without_read_permission_does_not_stop_the_others(tmp_path: Path) -> None:
    for name in ("a.csv", "b.csv", "c.csv"):
        (tmp_path / name).write_bytes(DATA)
    (tmp_path / "b.csv").chmod(0)
    result = run(tmp_path, "--out-dir", "clean", "a.csv", "b.csv", "c.csv")
    assert result.returncode == 1
    assert result.stderr.decode() == "quillon: error: b.csv: Permission denied\n"
    assert sorted(p.name for p in (tmp_path / "clean").iterdir()) == ["a.csv", "c.csv"]


@pytest.mark.parametrize(
    ("args", "status", "fragment"),
    [
        (["in.csv", "out.csv", "--jobs", "2"], 2, "--jobs needs --out-dir"),
        (["in.csv", "out.csv", "--quarantine-dir", "q"], 2, "--quarantine-dir needs --out-dir"),
        (["in.csv", "out.csv", "--format", "parquet"], 2, "--format needs --out-dir"),
        (["--out-dir", "o", "in.csv", "--jobs", "0"], 2, "argument --jobs: must be at least 1"),
        (["--out-dir", "o", "in.csv", "--quarantine", "q.csv"], 2, "use --quarantine-dir"),
        (["--out-dir", "o", "--quarantine-dir", "o", "in.csv"], 2, "must differ from the output directory"),
        (["--out-dir", "o", "in.csv", "./in.csv"], 2, "would both be written to"),
        (["--out-dir", ".", "in.csv"], 2, "would replace it"),
        (["--out-dir", "o", "-"], 2, "standard input ('-') cannot be one of many inputs"),
        (["--out-dir", "o"], 2, "the following arguments are required: INPUT"),
        (["in.csv", "a", "b"], 2, "give --out-dir DIR to salvage several files"),
        (["in.csv", "out.csv", "--max-quarantined", "-1"], 2, "expected a number of records or a percentage"),
        (["in.csv", "out.csv", "--max-quarantined", "101%"], 2, "expected a number of records or a percentage"),
        (["--basic", "-", "out.csv"], 2, "'-' needs the adaptive salvage"),
        (["--basic", "--out-dir", "o", "in.csv"], 2, "--out-dir needs the adaptive salvage"),
        (["--basic", "in.csv.gz", "out.csv"], 2, "gzip input needs the adaptive salvage"),
        (["--basic", "in.csv", "out.parquet"], 2, "a Parquet or Arrow output needs the adaptive salvage"),
        (["in.csv", "out.feather", "--output-delimiter", ";"], 2, "output_delimiter applies to CSV output"),
        (["in.csv", "-", "--quarantine", "-"], 2, "the quarantine cannot go to standard output"),
    ],
)
def test_usage_errors(tmp_path: Path, args: list[str], status: int, fragment: str) -> None:
    (tmp_path / "in.csv").write_bytes(DATA)
    (tmp_path / "in.csv.gz").write_bytes(gzip.compress(DATA))
    result = run(tmp_path, *args)
    assert result.returncode == status
    assert result.stdout == b""
    assert fragment.encode() in result.stderr
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize(
    ("limit", "status"),
    # 2 of 11 records (the header is one) are quarantined: 18.2%.
    [(["--max-quarantined", "2"], 0), (["--max-quarantined", "1"], 3), (["--max-quarantined", "18.2%"], 0),
     (["--max-quarantined", "18.1%"], 3), (["--fail-on-quarantine"], 3), ([], 0)],
)
def test_quarantine_limit_sets_the_exit_status(tmp_path: Path, limit: list[str], status: int) -> None:
    (tmp_path / "in.csv").write_bytes(DATA)
    assert run(tmp_path, "in.csv", "out.csv", *STRICT, *limit).returncode == status
    many = run(tmp_path, "--out-dir", "o", "in.csv", *STRICT, *limit)
    assert many.returncode == status
    assert many.stdout.decode().endswith(" s\n")
    assert ("over the quarantine limit" in many.stdout.decode()) == (status == 3)


def test_report_file_per_file_and_totals(tmp_path: Path) -> None:
    make_tree(tmp_path)
    result = run(tmp_path, "--out-dir", "clean", "--report", "run.json", "--max-quarantined", "0",
                 "--quiet", "exports", *STRICT)
    assert (result.returncode, result.stdout) == (1, b"")
    report = json.loads((tmp_path / "run.json").read_text(encoding="utf-8"))
    assert (report["report_version"], report["exit_status"]) == (1, 1)
    files = {entry["input"]: entry for entry in report["files"]}
    assert [entry["status"] for entry in report["files"]] == ["over_limit", "over_limit", "failed"]
    packed = files["exports/2025/a.csv.gz"]
    assert (packed["compression"], packed["output"], packed["bytes"]) == ("gzip", "clean/2025/a.csv", len(DATA))
    assert packed["rows"] == {"total": 11, "kept": 9, "repaired": 0, "quarantined": 2, "rejected": 2, "structure": 0}
    assert (packed["rejects"]["too_few_columns"], packed["format"]["delimiter"]) == (1, ",")
    assert files["exports/broken.csv"]["error"] == "No such file or directory"
    assert set(files["exports/broken.csv"]) == set(packed)
    totals = report["totals"]
    assert (totals["files"], totals["over_limit"], totals["failed"]) == (3, 2, 1)
    assert totals["rows"]["total"] == 22 and totals["rejects"]["extra_columns"] == 2


def test_options_after_the_paths_and_the_single_file_report(tmp_path: Path) -> None:
    (tmp_path / "in.csv").write_bytes(DATA)
    result = run(tmp_path, "in.csv", "--no-fill", "out.csv", "--report", "one.json", "--no-merge")
    assert result.returncode == 0, result.stderr
    (entry,) = json.loads((tmp_path / "one.json").read_text(encoding="utf-8"))["files"]
    assert (entry["status"], entry["rows"]["quarantined"]) == ("salvaged", 2)


def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path: Path) -> None:
    (tmp_path / "in.csv").write_bytes(HEADER + b"1,x,2\n" * 400_000)
    shell = f"{sys.executable} -m quillon salvage in.csv - | head -c 10 > /dev/null; echo ${{PIPESTATUS[0]}}"
    result = subprocess.run(["bash", "-c", shell], cwd=tmp_path, capture_output=True, timeout=120)
    assert result.stdout == b"141\n"
    assert b"Traceback" not in result.stderr


def run_in_terminal(
    cwd: Path, args: list[str], interrupt_after: bytes | None = None, feed: int | None = None
) -> tuple[int, str]:
    """Runs the command with stderr on a pseudo-terminal of 100 columns;
    sends SIGINT once `interrupt_after` appears on stdout. Rows go into the
    non-blocking descriptor `feed` (a FIFO input) whenever it has room, for
    as long as the command runs: that input never ends."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    child = subprocess.Popen([sys.executable, "-m", "quillon", "salvage", *args], cwd=cwd,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    assert child.stdout is not None
    screen, seen, sent = b"", b"", None
    streams = [master, child.stdout.fileno()]
    while streams:
        ready, room, _ = select.select(streams, [] if feed is None else [feed], [], 60)
        assert ready or room, "the command hangs"
        if room:
            with contextlib.suppress(BlockingIOError):
                os.write(feed, FED_ROWS)
        for fd in ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # the terminal's other side has closed
                chunk = b""
            if not chunk:
                streams.remove(fd)
            elif fd == master:
                screen += chunk
            else:
                seen += chunk
        if interrupt_after is not None and sent is None and interrupt_after in seen:
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
    status = child.wait(timeout=60)
    os.close(master)
    if sent is not None:
        assert time.monotonic() - sent < 10, "Ctrl-C took too long"
    return status, screen.decode(errors="replace")


# What the FIFO input is fed: a megabyte of rows at a time, since the
# command reads (and checks for Ctrl-C) a megabyte at a time.
FED_ROWS = b"1,some name,1.25\n" * 60_000


def big_table(rows: int) -> bytes:
    return HEADER + b"".join(b"%d,some name,%d.25\n" % (i, i) for i in range(rows))


def test_progress_bar_on_a_terminal_and_not_with_quiet(tmp_path: Path) -> None:
    (tmp_path / "big.csv").write_bytes(big_table(600_000))
    status, screen = run_in_terminal(tmp_path, ["big.csv", "out.csv"])
    assert status == 0
    assert "big.csv (salvaging):" in screen and "%|" in screen
    status, screen = run_in_terminal(tmp_path, ["--out-dir", "o", "big.csv", "out.csv"])
    assert status == 0 and "2/2 files" in screen
    assert run_in_terminal(tmp_path, ["big.csv", "out.csv", "--quiet"]) == (0, "")


def test_ctrl_c_stops_many_files_and_says_which_were_completed(tmp_path: Path) -> None:
    # The second input is a FIFO that never ends: the first file is done
    # (its line is the cue for Ctrl-C) and the second still being read when
    # the signal comes, however fast the machine.
    names = [f"f{i}.csv" for i in range(6)]
    for name in names:
        (tmp_path / name).write_bytes(DATA)
    (tmp_path / names[1]).unlink()
    os.mkfifo(tmp_path / names[1])
    # Both ends at once: opening needs no partner, and there is always a writer.
    fifo = os.open(tmp_path / names[1], os.O_RDWR | os.O_NONBLOCK)
    try:
        status, screen = run_in_terminal(
            tmp_path, ["--out-dir", "o", "--jobs", "1", *names], interrupt_after=b"\n", feed=fifo
        )
    finally:
        os.close(fifo)
    assert status == 130
    said = [line for line in screen.splitlines() if line.startswith("quillon: interrupted: ")]
    assert said == ["quillon: interrupted: 1 of 6 files completed: f0.csv"], screen
