#!/usr/bin/env python3
"""Seeded corpus of damaged CSV files with their clean truth, for bench/quality.py.

    python3 bench/quality_corpus.py [--out bench/data/quality] [--seed N]

Every file starts as a clean table drawn from the seed: 3 to 12 columns with
a header, 200 to 1,200 data rows, columns of integers, decimals, dates,
times, timestamps, short codes, statuses, flags, e-mail addresses, names,
cities and free text (commas, quotes, apostrophes, now and then a line break,
quoted where the dialect needs it), some cells empty, non-ASCII letters in
names, cities and text. Three layouts: the free text in the last column, in
a middle column, or absent. Each damage kind is applied to three tables, one
per layout (unless the kind needs a particular one), and written as
`<kind>-<n>.csv` with its truth beside it as `<kind>-<n>.truth.csv`.

The truth is the list of records that the file should yield, header first,
as standard CSV (comma, double quote, LF, UTF-8, written by Python's csv
module). Preamble lines and repeated header rows are not part of it. Where a
value cannot be known from the damaged bytes, the truth holds what the bytes
do say:
  - a short row is the row padded with empty cells;
  - a stray quote that does not delimit a field is a character of its cell
    (`"The "Best" Cafe"` is `The "Best" Cafe`, `"42,` is `"42`, a lone `"`
    before the line end is a cell holding `"`);
  - each invalid UTF-8 byte is U+FFFD. These bytes are lone UTF-8
    continuation bytes that Windows-1252 leaves undefined (0x81, 0x8D,
    0x8F, 0x90, 0x9D), so no reading of them as another encoding is right.
The other faults lose nothing: a doubled delimiter, a lost delimiter or an
unquoted delimiter inside a field all have the original row as their truth.

Self-checks run at generation time: every truth file read back by Python's
csv module equals the truth, and every damaged file whose dialect Python's
csv module can be told (the clean, delimiter, space, apostrophe, backslash,
encoding, preamble and concatenation kinds, and the row faults in their
damaged form) reads back as the records the damage was meant to produce.

The same seed always gives the same bytes; a manifest.json lists every file
with its kind, layout, shape, size and SHA-256. Only the standard library is
used.
"""

from __future__ import annotations

import argparse
import csv
import hashlib
import io
import json
import random
import sys
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from pathlib import Path

GENERATOR_VERSION = 6
DEFAULT_SEED = 20241207
HERE = Path(__file__).resolve().parent
DEFAULT_OUT = HERE / "data" / "quality"
LAYOUTS = ("text-last", "text-middle", "no-text")

# ---- value pools -----------------------------------------------------------

FIRST = "James Mary John Patricia Robert Linda Michael Susan David Karen Paul Sarah Mark Nancy Kevin Ruth Anne Peter Grace Tom".split()
LAST = "Smith Johnson Brown Jones Miller Davis Wilson Taylor Clark Lewis Walker Young Allen King Wright Scott Hill Green Baker Adams".split()
FIRST_LATIN = "José Zoë Søren Françoise Jürgen Renée Björk Ægir Mónica Raphaël Ñuño Chloé".split()
LAST_LATIN = "García Müller Ødegaard Gonçalves Ibáñez Lefèvre Straße Öztürk Núñez Šimek Doležal Þórsson".split()
FIRST_OTHER = "Łukasz Đorđe Дмитрий 美咲 Αλέξης İlkay".split()
LAST_OTHER = "Wójcik Dvořák Иванов 山田 Παπαδόπουλος Kovačević".split()
APOSTROPHE_LAST = ["O'Brien", "D'Angelo", "O'Neil"]
CITIES = "London Paris Berlin Madrid Vienna Dublin Oslo Lisbon Boston Chicago Denver Toronto Sydney Austin Leeds Lyon Milan Porto".split()
CITIES_SPACE = ["New York", "San Diego", "Le Havre", "Santa Fe"]
CITIES_LATIN = ["Zürich", "Malmö", "São Paulo", "Reykjavík", "Genève", "Tromsø", "Bogotá", "Köln"]
CITIES_OTHER = ["Kraków", "Москва", "東京", "Łódź", "Αθήνα"]
COUNTRIES = "GB FR DE ES IT AT IE NO PT US CA AU CH SE BR".split()
STATUSES = "active pending closed shipped returned on-hold cancelled new".split()
WORDS = (
    "order arrived late box was damaged please call back before friday customer asked for refund "
    "left at the door signed by neighbour invoice attached missing parts will ship next week "
    "priority bulk sample repeat gift wrap check address again no answer paid in full partial"
).split()
WORDS_LATIN = "café naïve façade déjà Größe Ålesund crème brûlée €15 señor".split()
WORDS_OTHER = "日本語 Ελληνικά Москва Łódź 東京 żółw".split()
QUOTED_WORDS = ["fragile", "urgent", "as is", "Best", "VIP", "do not bend"]
CONTRACTIONS = ["don't", "it's", "won't", "can't", "customer's"]

# Lone continuation bytes that Windows-1252 leaves undefined, held as
# surrogate escapes until the line is encoded.
INVALID_BYTES = [chr(0xDC00 + b) for b in (0x81, 0x8D, 0x8F, 0x90, 0x9D)]


def cp1252_safe(values: list[str]) -> list[str]:
    out = []
    for v in values:
        try:
            v.encode("cp1252")
        except UnicodeEncodeError:
            continue
        out.append(v)
    return out


@dataclass
class Pools:
    first: list[str]
    last: list[str]
    cities: list[str]
    words: list[str]
    non_ascii_share: float

    @staticmethod
    def make(latin_only: bool) -> Pools:
        if latin_only:
                return Pools(
                FIRST + cp1252_safe(FIRST_LATIN),
                LAST + cp1252_safe(LAST_LATIN + APOSTROPHE_LAST),
                CITIES + CITIES_SPACE + cp1252_safe(CITIES_LATIN),
                WORDS + cp1252_safe(WORDS_LATIN),
                0.25,
            )
        return Pools(
            FIRST + FIRST_LATIN + FIRST_OTHER,
            LAST + LAST_LATIN + LAST_OTHER + APOSTROPHE_LAST,
            CITIES + CITIES_SPACE + CITIES_LATIN + CITIES_OTHER,
            WORDS + WORDS_LATIN + WORDS_OTHER,
            0.15,
        )


# ---- clean tables ----------------------------------------------------------

