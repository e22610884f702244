"""One measured task per process: `python workers.py TASK INPUT OUTPUT`.

The benchmark scripts start this file in a child process for every run, so
that each run has its own peak resident memory (read by the parent from the
child's rusage) and no run inherits memory or warm caches of objects from
another. Imports happen before the clock starts: the figures are those of the
work, not of loading a library. The child prints one JSON object: the wall
time of the work, the number of data rows the tool kept (header excluded) or
yielded, its resident high-water mark before the work, and any error.

Each peer is called in the most lenient configuration that its documentation
offers for getting through a damaged file while keeping every column as text,
then writing a clean CSV. A peer that still fails reports the error; that is
a result, not a fault of the harness.
"""

from __future__ import annotations

import csv
import json
import resource
import sys
import time
import traceback
from collections.abc import Callable

SNIFF_SAMPLE_BYTES = 64 * 1024
# Figures a task reports besides its value, e.g. how long a reader took to open.
DETAIL: dict[str, float] = {}
# CleverCSV detects the dialect from a sample (by default the whole file,
# which takes minutes at 100 MB); 64 KiB holds too few rows of the long-field
# file for a right answer, 1 MB gets it right on the clean files.
CLEVERCSV_SAMPLE_CHARS = 1 << 20


def _peak_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _text_input(path: str):
    return open(path, newline="", encoding="utf-8", errors="replace")


def _csv_writer_output(path: str):
    return open(path, "w", newline="", encoding="utf-8", errors="surrogateescape")


# ---- quillon -------------------------------------------------------------


def quillon_salvage(src: str, dst: str) -> Callable[[], int]:
    import _quillon_backend

    def work() -> int:
        summary = _quillon_backend.salvage_file(src, dst)
        return summary.salvaged_rows - 1

    return work


def quillon_reader(src: str, dst: str) -> Callable[[], int]:
    import _quillon_backend

    def work() -> int:
        start = time.perf_counter()
        reader = _quillon_backend.open(src)
        DETAIL["open_seconds"] = time.perf_counter() - start
        rows = 0
        for _ in reader:
            rows += 1
        return rows

    return work


def quillon_adaptive(src: str, dst: str) -> Callable[[], int]:
    """The package's salvage, detection included, on every core it may use."""
    import quillon

    def work() -> int:
        report = quillon.salvage(src, dst)
        return report.salvaged_rows - 1

    return work


def quillon_read(src: str, dst: str) -> Callable[[], int]:
    """quillon.read handed to pyarrow, on every core it may use."""
    import pyarrow as pa
    import quillon

    def work() -> int:
        return pa.table(quillon.read(src)).num_rows

    return work


# ---- Python's csv module ---------------------------------------------------


def csv_roundtrip(src: str, dst: str) -> Callable[[], int]:
    # An unclosed quote can run a field far past the default 128 KiB limit.
    csv.field_size_limit(sys.maxsize)

    def work() -> int:
        rows = 0
        with _text_input(src) as f, _csv_writer_output(dst) as out:
            writer = csv.writer(out, lineterminator="\n")
            for row in csv.reader(f):
                writer.writerow(row)
                rows += 1
        return rows - 1

    return work


def csv_reader(src: str, dst: str) -> Callable[[], int]:
    csv.field_size_limit(sys.maxsize)

    def work() -> int:
        rows = 0
        with _text_input(src) as f:
            for _ in csv.reader(f):
                rows += 1
        return rows

    return work


# ---- the peers -------------------------------------------------------------


def _pandas(engine: str, src: str, dst: str) -> Callable[[], int]:
    import pandas as pd

    def work() -> int:
        df = pd.read_csv(
            src,
            engine=engine,
            dtype=str,
            keep_default_na=False,
            on_bad_lines="skip",
            encoding_errors="replace",
        )
        df.to_csv(dst, index=False)
        return len(df)

    return work


def pandas_c(src: str, dst: str) -> Callable[[], int]:
    return _pandas("c", src, dst)


def pandas_pyarrow(src: str, dst: str) -> Callable[[], int]:
    return _pandas("pyarrow", src, dst)


def polars_(src: str, dst: str) -> Callable[[], int]:
    import polars as pl

    def work() -> int:
        df = pl.read_csv(
            src,
            infer_schema=False,
            truncate_ragged_lines=True,
            ignore_errors=True,
            encoding="utf8-lossy",
        )
        df.write_csv(dst)
        return df.height

    return work


def polars_no_quoting(src: str, dst: str) -> Callable[[], int]:
    """The only polars configuration that gets through stray quotes: with
    quoting off, quoted fields are split at their delimiters and line breaks."""
    import polars as pl

    def work() -> int:
        df = pl.read_csv(
            src,
            infer_schema=False,
            truncate_ragged_lines=True,
            ignore_errors=True,
            encoding="utf8-lossy",
            quote_char=None,
        )
        df.write_csv(dst)
        return df.height

    return work


