"""Salvaging many files: ``quillon.salvage_many``, and the per-file task that
the command line shares with it.

Work is split by file, never by byte ranges of one file: a quoted field may
hold line breaks, so where a record starts can only be known by reading the
file from its beginning.
"""

from __future__ import annotations

import copyreg
import os
import threading
import time
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, Protocol

from quillon._atomic import identity, same_file
from quillon._sources import (
    STDIO,
    Missing,
    ReadProgress,
    expand_inputs,
    load_input,
    read_stdin,
)
from quillon._table_files import check_cell_rejects, check_table_output, output_name, with_column_types
from quillon.adaptive import _flag, _options, _path, problems_of, salvage, salvage_loaded, streams
from quillon.report import SalvageReport

if TYPE_CHECKING:
    # Imported where they are used: concurrent.futures costs `import quillon`
    # a third more time.
    from concurrent.futures import Executor, Future


class Cancelled(Exception):
    """Raised from a progress report to stop a file that is no longer wanted."""


class Tracker(Protocol):
    """Told how one file's work goes; raising stops that file."""

    def begin(self) -> object:
        """The file's work starts."""

    def reading(self, done: int, total: int | None) -> object:
        """Bytes of the input read so far (standard input, compressed data)."""

    def salvaging(self, done: int, total: int) -> object:
        """The native salvage's own progress, in its own units."""


class CancelCheck:
    """A tracker that only stops work once the event is set."""

    def __init__(self, event: threading.Event) -> None:
        self.event = event

    def begin(self) -> None:
        if self.event.is_set():
            raise Cancelled

    def reading(self, done: int, total: int | None) -> None:
        self.begin()

    def salvaging(self, done: int, total: int) -> None:
        self.begin()


@dataclass(frozen=True, slots=True)
class SalvageFailure:
    """A file that ``salvage_many`` could not salvage, and why.

    ``error`` is the exception the salvage raised (an ``OSError`` subclass,
    with ``errno`` and ``filename``, for a file that cannot be read or
    written; ``ValueError`` for input that is not delimited text or is
    misnamed compressed data); ``output_path`` is where its clean file would
    have gone.
    """

    input_path: str
    error: BaseException
    output_path: str | None = None

    def __str__(self) -> str:
        return f"{self.input_path}: {describe_error(self.error)}"