HEADER_NAMES = {
    "id": ["id", "order_id", "customer_id", "ref", "record"],
    "int": ["quantity", "qty", "units", "age", "score", "visits"],
    "decimal": ["amount", "price", "total", "balance", "weight_kg"],
    "date": ["date", "order_date", "shipped_on", "due", "birthday"],
    "time": ["time", "start", "pickup_time", "closes"],
    "timestamp": ["created_at", "updated", "logged"],
    "code": ["sku", "country", "ref_code", "plan"],
    "status": ["status", "state", "stage"],
    "flag": ["active", "paid", "verified"],
    "email": ["email", "contact_email"],
    "name": ["name", "customer", "contact", "owner"],
    "city": ["city", "town", "location"],
    "text": ["note", "comment", "description", "remarks"],
}
MIDDLE_KINDS = ["int", "decimal", "date", "time", "timestamp", "code", "status", "flag", "email", "name", "city"]
STRING_KINDS = {"name", "city", "text", "code", "status", "email"}


@dataclass
class Column:
    name: str
    kind: str
    empty_share: float
    variant: int


@dataclass
class Table:
    layout: str
    columns: list[Column]
    rows: list[list[str]]
    pools: Pools

    @property
    def header(self) -> list[str]:
        return [c.name for c in self.columns]

    @property
    def width(self) -> int:
        return len(self.columns)

    def kind_of(self, j: int) -> str:
        return self.columns[j].kind

    def middle_field(self) -> int:
        """The free-text column if it sits in the middle, else the name column
        that every layout places before the last column."""
        for j, c in enumerate(self.columns[:-1]):
            if c.kind == "text":
                return j
        for j, c in enumerate(self.columns[:-1]):
            if c.kind == "name":
                return j
        raise AssertionError("every layout has a name column before the last")


def _name(rng: random.Random, pools: Pools) -> str:
    if rng.random() < pools.non_ascii_share:
        first = rng.choice(pools.first[len(FIRST) :])
    else:
        first = rng.choice(FIRST)
    if rng.random() < pools.non_ascii_share:
        last = rng.choice(pools.last[len(LAST) :])
    else:
        last = rng.choice(LAST)
    return f"{first} {last}"


def _text(rng: random.Random, pools: Pools) -> str:
    words = []
    for _ in range(rng.randint(2, 12)):
        if rng.random() < pools.non_ascii_share / 2:
            words.append(rng.choice(pools.words[len(WORDS) :]))
        else:
            words.append(rng.choice(WORDS))
    if rng.random() < 0.08:
        words[rng.randrange(len(words))] = f'"{rng.choice(QUOTED_WORDS)}"'
    if rng.random() < 0.06:
        words.insert(rng.randrange(len(words)), rng.choice(CONTRACTIONS))
    out = words[0][:1].upper() + words[0][1:]
    for w in words[1:]:
        r = rng.random()
        if r < 0.15:
            out += ", " + w
        elif r < 0.153:  # a line break kept inside the quoted field
            out += "\n" + w
        else:
            out += " " + w
    if rng.random() < 0.3:
        out += "."
    return out


def _value(rng: random.Random, column: Column, row_id: int, pools: Pools) -> str:
    kind, v = column.kind, column.variant
    if kind == "id":
        return str(row_id)
    if rng.random() < column.empty_share:
        return ""
    if kind == "int":
        return str(rng.randrange(-20, 1000) if v == 0 else rng.randrange(0, 100))
    if kind == "decimal":
        cents = rng.randrange(-50_000, 500_000) if v == 0 else rng.randrange(0, 100_000)
        sign = "-" if cents < 0 else ""
        return f"{sign}{abs(cents) // 100}.{abs(cents) % 100:02d}"
    if kind == "date":
        y, m, d = rng.randrange(1990, 2025), rng.randrange(1, 13), rng.randrange(1, 29)
        return (f"{y}-{m:02d}-{d:02d}", f"{d:02d}/{m:02d}/{y}", f"{y}/{m:02d}/{d:02d}")[v % 3]
    if kind == "time":
        h, mi, s = rng.randrange(24), rng.randrange(60), rng.randrange(60)
        return f"{h:02d}:{mi:02d}" if v == 0 else f"{h:02d}:{mi:02d}:{s:02d}"
    if kind == "timestamp":
        return f"20{rng.randrange(10, 25)}-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d} {rng.randrange(24):02d}:{rng.randrange(60):02d}:{rng.randrange(60):02d}"
    if kind == "code":
        if v == 0:
            return f"SKU-{rng.randrange(10000):04d}"
        if v == 1:
            return rng.choice(COUNTRIES)
        return f"{rng.choice('ABCDEFGH')}{rng.choice('XYZ')}{rng.randrange(100, 999)}"
    if kind == "status":
        return rng.choice(STATUSES)
    if kind == "flag":
        return rng.choice(("true", "false")) if v == 0 else rng.choice("YN")
    if kind == "email":
        return f"{rng.choice(FIRST).lower()}.{rng.choice(LAST).lower()}{rng.randrange(100)}@example.com"
    if kind == "name":
        return _name(rng, pools)
    if kind == "city":
        r = rng.random()
        if r < pools.non_ascii_share:
            return rng.choice(pools.cities[len(CITIES) + len(CITIES_SPACE) :])
        return rng.choice(CITIES_SPACE) if r < pools.non_ascii_share + 0.1 else rng.choice(CITIES)
    if kind == "text":
        return _text(rng, pools)
    raise AssertionError(kind)


def make_table(rng: random.Random, layout: str, latin_only: bool = False) -> Table:
    width = rng.randint(3, 12)
    kinds = [rng.choice(MIDDLE_KINDS) for _ in range(width - 1)]
    name_at = rng.randrange(len(kinds) - 1) if len(kinds) > 1 else 0
    kinds[name_at] = "name"
    if layout == "text-last":
        kinds[-1] = "text"
    elif layout == "text-middle":
        # At width 3 the one middle spot goes to the text, which then takes
        # the name's part in the middle-field damage.
        spots = [i for i in range(len(kinds) - 1) if i != name_at] or [name_at]
        kinds[rng.choice(spots)] = "text"
    kinds = ["id"] + kinds
    used: dict[str, int] = {}
    columns = []
    for kind in kinds:
        name = rng.choice(HEADER_NAMES[kind])
        used[name] = used.get(name, 0) + 1
        if used[name] > 1:
            name = f"{name}_{used[name]}"
        empty = 0.0 if kind == "id" else rng.choice((0.0, 0.02, 0.05, 0.15))
        columns.append(Column(name, kind, empty, rng.randrange(3)))
    pools = Pools.make(latin_only)
    first_id = rng.randrange(1, 90_000)
    rows = [[_value(rng, c, first_id + i, pools) for c in columns] for i in range(rng.randint(200, 1200))]
    table = Table(layout, columns, rows, pools)
    assert layout != "text-last" or table.kind_of(width - 1) == "text"
    assert layout != "text-middle" or any(c.kind == "text" for c in columns[1:-1])
    assert layout != "no-text" or all(c.kind != "text" for c in columns)
    table.middle_field()
    return table


