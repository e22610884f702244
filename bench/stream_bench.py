#!/usr/bin/env python3
"""Time and peak memory of streamed salvages against the input held whole.

    bench/stream_bench.py [--input bench/data/damaged-1gb.csv] [--threads N]
    bench/stream_bench.py --copies 20 --only stdin-zstd file   # the 20 GB runs

Each case runs in a child process under /usr/bin/time -v, which gives its
peak resident memory; the table lists seconds, MB/s of the decompressed
input and the peak. The cases:

    file            quillon salvage FILE OUT (read in blocks by the native side)
    file-whole      the same file read whole first (the package's former path)
    gzip, zstd      quillon salvage FILE.gz OUT, FILE.zst OUT (streamed)
    gzip-whole,     the same, decompressed into memory first, then salvaged
    zstd-whole
    stdin-zstd      zstd -dc FILE.zst | quillon salvage - OUT
    zcat, zstd-dc   decompression alone into /dev/null, for the codecs' speed
    parquet         quillon salvage FILE OUT.parquet
    polars-parquet  polars' scan_csv(FILE).sink_parquet(OUT.parquet), told to
                    skip what it cannot parse (its streaming engine)
    duckdb-parquet  DuckDB's COPY (FROM read_csv(FILE)) TO OUT.parquet, told
                    to skip what it cannot parse
    read-arrow      pyarrow.table(quillon.read(FILE)): the table read as a stream
    read-whole      the same through the former path: every string batch
                    built, then typed over the whole table
    read-duckdb     DuckDB's COPY (SELECT * FROM t) TO 'x.parquet' of
                    t = quillon.read(FILE): its peak does not grow with the
                    input (with --copies, over FILE N times)

    bench/stream_bench.py --input bench/data/clean-100mb.csv --only read-arrow read-whole
    bench/stream_bench.py --copies 20 --only read-duckdb     # the 20 GB read

With --copies N the input is the file N times over: `file` reads a file of
N copies (written beside the input, deleted afterwards) and `stdin-zstd`
decompresses N copies of the .zst (concatenated frames). Generated data and
outputs stay in bench/data/ and are deleted after each case.
"""

from __future__ import annotations

import argparse
import os
import re
import shlex
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
PYTHON = sys.executable

# Reads the input whole, as the package did before it streamed: a plain
# file by _native.salvage, decompressed data by _native.salvage_buffer.
WHOLE = """
import sys
from quillon import _native
from quillon._sources import load_input
loaded = load_input(sys.argv[1], in_memory=sys.argv[1].endswith(('.gz', '.zst')))
options = {} if len(sys.argv) < 4 else {"threads": int(sys.argv[3])}
if loaded.path is not None:
    _native.salvage(loaded.path, sys.argv[2], None, options)
else:
    _native.salvage_buffer(loaded.data, sys.argv[2], None, options)
"""

# The peers as their users stream a CSV file into Parquet, told what gets
# them past the damaged rows (polars stops at a runaway quote unless quoting
# is off, and at invalid UTF-8 unless it is replaced; DuckDB's sniffer gives
# up unless told to be lenient, and refuses null padding with quoted line
# breaks in its parallel reader).
POLARS_PARQUET = """
import sys
import polars as pl
frame = pl.scan_csv(
    sys.argv[1], infer_schema_length=10000, ignore_errors=True, truncate_ragged_lines=True, encoding="utf8-lossy",
    quote_char=None,
)
frame.sink_parquet(sys.argv[2])
"""
DUCKDB_PARQUET = """
import sys
import duckdb
duckdb.sql(
    f"COPY (FROM read_csv('{sys.argv[1]}', null_padding = true, strict_mode = false, ignore_errors = true,"
    f" parallel = false)) TO '{sys.argv[2]}' (FORMAT parquet)"
)
"""


# The table through pyarrow, read as a stream (quillon.read) or whole first.
READ_ARROW = """
import sys
import pyarrow as pa
import quillon
pa.table(quillon.read(sys.argv[1]))
"""
READ_WHOLE = """
import sys
import pyarrow as pa
from quillon import _native
batches, values = _native.read(sys.argv[1], None, {})
typed, _, _, _ = _native.type_columns(batches, True, {}, values["delimiter"], 0)
del batches
pa.table(typed)
"""
# DuckDB writes the table to Parquet as it reads the stream.
READ_DUCKDB = """
import sys
import duckdb
import quillon
t = quillon.read(sys.argv[1])
duckdb.sql(f"COPY (SELECT * FROM t) TO '{sys.argv[2]}' (FORMAT parquet)")
"""


def compressed(source: Path, suffix: str, command: list[str]) -> Path:
    target = source.with_name(source.name + suffix)
    if not target.exists():
        with open(source, "rb") as src, open(target, "wb") as out:
            subprocess.run(command, stdin=src, stdout=out, check=True)
    return target


class Failed(Exception):
    """A case's command failed; its last line of errors says why."""


