"""Real-world table shapes read by the adaptive salvage: what the clean file
holds, what is set aside and why, and what `read` makes of it."""

import csv
from pathlib import Path

import pytest

import quillon

QUARTERS = "".join(f"LNS14000000Q,{1959 + i // 4},Q0{1 + i % 4},{5 + i % 3}.{i % 10}\n" for i in range(40))
TITLES = (
    "Series Id:           LNS14000000Q\n\nSeasonally Adjusted\n"
    "Series title:        (Seas) Unemployment Rate\nAge:                 16 years and over\n\n\n"
)
ROW_NAMES = '"population" "area"\n' + "".join(f'"Region_{i}" {1000 + i} {i}.5\n' for i in range(1, 12))
EXPORT = "id,name,amount\r\n" + "".join(f"{i},name{i},{i}.25\r\n" for i in range(1, 6))

# Each shape: the input, the clean file's first lines, and the reasons of
# the records set aside, in input order.
SHAPES = {
    "leading blank lines over a tiny table": (
        b"\n\n\na,b,c\n1,2,3\n",
        ["a,b,c", "1,2,3"],
        ["preamble"] * 3,
    ),
    "header ending in a delimiter": (
        ("Series id,Year,Period,Value,\n" + QUARTERS).encode(),
        ["Series id,Year,Period,Value", "LNS14000000Q,1959,Q01,5.0"],
        [],
    ),
    "titles above a header ending in a delimiter": (
        (TITLES + "Series id,Year,Period,Value,\n" + QUARTERS).encode(),
        ["Series id,Year,Period,Value", "LNS14000000Q,1959,Q01,5.0"],
        ["preamble"] * 7,
    ),
    "R write.table row names": (
        ROW_NAMES.encode(),
        ["row_name,population,area", "Region_1,1001,1.5"],
        [],
    ),
    "header only": (b"id,name,qty\n", ["id,name,qty"], []),
    "header twice at the top": (
        b"id,name,score\nid,name,score\n1,ann,3.5\n2,bob,4.5\n3,cy,1.5\n",
        ["id,name,score", "1,ann,3.5"],
        ["repeated_header"],
    ),
    "concatenated exports with byte-order marks": (
        ("\ufeff" + EXPORT + "\ufeff" + EXPORT).encode(),
        ["id,name,amount", "1,name1,1.25"],
        ["repeated_header"],
    ),
    "comments above, inside and below": (
        b"# exported 2024-01-01\n# by tool, v2\nid,name\n1,ann\n# a note\n2,bob\n3,cy\n# end\n",
        ["id,name", "1,ann", "2,bob", "3,cy"],
        ["comment", "comment", "comment", "comment"],
    ),
    "comment between titles and a header": (
        b"Scores\n\n# exported\nid,name,score\n" + b"".join(b"%d,n%d,%d.5\n" % (i, i, i) for i in range(8)),
        ["id,name,score", "0,n0,0.5"],
        ["preamble", "preamble", "comment"],
    ),
    "a second table after a blank line and its title": (
        b"id,name,score\n1,ann,3.5\n2,bob,4.5\n\nCities\ncity,pop\nRome,3\nOslo,1\n",
        ["id,name,score", "1,ann,3.5", "2,bob,4.5"],
        ["other_table"] * 5,
    ),
    "a header glued onto a row": (
        b"id,name,score\n1,ann,3.5\n2,bob,4.5id,name,score\n3,cy,1.5\n",
        ["id,name,score", "1,ann,3.5", "2,bob,4.5", "3,cy,1.5"],
        ["repeated_header"],
    ),
    "a header glued onto a row after a byte-order mark": (
        "\ufeffid,name,score\n1,ann,3.5\n2,bob,4.5\ufeffid,name,score\n3,cy,1.5\n".encode(),
        ["id,name,score", "1,ann,3.5", "2,bob,4.5", "3,cy,1.5"],
        ["repeated_header"],
    ),
    "notes below the table": (
        b"id,name,score\n" + b"".join(b"%d,n%d,%d.5\n" % (i, i, i) for i in range(8)) + b"\nTotal,28\nSource: survey\n",
        ["id,name,score", "0,n0,0.5"],
        ["footer", "footer", "footer"],
    ),
}