# ---- writing ---------------------------------------------------------------


@dataclass(frozen=True)
class Style:
    """How a file writes its fields: minimal quoting unless a column is
    always quoted (as exporters that quote every string do)."""

    delimiter: str = ","
    quote: str = '"'
    escape: str | None = None
    space_after: bool = False
    quote_empty: bool = False
    always_quoted: frozenset[int] = frozenset()

    @property
    def separator(self) -> str:
        return self.delimiter + (" " if self.space_after else "")

    def needs_quotes(self, value: str) -> bool:
        return (
            (value == "" and self.quote_empty)
            or self.delimiter in value
            or self.quote in value
            or "\n" in value
            or "\r" in value
            or (self.escape is not None and self.escape in value)
        )

    def field(self, value: str, column: int) -> str:
        if not (column in self.always_quoted or self.needs_quotes(value)):
            return value
        q = self.quote
        if self.escape is not None:
            body = value.replace(self.escape, self.escape * 2).replace(q, self.escape + q)
        else:
            body = value.replace(q, q * 2)
        return q + body + q

    def fields(self, values: list[str]) -> list[str]:
        return [self.field(v, j) for j, v in enumerate(values)]

    def line(self, values: list[str]) -> str:
        return self.separator.join(self.fields(values))

    def dialect(self) -> dict[str, object]:
        d: dict[str, object] = {"delimiter": self.delimiter, "quotechar": self.quote}
        if self.escape is not None:
            d.update(escapechar=self.escape, doublequote=False)
        if self.space_after:
            d["skipinitialspace"] = True
        return d


@dataclass
class Line:
    text: str
    eol: str = "\n"
    encoding: str = "utf-8"


@dataclass
class Case:
    """One damaged file: its lines, its truth, and what Python's csv module
    must read from it when told the dialect (None where no such reading
    exists, as for a runaway quote)."""

    lines: list[Line]
    truth: list[list[str]]
    reference: list[list[str]] | None
    dialect: dict[str, object] = field(default_factory=dict)
    decode: str = "utf-8"
    bom: bytes = b""
    # (physical line, record) pairs that csv with quoting off must split so
    line_checks: list[tuple[str, list[str]]] = field(default_factory=list)

    def data(self) -> bytes:
        if self.decode == "utf-16":
            return self.bom + "".join(l.text + l.eol for l in self.lines).encode("utf-16-le")
        return self.bom + b"".join((l.text + l.eol).encode(l.encoding, "surrogateescape") for l in self.lines)


def default_style(rng: random.Random, table: Table, quote_strings: bool | None = None) -> Style:
    if quote_strings is None:
        quote_strings = rng.random() < 0.3
    quoted = frozenset(j for j, c in enumerate(table.columns) if c.kind in STRING_KINDS) if quote_strings else frozenset()
    return Style(always_quoted=quoted)


def plain_case(table: Table, style: Style, eols: list[str] | None = None, encoding: str = "utf-8") -> Case:
    records = [table.header] + table.rows
    eols = eols or ["\n"] * len(records)
    lines = [Line(style.line(r), e, encoding) for r, e in zip(records, eols)]
    return Case(lines, [list(r) for r in records], [list(r) for r in records], style.dialect())


def last_eol_maybe_missing(rng: random.Random, case: Case) -> Case:
    if rng.random() < 0.3:
        case.lines[-1].eol = ""
    return case


def pick_rows(rng: random.Random, table: Table, share: float, minimum: int, fits: Callable[[int], bool]) -> list[int]:
    candidates = [i for i in range(len(table.rows)) if fits(i)]
    k = min(len(candidates), max(minimum, round(share * len(table.rows))))
    return sorted(rng.sample(candidates, k))


def spaced_rows(rng: random.Random, table: Table, count: int, fits: Callable[[int], bool]) -> list[int]:
    """`count` rows in different stretches of the table, so that a fault
    that swallows the rows after it shows on each."""
    n = len(table.rows)
    chosen = []
    for part in range(count):
        lo, hi = part * n // count, (part + 1) * n // count
        candidates = [i for i in range(lo + 5, hi - 5) if fits(i)]
        if candidates:
            chosen.append(rng.choice(candidates))
    assert chosen, "no row fits"
    return chosen


def _no_specials(style: Style, values: list[str]) -> bool:
    return all(not style.needs_quotes(v) and "\n" not in v for v in values) and not style.always_quoted


# ---- damage kinds ----------------------------------------------------------


def k_clean(rng: random.Random, table: Table, index: int) -> Case:
    return last_eol_maybe_missing(rng, plain_case(table, default_style(rng, table)))


def k_other_delimiter(rng: random.Random, table: Table, index: int) -> Case:
    style = replace(default_style(rng, table), delimiter=(";", "\t", "|")[index % 3])
    return plain_case(table, style)


def k_comma_space(rng: random.Random, table: Table, index: int) -> Case:
    return plain_case(table, replace(default_style(rng, table), space_after=True))


def k_preamble(rng: random.Random, table: Table, index: int) -> Case:
    case = plain_case(table, default_style(rng, table))
    blank = "," * (table.width - 1)
    variants = [
        ["SALES REPORT" + blank, blank, ""],
        ["Customer export", "Generated 2024-03-01 09:15" + blank, ""],
        ["Monthly figures,,", "Period: 2024-01-01 to 2024-01-31", blank],
    ]
    preamble = [Line(t) for t in variants[index % 3]]
    case.lines = preamble + case.lines
    assert case.reference is not None
    case.reference = [list(r) for r in csv.reader([p.text for p in preamble])] + case.reference
    return case


def k_apostrophe(rng: random.Random, table: Table, index: int) -> Case:
    return plain_case(table, replace(default_style(rng, table), quote="'"))


def k_space(rng: random.Random, table: Table, index: int) -> Case:
    return plain_case(table, replace(default_style(rng, table), delimiter=" ", quote_empty=True))


def k_backslash(rng: random.Random, table: Table, index: int) -> Case:
    strings = [j for j, c in enumerate(table.columns) if c.kind in ("text", "name", "city")]
    for i in pick_rows(rng, table, 0.05, 5, lambda i: True):
        j = rng.choice(strings)
        table.rows[i][j] = (table.rows[i][j] + " " + rng.choice(['48" screen', '12" pizza', 'C:\\exports\\may', 'size 5\'11"'])).strip()
    return plain_case(table, replace(default_style(rng, table), escape="\\"))


