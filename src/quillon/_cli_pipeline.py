"""``quillon salvage`` in pipelines: standard input and output, compressed
input, many files at once, the progress bar, quarantine limits and the
JSON report file. The parser and the single-file summary live in
``quillon.cli``; this module runs what they describe.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Protocol, TextIO

from quillon import __version__
from quillon._atomic import write_text
from quillon._cli_common import (
    EXIT_BROKEN_PIPE,
    EXIT_INTERRUPTED,
    EXIT_IO_ERROR,
    EXIT_QUARANTINED,
    EXIT_USAGE,
    CommandError,
    check_distinct,
    check_readable,
    check_writable_target,
    display_name,
    salvage_failed,
)
from quillon._many import (
    Cancelled,
    SalvageFailure,
    Task,
    TaskResult,
    default_jobs,
    describe_error,
    execute,
    make_task,
    plan_many,
    run_task,
)
from quillon._sources import STDIO
from quillon._table_files import check_cell_rejects
from quillon.report import SalvageReport

# The version of the --report file's layout; it changes only when a key is
# removed or changes meaning (new keys may appear without notice).
REPORT_VERSION = 1

# The report's statuses of a file.
SALVAGED = "salvaged"
OVER_LIMIT = "over_limit"
FAILED = "failed"
NOT_COMPLETED = "not_completed"


class _Counts(Protocol):
    @property
    def total_rows(self) -> int: ...
    @property
    def quarantined_rows(self) -> int: ...


def _data_counts(report: _Counts) -> tuple[int, int]:
    """(data records read, data records set aside): title lines and
    repeated headers are the file's structure, not lost data. The fixed
    rules set aside only data."""
    structure = getattr(report, "structure_rows", 0)
    return report.total_rows - structure, report.quarantined_rows - structure


@dataclass(frozen=True)
class QuarantineLimit:
    """How many data records a file may have set aside: a count, or a
    percentage of its data records."""

    count: int | None = None
    percent: float | None = None

    @classmethod
    def parse(cls, text: str) -> QuarantineLimit:
        try:
            if text.endswith("%"):
                percent = float(text[:-1])
                if not 0 <= percent <= 100:
                    raise ValueError
                return cls(percent=percent)
            count = int(text)
            if count < 0:
                raise ValueError
            return cls(count=count)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"expected a number of records or a percentage such as 2.5%, got {text!r}"
            ) from None

    def exceeded_by(self, report: _Counts) -> bool:
        total, rejected = _data_counts(report)
        if self.count is not None:
            return rejected > self.count
        assert self.percent is not None
        return rejected * 100 > self.percent * total

    def __str__(self) -> str:
        if self.count == 0:
            return "none allowed"
        if self.count is not None:
            return f"at most {self.count:,} allowed"
        return f"at most {self.percent:g}% allowed"


def limits_of(args: argparse.Namespace) -> list[QuarantineLimit]:
    limits = [args.max_quarantined] if args.max_quarantined is not None else []
    if args.fail_on_quarantine:
        limits.append(QuarantineLimit(count=0))
    return limits


def over_limit_message(name: str, report: _Counts, limits: Sequence[QuarantineLimit]) -> str | None:
    """Why a file is over the quarantine limit, or None when it is not."""
    broken = [limit for limit in limits if limit.exceeded_by(report)]
    if not broken:
        return None
    total, rejected = _data_counts(report)
    return (
        f"{name}: {rejected:,} of {total:,} data records could not be repaired and were set aside "
        f"({'; '.join(str(limit) for limit in broken)})"
    )


def over_limit(report: _Counts, limits: Sequence[QuarantineLimit]) -> bool:
    return any(limit.exceeded_by(report) for limit in limits)


# --- the progress bar -----------------------------------------------------


def progress_wanted(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


def _new_bar(total: int | None, desc: str) -> Any:
    from tqdm import tqdm  # type: ignore[import-untyped]

    return tqdm(
        total=total,
        desc=desc,
        unit="B",
        unit_scale=True,
        unit_divisor=1024,
        file=sys.stderr,
        leave=False,
        dynamic_ncols=True,
        mininterval=0.2,
    )


class FileBar:
    """The bar of one input: the bytes of it read, with their rate and the
    time left when its size is known. A salvage reads as it goes, so the
    bytes read (of standard input, of the compressed file) are its progress;
    a plain file's reading is reported by the native side (``salvaging``)."""

    def __init__(self, name: str, size: int | None) -> None:
        self.name = name
        # A spinner (no total) for standard input, whose size is unknown.
        self.bar = _new_bar(size or None, name)
        self.salvaging_started = False

    def begin(self) -> None:
        pass

    def reading(self, done: int, total: int | None) -> None:
        self.bar.update(done - self.bar.n)

    def salvaging(self, done: int, total: int) -> None:
        if not self.salvaging_started:
            self.salvaging_started = True
            # Drawn at once: a small file's whole salvage may take less than
            # the bar's interval between redraws.
            self.bar.set_description(f"{self.name} (salvaging)")
        self.reading(done, total)

    def close(self) -> None:
        self.bar.close()


