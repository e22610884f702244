#!/usr/bin/env python3
"""Typed columns: how often each reader gives a column the right type and a
cell the right value, on clean and damaged files whose truth is known; and
the speed of quillon's typed read against its string read and polars.

    python bench/typed_bench.py accuracy [--files 8 --rows 2000]
    python bench/typed_bench.py speed [bench/data/clean-100mb.csv]
    python bench/typed_bench.py write --rows 800000   # one clean typed file of about 100 MB, to time

The corpus is generated here (seeded) into bench/data/typed/: columns of
integers (some with thousands separators), amounts with cents, measurements,
booleans, ISO, day-first and month-first dates, timestamps, zip codes with
leading zeros, 19-digit card numbers and names; half the files are semicolon
files with decimal commas. A damaged copy replaces 2% of the cells of the
typed columns with text that is no value ("n/a?", "12.5 kg", "#REF!", a
name); those cells' truth is null.

A column is typed right when its Arrow type is of the truth's kind (integer;
number, float or decimal; bool; date; timestamp; string). A cell is right
when its value equals the truth (numbers to 1e-9, a damaged cell as null). A
cell is *wrong* when the reader gave a non-null value of the right kind that
is not the truth: a silently wrong value. A reader that raises scores
nothing on that file. Runs under the project's venv (pandas, polars, DuckDB
and pyarrow are its test dependencies).
"""

from __future__ import annotations

import argparse
import csv
import datetime as dt
import decimal
import os
import random
import sys
import time
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA = HERE / "data" / "typed"
NAMES = ["Ada", "Grace", "Linus", "Edsger", "Margaret", "Barbara", "Ken", "Dennis", "Frances", "John"]
JUNK = ["n/a?", "12.5 kg", "#REF!", "see note", "Berlin", "??", "TBD"]


def kind_of_truth(column: str) -> str:
    return {
        "id": "integer", "qty": "integer", "price": "number", "weight": "number", "ok": "bool",
        "day": "date", "day_eu": "date", "day_us": "date", "at": "timestamp",
        "zip": "string", "card": "string", "name": "string",
    }[column]


def make_rows(rng: random.Random, n: int, comma_decimal: bool):
    """(texts, truths) per row."""
    base = dt.date(2015, 1, 1)
    for i in range(n):
        day = base + dt.timedelta(days=rng.randrange(3650))
        at = dt.datetime.combine(day, dt.time(rng.randrange(24), rng.randrange(60), rng.randrange(60)))
        qty = rng.randrange(0, 50000)
        cents = rng.randrange(0, 10_000_000)
        price = decimal.Decimal(cents) / 100
        weight = round(rng.uniform(0, 500), rng.choice([1, 3, 4]))
        ok = rng.random() < 0.5
        zip_code = f"{rng.randrange(100000):05d}"
        card = "4" + "".join(str(rng.randrange(10)) for _ in range(18))
        if comma_decimal:
            price_text = f"{price:,.2f}".replace(",", " ").replace(".", ",").replace(" ", ".")
            weight_text = str(weight).replace(".", ",")
            qty_text = f"{qty:,}".replace(",", ".")
        else:
            price_text = f"{price:,.2f}" if rng.random() < 0.5 else f"{price:.2f}"
            weight_text = str(weight)
            qty_text = f"{qty:,}" if rng.random() < 0.3 else str(qty)
        texts = {
            "id": str(i + 1), "qty": qty_text, "price": price_text, "weight": weight_text,
            "ok": ("yes" if ok else "no") if comma_decimal else ("true" if ok else "false"),
            "day": day.isoformat(), "day_eu": day.strftime("%d/%m/%Y"), "day_us": day.strftime("%m/%d/%Y"),
            "at": at.strftime("%Y-%m-%d %H:%M:%S"), "zip": zip_code, "card": card, "name": rng.choice(NAMES),
        }
        truths = {
            "id": i + 1, "qty": qty, "price": price, "weight": weight, "ok": ok, "day": day, "day_eu": day,
            "day_us": day, "at": at, "zip": zip_code, "card": card, "name": texts["name"],
        }
        if rng.random() < 0.03:
            texts["qty"], truths["qty"] = "NA", None
        yield texts, truths


