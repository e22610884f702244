#!/usr/bin/env python3
"""How much of a damaged file's data each tool gets back: quillon against the
general CSV readers, scored against the known truth of every file.

    bench/.venv/bin/python bench/quality.py [--project-python PATH] [--output FILE]

The corpus is bench/quality_corpus.py's (written to bench/data/quality/ when
missing or out of date), the hand-written exports in bench/quality_samples/
(each `NAME.EXT` beside its `NAME.truth.csv` and `NAME.truth.json`) and the
real files of bench/quality_real.py (gathered into bench/data/real/ when
missing). Each
tool reads every file in a worker process of its own: quillon's tools under
the project's interpreter (--project-python), the peers under bench/.venv
(--peers-python). A tool whose import fails is skipped and the output says
so; a tool that raises on a file (or takes longer than --timeout) yields no
records for it and counts as a failure.

What a tool yields is a list of records, the first taken as its header. The
quillon tools write a clean file, read back with Python's csv module (UTF-8,
the delimiter and quote the run reports). The peers' records are their
column names followed by their rows, every missing value (null, NaN) as an
empty string.

Scores of one file, with T the truth (header T[0], data records T[1:]) and O
the tool's records (O[0] its header, O[1:] its data records):

  header   1 when O[0] == T[0] (every cell equal, same length), else 0.
  records  exact-match multiset of data records: matched = the sum over
           distinct records r of min(count of r in O[1:], count in T[1:]);
           precision = matched / len(O[1:]), recall = matched / len(T[1:]).
  cells    data records are aligned in order: difflib.SequenceMatcher
           (autojunk off) over the whole records pairs the equal ones;
           inside each stretch it leaves unpaired, a second SequenceMatcher
           over the records' first cells pairs records with equal first cells,
           and what remains of a stretch is paired by position, up to the
           shorter side. A pair scores the number of column positions j with
           O-record[j] == T-record[j]. precision = paired equal cells / all
           cells of O[1:], recall = paired equal cells / all cells of T[1:].
  F1       2PR / (P + R), 0 when P + R is 0. A precision with nothing
           output is 0.
  properties  delimiter, quote, escape, header, preamble, comment and
           tables, each right, wrong or n/a (never reported by the tool)
           against the file's NAME.truth.json; judge_properties() has the
           rules.
  all right  every property the tool reports right and O[1:] == T[1:].

Scores of a group of files (a damage kind, a source, all files) add up the
counts of its files before dividing (micro average): headers right out of files,
matched records over all output and all truth records, equal cells over all
output and all truth cells. "mean over kinds" is the plain mean of the kinds'
F1. Everything is deterministic: the same corpus and the same tool versions
give the same table.
"""

from __future__ import annotations

import argparse
import csv
import difflib
import io
import json
import os
import re
import selectors
import subprocess
import sys
import tempfile
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from quality_corpus import is_blank_line

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
PROJECT_PYTHON = REPO / ".venv" / "bin" / "python"
PEERS_PYTHON = HERE / ".venv" / "bin" / "python"
SAMPLES = HERE / "quality_samples"
CORPUS = HERE / "data" / "quality"
REAL = HERE / "data" / "real"
SOURCES = ("generated", "samples", "real")
SNIFF_SAMPLE_CHARS = 64 * 1024


@dataclass(frozen=True)
class Tool:
    key: str
    label: str
    venv: str  # "project" or "peers"
    configuration: str
    # Its first record is always column names, made up where the file has
    # none (a dataframe's); otherwise only when the tool says there is a header.
    names_always: bool = True