class BatchProgress:
    """One bar over many files, in bytes of their sizes, fed from the
    worker threads; stops every file once ``cancel`` is set."""

    def __init__(self, sizes: Sequence[int], cancel: threading.Event, show: bool) -> None:
        self.sizes = sizes
        self.cancel = cancel
        self.lock = threading.Lock()
        self.shares = [0] * len(sizes)
        self.files_done = 0
        self.started: set[int] = set()
        self.bar = _new_bar(sum(sizes) or None, "salvaging") if show else None
        self.lines = Lines()

    def tracker(self, i: int, task: Task) -> _FileShare:
        return _FileShare(self, i)

    def advance(self, i: int, fraction: float) -> None:
        if self.cancel.is_set():
            raise Cancelled
        if self.bar is None:
            return
        with self.lock:
            share = int(self.sizes[i] * min(fraction, 1.0))
            if share > self.shares[i]:
                self.bar.update(share - self.shares[i])
                self.shares[i] = share

    def finished(self, i: int) -> None:
        if self.bar is None:
            return
        with self.lock:
            self.files_done += 1
            self.bar.update(self.sizes[i] - self.shares[i])
            self.shares[i] = self.sizes[i]
            self.bar.set_postfix_str(f"{self.files_done}/{len(self.sizes)} files")

    def write(self, line: str, stream: TextIO) -> None:
        """Prints a line above the bar."""
        if self.bar is None:
            self.lines.say(line, stream)
        else:
            with self.lock:
                self.lines.say(line, stream, self.bar)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class _FileShare:
    def __init__(self, batch: BatchProgress, i: int) -> None:
        self.batch = batch
        self.i = i

    def begin(self) -> None:
        self.batch.started.add(self.i)
        self.batch.advance(self.i, 0.0)

    # A salvage reads its input as it goes: the share of the input read,
    # told by the package (compressed files) or the native side (plain
    # ones), is the share of the work done.
    def reading(self, done: int, total: int | None) -> None:
        self.batch.advance(self.i, done / total if total else 0.0)

    def salvaging(self, done: int, total: int) -> None:
        self.batch.advance(self.i, done / total)


# --- the report file ------------------------------------------------------


def _rows(report: SalvageReport) -> dict[str, int]:
    return {
        "total": report.total_rows,
        "kept": report.salvaged_rows,
        "repaired": report.repaired_rows,
        "quarantined": report.quarantined_rows,
        "rejected": report.rejected_rows,
        "structure": report.structure_rows,
    }


def file_entry(
    task: Task | SalvageFailure,
    outcome: TaskResult | SalvageFailure | None,
    limits: Sequence[QuarantineLimit],
) -> dict[str, Any]:
    """One file of the --report file: the same keys whatever happened."""
    entry: dict[str, Any] = {
        "input": task.input_path,
        "compression": None,
        "output": task.output_path,
        "quarantine": task.quarantine_path if isinstance(task, Task) else None,
        "status": NOT_COMPLETED,
        "seconds": None,
        "bytes": None,
        "format": None,
        "columns": None,
        "output_delimiter": None,
        "rows": None,
        "repairs": None,
        "rejects": None,
        "warnings": [],
        "error": None,
    }
    if isinstance(outcome, SalvageFailure):
        entry["status"] = FAILED
        entry["error"] = describe_error(outcome.error)
    elif isinstance(outcome, TaskResult):
        report = outcome.report
        entry.update(
            compression=outcome.compression,
            status=OVER_LIMIT if over_limit(report, limits) else SALVAGED,
            seconds=round(outcome.seconds, 6),
            bytes=outcome.data_bytes,
            format=report.input.to_dict(),
            columns=report.columns,
            output_delimiter=report.delimiter,
            rows=_rows(report),
            repairs=dict(report.repairs),
            rejects=dict(report.rejects),
            warnings=list(report.warnings),
        )
    return entry


def _sum_into(total: dict[str, int], part: dict[str, int]) -> None:
    for key, value in part.items():
        total[key] = total.get(key, 0) + value


