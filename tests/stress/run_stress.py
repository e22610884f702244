"""Full-size hostile inputs, run by hand (not in CI); tests/python/test_hostile.py has the small ones.

    .venv/bin/python tests/stress/run_stress.py [--dir DIR] [--scale S] [--timeout SECONDS] [CASE ...]

Each case writes its input (a 1 GB line, 50 million empty lines, ...) into
DIR, then runs one entry of the module over it in a fresh child process and
prints the child's wall time, its peak RSS as a multiple of the input size,
and what the call returned or raised. A case fails when the child crashes,
runs past the time limit, ends in something other than what the case
expects, or loses or doubles a record (the counts must add up, and the clean
and quarantine files must hold as many records as they say). --scale shrinks
every input (0.01 for a quick try). Needs about 3 GB of free disk per GB of
input and runs for several minutes.
"""

import argparse
import itertools
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path

GB = 1 << 30
CHUNK = 1 << 24

CHILD = textwrap.dedent(
    """
    import json
    import sys
    import time

    import _quillon_backend as qb

    job = json.loads(sys.argv[1])
    start = time.perf_counter()
    try:
        if job["entry"] == "salvage_file":
            result = qb.salvage_file(job["input"], job["output"], job["quarantine"], **job["options"]).to_dict()
        else:
            rows = 0
            longest = 0
            with qb.open(job["input"], **job["options"]) as reader:
                for row in reader:
                    rows += 1
                    longest = max(longest, len(row))
                result = reader.summary.to_dict() | {"rows_iterated": rows, "widest_row": longest}
    except Exception as error:
        result = {"exception": type(error).__name__, "message": str(error)}
    print(json.dumps({"seconds": time.perf_counter() - start, "result": result}))
    """
)