def write_large(args: argparse.Namespace) -> None:
    """One clean comma file of the corpus's columns, written as it is made."""
    DATA.mkdir(parents=True, exist_ok=True)
    path = DATA / f"typed-{args.rows}.csv"
    with path.open("w", newline="", encoding="utf-8") as handle:
        writer = None
        for texts, _ in make_rows(random.Random(args.seed), args.rows, comma_decimal=False):
            if writer is None:
                writer = csv.DictWriter(handle, fieldnames=list(texts))
                writer.writeheader()
            writer.writerow(texts)
    print(f"{path}: {path.stat().st_size:,} bytes")


def write_corpus(files: int, rows: int, seed: int) -> list[tuple[Path, str, list[dict]]]:
    """(path, delimiter, truth rows) for each clean and damaged file."""
    DATA.mkdir(parents=True, exist_ok=True)
    out = []
    for f in range(files):
        rng = random.Random(seed + f)
        comma_decimal = f % 2 == 1
        delimiter = ";" if comma_decimal else ","
        made = list(make_rows(rng, rows, comma_decimal))
        for damaged in (False, True):
            texts = [dict(t) for t, _ in made]
            truths = [dict(t) for _, t in made]
            if damaged:
                for t, truth in zip(texts, truths, strict=True):
                    for column in t:
                        if kind_of_truth(column) != "string" and rng.random() < 0.02:
                            t[column], truth[column] = rng.choice(JUNK), None
            path = DATA / f"typed-{f}{'-damaged' if damaged else ''}.csv"
            with path.open("w", newline="", encoding="utf-8") as handle:
                writer = csv.DictWriter(handle, fieldnames=list(texts[0]), delimiter=delimiter)
                writer.writeheader()
                writer.writerows(texts)
            out.append((path, delimiter, truths))
    return out


def kind_of_arrow(t) -> str:
    import pyarrow as pa

    if pa.types.is_integer(t):
        return "integer"
    if pa.types.is_floating(t) or pa.types.is_decimal(t):
        return "number"
    if pa.types.is_boolean(t):
        return "bool"
    if pa.types.is_date(t):
        return "date"
    if pa.types.is_timestamp(t):
        return "timestamp"
    return "string"


def same(value, truth) -> bool:
    if truth is None or value is None:
        return value is None and truth is None
    if isinstance(truth, bool) or isinstance(value, bool):
        return value is truth
    if isinstance(truth, dt.datetime):
        return isinstance(value, dt.datetime) and value.replace(tzinfo=None) == truth
    if isinstance(truth, dt.date):
        if isinstance(value, dt.datetime):
            return value.time() == dt.time() and value.date() == truth
        return value == truth
    if isinstance(truth, (int, float, decimal.Decimal)) and isinstance(value, (int, float, decimal.Decimal)):
        return abs(float(value) - float(truth)) <= 1e-9 * max(1.0, abs(float(truth)))
    return value == truth


def readers(delimiter: str) -> dict[str, Callable[[Path], object]]:
    import duckdb
    import pandas as pd
    import polars as pl
    import pyarrow as pa

    import quillon

    decimal_comma = delimiter == ";"
    return {
        "quillon.read": lambda p: pa.table(quillon.read(p)),
        "pandas": lambda p: pa.Table.from_pandas(
            pd.read_csv(p, sep=delimiter, decimal="," if decimal_comma else ".",
                        thousands="." if decimal_comma else ","), preserve_index=False),
        "polars": lambda p: pl.read_csv(p, separator=delimiter, infer_schema_length=10000,
                                        decimal_comma=decimal_comma).to_arrow(),
        "polars ignore_errors": lambda p: pl.read_csv(p, separator=delimiter, infer_schema_length=10000,
                                                      ignore_errors=True, decimal_comma=decimal_comma).to_arrow(),
        "duckdb": lambda p: duckdb.sql(
            f"select * from read_csv('{p}', delim='{delimiter}', "
            f"decimal_separator='{',' if decimal_comma else '.'}')").arrow(),
    }


