#!/usr/bin/env python3
"""Generates the benchmark workloads into bench/data/ (seeded, deterministic).

Files, at --scale 1:

    damaged-100mb.csv       10 columns and a header; 15 % quoted fields (some
                            holding the delimiter, doubled quotes or line
                            breaks), 1 % stray quotes, 2 % ragged rows (short
                            and long), UTF-8 names, a little invalid UTF-8,
                            some CRLF line ends
    clean-100mb.csv         the same shape with no damage: every row has 10
                            fields, quoting is well formed, UTF-8 is valid,
                            line ends are LF
    long-fields.csv         about 100 MB of 4-column rows whose fields are
                            1 to 64 KiB long
    stray-quotes-line.csv   one 10 MB line: a quoted field holding millions of
                            undoubled quotes, each followed by text, closed by
                            the last quote of the line
    after-quote-line.csv    one 10 MB line of quoted fields with text after
                            their closing quote ("a"b,"c"d,...), no quote of
                            which is followed by a terminator
    spaces-line.csv         one 10 MB line of spaces: a single field that the
                            sampling passes must find blank or not
    open-doubled-quote.csv  10 MB of lines "a","x"": each last field ends in
                            a doubled quote and never closes, so the file is
                            one record and the runaway-quote guard judges an
                            opening quote at every line break
    damaged-1gb.csv         only with --large: the damaged shape at 1 GB

The same seed and scale always give the same bytes. A manifest.json beside
the files records their sizes and SHA-256 digests; a file whose manifest entry
matches the requested seed, scale and generator version is not written again.
Only the standard library is used.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path

GENERATOR_VERSION = 1
DEFAULT_SEED = 20240917
MB = 1_000_000
CHUNK_BYTES = 1 << 20

HEADER = "id,first_name,last_name,city,country,date,amount,quantity,status,note"

FIRST_NAMES = (
    "James Mary John Patricia Robert Jennifer Michael Linda William Elizabeth David Barbara "
    "Richard Susan Joseph Jessica Thomas Sarah Charles Karen Daniel Nancy Matthew Lisa Anthony "
    "Betty Mark Helen Paul Sandra Steven Donna Andrew Carol Kevin Ruth Brian Sharon George Laura"
).split()
FIRST_NAMES_UTF8 = "Zoë José Søren Françoise Łukasz Đorđe İlkay Jürgen Siân Ægir Björk Renée Nuñez Dvořák 美咲 Дмитрий".split()
LAST_NAMES = (
    "Smith Johnson Williams Brown Jones Garcia Miller Davis Rodriguez Martinez Hernandez Lopez "
    "Gonzalez Wilson Anderson Thomas Taylor Moore Jackson Martin Lee Perez Thompson White Harris "
    "Sanchez Clark Ramirez Lewis Robinson Walker Young Allen King Wright Scott Torres Nguyen Hill"
).split()
LAST_NAMES_UTF8 = "Müller Ødegaard Gonçalves Wójcik Šimůnek Þórsson Öztürk Straße Ibáñez Lefèvre 山田 Иванов".split()
CITIES = (
    "London Paris Berlin Madrid Rome Vienna Prague Dublin Oslo Lisbon Boston Chicago Denver "
    "Toronto Sydney Austin Seattle Portland Leeds Glasgow Lyon Milan Munich Hamburg Porto"
).split()
CITIES_UTF8 = ["Zürich", "Kraków", "Malmö", "São Paulo", "Reykjavík", "Москва", "東京", "Genève", "Łódź", "Tromsø"]
COUNTRIES = "GB FR DE ES IT AT CZ IE NO PT US CA AU CH PL SE BR IS RU JP".split()
STATUSES = "active pending closed shipped returned on-hold cancelled new".split()
WORDS = (
    "ok late fragile gift rush refund check call back priority bulk sample note see "
    "attached missing box left door signed damaged spare parts weekly invoice"
).split()

# Ill-formed UTF-8, held in str as surrogate escapes until the chunk is encoded.
INVALID_UTF8 = [
    b.decode("utf-8", "surrogateescape")
    for b in (b"\xff", b"\xc3", b"\xe2\x82", b"\xed\xa0\x80", b"\xc0\xaf", b"\x80\x80", b"caf\xe9", b"\xf4\x90\x80\x80")
]


def _weighted_pool(rng: random.Random, common: list[str], rare: list[str], rare_share: float) -> list[str]:
    return [rng.choice(rare) if rng.random() < rare_share else rng.choice(common) for _ in range(4096)]


class TableShape:
    """Value pools of the 10-column table; the same seed gives the same pools."""

    def __init__(self, rng: random.Random) -> None:
        self.columns: list[list[str]] = [
            [],
            _weighted_pool(rng, FIRST_NAMES, FIRST_NAMES_UTF8, 0.08),
            _weighted_pool(rng, LAST_NAMES, LAST_NAMES_UTF8, 0.08),
            _weighted_pool(rng, CITIES, CITIES_UTF8, 0.10),
            [rng.choice(COUNTRIES) for _ in range(4096)],
            [f"20{rng.randrange(10, 25)}-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d}" for _ in range(4096)],
            [f"{rng.randrange(0, 100000) / 100:.2f}" for _ in range(4096)],
            [str(rng.randrange(0, 500)) for _ in range(4096)],
            [rng.choice(STATUSES) for _ in range(4096)],
            [" ".join(rng.choice(WORDS) for _ in range(rng.randrange(1, 3))) for _ in range(4096)],
        ]
        self.words = [rng.choice(WORDS) for _ in range(4096)]
        self.cities = self.columns[3]
        self.notes = self.columns[9]


def _quoted(rng: random.Random, shape: TableShape, value: str, damaged: bool) -> str:
    r = rng.random()
    bits = rng.getrandbits(12)
    if r < 0.55:
        return f'"{value}"'
    if r < 0.80:
        return f'"{value}, {shape.cities[bits]}"'
    if r < 0.95:
        return f'"{value} ""{shape.words[bits]}"""'
    line_break = "\r\n" if damaged and r < 0.97 else "\n"
    return f'"{value}{line_break}{shape.notes[bits]}"'