def salvage(tmp_path: Path, data: bytes, **options):
    source = tmp_path / "input.csv"
    source.write_bytes(data)
    report = quillon.salvage(source, tmp_path / "clean.csv", tmp_path / "rejected.csv", **options)
    clean = (tmp_path / "clean.csv").read_text(encoding="utf-8").splitlines()
    with open(tmp_path / "rejected.csv", newline="", encoding="utf-8") as f:
        reasons = [row["reason"] for row in csv.DictReader(f)]
    return report, clean, reasons


@pytest.mark.parametrize("name", SHAPES)
def test_shape_is_read_as_a_table(tmp_path, name):
    data, head, set_aside = SHAPES[name]
    report, clean, reasons = salvage(tmp_path, data)
    assert clean[: len(head)] == head
    assert reasons == set_aside
    # Set-aside structure is never counted as lost data.
    assert report.rejected_rows == 0
    assert report.structure_rows == len(set_aside)
    assert len({len(line.split(",")) for line in clean}) == 1
    assert sum(report.rejects.values()) == len(set_aside)


def test_concatenated_exports_keep_every_data_row(tmp_path):
    _, clean, _ = salvage(tmp_path, ("\ufeff" + EXPORT + "\ufeff" + EXPORT).encode())
    assert len(clean) == 1 + 2 * 5


@pytest.mark.parametrize(
    ("data", "columns", "rows"),
    [
        (b"id,name,qty\n", ["id", "name", "qty"], 0),
        (ROW_NAMES.encode(), ["row_name", "population", "area"], 11),
        (("Series id,Year,Period,Value,\n" + QUARTERS).encode(), ["Series id", "Year", "Period", "Value"], 40),
    ],
)
def test_read_names_the_columns(tmp_path, data, columns, rows):
    source = tmp_path / "input.csv"
    source.write_bytes(data)
    table = quillon.read(source)
    assert table.columns == columns
    assert len(table) == rows


def test_header_shape_follows_an_explicit_no_header(tmp_path):
    # Told there is no header, the first record is data and keeps its fields.
    _, clean, _ = salvage(tmp_path, ("Series id,Year,Period,Value,\n" + QUARTERS).encode(), header=False)
    assert clean[0] == "Series id,Year,Period,\"Value,\""


@pytest.mark.parametrize(
    ("comment", "found", "set_aside"),
    [
        (None, "#", ["comment", "comment"]),
        # Off, the note is a title and the other a ragged row.
        ("", "", ["preamble"]),
        ("# an", "# an", ["preamble", "comment"]),
    ],
)
def test_comment_option(tmp_path, comment, found, set_aside):
    data = b"# a note\nid,name\n1,ann\n# another\n2,bob\n3,cy\n4,dee\n"
    report, _, reasons = salvage(tmp_path, data, comment=comment)
    assert report.input.comment == found
    assert reasons == set_aside
    assert quillon.detect(data, comment=comment).comment == found


@pytest.mark.parametrize(("value", "error"), [(b"#", TypeError), ("#\n", ValueError), (1, TypeError)])
def test_comment_option_is_checked(tmp_path, value, error):
    with pytest.raises(error):
        quillon.detect(b"a,b\n", comment=value)


def test_read_keeps_the_header_below_comments(tmp_path):
    source = tmp_path / "input.csv"
    source.write_bytes(b"# note\n\n# more\nid,name\n1,ann\n2,bob\n")
    table = quillon.read(source)
    assert table.columns == ["id", "name"]
    assert len(table) == 2
    assert dict(table.report.rejects)["comment"] == 2


def test_footer_kept_as_rows_when_asked(tmp_path):
    data = b"id,name,score\n" + b"".join(b"%d,n%d,%d.5\n" % (i, i, i) for i in range(8)) + b"Total,28\n"
    report, clean, reasons = salvage(tmp_path, data, drop_footer=False)
    assert reasons == []
    assert clean[-1] == "Total,28,"
    assert quillon.read(data, drop_footer=False).report.rejects["footer"] == 0