def describe_error(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


@dataclass(frozen=True)
class Task:
    """One file to salvage, in terms that pickle (for process pools)."""

    input_path: str
    # A path, or an open descriptor (standard output).
    output: str | int
    quarantine_path: str | None
    options: dict[str, Any]
    # Create the output's and quarantine's folders first.
    make_folders: bool = False
    # Salvage input that looks like a binary format anyway.
    force: bool = False
    # Where the log of the cells that fit no column type goes (a Parquet
    # or Arrow output only).
    cell_rejects_path: str | None = None

    @property
    def output_path(self) -> str:
        return STDIO if isinstance(self.output, int) else self.output


@dataclass(frozen=True)
class TaskResult:
    report: SalvageReport
    seconds: float
    # The compression of the input ("gzip", "bzip2", "xz", "zstd"), if any.
    compression: str | None
    # The bytes salvaged: the file's, or those decompressed or read from
    # standard input.
    data_bytes: int
    # The input could not be read whole (compressed data cut off or
    # damaged): what was read was salvaged.
    truncated: bool = False


def run_task(task: Task, tracker: Tracker | None = None) -> TaskResult:
    """Salvages one input; raises what the salvage raises."""
    start = time.perf_counter()
    if tracker is not None:
        tracker.begin()
    if task.make_folders:
        for path in (task.output, task.quarantine_path, task.cell_rejects_path):
            if isinstance(path, str) and os.path.dirname(path):
                os.makedirs(os.path.dirname(path), exist_ok=True)
    reading: ReadProgress | None = None if tracker is None else tracker.reading
    salvaging = None if tracker is None else tracker.salvaging
    stream = streams(task.output, task.options)
    if task.input_path == STDIO:
        loaded = read_stdin(reading, force=task.force, stream=stream)
    else:
        loaded = load_input(task.input_path, progress=reading, force=task.force, stream=stream)
    values = salvage_loaded(
        loaded, task.output, task.quarantine_path, task.options, salvaging, task.cell_rejects_path
    )
    report = SalvageReport._from_native(
        values, task.input_path, task.output_path, task.quarantine_path, problems_of(loaded, values)
    )
    report = with_column_types(report, values)
    return TaskResult(
        report, time.perf_counter() - start, loaded.compression, loaded.size, bool(loaded.problems)
    )


def make_task(
    input_path: str,
    output: str | int,
    quarantine_path: str | None,
    options: Mapping[str, Any],
    *,
    make_folders: bool = False,
    cell_rejects_path: str | None = None,
) -> Task:
    """Validates the options (``TypeError``, ``ValueError``) for one input."""
    keywords = _salvage_keywords(options)
    force = _flag(keywords.pop("force"), "force")
    salvage_options = _options(**keywords)
    check_table_output(output, salvage_options)
    inputs = [] if input_path == STDIO else [input_path]
    check_cell_rejects(output, cell_rejects_path, inputs, [quarantine_path])
    return Task(input_path, output, quarantine_path, salvage_options, make_folders, force, cell_rejects_path)


# quillon.salvage's keyword options and their defaults.
_KEYWORDS: dict[str, Any] = dict(salvage.__kwdefaults__ or {})


def _salvage_keywords(options: Mapping[str, Any]) -> dict[str, Any]:
    for name in options:
        if name not in _KEYWORDS:
            raise TypeError(f"unexpected keyword argument {name!r}")
    return {**_KEYWORDS, **options}


class _InputSet:
    """The inputs of a batch, to tell whether a path written names one."""

    def __init__(self) -> None:
        self.identities: set[tuple[int, int]] = set()
        self.paths: set[str] = set()

    def add(self, path: str) -> None:
        found = identity(path)
        if found is not None:
            self.identities.add(found)
        self.paths.add(os.path.realpath(path))

    def __contains__(self, path: str) -> bool:
        found = identity(path)
        return (found is not None and found in self.identities) or os.path.realpath(path) in self.paths


def plan_many(
    inputs: Iterable[str],
    out_dir: str,
    quarantine_dir: str | None,
    options: Mapping[str, Any],
    output_format: str = "csv",
    cell_rejects_dir: str | None = None,
) -> list[Task | SalvageFailure]:
    """One task per input file, or a failure for an input that names none.

    The output, quarantine and cell-reject folders are skipped where a
    directory input holds them. Raises ``ValueError`` before any work when
    two inputs would write the same clean file, when a clean, quarantine or
    cell-reject file would replace an input, or when the clean and
    quarantine files would share a folder.
    """
    if quarantine_dir is not None and _same_place(out_dir, quarantine_dir):
        raise ValueError("the quarantine directory must differ from the output directory")
    folders = [out_dir] + [d for d in (quarantine_dir, cell_rejects_dir) if d is not None]
    items = list(expand_inputs(inputs, skipped_folders=folders))
    sources = _InputSet()
    for item in items:
        if not isinstance(item, Missing):
            sources.add(item.path)
    plan: list[Task | SalvageFailure] = []
    writers: dict[str, str] = {}
    for item in items:
        if isinstance(item, Missing):
            plan.append(SalvageFailure(item.path, FileNotFoundError(2, item.reason, item.path)))
            continue
        if item.path == STDIO:
            raise ValueError("standard input ('-') cannot be one of many inputs")
        output = os.path.join(out_dir, output_name(item.name, output_format))
        key = os.path.normcase(os.path.abspath(output))
        if key in writers:
            raise ValueError(
                f"{writers[key]!r} and {item.path!r} would both be written to {output!r}"
            )
        writers[key] = item.path
        if output in sources:
            replaced = "it" if same_file(output, item.path) else f"the input {output!r}"
            raise ValueError(f"the clean file of {item.path!r} would replace {replaced}")
        quarantine = None if quarantine_dir is None else os.path.join(quarantine_dir, item.name)
        if quarantine is not None and quarantine in sources:
            raise ValueError(
                f"the quarantine file of {item.path!r} would replace the input {quarantine!r}"
            )
        # NAME.cells.csv: beside a quarantine file of the same name when
        # both folders are one.
        cells = (
            None
            if cell_rejects_dir is None
            else os.path.join(cell_rejects_dir, os.path.splitext(item.name)[0] + ".cells.csv")
        )
        if cells is not None and cells in sources:
            raise ValueError(f"the cell-reject file of {item.path!r} would replace the input {cells!r}")
        plan.append(make_task(item.path, output, quarantine, options, make_folders=True, cell_rejects_path=cells))
    # Files run side by side: each reads on one thread unless told otherwise.
    tasks = [task for task in plan if isinstance(task, Task)]
    if len(tasks) > 1 and options.get("threads") is None:
        for task in tasks:
            task.options["threads"] = 1
    return plan


def _same_place(a: str, b: str) -> bool:
    return os.path.abspath(a) == os.path.abspath(b) or _same_file(a, b)


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def execute(
    plan: list[Task | SalvageFailure],
    executor: Executor,
    *,
    tracker_for: Callable[[int, Task], Tracker] | None = None,
    on_done: Callable[[int, TaskResult | SalvageFailure], object] | None = None,
    cancel: threading.Event | None = None,
) -> list[TaskResult | SalvageFailure | None]:
    """Runs every task on the executor; the outcomes in plan order, ``None``
    for those not finished when an exception (Ctrl-C) ended the wait.

    ``tracker_for`` gives each task a tracker, which only an executor in
    this process can call (a thread pool). On any exception, ``cancel`` is
    set and the tasks not started are cancelled before it propagates.
    """
    from concurrent.futures import as_completed

    results: list[TaskResult | SalvageFailure | None] = [None] * len(plan)
    futures: dict[Future[TaskResult], int] = {}
    try:
        for i, item in enumerate(plan):
            if isinstance(item, SalvageFailure):
                results[i] = item
                if on_done is not None:
                    on_done(i, item)
            elif tracker_for is None:
                futures[executor.submit(run_task, item)] = i
            else:
                futures[executor.submit(run_task, item, tracker_for(i, item))] = i
        for future in as_completed(futures):
            i = futures[future]
            task = plan[i]
            assert isinstance(task, Task)
            outcome: TaskResult | SalvageFailure
            try:
                outcome = future.result()
            except Exception as exc:
                outcome = SalvageFailure(task.input_path, exc, task.output_path)
            results[i] = outcome
            if on_done is not None:
                on_done(i, outcome)
    except BaseException:
        if cancel is not None:
            cancel.set()
        for future in futures:
            future.cancel()
        raise
    return results


def default_jobs() -> int:
    return os.process_cpu_count() or 1


def salvage_many(
    inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    quarantine_dir: str | os.PathLike[str] | None = None,
    output_format: str = "csv",
    cell_rejects_dir: str | os.PathLike[str] | None = None,
    jobs: int | None = None,
    executor: Executor | None = None,
    **options: Any,
) -> list[SalvageReport | SalvageFailure]:
    """Salvages many files into ``out_dir``, each as ``quillon.salvage`` would.

    ``inputs`` is a path or an iterable of paths: a file, a directory (its
    ``.csv``, ``.tsv``, ``.tab`` and ``.psv`` files, recursively, in sorted
    order) or a glob pattern. Compressed files (gzip, bzip2, xz, zstd,
    recognised by their first bytes) are decompressed in memory first. Each
    clean file is written to ``out_dir`` under the input's name (for a
    directory, its path below that directory), without a compression
    suffix (``output_format="parquet"`` or ``"arrow"`` writes Parquet or
    Arrow IPC files, their suffix in place of the input's); with
    ``quarantine_dir``, its quarantine file under the input's name there. Missing folders are created; each file is written whole or not
    at all, as ``quillon.salvage`` writes it, and a directory input's files
    inside ``out_dir`` or ``quarantine_dir`` are not inputs. With
    ``cell_rejects_dir`` (Parquet or Arrow output only), the columns keep
    their inferred types and each file's cells that fit no type go to
    ``NAME.cells.csv`` there (NAME the input's name without its suffix), as
    ``quillon.salvage``'s ``cell_rejects_path``.

    ``executor`` is any ``concurrent.futures.Executor``: a process pool,
    Dask's ``Client.get_executor()``, ... (the workers must see the same
    files). By default a thread pool of ``jobs`` threads (default: the
    number of cores) runs the files; the native salvage releases the
    interpreter lock, so threads run in parallel. With more than one file,
    each is read on one thread unless the ``threads`` option says otherwise.

    Returns one entry per input file, in input order: its ``SalvageReport``,
    or a ``SalvageFailure`` (the path and the exception) for a file that
    could not be salvaged; one failure never stops the other files. The
    keyword ``options`` are those of ``quillon.salvage``; bad options raise
    ``TypeError`` or ``ValueError`` before any file is touched, as do two
    inputs that would write the same clean file.
    """
    if executor is not None and jobs is not None:
        raise ValueError("give jobs or executor, not both")
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a positive int, got {jobs!r}")
    paths = [inputs] if isinstance(inputs, (str, os.PathLike)) else list(inputs)
    plan = plan_many(
        [_path(p, "inputs") for p in paths],
        _path(out_dir, "out_dir"),
        None if quarantine_dir is None else _path(quarantine_dir, "quarantine_dir"),
        options,
        output_format,
        None if cell_rejects_dir is None else _path(cell_rejects_dir, "cell_rejects_dir"),
    )
    if executor is not None:
        outcomes = execute(plan, executor)
    else:
        from concurrent.futures import ThreadPoolExecutor

        cancel = threading.Event()
        check = CancelCheck(cancel)
        with ThreadPoolExecutor(jobs or default_jobs(), thread_name_prefix="quillon") as pool:
            try:
                outcomes = execute(plan, pool, tracker_for=lambda i, task: check, cancel=cancel)
            finally:
                # Leaving the pool waits for the running files: each stops at
                # its next progress report once cancelled.
                pool.shutdown(wait=True, cancel_futures=True)
    return [o.report if isinstance(o, TaskResult) else _failure(o) for o in outcomes]


def _failure(outcome: SalvageFailure | None) -> SalvageFailure:
    # execute only leaves None behind when it raises.
    assert outcome is not None
    return outcome


# Reports cross process boundaries (process pools, Dask, Ray, Spark): their
# read-only mappings (repairs, rejects, and a table's column types and cell
# rejects) travel as dicts and are made read-only again on the other side.
def _report_from_fields(fields: dict[str, Any], mappings: tuple[str, ...]) -> SalvageReport:
    for name in mappings:
        fields[name] = MappingProxyType(fields[name])
    return SalvageReport(**fields)


def _reduce_report(report: SalvageReport) -> tuple[Any, ...]:
    fields = {name: getattr(report, name) for name in report.__dataclass_fields__}
    mappings = tuple(name for name, value in fields.items() if isinstance(value, MappingProxyType))
    for name in mappings:
        fields[name] = dict(fields[name])
    return (_report_from_fields, (fields, mappings))


copyreg.pickle(SalvageReport, _reduce_report)