TOOLS = [
    Tool(
        "quillon.salvage",
        "quillon.salvage",
        "project",
        "`quillon.salvage(input, output)`, every option at its default (dialect, encoding and structure detected)",
        names_always=False,
    ),
    Tool(
        "module",
        "module",
        "project",
        "`_quillon_backend.salvage_file(input, output)`, every option at its default",
    ),
    Tool(
        "pandas-c",
        "pandas C",
        "peers",
        "`read_csv(engine=\"c\", dtype=str, keep_default_na=False, index_col=False, on_bad_lines=\"skip\", "
        "encoding_errors=\"replace\")`; the C engine cannot sniff the delimiter",
    ),
    Tool(
        "pandas-python",
        "pandas python",
        "peers",
        "`read_csv(sep=None, engine=\"python\", dtype=str, keep_default_na=False, index_col=False, "
        "on_bad_lines=lambda fields: fields, encoding_errors=\"replace\")`: delimiter sniffed by csv.Sniffer, "
        "a row with surplus fields kept with the surplus dropped",
    ),
    Tool(
        "polars",
        "polars",
        "peers",
        "`read_csv(infer_schema=False, truncate_ragged_lines=True, ignore_errors=True, encoding=\"utf8-lossy\")`; "
        "polars does not detect the delimiter",
    ),
    Tool(
        "duckdb-sniff",
        "DuckDB sniff_csv",
        "peers",
        "`sniff_csv(path, all_varchar=true)`, every other option at its default: the dialect and structure DuckDB's "
        "sniffer reports (Delimiter, Quote, Escape, HasHeader, SkipRows, Comment); the rows are those of the "
        "`read_csv` call it proposes (its Prompt), strict as DuckDB reads by default",
    ),
    Tool(
        "duckdb",
        "DuckDB",
        "peers",
        "`read_csv(path, all_varchar=true, ignore_errors=true, null_padding=true, parallel=false)`, dialect and "
        "header auto-detected, the properties from `sniff_csv` with the same options; `parallel=false` because the parallel reader refuses `null_padding` with quoted "
        "line breaks",
    ),
    Tool(
        "duckdb-lax",
        "DuckDB, strict off",
        "peers",
        "`read_csv(path, all_varchar=true, ignore_errors=true, strict_mode=false, parallel=false)`, dialect and "
        "header auto-detected, the properties from `sniff_csv` with the same options. Neither DuckDB setting is better on every kind: with strict mode on, DuckDB gives "
        "up on files with mixed line ends and `null_padding` widens every row when a few have a surplus field; "
        "with it off, doubled quotes are sometimes left doubled and `null_padding` (left out here) adds empty "
        "columns to every row",
    ),
    Tool(
        "clevercsv",
        "CleverCSV",
        "peers",
        "encoding by `clevercsv.encoding.get_encoding` (chardet), the file decoded with `errors=\"replace\"`, "
        "dialect by `clevercsv.Detector().detect()` on the whole text, then `clevercsv.reader`; blank lines "
        "(records of no field) dropped; `Sniffer().has_header()` on the first 64 Ki characters says whether the "
        "first record is a header",
        names_always=False,
    ),
    Tool(
        "csv",
        "Python csv",
        "peers",
        "the file decoded as UTF-8 with `errors=\"replace\"`, `csv.Sniffer().sniff()` on the first 64 Ki "
        "characters (the `excel` dialect when it gives up), then `csv.reader`; blank lines dropped; "
        "`Sniffer().has_header()` on the same characters says whether the first record is a header",
        names_always=False,
    ),
]
TOOLS_BY_KEY = {t.key: t for t in TOOLS}


# ---- the workers: one process per tool, every file in turn -----------------


def _read_back(path: str, delimiter: str, quote: str) -> list[list[str]]:
    csv.field_size_limit(sys.maxsize)
    with open(path, newline="", encoding="utf-8") as f:
        return [list(r) for r in csv.reader(f, delimiter=delimiter, quotechar=quote)]


def _cell(value: object) -> str:
    if value is None or (isinstance(value, float) and value != value):
        return ""
    return str(value)


def _frame_rows(header: Sequence[object], rows: Iterable[Sequence[object]]) -> list[list[str]]:
    return [[_cell(c) for c in header]] + [[_cell(c) for c in row] for row in rows]