def report_document(entries: list[dict[str, Any]], seconds: float, status: int) -> dict[str, Any]:
    totals: dict[str, Any] = {
        "files": len(entries),
        SALVAGED: 0,
        OVER_LIMIT: 0,
        FAILED: 0,
        NOT_COMPLETED: 0,
        "bytes": 0,
        "rows": {"total": 0, "kept": 0, "repaired": 0, "quarantined": 0, "rejected": 0, "structure": 0},
        "repairs": {},
        "rejects": {},
    }
    for entry in entries:
        totals[entry["status"]] += 1
        if entry["rows"] is not None:
            totals["bytes"] += entry["bytes"]
            _sum_into(totals["rows"], entry["rows"])
            _sum_into(totals["repairs"], entry["repairs"])
            _sum_into(totals["rejects"], entry["rejects"])
    return {
        "quillon_version": __version__,
        "report_version": REPORT_VERSION,
        "exit_status": status,
        "seconds": round(seconds, 6),
        "files": entries,
        "totals": totals,
    }


def write_report(path: str, document: dict[str, Any]) -> None:
    try:
        write_text(path, json.dumps(document, indent=2) + "\n")
    except OSError as exc:
        raise CommandError(
            f"cannot write the report {path!r}: {exc.strerror or exc}", EXIT_IO_ERROR
        ) from None


# --- standard output --------------------------------------------------------


def silence_stdout() -> None:
    """Points standard output at /dev/null once its reader has gone, so
    that the interpreter's last flush cannot fail too."""
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


class Lines:
    """Lines for people, on stdout or stderr. A reader of stdout that goes
    away (`| head -1`) or a full disk ends only the lines, never the work:
    a batch still writes every file, and the status says so at the end."""

    def __init__(self) -> None:
        self.stdout_error: OSError | None = None

    def say(self, line: str, stream: TextIO, bar: Any = None) -> None:
        if stream is sys.stdout and self.stdout_error is not None:
            return
        try:
            if bar is None:
                print(line, file=stream, flush=True)
            else:
                bar.write(line, file=stream)
                stream.flush()
        except OSError as error:
            if stream is sys.stdout:
                self.lost(error)

    def lost(self, error: OSError) -> None:
        self.stdout_error = error
        silence_stdout()

    def status(self, status: int) -> int:
        """The command's status once its lines are out: a lost standard
        output ends it as SIGPIPE or a write error would, unless the work
        itself failed."""
        error = self.stdout_error
        if error is None or status != 0:
            return status
        if isinstance(error, BrokenPipeError):
            return EXIT_BROKEN_PIPE
        print(f"quillon: error: cannot write to standard output: {error.strerror or error}", file=sys.stderr)
        return EXIT_IO_ERROR


# --- one input -------------------------------------------------------------


@contextlib.contextmanager
def _human_output(to_stderr: bool) -> Iterator[None]:
    """Sends what would be printed to stdout to stderr instead (when the
    clean file goes to stdout)."""
    if not to_stderr:
        yield
        return
    with contextlib.redirect_stdout(sys.stderr):
        yield


def _check_single(args: argparse.Namespace) -> None:
    if args.input != STDIO:
        check_readable(args.input)
    if args.output != STDIO:
        check_writable_target(args.output)
    if args.quarantine is not None:
        if args.quarantine == STDIO:
            raise CommandError("the quarantine cannot go to standard output", EXIT_USAGE)
        check_writable_target(args.quarantine)
    if args.report is not None:
        check_writable_target(args.report)
    check_distinct(
        [args.input], None if args.output == STDIO else args.output, args.quarantine, args.report
    )
    if args.cell_rejects is not None:
        check_writable_target(args.cell_rejects)
        try:
            check_cell_rejects(
                args.output, args.cell_rejects, [p for p in [args.input] if p != STDIO], [args.quarantine, args.report]
            )
        except ValueError as exc:
            raise CommandError(str(exc), EXIT_USAGE) from None


def warn(name: str, problems: Sequence[str]) -> None:
    for problem in problems:
        print(f"quillon: warning: {name}: {problem}", file=sys.stderr, flush=True)


