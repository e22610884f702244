#!/usr/bin/env python3
"""Python-level figures of _quillon_backend against Python's csv module.

Run with the project's interpreter after `pip install .`:

    .venv/bin/python bench/python_bench.py [--data DIR] [--file NAME] [--runs N] [--only TASK]

Side by side on one file (by default the damaged 100 MB file), each task in a
child process of its own, the median of --runs runs after a warm-up (--only
quillon-reader measures that pair alone):

- `salvage_file` against a csv.reader -> csv.writer round trip;
- iterating `_quillon_backend.open(path)` against iterating csv.reader, in
  rows per second (opening, that is salvaging the file into memory, counts);
- peak RSS of each child as a multiple of the file size;
- `sniff` of the file's first 64 KiB, in microseconds per call, with
  csv.Sniffer on the same sample for scale.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from harness import HERE, Measurement, describe_machine, load_average, measure, stderr, warm_page_cache

PAIRS = [
    ("salvage_file vs csv round trip", "quillon-salvage", "csv-roundtrip"),
    ("reader iteration", "quillon-reader", "csv-reader"),
    ("sniff, 64 KiB sample", "quillon-sniff", "csv-sniffer"),
]


def run_all(
    python: str, src: Path, out_dir: Path, runs: int, timeout: float, only: str | None = None
) -> dict[str, Measurement]:
    # Each task's runs follow one another after its warm-up: a reader's child
    # that follows a child of the other side would first touch the memory that
    # the previous reader freed and the machine took back, which doubles its
    # open here.
    out_dir.mkdir(parents=True, exist_ok=True)
    warm_page_cache(src)
    results = {}
    for _, ours, theirs in PAIRS:
        if only is not None and ours != only:
            continue
        for task in (ours, theirs):
            stderr(f"  {task} ...")
            results[task] = measure(python, task, src, out_dir / f"{task}.csv", runs, timeout)
    return results


def bad(m: Measurement) -> str:
    return f"FAILED: {m.error}"


def summary_lines(results: dict[str, Measurement]) -> list[str]:
    lines = []
    if "quillon-salvage" in results:
        lines += salvage_lines(results["quillon-salvage"], results["csv-roundtrip"])
    if "quillon-reader" in results:
        lines += reader_lines(results["quillon-reader"], results["csv-reader"])
    if "quillon-sniff" in results:
        lines += sniff_lines(results["quillon-sniff"], results["csv-sniffer"])
    return [line for line in lines if line]


def salvage_lines(q: Measurement, c: Measurement) -> list[str]:
    lines = ["salvage_file vs csv.reader -> csv.writer (file to file):"]
    for label, m in (("salvage_file", q), ("csv round trip", c)):
        lines.append(
            f"  {label:16} "
            + (
                f"{m.seconds:8.3f} s (CPU {m.cpu_seconds:7.3f} s)  {m.mb_per_s:8.1f} MB/s  peak RSS {m.peak_rss / 1e6:7.0f} MB"
                f" = {m.rss_ratio:4.2f}x file  rows kept {m.value:,}"
                if m.ok
                else bad(m)
            )
        )
    if q.ok and c.ok:
        lines.append(f"  salvage_file is {c.seconds / q.seconds:.1f} times faster (goal: 30 or more)")
    return lines


def reader_lines(q: Measurement, c: Measurement) -> list[str]:
    lines = ["iterating rows (open + iterate vs csv.reader):"]
    for label, m in (("SalvageReader", q), ("csv.reader", c)):
        lines.append(
            f"  {label:16} "
            + (
                f"{m.seconds:8.3f} s (CPU {m.cpu_seconds:7.3f} s)  {m.value / m.seconds / 1e6:8.2f} M rows/s  peak RSS {m.peak_rss / 1e6:7.0f} MB"
                f" = {m.rss_ratio:4.2f}x file  rows {m.value:,}"
                if m.ok
                else bad(m)
            )
        )
    if q.ok:
        opened = q.detail("open_seconds")
        lines.append(f"  SalvageReader: open (salvage into memory) {opened:.3f} s, iteration {q.seconds - opened:.3f} s")
    if q.ok and c.ok:
        speedup = (q.value / q.seconds) / (c.value / c.seconds)
        # Both read the same rows, so the CPU-time ratio is the one that other
        # processes on a shared machine disturb least.
        cpu_speedup = c.cpu_seconds / q.cpu_seconds
        lines.append(
            f"  SalvageReader gives {speedup:.1f} times the rows per second, {cpu_speedup:.1f} times in CPU time"
            " (goal: 3 or more)"
        )
    return lines


def sniff_lines(q: Measurement, c: Measurement) -> list[str]:
    lines = ["sniffing the first 64 KiB:"]
    for label, m in (("sniff", q), ("csv.Sniffer", c)):
        lines.append(f"  {label:16} " + (f"{m.value / 1e3:10.1f} us per call" if m.ok else bad(m)))
    if q.ok:
        lines.append(f"  goal: under 100 us per call; csv.Sniffer takes {c.value / max(q.value, 1):.0f} times as long" if c.ok else "")
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=HERE / "data", help="directory of generate.py's files")
    parser.add_argument("--file", default="damaged-100mb.csv")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--timeout", type=float, default=900, help="seconds allowed for one run")
    parser.add_argument("--json", action="store_true", help="print the raw figures as JSON")
    parser.add_argument(
        "--only", choices=[ours for _, ours, _ in PAIRS], help="measure this task and its csv counterpart alone"
    )
    args = parser.parse_args(argv)

    src = args.data / args.file
    if not src.exists():
        parser.error(f"{src} is missing: run bench/generate.py first")
    machine = describe_machine({"this interpreter": sys.executable})
    stderr(f"python_bench: {src} ({src.stat().st_size / 1e6:.0f} MB), {args.runs} runs after a warm-up")
    results = run_all(sys.executable, src, args.data / "out", args.runs, args.timeout, args.only)
    machine["load_after"] = load_average()
    if args.json:
        print(
            json.dumps(
                {
                    "machine": machine,
                    "file": args.file,
                    "bytes": src.stat().st_size,
                    "results": {
                        k: {
                            "ok": m.ok,
                            "error": m.error,
                            "seconds": [r.seconds for r in m.runs],
                            "cpu_seconds": [r.cpu_seconds for r in m.runs],
                            "peak_rss": [r.peak_rss for r in m.runs],
                            "value": m.value if m.ok else None,
                        }
                        for k, m in results.items()
                    },
                },
                indent=2,
            )
        )
    else:
        print(f"{machine['cpu']}, {machine['cores']} cores, {machine['ram']}, {machine['os']}, Python {machine['python']}")
        print(f"{machine['date']}; load average before {machine['load']}, after {machine['load_after']}")
        print(f"{args.file}: {src.stat().st_size / 1e6:.1f} MB, median of {args.runs} runs after a warm-up\n")
        print("\n".join(summary_lines(results)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
