#!/usr/bin/env python3
"""Many files and compressed input: quillon salvage --jobs, salvage_many's
executors, and the cost of a .gz input.

    python bench/many_bench.py [--files 200] [--size-mb 5] [--runs 3]

Needs bench/data/damaged-100mb.csv (python3 bench/generate.py) and quillon
installed in the running interpreter. Writes its inputs to bench/data/many/
(kept for the next run) and its outputs to a temporary folder in memory
(/dev/shm, unless --scratch says otherwise: written to disk, a gigabyte of
clean files soon waits on the disk's write-back and hides the CPU). Measures,
each as the median of --runs runs after one warm-up, page cache warm:

  1. `quillon salvage --out-dir` over FILES files of SIZE MB, --jobs 1
     against --jobs 2;
  2. quillon.salvage_many over the same files with its default thread pool
     (2 threads) against a process pool of 2;
  3. `quillon salvage FILE.gz` against `gzip -dc FILE.gz > /dev/null` plus
     `quillon salvage FILE` (damaged-100mb.csv).

The machine is small and shared: the load average is printed before and
after; figures taken under load are noisy.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import quillon

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "data" / "damaged-100mb.csv"


def make_inputs(folder: Path, files: int, size: int) -> list[Path]:
    """FILES files of about SIZE bytes each: the header of the damaged file,
    then a slice of its lines, each slice starting further on."""
    data = SOURCE.read_bytes()
    header_end = data.index(b"\n") + 1
    header, body = data[:header_end], data[header_end:]
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for i in range(files):
        path = folder / f"part-{i:04d}.csv"
        paths.append(path)
        if path.exists() and abs(path.stat().st_size - size) < size // 10:
            continue
        start = body.index(b"\n", (i * 7_919_081) % (len(body) - size)) + 1
        end = body.index(b"\n", start + size - len(header)) + 1
        path.write_bytes(header + body[start:end])
    return paths


def timed(actions: dict[str, Callable[[], object]], runs: int) -> dict[str, float]:
    """The median time of each action; the runs take turns, so that a change
    of the machine's load falls on all of them alike."""
    times: dict[str, list[float]] = {name: [] for name in actions}
    for round_ in range(runs + 1):
        for name, action in actions.items():
            start = time.perf_counter()
            action()
            if round_ > 0:  # the first round warms up
                times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def command(*args: str) -> Callable[[], object]:
    def run() -> None:
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)

    return run


def shell(line: str) -> Callable[[], object]:
    def run() -> None:
        subprocess.run(["bash", "-c", line], check=True)

    return run


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--size-mb", type=float, default=5.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--scratch", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where the outputs go (default: /dev/shm)")
    options = parser.parse_args()
    if not SOURCE.exists():
        print(f"{SOURCE} is missing: run python3 bench/generate.py first", file=sys.stderr)
        return 1

    print(f"load average before: {load()}")
    inputs = make_inputs(HERE / "data" / "many", options.files, int(options.size_mb * 1e6))
    total = sum(p.stat().st_size for p in inputs)
    print(f"{len(inputs)} files, {total / 1e6:.0f} MB in all")
    quillon_cli = [sys.executable, "-m", "quillon", "salvage", "--quiet"]
    with tempfile.TemporaryDirectory(prefix="quillon-many-", dir=options.scratch) as scratch:
        out = Path(scratch)
        folder = str(inputs[0].parent)

        def jobs(n: int) -> Callable[[], object]:
            return command(*quillon_cli, "--out-dir", str(out / f"j{n}"), "--jobs", str(n), folder)

        with ProcessPoolExecutor(2) as pool:
            pool.submit(int).result()
            t = timed(
                {
                    "jobs 1": jobs(1),
                    "jobs 2": jobs(2),
                    "threads": lambda: quillon.salvage_many(folder, out / "threads", jobs=2),
                    "processes": lambda: quillon.salvage_many(folder, out / "processes", executor=pool),
                },
                options.runs,
            )
        one, two = t["jobs 1"], t["jobs 2"]
        print(f"quillon salvage --jobs 1: {one:.2f} s ({total / one / 1e6:.0f} MB/s)")
        print(f"quillon salvage --jobs 2: {two:.2f} s ({total / two / 1e6:.0f} MB/s), {one / two:.2f}x --jobs 1")
        threads, processes = t["threads"], t["processes"]
        print(f"salvage_many, thread pool of 2: {threads:.2f} s")
        print(f"salvage_many, process pool of 2: {processes:.2f} s (threads take {threads / processes:.2f}x its time)")
        for name in ("j1", "j2", "threads", "processes"):
            shutil.rmtree(out / name)

        packed = out / "damaged-100mb.csv.gz"
        subprocess.run(["bash", "-c", f"gzip -6 -c '{SOURCE}' > '{packed}'"], check=True)
        t = timed(
            {
                "gunzip": shell(f"gzip -dc '{packed}' > /dev/null"),
                "plain": command(*quillon_cli, str(SOURCE), str(out / "plain.csv")),
                "gz": command(*quillon_cli, str(packed), str(out / "gz.csv")),
            },
            options.runs,
        )
        gunzip, plain, gz = t["gunzip"], t["plain"], t["gz"]
        print(f"gzip -dc > /dev/null: {gunzip:.2f} s; quillon salvage of the plain file: {plain:.2f} s")
        print(f"quillon salvage of the .gz file: {gz:.2f} s, {gz / (gunzip + plain):.2f}x the two together")
    print(f"load average after: {load()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
