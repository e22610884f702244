"""The adaptive salvage: ``quillon.salvage`` and ``quillon.detect``.

Unlike the fixed rules of ``salvage_file``, these detect the input's
encoding (UTF-8, UTF-16, Windows-1252, Latin-1, UTF-8 with rows pasted
from Windows-1252, Big5, GB18030, Shift-JIS and EUC-KR), its dialect (delimiter among , ; TAB | space :, spaces
after delimiters, the quote " or ' or none, backslash escapes) and its
structure (title lines above the table, a header, headers repeated further
down), and keep every rejected record byte for byte in the quarantine.
Every option left at ``None`` is detected; every option given is used as is.
"""

from __future__ import annotations

import codecs
import os
import sys
from collections.abc import Buffer, Callable, Mapping
from typing import Any, BinaryIO

from quillon import _native
from quillon._atomic import check_outputs, destinations, same_file
from quillon._sources import LoadedInput, load_input
from quillon._table_files import (
    check_cell_rejects,
    check_table_output,
    salvage_to_table_file,
    table_format,
    with_column_types,
)
from quillon.report import InputFormat, SalvageReport

# The native side counts in unsigned machine words.
_MAX_COUNT = sys.maxsize

# The bytes of the window a streamed input is read through (the native
# side's default).
_WINDOW_BYTES = 64 << 20


def _read_whole(loaded: LoadedInput, options: Mapping[str, Any]) -> bool:
    """Whether a plain file is small enough to be read whole rather than
    streamed: up to two windows, it then costs no more memory than a stream
    holds, and its spans run on every core without a window to refill
    between them (about a fifth faster on two cores). The result is the
    same either way."""
    window: int = options.get("window_bytes", _WINDOW_BYTES)
    return loaded.known_size <= 2 * window