def _setup(key: str) -> tuple[Callable[[str, str], tuple[list[list[str]] | None, dict]], str]:
    """Imports the tool; returns its runner (input path, scratch output path)
    and its version. A runner returns the records and details (what it
    detected under "properties"), or no records and an "error". Raises
    ImportError (or AttributeError) when the tool is not there."""
    if key in ("quillon.salvage", "module"):
        import _quillon_backend
        import quillon

        version = getattr(quillon, "__version__", "?")
        if key == "quillon.salvage":
            salvage = getattr(quillon, "salvage", None)
            if salvage is None:
                raise AttributeError("quillon has no attribute 'salvage' yet")

            def run(src: str, out: str) -> tuple[list[list[str]], dict]:
                report = salvage(src, out)
                detail = report.to_dict() if hasattr(report, "to_dict") else {}
                found = report.input
                detail["properties"] = {
                    "delimiter": found.delimiter,
                    "quote": found.quote_char,
                    "escape": found.escape_char,
                    "header": found.header,
                    "preamble": found.preamble_rows,
                    "comment": found.comment,
                    # Each export of a concatenated file repeats the header.
                    "tables": 1 + report.rejects.get("repeated_header", 0),
                }
                return _read_back(out, report.delimiter, report.quote_char or '"'), detail

            return run, version

        def run_module(src: str, out: str) -> tuple[list[list[str]], dict]:
            summary = _quillon_backend.salvage_file(src, out)
            detail = dict(summary.to_dict())
            detail["properties"] = {"delimiter": summary.detected_delimiter}
            return _read_back(out, summary.detected_delimiter, '"'), detail

        return run_module, version

    if key in ("pandas-c", "pandas-python"):
        import pandas as pd

        def run_pandas(src: str, out: str) -> tuple[list[list[str]], dict]:
            common = dict(dtype=str, keep_default_na=False, index_col=False, encoding_errors="replace")
            if key == "pandas-c":
                df = pd.read_csv(src, engine="c", on_bad_lines="skip", **common)
                return _frame_rows(list(df.columns), df.itertuples(index=False, name=None)), {}
            with pd.read_csv(src, sep=None, engine="python", on_bad_lines=lambda fields: fields, iterator=True, **common) as reader:
                # The python engine keeps the dialect csv.Sniffer gave it on
                # its csv reader; pandas exposes it nowhere else.
                dialect = getattr(getattr(reader._engine, "data", None), "dialect", None)
                df = reader.read()
            detail = {"properties": {"delimiter": dialect.delimiter}} if dialect is not None else {}
            return _frame_rows(list(df.columns), df.itertuples(index=False, name=None)), detail

        return run_pandas, pd.__version__

    if key == "polars":
        import polars as pl

        def run_polars(src: str, out: str) -> tuple[list[list[str]], dict]:
            df = pl.read_csv(src, infer_schema=False, truncate_ragged_lines=True, ignore_errors=True, encoding="utf8-lossy")
            return _frame_rows(df.columns, df.iter_rows()), {}

        return run_polars, pl.__version__

    if key in ("duckdb-sniff", "duckdb", "duckdb-lax"):
        import duckdb

        options = {"duckdb-sniff": "", "duckdb": ", ignore_errors=true, null_padding=true", "duckdb-lax": ", ignore_errors=true, strict_mode=false"}[key]

        def run_duckdb(src: str, out: str) -> tuple[list[list[str]] | None, dict]:
            con = duckdb.connect()
            try:
                path = "'" + src.replace("'", "''") + "'"
                arguments = f"{path}, all_varchar=true{options}"
                # sniff_csv with the reader's own options tells what read_csv
                # detects; a sniff that fails leaves the properties unknown.
                prompt = None
                try:
                    sniff = con.execute(f"SELECT * FROM sniff_csv({arguments})")
                    found = dict(zip([d[0] for d in sniff.description], sniff.fetchone() or ()))
                    prompt = found.get("Prompt")
                    properties = {
                        "delimiter": found.get("Delimiter"),
                        "quote": found.get("Quote"),
                        "escape": found.get("Escape"),
                        "header": found.get("HasHeader"),
                        "preamble": found.get("SkipRows"),
                        "comment": found.get("Comment"),
                    }
                except duckdb.Error as error:
                    if key == "duckdb-sniff":
                        raise
                    properties = {"delimiter": f"sniff_csv failed: {error}"[:120]}
                if key == "duckdb-sniff":
                    try:
                        cur = con.execute(str(prompt))  # "FROM read_csv(...)": DuckDB takes the FROM first
                    except duckdb.Error as error:
                        return None, {"properties": properties, "error": f"{type(error).__name__}: {error}"[:300]}
                else:
                    cur = con.execute(f"SELECT * FROM read_csv({arguments}, parallel=false)")
                header = [d[0] for d in cur.description]
                return _frame_rows(header, cur.fetchall()), {"properties": properties}
            finally:
                con.close()

        return run_duckdb, duckdb.__version__

    if key == "clevercsv":
        import clevercsv
        from clevercsv.encoding import get_encoding

        def run_clevercsv(src: str, out: str) -> tuple[list[list[str]], dict]:
            encoding = get_encoding(src) or "utf-8"
            with open(src, newline="", encoding=encoding, errors="replace") as f:
                text = f.read()
            dialect = clevercsv.Detector().detect(text)
            if dialect is None:
                raise RuntimeError("clevercsv detected no dialect")
            rows = [r for r in clevercsv.reader(io.StringIO(text, newline=""), dialect) if r]
            properties = {
                "delimiter": dialect.delimiter,
                "quote": dialect.quotechar,
                "escape": dialect.escapechar,
                "header": clevercsv.Sniffer().has_header(text[:SNIFF_SAMPLE_CHARS]),
            }
            return rows, {"encoding": encoding, "dialect": str(dialect), "properties": properties}

        return run_clevercsv, clevercsv.__version__

    if key == "csv":

        def run_csv(src: str, out: str) -> tuple[list[list[str]], dict]:
            csv.field_size_limit(sys.maxsize)
            with open(src, "rb") as f:
                text = f.read().decode("utf-8", "replace")
            sample = text[:SNIFF_SAMPLE_CHARS]
            try:
                dialect: type[csv.Dialect] | csv.Dialect = csv.Sniffer().sniff(sample)
                detail: dict = {"delimiter": dialect.delimiter, "quotechar": dialect.quotechar}
            except csv.Error:
                dialect, detail = csv.excel, {"sniffer": "gave up"}
            try:
                has_header: bool | None = csv.Sniffer().has_header(sample)
            except csv.Error:
                has_header = None
            detail["properties"] = {
                "delimiter": dialect.delimiter,
                "quote": dialect.quotechar,
                "escape": dialect.escapechar,
                "header": has_header,
            }
            return [r for r in csv.reader(io.StringIO(text, newline=""), dialect) if r], detail

        return run_csv, sys.version.split()[0]

    raise KeyError(key)


def worker_main(key: str) -> int:
    """Reads [input, scratch output] pairs as JSON from stdin; writes one
    JSON line per file to stdout. Anything the tool prints goes to stderr."""
    protocol = os.fdopen(os.dup(1), "w", encoding="utf-8")
    os.dup2(2, 1)
    import warnings

    warnings.simplefilter("ignore")

    def send(message: dict) -> None:
        # ASCII escapes carry lone surrogates through; str() whatever a report holds.
        protocol.write(json.dumps(message, default=str) + "\n")
        protocol.flush()

    jobs = json.load(sys.stdin)
    try:
        run, version = _setup(key)
    except (ImportError, AttributeError) as error:
        send({"available": False, "reason": f"{type(error).__name__}: {error}"})
        return 0
    send({"available": True, "version": version})
    for src, out in jobs:
        start = time.perf_counter()
        try:
            rows, detail = run(src, out)
            # A tool whose detection worked but whose reading failed yields
            # no rows and keeps what it detected.
            ok = rows is not None
            send({"ok": ok, "rows": rows, "detail": detail, "error": "" if ok else detail.pop("error"), "seconds": time.perf_counter() - start})
        except BaseException as error:  # a tool's failure is a result
            send({"ok": False, "error": f"{type(error).__name__}: {error}"[:300], "seconds": time.perf_counter() - start})
        finally:
            if os.path.exists(out):
                os.unlink(out)
    return 0


