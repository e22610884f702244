#!/usr/bin/env python3
"""quillon against the general CSV tools: load a file, write a clean CSV.

Run after bench/setup-peers (which makes bench/.venv with the pinned peers)
and `pip install .` into the project venv:

    bench/.venv/bin/python bench/peers.py [--data DIR] [--runs N] [--large]

For each workload and contender: median wall time of --runs runs after a
warm-up, MB/s, peak RSS of the child process, data rows kept, and the ratios
to quillon from the same run. Each contender's runs follow one another: on
this virtual machine, memory that another process has just freed can cost a
process that touches it first twice its usual time (the kernel's page zeroing
runs slowly on it), and the warm-up run absorbs that. quillon runs
under the project's interpreter, the peers under bench/.venv; they are never
installed together. Also measured: SalvageReader iteration against
csv.reader and sniff on a 64 KiB sample (python_bench.py), and, with --cpp,
the C++ engine and file benchmarks. Writes bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import python_bench
from harness import (
    HERE,
    PEERS_PYTHON,
    PROJECT_PYTHON,
    REPO,
    Measurement,
    describe_machine,
    load_average,
    measure,
    stderr,
    warm_page_cache,
)


@dataclass(frozen=True)
class Contender:
    name: str
    task: str
    venv: str  # "project" or "peers"
    configuration: str
    note: str = ""


CONTENDERS = [
    Contender(
        "quillon",
        "quillon-salvage",
        "project",
        "`_quillon_backend.salvage_file(input, output)`, every option at its default "
        "(delimiter sniffed, column count inferred, quotes repaired, short rows padded, long rows merged)",
    ),
    Contender(
        "quillon.salvage",
        "quillon-adaptive",
        "project",
        "`quillon.salvage(input, output)`: the package's salvage, format detected, rows repaired, "
        "the input read on every core",
    ),
    Contender(
        "Python csv",
        "csv-roundtrip",
        "peers",
        "`csv.reader` over the file opened with `errors=\"replace\"`, `csv.field_size_limit(sys.maxsize)`, "
        "each row to `csv.writer`",
    ),
    Contender(
        "pandas (C engine)",
        "pandas-c",
        "peers",
        "`read_csv(engine=\"c\", dtype=str, keep_default_na=False, on_bad_lines=\"skip\", "
        "encoding_errors=\"replace\")` + `to_csv(index=False)`",
    ),
    Contender(
        "pandas (pyarrow engine)",
        "pandas-pyarrow",
        "peers",
        "`read_csv(engine=\"pyarrow\", dtype=str, keep_default_na=False, on_bad_lines=\"skip\", "
        "encoding_errors=\"replace\")` + `to_csv(index=False)`; pandas offers no way to pass pyarrow's "
        "`newlines_in_values`",
    ),
    Contender(
        "polars",
        "polars",
        "peers",
        "`read_csv(infer_schema=False, truncate_ragged_lines=True, ignore_errors=True, "
        "encoding=\"utf8-lossy\")` + `write_csv`",
    ),
    Contender(
        "polars, quoting off",
        "polars-no-quoting",
        "peers",
        "as polars, plus `quote_char=None`",
        "gets through stray quotes only by not parsing quotes at all: quoted fields are split at "
        "their commas and line breaks, and quote characters stay in the text",
    ),
    Contender(
        "DuckDB",
        "duckdb",
        "peers",
        "`COPY (SELECT * FROM read_csv(path, delim=',', quote='\"', escape='\"', header=true, all_varchar=true, "
        "null_padding=true, strict_mode=false, ignore_errors=true, parallel=false)) TO out (HEADER)`; "
        "`parallel=false` because DuckDB refuses `null_padding` with quoted line breaks in its parallel reader",
    ),
    Contender(
        "pyarrow.csv",
        "pyarrow",
        "peers",
        "`read_csv` with `ParseOptions(newlines_in_values=True, invalid_row_handler=lambda row: \"skip\")`, "
        "`ConvertOptions(default_column_type=pa.string(), check_utf8=False)` + `write_csv`",
    ),
    Contender(
        "pyarrow.csv, Latin-1",
        "pyarrow-latin1",
        "peers",
        "as pyarrow.csv, plus `ReadOptions(encoding=\"latin-1\")`",
        "gets through ill-formed UTF-8 in skipped rows only by decoding the input as Latin-1, which "
        "garbles every non-ASCII character",
    ),
    Contender(
        "CleverCSV",
        "clevercsv",
        "peers",
        "dialect from `clevercsv.Detector().detect()` on the first 1 MB, then `clevercsv.reader` over the "
        "file opened with `errors=\"replace\"` to `clevercsv.writer`",
    ),
]

WORKLOADS = ["clean-100mb.csv", "damaged-100mb.csv", "long-fields.csv"]
LARGE_WORKLOAD = "damaged-1gb.csv"


def measure_contenders(
    contenders: list[Contender], pythons: dict[str, Path], src: Path, out_dir: Path, runs: int, timeout: float
) -> dict[str, Measurement]:
    results = {}
    for c in contenders:
        stderr(f"  {c.name}")
        results[c.name] = measure(pythons[c.venv], c.task, src, out_dir / f"{c.task}.csv", runs, timeout)
    return results


def generated_rows(data: Path, name: str) -> int | None:
    try:
        entry = json.loads((data / "manifest.json").read_text())[name]
    except (OSError, KeyError, ValueError):
        return None
    return int(entry["records"]) - 1


def workload_table(name: str, size: int, rows: int | None, results: dict[str, Measurement]) -> list[str]:
    q = results.get("quillon")
    lines = [
        f"### {name}",
        "",
        f"{size / 1e6:.1f} MB" + (f", {rows:,} data rows as generated" if rows is not None else ""),
        "",
        "| contender | median s | MB/s | CPU s | peak RSS | of which imports | RSS / input | data rows kept | time vs quillon | RSS vs quillon |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    failures = []
    for c in CONTENDERS:
        m = results.get(c.name)
        if m is None:
            continue
        if not m.ok:
            lines.append(f"| {c.name} | failed | | | | | | | | |")
            failures.append(f"- {c.name}: `{' '.join(m.error.split())[:300]}`")
            continue
        if q is not None and q.ok and c.name != "quillon":
            vs_time = f"{m.seconds / q.seconds:.1f}x slower" if m.seconds >= q.seconds else f"{q.seconds / m.seconds:.1f}x faster"
            vs_rss = f"{m.peak_rss / q.peak_rss:.2f}x"
        else:
            vs_time = vs_rss = "" if c.name == "quillon" else "n/a"
        lines.append(
            f"| {c.name} | {m.seconds:.3f} | {m.mb_per_s:,.0f} | {m.cpu_seconds:.3f} | {m.peak_rss / 1e6:,.0f} MB | {m.baseline_rss / 1e6:,.0f} MB "
            f"| {m.rss_ratio:.2f} "
            f"| {m.value:,} | {vs_time} | {vs_rss} |"
        )
    if failures:
        lines += ["", "Failed (the error each peer raised on its warm-up run):", ""] + failures
    return lines + [""]


def goal_lines(all_results: dict[str, dict[str, Measurement]], py: dict[str, Measurement] | None) -> list[str]:
    lines = ["| goal | measured | met |", "|---|---|---|"]
    for name, results in all_results.items():
        peers = [(c, m) for c, m in results.items() if not c.startswith("quillon") and m.ok]
        for ours in ("quillon", "quillon.salvage"):
            q = results.get(ours)
            goal = f"{ours}: faster than every peer, 2x the fastest, on {name}"
            if q is None or not q.ok or not peers:
                lines.append(f"| {goal} | {ours} or all peers missing | n/a |")
                continue
            fastest_name, fastest = min(peers, key=lambda p: p[1].seconds)
            factor = fastest.seconds / q.seconds
            lines.append(
                f"| {goal} | {factor:.2f}x the fastest ({fastest_name}, "
                f"{fastest.seconds:.3f} s vs {q.seconds:.3f} s) | {'yes' if factor >= 2 else 'no'} |"
            )
    for name in ("clean-100mb.csv", "damaged-100mb.csv"):
        q = all_results.get(name, {}).get("quillon")
        if q is not None and q.ok:
            gbps = q.input_bytes / q.seconds / 1e9
            lines.append(f"| 1 GB/s or more on {name} | {gbps:.2f} GB/s | {'yes' if gbps >= 1 else 'no'} |")
    for name, results in all_results.items():
        q = results.get("quillon")
        if q is not None and q.ok:
            lines.append(
                f"| peak RSS at most 2.5x the input, {name} | {q.rss_ratio:.2f}x | {'yes' if q.rss_ratio <= 2.5 else 'no'} |"
            )
    if py:
        r, c = py["quillon-reader"], py["csv-reader"]
        if r.ok and c.ok:
            f = (r.value / r.seconds) / (c.value / c.seconds)
            lines.append(
                f"| SalvageReader 3x the rows/s of csv.reader | {f:.2f}x ({r.value / r.seconds / 1e6:.2f} vs "
                f"{c.value / c.seconds / 1e6:.2f} M rows/s) | {'yes' if f >= 3 else 'no'} |"
            )
        s = py["quillon-sniff"]
        if s.ok:
            us = s.value / 1e3
            lines.append(f"| sniff of 64 KiB under 100 us | {us:.1f} us | {'yes' if us < 100 else 'no'} |")
    return lines + [""]


def python_level_lines(py: dict[str, Measurement]) -> list[str]:
    lines = ["```"] + python_bench.summary_lines(py) + ["```", ""]
    return lines


def cpp_lines(build: Path, files: list[Path], adversarial: list[Path], runs: int) -> list[str]:
    lines = []
    for binary, label in (("engine_bench", "engine, in memory"), ("file_bench", "pipeline, file to file")):
        inputs = files + adversarial if binary == "engine_bench" else files
        exe = build / "bench" / binary
        if not exe.exists():
            lines.append(f"{exe} not built; configure with -DQUILLON_BUILD_BENCH=ON.")
            continue
        stderr(f"  {binary} ...")
        done = subprocess.run([str(exe), "--runs", str(runs), *map(str, inputs)], capture_output=True, text=True)
        lines += [f"{label} (`{binary}`):", "", "```", done.stdout.strip() or done.stderr.strip(), "```", ""]
    return lines


QUALITY_HEADING = "## Quality on damaged files"


def kept_quality_section(path: Path) -> str:
    """The section bench/quality.py wrote into the file, which this run keeps."""
    if not path.exists():
        return ""
    text = path.read_text()
    start = text.find(QUALITY_HEADING)
    return "" if start < 0 else "\n" + text[start:]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=HERE / "data", help="directory of generate.py's files")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--large", action="store_true", help="add the 1 GB damaged file")
    parser.add_argument("--workloads", nargs="+", metavar="FILE", help="only these files of the data directory")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="only these contenders (quillon is always kept)")
    parser.add_argument("--skip-python-level", action="store_true", help="leave out the reader and sniff figures")
    parser.add_argument("--cpp", type=Path, metavar="BUILD_DIR", help="also run the C++ benchmarks built there")
    parser.add_argument("--timeout", type=float, default=900, help="seconds allowed for one run")
    parser.add_argument("--project-python", type=Path, default=PROJECT_PYTHON)
    parser.add_argument("--peers-python", type=Path, default=PEERS_PYTHON)
    parser.add_argument("--output", type=Path, default=HERE / "RESULTS.md")
    args = parser.parse_args(argv)

    pythons = {"project": args.project_python, "peers": args.peers_python}
    for label, python in pythons.items():
        if not Path(python).exists():
            parser.error(f"{python} is missing ({'run bench/setup-peers' if label == 'peers' else 'run scripts/bootstrap'})")
    names = args.workloads or (WORKLOADS + ([LARGE_WORKLOAD] if args.large else []))
    files = [args.data / n for n in names]
    missing = [str(f) for f in files if not f.exists()]
    if missing:
        parser.error(f"missing {', '.join(missing)}: run bench/generate.py{' --large' if args.large else ''}")
    contenders = [c for c in CONTENDERS if not args.only or c.name == "quillon" or c.name in args.only or c.task in args.only]

    machine = describe_machine({"quillon": args.project_python, "peers": args.peers_python})
    out_dir = args.data / "out"
    out_dir.mkdir(parents=True, exist_ok=True)
    all_results: dict[str, dict[str, Measurement]] = {}
    for src in files:
        stderr(f"{src.name}:")
        warm_page_cache(src)
        all_results[src.name] = measure_contenders(contenders, pythons, src, out_dir, args.runs, args.timeout)
    py = None
    damaged = args.data / "damaged-100mb.csv"
    if not args.skip_python_level and damaged.exists():
        stderr(f"python level on {damaged.name}:")
        py = python_bench.run_all(str(args.project_python), damaged, out_dir, args.runs, args.timeout)
    # The one-line files show the look-ahead's cost, which only the engine benchmark isolates.
    adversarial = [args.data / n for n in ("stray-quotes-line.csv", "after-quote-line.csv", "spaces-line.csv", "open-doubled-quote.csv") if (args.data / n).exists()]
    cpp = cpp_lines(args.cpp, files, adversarial, args.runs) if args.cpp else []
    machine["load_after"] = load_average()

    peer_versions = subprocess.run(
        [str(args.peers_python), "-m", "pip", "freeze"], capture_output=True, text=True
    ).stdout.split()
    lines = [
        "# Benchmark results",
        "",
        f"Written by `bench/peers.py` on {machine['date']}; {args.runs} timed runs after a warm-up, median.",
        "",
        f"- CPU: {machine['cpu']} ({machine['simd']}), {machine['cores']} cores",
        f"- RAM: {machine['ram']}",
        f"- OS: {machine['os']}",
        f"- Python: {machine['python']}",
        f"- Load average (1, 5, 15 min) before: {machine['load']}; after: {machine['load_after']}. "
        "The machine is shared; a high load means noisy figures.",
        f"- Peers: {', '.join(v for v in peer_versions if v.split('==')[0].lower() in {'pandas', 'pyarrow', 'polars', 'duckdb', 'clevercsv', 'numpy'})}",
        f"- Data: `bench/generate.py` output in `{args.data.relative_to(REPO) if args.data.is_relative_to(REPO) else args.data}`",
        "",
        "Each run is a child process: the input is in the page cache, the tool's import is not timed, "
        "the output file is removed before each run, and each contender's runs follow its own warm-up run "
        "(the first process to touch memory that another one has just freed can take twice as long here). Peak RSS is the child's `ru_maxrss` (interpreter and "
        "library included; \"of which imports\" is the high-water mark before the work began). CPU s is the "
        "CPU time of all the child's threads during the work. Data rows kept excludes the header; more rows than generated means that a tool split records. quillon (the module) is single-threaded; "
        "quillon.salvage, DuckDB, polars and pyarrow may use both cores (CPU s above the wall time shows when they did).",
        "",
        "## Goals",
        "",
        *goal_lines(all_results, py),
        "## Load and write a clean CSV",
        "",
    ]
    for src in files:
        lines += workload_table(src.name, src.stat().st_size, generated_rows(args.data, src.name), all_results[src.name])
    lines += ["### Configurations", ""]
    for c in contenders:
        lines.append(f"- {c.name}: {c.configuration}" + (f". Note: {c.note}." if c.note else ""))
    lines.append("")
    if py:
        lines += ["## Python level, damaged-100mb.csv", "", *python_level_lines(py)]
    if cpp:
        lines += ["## C++ benchmarks", "", *cpp]
    args.output.write_text("\n".join(lines).rstrip() + "\n" + kept_quality_section(args.output))
    stderr(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
