"""The adaptive salvage: ``quillon.salvage`` and ``quillon.detect``.

Unlike the fixed rules of ``salvage_file``, these detect the input's
encoding (UTF-8, UTF-16, Windows-1252, Latin-1, and UTF-8 with rows pasted
from Windows-1252), its dialect (delimiter among , ; TAB | space :, spaces
after delimiters, the quote " or ' or none, backslash escapes) and its
structure (title lines above the table, a header, headers repeated further
down), and keep every rejected record byte for byte in the quarantine.
Every option left at ``None`` is detected; every option given is used as is.
"""

from __future__ import annotations

import codecs
import os
import sys
from typing import Any

from quillon import _native
from quillon.report import InputFormat, SalvageReport

# The native side counts in unsigned machine words.
_MAX_COUNT = sys.maxsize

# Codec names (as codecs.lookup spells them) and what the native side calls them.
_ENCODINGS = {
    "utf-8": "utf-8",
    "utf-8-sig": "utf-8",
    "cp1252": "windows-1252",
    "iso8859-1": "latin-1",
    "utf-16-le": "utf-16-le",
    "utf-16-be": "utf-16-be",
}


def _path(value: Any, name: str) -> str:
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be a str or os.PathLike, not {type(value).__name__}")
    path = os.fspath(value)
    if not isinstance(path, str):
        raise TypeError(f"{name} must name a text path, not bytes")
    return path


def _byte(value: Any, name: str, allow_none_marker: bool) -> int | None:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if value == "" and allow_none_marker:
        return None
    if len(value) != 1 or ord(value) > 0x7F:
        raise ValueError(f"{name} must be one ASCII character, got {value!r}")
    return ord(value)