# ---- running the workers ---------------------------------------------------


@dataclass
class Outcome:
    rows: list[list[str]] | None
    error: str = ""
    seconds: float = 0.0
    detail: dict = field(default_factory=dict)


class Worker:
    def __init__(self, python: Path, key: str, jobs: list[list[str]]) -> None:
        self.stderr = tempfile.TemporaryFile()
        self.child = subprocess.Popen(
            [str(python), str(Path(__file__).resolve()), "--worker", key],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.stderr,
        )
        assert self.child.stdin is not None and self.child.stdout is not None
        self.child.stdin.write(json.dumps(jobs).encode())
        self.child.stdin.close()
        self.out = self.child.stdout
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.out, selectors.EVENT_READ)
        self.buffer = b""

    def message(self, timeout: float) -> dict | None:
        """The next JSON line, or None when the child ended or took too long."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not self.selector.select(left):
                return None
            chunk = os.read(self.out.fileno(), 1 << 20)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def close(self) -> str:
        """Ends the child; returns the tail of what it wrote to stderr."""
        if self.child.poll() is None:
            self.child.kill()
        self.child.wait()
        self.selector.close()
        self.out.close()
        self.stderr.seek(0)
        tail = self.stderr.read().decode("utf-8", "replace").strip().splitlines()[-2:]
        self.stderr.close()
        return " / ".join(tail)


def run_tool(python: Path, key: str, files: list[Path], scratch: Path, timeout: float) -> tuple[str | None, list[Outcome], str]:
    """Runs one tool over the files. Returns (version or None when the tool is
    unavailable, one outcome per file, the reason it is unavailable). A worker
    that dies or hangs costs the file it was on, and a new one carries on."""
    outcomes: list[Outcome] = []
    version: str | None = None
    while len(outcomes) < len(files):
        rest = files[len(outcomes) :]
        jobs = [[str(f), str(scratch / f"{key}-{len(outcomes) + i}.out")] for i, f in enumerate(rest)]
        worker = Worker(python, key, jobs)
        hello = worker.message(120)
        if hello is None or not hello.get("available"):
            tail = worker.close()
            reason = hello["reason"] if hello else f"worker did not start: {tail}"
            return None, [], reason
        version = hello["version"]
        while len(outcomes) < len(files):
            msg = worker.message(timeout)
            if msg is None:
                status = worker.child.poll()
                tail = worker.close()
                why = f"no result within {timeout:g} s" if status is None else f"worker exited with status {status}: {tail}"
                outcomes.append(Outcome(None, why[:300]))
                break
            outcomes.append(
                Outcome(msg.get("rows") if msg["ok"] else None, msg.get("error", ""), msg["seconds"], msg.get("detail", {}))
            )
        else:
            worker.close()
    return version, outcomes, ""


# ---- scoring ---------------------------------------------------------------


@dataclass
class Score:
    files: int = 0
    failed: int = 0
    header_right: int = 0
    records_matched: int = 0
    records_out: int = 0
    records_truth: int = 0
    cells_matched: int = 0
    cells_out: int = 0
    cells_truth: int = 0
    rows_exact: int = 0
    all_right: int = 0
    # files whose property was right, and files where the tool was asked it
    right: Counter = field(default_factory=Counter)
    scored: Counter = field(default_factory=Counter)

    def __iadd__(self, other: Score) -> Score:
        for name in self.__dataclass_fields__:
            setattr(self, name, getattr(self, name) + getattr(other, name))
        return self

    def to_dict(self) -> dict:
        # asdict would rebuild the counters from their items, as counts of pairs
        return {name: dict(v) if isinstance(v := getattr(self, name), Counter) else v for name in self.__dataclass_fields__}

    def prf(self, unit: str) -> tuple[float, float, float]:
        """Precision, recall and F1 of "records" or "cells"."""
        matched, out, truth = (getattr(self, f"{unit}_{k}") for k in ("matched", "out", "truth"))
        p = matched / out if out else 0.0
        r = matched / truth if truth else 0.0
        return p, r, (2 * p * r / (p + r) if p + r else 0.0)


def aligned_pairs(out: list[tuple[str, ...]], truth: list[tuple[str, ...]]) -> Iterator[tuple[int, int]]:
    """Pairs of (output index, truth index), in order: equal records first,
    then, inside the stretches left over, records with equal first cells,
    then what remains by position."""
    top = difflib.SequenceMatcher(None, out, truth, autojunk=False)
    for tag, i1, i2, j1, j2 in top.get_opcodes():
        if tag == "equal":
            yield from zip(range(i1, i2), range(j1, j2))
        elif tag == "replace":
            keys_out = [r[0] if r else "" for r in out[i1:i2]]
            keys_truth = [r[0] if r else "" for r in truth[j1:j2]]
            inner = difflib.SequenceMatcher(None, keys_out, keys_truth, autojunk=False)
            for tag2, a1, a2, b1, b2 in inner.get_opcodes():
                if tag2 in ("equal", "replace"):
                    n = min(a2 - a1, b2 - b1)
                    yield from zip(range(i1 + a1, i1 + a1 + n), range(j1 + b1, j1 + b1 + n))


def score_file(
    output: list[list[str]] | None, truth: list[list[str]], truth_header: bool = True, names_row: bool = True, says_header: bool | None = None
) -> Score:
    """`truth_header`: whether the truth's first record is a header (a file
    without one has data records only); `names_row`: whether the output's
    first record is the tool's column names (real or made up: dataframes
    always have them); `says_header`: whether the tool says the file has a
    header, None where it does not say. Without a header in the truth, the
    header is right when the tool says there is none."""
    truth_data = [tuple(r) for r in (truth[1:] if truth_header else truth)]
    s = Score(files=1, records_truth=len(truth_data), cells_truth=sum(len(r) for r in truth_data))
    if output is None:
        s.failed = 1
        return s
    if truth_header:
        s.header_right = int(names_row and bool(output) and output[0] == truth[0])
    else:
        s.header_right = int(says_header is False)
    out_data = [tuple(r) for r in (output[1:] if names_row else output)]
    s.records_out = len(out_data)
    s.cells_out = sum(len(r) for r in out_data)
    s.rows_exact = int(out_data == truth_data)
    have = Counter(out_data)
    s.records_matched = sum(min(n, have[r]) for r, n in Counter(truth_data).items())
    s.cells_matched = sum(
        sum(1 for a, b in zip(out_data[i], truth_data[j]) if a == b) for i, j in aligned_pairs(out_data, truth_data)
    )
    return s


# ---- dialect and structure -------------------------------------------------

PROPERTIES = ("delimiter", "quote", "escape", "header", "preamble", "comment", "tables")
# How tools say "none": DuckDB writes "(empty)", others an empty string or NUL.
NONE_ANSWERS = ("", "\x00", "(empty)")


def _char_or_none(value: object) -> object:
    return None if value is None or value in NONE_ANSWERS else value


def file_lines(path: Path) -> list[str]:
    """The file's physical lines, decoded well enough to tell blank and
    comment lines from lines of content."""
    data = path.read_bytes()
    text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("utf-8", "replace")
    return re.split(r"\r\n|\r|\n", text)


def content_lines(lines: list[str], delimiter: str, comment: str | None) -> int:
    """Lines that hold something: not blank, not only delimiters, not a
    comment. Tools count the lines they skip above the header in their own
    ways (blank lines or not, comments or not); counting what those lines
    hold makes their answers comparable with the truth."""
    return sum(1 for t in lines if not is_blank_line(t, delimiter) and not (comment and t.startswith(comment)))


def judge_properties(
    truth: dict, answer: dict, reported: set[str], header_right: bool, lines: Callable[[], list[str]]
) -> dict[str, bool | None]:
    """Per property: right, wrong, or None where the tool never reports it.
    A property the tool reports on other files but not on this one (it
    failed) is wrong. The header is right when its names are (every tool
    yields names) and the tool, if it says whether there is one, says so;
    a property in the truth's `free` list takes any answer."""
    free = set(truth.get("free", ()))
    verdict: dict[str, bool | None] = {}
    for name in PROPERTIES:
        if name == "header":
            present = answer.get("header")
            verdict[name] = header_right and (present is None or bool(present) == truth["header"])
        elif name not in reported:
            verdict[name] = None
        elif name not in answer:
            verdict[name] = False
        elif name == "preamble":
            got = answer[name]
            verdict[name] = isinstance(got, int) and content_lines(lines()[:got], truth["delimiter"], truth["comment"]) == truth["preamble"]
        else:
            got = answer[name]
            if name in ("quote", "escape", "comment"):
                got = _char_or_none(got)
            if name == "escape" and got is not None and got == _char_or_none(answer.get("quote")):
                got = None  # quotes written doubled: no escape character
            verdict[name] = name in free or got == truth[name]
    return verdict