def run_single(
    args: argparse.Namespace,
    options: dict[str, Any],
    show: Callable[[SalvageReport, argparse.Namespace], None],
) -> int:
    _check_single(args)
    limits = limits_of(args)
    to_stdout = args.output == STDIO
    output: str | int = sys.stdout.fileno() if to_stdout else args.output
    if to_stdout:
        sys.stdout.flush()
    try:
        task = make_task(args.input, output, args.quarantine, options, cell_rejects_path=args.cell_rejects)
    except (TypeError, ValueError, ImportError) as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    bar = None
    if progress_wanted(args):
        bar = FileBar(display_name(args.input), None if args.input == STDIO else size_of(args.input))
    start = time.perf_counter()
    try:
        result = run_task(task, bar)
    except KeyboardInterrupt:
        print(
            f"quillon: interrupted before {display_name(args.input)} was salvaged completely; "
            "no file was written",
            file=sys.stderr,
        )
        if args.report is not None:
            entry = file_entry(task, None, limits)
            write_report(args.report, report_document([entry], time.perf_counter() - start, EXIT_INTERRUPTED))
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of the clean rows on standard output went away
        # (`| head`): nothing is left to say to it.
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except (UnicodeEncodeError, ValueError, MemoryError, OSError) as exc:
        raise salvage_failed(exc, args) from None
    finally:
        if bar is not None:
            bar.close()
    seconds = time.perf_counter() - start
    report = result.report
    name = display_name(args.input)
    warn(name, report.warnings)
    status = _file_status(result, limits)
    lines = Lines()
    with _human_output(to_stdout):
        if args.json:
            lines.say(json.dumps(report.to_dict()), sys.stdout)
        elif not args.quiet:
            shown = argparse.Namespace(**vars(args))
            shown.input = name
            if result.compression is not None:
                shown.input += f" ({result.compression})"
            if to_stdout:
                shown.output = "standard output"
            try:
                show(report, shown)
                sys.stdout.flush()
            except OSError as error:
                lines.lost(error)
    reason = over_limit_message(name, report, limits)
    if reason is not None:
        print(f"quillon: over the quarantine limit: {reason}", file=sys.stderr)
    if args.report is not None:
        entry = file_entry(task, result, limits)
        write_report(args.report, report_document([entry], seconds, status))
    return lines.status(status)


def _file_status(result: TaskResult, limits: Sequence[QuarantineLimit]) -> int:
    """A file whose input was cut off counts as one that could not be read
    whole; then one over the quarantine limit."""
    if result.truncated:
        return EXIT_IO_ERROR
    if over_limit(result.report, limits):
        return EXIT_QUARANTINED
    return 0


def size_of(path: str) -> int:
    """The file's size in bytes, 0 when it cannot be told."""
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


# --- many inputs -------------------------------------------------------------


def _file_line(result: TaskResult, exceeded: bool) -> str:
    report = result.report
    line = (
        f"{report.input_path} -> {report.output_path}: {report.total_rows:,} rows, "
        f"{report.salvaged_rows:,} kept ({report.repaired_rows:,} repaired), "
        f"{report.quarantined_rows:,} quarantined, {result.seconds:.2f} s"
    )
    return line + (" (over the quarantine limit)" if exceeded else "")


def _check_folders(args: argparse.Namespace) -> None:
    for folder in (args.out_dir, args.quarantine_dir, args.cell_rejects_dir):
        if folder is None:
            continue
        if os.path.exists(folder) and not os.path.isdir(folder):
            raise CommandError(f"cannot write into {folder!r}: it is not a directory", EXIT_IO_ERROR)
        # The first folder up that exists must be one, or nothing can be
        # created below it.
        parent = os.path.dirname(os.path.normpath(folder)) or "."
        while not os.path.exists(parent):
            parent = os.path.dirname(parent) or "."
        if not os.path.isdir(parent):
            raise CommandError(f"cannot create {folder!r}: {parent!r} is not a directory", EXIT_IO_ERROR)


