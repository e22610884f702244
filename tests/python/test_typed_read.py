"""Typed columns of quillon.read: inference, damage, the user's types, and the
reject log that accounts for every null."""

import csv
import decimal
import json
from datetime import UTC, date, datetime

import duckdb
import polars as pl
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon

NULL_SPELLINGS = ["", "NA", "N/A", "null", "NULL", "None", "NaN", "-", "\\N"]


def read_text(tmp_path, text: str, **options):
    source = tmp_path / "input.csv"
    source.write_text(text, encoding="utf-8")
    return quillon.read(source, **options)


def column_of(cells: list[str], name: str = "x") -> str:
    return name + "\n" + "".join(f"{cell}\n" for cell in cells)


def rejects_of(t) -> list[dict]:
    return pa.table(t.cell_rejects).to_pylist()


# ---- inference ----


@pytest.mark.parametrize(
    ("cells", "arrow_type", "values"),
    [
        (["1", "+2", "-3", "1,234"], pa.int64(), [1, 2, -3, 1234]),
        (["1", "2.5", "1e3", ".5"], pa.float64(), [1.0, 2.5, 1000.0, 0.5]),
        (["$12.50", "0.10", "$1,234.00", "7"], pa.decimal128(38, 2), ["12.50", "0.10", "1234.00", "7.00"]),
        (["yes", "No", "TRUE", "0"], pa.bool_(), [True, False, True, False]),
        (["0", "1", "1", "0"], pa.int64(), [0, 1, 1, 0]),
        (["2024-02-29", "2024/3/1", "NA"], pa.date32(), [date(2024, 2, 29), date(2024, 3, 1), None]),
        (["01/02/2024", "13/02/2024"], pa.date32(), [date(2024, 2, 1), date(2024, 2, 13)]),
        (["01/02/2024", "02/13/2024"], pa.date32(), [date(2024, 1, 2), date(2024, 2, 13)]),
        (
            ["2024-01-05T10:00:00Z", "2024-01-05 12:30:00+02:00"],
            pa.timestamp("us", tz="UTC"),
            [datetime(2024, 1, 5, 10, tzinfo=UTC), datetime(2024, 1, 5, 10, 30, tzinfo=UTC)],
        ),
        (["2024-01-05 10:00", "2024-01-06"], pa.timestamp("us"), [datetime(2024, 1, 5, 10), datetime(2024, 1, 6)]),
        (["00501", "02134", "90210"], pa.string(), ["00501", "02134", "90210"]),
        (["9007199254740993", "4111111111111111"], pa.string(), ["9007199254740993", "4111111111111111"]),
        (["10:00", "11:30"], pa.string(), ["10:00", "11:30"]),
        (["NA", "-", ""], pa.string(), ["NA", "-", ""]),
    ],
)
def test_column_types(tmp_path, cells, arrow_type, values):
    t = read_text(tmp_path, column_of(cells), delimiter=",")
    column = pa.table(t).column("x")
    assert column.type == arrow_type
    got = column.to_pylist()
    if pa.types.is_decimal(arrow_type):
        values = [decimal.Decimal(v) for v in values]
    assert got == values
    assert rejects_of(t) == []


def test_decimal_comma_in_a_semicolon_file(tmp_path):
    t = read_text(tmp_path, "a;b\n1.234,50;1,5\n2,00;2\n3;2,25\n")
    table = pa.table(t)
    assert table.column("a").type == pa.decimal128(38, 2)
    assert table.column("a").to_pylist() == [decimal.Decimal("1234.50"), decimal.Decimal("2.00"), decimal.Decimal("3.00")]
    assert table.column("b").to_pylist() == [1.5, 2.0, 2.25]


# ---- damage ----


def test_a_few_misfits_are_nulls_listed_in_the_log(tmp_path):
    cells = [str(i) for i in range(38)] + ["12 kg", "NA"]
    t = read_text(tmp_path, column_of(cells, "weight"))
    assert pa.table(t).column("weight").type == pa.int64()
    assert pa.table(t).column("weight").null_count == 2
    assert rejects_of(t) == [{"line": 40, "column": "weight", "text": "12 kg", "expected": "int64"}]
    assert t.schema["weight"] == quillon.ColumnSchema("int64", 1)
    assert t.report.cell_rejects == {"weight": 1}


