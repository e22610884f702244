"""Salvaged tables written as Parquet or Arrow IPC (Feather) files instead of
CSV, chosen by the destination's suffix. The rows and column types are those
of ``quillon.read``, written batch by batch through pyarrow's writers, so a
table is never held whole in its columnar form as well.
"""

from __future__ import annotations

import csv
import dataclasses
import importlib
import os
from collections.abc import Mapping, Sequence
from typing import Any

from quillon import _native
from quillon._atomic import same_file
from quillon._optional import require
from quillon.report import SalvageReport

# Suffixes that ask for a columnar file, and the format each names. Feather
# version 2 is the Arrow IPC file format.
_FORMATS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".arrow": "arrow",
    ".feather": "arrow",
    ".ipc": "arrow",
}


# The formats a batch of files may be written in, and their files' suffix.
OUTPUT_FORMATS = {"csv": None, "parquet": ".parquet", "arrow": ".arrow"}


def output_name(name: str, output_format: str) -> str:
    """The name of an input's clean file in ``output_format``: the input's
    own for CSV, else with its suffix replaced."""
    if output_format not in OUTPUT_FORMATS:
        raise ValueError(f"output_format must be one of {', '.join(OUTPUT_FORMATS)}, got {output_format!r}")
    suffix = OUTPUT_FORMATS[output_format]
    return name if suffix is None else os.path.splitext(name)[0] + suffix


def table_format(path: str) -> str | None:
    """"parquet" or "arrow" when ``path``'s suffix names that format, else
    None (a CSV file)."""
    return _FORMATS.get(os.path.splitext(path)[1].lower())


def _require_pyarrow(file_format: str) -> Any:
    return require("pyarrow", "parquet", "writing a Parquet file" if file_format == "parquet" else "writing an Arrow file")


def salvage_to_table_file(
    source: str | bytes | bytearray | memoryview,
    path: str,
    file_format: str,
    quarantine_path: str | None,
    options: dict[str, Any],
    cell_rejects_path: str | None,
) -> dict[str, Any]:
    """Salvages ``source`` (a path or the data, which may be read twice) into
    a Parquet or Arrow file at ``path``, batch by batch as the input is read;
    the native side's counts. The columns get the types ``quillon.read``
    infers. Without ``cell_rejects_path`` a column with cells of no value of
    its type stays a string column, so that the file holds every cell's
    text: the first window's misfits settle that before the first batch, and
    a column that meets its first misfit later makes the input read again
    with it as strings. With it, every column keeps its type, its misfit
    cells are null, and the file lists them; the counts then also hold
    ``column_types`` and ``cell_rejects``."""
    threads = options.get("threads", 0)
    keep_text = cell_rejects_path is None
    strings: dict[int, str] = {}
    while True:
        table = _native.read_lazy(source, quarantine_path, options, None)
        table.type(True, strings, threads, keep_text)
        write_table(table, path, file_format)
        counts = table.reject_counts
        if not keep_text or not any(counts):
            break
        strings |= {column: "string" for column, count in enumerate(counts) if count}
    values = table.stats()
    if cell_rejects_path is not None:
        write_cell_rejects(table.rejects(), cell_rejects_path)
        values["column_types"] = dict(zip(table.columns, table.types, strict=True))
        values["cell_rejects"] = dict(zip(table.columns, counts, strict=True))
    return values


def with_column_types(report: SalvageReport, values: Mapping[str, Any]) -> SalvageReport:
    """The report with the columns' types and reject counts of a salvage
    that wrote a cell-reject log; as it is otherwise."""
    if "column_types" not in values:
        return report
    return dataclasses.replace(report, column_types=values["column_types"], cell_rejects=values["cell_rejects"])


# The cell-reject log's columns, as SalvagedTable.cell_rejects has them.
CELL_REJECTS_HEADER = ("line", "column", "text", "expected")


def write_cell_rejects(rejects: object, path: str) -> None:
    """Writes the log of misfit cells (``SalvagedTable.cell_rejects``'s
    shape) to ``path`` as CSV with a header."""
    pa = _require_pyarrow("arrow")
    with open(path, "w", encoding="utf-8", newline="") as handle:
        writer = csv.writer(handle, lineterminator="\n")
        writer.writerow(CELL_REJECTS_HEADER)
        for batch in pa.RecordBatchReader.from_stream(rejects):
            columns = [batch.column(name).to_pylist() for name in CELL_REJECTS_HEADER]
            for line, column, text, expected in zip(*columns, strict=True):
                writer.writerow(("" if line is None else line, column, text, expected))


def check_cell_rejects(
    output: str | int | None, cell_rejects: str | None, inputs: Sequence[str], others: Sequence[str | None]
) -> None:
    """Before any work: ValueError when the cell-reject log is asked for an
    output that has no typed columns (CSV keeps every cell's text, so no
    cell is rejected), or would replace an input or another output."""
    if cell_rejects is None:
        return
    if not isinstance(output, str) or table_format(output) is None:
        raise ValueError(
            "a cell-reject log needs a Parquet or Arrow output: a CSV output keeps every cell's text as read"
        )
    for source in inputs:
        if same_file(source, cell_rejects):
            raise ValueError(f"the cell-reject file {cell_rejects!r} is the input {source!r}")
    for other in (output, *others):
        if other is not None and same_file(other, cell_rejects):
            raise ValueError(f"the cell-reject file {cell_rejects!r} is another output, {other!r}")


def write_table(batches: object, path: str, file_format: str) -> None:
    """Writes the record batches of ``batches`` (any object with
    ``__arrow_c_stream__``) to ``path`` as a Parquet or Arrow IPC file."""
    pa = _require_pyarrow(file_format)
    reader = pa.RecordBatchReader.from_stream(batches)
    if file_format == "parquet":
        writer = importlib.import_module("pyarrow.parquet").ParquetWriter(path, reader.schema)
    else:
        writer = pa.ipc.new_file(path, reader.schema)
    with writer:
        for batch in reader:
            writer.write_batch(batch)


def check_table_output(path: str | int, options: Mapping[str, Any]) -> None:
    """Before any work, when ``path`` asks for a columnar file: ImportError
    when pyarrow is missing, ValueError for options only CSV has."""
    file_format = table_format(path) if isinstance(path, str) else None
    if file_format is None:
        return
    if "output_delimiter" in options:
        raise ValueError("output_delimiter applies to CSV output, not to a Parquet or Arrow file")
    _require_pyarrow(file_format)