def score_properties(s: Score, verdict: dict[str, bool | None]) -> None:
    for name, right in verdict.items():
        if right is not None:
            s.scored[name] += 1
            s.right[name] += int(right)
    s.all_right = int(s.rows_exact == 1 and all(v for v in verdict.values() if v is not None))


# ---- the corpus ------------------------------------------------------------


@dataclass
class Entry:
    path: Path
    truth_path: Path
    properties_path: Path
    kind: str
    source: str


def read_truth(path: Path) -> list[list[str]]:
    with open(path, newline="", encoding="utf-8") as f:
        return [list(r) for r in csv.reader(f)]


def corpus_entries(corpus: Path, seed: int, samples: Path | None, real: Path | None) -> tuple[list[Entry], dict[str, str]]:
    import quality_corpus
    import quality_real

    if not quality_corpus.is_current(corpus, seed):
        stderr(f"writing the corpus into {corpus} ...")
        quality_corpus.generate(corpus, seed)
    manifest = json.loads((corpus / "manifest.json").read_text())
    titles = dict(manifest["kinds"])
    entries = [
        Entry(corpus / e["file"], corpus / e["truth"], corpus / e["properties"], e["kind"], "generated") for e in manifest["files"]
    ]
    if samples is not None and samples.is_dir():
        for truth in sorted(samples.glob("*.truth.csv")):
            stem = truth.name[: -len(".truth.csv")]
            data = [p for p in samples.glob(stem + ".*") if not p.name.startswith(stem + ".truth.")]
            if len(data) != 1:
                raise SystemExit(f"{truth}: expected one data file named {stem}.*, found {len(data)}")
            kind = f"sample: {stem}"
            titles[kind] = f"hand-written `{data[0].name}`"
            entries.append(Entry(data[0], truth, samples / f"{stem}.truth.json", kind, "samples"))
    if real is not None:
        if not quality_real.is_current(real):
            stderr(f"gathering the real files into {real} ...")
            quality_real.gather(real)
        manifest = json.loads((real / "manifest.json").read_text())
        titles.update(manifest["kinds"])
        entries += [Entry(real / e["file"], real / e["truth"], real / e["properties"], e["kind"], "real") for e in manifest["files"]]
    return entries, titles