def run_many(args: argparse.Namespace, options: dict[str, Any]) -> int:
    if args.quarantine is not None:
        raise CommandError("--quarantine names one file: use --quarantine-dir with --out-dir", EXIT_USAGE)
    if args.cell_rejects is not None:
        raise CommandError("--cell-rejects names one file: use --cell-rejects-dir with --out-dir", EXIT_USAGE)
    if not args.paths:
        raise CommandError("the following arguments are required: INPUT", EXIT_USAGE)
    if args.report is not None:
        check_writable_target(args.report)
    _check_folders(args)
    limits = limits_of(args)
    try:
        plan = plan_many(
            args.paths, args.out_dir, args.quarantine_dir, options, args.format or "csv", args.cell_rejects_dir
        )
    except (TypeError, ValueError, ImportError) as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    check_distinct([item.input_path for item in plan], None, None, args.report)

    cancel = threading.Event()
    progress = BatchProgress(
        [size_of(item.input_path) for item in plan], cancel, progress_wanted(args)
    )
    outcomes: list[TaskResult | SalvageFailure | None] = [None] * len(plan)
    started = time.perf_counter()

    def done(i: int, outcome: TaskResult | SalvageFailure) -> None:
        outcomes[i] = outcome
        progress.finished(i)
        if isinstance(outcome, SalvageFailure):
            progress.write(f"quillon: error: {_failure_text(outcome)}", sys.stderr)
            return
        for problem in outcome.report.warnings:
            progress.write(f"quillon: warning: {outcome.report.input_path}: {problem}", sys.stderr)
        if args.json:
            progress.write(json.dumps(outcome.report.to_dict()), sys.stdout)
        elif not args.quiet:
            progress.write(_file_line(outcome, over_limit(outcome.report, limits)), sys.stdout)

    from concurrent.futures import ThreadPoolExecutor

    interrupted = False
    with ThreadPoolExecutor(args.jobs or default_jobs(), thread_name_prefix="quillon") as pool:
        try:
            execute(plan, pool, tracker_for=progress.tracker, on_done=done, cancel=cancel)
        except KeyboardInterrupt:
            interrupted = True
            cancel.set()
            # Each running file stops at its next progress report.
            pool.shutdown(wait=True, cancel_futures=True)
    progress.close()
    seconds = time.perf_counter() - started

    status = _batch_status(outcomes, limits, interrupted)
    if interrupted:
        _say_interrupted(plan, outcomes, progress.started)
    elif not args.quiet and not args.json:
        progress.lines.say(_total_line(outcomes, limits, seconds), sys.stdout)
    if args.report is not None:
        entries = [file_entry(task, outcome, limits) for task, outcome in zip(plan, outcomes)]
        write_report(args.report, report_document(entries, seconds, status))
    return progress.lines.status(status)


def _failure_text(failure: SalvageFailure) -> str:
    """One line for a file that failed, naming the file that did."""
    error = failure.error
    if isinstance(error, OSError) and error.filename is not None and error.filename != failure.input_path:
        return f"{failure.input_path}: cannot write {error.filename}: {describe_error(error)}"
    return str(failure)


def _batch_status(
    outcomes: Sequence[TaskResult | SalvageFailure | None],
    limits: Sequence[QuarantineLimit],
    interrupted: bool,
) -> int:
    """The worst of all files: interrupted, then a failed or cut-off file,
    then one over the quarantine limit."""
    if interrupted:
        return EXIT_INTERRUPTED
    if any(isinstance(o, SalvageFailure) and not isinstance(o.error, Cancelled) for o in outcomes):
        return EXIT_IO_ERROR
    statuses = [_file_status(o, limits) for o in outcomes if isinstance(o, TaskResult)]
    return max(statuses, key=lambda status: (status == EXIT_IO_ERROR, status), default=0)


def _total_line(
    outcomes: Sequence[TaskResult | SalvageFailure | None],
    limits: Sequence[QuarantineLimit],
    seconds: float,
) -> str:
    # The same counts as the --report file's totals.
    results = [o for o in outcomes if isinstance(o, TaskResult)]
    failed = sum(isinstance(o, SalvageFailure) for o in outcomes)
    over = sum(over_limit(r.report, limits) for r in results)
    files = f"{len(outcomes):,} file{'s' if len(outcomes) != 1 else ''}: {len(results) - over:,} salvaged"
    if over:
        files += f", {over:,} over the quarantine limit"
    files += f", {failed:,} failed"
    total = sum(r.report.total_rows for r in results)
    kept = sum(r.report.salvaged_rows for r in results)
    quarantined = sum(r.report.quarantined_rows for r in results)
    return (
        f"{files}; {total:,} rows read, {kept:,} kept, {quarantined:,} quarantined, "
        f"{seconds:.2f} s"
    )


def _say_interrupted(
    plan: Sequence[Task | SalvageFailure],
    outcomes: Sequence[TaskResult | SalvageFailure | None],
    started: set[int],
) -> None:
    completed = [t.input_path for t, o in zip(plan, outcomes) if isinstance(o, TaskResult)]
    stopped = [plan[i].input_path for i in sorted(started) if outcomes[i] is None]
    print(
        f"quillon: interrupted: {len(completed):,} of {len(plan):,} files completed"
        + (f": {', '.join(completed)}" if completed else ""),
        file=sys.stderr,
    )
    if stopped:
        print(
            f"quillon: stopped while salvaging {', '.join(stopped)}: "
            "their clean files were not written",
            file=sys.stderr,
        )
