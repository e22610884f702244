"""The ``quillon`` command line: salvage a damaged file, or detect its format.

``quillon salvage`` runs the adaptive salvage (``quillon.salvage``) unless
``--basic`` asks for the fixed rules of ``salvage_file``; ``quillon sniff``
likewise. Every failure ends in one line "quillon: error: ..." on stderr and
an exit status that scripts can branch on; no traceback reaches the user.
"""

import argparse
import json
import sys
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

from quillon import (
    InputFormat,
    SalvageReport,
    SalvageSummary,
    __version__,
    salvage_file,
    sniff,
)
from quillon._atomic import destinations
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
from quillon._option_table import OPTIONS, Option
from quillon._cli_pipeline import (
    QuarantineLimit,
    limits_of,
    over_limit_message,
    run_many,
    run_single,
    silence_stdout,
)
from quillon._sources import STDIO, InputError, LoadedInput, NotTextError, load_input, read_stdin
from quillon._table_files import OUTPUT_FORMATS, table_format
from quillon.adaptive import detect_loaded
from quillon.report import TableStart

# The native module takes the column count as an unsigned machine word.
MAX_COLUMNS = sys.maxsize * 2 + 1

CHARACTER_NAMES = {",": "comma", ";": "semicolon", "\t": "tab", "|": "pipe", " ": "space"}
_CHARACTERS_BY_NAME = {name: char for char, name in CHARACTER_NAMES.items()} | {"\\t": "\t"}


class _Parser(argparse.ArgumentParser):
    # argparse would print the usage text and its own prefix; the command line
    # promises a single "quillon: error:" line for every failure.
    def error(self, message: str) -> NoReturn:
        raise CommandError(message, EXIT_USAGE)


def display_character(char: str) -> str:
    """Names a delimiter or quote character the way a terminal can show it."""
    if char in CHARACTER_NAMES:
        return CHARACTER_NAMES[char]
    if char.isprintable():
        return char
    return f"U+{ord(char):04X}"


def _single_character(text: str) -> str:
    char = _CHARACTERS_BY_NAME.get(text.lower(), text)
    # The engine compares single bytes; a longer UTF-8 sequence would be cut
    # to its first byte without notice.
    if len(char) != 1 or not char.isascii():
        names = ", ".join(CHARACTER_NAMES.values())
        raise argparse.ArgumentTypeError(
            f"expected one ASCII character or one of {names}, got {text!r}"
        )
    return char


def _column_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    if value > MAX_COLUMNS:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_COLUMNS}, got {value}")
    return value