def duckdb_(src: str, dst: str) -> Callable[[], int]:
    import duckdb

    def quote(text: str) -> str:
        return "'" + text.replace("'", "''") + "'"

    def work() -> int:
        con = duckdb.connect()
        rows = con.execute(
            f"COPY (SELECT * FROM read_csv({quote(src)}, delim=',', quote='\"', escape='\"', header=true,"
            " all_varchar=true, null_padding=true, strict_mode=false, ignore_errors=true, parallel=false))"
            f" TO {quote(dst)} (HEADER, DELIMITER ',')"
        ).fetchone()
        con.close()
        return int(rows[0]) if rows else 0

    return work


def _pyarrow(src: str, dst: str, encoding: str) -> Callable[[], int]:
    import pyarrow as pa
    import pyarrow.csv as pc

    def work() -> int:
        table = pc.read_csv(
            src,
            read_options=pc.ReadOptions(encoding=encoding),
            parse_options=pc.ParseOptions(newlines_in_values=True, invalid_row_handler=lambda row: "skip"),
            convert_options=pc.ConvertOptions(default_column_type=pa.string(), check_utf8=False),
        )
        pc.write_csv(table, dst)
        return table.num_rows

    return work


def pyarrow_(src: str, dst: str) -> Callable[[], int]:
    return _pyarrow(src, dst, "utf8")


def pyarrow_latin1(src: str, dst: str) -> Callable[[], int]:
    """pyarrow decodes a bad row strictly before handing it to the invalid-row
    handler, so one ill-formed UTF-8 byte in a skipped row stops the read.
    Decoding the input as Latin-1 gets through, at the price of turning every
    non-ASCII character into two or more wrong ones."""
    return _pyarrow(src, dst, "latin-1")


def clevercsv_(src: str, dst: str) -> Callable[[], int]:
    import clevercsv

    csv.field_size_limit(sys.maxsize)

    def work() -> int:
        with _text_input(src) as f:
            dialect = clevercsv.Detector().detect(f.read(CLEVERCSV_SAMPLE_CHARS))
            if dialect is None:
                raise RuntimeError("clevercsv detected no dialect")
            f.seek(0)
            rows = 0
            with _csv_writer_output(dst) as out:
                writer = clevercsv.writer(out, lineterminator="\n")
                for row in clevercsv.reader(f, dialect):
                    writer.writerow(row)
                    rows += 1
        return rows - 1

    return work


# ---- sniffing --------------------------------------------------------------


def _sample(src: str) -> str:
    with open(src, "rb") as f:
        return f.read(SNIFF_SAMPLE_BYTES).decode("utf-8", "replace")


def _per_call_seconds(call: Callable[[], object], budget: float = 0.25, repeats: int = 7) -> float:
    """Median seconds per call over `repeats` batches of about `budget` seconds each."""
    call()
    start = time.perf_counter()
    call()
    once = max(time.perf_counter() - start, 1e-7)
    number = max(1, int(budget / once))
    batches = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(number):
            call()
        batches.append((time.perf_counter() - start) / number)
    batches.sort()
    return batches[len(batches) // 2]


def quillon_sniff(src: str, dst: str) -> Callable[[], int]:
    import _quillon_backend

    sample = _sample(src)

    def work() -> int:
        return int(_per_call_seconds(lambda: _quillon_backend.sniff(sample)) * 1e9)

    return work


def csv_sniffer(src: str, dst: str) -> Callable[[], int]:
    sample = _sample(src)

    def work() -> int:
        return int(_per_call_seconds(lambda: csv.Sniffer().sniff(sample), budget=1.0, repeats=3) * 1e9)

    return work


TASKS: dict[str, Callable[[str, str], Callable[[], int]]] = {
    "quillon-salvage": quillon_salvage,
    "quillon-reader": quillon_reader,
    "quillon-sniff": quillon_sniff,
    "quillon-adaptive": quillon_adaptive,
    "quillon-read": quillon_read,
    "csv-roundtrip": csv_roundtrip,
    "csv-reader": csv_reader,
    "csv-sniffer": csv_sniffer,
    "pandas-c": pandas_c,
    "pandas-pyarrow": pandas_pyarrow,
    "polars": polars_,
    "polars-no-quoting": polars_no_quoting,
    "duckdb": duckdb_,
    "pyarrow": pyarrow_,
    "pyarrow-latin1": pyarrow_latin1,
    "clevercsv": clevercsv_,
}


def main() -> int:
    task, src, dst = sys.argv[1:4]
    report: dict[str, object] = {"task": task}
    try:
        work = TASKS[task](src, dst)
        report["baseline_rss_bytes"] = _peak_rss_bytes()
        start = time.perf_counter()
        cpu_start = time.process_time()
        report["value"] = work()
        report["cpu_seconds"] = time.process_time() - cpu_start
        report["seconds"] = time.perf_counter() - start
        report["detail"] = DETAIL
        report["ok"] = True
    except BaseException as error:  # the failure is the result being measured
        report["ok"] = False
        report["error"] = f"{type(error).__name__}: {error}"[:500]
        report["traceback"] = traceback.format_exc()[-2000:]
    print(json.dumps(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