def score(table, truths: list[dict]) -> tuple[int, int, int, int, int]:
    """columns typed right, columns, cells right, cells, cells wrong."""
    columns = right_columns = cells = right_cells = wrong = 0
    if hasattr(table, "read_all"):
        table = table.read_all()
    for name in truths[0]:
        columns += 1
        cells += len(truths)
        if name not in table.column_names or table.num_rows != len(truths):
            continue
        column = table.column(name)
        kind_ok = kind_of_arrow(column.type) == kind_of_truth(name)
        right_columns += kind_ok
        for value, row in zip(column.to_pylist(), truths, strict=True):
            truth = row[name]
            if kind_of_truth(name) == "string" and value is not None:
                value = str(value)
            if same(value, truth):
                right_cells += 1
            elif value is not None and not (isinstance(value, str) and kind_of_truth(name) != "string"):
                # Not the cell's text kept as text: a value that is not the
                # truth (a zip code as a number, a swapped day and month).
                wrong += 1
    return right_columns, columns, right_cells, cells, wrong


def accuracy(args: argparse.Namespace) -> None:
    corpus = write_corpus(args.files, args.rows, args.seed)
    totals: dict[tuple[str, str], list[int]] = {}
    for path, delimiter, truths in corpus:
        state = "damaged" if "damaged" in path.name else "clean"
        for name, read in readers(delimiter).items():
            try:
                result = score(read(path), truths)
            except Exception:  # a reader that raises scores nothing on the file
                result = (0, len(truths[0]), 0, len(truths) * len(truths[0]), 0)
            total = totals.setdefault((name, state), [0, 0, 0, 0, 0])
            for i, v in enumerate(result):
                total[i] += v
    print(f"{args.files} files x {args.rows} rows x 12 columns, clean and damaged (2% of typed cells)\n")
    print("| reader | files | columns typed right | cells right | cells silently wrong |")
    print("|---|---|---|---|---|")
    for (name, state), (rc, c, rcell, cell, wrong) in totals.items():
        print(f"| {name} | {state} | {100 * rc / c:.1f}% | {100 * rcell / cell:.2f}% | {wrong} |")


def speed(args: argparse.Namespace) -> None:
    import polars as pl

    import quillon

    path = args.path
    runs: dict[str, list[float]] = {"string read": [], "typed read": [], "pl.read_csv": []}
    calls = {
        "string read": lambda: pl.DataFrame(quillon.read(path, types=False)),
        "typed read": lambda: pl.DataFrame(quillon.read(path)),
        "pl.read_csv": lambda: pl.read_csv(path),
    }
    # The typing's cost alone: CPU time (all threads) of quillon.read with
    # and without types, which differ only by it.
    cpu: dict[str, list[float]] = {"strings": [], "typed": []}
    reads = {"strings": lambda: quillon.read(path, types=False), "typed": lambda: quillon.read(path)}
    print(f"load before: {os.getloadavg()[0]:.2f}")
    for _ in range(args.runs):  # interleaved, so that load hits each alike
        for name, call in calls.items():
            started = time.perf_counter()
            call()
            runs[name].append(time.perf_counter() - started)
        for name, read in reads.items():
            started = time.process_time()
            read()
            cpu[name].append(time.process_time() - started)
    for name, times in runs.items():
        times.sort()
        print(f"{name:12s} median {times[len(times) // 2]:.2f}s  best {times[0]:.2f}s")
    strings, typed = (sorted(cpu[k])[len(cpu[k]) // 2] for k in ("strings", "typed"))
    print(f"CPU of quillon.read, medians: strings {strings:.3f}s, typed {typed:.3f}s: "
          f"the typing +{typed - strings:.3f}s ({typed / strings:.2f}x)")
    print(f"load after: {os.getloadavg()[0]:.2f}")
    print(dict(quillon.read(path).schema))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    a = sub.add_parser("accuracy")
    a.add_argument("--files", type=int, default=8)
    a.add_argument("--rows", type=int, default=2000)
    a.add_argument("--seed", type=int, default=7)
    s = sub.add_parser("speed")
    s.add_argument("path", nargs="?", default=str(HERE / "data" / "clean-100mb.csv"))
    s.add_argument("--runs", type=int, default=5)
    w = sub.add_parser("write")
    w.add_argument("--rows", type=int, default=800_000)
    w.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    {"accuracy": accuracy, "speed": speed, "write": write_large}[args.command](args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