# ---- the report ------------------------------------------------------------


def fmt(x: float) -> str:
    return f"{x:.3f}"


Groups = list[tuple[str, list[str]]]


def total(scores: dict[str, Score], kinds: list[str]) -> Score:
    t = Score()
    for kind in kinds:
        t += scores[kind]
    return t


def matrix(
    title: str, kinds: list[str], groups: Groups, tools: list[str], scores: dict[str, dict[str, Score]], value: Callable[[Score], str], best: bool
) -> list[str]:
    """Kinds down, tools across; then a row per source and one for all files."""
    labels = [TOOLS_BY_KEY[t].label for t in tools]
    lines = [f"### {title}", "", "| kind | files | " + " | ".join(labels) + " |", "|---|---:|" + "---:|" * len(tools)]

    def row(name: str, cells: list[str], files: str) -> str:
        if best:
            top = max(cells, key=float)
            cells = [f"**{c}**" if c == top else c for c in cells]
        return f"| {name} | {files} | " + " | ".join(cells) + " |"

    for kind in kinds:
        lines.append(row(kind, [value(scores[t][kind]) for t in tools], str(scores[tools[0]][kind].files)))
    for name, members in groups:
        sums = [total(scores[t], members) for t in tools]
        lines.append(row(f"**{name}**", [value(x) for x in sums], str(sums[0].files)))
    if best:
        lines.append(
            row(
                "mean over kinds",
                [fmt(sum(float(value(scores[t][k])) for k in kinds) / len(kinds)) for t in tools],
                str(len(kinds)),
            )
        )
    return lines + [""]


def share(right: int, of: int) -> str:
    return f"{right}/{of}" if of else "n/a"


def property_tables(groups: Groups, tools: list[str], scores: dict[str, dict[str, Score]]) -> list[str]:
    """Per source, each tool's files right for each property it reports."""
    lines = [
        "### Dialect and structure, by source",
        "",
        "Files where the tool got each property right, out of the files scored; n/a where the tool "
        "reports nothing of the kind (its rows are still scored). *rows exact*: every data record "
        "cell-exact and in order; *all right*: every property the tool reports right and the rows exact.",
        "",
    ]
    for name, members in groups:
        lines += [f"**{name}**", "", "| tool | " + " | ".join(PROPERTIES) + " | rows exact | all right |", "|---|" + "---:|" * (len(PROPERTIES) + 2)]
        for t in tools:
            x = total(scores[t], members)
            cells = [share(x.right[p], x.scored[p]) for p in PROPERTIES]
            lines.append(f"| {TOOLS_BY_KEY[t].label} | " + " | ".join(cells) + f" | {x.rows_exact}/{x.files} | **{x.all_right}/{x.files}** |")
        lines.append("")
    return lines


def headline(groups: Groups, tools: list[str], scores: dict[str, dict[str, Score]]) -> list[str]:
    labels = [TOOLS_BY_KEY[t].label for t in tools]
    lines = [
        "### Every property right and the rows exact",
        "",
        "The share of files where the tool got every dialect and structure property it reports right "
        "and every data record cell-exact; the best tool per source in bold.",
        "",
        "| source | files | " + " | ".join(labels) + " |",
        "|---|---:|" + "---:|" * len(tools),
    ]
    for name, members in groups:
        sums = [total(scores[t], members) for t in tools]
        cells = [x.all_right / x.files if x.files else 0.0 for x in sums]
        top = max(cells)
        shown = [f"**{c:.0%}**" if c == top else f"{c:.0%}" for c in cells]
        lines.append(f"| {name} | {sums[0].files} | " + " | ".join(shown) + " |")
    return lines + [""]


