"""``quillon.read``: the salvaged rows as an Arrow table, for dataframe libraries.

``read`` runs the same detection and salvage as ``quillon.salvage`` but hands
the rows out as Arrow record batches, made as a consumer reads them, instead
of writing a clean file. ``SalvagedTable`` hands them to any library that
speaks the Arrow PyCapsule interface (pyarrow, polars, DuckDB, pandas 3 and
others) without a Python object per cell, and without importing any of them
itself.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Buffer, Callable, Mapping, Sequence
from types import MappingProxyType
from typing import Any, BinaryIO, Literal, NamedTuple

from quillon import _native
from quillon._atomic import Destination, check_outputs
from quillon._optional import require
from quillon._sources import BlockFeeder, load_input
from quillon.adaptive import _flag, _input_paths, _options, _path, for_input, problems_of, write_tables
from quillon.report import SalvageReport


class ColumnSchema(NamedTuple):
    """One column of a ``SalvagedTable``: its type's name (``"int64"``,
    ``"decimal128(38, 2)"``, ``"string"``...) and how many of its cells were
    no value of that type (null in the table, listed in ``cell_rejects``)."""

    type: str
    rejects: int


class SalvagedTable:
    """The rows that ``quillon.read`` salvaged, one typed column per column.

    Implements the Arrow PyCapsule interface: ``pyarrow.table(t)``,
    ``pyarrow.RecordBatchReader.from_stream(t)``, ``polars.DataFrame(t)``,
    ``duckdb.sql("select * from t")`` and ``pandas.DataFrame.from_arrow(t)``
    take it as it is. Missing cells (short rows when the column check is
    off) are null.

    The table is read as it is consumed: ``read`` reads the input's first
    window, and the first stream hands the batches out as the rest is read,
    keeping none of them. The row count, the report and the rejected cells
    are known once that stream has reached its end; asked for before any
    stream, they read the rest of the input into memory, and the streams
    then come from memory. A later stream reads the input again when it is
    a path or bytes, and is refused for a pipe or a file object.
    """

    __slots__ = ("_cell_rejects", "_finish_report", "_lazy", "_reread", "_report", "_streamed")

    def __init__(
        self,
        lazy: _native.LazyTable,
        finish_report: Callable[[Mapping[str, Any]], SalvageReport],
        reread: Callable[[], _native.LazyTable] | None,
    ) -> None:
        self._lazy = lazy
        self._finish_report = finish_report
        self._reread = reread
        self._report: SalvageReport | None = None
        self._cell_rejects: _native.RecordBatches | None = None
        self._streamed = False

    def _complete(self) -> _native.LazyTable:
        """The table read to its end: held whole first when no stream took it."""
        lazy = self._lazy
        if not lazy.complete:
            if self._streamed:
                raise RuntimeError(
                    "the table's stream has not reached its end: the row count, the report and the "
                    "rejected cells are known once it has (or when asked for before any stream)"
                )
            lazy.hold_whole()
        return lazy

    @property
    def schema(self) -> Mapping[str, ColumnSchema]:
        """Each column's type and count of rejected cells, by column name."""
        types = self.report.column_types
        rejects = self.report.cell_rejects
        return MappingProxyType({name: ColumnSchema(types[name], rejects[name]) for name in types})

    @property
    def cell_rejects(self) -> _native.RecordBatches:
        """The cells that were no value of their column's type, one row each:
        ``line`` (int64, the input line where the cell's record begins, from
        1, as the quarantine counts), ``column``, ``text`` (the cell as read)
        and ``expected`` (the column's type). An Arrow table
        through the PyCapsule interface, like the table itself."""
        if self._cell_rejects is None:
            self._cell_rejects = self._complete().rejects()
        return self._cell_rejects

    @property
    def columns(self) -> list[str]:
        """The column names: the header's (blank ones as ``column_N``, repeats
        with a suffix ``_2``, ``_3``...) or ``column_1`` ... ``column_N``."""
        return list(self._lazy.columns)

    @property
    def report(self) -> SalvageReport:
        """What was detected and done, as ``quillon.salvage`` reports it."""
        if self._report is None:
            lazy = self._complete()
            columns = lazy.columns
            report = self._finish_report(lazy.stats())
            self._report = dataclasses.replace(
                report,
                column_types=MappingProxyType(dict(zip(columns, lazy.types, strict=True))),
                cell_rejects=MappingProxyType(dict(zip(columns, lazy.reject_counts, strict=True))),
            )
        return self._report

    def __len__(self) -> int:
        return len(self._complete())

    def __arrow_c_schema__(self) -> object:
        return self._lazy.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A stream of the batches. A requested schema of as many string,
        large string or string view fields as there are columns is followed
        (types and names); any other request gets the table's own schema."""
        lazy = self._lazy
        if lazy.held or not self._streamed:
            self._streamed = self._streamed or not lazy.held
            return lazy.__arrow_c_stream__(requested_schema)
        if self._reread is None:
            raise RuntimeError(
                "the table was streamed once from a pipe or a file object, which cannot be read "
                "again: ask for len(t) before streaming to keep it in memory"
            )
        return self._reread().__arrow_c_stream__(requested_schema)

    def to_arrow(self) -> Any:
        """The rows as a ``pyarrow.Table``."""
        pa = require("pyarrow", "arrow", "to_arrow()")
        return pa.table(self)

    def to_polars(self) -> Any:
        """The rows as a ``polars.DataFrame``."""
        pl = require("polars", "polars", "to_polars()")
        return pl.DataFrame(self)

    def to_pandas(self) -> Any:
        """The rows as a ``pandas.DataFrame``, converted by pyarrow: int64,
        float64 and bool columns become numpy ones (nullable ``Int64`` and
        ``boolean`` for a column with nulls), dates and timestamps
        ``datetime64``, decimals Python ``Decimal`` objects, strings pandas'
        string dtype."""
        pd = require("pandas", "pandas", "to_pandas()")
        pa = require("pyarrow", "pandas", "to_pandas()")
        # Integers and booleans go through pandas' nullable types, which hold
        # every int64 exactly even beside nulls; columns without nulls then
        # take numpy's own.
        nullable = {pa.int64(): pd.Int64Dtype(), pa.bool_(): pd.BooleanDtype()}
        table = pa.table(self)
        frame = table.to_pandas(date_as_object=False, types_mapper=nullable.get)
        for name, column in zip(table.column_names, table.columns, strict=True):
            if column.type in nullable and column.null_count == 0:
                frame[name] = frame[name].to_numpy(dtype=column.type.to_pandas_dtype())
        return frame

    def __repr__(self) -> str:
        # Asking for the row count would read the input: a table not read to
        # its end says so instead.
        rows = len(self) if self._lazy.complete else "?"
        return f"<SalvagedTable rows={rows} columns={self.columns!r}>"


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
    types: Literal["infer", False] = "infer",
    dtypes: Mapping[str, str] | Sequence[str | None] | None = None,
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
    first as ``salvage`` does. The input's first window (about 64 MB) is
    read now, the rest as the table is consumed (see ``SalvagedTable``).

    With ``types="infer"`` each column gets the type its cells read as
    (int64, float64, decimal128, bool, date32, timestamp[us], else string;
    the rules are in docs/python-api.md), decided from the rows of the first
    window. A column keeps its type when at
    least 95% of its non-null cells are values of it; the others become
    null and are listed in ``cell_rejects``. ``types=False`` keeps every
    column as strings. ``dtypes`` gives some columns' types, by name (a
    mapping) or by position (a sequence, ``None`` to infer): ``"int64"``,
    ``"float64"``, ``"bool"``, ``"date"``, ``"timestamp"``,
    ``"timestamp[us, UTC]"``, ``"decimal(P,S)"``, ``"string"``. A given type
    is kept however many cells do not fit it.
    """
    if types not in ("infer", False):
        raise ValueError(f"types must be 'infer' or False, not {types!r}")
    if dtypes is not None and not isinstance(dtypes, (Mapping, Sequence)) or isinstance(dtypes, str):
        raise TypeError(f"dtypes must be a mapping or a sequence of type names, not {type(dtypes).__name__}")
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
    forced = _flag(force, "force")
    tables = options.get("tables_dir")
    # The tables below the first are written from the input's bytes: an
    # input with tables_dir is held in memory (or read from its file).
    loaded = load_input(input_path, force=forced, stream=tables is None)
    native_options = for_input(options, loaded.head)
    infer = types == "infer"
    threads_used = 0 if threads is None else threads
    destination = None if rejects is None else Destination(rejects)
    try:
        lazy = _native.read_lazy(
            loaded.blocks or loaded.source,
            None if destination is None else destination.path,
            native_options,
            _finisher(destination, loaded.blocks),
        )
        lazy.type(infer, _given_types(lazy.columns, dtypes), threads_used)
        if tables is not None:
            lazy.hold_whole()
            write_tables(loaded, tables, None, lazy.stats()["other_tables"])
    except BaseException as error:
        if loaded.blocks is not None:
            loaded.blocks.close()
        if destination is not None:
            destination.discard()
            if isinstance(error, OSError):
                raise destination.rename_error(error) from None
        raise

    def finish_report(values: Mapping[str, Any]) -> SalvageReport:
        return SalvageReport._from_native(values, loaded.name, None, rejects, problems_of(loaded, values))

    reread = None
    if isinstance(input_path, (str, os.PathLike)) or loaded.data is not None:
        given = _given_types(lazy.columns, dtypes)

        def reread() -> _native.LazyTable:
            again = load_input(input_path, force=forced, stream=True) if loaded.data is None else loaded
            table = _native.read_lazy(
                again.blocks or again.source, None, native_options, _finisher(None, again.blocks)
            )
            table.type(infer, given, threads_used)
            return table

    return SalvagedTable(lazy, finish_report, reread)


def _finisher(destination: Destination | None, blocks: BlockFeeder | None) -> Callable[[bool], None]:
    """What the native side calls once the input was read to its end (True)
    or the table went before that (False): the quarantine file is put in
    place or removed, and a stream's reading is stopped."""

    def finish(completed: bool) -> None:
        if blocks is not None:
            blocks.close()
        if destination is None:
            return
        if not completed:
            destination.discard()
            return
        try:
            destination.sync()
            destination.rename()
        except OSError as error:
            destination.discard()
            raise destination.rename_error(error) from None

    return finish


def _given_types(columns: Sequence[str], dtypes: Mapping[str, str] | Sequence[str | None] | None) -> dict[int, str]:
    """The user's types by column index; a name the table lacks is an error."""
    if dtypes is None:
        return {}
    if isinstance(dtypes, Mapping):
        index = {name: i for i, name in enumerate(columns)}
        missing = [name for name in dtypes if name not in index]
        if missing:
            raise KeyError(f"dtypes names columns the table does not have: {missing!r} (columns: {list(columns)!r})")
        return {index[name]: dtype for name, dtype in dtypes.items()}
    if len(dtypes) > len(columns):
        raise ValueError(f"dtypes gives {len(dtypes)} types for a table of {len(columns)} columns")
    return {i: dtype for i, dtype in enumerate(dtypes) if dtype is not None}