# Codec names (as codecs.lookup spells them) and what the native side calls them.
_ENCODINGS = {
    "utf-8": "utf-8",
    "utf-8-sig": "utf-8",
    "cp1252": "windows-1252",
    "iso8859-1": "latin-1",
    "utf-16-le": "utf-16-le",
    "utf-16-be": "utf-16-be",
    # The double-byte encodings are read as the superset Windows writes.
    "big5": "big5",
    "cp950": "big5",
    "gb18030": "gb18030",
    "gbk": "gb18030",
    "gb2312": "gb18030",
    "shift_jis": "shift_jis",
    "cp932": "shift_jis",
    "euc_kr": "euc-kr",
    "cp949": "euc-kr",
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


def _comment(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"comment must be a str, not {type(value).__name__}")
    if "\r" in value or "\n" in value:
        raise ValueError(f"comment cannot hold a line break, got {value!r}")
    return value


# An encoding given as "utf-16": the byte-order mark decides which, once the
# data's first bytes are known.
_UTF16_BY_MARK = "utf-16"


def _encoding(value: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"encoding must be a str, not {type(value).__name__}")
    try:
        name = codecs.lookup(value).name
    except LookupError:
        raise ValueError(f"unknown encoding: {value!r}") from None
    if name == "utf-16":
        return _UTF16_BY_MARK
    if name not in _ENCODINGS:
        supported = (
            "utf-8, utf-16, utf-16-le, utf-16-be, windows-1252, latin-1, "
            "big5, gb18030, shift_jis, euc_kr"
        )
        raise ValueError(f"unsupported encoding: {value!r} (supported: {supported})")
    return _ENCODINGS[name]


def for_input(options: dict[str, Any], head: bytes) -> dict[str, Any]:
    """The options for an input whose data starts with ``head``: "utf-16"
    becomes the byte order its mark says (little-endian without one, as
    Windows writes it)."""
    if options.get("encoding") != _UTF16_BY_MARK:
        return options
    return {**options, "encoding": "utf-16-be" if head[:2] == b"\xfe\xff" else "utf-16-le"}


def _options(
    *,
    delimiter: str | None,
    quote_char: str | None,
    escape_char: str | None,
    skip_initial_space: bool | None,
    encoding: str | None,
    header: bool | None,
    skip_rows: int | None,
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
        "drop_footer": _flag(drop_footer, "drop_footer"),
        "guard_runaway_quotes": _flag(guard_runaway_quotes, "guard_runaway_quotes"),
        "split_tables": _flag(split_tables, "split_tables"),
    }
    # Not the native side's: salvage_loaded writes the tables' files.
    if tables_dir is not None:
        options["tables_dir"] = _path(tables_dir, "tables_dir")
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
    if comment is not None:
        options["comment"] = _comment(comment)
    if expected_columns is not None:
        options["expected_columns"] = _count(expected_columns, "expected_columns")
    if output_delimiter is not None:
        options["output_delimiter"] = _byte(output_delimiter, "output_delimiter", False)
        if options["output_delimiter"] in (ord('"'), ord("\r"), ord("\n")):
            raise ValueError(f"output_delimiter cannot be {output_delimiter!r}")
    if encoding is not None:
        options["encoding"] = _encoding(encoding)
    if threads is not None:
        if _count(threads, "threads") == 0:
            raise ValueError("threads must be at least 1")
        options["threads"] = threads
    return options


# What a run found wrong with its input, beyond the records it set aside.
_OPEN_QUOTE_AT_END = "the input looks truncated: it ends inside a quoted field"


def problems_of(loaded: LoadedInput, values: Mapping[str, Any]) -> tuple[str, ...]:
    found = loaded.problems
    if values.get("ends_in_open_quote"):
        found += (_OPEN_QUOTE_AT_END,)
    grown = values.get("window_grown_to", 0)
    if grown:
        found += (
            f"a record is longer than the reading window: the window grew to {grown:,} bytes "
            "to hold it, and memory with it",
        )
    return found


def salvage_loaded(
    loaded: LoadedInput,
    output: str | int,
    quarantine_path: str | None,
    options: dict[str, Any],
    progress: Callable[[int, int], object] | None = None,
    cell_rejects_path: str | None = None,
) -> dict[str, Any]:
    """Salvages a loaded input into ``output`` (a path, written atomically,
    or an open descriptor, streamed; a path ending in ``.parquet`` or
    ``.arrow``/``.feather`` gets that format) and the quarantine file; the
    native side's counts. A plain file larger than two windows, or a stream
    of blocks, is read as a stream, in memory that does not grow with it; a
    smaller file is read whole (_read_whole). Raises what the salvage
    raises, naming the files the caller gave. With ``cell_rejects_path``
    (for a Parquet or Arrow output), the columns keep their inferred types
    and the cells that do not fit go to that file; the counts then also
    hold ``column_types`` and ``cell_rejects`` (with_column_types)."""
    options = for_input(options, loaded.head)
    file_format = table_format(output) if isinstance(output, str) else None
    try:
        with destinations(output if isinstance(output, str) else None, quarantine_path, cell_rejects_path) as made:
            clean, rejects, cells = made
            target = output if clean is None else clean.path
            quarantine = None if rejects is None else rejects.path
            if file_format is not None:
                assert isinstance(target, str)
                values = salvage_to_table_file(
                    loaded.source, target, file_format, quarantine, options, None if cells is None else cells.path
                )
            elif loaded.blocks is not None:
                # The blocks report the reading themselves.
                values = _native.salvage_stream(loaded.blocks, target, quarantine, options)
            elif loaded.path is not None and isinstance(target, str) and _read_whole(loaded, options):
                values = _native.salvage(loaded.path, target, quarantine, options, progress)
            elif loaded.path is not None:
                values = _native.salvage_stream(loaded.path, target, quarantine, options, progress)
            else:
                assert loaded.data is not None
                values = _native.salvage_buffer(loaded.data, target, quarantine, options, progress)
            if options.get("tables_dir") is not None:
                write_tables(loaded, options["tables_dir"], output, values["other_tables"])
            return values
    finally:
        if loaded.blocks is not None:
            loaded.blocks.close()


def streams(output: str | int, options: Mapping[str, Any]) -> bool:
    """Whether an input salvaged into ``output`` may be read as a stream:
    not for a Parquet or Arrow file, which may read its input a second time
    (salvage_to_table_file), nor with ``tables_dir``, whose tables are copied
    from the input's bytes afterwards (a plain file is read again; other
    inputs are held)."""
    return not (isinstance(output, str) and table_format(output) is not None) and options.get("tables_dir") is None


def table_paths(loaded: LoadedInput, folder: str, output: str | int | None, count: int) -> list[str]:
    """Where the tables below the first go: ``NAME.table2.csv`` and on in
    ``folder``, NAME the input's file name (else the output's) without its
    extension."""
    named = loaded.path or (loaded.name if loaded.name not in ("-", "<bytes>") else None)
    if named is None and isinstance(output, str):
        named = output
    stem = os.path.splitext(os.path.basename(named))[0] if named else "input"
    return [os.path.join(folder, f"{stem}.table{k}.csv") for k in range(2, count + 2)]


def write_tables(
    loaded: LoadedInput, folder: str, output: str | int | None, tables: list[dict[str, Any]]
) -> None:
    """Writes each table below the first, byte for byte as in the input,
    to a file of its own in ``folder`` (made when missing); none may name
    the input."""
    paths = table_paths(loaded, folder, output, len(tables))
    for path in paths:
        if loaded.path is not None and same_file(loaded.path, path):
            raise ValueError(f"the table file {path!r} is the input {loaded.path!r}")
    if paths:
        os.makedirs(folder, exist_ok=True)
    with destinations(*paths) as made:
        for table, destination in zip(tables, made, strict=True):
            assert destination is not None
            with open(destination.path, "wb") as out:
                out.write(_input_bytes(loaded, table["offset"], table["end"]))


def _input_bytes(loaded: LoadedInput, begin: int, end: int) -> bytes:
    if loaded.data is not None:
        return bytes(memoryview(loaded.data).cast("B")[begin:end])
    assert loaded.path is not None
    with open(loaded.path, "rb") as source:
        source.seek(begin)
        return source.read(end - begin)


def salvage(
    input_path: str | os.PathLike[str] | Buffer | BinaryIO,
    output_path: str | os.PathLike[str],
    quarantine_path: str | os.PathLike[str] | None = None,
    cell_rejects_path: str | os.PathLike[str] | None = None,
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
    output_delimiter: str | None = None,
    threads: int | None = None,
    force: bool = False,
) -> SalvageReport:
    """Detects the input's format and writes a clean, standard CSV file.

    ``input_path`` is a path (plain, or gzip, bzip2, xz or zstd data, recognised
    by its first bytes), the data itself as ``bytes``, or a binary file
    object. The clean file uses the double quote, LF line ends and minimal
    quoting, and the input's delimiter when it is a comma, semicolon, tab or
    vertical bar (else the comma; ``output_delimiter`` overrides). Records
    that cannot be repaired, title lines above the table and repeated header
    rows go to ``quarantine_path``, each byte for byte with its lines, offset
    and reason. An ``output_path`` ending in ``.parquet`` (``.pq``) or
    ``.arrow`` (``.feather``, ``.ipc``) gets the rows of ``quillon.read`` in
    that format instead, through pyarrow (``ImportError`` without it). Its
    columns have the types ``read`` infers, except that a column with cells
    of no value of its type stays a string column, so the file holds every
    cell's text; unless ``cell_rejects_path`` is given: then every column
    keeps its type, its misfit cells are null, and each of them is a row of
    that CSV file (``line,column,text,expected``: the input line where its
    record begins, the column's name, the cell's text, the type), and the
    report gives ``column_types`` and ``cell_rejects`` as ``read``'s does.
    For a CSV output, which keeps every cell's text, ``cell_rejects_path``
    is a ``ValueError``.

    Both files are written whole or not at all: each goes to a temporary
    file beside it and replaces the destination only when the run has
    succeeded, so ``output_path`` may name the input itself (an in-place
    rescue). A quarantine path that names the input, or the output, raises
    ``ValueError`` before any work.

    Options left at ``None`` are detected. ``quote_char=""`` and
    ``escape_char=""`` say the input has none. ``skip_rows`` is the number of
    records above the table; ``header`` whether the table's first record is
    a header (then its later repeats are set aside unless
    ``drop_repeated_headers=False``); ``comment`` the text that begins comment
    lines, which are set aside wherever they stand (``""``: there are none;
    detected among ``#``, ``//``, ``%`` and ``;`` when lines that begin so
    do not have the table's shape); ``drop_footer=False`` keeps notes below
    the table (a totals line, a source) as rows; ``guard_runaway_quotes`` takes a quote
    that opens a field and would swallow the line breaks after it as text
    where that gives the line the table's column count;
    ``repair_misaligned_rows`` mends a row of the wrong field count where
    the cells' fit to the other rows' columns singles out one repair (an
    empty field dropped, two fields rejoined, a cell split), before padding
    or merging;
    ``split_tables`` sets the tables below the first aside as
    ``other_table`` (a break, a blank or title line, then several records of
    another width: a workbook exported sheet after sheet), and
    ``tables_dir`` writes each of them, byte for byte, to
    ``NAME.table2.csv``, ``NAME.table3.csv``, ... in that folder (NAME the
    input's file name without its extension); a field that is exactly
    ``\\N`` in a dump without quoting is written as an empty field.
    ``expected_columns=0`` turns the column check off. ``threads`` is the
    number of threads that read the input (default: one per core the process
    may run on); at most 32 are used, and never more than the input has
    spans of 1 to 4 MB, while the spans read ahead are held to 32 MB whatever
    the number, so more threads cost no more memory; the result is the same
    for any number. The input (a file, a file object, compressed data) is
    read as a stream: memory does not grow with its size, except for a
    single record longer than the 64 MB reading window, which the report
    then warns of.

    Input that looks like a binary format (a ZIP archive or .xlsx workbook,
    an image, a program) raises ``ValueError`` unless ``force=True``. Never
    fails on the bytes of delimited text; compressed data that is cut off
    gives what decompressed, with a warning in the report. Raises
    ``OSError`` subclasses, with ``errno`` and ``filename``, for I/O failures.
    """
    target = _path(output_path, "output_path")
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
        output_delimiter=output_delimiter,
        threads=threads,
    )
    cells = None if cell_rejects_path is None else _path(cell_rejects_path, "cell_rejects_path")
    check_outputs(_input_paths(input_path), target, rejects)
    check_table_output(target, options)
    check_cell_rejects(target, cells, _input_paths(input_path), [rejects])
    loaded = load_input(input_path, force=_flag(force, "force"), stream=streams(target, options))
    values = salvage_loaded(loaded, target, rejects, options, cell_rejects_path=cells)
    report = SalvageReport._from_native(values, loaded.name, target, rejects, problems_of(loaded, values))
    return with_column_types(report, values)