def test_too_many_misfits_leave_text(tmp_path):
    # 3 of 20 (15%) is more than the 5% a typed column may reject.
    t = read_text(tmp_path, column_of([str(i) for i in range(17)] + ["a", "b", "c"]))
    assert pa.table(t).column("x").type == pa.string()
    assert rejects_of(t) == [] and t.schema["x"].rejects == 0


def test_rejects_give_their_input_line_across_batches_and_spans(tmp_path):
    # More rows than one record batch or span holds, read on two threads;
    # a quoted line break on row 3 puts every later record a line further.
    rows = [f"{i},{'a' * 40}" for i in range(300_000)]
    rows[3] = '3,"two\nlines"'
    rows[5] = rows[200_001] = "oops,x"
    text = "x,note\n" + "\n".join(rows) + "\n"
    t = read_text(tmp_path, text, threads=2)
    assert [r["line"] for r in rejects_of(t)] == [8, 200_004]
    assert pa.table(t).column("x")[200_002].as_py() == 200_002
    again = read_text(tmp_path, text, threads=1)
    assert pa.table(again).equals(pa.table(t))
    assert pa.table(again.cell_rejects).equals(pa.table(t.cell_rejects))


NUMBERS = "".join(f"{i}\n" for i in range(30))


@pytest.mark.parametrize(
    ("text", "options", "lines"),
    [
        # A preamble line, a comment and a repeated header set aside above.
        ("exported by a tool\nn\n# note\n" + NUMBERS + "n\nx\n", {"skip_rows": 1, "comment": "#"}, [35]),
        # No header: the first row is data and keeps its line.
        ("x\n" + NUMBERS, {"header": False}, [1]),
        # A cell spread over two lines by a quoted line break.
        ('n,note\n1,"a\nb"\nx,c\n' + NUMBERS.replace("\n", ",d\n"), {}, [4]),
    ],
)
def test_reject_lines_count_every_input_line(tmp_path, text, options, lines):
    t = read_text(tmp_path, text, **options)
    assert [r["line"] for r in rejects_of(t)] == lines


@pytest.mark.parametrize(
    ("tail", "arrow_type", "first"),
    [
        # Past the first 65,536 rows, cells that only the whole column types.
        (["1.5"] * 3, pa.float64(), 1.0),
        (["13/02/2024"] * 3, pa.date32(), date(2024, 2, 1)),
        (["yes"] * 3, pa.bool_(), True),
    ],
)
def test_cells_past_the_sample_decide_again(tmp_path, tail, arrow_type, first):
    head = {pa.float64(): "1", pa.date32(): "01/02/2024", pa.bool_(): "1"}[arrow_type]
    t = read_text(tmp_path, column_of([head] * 70_000 + tail), delimiter=",")
    column = pa.table(t).column("x")
    assert (column.type, column[0].as_py(), column.null_count, rejects_of(t)) == (arrow_type, first, 0, [])


def test_plain_text_is_told_by_the_first_rows(tmp_path):
    # Text in 6% of the first 65,536 rows: the column is text, although the
    # rest would have brought the share of misfits under 5%.
    cells = ["note" if i % 16 == 0 else str(i) for i in range(65_536)] + [str(i) for i in range(100_000)]
    t = read_text(tmp_path, column_of(cells), threads=2)
    assert pa.table(t).column("x").type == pa.string()


# ---- the user's types ----


def test_given_types_are_never_demoted(tmp_path):
    text = "price,day,note\n" + "a lot,2024-01-05,7\n" * 3 + "12.5,5 Jan,8\n"
    t = read_text(tmp_path, text, dtypes={"price": "decimal(10,2)", "day": "date"})
    table = pa.table(t)
    assert table.schema.field("price").type == pa.decimal128(10, 2)
    assert table.column("price").to_pylist() == [None] * 3 + [decimal.Decimal("12.50")]
    assert table.column("day").to_pylist() == [date(2024, 1, 5)] * 3 + [None]
    assert table.column("note").type == pa.int64()
    assert [(r["line"], r["column"], r["expected"]) for r in rejects_of(t)] == [
        (2, "price", "decimal128(10, 2)"), (3, "price", "decimal128(10, 2)"),
        (4, "price", "decimal128(10, 2)"), (5, "day", "date32"),
    ]