def _stray(rng: random.Random, shape: TableShape, value: str) -> str:
    r = rng.random()
    word = shape.words[rng.getrandbits(12)]
    if r < 0.45:
        return f'"{value} "{word}" {value}"'
    if r < 0.70:
        cut = len(value) // 2
        return f'{value[:cut]}"{value[cut:]}'
    if r < 0.95:
        return f'"{value}"{word}'
    return f'"{value}'


def table_rows(rng: random.Random, damaged: bool) -> Iterator[str]:
    """Endless data lines of the 10-column table, each with its line end."""
    shape = TableShape(rng)
    pools = shape.columns[1:]
    random_ = rng.random
    bits = rng.getrandbits
    row_id = 0
    while True:
        row_id += 1
        fields = [str(row_id)]
        fields.extend(pool[bits(12)] for pool in pools)
        if damaged and random_() < 0.001:
            i = 1 + bits(3)
            value = fields[i]
            cut = len(value) // 2
            fields[i] = value[:cut] + INVALID_UTF8[bits(3)] + value[cut:]
        for i in range(10):
            r = random_()
            if r < 0.15:
                fields[i] = _quoted(rng, shape, fields[i], damaged)
            elif damaged and r < 0.16:
                fields[i] = _stray(rng, shape, fields[i])
        line_end = "\n"
        if damaged:
            r = random_()
            if r < 0.01:
                del fields[10 - (1 + bits(8) % 3) :]
            elif r < 0.02:
                fields.extend(shape.notes[bits(12)] for _ in range(1 + bits(8) % 3))
            if random_() < 0.05:
                line_end = "\r\n"
        yield ",".join(fields) + line_end


def _base_text(rng: random.Random, chars: int) -> str:
    vocabulary = WORDS + FIRST_NAMES + CITIES + ["Zürich", "naïve", "façade", "smörgåsbord", "日本語", "Ελληνικά"]
    parts: list[str] = []
    size = 0
    while size < chars:
        word = rng.choice(vocabulary)
        parts.append(word)
        size += len(word) + 1
    return " ".join(parts)


