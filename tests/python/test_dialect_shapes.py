"""Shapes of real-world files the adaptive salvage must read right: dumps
escaped with a backslash and never quoted, other punctuation as delimiter,
values padded on both sides, many runaway quotes, and the row leftovers of
a stray quote at a line's start and of a quoted last field cut off."""

import csv
import io
import os
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
import pyarrow as pa
import pytest

import quillon

EXAMPLES = int(os.environ.get("QUILLON_PROPERTY_EXAMPLES", "200"))


def salvaged_rows(tmp_path: Path, data: bytes, **options) -> tuple[quillon.InputFormat, list[list[str]]]:
    source = tmp_path / "input.csv"
    source.write_bytes(data)
    found = quillon.salvage(source, tmp_path / "clean.csv", **options).input
    text = (tmp_path / "clean.csv").read_bytes().decode("utf-8")
    delimiter = found.delimiter if found.delimiter in ",;\t|" else ","
    return found, list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))


def ordnance_rows(row_16: str) -> bytes:
    lines = ["state,county,item,qty,cost,class"]
    for i in range(1, 30):
        lines.append(f'KS,County{i},"PISTOL, CAL .45",{i},{i}.50,WEAPONS')
    lines[16] = row_16
    return ("\n".join(lines) + "\n").encode()


def cut_last_field_rows() -> bytes:
    lines = ["id,name,category,note"]
    for i in range(1, 40):
        lines.append(f'{i},item{i},{i % 7},"Guns, through {i} mm"')
    lines[20] = '20,item20,6,"Combat, Assault, and Tactical Vehicles'
    return ("\n".join(lines) + "\n").encode()


def many_runaway_quotes() -> bytes:
    lines = ["id,name,note"]
    for i in range(60):
        if i % 3 == 0:
            lines.append(f'{i},"Smith, J{i}",ok')
        elif i % 3 == 1:
            lines.append(f'{i},Lee{i},"fine')
        else:
            lines.append(f"{i},Doe{i},good")
    return ("\n".join(lines) + "\n").encode()


def expected_ordnance(row_16: list[str]) -> list[list[str]]:
    rows = [["state", "county", "item", "qty", "cost", "class"]]
    rows += [["KS", f"County{i}", "PISTOL, CAL .45", str(i), f"{i}.50", "WEAPONS"] for i in range(1, 30)]
    rows[16] = row_16
    return rows


def expected_cut_last_field() -> list[list[str]]:
    rows = [["id", "name", "category", "note"]]
    rows += [[str(i), f"item{i}", str(i % 7), f"Guns, through {i} mm"] for i in range(1, 40)]
    rows[20] = ["20", "item20", "6", "Combat, Assault, and Tactical Vehicles"]
    return rows


# name: input, (delimiter, quote, escape, skipping spaces) detected, the
# rows of the clean file (None: not compared), and the options given.
CASES = {
    "postgres-text-dump": (
        b"id\tname\tnote\n1\tSeltsam\\, oder\t\\N\n2\tA\\tB\tx\\\\y\n3\tC\t\\N\n",
        ("\t", None, "\\", False),
        [["id", "name", "note"], ["1", "Seltsam, oder", ""], ["2", "A\tB", "x\\y"], ["3", "C", ""]],
        {},
    ),
    "mysql-outfile-comma": (
        b"id,text,n\n1,Seltsam\\, oder,\\N\n2,two\\\nlines,5\n3,more\\, text,7\n",
        (",", None, "\\", False),
        [["id", "text", "n"], ["1", "Seltsam, oder", ""], ["2", "two\nlines", "5"], ["3", "more, text", "7"]],
        {},
    ),
    "windows-paths-stay": (
        b"id,path\n1,C:\\temp\\new\n2,C:\\Users\\N\n3,D:\\data\n",
        (",", '"', None, False),
        [["id", "path"], ["1", "C:\\temp\\new"], ["2", "C:\\Users\\N"], ["3", "D:\\data"]],
        {},
    ),
    "plus-delimited": (
        b"id+name+city\n1+Ada Lovelace+London\n2+Grace Hopper+New York\n3+Linus T+Helsinki\n",
        ("+", '"', None, False),
        [["id", "name", "city"], ["1", "Ada Lovelace", "London"], ["2", "Grace Hopper", "New York"],
         ["3", "Linus T", "Helsinki"]],
        {},
    ),
    "caret-delimited": (
        b"a^b^c\n1^x y^2\n3^z w^4\n5^v u^6\n",
        ("^", '"', None, False),
        [["a", "b", "c"], ["1", "x y", "2"], ["3", "z w", "4"], ["5", "v u", "6"]],
        {},
    ),
    "decimal-points-are-no-delimiter": (
        b"0.70 1.00 0.17\n0.60 0.00 0.23\n1.40 1.00 0.07\n",
        (" ", '"', None, False),
        [["0.70", "1.00", "0.17"], ["0.60", "0.00", "0.23"], ["1.40", "1.00", "0.07"]],
        {"header": False},
    ),
    "one-column-of-decimals": (
        b"315.58\n316.39\n316.79\n317.12\n",
        (",", '"', None, False),
        [["315.58"], ["316.39"], ["316.79"], ["317.12"]],
        {"header": False},
    ),
    "padded-both-sides": (
        b"id , name , city\n1 , Homer , Springfield\n2 , Marge , Shelbyville\n",
        (",", '"', None, False),
        [["id ", " name ", " city"], ["1 ", " Homer ", " Springfield"], ["2 ", " Marge ", " Shelbyville"]],
        {},
    ),
    "spaces-after-delimiters": (
        b'id, name, city\n1, "Simpson, Homer", Springfield\n2, Marge, Shelbyville\n',
        (",", '"', None, True),
        [["id", "name", "city"], ["1", "Simpson, Homer", "Springfield"], ["2", "Marge", "Shelbyville"]],
        {},
    ),
    "many-runaway-quotes": (many_runaway_quotes(), (",", '"', None, False), None, {}),
    "stray-quote-line-start": (
        ordnance_rows('"KS,County16,"PISTOL, CAL .45",16,16.50,WEAPONS'),
        (",", '"', None, False),
        expected_ordnance(['"KS', "County16", "PISTOL, CAL .45", "16", "16.50", "WEAPONS"]),
        {},
    ),
    "quoted-last-field-cut-off": (
        cut_last_field_rows(),
        (",", '"', None, False),
        expected_cut_last_field(),
        {},
    ),
}