def report(
    kinds: list[str],
    groups: Groups,
    titles: dict[str, str],
    tools: list[str],
    scores: dict[str, dict[str, Score]],
    versions: dict[str, str],
    skipped: dict[str, str],
    errors: dict[str, list[str]],
    seconds: dict[str, float],
    misses: list[str],
    machine: dict[str, str],
) -> str:
    lines = [
        "## Quality on damaged files",
        "",
        f"Written by `bench/quality.py` on {machine['date']} ({machine['cpu']}, {machine['cores']} {machine['cores_kind']}, "
        f"{machine['os']}; Python {machine['python']}). Scores against the known truth of each file "
        "(definitions in bench/README.md): the dialect and structure each tool detects; F1 of exact "
        "records and of cells in aligned records; the best tool per kind in bold. Sources: the generated "
        "corpus, the hand-written samples and real files shipped inside packages.",
        "",
    ]
    if tools:
        lines += headline(groups, tools, scores)
        lines += property_tables(groups, tools, scores)
        lines += matrix("Every property right and rows exact (files)", kinds, groups, tools, scores, lambda s: f"{s.all_right}/{s.files}", False)
        lines += matrix("Record F1", kinds, groups, tools, scores, lambda s: fmt(s.prf("records")[2]), True)
        lines += matrix("Cell F1", kinds, groups, tools, scores, lambda s: fmt(s.prf("cells")[2]), True)
        lines += matrix("Header right (files)", kinds, groups, tools, scores, lambda s: f"{s.header_right}/{s.files}", False)
        fails = [f"{TOOLS_BY_KEY[t].label} {sum(s.failed for s in scores[t].values())}" for t in tools]
        lines += ["Files a tool failed on (raised, or no result in time): " + ", ".join(fails) + ".", ""]
        if misses:
            lines += ["### Where quillon.salvage is not all right", ""] + misses + [""]
        lines += ["### Per kind", ""]
        for kind in kinds:
            lines += [
                f"**{kind}**: {titles.get(kind, '')}",
                "",
                "| tool | header | record P | record R | record F1 | cell P | cell R | cell F1 | failed |",
                "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
            ]
            for t in tools:
                s = scores[t][kind]
                figures = " | ".join(fmt(x) for x in s.prf("records") + s.prf("cells"))
                lines.append(f"| {TOOLS_BY_KEY[t].label} | {s.header_right}/{s.files} | {figures} | {s.failed} |")
            lines.append("")
    lines += ["### Tools", ""]
    for t in tools:
        tool = TOOLS_BY_KEY[t]
        lines.append(f"- {tool.label} {versions[t]} ({seconds[t]:.1f} s in all): {tool.configuration}")
    for t, reason in skipped.items():
        lines.append(f"- {TOOLS_BY_KEY[t].label}: skipped, {reason}")
    if any(errors.values()):
        lines += ["", "### Failures (first three per tool)", ""]
        for t in tools:
            for e in errors[t][:3]:
                lines.append(f"- {TOOLS_BY_KEY[t].label}: {e}")
    return "\n".join(lines).rstrip() + "\n"


def stderr(*args: object) -> None:
    print(*args, file=sys.stderr, flush=True)


QUALITY_HEADING = "## Quality on damaged files"


def replace_section(path: Path, section: str) -> None:
    """Puts `section` in place of the quality section `path` had, or at its
    end; the sections written by hand after it stay (bench/peers.py writes
    what comes before it and keeps the rest)."""
    text = path.read_text() if path.exists() else ""
    start = text.find(QUALITY_HEADING)
    after = ""
    if start >= 0:
        end = text.find("\n## ", start + len(QUALITY_HEADING))
        after = "" if end < 0 else "\n" + text[end:].lstrip("\n")
        text = text[:start]
    path.write_text(text.rstrip() + "\n\n" + section.rstrip() + "\n" + after)