def k_concatenated(rng: random.Random, table: Table, index: int) -> Case:
    case = plain_case(table, default_style(rng, table))
    parts = 2 + index % 3
    cuts = sorted(rng.sample(range(20, len(table.rows) - 20), parts - 1))
    header = case.lines[0]
    lines = [header]
    reference = [table.header]
    start = 0
    for cut in cuts + [len(table.rows)]:
        if start:
            lines.append(Line(header.text))
            reference.append(table.header)
        lines += case.lines[1 + start : 1 + cut]
        reference += table.rows[start:cut]
        start = cut
    case.lines, case.reference = lines, reference
    return case


def k_concatenated_bom(rng: random.Random, table: Table, index: int) -> Case:
    """`cat` of exports that each begin with a UTF-8 byte-order mark: every
    header after the first has the mark glued in front."""
    case = k_concatenated(rng, table, index)
    case.bom = b"\xef\xbb\xbf"
    assert case.reference is not None
    for line, record in zip(case.lines[1:], case.reference[1:]):
        if record == table.header:
            line.text = "\ufeff" + line.text
    case.reference = [["\ufeff" + r[0]] + r[1:] if r == table.header else r for r in case.reference]
    return case


COMMENTS = ["# exported by shop-admin 4.2", "# columns: see the manual, page 12", "# note: figures are provisional"]


def k_comment_lines(rng: random.Random, table: Table, index: int) -> Case:
    """Lines that begin with # above the header, between rows and below."""
    case = plain_case(table, default_style(rng, table))
    above = [Line(t) for t in COMMENTS[: 1 + index]]
    inside = sorted(rng.sample(range(2, len(case.lines)), 2 + index))
    lines = list(case.lines)
    for at in reversed(inside):
        lines.insert(at, Line(rng.choice(COMMENTS)))
    case.lines = above + lines + [Line("# end of export")]
    case.reference = read_csv_text("".join(l.text + l.eol for l in case.lines))
    return case


def k_leading_blank_lines(rng: random.Random, table: Table, index: int) -> Case:
    """Blank lines above a table of one to three rows."""
    del table.rows[1 + index :]
    case = plain_case(table, default_style(rng, table))
    case.lines = [Line("") for _ in range(1 + index)] + case.lines
    assert case.reference is not None
    case.reference = [[] for _ in range(1 + index)] + case.reference
    return case


def k_header_trailing_delimiter(rng: random.Random, table: Table, index: int) -> Case:
    """A header written with a delimiter after its last name, over rows
    without one; the third file has title lines above it."""
    case = plain_case(table, default_style(rng, table))
    case.lines[0].text += ","
    assert case.reference is not None
    case.reference[0] = case.reference[0] + [""]
    if index == 2:
        titles = ["Series Id:           CUSR0000SA0", "", "Seasonally Adjusted", "Base Period:  1982-84=100", "", ""]
        case.lines = [Line(t) for t in titles] + case.lines
        case.reference = [[t] if t else [] for t in titles] + case.reference
    return case


def k_row_names(rng: random.Random, table: Table, index: int) -> Case:
    """R's write.table: space-delimited, strings quoted, row names first and
    the header one name short; row names are numbers, codes or names."""
    names = [
        [str(i + 1) for i in range(len(table.rows))],
        [f"r{row[0]}" for row in table.rows],
        [f"Region_{i + 1}" for i in range(len(table.rows))],
    ][index % 3]
    style = Style(delimiter=" ", always_quoted=frozenset(range(len(table.columns) + 1)))
    lines = [Line(style.line(table.header))] + [Line(style.line([n] + r)) for n, r in zip(names, table.rows)]
    truth = [["row_name"] + table.header] + [[n] + r for n, r in zip(names, table.rows)]
    return Case(lines, truth, [table.header] + [[n] + r for n, r in zip(names, table.rows)], style.dialect())


def k_footer(rng: random.Random, table: Table, index: int) -> Case:
    """Notes below the table: a source line, a totals line, a count."""
    case = plain_case(table, default_style(rng, table))
    notes = [
        ["", "Source: internal export"],
        [f"Total,{len(table.rows)}"],
        ["", f"Total rows: {len(table.rows)}", "Generated by shop-admin"],
    ][index % 3]
    case.lines += [Line(t) for t in notes]
    assert case.reference is not None
    case.reference += read_csv_text("".join(t + "\n" for t in notes))
    return case


def k_cp1252(rng: random.Random, table: Table, index: int) -> Case:
    case = plain_case(table, default_style(rng, table), ["\r\n"] * (len(table.rows) + 1), "cp1252")
    case.decode = "cp1252"
    return case


def k_utf8_with_cp1252_rows(rng: random.Random, table: Table, index: int) -> Case:
    case = plain_case(table, default_style(rng, table))
    for i in pick_rows(rng, table, 0.05, 8, lambda i: any(ord(ch) > 127 for v in table.rows[i] for ch in v)):
        case.lines[1 + i].encoding = "cp1252"
    case.decode = "utf-8, else cp1252, per line"
    return case


def k_utf16(rng: random.Random, table: Table, index: int) -> Case:
    case = plain_case(table, default_style(rng, table), ["\r\n"] * (len(table.rows) + 1))
    case.decode, case.bom = "utf-16", b"\xff\xfe"
    return case


# Names, cities and phrases of the legacy double-byte exports, by the codec
# they are written in (the Windows code page, as those exports are).
CJK_POOLS = {
    "gbk": (
        "王伟 李娜 张敏 刘洋 陈静 杨帆 赵磊 黄丽 周杰 吴强 徐明 孙悦 马超 朱琳 胡军".split(),
        "北京 上海 广州 深圳 成都 杭州 武汉 南京 西安 重庆 天津 苏州".split(),
        "订单已发货 请尽快联系客户 包装破损 申请退款 下周送达 地址有误 已签收 缺少配件 加急 赠品已附".split(),
    ),
    "cp950": (
        "陳大文 林美玲 黃志明 張家豪 李淑芬 王建國 吳宗憲 劉德華 蔡依林 許雅婷 鄭成功 謝佳蓉".split(),
        "臺北 高雄 臺中 臺南 新竹 桃園 基隆 嘉義 花蓮 宜蘭".split(),
        "訂單已出貨 請儘快聯絡客戶 包裝破損 申請退款 下週送達 地址有誤 已簽收 缺少零件 急件 附贈品".split(),
    ),
    "cp932": (
        "山田太郎 佐藤花子 鈴木一郎 高橋健 田中美咲 伊藤翔 渡辺直美 中村優子 小林誠 加藤恵 ヤマダ タロウ".split(),
        "東京 大阪 名古屋 札幌 福岡 横浜 京都 神戸 仙台 広島 表参道".split(),
        "注文は発送済みです お客様に連絡してください 箱が破損していました 返金を希望 来週お届け 住所不明 受領済み 部品不足 至急 ソフト同梱".split(),
    ),
    "cp949": (
        "김민준 이서연 박지훈 최유나 정우진 강하은 조현우 윤지아 장도윤 임수빈 한예준 오세영".split(),
        "서울 부산 대구 인천 광주 대전 울산 수원 창원 제주".split(),
        "주문이 발송되었습니다|고객에게 연락 바랍니다|상자가 파손됨|환불 요청|다음 주 배송|주소 오류|수령 완료|부품 누락|긴급|사은품 포함".split("|"),
    ),
}