@pytest.mark.parametrize(
    ("options", "types"),
    [
        ({"types": False}, [pa.string(), pa.string()]),
        ({"types": False, "dtypes": [None, "float"]}, [pa.string(), pa.float64()]),
        ({"dtypes": ["string"]}, [pa.string(), pa.int64()]),
        ({"dtypes": {"b": "timestamp"}}, [pa.int64(), pa.timestamp("us")]),
    ],
)
def test_type_controls(tmp_path, options, types):
    t = read_text(tmp_path, "a,b\n1,2\n3,4\n", **options)
    assert pa.table(t).schema.types == types


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"types": "auto"}, ValueError),
        ({"dtypes": "int64"}, TypeError),
        ({"dtypes": {"missing": "int64"}}, KeyError),
        ({"dtypes": {"a": "int32"}}, ValueError),
        ({"dtypes": ["int64", "int64", "int64"]}, ValueError),
    ],
)
def test_bad_type_controls(tmp_path, options, error):
    with pytest.raises(error):
        read_text(tmp_path, "a,b\n1,2\n", **options)


# ---- everywhere ----


def test_every_consumer_sees_the_same_types(tmp_path):
    t = read_text(tmp_path, "n,f,d,day,ok\n1,1.5,2.50,2024-01-05,yes\n2,,3.10,2024-01-06,no\n")
    arrow = pa.table(t)
    assert arrow.schema.types == [pa.int64(), pa.float64(), pa.decimal128(38, 2), pa.date32(), pa.bool_()]
    assert pl.DataFrame(t).schema == pl.from_arrow(arrow).schema
    relation = duckdb.sql("select * from t")
    assert relation.types == ["BIGINT", "DOUBLE", "DECIMAL(38,2)", "DATE", "BOOLEAN"]
    frame = t.to_pandas()
    assert [str(dtype) for dtype in frame.dtypes] == ["int64", "float64", "object", "datetime64[ms]", "bool"]


# ---- nothing lost ----

CELLS = st.one_of(
    st.integers(-10**6, 10**6).map(str),
    st.sampled_from(NULL_SPELLINGS + ["x", "12 kg", "007", "2024-01-05", "1,5", "yes"]),
    st.floats(-1e6, 1e6, allow_nan=False).map(lambda f: f"{f:.2f}"),
)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(columns=st.lists(st.lists(CELLS, min_size=25, max_size=25), min_size=1, max_size=3))
def test_every_null_is_a_null_spelling_or_a_listed_reject(tmp_path, columns):
    header = ",".join(f"c{i}" for i in range(len(columns)))
    rows = ["," .join(f'"{column[r]}"' for column in columns) for r in range(25)]
    text = header + "\n" + "\n".join(rows) + "\n"
    strings = pa.table(read_text(tmp_path, text, types=False))
    t = read_text(tmp_path, text)
    typed = pa.table(t)
    # Every record is one line below the header.
    listed = {(r["line"] - 2, r["column"]): r["text"] for r in rejects_of(t)}
    for name in typed.column_names:
        texts = strings.column(name).to_pylist()
        values = typed.column(name).to_pylist()
        for row, (text_cell, value) in enumerate(zip(texts, values, strict=True)):
            if (row, name) in listed:
                assert value is None and listed[(row, name)] == text_cell
            elif value is None:
                assert text_cell.strip() in NULL_SPELLINGS
        assert t.schema[name].rejects == sum(1 for (_, column) in listed if column == name)


def test_sniff_lists_the_types_read_would_give(tmp_path, capsys):
    from quillon.cli import main

    source = tmp_path / "input.csv"
    source.write_text("n,day\n" + "".join(f"{i},2024-01-{i + 1:02}\n" for i in range(25)) + "x,2024-02-01\n")
    assert main(["sniff", "--types", "--json", str(source)]) == 0
    assert json.loads(capsys.readouterr().out)["types"] == {
        "n": {"type": "int64", "rejects": 1},
        "day": {"type": "date32", "rejects": 0},
    }


# ---- the reject log as a file ----

DAMAGED = "n,price,day\n" + "".join(f"{i},{i}.50,2024-01-{i % 28 + 1:02}\n" for i in range(40)) + 'x,"call, us",2024-02-30\n'


def cells_file(path) -> list[list[str]]:
    with open(path, newline="", encoding="utf-8") as handle:
        return list(csv.reader(handle))


