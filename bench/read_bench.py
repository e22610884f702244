#!/usr/bin/env python3
"""quillon.read into dataframes: speed against polars' own reader, the string
layouts each consumer takes best, and peak memory.

Run with an interpreter that has quillon and its extras installed
(``pip install --no-build-isolation '.[arrow,polars,pandas,duckdb]'``):

    .venv/bin/python bench/read_bench.py [--data DIR] [--runs N]

1. ``pl.DataFrame(quillon.read(clean, types=False))`` against
   ``pl.read_csv(clean, infer_schema=False)`` (every column as text),
   alternating in one process, polars on all cores; the median of --runs.
2. The salvaged table handed to each consumer in each string layout
   (``utf8``, ``large_utf8``, ``string_view``, asked for through the
   requested schema of the PyCapsule interface): the time of the hand-over
   alone, the table read once beforehand.
3. Peak resident memory of ``pa.table(quillon.read(damaged))`` (typed
   columns, as read gives them by default) in a child
   process, as a multiple of the file: the whole process, and its growth over
   the interpreter with pyarrow and quillon imported.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def timed(work: Callable[[], object]) -> tuple[float, float]:
    """Wall and CPU seconds of one call; the result is dropped outside the clock."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = work()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    del result
    return wall, cpu


def median_of(runs: int, work: Callable[[], object]) -> tuple[float, float]:
    timed(work)  # warm-up
    samples = [timed(work) for _ in range(runs)]
    return statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples)


def against_polars(clean: Path, runs: int) -> None:
    import polars as pl

    import quillon

    ours: list[tuple[float, float]] = []
    theirs: list[tuple[float, float]] = []
    timed(lambda: pl.DataFrame(quillon.read(clean, types=False)))
    timed(lambda: pl.read_csv(clean, infer_schema=False))
    for _ in range(runs):
        ours.append(timed(lambda: pl.DataFrame(quillon.read(clean, types=False))))
        theirs.append(timed(lambda: pl.read_csv(clean, infer_schema=False)))
    read_only = median_of(runs, lambda: quillon.read(clean, types=False))
    q = statistics.median(w for w, _ in ours)
    p = statistics.median(w for w, _ in theirs)
    print(f"## {clean.name}: polars on {pl.thread_pool_size()} threads, median of {runs}")
    print(f"  pl.DataFrame(quillon.read(f))        {q:6.3f} s  (CPU {statistics.median(c for _, c in ours):6.3f} s)")
    print(f"    of which quillon.read(f)           {read_only[0]:6.3f} s  (CPU {read_only[1]:6.3f} s)")
    print(f"  pl.read_csv(f, infer_schema=False)   {p:6.3f} s  (CPU {statistics.median(c for _, c in theirs):6.3f} s)")
    print(f"  ratio quillon / polars               {q / p:6.2f}")


class Requested:
    """The table, asking itself for one string layout through the requested schema."""

    def __init__(self, table: object, schema: object) -> None:
        self.table = table
        self.schema = schema

    def __arrow_c_schema__(self) -> object:
        return self.schema.__arrow_c_schema__()  # type: ignore[attr-defined]

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self.table.__arrow_c_stream__(self.schema.__arrow_c_schema__())  # type: ignore[attr-defined]


def layouts(clean: Path, runs: int) -> None:
    import duckdb
    import pandas as pd
    import polars as pl
    import pyarrow as pa

    import quillon

    table = quillon.read(clean, types=False)
    con = duckdb.connect()
    consumers: dict[str, Callable[[object], object]] = {
        "pa.table": pa.table,
        "pl.DataFrame": pl.DataFrame,
        "duckdb create table": lambda t: con.execute("create or replace table x as select * from t"),
        "pd.DataFrame.from_arrow": pd.DataFrame.from_arrow,
    }
    types = {"utf8": pa.string(), "large_utf8": pa.large_string(), "string_view": pa.string_view()}
    print(f"## hand-over of the salvaged {clean.name} by string layout, median of {runs}")
    print("  " + f"{'':24}" + "".join(f"{name:>14}" for name in types))
    for label, consume in consumers.items():
        cells = []
        for arrow_type in types.values():
            requested = Requested(table, pa.schema([(c, arrow_type) for c in table.columns]))
            wall, _ = median_of(runs, lambda: consume(requested))
            cells.append(f"{wall:12.3f} s")
        print(f"  {label:24}" + "".join(cells))


def child_rss(path: str) -> None:
    import pyarrow as pa

    import quillon

    def status(key: str) -> int:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
        raise KeyError(key)

    baseline = status("VmRSS")
    table = pa.table(quillon.read(path))
    print(json.dumps({"baseline": baseline, "peak": status("VmHWM"), "rows": table.num_rows}))


def memory(damaged: Path) -> None:
    out = subprocess.run(
        [sys.executable, __file__, "--child-rss", str(damaged)], check=True, capture_output=True, text=True
    )
    m = json.loads(out.stdout)
    size = damaged.stat().st_size
    print(f"## peak RSS of pa.table(quillon.read({damaged.name})), {m['rows']:,} rows")
    print(f"  interpreter with pyarrow and quillon  {m['baseline'] / 1e6:6.0f} MB")
    print(f"  peak                                 {m['peak'] / 1e6:6.0f} MB = {m['peak'] / size:4.2f}x the file")
    print(f"  growth over the interpreter          {(m['peak'] - m['baseline']) / 1e6:6.0f} MB = {(m['peak'] - m['baseline']) / size:4.2f}x the file")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--child-rss", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child_rss:
        child_rss(args.child_rss)
        return
    clean, damaged = args.data / "clean-100mb.csv", args.data / "damaged-100mb.csv"
    for path in (clean, damaged):
        if not path.exists():
            sys.exit(f"{path} is missing: python3 bench/generate.py")
        path.read_bytes()  # into the page cache
    print(f"load average before: {load()}")
    against_polars(clean, args.runs)
    layouts(clean, args.runs)
    memory(damaged)
    print(f"load average after: {load()}")


if __name__ == "__main__":
    main()