def long_field_rows(rng: random.Random) -> Iterator[str]:
    """Endless lines of 4 fields of 1 to 64 KiB each; about 30 % are quoted and
    hold delimiters, doubled quotes and line breaks."""
    base = _base_text(rng, 1 << 21)
    top = len(base) - (64 << 10)
    while True:
        fields = []
        for _ in range(4):
            length = int(1024 * 64 ** rng.random())
            start = rng.randrange(top)
            text = base[start : start + length]
            if rng.random() < 0.30:
                pieces = [text[i : i + len(text) // 4] for i in range(0, len(text), max(1, len(text) // 4))]
                specials = (", ", '""', "\n")
                text = "".join(p + specials[k % 3] for k, p in enumerate(pieces))
                text = f'"{text}"'
            fields.append(text)
        yield ",".join(fields) + "\n"


def stray_quotes_line(target: int) -> Iterator[str]:
    """One line: a quoted field whose every quote but the last is followed by
    text, so each of them is a stray quote that the look-ahead must judge."""
    unit = 'ab"cd"e,f"gh"ij"k"lm,n"op"q"r"st"uv,w"x"yz"'
    yield '"' + unit * max(1, (target - 2) // len(unit)) + "\n"


def after_quote_line(target: int) -> Iterator[str]:
    """One line of quoted fields with text after each closing quote; no quote
    on the line is followed by a delimiter or a line break."""
    unit = '"a"b,"cd"e,"f"gh,"ij"k,'
    yield unit * max(1, (target - 5) // len(unit)) + '"z"z\n'


def spaces_line(target: int) -> Iterator[str]:
    """One line of spaces: every sampling pass must decide whether this one
    field is blank."""
    yield " " * max(1, target - 1) + "\n"


def open_doubled_quote_lines(target: int) -> Iterator[str]:
    """Lines whose last quoted field ends in a doubled quote: no field ever
    closes, and every line break is one more guard decision in one record."""
    unit = '"a","x""\n'
    for _ in range(max(1, target // len(unit))):
        yield unit


class Workload:
    def __init__(self, name: str, megabytes: float, lines: Callable[[random.Random, int], Iterator[str]], large: bool = False):
        self.name = name
        self.megabytes = megabytes
        self.lines = lines
        self.large = large


def _table(damaged: bool) -> Callable[[random.Random, int], Iterator[str]]:
    def lines(rng: random.Random, target: int) -> Iterator[str]:
        yield HEADER + "\n"
        yield from table_rows(rng, damaged)

    return lines


def _long(rng: random.Random, target: int) -> Iterator[str]:
    yield "title,body,notes,log\n"
    yield from long_field_rows(rng)


WORKLOADS = [
    Workload("damaged-100mb.csv", 100, _table(True)),
    Workload("clean-100mb.csv", 100, _table(False)),
    Workload("long-fields.csv", 100, _long),
    Workload("stray-quotes-line.csv", 10, lambda rng, target: stray_quotes_line(target)),
    Workload("after-quote-line.csv", 10, lambda rng, target: after_quote_line(target)),
    Workload("spaces-line.csv", 10, lambda rng, target: spaces_line(target)),
    Workload("open-doubled-quote.csv", 10, lambda rng, target: open_doubled_quote_lines(target)),
    Workload("damaged-1gb.csv", 1000, _table(True), large=True),
]


def write_workload(workload: Workload, path: Path, seed: int, scale: float) -> dict:
    """Writes whole records until the target size is reached; returns the manifest entry."""
    target = max(1024, int(workload.megabytes * MB * scale))
    # One generator per file, seeded from the file's name, so that each file
    # is the same whichever others are generated with it.
    rng = random.Random(f"{seed}/{workload.name}")
    digest = hashlib.sha256()
    written = 0
    records = 0
    tmp = path.with_name(path.name + ".part")
    with open(tmp, "wb") as out:
        pending: list[str] = []
        pending_size = 0
        for record in workload.lines(rng, target):
            pending.append(record)
            pending_size += len(record)
            records += 1
            if pending_size >= CHUNK_BYTES or written + pending_size >= target:
                data = "".join(pending).encode("utf-8", "surrogateescape")
                out.write(data)
                digest.update(data)
                written += len(data)
                pending.clear()
                pending_size = 0
                if written >= target:
                    break
        if pending:
            data = "".join(pending).encode("utf-8", "surrogateescape")
            out.write(data)
            digest.update(data)
            written += len(data)
    os.replace(tmp, path)
    return {
        "bytes": written,
        "records": records,
        "sha256": digest.hexdigest(),
        "seed": seed,
        "scale": scale,
        "version": GENERATOR_VERSION,
    }


def main(argv: list[str] | None = None) -> int:
    here = Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=here / "data", help="output directory (default: bench/data)")
    parser.add_argument("--scale", type=float, default=1.0, help="size factor, e.g. 0.05 for quick runs (default 1)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--large", action="store_true", help="also write the 1 GB damaged file")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="write only these files")
    parser.add_argument("--force", action="store_true", help="rewrite files even when the manifest matches")
    args = parser.parse_args(argv)
    if args.scale <= 0:
        parser.error("--scale must be positive")

    names = {w.name for w in WORKLOADS}
    if args.only:
        unknown = set(args.only) - names
        if unknown:
            parser.error(f"unknown file(s): {', '.join(sorted(unknown))}; choose from {', '.join(sorted(names))}")
    args.out.mkdir(parents=True, exist_ok=True)
    manifest_path = args.out / "manifest.json"
    manifest = json.loads(manifest_path.read_text()) if manifest_path.exists() else {}

    for workload in WORKLOADS:
        if args.only and workload.name not in args.only:
            continue
        if workload.large and not args.large and not (args.only and workload.name in args.only):
            continue
        path = args.out / workload.name
        entry = manifest.get(workload.name)
        if (
            not args.force
            and entry
            and entry.get("seed") == args.seed
            and entry.get("scale") == args.scale
            and entry.get("version") == GENERATOR_VERSION
            and path.exists()
            and path.stat().st_size == entry.get("bytes")
        ):
            print(f"{path}: up to date ({entry['bytes']:,} bytes)")
            continue
        started = time.perf_counter()
        manifest[workload.name] = write_workload(workload, path, args.seed, args.scale)
        manifest_path.write_text(json.dumps(manifest, indent=2, sort_keys=True) + "\n")
        elapsed = time.perf_counter() - started
        print(f"{path}: {manifest[workload.name]['bytes']:,} bytes in {elapsed:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