def repeat(piece: bytes, total: int) -> Iterator[bytes]:
    """`piece` repeated to `total` bytes (cut at the end), in chunks of about CHUNK bytes."""
    block = piece * max(1, CHUNK // len(piece))
    left = total
    while left > 0:
        part = block[: min(left, len(block))]
        left -= len(part)
        yield part


def records(size: int, piece: bytes) -> int:
    """Records in `piece` repeated to `size` bytes, when the piece is one record ending in LF."""
    return -(-size // len(piece))


def random_high_bytes(total: int, line_every: int = 0) -> Iterator[bytes]:
    """`total` random bytes of 0x80 and above; when `line_every` is not 0,
    lines of that many such bytes, each ended by an LF (the last one cut)."""
    to_high = bytes(0x80 | b for b in range(256))
    done = 0
    while done < total:
        part = bytearray(os.urandom(min(total - done, CHUNK)).translate(to_high))
        if line_every:
            step = line_every + 1
            first = (line_every - done) % step
            part[first::step] = b"\n" * len(range(first, len(part), step))
        done += len(part)
        yield bytes(part)


@dataclass
class Case:
    name: str
    content: Callable[[int], Iterator[bytes]]
    size: int
    expect: Callable[[dict], bool]
    options: dict = field(default_factory=dict)
    entry: str = "salvage_file"
    quarantine: bool = False
    output: str | None = None
    fifo: bool = False
    grow: int = 0


def total(n: int) -> Callable[[dict], bool]:
    return lambda r: r.get("total_rows") == n and r["salvaged_rows"] + r["quarantined_rows"] == n


def raises(name: str) -> Callable[[dict], bool]:
    return lambda r: r.get("exception") == name


def cases(scale: float) -> list[Case]:
    g = int(GB * scale) // 64 * 64
    lines = int(50_000_000 * scale)
    return [
        Case("line_of_1gb", lambda n: repeat(b"x", n), g, total(1)),
        Case("line_of_1gb_reader", lambda n: repeat(b"x", n), g, lambda r: r.get("rows_iterated") == 1, entry="open"),
        Case("unterminated_quote_1gb", lambda n: itertools.chain([b'"'], repeat(b"ab,\n", n - 1)), g, total(1)),
        Case("line_of_stray_quotes_1gb", lambda n: itertools.chain([b'"'], repeat(b'a"', n - 1)), g, total(1)),
        Case("quoted_fields_with_trailing_text_1gb", lambda n: repeat(b'"a"b,', n), g, total(1)),
        Case("empty_lines_50m", lambda n: repeat(b"\n", n), lines, total(lines)),
        Case("empty_lines_50m_reader", lambda n: repeat(b"\n", n), lines,
             lambda r: r.get("rows_iterated") == lines, entry="open"),
        Case("empty_lines_50m_crlf", lambda n: repeat(b"\r\n", n), 2 * lines, total(lines)),
        Case("empty_lines_50m_quarantined", lambda n: repeat(b"\n", n), lines,
             lambda r: r.get("quarantined_rows") == lines,
             options={"expected_columns": 3, "fill_ragged_rows": False}, quarantine=True),
        Case("only_quotes_1gb", lambda n: repeat(b'"', n), g, total(1)),
        Case("only_quotes_and_line_feeds_1gb", lambda n: repeat(b'"\n', n), g, total(records(g, b'"\n"\n'))),
        Case("nul_bytes_1gb", lambda n: repeat(b"\x00", n), g, total(1)),
        Case("nul_delimited_1gb", lambda n: repeat(b"a\x00b\x00\n", n), g, total(records(g, b"a\x00b\x00\n")),
             options={"delimiter": "\x00"}),
        Case("invalid_utf8_1gb", random_high_bytes, g, total(1)),
        # No byte of a line is a delimiter, quote or line break: one field each.
        Case("invalid_utf8_lines_1gb", lambda n: random_high_bytes(n, 100), g,
             total(records(g, b"\x80" * 100 + b"\n"))),
        # Whole periods: «,a,» opens and closes a quoted field (["ab"]); each
        # «c,,d» then opens a quoted field that the next period's comma
        # closes (["c", "d\na", "b"]), the last runs to the end (["c", "d\n"]).
        # Three columns, the first and last record padded.
        Case("quote_equals_delimiter_1gb", lambda n: repeat(b",a,b\nc,,d\n", n), g // 10 * 10,
             lambda r: (r.get("total_rows"), r["repaired_rows"], r["inferred_columns"])
             == (g // 10 + 1, 2, 3),
             options={"delimiter": ",", "quote_char": ","}),
        Case("line_feed_delimiter_carriage_return_quote_1gb", lambda n: repeat(b"a\r\nb\n\rc,d\r\n", n), g,
             lambda r: r.get("total_rows", 0) > 0, options={"delimiter": "\n", "quote_char": "\r"}),
        Case("carriage_return_delimiter_line_feed_quote_1gb", lambda n: repeat(b"a\r\nb\n\rc,d\r\n", n), g,
             lambda r: r.get("total_rows", 0) > 0, options={"delimiter": "\r", "quote_char": "\n"}),
        Case("one_row_of_100m_columns", lambda n: repeat(b",", n), int(100_000_000 * scale),
             lambda r: r.get("inferred_columns") == int(100_000_000 * scale) + 1),
        Case("table_merged_into_one_column_1gb", lambda n: repeat(b"a,b,c,d\n", n), g, total(records(g, b"a,b,c,d\n")),
             options={"expected_columns": 1}),
        Case("padding_to_2_40_columns", lambda n: repeat(b"a,b\n", n), g, raises("MemoryError"),
             options={"expected_columns": 2**40}),
        Case("padding_to_2_62_columns", lambda n: repeat(b"a,b\n", n), g, raises("MemoryError"),
             options={"expected_columns": 2**62}),
        Case("quarantine_at_2_62_columns", lambda n: repeat(b"a,b\n", n), g,
             lambda r: r.get("quarantined_rows") == records(g, b"a,b\n"), options={"expected_columns": 2**62,
                                                                     "fill_ragged_rows": False}, quarantine=True),
        Case("output_to_dev_full_1gb", lambda n: repeat(b"a,b\n", n), g, raises("OSError"), output="/dev/full"),
        Case("fifo_1gb", lambda n: repeat(b"a,b,c\n", n), g, total(records(g, b"a,b,c\n")), fifo=True),
        Case("file_growing_while_read_1gb", lambda n: repeat(b"a,b,c\n", n), g,
             lambda r: records(g, b"a,b,c\n") <= r.get("total_rows", 0) <= 2 * records(g, b"a,b,c\n"), grow=g),
    ]


def records_written(path: Path, quote: bytes) -> int:
    """Records in a file the module wrote: line feeds outside quoted fields.
    Doubled quotes inside a field toggle twice and change nothing."""
    count, inside = 0, False
    with open(path, "rb") as f:
        while chunk := f.read(CHUNK):
            for k, piece in enumerate(chunk.split(quote)):
                if k:
                    inside = not inside
                if not inside:
                    count += piece.count(b"\n")
    return count


def conservation_faults(case: Case, job: dict, result: dict) -> list[str]:
    """Where a finished run loses or doubles a record: every record kept or
    quarantined, once, and each file holding what the counts say."""
    if "exception" in result:
        return []
    faults = []
    kept, quarantined = result["salvaged_rows"], result["quarantined_rows"]
    if result["total_rows"] != kept + quarantined:
        faults.append(f"{result['total_rows']} records, {kept} kept + {quarantined} quarantined")
    if case.entry == "open":
        if result["rows_iterated"] != kept:
            faults.append(f"{result['rows_iterated']} rows iterated, {kept} kept")
        return faults
    quote = job["options"].get("quote_char", '"').encode("latin-1")
    line_breaks = {b"\r", b"\n"}
    # A line break as delimiter or quote, or a quote that is the delimiter,
    # makes the clean file's records ambiguous.
    delimiter = result["detected_delimiter"].encode("latin-1")
    if case.output is None and quote != delimiter and not {quote, delimiter} & line_breaks:
        written = records_written(Path(job["output"]), quote)
        if written != kept:
            faults.append(f"{written} records in the clean file, {kept} kept")
    if job["quarantine"] is not None:
        written = records_written(Path(job["quarantine"]), b'"') - 1
        if written != quarantined:
            faults.append(f"{written} records in the quarantine file, {quarantined} quarantined")
    return faults


def write(path: Path, chunks: Iterator[bytes]) -> int:
    size = 0
    with open(path, "wb") as f:
        for chunk in chunks:
            f.write(chunk)
            size += len(chunk)
    return size


def run_child(job: dict, timeout: float) -> tuple[int, dict | None, int]:
    """Runs the child; returns its exit status, its report and its peak RSS in bytes."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, json.dumps(job)], stdout=subprocess.PIPE)
    timer = threading.Timer(timeout, child.kill)
    timer.start()
    try:
        out = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)
    finally:
        timer.cancel()
        child.stdout.close()
    child.returncode = os.waitstatus_to_exitcode(status)
    report = json.loads(out) if child.returncode == 0 and out else None
    return child.returncode, report, usage.ru_maxrss * 1024


def feed(source: Path, target: str, grow: bool) -> subprocess.Popen:
    """A writer process: copies `source` into a FIFO, or appends it to a growing file."""
    code = textwrap.dedent(
        """
        import sys
        with open(sys.argv[1], "rb") as src, open(sys.argv[2], sys.argv[3], buffering=0) as dst:
            while chunk := src.read(1 << 20):
                dst.write(chunk)
        """
    )
    return subprocess.Popen([sys.executable, "-c", code, os.fspath(source), target, "ab" if grow else "wb"])


def run_case(case: Case, workdir: Path, timeout: float) -> bool:
    input_path = workdir / f"{case.name}.csv"
    size = write(input_path, case.content(case.size))
    job = {
        "entry": case.entry,
        "input": os.fspath(input_path),
        "output": case.output or os.fspath(workdir / f"{case.name}.clean.csv"),
        "quarantine": os.fspath(workdir / f"{case.name}.quarantine.csv") if case.quarantine else None,
        "options": case.options,
    }
    writer = None
    if case.fifo:
        fifo = workdir / f"{case.name}.fifo"
        os.mkfifo(fifo)
        writer = feed(input_path, os.fspath(fifo), grow=False)
        job["input"] = os.fspath(fifo)
    elif case.grow:
        extra = workdir / f"{case.name}.extra"
        write(extra, case.content(case.grow))
        writer = feed(extra, os.fspath(input_path), grow=True)
    try:
        status, report, rss = run_child(job, timeout)
        faults = [] if report is None else conservation_faults(case, job, report["result"])
    finally:
        if writer is not None:
            writer.wait()
        for produced in workdir.iterdir():
            produced.unlink()
    if report is None:
        print(f"{case.name:48} FAIL  child ended with status {status}", flush=True)
        return False
    ok = case.expect(report["result"]) and not faults
    print(
        f"{case.name:48} {'ok  ' if ok else 'FAIL'}  {size / 1e6:9.1f} MB  {report['seconds']:7.2f} s  "
        f"peak RSS {rss / 1e6:8.1f} MB ({rss / max(size, 1):5.2f} x input)  {json.dumps(report['result'])}",
        flush=True,
    )
    for fault in faults:
        print(f"{'':48} not conserved: {fault}", flush=True)
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", type=Path, help="where the inputs go (default: a new temporary directory)")
    parser.add_argument("--scale", type=float, default=1.0, help="factor for every input size (default 1)")
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds allowed for each case's child")
    parser.add_argument("cases", nargs="*", help="names of the cases to run (default: all)")
    args = parser.parse_args()
    chosen = [c for c in cases(args.scale) if not args.cases or c.name in args.cases]
    unknown = set(args.cases) - {c.name for c in chosen}
    if unknown:
        parser.error(f"unknown cases: {', '.join(sorted(unknown))}")
    workdir = Path(tempfile.mkdtemp(prefix="quillon-stress-", dir=args.dir))
    try:
        results = [run_case(case, workdir, args.timeout) for case in chosen]
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    failed = results.count(False)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
