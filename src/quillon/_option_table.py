"""Every option of the adaptive salvage, declared once.

``quillon.salvage``, ``read``, ``detect`` and ``salvage_many`` spell their
signatures out, for readers, editors and type checkers; the tests check each
against this table. The command line builds its flags from it, so a new
option is a row here, a keyword in the functions, and nothing more.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal

# How the command line reads an option's value:
#   character  one character, or a name such as comma or tab
#   character_or_none  the same, or none (the input has no such character)
#   count      a whole number from 0
#   positive   a whole number from 1
#   text       any text
#   either     --flag / --no-flag; absent leaves it to detection
#   off        the flag turns a default of True off
#   on         the flag turns a default of False on
Kind = Literal["character", "character_or_none", "count", "positive", "text", "either", "off", "on"]


@dataclass(frozen=True)
class Option:
    keyword: str
    default: Any
    flag: str
    kind: Kind
    help: str
    metavar: str | None = None
    # Which functions take it besides salvage and salvage_many.
    in_read: bool = True
    in_detect: bool = False
    # Whether the fixed rules of salvage_file (--basic) have it too.
    basic: bool = False


OPTIONS: tuple[Option, ...] = (
    Option("delimiter", None, "--delimiter", "character",
           "field delimiter: one character, or comma, semicolon, tab, pipe, space (default: detected)",
           "D", in_detect=True, basic=True),
    Option("quote_char", None, "--quote-char", "character_or_none",
           'quote character, or none (default: detected; " with --basic)', "Q", in_detect=True, basic=True),
    Option("escape_char", None, "--escape-char", "character_or_none",
           "escape character inside quoted fields, or none (default: detected)", "E", in_detect=True),
    Option("skip_initial_space", None, "--skip-initial-space", "either",
           "drop spaces after each delimiter (default: detected)", in_detect=True),
    Option("encoding", None, "--encoding", "text",
           "utf-8, utf-16, utf-16-le, utf-16-be, windows-1252, latin-1, big5, gb18030, shift_jis "
           "or euc_kr (default: detected)", "NAME",
           in_detect=True),
    Option("header", None, "--header", "either",
           "whether the table's first row is a header (default: detected)", in_detect=True),
    Option("skip_rows", None, "--skip-rows", "count",
           "records above the table to set aside (default: detected)", "N", in_detect=True),
    Option("comment", None, "--comment", "text",
           "set aside lines that begin with this text as comments; '' for none "
           "(default: detected among #, //, %% and ;)", "PREFIX", in_detect=True),
    Option("expected_columns", None, "--columns", "count",
           "fields per row; 0 turns the check off (default: detected)", "N", basic=True),
    Option("fill_ragged_rows", True, "--no-fill", "off",
           "quarantine rows with too few fields instead of padding them", basic=True),
    Option("merge_overflow", True, "--no-merge", "off",
           "quarantine rows with too many fields instead of merging the surplus", basic=True),
    Option("repair_misaligned_rows", True, "--no-repair-rows", "off",
           "pad or merge every row of the wrong field count, without first trying to drop an "
           "empty field, rejoin two fields or split a cell where the columns' contents point to one"),
    Option("repair_quotes", True, "--no-repair-quotes", "off",
           "end a quoted field at its first undoubled quote", basic=True),
    Option("drop_repeated_headers", True, "--keep-repeated-headers", "off",
           "keep rows that repeat the header as data"),
    Option("drop_footer", True, "--keep-footer", "off",
           "keep notes below the table (a totals line, a source) as rows"),
    Option("guard_runaway_quotes", True, "--no-quote-guard", "off",
           "let a quote that opens a field run across line breaks even where taking it as "
           "text would give the line the table's column count"),
    Option("split_tables", True, "--keep-other-tables", "off",
           "keep the rows of tables below the first (after a blank or title line, of another "
           "width) as rows of the first instead of setting them aside as other_table"),
    Option("tables_dir", None, "--tables-dir", "text",
           "write each table below the first, byte for byte, to DIR/NAME.table2.csv, "
           "NAME.table3.csv, ... (NAME: the input's name without its extension)", "DIR"),
    Option("output_delimiter", None, "--output-delimiter", "character",
           "delimiter of the clean file (default: the input's if it is a comma, semicolon, "
           "tab or pipe, else comma)", "D", in_read=False),
    Option("threads", None, "--threads", "positive",
           "read each file on N threads (default: every core for one file, one per file "
           "when several run at a time)", "N"),
    Option("force", False, "--force", "on",
           "salvage input that looks like a binary format (a workbook, an image, a program) anyway",
           in_detect=True, basic=True),
)


# The options only ``read`` takes, after the shared ones: the types of the
# table's columns, which a clean file (and so salvage and the command line's
# salvage) does not have. No flag: the command line has no read.
READ_ONLY_OPTIONS: tuple[Option, ...] = (
    Option("types", "infer", "", "text", "'infer' the columns' types, or False for strings"),
    Option("dtypes", None, "", "text", "some columns' types, by name or position"),
)


def options_of(function: Literal["salvage", "read", "detect"]) -> tuple[Option, ...]:
    """The options a function takes, in the table's order."""
    if function == "read":
        return tuple(o for o in OPTIONS if o.in_read) + READ_ONLY_OPTIONS
    if function == "detect":
        return tuple(o for o in OPTIONS if o.in_detect)
    return OPTIONS