def _encodes(value: str, codec: str) -> bool:
    try:
        value.encode(codec)
    except UnicodeEncodeError:
        return False
    return True


def cjk_case(rng: random.Random, table: Table, codec: str) -> Case:
    """The table's names, cities and notes in the script of `codec` (four in
    five of them), written in it."""
    names, cities, phrases = CJK_POOLS[codec]
    pools = {"name": names, "city": cities, "text": phrases}
    for row in table.rows:
        for j, value in enumerate(row):
            pool = pools.get(table.kind_of(j))
            if pool is not None and value and (rng.random() < 0.8 or not _encodes(value, codec)):
                row[j] = rng.choice(pool) if pool is not phrases else " ".join(rng.sample(pool, rng.randint(1, 3)))
            elif not _encodes(value, codec):
                row[j] = value.encode("ascii", "ignore").decode()
    case = plain_case(table, default_style(rng, table), ["\r\n"] * (len(table.rows) + 1), codec)
    case.decode = codec
    return case


def k_big5(rng: random.Random, table: Table, index: int) -> Case:
    return cjk_case(rng, table, "cp950")


def k_gb18030(rng: random.Random, table: Table, index: int) -> Case:
    return cjk_case(rng, table, "gbk")


def k_shift_jis(rng: random.Random, table: Table, index: int) -> Case:
    return cjk_case(rng, table, "cp932")


def k_euc_kr(rng: random.Random, table: Table, index: int) -> Case:
    return cjk_case(rng, table, "cp949")


class Damaged:
    """The table written cleanly, then damaged a data row at a time."""

    def __init__(self, rng: random.Random, table: Table, quote_strings: bool | None = None) -> None:
        self.style = default_style(rng, table, quote_strings)
        self.case = plain_case(table, self.style)

    def row(self, i: int, fields: list[str], truth: list[str], reads: list[str] | None) -> None:
        """Data row i now stands as `fields` (already quoted as they are to
        appear) and should yield `truth`; `reads` is what Python's csv module
        makes of the line, None where the fault carries it past the line
        (then the file as a whole has no reference reading)."""
        self.case.lines[1 + i].text = self.style.separator.join(fields)
        self.case.truth[1 + i] = list(truth)
        if reads is None:
            self.case.reference = None
        elif self.case.reference is not None:
            self.case.reference[1 + i] = list(reads)


def k_short_rows(rng: random.Random, table: Table, index: int) -> Case:
    d = Damaged(rng, table)
    for i in pick_rows(rng, table, 0.03, 5, lambda i: True):
        cut = rng.randint(1, min(2, table.width - 1))
        kept = table.rows[i][: table.width - cut]
        d.row(i, d.style.fields(kept), kept + [""] * cut, kept)
    return d.case


def k_stray_inner_quotes(rng: random.Random, table: Table, index: int) -> Case:
    d = Damaged(rng, table)
    strings = [j for j, c in enumerate(table.columns) if c.kind in ("text", "name", "city")]
    for i in pick_rows(rng, table, 0.03, 5, lambda i: True):
        j = rng.choice(strings)
        head = rng.choice(["The", "Ask for", "Smith,", "Shop", "Call"])
        row = table.rows[i]
        row[j] = f'{head} "{rng.choice(QUOTED_WORDS)}" {rng.choice(WORDS)}'
        fields = d.style.fields(row)
        fields[j] = f'"{row[j]}"'
        d.row(i, fields, row, None)
    return d.case


def k_invalid_utf8(rng: random.Random, table: Table, index: int) -> Case:
    style = default_style(rng, table)
    strings = [j for j, c in enumerate(table.columns) if c.kind in ("text", "name", "city", "code", "status")]
    raw_rows = [list(r) for r in table.rows]
    for i in pick_rows(rng, table, 0.02, 4, lambda i: any(table.rows[i][j] for j in strings)):
        j = rng.choice([j for j in strings if table.rows[i][j]])
        value = table.rows[i][j]
        at = rng.randint(0, len(value))
        bad = "".join(rng.choice(INVALID_BYTES) for _ in range(rng.randint(1, 3)))
        raw_rows[i][j] = value[:at] + bad + value[at:]
        table.rows[i][j] = value[:at] + "\ufffd" * len(bad) + value[at:]
    case = plain_case(table, style)
    for i, raw in enumerate(raw_rows):
        case.lines[1 + i].text = style.line(raw)
    case.decode = "utf-8, invalid bytes replaced"
    return case


def k_crlf(rng: random.Random, table: Table, index: int) -> Case:
    eols = ["\n" if rng.random() < 0.2 else "\r\n" for _ in range(len(table.rows) + 1)]
    return plain_case(table, default_style(rng, table), eols)


def _runaway_quote(rng: random.Random, table: Table, put_quote: Callable[[list[str]], None]) -> Case:
    """Two rows, far apart, whose lines hold no other quote, each given one
    quote that opens a field and is never closed on its line."""
    d = Damaged(rng, table, quote_strings=False)
    for i in spaced_rows(rng, table, 2, lambda i: _no_specials(d.style, table.rows[i])):
        row = table.rows[i]
        put_quote(row)
        d.row(i, row, row, None)
        d.case.line_checks.append((d.case.lines[1 + i].text, list(row)))
    return d.case


def k_stray_quote_field_start(rng: random.Random, table: Table, index: int) -> Case:
    def put_quote(row: list[str]) -> None:
        j = rng.choice([j for j, v in enumerate(row) if v])
        row[j] = '"' + row[j]

    return _runaway_quote(rng, table, put_quote)


def k_lone_quote_line_end(rng: random.Random, table: Table, index: int) -> Case:
    def put_quote(row: list[str]) -> None:
        row[-1] = '"'

    return _runaway_quote(rng, table, put_quote)


def _neighbours_filled(table: Table, i: int) -> list[int]:
    row = table.rows[i]
    return [j for j in range(table.width - 1) if row[j] and row[j + 1]]