SHEETS = b"id,name,score\n1,ann,3.5\n2,bob,4.5\n\nCities\ncity,pop\nRome,3\nOslo,1\n\nk,v,w,x\n1,2,3,4\n5,6,7,8\n"


@pytest.mark.parametrize(
    ("encoding", "as_bytes", "output"),
    [("utf-8", False, "clean.csv"), ("utf-8", True, "clean.csv"), ("utf-16", False, "clean.parquet")],
)
def test_tables_dir_writes_each_table_as_the_input_holds_it(tmp_path, encoding, as_bytes, output):
    data = SHEETS.decode().encode(encoding)
    source = tmp_path / "sheets.csv"
    source.write_bytes(data)
    tables = tmp_path / "tables"  # made by the salvage
    report = quillon.salvage(data if as_bytes else source, tmp_path / output, tables_dir=tables)
    assert [(t.line, t.first_line) for t in report.other_tables] == [(5, "Cities"), (10, "k,v,w,x")]
    stem = "clean" if as_bytes else "sheets"
    written = sorted(p.name for p in tables.iterdir())
    assert written == [f"{stem}.table2.csv", f"{stem}.table3.csv"]
    bom = data[:2] if encoding == "utf-16" else b""
    second = (tables / f"{stem}.table2.csv").read_bytes()
    assert second == "Cities\ncity,pop\nRome,3\nOslo,1\n".encode(encoding)[len(bom):]
    assert (tables / f"{stem}.table3.csv").read_bytes().endswith("5,6,7,8\n".encode(encoding)[len(bom):])
    assert report.rejects["other_table"] == 9


def test_tables_dir_never_names_the_input(tmp_path):
    source = tmp_path / "input.table2.csv"
    source.write_bytes(SHEETS)
    # The input's own name makes input.table2.table2.csv; an input called
    # so in the folder is refused.
    (tmp_path / "t").mkdir()
    clash = tmp_path / "t" / "input.table2.table2.csv"
    clash.symlink_to(source)
    with pytest.raises(ValueError, match="is the input"):
        quillon.salvage(source, tmp_path / "clean.csv", tables_dir=tmp_path / "t")
    assert source.read_bytes() == SHEETS


def test_other_tables_kept_as_rows_when_asked_and_seen_by_detect(tmp_path):
    report, clean, reasons = salvage(tmp_path, SHEETS, split_tables=False)
    assert report.other_tables == ()
    assert "other_table" not in reasons
    assert "Rome,3," in clean
    found = quillon.detect(SHEETS)
    assert [t.to_dict() for t in found.tables] == [
        {"line": 5, "first_line": "Cities"},
        {"line": 10, "first_line": "k,v,w,x"},
    ]
    assert report.to_dict()["input"]["tables"][0]["first_line"] == "Cities"


DUMP = b"id\tname\tnote\n1\t\\N\tx\n\\N\tb\t\\\\N\n3\tc\t\\N\n"


def test_dump_nulls_are_nulls_in_read_and_empty_in_the_clean_file(tmp_path):
    table = quillon.read(DUMP)
    arrow = table.to_arrow()
    assert [arrow.column(c).null_count for c in range(3)] == [1, 1, 1]
    # An escaped backslash before N is text.
    assert arrow.column("note").to_pylist() == ["x", "\\N", None]
    assert table.to_pandas()["name"].isna().tolist() == [True, False, False]
    assert table.to_polars()["id"].null_count() == 1
    _, clean, _ = salvage(tmp_path, DUMP)
    assert clean[1:] == ["1\t\tx", "\tb\t\\N", "3\tc\t"]
    # With quoting, the same bytes are text.
    quoted = quillon.read(b'id,name\n1,\\N\n"2",x\n3,y\n', escape_char="\\", quote_char='"')
    assert quoted.to_arrow().column("name").null_count == 0