def _flag(value: Any, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    return value


def _count(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= _MAX_COUNT:
        raise ValueError(f"{name} must be between 0 and {_MAX_COUNT}, got {value}")
    return value


def _encoding(value: str, input_path: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"encoding must be a str, not {type(value).__name__}")
    try:
        name = codecs.lookup(value).name
    except LookupError:
        raise ValueError(f"unknown encoding: {value!r}") from None
    if name == "utf-16":
        # The byte-order mark says which; without one, little-endian, as
        # Windows writes it.
        try:
            with open(input_path, "rb") as stream:
                start = stream.read(2)
        except OSError:
            start = b""
        return "utf-16-be" if start == b"\xfe\xff" else "utf-16-le"
    if name not in _ENCODINGS:
        supported = "utf-8, utf-16, utf-16-le, utf-16-be, windows-1252, latin-1"
        raise ValueError(f"unsupported encoding: {value!r} (supported: {supported})")
    return _ENCODINGS[name]


def _options(
    input_path: str,
    *,
    delimiter: str | None,
    quote_char: str | None,
    escape_char: str | None,
    skip_initial_space: bool | None,
    encoding: str | None,
    header: bool | None,
    skip_rows: int | None,
    expected_columns: int | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    repair_misaligned_rows: bool = True,
    repair_quotes: bool = True,
    drop_repeated_headers: bool = True,
    guard_runaway_quotes: bool = True,
    output_delimiter: str | None = None,
    threads: int | None = None,
) -> dict[str, Any]:
    """Validates every option before any work, in the native side's terms."""
    options: dict[str, Any] = {
        "fill_ragged_rows": _flag(fill_ragged_rows, "fill_ragged_rows"),
        "merge_overflow": _flag(merge_overflow, "merge_overflow"),
        "repair_misaligned_rows": _flag(repair_misaligned_rows, "repair_misaligned_rows"),
        "repair_quotes": _flag(repair_quotes, "repair_quotes"),
        "drop_repeated_headers": _flag(drop_repeated_headers, "drop_repeated_headers"),
        "guard_runaway_quotes": _flag(guard_runaway_quotes, "guard_runaway_quotes"),
    }
    if delimiter is not None:
        options["delimiter"] = _byte(delimiter, "delimiter", allow_none_marker=False)
    # For these two, "" says "none" and is a given value, unlike None.
    if quote_char is not None:
        options["quote"] = _byte(quote_char, "quote_char", allow_none_marker=True)
    if escape_char is not None:
        options["escape"] = _byte(escape_char, "escape_char", allow_none_marker=True)
    if skip_initial_space is not None:
        options["skip_initial_space"] = _flag(skip_initial_space, "skip_initial_space")
    if header is not None:
        options["header"] = _flag(header, "header")
    if skip_rows is not None:
        options["skip_rows"] = _count(skip_rows, "skip_rows")
    if expected_columns is not None:
        options["expected_columns"] = _count(expected_columns, "expected_columns")
    if output_delimiter is not None:
        options["output_delimiter"] = _byte(output_delimiter, "output_delimiter", False)
        if options["output_delimiter"] in (ord('"'), ord("\r"), ord("\n")):
            raise ValueError(f"output_delimiter cannot be {output_delimiter!r}")
    if encoding is not None:
        options["encoding"] = _encoding(encoding, input_path)
    if threads is not None:
        if _count(threads, "threads") == 0:
            raise ValueError("threads must be at least 1")
        options["threads"] = threads
    return options


def salvage(
    input_path: str | os.PathLike[str],
    output_path: str | os.PathLike[str],
    quarantine_path: str | os.PathLike[str] | None = None,
    *,
    delimiter: str | None = None,
    quote_char: str | None = None,
    escape_char: str | None = None,
    skip_initial_space: bool | None = None,
    encoding: str | None = None,
    header: bool | None = None,
    skip_rows: int | None = None,
    expected_columns: int | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    repair_misaligned_rows: bool = True,
    repair_quotes: bool = True,
    drop_repeated_headers: bool = True,
    guard_runaway_quotes: bool = True,
    output_delimiter: str | None = None,
    threads: int | None = None,
) -> SalvageReport:
    """Detects the input's format and writes a clean, standard CSV file.

    The clean file uses the double quote, LF line ends and minimal quoting,
    and the input's delimiter when it is a comma, semicolon, tab or vertical
    bar (else the comma; ``output_delimiter`` overrides). Records that cannot
    be repaired, title lines above the table and repeated header rows go to
    ``quarantine_path``, each byte for byte with its lines, offset and reason.

    Options left at ``None`` are detected. ``quote_char=""`` and
    ``escape_char=""`` say the input has none. ``skip_rows`` is the number of
    records above the table; ``header`` whether the table's first record is
    a header (then its later repeats are set aside unless
    ``drop_repeated_headers=False``); ``guard_runaway_quotes`` takes a quote
    that opens a field and would swallow the line breaks after it as text
    where that gives the line the table's column count;
    ``repair_misaligned_rows`` mends a row of the wrong field count where
    the cells' fit to the other rows' columns singles out one repair (an
    empty field dropped, two fields rejoined, a cell split), before padding
    or merging;
    ``expected_columns=0`` turns the column check off. ``threads`` is the
    number of threads that read the input (default: one per core the process
    may run on); the result is the same for any number. Never fails on the
    input's bytes; raises ``OSError`` subclasses for I/O failures.
    """
    source = _path(input_path, "input_path")
    target = _path(output_path, "output_path")
    rejects = None if quarantine_path is None else _path(quarantine_path, "quarantine_path")
    options = _options(
        source,
        delimiter=delimiter,
        quote_char=quote_char,
        escape_char=escape_char,
        skip_initial_space=skip_initial_space,
        encoding=encoding,
        header=header,
        skip_rows=skip_rows,
        expected_columns=expected_columns,
        fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow,
        repair_misaligned_rows=repair_misaligned_rows,
        repair_quotes=repair_quotes,
        drop_repeated_headers=drop_repeated_headers,
        guard_runaway_quotes=guard_runaway_quotes,
        output_delimiter=output_delimiter,
        threads=threads,
    )
    values = _native.salvage(source, target, rejects, options)
    return SalvageReport._from_native(values, source, target, rejects)


def detect(
    input_path: str | os.PathLike[str],
    *,
    delimiter: str | None = None,
    quote_char: str | None = None,
    escape_char: str | None = None,
    skip_initial_space: bool | None = None,
    encoding: str | None = None,
    header: bool | None = None,
    skip_rows: int | None = None,
) -> InputFormat:
    """What ``salvage`` would detect for the file, with the same options."""
    source = _path(input_path, "input_path")
    options = _options(
        source,
        delimiter=delimiter,
        quote_char=quote_char,
        escape_char=escape_char,
        skip_initial_space=skip_initial_space,
        encoding=encoding,
        header=header,
        skip_rows=skip_rows,
    )
    return InputFormat._from_native(_native.detect(source, options))