def _job_count(text: str) -> int:
    value = _column_count(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _optional_character(text: str) -> str:
    # "none" says the input has no such character: "" to quillon.salvage.
    if text.lower() == "none":
        return ""
    return _single_character(text)


def _check_targets(args: argparse.Namespace) -> None:
    check_readable(args.input)
    check_writable_target(args.output)
    if args.quarantine is not None:
        check_writable_target(args.quarantine)


def _salvage_options(args: argparse.Namespace) -> dict[str, Any]:
    """quillon.salvage's keyword options, from the flags of the same names."""
    return {option.keyword: getattr(args, option.keyword) for option in OPTIONS}


# How the command line reads each kind of option.
_READING: dict[str, dict[str, Any]] = {
    "character": {"type": _single_character},
    "character_or_none": {"type": _optional_character},
    "count": {"type": _column_count},
    "positive": {"type": _job_count},
    "text": {},
    "either": {"action": argparse.BooleanOptionalAction},
    "off": {"action": "store_false"},
    "on": {"action": "store_true"},
}


def _flag_reading(option: Option) -> dict[str, Any]:
    reading = {**_READING[option.kind], "help": option.help}
    if option.metavar is not None:
        reading["metavar"] = option.metavar
    return reading


def _settle_paths(args: argparse.Namespace) -> None:
    """INPUT OUTPUT for one file; every path an input with --out-dir."""
    args.input = args.output = None
    if args.out_dir is not None:
        return
    batch_only = (
        ("--quarantine-dir", args.quarantine_dir),
        ("--jobs", args.jobs),
        ("--format", args.format),
        ("--cell-rejects-dir", args.cell_rejects_dir),
    )
    for flag, value in batch_only:
        if value is not None:
            raise CommandError(f"{flag} needs --out-dir", EXIT_USAGE)
    if not args.paths:
        raise CommandError("the following arguments are required: INPUT, OUTPUT", EXIT_USAGE)
    if len(args.paths) == 1:
        raise CommandError("the following arguments are required: OUTPUT", EXIT_USAGE)
    if len(args.paths) > 2:
        raise CommandError(
            f"one INPUT and one OUTPUT expected, got {len(args.paths)} paths "
            "(give --out-dir DIR to salvage several files)",
            EXIT_USAGE,
        )
    args.input, args.output = args.paths


def _run_salvage(args: argparse.Namespace) -> int:
    _settle_paths(args)
    if args.basic:
        return _run_basic_salvage(args)
    if args.out_dir is not None:
        return run_many(args, _salvage_options(args))
    return run_single(args, _salvage_options(args), _print_report)


# What only the adaptive salvage does, by flag.
_PIPELINE_ONLY = {
    "out_dir": "--out-dir",
    "report": "--report",
    "cell_rejects": "--cell-rejects",
    "cell_rejects_dir": "--cell-rejects-dir",
}


def _run_basic_salvage(args: argparse.Namespace) -> int:
    for option in OPTIONS:
        if not option.basic and getattr(args, option.keyword) != option.default:
            raise CommandError(f"{option.flag} needs the adaptive salvage: drop --basic", EXIT_USAGE)
    if args.quote_char == "":
        raise CommandError("--quote-char none needs the adaptive salvage: drop --basic", EXIT_USAGE)
    for destination, flag in _PIPELINE_ONLY.items():
        if getattr(args, destination) is not None:
            raise CommandError(f"{flag} needs the adaptive salvage: drop --basic", EXIT_USAGE)
    if STDIO in (args.input, args.output):
        raise CommandError("'-' needs the adaptive salvage: drop --basic", EXIT_USAGE)
    if table_format(args.output) is not None:
        raise CommandError("a Parquet or Arrow output needs the adaptive salvage: drop --basic", EXIT_USAGE)
    _check_targets(args)
    check_distinct([args.input], args.output, args.quarantine, None)
    try:
        loaded = load_input(args.input, force=args.force)
    except (UnicodeEncodeError, ValueError, MemoryError, OSError) as exc:
        raise salvage_failed(exc, args) from None
    if loaded.compression is not None:
        raise CommandError(f"{loaded.compression} input needs the adaptive salvage: drop --basic", EXIT_USAGE)
    try:
        with destinations(args.output, args.quarantine) as (clean, rejects):
            assert clean is not None
            summary = salvage_file(
                args.input,
                clean.path,
                quarantine_path=None if rejects is None else rejects.path,
                delimiter=args.delimiter,
                quote_char='"' if args.quote_char is None else args.quote_char,
                fill_ragged_rows=args.fill_ragged_rows,
                merge_overflow=args.merge_overflow,
                expected_columns=args.expected_columns,
                repair_quotes=args.repair_quotes,
            )
    except OSError as exc:
        # The fixed rules' errors name no file; the step that failed does.
        raise _basic_failed(exc, args) from None
    except (UnicodeEncodeError, ValueError, MemoryError) as exc:
        raise salvage_failed(exc, args) from None

    return _finish(summary, args, _print_summary)


def _basic_failed(exc: OSError, args: argparse.Namespace) -> CommandError:
    # The fixed rules' errors name no file. The input was read whole before
    # either file was written, so the failure is in one of those.
    if exc.filename is not None:
        return salvage_failed(exc, args)
    reason = exc.strerror or str(exc)
    if args.quarantine is None:
        return CommandError(f"cannot write {args.output!r}: {reason}", EXIT_IO_ERROR)
    return CommandError(
        f"cannot write {args.output!r} or {args.quarantine!r}: {reason}", EXIT_IO_ERROR
    )


def _finish(
    outcome: SalvageReport | SalvageSummary,
    args: argparse.Namespace,
    show: Callable[[Any, argparse.Namespace], None],
) -> int:
    if args.json:
        print(json.dumps(outcome.to_dict()))
    elif not args.quiet:
        show(outcome, args)
    reason = over_limit_message(args.input, outcome, limits_of(args))
    if reason is None:
        return 0
    print(f"quillon: over the quarantine limit: {reason}", file=sys.stderr)
    return EXIT_QUARANTINED


def _print_table(table: list[tuple[str, str]]) -> None:
    width = max(len(label) for label, _ in table)
    for label, value in table:
        print(f"{label:<{width}}  {value}")


def _format_lines(found: InputFormat, given: argparse.Namespace) -> list[tuple[str, str]]:
    """The detected format, each value marked when the user did not give it."""

    def shown(value: str, option: str) -> str:
        return value if getattr(given, option, None) is not None else f"{value} (detected)"

    quote = "none" if found.quote_char is None else display_character(found.quote_char)
    escape = "none" if found.escape_char is None else display_character(found.escape_char)
    encoding = found.encoding + (" with byte-order mark" if found.byte_order_mark else "")
    return [
        ("encoding", shown(encoding, "encoding")),
        ("delimiter", shown(display_character(found.delimiter), "delimiter")),
        ("quote", shown(quote, "quote_char")),
        ("escape", shown(escape, "escape_char")),
        ("after delimiters", shown("spaces skipped" if found.skip_initial_space else "spaces kept", "skip_initial_space")),
        ("header", shown("yes" if found.header else "no", "header")),
        ("preamble", shown(f"{found.preamble_rows:,} rows", "skip_rows")),
        ("comments", shown(f"lines beginning {found.comment}" if found.comment else "none", "comment")),
    ]


_REASON_LABELS = {
    "padded": "padded",
    "merged": "merged",
    "dropped_empty": "empty field dropped",
    "rejoined": "fields rejoined",
    "split": "cell split",
    "reencoded": "read as Windows-1252",
    "too_few_columns": "too few columns",
    "extra_columns": "extra columns",
    "preamble": "above the table",
    "repeated_header": "repeated header",
    "comment": "comment",
    "footer": "below the table",
    "other_table": "another table",
    "runaway_quote": "runaway quote taken as text",
}


def _columns_line(columns: int, args: argparse.Namespace, unasked: str) -> str:
    if columns == 0:
        return "not checked"
    if args.expected_columns is None:
        return f"{columns:,} ({unasked})"
    return f"{columns:,}"


def _quarantine_line(quarantined: int, args: argparse.Namespace) -> str:
    if args.quarantine is not None:
        return str(args.quarantine)
    if quarantined > 0:
        return "not written (pass --quarantine PATH to keep the rejected rows)"
    return "not requested"


_TABLE_FORMAT_NAMES = {"parquet": "Parquet", "arrow": "Arrow IPC"}


def _table_lines(tables: tuple[TableStart, ...]) -> list[tuple[str, str]]:
    """The tables below the first, one line each: where it begins, and its first line."""
    if not tables:
        return []
    lines = [("tables", f"{len(tables) + 1:,}")]
    lines += [(f"- line {t.line:,}", t.first_line) for t in tables]
    return lines


def _print_report(report: SalvageReport, args: argparse.Namespace) -> None:
    columns = _columns_line(report.columns, args, "detected")
    quarantine = _quarantine_line(report.quarantined_rows, args)
    table = [("input", args.input), *_format_lines(report.input, args), ("columns", columns)]
    table.append(("rows read", f"{report.total_rows:,}"))
    table.append(("rows kept", f"{report.salvaged_rows:,} ({report.repaired_rows:,} repaired)"))
    table += [(f"- {_REASON_LABELS[k]}", f"{v:,}") for k, v in report.repairs.items() if v]
    table.append(("rows quarantined", f"{report.quarantined_rows:,}"))
    table += [(f"- {_REASON_LABELS[k]}", f"{v:,}") for k, v in report.rejects.items() if v]
    table += _table_lines(report.other_tables)
    file_format = table_format(args.output)
    if file_format is None:
        kind = f"{display_character(report.delimiter)}-delimited"
    else:
        kind = _TABLE_FORMAT_NAMES[file_format]
    table.append(("clean file", f"{args.output} ({kind})"))
    table.append(("quarantine file", quarantine))
    if args.cell_rejects is not None:
        cells = sum(report.cell_rejects.values())
        table.append(("cell-reject file", f"{args.cell_rejects} ({cells:,} cells)"))
    _print_table(table)


def _print_summary(summary: SalvageSummary, args: argparse.Namespace) -> None:
    delimiter = display_character(summary.detected_delimiter)
    if args.delimiter is None:
        delimiter += " (detected)"
    columns = _columns_line(summary.inferred_columns, args, "inferred")
    quarantine = _quarantine_line(summary.quarantined_rows, args)
    kept = f"{summary.salvaged_rows:,} ({summary.repaired_rows:,} repaired)"
    table = [
        ("input", args.input),
        ("rows read", f"{summary.total_rows:,}"),
        ("rows kept", kept),
        ("rows quarantined", f"{summary.quarantined_rows:,}"),
        ("delimiter", delimiter),
        ("columns", columns),
        ("clean file", args.output),
        ("quarantine file", quarantine),
    ]
    _print_table(table)


def _load_for_sniff(args: argparse.Namespace, in_memory: bool, stream: bool = False) -> LoadedInput:
    name = display_name(args.file)
    try:
        if args.file == STDIO:
            return read_stdin(force=args.force, stream=stream)
        return load_input(args.file, in_memory=in_memory, force=args.force, stream=stream)
    except NotTextError as exc:
        raise CommandError(
            f"cannot sniff {name!r}: it looks like {exc.what}, not delimited text "
            "(--force reads it anyway)",
            EXIT_IO_ERROR,
        ) from None
    except InputError as exc:
        raise CommandError(f"cannot sniff {name!r}: {exc}", EXIT_IO_ERROR) from None
    except OSError as exc:
        raise CommandError(f"cannot read {name!r}: {exc.strerror or exc}", EXIT_IO_ERROR) from None
    except MemoryError:
        raise CommandError(f"not enough memory to read {name!r}", EXIT_IO_ERROR) from None
    except UnicodeEncodeError:
        raise CommandError("file names must be valid UTF-8", EXIT_USAGE) from None


def _run_sniff(args: argparse.Namespace) -> int:
    if args.basic:
        return _run_basic_sniff(args)
    # The column types are read from the whole input, which is then held;
    # detection alone reads only what it looks at.
    loaded = _load_for_sniff(args, in_memory=False, stream=not args.types)
    try:
        found = detect_loaded(loaded, {})
    except OSError as exc:
        raise CommandError(f"cannot read {args.file!r}: {exc.strerror or exc}", EXIT_IO_ERROR) from None
    except MemoryError:
        raise CommandError(f"not enough memory to read {args.file!r}", EXIT_IO_ERROR) from None
    types = _column_types(args, loaded) if args.types else None
    if args.raw:
        print(found.delimiter)
    elif args.json:
        print(json.dumps(found.to_dict() if types is None else found.to_dict() | {"types": types}))
    else:
        _print_table([*_format_lines(found, args), ("columns", f"{found.columns:,}"), *_table_lines(found.tables)])
        if types is not None:
            print()
            _print_table([
                (name, column["type"] + (f" ({column['rejects']:,} cells rejected)" if column["rejects"] else ""))
                for name, column in types.items()
            ])
    return 0


def _column_types(args: argparse.Namespace, loaded: LoadedInput) -> dict[str, dict[str, Any]]:
    """What ``quillon.read`` infers for each column: its type and rejected cells."""
    from quillon.table import read

    source = args.file if loaded.data is None else loaded.data
    try:
        table = read(source, force=args.force)
    except OSError as exc:
        raise CommandError(f"cannot read {args.file!r}: {exc.strerror or exc}", EXIT_IO_ERROR) from None
    except MemoryError:
        raise CommandError(f"not enough memory to read {args.file!r}", EXIT_IO_ERROR) from None
    return {name: {"type": column.type, "rejects": column.rejects} for name, column in table.schema.items()}


def _run_basic_sniff(args: argparse.Namespace) -> int:
    # The whole file, as the salvage reads it: the sniffer samples the first
    # 50 records, and one quoted record can be longer than any fixed prefix.
    loaded = _load_for_sniff(args, in_memory=True)
    if loaded.compression is not None:
        raise CommandError(f"{loaded.compression} input needs the adaptive salvage: drop --basic", EXIT_USAGE)
    assert loaded.data is not None
    # Replacing invalid bytes leaves every delimiter, quote and line break in
    # place, and U+FFFD is no more white space than the bytes it stands for,
    # so the sniffer sees the records the salvage sees. A leading byte-order
    # mark survives the decoding and is skipped by both alike.
    text = bytes(loaded.data).decode("utf-8", errors="replace")
    del loaded
    delimiter = sniff(text)
    print(delimiter if args.raw else display_character(delimiter))
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quillon",
        description="Rescues damaged CSV files that strict parsers reject.",
        epilog=(
            "exit status:\n"
            "  0  success\n"
            "  1  a file could not be read or written, or the input is not delimited text;\n"
            "     also after salvaging compressed input that was cut off\n"
            "  2  the command line is wrong\n"
            "  3  more data records were quarantined than --max-quarantined allows\n"
            "     (or any, with --fail-on-quarantine); title lines and repeated headers\n"
            "     set aside do not count\n"
            "  130  interrupted (Ctrl-C); no file was replaced\n"
            "  141  standard output was closed (| head)\n"
            "With several files, the status is the worst of them all: 1, then 3."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"quillon {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    salvage_command = commands.add_parser(
        "salvage",
        help="write a clean copy of a damaged CSV file",
        usage=(
            "quillon salvage [options] INPUT OUTPUT\n"
            "       quillon salvage [options] --out-dir DIR INPUT [INPUT ...]"
        ),
        description=(
            "Writes a clean CSV file from a damaged one. Detects the encoding, the dialect\n"
            "(delimiter, quotes, escapes, spaces after delimiters) and the structure (title\n"
            "lines above the table, header, repeated headers); repairs stray quotes, pads\n"
            "short rows, merges surplus fields into the last column, and sets aside, byte\n"
            "for byte, what it cannot repair. Prints what it detected and did. With\n"
            "--basic, runs the fixed rules of salvage_file instead.\n\n"
            "INPUT may be '-' for standard input, and OUTPUT '-' for standard output (then\n"
            "everything else is printed to stderr). An OUTPUT ending in .parquet, .arrow or\n"
            ".feather gets the table in that format (with pyarrow installed). Compressed\n"
            "input (gzip, bzip2, xz, zstd) is recognised by its first bytes. With --out-dir, every path is an input: a\n"
            "file, a directory (its .csv, .tsv, .tab and .psv files, recursively) or a glob."
        ),
        epilog=(
            "example:\n"
            "  quillon salvage export.csv clean.csv --quarantine rejected.csv --no-merge\n"
            "in pipelines and over many files:\n"
            "  zcat export.csv.gz | quillon salvage - - > clean.csv\n"
            "  quillon salvage export.csv.gz clean.parquet\n"
            "  quillon salvage --out-dir clean --quarantine-dir rejected --report run.json exports/"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    # INPUT OUTPUT, or the inputs with --out-dir: sorted out by _settle_paths,
    # and picked up after options too (main).
    salvage_command.add_argument(
        "paths",
        nargs="*",
        metavar="PATH",
        help="INPUT (the damaged file, - for stdin) and OUTPUT (the clean file, - for stdout; "
        "replaced only once the salvage has succeeded, so it may be INPUT itself); with "
        "--out-dir, the inputs",
    )
    salvage_command.add_argument(
        "--quarantine",
        metavar="PATH",
        help="write the records that were set aside to PATH, with their lines and reason",
    )
    salvage_command.add_argument(
        "--cell-rejects",
        metavar="PATH",
        help="for a Parquet or Arrow OUTPUT: keep every column's inferred type and write the cells "
        "that are no value of it to PATH (CSV: line,column,text,expected); without it such a "
        "column stays text",
    )
    for option in OPTIONS:
        salvage_command.add_argument(option.flag, dest=option.keyword, **_flag_reading(option))
    salvage_command.add_argument("--json", action="store_true", help="print the report as JSON")
    salvage_command.add_argument(
        "--fail-on-quarantine",
        action="store_true",
        help="exit with status 3 when any row was quarantined",
    )
    salvage_command.add_argument(
        "--basic",
        action="store_true",
        help="the fixed rules of salvage_file: no detection beyond delimiter and column count",
    )
    salvage_command.add_argument(
        "--out-dir",
        metavar="DIR",
        help="salvage every input into DIR, each under its own name (created if missing)",
    )
    salvage_command.add_argument(
        "--quarantine-dir",
        metavar="DIR",
        help="with --out-dir: write each input's quarantine file into DIR, under the clean "
        "file's name",
    )
    salvage_command.add_argument(
        "--cell-rejects-dir",
        metavar="DIR",
        help="with --out-dir and --format parquet or arrow: as --cell-rejects, each file's "
        "cells into DIR/NAME.cells.csv (NAME: the input's name without its suffix)",
    )
    salvage_command.add_argument(
        "--format",
        choices=tuple(OUTPUT_FORMATS),
        help="with --out-dir: write the clean files as CSV (default), Parquet or Arrow IPC files, "
        "named with .parquet or .arrow (a single OUTPUT's name chooses its format)",
    )
    salvage_command.add_argument(
        "--jobs",
        metavar="N",
        type=_job_count,
        help="with --out-dir: salvage N files at a time (default: the number of cores)",
    )
    salvage_command.add_argument(
        "--max-quarantined",
        metavar="N|P%",
        type=QuarantineLimit.parse,
        help="exit with status 3 when a file has more than N quarantined records, or more "
        "than P percent of its records",
    )
    salvage_command.add_argument(
        "--report",
        metavar="FILE",
        help="write what was detected and done, file by file, to FILE as JSON",
    )
    salvage_command.add_argument(
        "--quiet",
        action="store_true",
        help="print no progress bar and no summary, only errors",
    )
    salvage_command.set_defaults(handler=_run_salvage)

    sniff_command = commands.add_parser(
        "sniff",
        help="print the format detected in a CSV file",
        description="Prints the encoding, dialect and structure that `quillon salvage`\n"
        "detects in FILE. With --basic, the delimiter that the fixed rules detect\n"
        "(comma, semicolon, tab or pipe).",
        epilog="example:\n  quillon sniff export.csv",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sniff_command.add_argument(
        "file", metavar="FILE", help="the CSV file (plain or compressed), or - for standard input"
    )
    sniff_command.add_argument(
        "--raw", action="store_true", help="print only the delimiter character itself"
    )
    sniff_command.add_argument("--json", action="store_true", help="print the format as JSON")
    sniff_command.add_argument(
        "--basic", action="store_true", help="the delimiter of the fixed rules of salvage_file"
    )
    sniff_command.add_argument(
        "--force", action="store_true", help="read input that looks like a binary format anyway"
    )
    sniff_command.add_argument(
        "--types",
        action="store_true",
        help="also read the whole file and print the type quillon.read gives each column",
    )
    sniff_command.set_defaults(handler=_run_sniff)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    try:
        parser = build_parser()
        args, extras = parser.parse_known_args(argv)
        # argparse takes one run of positionals: paths after an option come
        # back as extras, in their order.
        unknown = [e for e in extras if e.startswith("-") and e != STDIO]
        if unknown or (extras and args.command != "salvage"):
            parser.error(f"unrecognized arguments: {' '.join(unknown or extras)}")
        if extras:
            args.paths += extras
        handler: Callable[[argparse.Namespace], int] = args.handler
        status = handler(args)
        # Written out here, while a failure can still be told, rather than
        # at the interpreter's exit.
        sys.stdout.flush()
        return status
    except CommandError as exc:
        print(f"quillon: error: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): end quietly,
        # as Unix tools do.
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as exc:
        if exc.filename is not None:
            raise
        silence_stdout()
        print(f"quillon: error: cannot write to standard output: {exc.strerror or exc}", file=sys.stderr)
        return EXIT_IO_ERROR
