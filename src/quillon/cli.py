"""The ``quillon`` command line: salvage a damaged file, or detect its delimiter.

Every failure ends in one line "quillon: error: ..." on stderr and an exit
status that scripts can branch on; no traceback reaches the user.
"""

import argparse
import errno
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import NoReturn

from quillon import SalvageSummary, __version__, salvage_file, sniff

EXIT_IO_ERROR = 1
EXIT_USAGE = 2
EXIT_QUARANTINED = 3
EXIT_INTERRUPTED = 130

# The native module takes the column count as an unsigned machine word.
MAX_COLUMNS = sys.maxsize * 2 + 1

CHARACTER_NAMES = {",": "comma", ";": "semicolon", "\t": "tab", "|": "pipe", " ": "space"}
_CHARACTERS_BY_NAME = {name: char for char, name in CHARACTER_NAMES.items()} | {"\\t": "\t"}


class CommandError(Exception):
    """Ends the command with its message on stderr and its exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


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


def _check_readable(path: str) -> None:
    # The native error text names no file; checking first lets the message do.
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise CommandError(f"cannot read {path!r}: {exc.strerror or exc}", EXIT_IO_ERROR) from None


def _check_writable_target(path: str) -> None:
    # The salvage writes the clean file completely before it creates the
    # quarantine file, so a mistyped quarantine directory would otherwise
    # fail only after the output was replaced.
    if os.path.isdir(path):
        raise CommandError(f"cannot write {path!r}: {os.strerror(errno.EISDIR)}", EXIT_IO_ERROR)
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise CommandError(
            f"cannot write {path!r}: directory {folder!r} does not exist", EXIT_IO_ERROR
        )


def _run_salvage(args: argparse.Namespace) -> int:
    _check_readable(args.input)
    _check_writable_target(args.output)
    if args.quarantine is not None:
        _check_writable_target(args.quarantine)
    try:
        summary = salvage_file(
            args.input,
            args.output,
            quarantine_path=args.quarantine,
            delimiter=args.delimiter,
            quote_char=args.quote_char,
            fill_ragged_rows=args.fill_ragged_rows,
            merge_overflow=args.merge_overflow,
            expected_columns=args.columns,
            repair_quotes=args.repair_quotes,
        )
    except UnicodeEncodeError:
        raise CommandError("file names must be valid UTF-8", EXIT_USAGE) from None
    except ValueError as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    except MemoryError:
        raise CommandError(f"not enough memory to salvage {args.input!r}", EXIT_IO_ERROR) from None
    except OSError as exc:
        raise CommandError(
            f"salvaging {args.input!r} into {args.output!r} failed: {exc}", EXIT_IO_ERROR
        ) from None

    if args.json:
        print(json.dumps(summary.to_dict()))
    else:
        _print_summary(summary, args)
    if args.fail_on_quarantine and summary.quarantined_rows > 0:
        return EXIT_QUARANTINED
    return 0


def _print_summary(summary: SalvageSummary, args: argparse.Namespace) -> None:
    delimiter = display_character(summary.detected_delimiter)
    if args.delimiter is None:
        delimiter += " (detected)"
    if summary.inferred_columns == 0:
        columns = "not checked"
    elif args.columns is None:
        columns = f"{summary.inferred_columns:,} (inferred)"
    else:
        columns = f"{summary.inferred_columns:,}"
    if args.quarantine is not None:
        quarantine = args.quarantine
    elif summary.quarantined_rows > 0:
        quarantine = "not written (pass --quarantine PATH to keep the rejected rows)"
    else:
        quarantine = "not requested"
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
    width = max(len(label) for label, _ in table)
    for label, value in table:
        print(f"{label:<{width}}  {value}")


def _run_sniff(args: argparse.Namespace) -> int:
    # The whole file, as the salvage reads it: the sniffer samples the first
    # 50 records, and one quoted record can be longer than any fixed prefix.
    try:
        with open(args.file, "rb") as stream:
            content = stream.read()
    except OSError as exc:
        raise CommandError(f"cannot read {args.file!r}: {exc.strerror or exc}", EXIT_IO_ERROR) from None
    except MemoryError:
        raise CommandError(f"not enough memory to read {args.file!r}", EXIT_IO_ERROR) from None
    # Replacing invalid bytes leaves every delimiter, quote and line break in
    # place, and U+FFFD is no more white space than the bytes it stands for,
    # so the sniffer sees the records the salvage sees. A leading byte-order
    # mark survives the decoding and is skipped by both alike.
    text = content.decode("utf-8", errors="replace")
    del content
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
            "  1  a file could not be read or written\n"
            "  2  the command line is wrong\n"
            "  3  rows were quarantined and --fail-on-quarantine was given"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"quillon {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    salvage = commands.add_parser(
        "salvage",
        help="write a clean copy of a damaged CSV file",
        description=(
            "Writes a clean CSV file from a damaged one: repairs stray quotes, pads short\n"
            "rows, merges surplus fields into the last column, and sets aside the rows it\n"
            "cannot repair. Prints a summary of what it did."
        ),
        epilog=(
            "example:\n"
            "  quillon salvage export.csv clean.csv --quarantine rejected.csv --no-merge"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    salvage.add_argument("input", metavar="INPUT", help="the damaged CSV file")
    salvage.add_argument(
        "output", metavar="OUTPUT", help="where the clean file is written (replaced if present)"
    )
    salvage.add_argument(
        "--quarantine",
        metavar="PATH",
        help="write the rows that cannot be repaired to PATH, with line number and reason",
    )
    salvage.add_argument(
        "--delimiter",
        metavar="D",
        type=_single_character,
        help="field delimiter: one character, or comma, semicolon, tab, pipe, space "
        "(default: detected)",
    )
    salvage.add_argument(
        "--quote-char",
        metavar="Q",
        type=_single_character,
        default='"',
        help='quote character (default: ")',
    )
    salvage.add_argument(
        "--columns",
        metavar="N",
        type=_column_count,
        help="fields per row; 0 turns the check off (default: the most common count)",
    )
    salvage.add_argument(
        "--no-fill",
        dest="fill_ragged_rows",
        action="store_false",
        help="quarantine rows with too few fields instead of padding them",
    )
    salvage.add_argument(
        "--no-merge",
        dest="merge_overflow",
        action="store_false",
        help="quarantine rows with too many fields instead of merging the surplus",
    )
    salvage.add_argument(
        "--no-repair-quotes",
        dest="repair_quotes",
        action="store_false",
        help="end a quoted field at its first undoubled quote",
    )
    salvage.add_argument("--json", action="store_true", help="print the summary as JSON")
    salvage.add_argument(
        "--fail-on-quarantine",
        action="store_true",
        help="exit with status 3 when any row was quarantined",
    )
    salvage.set_defaults(handler=_run_salvage)

    sniff_command = commands.add_parser(
        "sniff",
        help="print the delimiter detected in a CSV file",
        description="Detects the delimiter of FILE as a salvage would: comma, semicolon,\n"
        "tab or pipe.",
        epilog="example:\n  quillon sniff export.csv",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sniff_command.add_argument("file", metavar="FILE", help="the CSV file")
    sniff_command.add_argument(
        "--raw", action="store_true", help="print the character itself instead of its name"
    )
    sniff_command.set_defaults(handler=_run_sniff)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        handler: Callable[[argparse.Namespace], int] = args.handler
        return handler(args)
    except CommandError as exc:
        print(f"quillon: error: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