@pytest.mark.parametrize("name", CASES)
def test_shapes_are_detected_and_read(tmp_path: Path, name: str) -> None:
    data, dialect, rows, options = CASES[name]
    found, clean = salvaged_rows(tmp_path, data, **options)
    assert (found.delimiter, found.quote_char, found.escape_char, found.skip_initial_space) == dialect
    if rows is not None:
        assert clean == rows


def test_many_runaway_quotes_keep_the_quoted_cells(tmp_path: Path) -> None:
    """Read as unquoted, `"Smith, J0"` would be two cells."""
    _, clean = salvaged_rows(tmp_path, many_runaway_quotes())
    assert clean[1][:3] == ["0", "Smith, J0", "ok"]


def test_the_guard_off_leaves_the_row_leftovers(tmp_path: Path) -> None:
    """The two leftovers are mended by the runaway-quote guard: without it,
    the fixed rules read them as before."""
    _, stray = salvaged_rows(
        tmp_path, ordnance_rows('"KS,County16,"PISTOL, CAL .45",16,16.50,WEAPONS'), guard_runaway_quotes=False
    )
    assert stray[16][0] == 'KS,County16,"PISTOL, CAL .45'
    _, cut = salvaged_rows(tmp_path, cut_last_field_rows(), guard_runaway_quotes=False)
    assert len(cut) == 39


def test_nulls_of_a_dump_are_nulls_in_the_table() -> None:
    """The null of a dump is a null cell of the table, an empty cell of the
    clean file."""
    table = quillon.read(b"id\tname\n1\t\\N\n2\tA\\tB\n3\tC\n")
    assert pa.table(table).column("name").to_pylist() == [None, "A\tB", "C"]


# Cells a PostgreSQL TEXT dump may hold: any text, tabs, line breaks and
# backslashes included, or a null.
CELLS = st.one_of(st.none(), st.text(alphabet=st.sampled_from("ab \t\n\r\\,N\u00e9"), max_size=8))


def dump_cell(value: str | None) -> str:
    if value is None:
        return "\\N"
    escapes = {"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"}
    return "".join(escapes.get(c, c) for c in value)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.lists(st.lists(CELLS, min_size=3, max_size=3), min_size=1, max_size=12))
def test_a_dump_round_trips(tmp_path: Path, rows: list[list[str | None]]) -> None:
    data = "".join("\t".join(dump_cell(v) for v in row) + "\n" for row in rows).encode()
    _, clean = salvaged_rows(
        tmp_path,
        data,
        delimiter="\t",
        quote_char="",
        escape_char="\\",
        skip_initial_space=False,
        header=False,
        skip_rows=0,
        expected_columns=3,
        # A last row of one filled cell under fuller ones reads as a note.
        drop_footer=False,
    )
    assert clean == [[v or "" for v in row] for row in rows]
    table = quillon.read(data, delimiter="\t", quote_char="", escape_char="\\", skip_initial_space=False,
                         header=False, skip_rows=0, expected_columns=3, drop_footer=False)
    assert pa.table(table).to_pylist() == [dict(zip(table.columns, row)) for row in rows]