def main(argv: list[str] | None = None) -> int:
    if argv is None and len(sys.argv) == 3 and sys.argv[1] == "--worker":
        return worker_main(sys.argv[2])
    import quality_corpus

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=CORPUS, help="generated corpus (default: bench/data/quality)")
    parser.add_argument("--seed", type=int, default=quality_corpus.DEFAULT_SEED)
    parser.add_argument("--samples", type=Path, default=SAMPLES, help="hand-written samples (default: bench/quality_samples)")
    parser.add_argument("--tools", nargs="+", choices=[t.key for t in TOOLS], help="only these tools")
    parser.add_argument("--real", type=Path, default=REAL, help="real files, gathered when missing (default: bench/data/real)")
    parser.add_argument("--no-real", action="store_true", help="leave the real files out")
    parser.add_argument("--kinds", nargs="+", metavar="KIND", help="only these damage kinds (and no samples or real files)")
    parser.add_argument("--project-python", type=Path, default=PROJECT_PYTHON, help="interpreter with quillon installed")
    parser.add_argument("--peers-python", type=Path, default=PEERS_PYTHON, help="interpreter with the peers (bench/.venv)")
    parser.add_argument("--timeout", type=float, default=120, help="seconds one tool may take on one file")
    parser.add_argument("--output", type=Path, help="also write the markdown report here")
    parser.add_argument(
        "--results",
        type=Path,
        help="put the report into this file (bench/RESULTS.md), replacing its quality section",
    )
    parser.add_argument("--json", type=Path, help="write every file's scores and the tools' details here")
    args = parser.parse_args(argv)

    entries, titles = corpus_entries(
        args.corpus, args.seed, None if args.kinds else args.samples, None if args.kinds or args.no_real else args.real
    )
    if args.kinds:
        unknown = set(args.kinds) - {e.kind for e in entries}
        if unknown:
            parser.error(f"unknown kind(s): {', '.join(sorted(unknown))}")
        entries = [e for e in entries if e.kind in args.kinds]
    kinds = list(dict.fromkeys(e.kind for e in entries))
    truths = [read_truth(e.truth_path) for e in entries]
    truth_properties = [json.loads(e.properties_path.read_text(encoding="utf-8")) for e in entries]
    groups: Groups = [
        (f"all {source}", list(dict.fromkeys(e.kind for e in entries if e.source == source)))
        for source in SOURCES
        if any(e.source == source for e in entries)
    ] + [("all files", kinds)]
    lines_of: dict[Path, list[str]] = {}
    pythons = {"project": args.project_python, "peers": args.peers_python}

    scores: dict[str, dict[str, Score]] = {}
    versions: dict[str, str] = {}
    skipped: dict[str, str] = {}
    errors: dict[str, list[str]] = {}
    seconds: dict[str, float] = {}
    per_file: list[dict] = []
    misses: list[str] = []
    with tempfile.TemporaryDirectory(prefix="quality-") as scratch:
        for tool in TOOLS:
            if args.tools and tool.key not in args.tools:
                continue
            python = pythons[tool.venv]
            if not python.exists():
                skipped[tool.key] = f"{python} is missing"
                stderr(f"{tool.label}: skipped, {python} is missing")
                continue
            stderr(f"{tool.label} ...")
            version, outcomes, reason = run_tool(python, tool.key, [e.path for e in entries], Path(scratch), args.timeout)
            if version is None:
                skipped[tool.key] = reason
                stderr(f"{tool.label}: skipped, {reason}")
                continue
            versions[tool.key] = version
            seconds[tool.key] = sum(o.seconds for o in outcomes)
            errors[tool.key] = []
            scores[tool.key] = {k: Score() for k in kinds}
            answers = [o.detail.pop("properties", {}) for o in outcomes]
            reported = {name for answer in answers for name in answer}
            for entry, truth, props, outcome, answer in zip(entries, truths, truth_properties, outcomes, answers):
                says_header = answer.get("header")
                names_row = tool.names_always or says_header is not False
                s = score_file(outcome.rows, truth, props["header"], names_row, says_header)
                path = entry.path

                def lines() -> list[str]:
                    return lines_of.setdefault(path, file_lines(path))

                verdict = judge_properties(props, answer, reported, bool(s.header_right), lines)
                score_properties(s, verdict)
                scores[tool.key][entry.kind] += s
                if outcome.rows is None:
                    errors[tool.key].append(f"`{entry.path.name}`: {' '.join(outcome.error.split())[:240]}")
                if tool.key == "quillon.salvage":
                    misses += [
                        f"- `{entry.path.name}` ({entry.source}), {name}: "
                        + (
                            f"says {json.dumps(says_header)}, names " + json.dumps(outcome.rows[0] if outcome.rows and names_row else None, ensure_ascii=False)
                            if name == "header"
                            else f"detected {json.dumps(answer.get(name))}"
                        )
                        + f", truth {json.dumps((truth[0] if props['header'] else False) if name == 'header' else props[name], ensure_ascii=False)}"
                        for name, right in verdict.items()
                        if right is False
                    ]
                    if not s.rows_exact:
                        misses.append(
                            f"- `{entry.path.name}` ({entry.source}), rows: "
                            + (f"failed: {outcome.error[:120]}" if outcome.rows is None else f"{s.records_truth - s.records_matched} of {s.records_truth} records missed, {s.records_out - s.records_matched} yielded that are not in the truth")
                        )
                per_file.append(
                    {
                        "tool": tool.key,
                        "file": entry.path.name,
                        "kind": entry.kind,
                        "source": entry.source,
                        **s.to_dict(),
                        "properties": {"truth": props, "detected": answer, "right": verdict},
                        "error": outcome.error,
                        "detail": outcome.detail,
                    }
                )
    ran = [t.key for t in TOOLS if t.key in scores]
    from harness import describe_machine

    machine = describe_machine({"quillon": args.project_python, "peers": args.peers_python})
    try:
        virtual = " hypervisor " in Path("/proc/cpuinfo").read_text()
    except OSError:
        virtual = False
    machine["cores_kind"] = "vCPUs of a virtual machine" if virtual else "cores"
    text = report(kinds, groups, titles, ran, scores, versions, skipped, errors, seconds, misses, machine)
    print(text)
    if args.output:
        args.output.write_text(text)
        stderr(f"wrote {args.output}")
    if args.results:
        replace_section(args.results, text)
        stderr(f"updated {args.results}")
    if args.json:
        args.json.write_text(json.dumps({"versions": versions, "skipped": skipped, "files": per_file}, indent=1, ensure_ascii=False) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
