"""What the adaptive salvage detected and did: ``InputFormat`` and ``SalvageReport``."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any

from quillon import _native

# The rejects the report names otherwise than the native side, whose
# "preamble" is the detected row count and "comment" the detected prefix.
_REPORT_NAMES = {"preamble_rows": "preamble", "comment_rows": "comment"}
_NATIVE_KEYS = {name: key for key, name in _REPORT_NAMES.items()}

# The repairs and rejects a report counts, in the order reports list them:
# the native side's one table of counters.
REPAIR_KINDS = tuple(key for key, kind in _native.COUNTS if kind == "repair")
REJECT_KINDS = tuple(_REPORT_NAMES.get(key, key) for key, kind in _native.COUNTS if kind == "reject")
# The rejects that are data records the salvage could not keep; the others
# are the file's structure (title lines, repeated headers, comments), set
# aside whole.
DATA_REJECT_KINDS = ("too_few_columns", "extra_columns")


def _char(value: int | None) -> str | None:
    return None if value is None else chr(value)


@dataclass(frozen=True, slots=True)
class TableStart:
    """A table below the input's first: the line it begins on (its title or
    header), counting from 1, and that line's text (at most 200 bytes)."""

    line: int
    first_line: str

    @classmethod
    def _all(cls, entries: Any) -> tuple[TableStart, ...]:
        return tuple(cls(line=e["line"], first_line=e["first_line"]) for e in entries)

    def to_dict(self) -> dict[str, Any]:
        return {"line": self.line, "first_line": self.first_line}


@dataclass(frozen=True, slots=True)
class InputFormat:
    """The dialect, encoding and structure of an input, as detected (or given).

    ``quote_char`` and ``escape_char`` are ``None`` when the input uses none;
    ``preamble_rows`` counts the records above the table (title lines, notes,
    blank lines, comments above it); ``columns`` is the table's field count;
    ``comment`` is the text that begins comment lines, ``""`` when none do;
    ``tables`` the tables below the first that the detection sample shows.
    """

    delimiter: str
    quote_char: str | None
    escape_char: str | None
    skip_initial_space: bool
    encoding: str
    byte_order_mark: bool
    header: bool
    preamble_rows: int
    columns: int
    comment: str
    tables: tuple[TableStart, ...] = ()

    @classmethod
    def _from_native(cls, values: Mapping[str, Any]) -> InputFormat:
        return cls(
            delimiter=chr(values["delimiter"]),
            quote_char=_char(values["quote"]),
            escape_char=_char(values["escape"]),
            skip_initial_space=values["skip_initial_space"],
            encoding=values["encoding"],
            byte_order_mark=values["byte_order_mark"],
            header=values["header"],
            preamble_rows=values["preamble"],
            columns=values["columns"],
            comment=values["comment"],
            tables=TableStart._all(values["tables"]),
        )

    def to_dict(self) -> dict[str, Any]:
        out = {name: getattr(self, name) for name in self.__dataclass_fields__}
        out["tables"] = [t.to_dict() for t in self.tables]
        return out


@dataclass(frozen=True, slots=True)
class SalvageReport:
    """The outcome of one ``quillon.salvage`` call.

    ``delimiter`` and ``quote_char`` are those of the clean file; ``input`` is
    what was detected about the input. ``total_rows`` is always
    ``salvaged_rows + quarantined_rows``; ``repairs`` and ``rejects`` count
    rows by kind (``repairs['reencoded']`` counts rows of a UTF-8 file whose
    stray bytes were read as Windows-1252, which is not part of
    ``repaired_rows``; ``repairs['runaway_quote']`` rows whose opening quote
    would have run away across the line break and was taken as text; a row
    may take more than one repair and counts once in ``repaired_rows``).
    ``quarantined_rows`` is ``rejected_rows`` (data records that could not
    be repaired) plus ``structure_rows`` (title lines above the table and
    repeated headers). ``warnings`` says what else looked wrong with the
    input ("the input looks truncated: ..."), each as one sentence.
    ``other_tables`` are the tables below the first, whose records were set
    aside as ``other_table`` (``tables_dir`` writes each to a file).
    ``column_types`` (from ``quillon.read``, and from a salvage into a Parquet or
    Arrow file with a cell-reject log) names each column's type
    (``"int64"``, ``"string"``...) and ``cell_rejects`` counts per column the
    cells that were no value of its type (null in the table, listed in
    ``SalvagedTable.cell_rejects``).
    """

    input_path: str
    output_path: str | None
    quarantine_path: str | None
    delimiter: str
    quote_char: str
    input: InputFormat
    total_rows: int
    salvaged_rows: int
    repaired_rows: int
    quarantined_rows: int
    columns: int
    repairs: Mapping[str, int] = field(default_factory=dict)
    rejects: Mapping[str, int] = field(default_factory=dict)
    warnings: tuple[str, ...] = ()
    other_tables: tuple[TableStart, ...] = ()
    column_types: Mapping[str, str] = field(default_factory=dict)
    cell_rejects: Mapping[str, int] = field(default_factory=dict)

    @property
    def rejected_rows(self) -> int:
        """Data records set aside because they could not be repaired."""
        return sum(self.rejects.get(kind, 0) for kind in DATA_REJECT_KINDS)

    @property
    def structure_rows(self) -> int:
        """Records set aside as the file's structure: title lines above the
        table and repeated headers."""
        return self.quarantined_rows - self.rejected_rows

    @classmethod
    def _from_native(
        cls,
        values: Mapping[str, Any],
        input_path: str,
        output_path: str | None,
        quarantine_path: str | None,
        warnings: tuple[str, ...] = (),
    ) -> SalvageReport:
        return cls(
            input_path=input_path,
            output_path=output_path,
            quarantine_path=quarantine_path,
            delimiter=chr(values["output_delimiter"]),
            quote_char='"',
            input=InputFormat._from_native(values),
            total_rows=values["total_rows"],
            salvaged_rows=values["salvaged_rows"],
            repaired_rows=values["repaired_rows"],
            quarantined_rows=values["quarantined_rows"],
            columns=values["applied_columns"],
            repairs=MappingProxyType({kind: values[kind] for kind in REPAIR_KINDS}),
            rejects=MappingProxyType(
                {kind: values[_NATIVE_KEYS.get(kind, kind)] for kind in REJECT_KINDS}
            ),
            warnings=warnings,
            other_tables=TableStart._all(values["other_tables"]),
        )

    def to_dict(self) -> dict[str, Any]:
        """Plain values only (JSON-ready): the input format as a nested dict."""
        out: dict[str, Any] = {}
        for name in self.__dataclass_fields__:
            value = getattr(self, name)
            if isinstance(value, InputFormat):
                value = value.to_dict()
            elif isinstance(value, Mapping):
                value = dict(value)
            elif isinstance(value, tuple):
                value = [v.to_dict() if isinstance(v, TableStart) else v for v in value]
            out[name] = value
        out["rejected_rows"] = self.rejected_rows
        out["structure_rows"] = self.structure_rows
        return out

    def __repr__(self) -> str:
        fixes = ", ".join(f"{k}={v}" for k, v in self.repairs.items() if v)
        rejects = ", ".join(f"{k}={v}" for k, v in self.rejects.items() if v)
        return (
            f"<SalvageReport total_rows={self.total_rows} salvaged_rows={self.salvaged_rows} "
            f"repaired_rows={self.repaired_rows} quarantined_rows={self.quarantined_rows} "
            f"columns={self.columns} input={self.input.encoding}/{self.input.delimiter!r}"
            f"{' header' if self.input.header else ''}"
            f" repairs=[{fixes}] rejects=[{rejects}]>"
        )
