#!/usr/bin/env python3
"""One large file on every core: quillon.salvage and quillon.read on all the
cores the machine has, against the same calls held to one core.

    python bench/cores_bench.py [--runs 5] [FILE ...]

Each run is a child process (bench/workers.py): `quillon-adaptive` salvages
the file into a clean file, `quillon-read` reads it
into a pyarrow table. The one-core runs start with this process's CPU
affinity set to core 0, as `taskset -c 0` would: the children inherit it,
and the package then reads on one thread, as it does on a one-core machine.
Runs alternate between the two settings, one warm-up of each first, and the
median is printed with the ratio, and the median CPU time of each setting
(on a machine shared with other work, a steadier figure than the wall
clock). Defaults to the 100 MB damaged and clean files of
bench/generate.py; outputs go to /dev/shm (--scratch).

Needs quillon (and pyarrow) installed in the running interpreter. On a
shared machine, where a session's processes share one scheduling group,
raise this script's group first (as root: `echo -15 > /proc/self/autogroup`
in its shell), or the second core is not there to be used.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
from pathlib import Path

from harness import fmt_mb, load_average, run_task, warm_page_cache

HERE = Path(__file__).resolve().parent
DEFAULT_FILES = [HERE / "data" / "damaged-100mb.csv", HERE / "data" / "clean-100mb.csv"]
TASKS = ("quillon-adaptive", "quillon-read")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=Path, default=DEFAULT_FILES)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--scratch", type=Path, default=Path("/dev/shm"))
    parser.add_argument("--timeout", type=float, default=300.0)
    args = parser.parse_args()

    all_cores = os.sched_getaffinity(0)
    if len(all_cores) < 2:
        print("needs at least 2 cores", file=sys.stderr)
        return 2
    print(f"cores: {len(all_cores)}; load average before: {load_average()}")
    dst = args.scratch / "quillon-cores-bench.csv"
    for path in args.files:
        warm_page_cache(path)
        size = path.stat().st_size
        print(f"\n{path.name}  {fmt_mb(size)}")
        for task in TASKS:
            times: dict[str, list[float]] = {"all": [], "one": []}
            cpu: dict[str, list[float]] = {"all": [], "one": []}
            rss: dict[str, list[int]] = {"all": [], "one": []}
            for i in range(args.runs + 1):
                for setting in ("all", "one"):
                    os.sched_setaffinity(0, all_cores if setting == "all" else {min(all_cores)})
                    try:
                        run = run_task(sys.executable, task, path, dst, args.timeout)
                    finally:
                        os.sched_setaffinity(0, all_cores)
                    if not run.ok:
                        print(f"  {task}: failed: {run.error}")
                        return 1
                    if i > 0:
                        times[setting].append(run.seconds)
                        cpu[setting].append(run.cpu_seconds)
                        rss[setting].append(run.peak_rss - run.baseline_rss)
            dst.unlink(missing_ok=True)
            one = statistics.median(times["one"])
            every = statistics.median(times["all"])
            print(
                f"  {task:17} one core {one:.3f} s   {len(all_cores)} cores {every:.3f} s   "
                f"speed-up {one / every:.2f}x   peak RSS above imports "
                f"{max(rss['one']) / size:.2f}x / {max(rss['all']) / size:.2f}x the file   "
                f"CPU {statistics.median(cpu['one']):.3f} / {statistics.median(cpu['all']):.3f} s"
            )
    print(f"\nload average after: {load_average()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