def _input_paths(source: object) -> list[str]:
    """The input's path, for the checks of the output paths against it."""
    if isinstance(source, (str, os.PathLike)):
        return [_path(source, "input_path")]
    return []


def detect(
    input_path: str | os.PathLike[str] | Buffer | BinaryIO,
    *,
    delimiter: str | None = None,
    quote_char: str | None = None,
    escape_char: str | None = None,
    skip_initial_space: bool | None = None,
    encoding: str | None = None,
    header: bool | None = None,
    skip_rows: int | None = None,
    comment: str | None = None,
    force: bool = False,
) -> InputFormat:
    """What ``salvage`` would detect for the input, with the same options;
    the input is taken as ``salvage`` takes it."""
    options = _options(
        delimiter=delimiter,
        quote_char=quote_char,
        escape_char=escape_char,
        skip_initial_space=skip_initial_space,
        encoding=encoding,
        header=header,
        skip_rows=skip_rows,
        comment=comment,
    )
    loaded = load_input(input_path, force=_flag(force, "force"), stream=True)
    return detect_loaded(loaded, options)


def detect_loaded(loaded: LoadedInput, options: dict[str, Any]) -> InputFormat:
    """The detection of a loaded input; of a file or a stream of blocks,
    only the head is read."""
    try:
        source = loaded.source if loaded.blocks is None else loaded.blocks
        return InputFormat._from_native(_native.detect(source, for_input(options, loaded.head)))
    finally:
        if loaded.blocks is not None:
            loaded.blocks.close()