def timed(shell: str) -> tuple[float, int]:
    """Seconds and peak resident kilobytes of the last command of a pipeline."""
    start = time.perf_counter()
    done = subprocess.run(
        ["bash", "-o", "pipefail", "-c", f"{shell} 2>/tmp/stream-bench-time"], capture_output=True, text=True
    )
    seconds = time.perf_counter() - start
    report = Path("/tmp/stream-bench-time").read_text()
    if done.returncode != 0:
        errors = [line for line in report.splitlines() if line and not line.startswith(("\t", "Command "))]
        raise Failed(errors[-1] if errors else f"exit status {done.returncode}")
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", report)
    return seconds, int(peak.group(1)) if peak else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--input", type=Path, default=HERE / "data" / "damaged-1gb.csv")
    parser.add_argument("--threads", type=int, default=0, help="0: every core")
    parser.add_argument("--copies", type=int, default=1)
    parser.add_argument("--only", nargs="+", metavar="CASE")
    args = parser.parse_args()
    source = args.input.resolve()
    # Compressed copies are made when a case first needs them.
    def gz() -> Path:
        return compressed(source, ".gz", ["gzip", "-c", "-1"])

    def zst() -> Path:
        return compressed(source, ".zst", ["zstd", "-c", "-1", "-q"])

    out = source.with_name("stream-bench-out.csv")
    threads = [] if args.threads == 0 else ["--threads", str(args.threads)]
    whole_threads = [] if args.threads == 0 else [str(args.threads)]
    timing = "/usr/bin/time -v"
    salvage = [PYTHON, "-m", "quillon", "salvage", "--quiet", *threads]
    copies = args.copies
    data_bytes = source.stat().st_size * copies

    def run(*words: str | Path) -> str:
        return shlex.join(str(w) for w in words)

    repeated = source.with_name(f"stream-bench-{copies}x.csv")
    scaled = repeated if copies > 1 else source
    parquet = source.with_name("stream-bench-out.parquet")
    cases = {
        "file": lambda: f"{timing} {run(*salvage, scaled, out)}",
        "file-whole": lambda: f"{timing} {run(PYTHON, '-c', WHOLE, source, out, *whole_threads)}",
        "gzip": lambda: f"{timing} {run(*salvage, gz(), out)}",
        "gzip-whole": lambda: f"{timing} {run(PYTHON, '-c', WHOLE, gz(), out, *whole_threads)}",
        "zstd": lambda: f"{timing} {run(*salvage, zst(), out)}",
        "zstd-whole": lambda: f"{timing} {run(PYTHON, '-c', WHOLE, zst(), out, *whole_threads)}",
        "stdin-zstd": lambda: (
            f"for i in $(seq {copies}); do cat {shlex.quote(str(zst()))}; done | zstd -dc | "
            f"{timing} {run(*salvage, '-', out)}"
        ),
        "zcat": lambda: f"{timing} gzip -dc {shlex.quote(str(gz()))} > /dev/null",
        "zstd-dc": lambda: f"{timing} zstd -dc {shlex.quote(str(zst()))} > /dev/null",
        "read-arrow": lambda: f"{timing} {run(PYTHON, '-c', READ_ARROW, source)}",
        "read-whole": lambda: f"{timing} {run(PYTHON, '-c', READ_WHOLE, source)}",
        "parquet": lambda: f"{timing} {run(*salvage, scaled, parquet)}",
        "read-duckdb": lambda: f"{timing} {run(PYTHON, '-c', READ_DUCKDB, scaled, parquet)}",
        "polars-parquet": lambda: f"{timing} {run(PYTHON, '-c', POLARS_PARQUET, scaled, parquet)}",
        "duckdb-parquet": lambda: f"{timing} {run(PYTHON, '-c', DUCKDB_PARQUET, scaled, parquet)}",
    }
    # The cases that read the input of all the copies.
    whole_input = {"file", "stdin-zstd", "parquet", "read-duckdb", "polars-parquet", "duckdb-parquet"}
    chosen = args.only or list(cases)
    if copies > 1 and whole_input.intersection(chosen) - {"stdin-zstd"}:
        with open(repeated, "wb") as target:
            for _ in range(copies):
                with open(source, "rb") as part:
                    while block := part.read(1 << 24):
                        target.write(block)
    print(f"input: {data_bytes / 1e9:.2f} GB ({copies} x {source.name}), threads: {args.threads or 'all'}")
    print(f"{'case':<14} {'seconds':>9} {'MB/s':>8} {'peak MB':>9}")
    try:
        for name in chosen:
            try:
                seconds, peak_kb = timed(cases[name]())
            except Failed as failure:
                print(f"{name:<14} failed: {failure}", flush=True)
                continue
            size = data_bytes if name in whole_input else source.stat().st_size
            print(f"{name:<14} {seconds:>9.1f} {size / seconds / 1e6:>8.0f} {peak_kb / 1024:>9.0f}", flush=True)
            out.unlink(missing_ok=True)
            parquet.unlink(missing_ok=True)
    finally:
        out.unlink(missing_ok=True)
        parquet.unlink(missing_ok=True)
        repeated.unlink(missing_ok=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