def k_doubled_delimiter(rng: random.Random, table: Table, index: int) -> Case:
    d = Damaged(rng, table)
    for i in pick_rows(rng, table, 0.02, 4, lambda i: bool(_neighbours_filled(table, i))):
        j = rng.choice(_neighbours_filled(table, i))
        row = table.rows[i]
        fields = d.style.fields(row)
        d.row(i, fields[: j + 1] + [""] + fields[j + 1 :], row, row[: j + 1] + [""] + row[j + 1 :])
    return d.case


def _unquoted_delimiters(d: Damaged, i: int, j: int, value: str) -> None:
    """Cell j of data row i becomes `value`, written without quotes although
    it holds commas."""
    row = d.case.truth[1 + i][:]
    row[j] = value
    fields = d.style.fields(row)
    fields[j] = value
    d.row(i, fields, row, row[:j] + value.split(",") + row[j + 1 :])


def k_unquoted_middle(rng: random.Random, table: Table, index: int) -> Case:
    d = Damaged(rng, table)
    j = table.middle_field()
    for i in pick_rows(rng, table, 0.02, 4, lambda i: True):
        if table.kind_of(j) == "name":
            first, last = _name(rng, table.pools).split(" ", 1)
            value = f"{last}, {first}"
        else:
            value = f"{rng.choice(WORDS)} {rng.choice(WORDS)}, {rng.choice(WORDS)} {rng.choice(WORDS)}"
        _unquoted_delimiters(d, i, j, value)
    return d.case