@pytest.mark.parametrize("suffix", [".parquet", ".arrow"])
@pytest.mark.parametrize("logged", [True, False])
def test_salvage_to_a_table_file_keeps_types_only_with_the_log(tmp_path, suffix, logged):
    source = tmp_path / "in.csv"
    source.write_text(DAMAGED)
    cells = tmp_path / "cells.csv" if logged else None
    report = quillon.salvage(source, tmp_path / f"out{suffix}", cell_rejects_path=cells)
    out = tmp_path / f"out{suffix}"
    written = pa.ipc.open_file(out).read_all() if suffix == ".arrow" else pq.read_table(out)
    if logged:
        assert written.schema.types == [pa.int64(), pa.decimal128(38, 2), pa.date32()]
        assert written.column("price").null_count == 1
        # The file lists what quillon.read lists, line for line.
        listed = [[str(r["line"]), r["column"], r["text"], r["expected"]] for r in rejects_of(quillon.read(source))]
        assert cells_file(cells) == [["line", "column", "text", "expected"], *listed]
        assert listed[1] == ["42", "price", "call, us", "decimal128(38, 2)"]
        assert report.cell_rejects == {"n": 1, "price": 1, "day": 1} and report.column_types["day"] == "date32"
    else:
        assert written.schema.types == [pa.string()] * 3 and report.cell_rejects == {}
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", f"out{suffix}"]


@pytest.mark.parametrize(
    ("output", "cells", "message"),
    [
        ("out.csv", "cells.csv", "needs a Parquet or Arrow output"),
        ("out.parquet", "in.csv", "is the input"),
        ("out.parquet", "out.parquet", "is another output"),
        ("out.parquet", "q.csv", "is another output"),
    ],
)
def test_cell_rejects_path_refused_before_any_work(tmp_path, output, cells, message):
    (tmp_path / "in.csv").write_text(DAMAGED)
    with pytest.raises(ValueError, match=message):
        quillon.salvage(tmp_path / "in.csv", tmp_path / output, tmp_path / "q.csv", cell_rejects_path=tmp_path / cells)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


@pytest.mark.parametrize(
    ("args", "status", "said"),
    [
        (["in.csv", "out.csv", "--cell-rejects", "cells.csv"], 2, "needs a Parquet or Arrow output"),
        (["in.csv", "out.parquet", "--cell-rejects-dir", "d"], 2, "--cell-rejects-dir needs --out-dir"),
        (["--out-dir", "o", "in.csv", "--cell-rejects", "c.csv"], 2, "use --cell-rejects-dir"),
        (["--out-dir", "o", "in.csv", "--cell-rejects-dir", "d"], 2, "needs a Parquet or Arrow output"),
        (["--basic", "in.csv", "out.csv", "--cell-rejects", "c.csv"], 2, "needs the adaptive salvage"),
        (["in.csv", "out.parquet", "--cell-rejects", "c.csv", "--quiet"], 0, ""),
        (["--out-dir", "o", "--format", "arrow", "--cell-rejects-dir", "d", "in.csv", "--quiet"], 0, ""),
    ],
)
def test_cell_rejects_on_the_command_line(tmp_path, monkeypatch, capsys, args, status, said):
    from quillon.cli import main

    monkeypatch.chdir(tmp_path)
    (tmp_path / "in.csv").write_text(DAMAGED)
    assert main(["salvage", *args]) == status
    assert said in capsys.readouterr().err
    written = {"c.csv", "d/in.cells.csv"} & {str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")}
    if status == 0:
        (name,) = written
        assert len(cells_file(tmp_path / name)) == 4
    else:
        assert written == set()


@pytest.mark.parametrize("logged", [True, False])
def test_a_table_file_keeps_the_text_of_a_misfit_past_the_first_window(tmp_path, logged):
    # Integers for windows on end, then one amount with cents: without the
    # log the column is read again as strings, with it the cell is listed.
    from quillon._table_files import salvage_to_table_file

    data = b"id,amount\n" + b"".join(b"%d,%d\n" % (i, i) for i in range(3000)) + b"3000,12.50\n"
    out, cells = tmp_path / "out.parquet", tmp_path / "cells.csv"
    options = {"window_bytes": 2_000, "span_bytes": 500, "head_bytes": 500}
    values = salvage_to_table_file(data, str(out), "parquet", None, options, str(cells) if logged else None)
    amounts = pq.read_table(out).column("amount").to_pylist()
    if logged:
        assert amounts[-1] is None and values["cell_rejects"] == {"id": 0, "amount": 1}
        assert cells_file(cells)[1:] == [["3002", "amount", "12.50", "int64"]]
    else:
        assert amounts[-2:] == ["2999", "12.50"] and not cells.exists()
