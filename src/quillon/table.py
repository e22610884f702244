"""``quillon.read``: the salvaged rows as an Arrow table, for dataframe libraries.

``read`` runs the same detection and salvage as ``quillon.salvage`` but keeps
the rows in memory as Arrow record batches of string columns instead of
writing a clean file. ``SalvagedTable`` hands them to any library that
speaks the Arrow PyCapsule interface (pyarrow, polars, DuckDB, pandas 3 and
others) without a Python object per cell, and without importing any of them
itself.
"""

from __future__ import annotations

import os
from collections.abc import Buffer
from typing import Any, BinaryIO

from quillon import _native
from quillon._atomic import check_outputs, destinations
from quillon._optional import require
from quillon._sources import load_input
from quillon.adaptive import _flag, _input_paths, _options, _path, for_input, problems_of, write_tables
from quillon.report import SalvageReport


class SalvagedTable:
    """The rows that ``quillon.read`` salvaged, one string column per column.

    Implements the Arrow PyCapsule interface: ``pyarrow.table(t)``,
    ``pyarrow.RecordBatchReader.from_stream(t)``, ``polars.DataFrame(t)``,
    ``duckdb.sql("select * from t")`` and ``pandas.DataFrame.from_arrow(t)``
    take it as it is. Every ``__arrow_c_stream__`` call starts a new stream
    over the same batches, which are never copied on the way. Missing cells
    (short rows when the column check is off) are null.
    """

    __slots__ = ("_batches", "_report")

    def __init__(self, batches: _native.RecordBatches, report: SalvageReport) -> None:
        self._batches = batches
        self._report = report

    @property
    def columns(self) -> list[str]:
        """The column names: the header's (blank ones as ``column_N``, repeats
        with a suffix ``_2``, ``_3``...) or ``column_1`` ... ``column_N``."""
        return list(self._batches.columns)

    @property
    def report(self) -> SalvageReport:
        """What was detected and done, as ``quillon.salvage`` reports it."""
        return self._report

    def __len__(self) -> int:
        return len(self._batches)

    def __arrow_c_schema__(self) -> object:
        return self._batches.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A new stream of the batches. A requested schema of as many string,
        large string or string view fields as there are columns is followed
        (types and names); any other request gets the table's own schema."""
        return self._batches.__arrow_c_stream__(requested_schema)

    def to_arrow(self) -> Any:
        """The rows as a ``pyarrow.Table``."""
        pa = require("pyarrow", "arrow", "to_arrow()")
        return pa.table(self)

    def to_polars(self) -> Any:
        """The rows as a ``polars.DataFrame``."""
        pl = require("polars", "polars", "to_polars()")
        return pl.DataFrame(self)

    def to_pandas(self) -> Any:
        """The rows as a ``pandas.DataFrame`` (pandas converts through pyarrow)."""
        pd = require("pandas", "pandas", "to_pandas()")
        require("pyarrow", "pandas", "to_pandas()")
        if hasattr(pd.DataFrame, "from_arrow"):
            return pd.DataFrame.from_arrow(self)
        # pandas before 3.0
        return self.to_arrow().to_pandas()

    def __repr__(self) -> str:
        return f"<SalvagedTable rows={len(self)} columns={self.columns!r}>"


def read(
    input_path: str | os.PathLike[str] | Buffer | BinaryIO,
    quarantine_path: str | os.PathLike[str] | None = None,
    *,
    delimiter: str | None = None,
    quote_char: str | None = None,
    escape_char: str | None = None,
    skip_initial_space: bool | None = None,
    encoding: str | None = None,
    header: bool | None = None,
    skip_rows: int | None = None,
    comment: str | None = None,
    expected_columns: int | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    repair_misaligned_rows: bool = True,
    repair_quotes: bool = True,
    drop_repeated_headers: bool = True,
    drop_footer: bool = True,
    guard_runaway_quotes: bool = True,
    split_tables: bool = True,
    tables_dir: str | os.PathLike[str] | None = None,
    threads: int | None = None,
    force: bool = False,
) -> SalvagedTable:
    """Detects the input's format and salvages its rows into a ``SalvagedTable``.

    The detection, the options and the repairs are those of
    ``quillon.salvage``, and so are the rows: the table holds exactly the
    rows of the clean file that ``salvage`` would write, without the header
    row, which names the columns. Records set aside go to
    ``quarantine_path`` when one is given. With ``expected_columns=0`` the
    table is as wide as the widest row and shorter rows end in nulls. The
    input is taken as ``salvage`` takes it (a path, plain or compressed,
    ``bytes`` or a binary file object, ``force`` for binary-looking data),
    and the quarantine file is written as ``salvage`` writes it. The file is
    read and salvaged with the interpreter lock released. A field that is
    exactly ``\\N`` in a dump without quoting (PostgreSQL's COPY, MySQL's
    INTO OUTFILE) is a null. ``tables_dir`` writes the tables below the
    first as ``salvage`` does.
    """
    rejects = None if quarantine_path is None else _path(quarantine_path, "quarantine_path")
    options = _options(
        delimiter=delimiter,
        quote_char=quote_char,
        escape_char=escape_char,
        skip_initial_space=skip_initial_space,
        encoding=encoding,
        header=header,
        skip_rows=skip_rows,
        comment=comment,
        expected_columns=expected_columns,
        fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow,
        repair_misaligned_rows=repair_misaligned_rows,
        repair_quotes=repair_quotes,
        drop_repeated_headers=drop_repeated_headers,
        drop_footer=drop_footer,
        guard_runaway_quotes=guard_runaway_quotes,
        split_tables=split_tables,
        tables_dir=tables_dir,
        threads=threads,
    )
    check_outputs(_input_paths(input_path), None, rejects)
    loaded = load_input(input_path, force=_flag(force, "force"))
    with destinations(rejects) as made:
        (quarantine,) = made
        batches, values = _native.read(
            loaded.source, None if quarantine is None else quarantine.path, for_input(options, loaded.head)
        )
        if options.get("tables_dir") is not None:
            write_tables(loaded, options["tables_dir"], None, values["other_tables"])
    report = SalvageReport._from_native(values, loaded.name, None, rejects, problems_of(loaded, values))
    return SalvagedTable(batches, report)