def k_unquoted_last(rng: random.Random, table: Table, index: int) -> Case:
    d = Damaged(rng, table)
    for i in pick_rows(rng, table, 0.03, 5, lambda i: True):
        parts = [" ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 3))) for _ in range(rng.randint(2, 4))]
        _unquoted_delimiters(d, i, table.width - 1, ", ".join(parts))
    return d.case


def k_lost_delimiter(rng: random.Random, table: Table, index: int) -> Case:
    d = Damaged(rng, table, quote_strings=False)

    def spots(i: int) -> list[int]:
        row = table.rows[i]
        return [j for j in _neighbours_filled(table, i) if not d.style.needs_quotes(row[j]) and not d.style.needs_quotes(row[j + 1])]

    for i in pick_rows(rng, table, 0.02, 4, lambda i: bool(spots(i))):
        j = rng.choice(spots(i))
        row = table.rows[i]
        glued = row[:j] + [row[j] + row[j + 1]] + row[j + 2 :]
        d.row(i, d.style.fields(glued), row, glued)
    return d.case


DUMP_ESCAPES = {"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"}


def k_escaped_dump(rng: random.Random, table: Table, index: int) -> Case:
    """A dump that never quotes and escapes with a backslash, as PostgreSQL's
    COPY TEXT (tab) and MySQL's INTO OUTFILE (here with a comma) write it;
    empty cells are often nulls, \\N."""
    delimiter = ("\t", "\t", ",")[index % 3]
    rows = [table.header] + table.rows
    # A few more nulls, so that every file has some.
    for i in pick_rows(rng, table, 0.03, 5, lambda i: True):
        table.rows[i][rng.randrange(1, table.width)] = ""

    def cell(value: str) -> str:
        if value == "" and rng.random() < 0.7:
            return "\\N"
        escaped = "".join(DUMP_ESCAPES.get(c, c) for c in value)
        return escaped.replace(delimiter, "\\" + delimiter) if delimiter != "\t" else escaped

    lines = [Line(delimiter.join(cell(v) for v in r)) for r in rows]
    return Case(lines, [list(r) for r in rows], None)


def k_punctuation_delimiter(rng: random.Random, table: Table, index: int) -> Case:
    style = replace(default_style(rng, table), delimiter=("+", "~", "^")[index % 3])
    return plain_case(table, style)


def k_padded_values(rng: random.Random, table: Table, index: int) -> Case:
    """Values padded with a space on both sides (`1 | Homer | Springfield`),
    as aligned and console exports write them; no quoting. Each cell is what
    the file holds between delimiters, its spaces included."""
    delimiter = ("|", ",", "|")[index % 3]
    rows = [[v.replace('"', "").replace(delimiter, " ").replace("\n", " ").replace("\r", " ") for v in r] for r in [table.header] + table.rows]
    lines = [Line(f" {delimiter} ".join(r)) for r in rows]
    cells = [[(" " if j else "") + v + (" " if j + 1 < len(r) else "") for j, v in enumerate(r)] for r in rows]
    return Case(lines, cells, cells, {"delimiter": delimiter, "quoting": csv.QUOTE_NONE})


def k_stray_quote_line_start(rng: random.Random, table: Table, index: int) -> Case:
    """A stray quote before a line's first field, on lines that quote a later
    field: read as quoted, it would join the fields up to that one."""
    d = Damaged(rng, table, quote_strings=False)

    def fits(i: int) -> bool:
        row = table.rows[i]
        return bool(row[0]) and not d.style.needs_quotes(row[0]) and any("," in v and "\n" not in v for v in row[1:]) and all("\n" not in v and '"' not in v for v in row)

    for i in pick_rows(rng, table, 0.02, 4, fits):
        row = list(table.rows[i])
        fields = d.style.fields(row)
        fields[0] = '"' + fields[0]
        row[0] = '"' + row[0]
        d.row(i, fields, row, None)
    return d.case


def k_quoted_last_cut_off(rng: random.Random, table: Table, index: int) -> Case:
    """A quoted last field holding the delimiter, cut off before its closing
    quote at the line end; the next line is a whole row."""
    d = Damaged(rng, table, quote_strings=False)

    def plain(i: int) -> bool:
        return 0 <= i < len(table.rows) and all("\n" not in v and "\r" not in v and '"' not in v for v in table.rows[i])

    def fits(i: int) -> bool:
        return "," in table.rows[i][-1] and plain(i) and plain(i + 1)

    for i in spaced_rows(rng, table, 3, fits):
        row = table.rows[i]
        fields = d.style.fields(row)
        fields[-1] = fields[-1][:-1]
        d.row(i, fields, row, None)
    return d.case


TABLE_TITLES = ["Returns by region", "Sheet2", "Summary of the second quarter"]


def _other_table(rng: random.Random, width: int, layout: str) -> Table:
    """A table of another width than `width`, for below the first."""
    other = make_table(rng, layout)
    del other.rows[20 + rng.randrange(40) :]
    if other.width == width:
        other.columns = other.columns[:-1]
        other.rows = [r[:-1] for r in other.rows]
    return other


def k_other_tables(rng: random.Random, table: Table, index: int) -> Case:
    """Tables of other widths below the first, each after a blank line and
    most under a title line: a workbook exported sheet after sheet. Only the
    first table is the file's."""
    case = plain_case(table, default_style(rng, table))
    below: list[Line] = []
    width = table.width
    for n in range(1 + index // 2):
        other = _other_table(rng, width, LAYOUTS[n % len(LAYOUTS)])
        width = other.width
        style = default_style(rng, other)
        title = [] if index == 1 else [Line(TABLE_TITLES[(index + n) % len(TABLE_TITLES)])]
        below += [Line(""), *title, *(Line(style.line(r)) for r in [other.header, *other.rows])]
    case.lines += below
    case.reference = read_csv_text("".join(l.text + l.eol for l in case.lines))
    return case


def k_glued_header(rng: random.Random, table: Table, index: int) -> Case:
    """`cat` of exports whose last line lacks its line break: each repeated
    header is glued onto the row above it (after a byte-order mark in the
    third file)."""
    case = k_concatenated_bom(rng, table, index) if index == 2 else k_concatenated(rng, table, index)
    lines = case.lines
    glued = [lines[0]]
    for line in lines[1:]:
        if line.text.lstrip("\ufeff") == lines[0].text.lstrip("\ufeff") and glued[-1].eol:
            glued[-1] = Line(glued[-1].text + line.text, line.eol)
        else:
            glued.append(line)
    case.lines = glued
    case.truth = [table.header] + table.rows
    mark = "\ufeff" if case.bom else ""
    case.reference = read_csv_text(mark + "".join(l.text + l.eol for l in glued))
    return case


@dataclass(frozen=True)
class Kind:
    name: str
    title: str
    make: Callable[[random.Random, Table, int], Case]
    layouts: tuple[str, ...] = LAYOUTS
    latin_only: bool = False


KINDS = [
    Kind("clean", "no damage", k_clean),
    Kind("other-delimiter", "semicolon, tab or pipe delimiter", k_other_delimiter),
    Kind("comma-space", 'comma and a space between fields: a, "b, c"', k_comma_space),
    Kind("preamble", "title and separator lines above the header", k_preamble),
    Kind("apostrophe-quotes", "fields quoted with apostrophes", k_apostrophe),
    Kind("space-delimited", "space delimiter", k_space),
    Kind("backslash-escapes", 'quotes escaped as \\" in quoted fields', k_backslash),
    Kind("concatenated", "exports joined end to end, header repeated", k_concatenated),
    Kind("cp1252", "whole file in Windows-1252, CR LF", k_cp1252, latin_only=True),
    Kind("utf8-cp1252-rows", "UTF-8 with some rows in Windows-1252", k_utf8_with_cp1252_rows, latin_only=True),
    Kind("utf16", "UTF-16 LE with byte-order mark, CR LF", k_utf16),
    Kind("big5", "whole file in Big5 (code page 950), CR LF", k_big5, latin_only=True),
    Kind("gb18030", "whole file in GBK, read as GB18030, CR LF", k_gb18030, latin_only=True),
    Kind("shift-jis", "whole file in Shift-JIS (code page 932), CR LF", k_shift_jis, latin_only=True),
    Kind("euc-kr", "whole file in EUC-KR (code page 949), CR LF", k_euc_kr, latin_only=True),
    Kind("short-rows", "rows missing their last fields", k_short_rows),
    Kind("stray-inner-quotes", 'undoubled quotes inside quoted fields: "The "Best" Cafe"', k_stray_inner_quotes),
    Kind("invalid-utf8", "a few bytes of invalid UTF-8", k_invalid_utf8),
    Kind("crlf", "CR LF line ends, some LF", k_crlf),
    Kind("stray-quote-field-start", 'one stray quote opening a field: "42,Widget,...', k_stray_quote_field_start),
    Kind("lone-quote-line-end", 'a lone quote before a line end: ...,shipped,"', k_lone_quote_line_end),
    Kind("doubled-delimiter", "a doubled delimiter: a,,b", k_doubled_delimiter),
    Kind("unquoted-delimiter-middle", "an unquoted delimiter in a middle field: Smith, John", k_unquoted_middle),
    Kind("unquoted-delimiter-last", "unquoted delimiters in a last free-text field", k_unquoted_last, ("text-last",) * 3),
    Kind("lost-delimiter", "a lost delimiter: two cells glued", k_lost_delimiter),
    Kind("escaped-dump", "backslash escapes and \\N nulls, never quoted (COPY TEXT, INTO OUTFILE)", k_escaped_dump),
    Kind("punctuation-delimiter", "plus, tilde or caret delimiter", k_punctuation_delimiter),
    Kind("padded-values", "values padded on both sides: 1 | Homer | Springfield", k_padded_values),
    Kind("stray-quote-line-start", 'a stray quote before a line\'s first field: "KS,County15,"PISTOL, CAL"', k_stray_quote_line_start),
    Kind("quoted-last-cut-off", "a quoted last field cut off before its closing quote", k_quoted_last_cut_off, ("text-last",) * 3),
    Kind("concatenated-bom", "exports each with a byte-order mark, joined end to end", k_concatenated_bom),
    Kind("comment-lines", "# comment lines above, inside and below the table", k_comment_lines),
    Kind("leading-blank-lines", "blank lines above a table of one to three rows", k_leading_blank_lines),
    Kind("header-trailing-delimiter", "a delimiter after the header's last name", k_header_trailing_delimiter),
    Kind("row-names", "R write.table: row names first, the header one name short", k_row_names),
    Kind("footer", "notes below the table: a source, a totals line", k_footer),
    Kind("other-tables", "tables of other widths below the first, after a blank or title line", k_other_tables),
    Kind("glued-header", "concatenated exports, each repeated header glued onto the row above", k_glued_header),
]


# ---- checks and output -----------------------------------------------------


def decode(case: Case, data: bytes) -> str:
    if case.decode == "utf-16":
        assert data.startswith(b"\xff\xfe")
        return data.decode("utf-16")
    if case.decode == "cp1252":
        return data.decode("cp1252")
    if case.decode == "utf-8, else cp1252, per line":
        parts = []
        for part in data.split(b"\n"):
            try:
                parts.append(part.decode("utf-8"))
            except UnicodeDecodeError:
                parts.append(part.decode("cp1252"))
        return "\n".join(parts)
    if case.decode == "utf-8, invalid bytes replaced":
        return data.decode("utf-8", "replace")
    return data.decode(case.decode)


def read_csv_text(text: str, **dialect: object) -> list[list[str]]:
    return list(csv.reader(io.StringIO(text, newline=""), **dialect))  # type: ignore[arg-type]


def self_check(name: str, case: Case, data: bytes) -> None:
    width = len(case.truth[0])
    assert all(len(r) == width for r in case.truth), f"{name}: truth rows of unequal width"
    if case.reference is not None:
        got = read_csv_text(decode(case, data), **case.dialect)
        if got != case.reference:
            bad = next(i for i, (a, b) in enumerate(zip(got, case.reference)) if a != b) if len(got) == len(case.reference) else -1
            raise AssertionError(f"{name}: csv reads {len(got)} records, expected {len(case.reference)}; first difference at {bad}")
    for text, row in case.line_checks:
        got = read_csv_text(text, quoting=csv.QUOTE_NONE)
        assert got == [row], f"{name}: damaged line {text!r} splits as {got}"


# ---- the truth of a file's dialect and structure -----------------------------

# What the bytes of a kind's files say that the writer cannot read off its
# Case: a dump that never quotes and escapes with a backslash.
PROPERTY_OVERRIDES: dict[str, dict[str, object]] = {
    "escaped-dump": {"quote": None, "escape": "\\"},
}
DELIMITER_CANDIDATES = ",;\t| +~^"


def is_blank_line(text: str, delimiter: str) -> bool:
    """A line of nothing but spaces and delimiters: a blank line to readers,
    no content of a preamble."""
    return not text.replace(delimiter, "").strip(" \t\r\n\ufeff")


def _header_matches(record: list[str], header: list[str]) -> bool:
    """A line that writes the header: as is, after a byte-order mark, with a
    trailing delimiter, or one name short under row names."""
    if record and record[0].startswith("\ufeff"):
        record = [record[0][1:]] + record[1:]
    while len(record) > len(header) and record[-1] == "":
        record = record[:-1]
    return record == header or (header[:1] == ["row_name"] and record == header[1:])


def case_properties(kind: str, case: Case) -> dict[str, object]:
    """The dialect and structure the file was written with, for scoring what
    each tool detects: delimiter, quote, escape, header, preamble (lines of
    content above the header: blank and comment lines left out), comment
    prefix and tables (the header lines: each export of a concatenated file
    begins one, on a line of its own or glued onto the line above). `free` names the properties the bytes cannot show (a quote
    character in a file that quotes no field), where any answer is right."""
    texts = [line.text for line in case.lines]
    header = case.truth[0]
    props: dict[str, object] = {
        "delimiter": case.dialect.get("delimiter"),
        "quote": None if case.dialect.get("quoting") == csv.QUOTE_NONE else case.dialect.get("quotechar", '"'),
        "escape": case.dialect.get("escapechar"),
    }
    props.update(PROPERTY_OVERRIDES.get(kind, {}))
    if props["delimiter"] is None:
        # A kind written without a csv dialect: the candidate that splits
        # the first line of content into the header's names.
        first = next(t for t in texts if t.strip())
        props["delimiter"] = next(d for d in DELIMITER_CANDIDATES if len(first.split(d)) == len(header))
    delimiter = str(props["delimiter"])
    comment = "#" if any(t.startswith("#") for t in texts) and not any(r and r[0].startswith("#") for r in case.truth) else None
    reader = {"delimiter": delimiter, "quoting": csv.QUOTE_NONE} if props["quote"] is None else {**case.dialect, "delimiter": delimiter}
    header_lines = [i for i, t in enumerate(texts) if _header_matches(read_csv_text(t, **reader)[0] if t else [], header)]
    assert header_lines, f"{kind}: no line writes the header"
    # A header copy glued onto the line above it (`cat` of an export without
    # its last line break) begins an export too.
    header_text = texts[header_lines[0]].lstrip("\ufeff")
    glued = sum(1 for i, t in enumerate(texts) if i not in header_lines and t.endswith(header_text))
    above = texts[: header_lines[0]]
    props.update(
        header=True,
        preamble=sum(1 for t in above if not is_blank_line(t, delimiter) and not (comment and t.startswith(comment))),
        comment=comment,
        tables=len(header_lines) + glued,
    )
    body = "".join(texts)
    props["free"] = [
        name
        for name, free in (
            ("quote", str(props["quote"] or '"') not in body),
            ("escape", props["escape"] is None and "\\" not in body),
        )
        if free
    ]
    return props


def write_properties(path: Path, props: dict[str, object]) -> None:
    path.write_text(json.dumps(props, ensure_ascii=False, indent=1) + "\n", encoding="utf-8")


def write_truth(path: Path, rows: list[list[str]]) -> None:
    buffer = io.StringIO(newline="")
    csv.writer(buffer, lineterminator="\n").writerows(rows)
    path.write_bytes(buffer.getvalue().encode("utf-8"))
    assert read_truth(path) == rows, f"{path.name}: truth does not read back"


def read_truth(path: Path) -> list[list[str]]:
    with open(path, newline="", encoding="utf-8") as f:
        return [list(r) for r in csv.reader(f)]


def generate(out: Path, seed: int = DEFAULT_SEED) -> dict:
    out.mkdir(parents=True, exist_ok=True)
    entries = []
    for kind in KINDS:
        for n, layout in enumerate(kind.layouts, start=1):
            name = f"{kind.name}-{n}"
            rng = random.Random(f"{seed}/{name}")
            table = make_table(rng, layout, kind.latin_only)
            case = kind.make(rng, table, n - 1)
            data = case.data()
            self_check(name, case, data)
            (out / f"{name}.csv").write_bytes(data)
            write_truth(out / f"{name}.truth.csv", case.truth)
            write_properties(out / f"{name}.truth.json", case_properties(kind.name, case))
            entries.append(
                {
                    "file": f"{name}.csv",
                    "truth": f"{name}.truth.csv",
                    "properties": f"{name}.truth.json",
                    "kind": kind.name,
                    "layout": layout,
                    "columns": table.width,
                    "rows": len(case.truth) - 1,
                    "bytes": len(data),
                    "sha256": hashlib.sha256(data).hexdigest(),
                }
            )
    manifest = {
        "version": GENERATOR_VERSION,
        "seed": seed,
        "kinds": {k.name: k.title for k in KINDS},
        "files": entries,
    }
    (out / "manifest.json").write_text(json.dumps(manifest, indent=1) + "\n")
    return manifest


def is_current(out: Path, seed: int) -> bool:
    try:
        manifest = json.loads((out / "manifest.json").read_text())
    except (OSError, ValueError):
        return False
    if manifest.get("version") != GENERATOR_VERSION or manifest.get("seed") != seed:
        return False
    return all((out / e[k]).is_file() for e in manifest["files"] for k in ("file", "truth", "properties"))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="output directory (default: bench/data/quality)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    args = parser.parse_args(argv)
    manifest = generate(args.out, args.seed)
    files = manifest["files"]
    print(
        f"{args.out}: {len(files)} files, {len(KINDS)} kinds, {sum(e['rows'] for e in files):,} data rows, "
        f"{sum(e['bytes'] for e in files) / 1e6:.1f} MB"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
