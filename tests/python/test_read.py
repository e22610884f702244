"""quillon.read: the salvaged rows through the Arrow PyCapsule interface into
pyarrow, polars, DuckDB and pandas, the ownership rules of the exported
structs, and the table's schema."""

import ctypes
import dataclasses
import gc
import inspect
import sys
import os
from pathlib import Path

import duckdb
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from conftest import read_csv_rows
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon
from quillon._option_table import READ_ONLY_OPTIONS

EXAMPLES = int(os.environ.get("QUILLON_PROPERTY_EXAMPLES", "200"))


# ---- the four consumers, each giving rows of str or None ----


def via_pyarrow(t):
    table = pa.table(t)
    # Offsets, views and UTF-8 checked cell by cell.
    table.validate(full=True)
    return [list(row) for row in zip(*(c.to_pylist() for c in table.columns))] if table.num_columns else []


def via_reader(t):
    return via_pyarrow(pa.RecordBatchReader.from_stream(t).read_all())


def via_polars(t):
    return [list(row) for row in pl.DataFrame(t).rows()]


def via_duckdb(t):
    return [list(row) for row in duckdb.sql("select * from t").fetchall()]


def via_pandas(t):
    frame = pd.DataFrame.from_arrow(t)
    return [[None if pd.isna(v) else v for v in row] for row in frame.itertuples(index=False)]


CONSUMERS = {
    "pyarrow": via_pyarrow,
    "pyarrow-reader": via_reader,
    "polars": via_polars,
    "duckdb": via_duckdb,
    "pandas": via_pandas,
}


def salvaged(tmp_path: Path, data: bytes, **options):
    """The table read from the bytes, and the rows of the clean file that
    quillon.salvage writes for them (the header row apart when the table
    took its names from it)."""
    source = tmp_path / "input.csv"
    source.write_bytes(data)
    report = quillon.salvage(source, tmp_path / "clean.csv", force=True, **options)
    rows = read_csv_rows(str(tmp_path / "clean.csv"), delimiter=report.delimiter)
    # The rows as text, as salvage writes them; typed columns are
    # test_typed_read's.
    t = quillon.read(source, force=True, types=False, **options)
    header = None
    if len(rows) == len(t) + 1:
        header, rows = rows[0], rows[1:]
    else:
        assert len(rows) == len(t)
    return t, header, rows


def padded(rows, width):
    return [row + [None] * (width - len(row)) for row in rows]


INPUTS = {
    "damaged example": Path(__file__).resolve().parents[2].joinpath("examples", "damaged.csv").read_bytes(),
    "semicolons and quoted line breaks": b'id;note\n1;"two\nlines"\n2;"a;b"\n3;plain\n',
    "windows-1252": "id,name\n1,Jos\u00e9\n2,Fran\u00e7ois\n3,M\u00fcller\n".encode("cp1252"),
    "utf-16 with mark": "id\tname\n1\t\u65e5\u672c\n2\tZo\u00eb\n".encode("utf-16"),
    "ill-formed utf-8": b"id,name\n1,ab\xff\xfecd\n2,\xc3\x28x\n3,\xe2\x82\n",
    "non-ascii": "id,name\n1,\u7f8e\u54b2\n2,Dvo\u0159\u00e1k\n3,\U0001f600 emoji\n".encode(),
    "preamble and repeated header": b"EXPORT\n\nid,v\n1,a\n2,b\nid,v\n3,c\n",
    "no header": b"1,2.5,2020-01-01\n2,3.5,2020-01-02\n3,4.5,2020-01-03\n",
}


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("name", INPUTS)
def test_each_consumer_gets_the_clean_file_rows(tmp_path, name, consumer):
    t, header, rows = salvaged(tmp_path, INPUTS[name])
    if header is not None:
        assert t.columns == header
    else:
        assert t.columns == [f"column_{i + 1}" for i in range(len(t.columns))]
    assert CONSUMERS[consumer](t) == rows


@pytest.mark.parametrize("consumer", CONSUMERS)
def test_column_check_off_pads_short_rows_with_nulls(tmp_path, consumer):
    t, header, rows = salvaged(tmp_path, b"a,b\n1\n2,x,y,z\n\n3,4\n", expected_columns=0, header=True)
    assert header == ["a", "b"]
    assert t.columns == ["a", "b", "column_3", "column_4"]
    assert rows == [["1"], ["2", "x", "y", "z"], [""], ["3", "4"]]
    assert CONSUMERS[consumer](t) == padded(rows, 4)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    data=st.binary(max_size=300)
    | st.lists(st.sampled_from([b"a", b",", b'"', b"\n", b"\r", b";", b"\xe9", b"\xff", b"\t", b" "]), max_size=60).map(
        b"".join
    ),
    columns=st.sampled_from([None, 0]),
)
def test_any_bytes_give_the_clean_file_rows(tmp_path, data, columns):
    t, header, rows = salvaged(tmp_path, data, expected_columns=columns)
    # Only a header that the run found is ever taken for names.
    assert header is None or t.report.input.header
    width = len(t.columns)
    assert via_pyarrow(t) == padded(rows, width)
    assert width >= max((len(row) for row in rows), default=0)


# ---- schema ----


@pytest.mark.parametrize(
    "data, options, columns",
    [
        (b"id,,name, \n1,2,3,4\n5,6,7,8\n", {"header": True}, ["id", "column_2", "name", "column_4"]),
        (b"a,a,b,a\n1,2,3,4\n", {"header": True}, ["a", "a_2", "b", "a_3"]),
        (b"a,a,a_2\n1,2,3\n", {"header": True}, ["a", "a_3", "a_2"]),
        (b"id,name\n1,Ada\n", {"header": False}, ["column_1", "column_2"]),
        (b"1,2,3\n4,5,6\n", {}, ["column_1", "column_2", "column_3"]),
        (b"x,y,z\n4,5,6\n", {"header": True}, ["x", "y", "z"]),
    ],
)
def test_column_names(tmp_path, data, options, columns):
    t, _, rows = salvaged(tmp_path, data, **options)
    assert t.columns == columns
    assert pa.table(t).column_names == columns
    assert pl.DataFrame(t).columns == columns
    assert via_pyarrow(t) == rows


def test_header_set_aside_leaves_numbered_columns(tmp_path):
    # The header has too few fields and short rows are not padded: the table
    # must not take the first data row for names.
    t, header, rows = salvaged(tmp_path, b"id\n1,Ada\n2,Grace\n", header=True, expected_columns=2, fill_ragged_rows=False)
    assert header is None
    assert t.columns == ["column_1", "column_2"]
    assert via_pyarrow(t) == rows == [["1", "Ada"], ["2", "Grace"]]


@pytest.mark.parametrize("consumer", CONSUMERS)
def test_header_only_file(tmp_path, consumer):
    t, header, rows = salvaged(tmp_path, b"id,name\n", header=True)
    assert (header, rows, len(t)) == (["id", "name"], [], 0)
    assert CONSUMERS[consumer](t) == []
    assert pa.table(t).schema == pa.schema([("id", pa.string()), ("name", pa.string())])


# DuckDB takes no table without columns, which is what an empty file gives.
@pytest.mark.parametrize("consumer", [c for c in CONSUMERS if c != "duckdb"])
def test_empty_file(tmp_path, consumer):
    t, header, rows = salvaged(tmp_path, b"")
    assert (header, rows, len(t), t.columns) == (None, [], 0, [])
    assert CONSUMERS[consumer](t) == []


@pytest.mark.parametrize(
    "arrow_type", [pa.string(), pa.large_string(), pa.string_view()], ids=["utf8", "large_utf8", "string_view"]
)
def test_requested_schema_is_followed(tmp_path, arrow_type):
    t, header, rows = salvaged(tmp_path, "id,name\n1,a long name of text\n2,\u00e9\n3,\n".encode())
    schema = pa.schema([("key", arrow_type), ("value", arrow_type)])
    table = pa.table(t, schema=schema)
    assert table.schema == schema
    assert via_pyarrow(table) == rows
    assert pa.RecordBatchReader.from_stream(t, schema=schema).schema == schema
    # Not one field per column, or not strings: the table's own schema.
    for other in (pa.schema([("a", pa.string())]), pa.schema([("a", pa.int64()), ("b", pa.string())])):
        assert pa.RecordBatchReader.from_stream(t, schema=other).schema == pa.table(t).schema


# ---- a table read as it is consumed ----


# Windows small enough that the test inputs span many of them.
SMALL_WINDOWS = {"window_bytes": 2_000, "span_bytes": 500, "head_bytes": 500}
# Rows of every shape: kept, padded, merged, repeated headers set aside.
LONG_EXPORT = b"id,name,amount\n" + b"".join(
    b"%d,name %d,%d\n%d,short\n%d,a,b,c,d\nid,name,amount\n" % (i, i, i, i, i) if i % 50 == 7
    else b"%d,name %d,%d\n" % (i, i, i)
    for i in range(4000)
)


@pytest.fixture
def small_windows(monkeypatch):
    """quillon.read through windows of a few KB for the inputs below; gives
    a read of its own through the usual 64 MB window, which holds them whole."""
    import quillon.table

    detected = quillon.table.for_input
    monkeypatch.setattr(quillon.table, "for_input", lambda options, head: {**detected(options, head), **SMALL_WINDOWS})

    def read_whole(*args, **options):
        with monkeypatch.context() as usual:
            usual.setattr(quillon.table, "for_input", detected)
            return quillon.read(*args, **options)

    return read_whole


@pytest.mark.parametrize("consume, placed", [
    (lambda t: pa.table(t), True),
    (lambda t: len(t), True),
    (lambda t: pa.RecordBatchReader.from_stream(t).read_next_batch(), False),
    (lambda t: None, False),
])
def test_quarantine_is_put_in_place_when_the_input_was_read_to_its_end(tmp_path, small_windows, consume, placed):
    (tmp_path / "eager").mkdir()
    eager = small_windows(LONG_EXPORT, tmp_path / "eager" / "q.csv")
    assert eager.report.quarantined_rows > 0
    t = quillon.read(LONG_EXPORT, tmp_path / "q.csv")
    assert not (tmp_path / "q.csv").exists()
    consume(t)
    del t
    gc.collect()
    assert (tmp_path / "q.csv").exists() == placed
    if placed:
        assert (tmp_path / "q.csv").read_bytes() == (tmp_path / "eager" / "q.csv").read_bytes()
    # A stream abandoned part way leaves no temporary file behind.
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["eager"] + ["q.csv"] * placed)


def test_figures_after_a_stream_are_those_of_the_table_held_whole(tmp_path, small_windows):
    eager = small_windows(LONG_EXPORT, tmp_path / "q.csv")
    t = quillon.read(LONG_EXPORT, tmp_path / "q.csv")
    assert repr(t) == f"<SalvagedTable rows=? columns={t.columns!r}>"
    assert pa.table(t).equals(pa.table(eager))
    assert len(t) == len(eager) and t.schema == eager.schema
    assert t.report == dataclasses.replace(eager.report, quarantine_path=str(tmp_path / "q.csv"))


@pytest.mark.parametrize("consumer", CONSUMERS)
def test_each_consumer_reads_a_table_of_many_windows(small_windows, consumer):
    # DuckDB pulls the stream from threads of its own.
    assert CONSUMERS[consumer](quillon.read(LONG_EXPORT)) == CONSUMERS[consumer](small_windows(LONG_EXPORT))


def test_figures_asked_while_a_stream_is_under_way_are_refused(tmp_path, small_windows):
    t = quillon.read(LONG_EXPORT)
    reader = pa.RecordBatchReader.from_stream(t)
    reader.read_next_batch()
    for ask in (len, lambda t: t.report, lambda t: t.cell_rejects, lambda t: t.schema):
        with pytest.raises(RuntimeError, match="has not reached its end"):
            ask(t)
    assert sum(b.num_rows for b in reader) > 0


def _file_object(tmp_path):
    path = tmp_path / "input.csv"
    path.write_bytes(LONG_EXPORT)
    return open(path, "rb")  # noqa: SIM115 - read by the table


def _gzip_path(tmp_path):
    path = tmp_path / "input.csv.gz"
    path.write_bytes(__import__("gzip").compress(LONG_EXPORT))
    return path


def _plain_path(tmp_path):
    path = tmp_path / "input.csv"
    path.write_bytes(LONG_EXPORT)
    return path


@pytest.mark.parametrize("source, again", [
    (_plain_path, True),
    (_gzip_path, True),
    (lambda tmp_path: LONG_EXPORT, True),
    (_file_object, False),
])
def test_a_second_stream_reads_the_input_again_or_is_refused(tmp_path, small_windows, source, again):
    expected = pa.table(small_windows(LONG_EXPORT))
    t = quillon.read(source(tmp_path))
    assert pa.table(t).equals(expected)
    if again:
        assert pa.table(t).equals(expected)
    else:
        with pytest.raises(RuntimeError, match="cannot be read again"):
            pa.table(t)
    # Held whole (figures asked first), any source streams from memory.
    held = quillon.read(source(tmp_path))
    assert len(held) == expected.num_rows
    assert pa.table(held).equals(expected) and pa.table(held).equals(expected)


def test_types_come_from_the_first_window_and_later_misfits_are_rejects(tmp_path, small_windows):
    # Integers for the first windows, then amounts with cents.
    data = b"id,amount\n" + b"".join(b"%d,%d\n" % (i, i) for i in range(3000)) + b"3000,12.50\n3001,7\n"
    t = quillon.read(data)
    assert t.schema["amount"] == quillon.ColumnSchema("int64", 1)
    assert pa.table(t.cell_rejects).to_pylist() == [
        {"line": 3002, "column": "amount", "text": "12.50", "expected": "int64"},
    ]
    assert pa.table(t).column("amount").to_pylist()[-2:] == [None, 7]
    # The same rows within one window: the type reads every cell.
    assert small_windows(data).schema["amount"].type == "decimal128(38, 2)"


# ---- the table object ----


def test_table_attributes_and_report(tmp_path):
    source = tmp_path / "input.csv"
    source.write_bytes(INPUTS["damaged example"])
    t = quillon.read(source, tmp_path / "rejected.csv", types=False)
    report = quillon.salvage(source, tmp_path / "clean.csv", tmp_path / "salvage-rejected.csv")
    assert (tmp_path / "rejected.csv").read_bytes() == (tmp_path / "salvage-rejected.csv").read_bytes()
    # Only a table has column types: strings here, with no cell rejected.
    assert t.report == dataclasses.replace(
        report,
        output_path=None,
        quarantine_path=str(tmp_path / "rejected.csv"),
        column_types=dict.fromkeys(t.columns, "string"),
        cell_rejects=dict.fromkeys(t.columns, 0),
    )
    assert len(t) == report.salvaged_rows - 1
    assert t.columns == ["id", "name", "city", "note"]
    assert repr(t) == f"<SalvagedTable rows={len(t)} columns={t.columns!r}>"
    assert t.to_arrow().equals(pa.table(t))
    assert t.to_polars().equals(pl.DataFrame(t))
    assert t.to_pandas().equals(pd.DataFrame.from_arrow(t))


@pytest.mark.parametrize("method, module", [("to_arrow", "pyarrow"), ("to_polars", "polars"), ("to_pandas", "pandas"), ("to_pandas", "pyarrow")])
def test_missing_library_names_the_package(tmp_path, monkeypatch, method, module):
    t, _, _ = salvaged(tmp_path, b"a\n1\n")
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=rf"needs the {module} package: pip install {module}"):
        getattr(t, method)()


# ---- salvage into Parquet and Arrow IPC files, chosen by the output's suffix ----


def read_without_loss(source, **options):
    """quillon.read's table with a column whose cells do not all fit its type
    kept as strings, as a Parquet or Arrow file from salvage holds it."""
    t = quillon.read(source, **options)
    misfits = {name: "string" for name, count in t.report.cell_rejects.items() if count}
    return quillon.read(source, dtypes=misfits, **options) if misfits else t


def read_parquet(path):
    import pyarrow.parquet as pq

    return pq.read_table(path)


def read_ipc(path):
    with pa.memory_map(str(path)) as source:
        return pa.ipc.open_file(source).read_all()


@pytest.mark.parametrize("name, suffix, reader", [
    ("damaged example", ".parquet", read_parquet),
    ("preamble and repeated header", ".PQ", read_parquet),
    ("no header", ".arrow", read_ipc),
    ("damaged example", ".feather", read_ipc),
    ("utf-16 with mark", ".ipc", read_ipc),
])
def test_columnar_output_holds_the_rows_of_read(tmp_path, name, suffix, reader):
    source = tmp_path / "input.csv"
    source.write_bytes(INPUTS[name])
    quillon.salvage(source, tmp_path / "clean.csv", tmp_path / "csv-rejects.txt")
    report = quillon.salvage(source, tmp_path / f"clean{suffix}", tmp_path / "rejects.txt")
    assert reader(tmp_path / f"clean{suffix}").equals(pa.table(read_without_loss(source)))
    assert (tmp_path / "rejects.txt").read_bytes() == (tmp_path / "csv-rejects.txt").read_bytes()
    assert report.salvaged_rows == quillon.salvage(source, tmp_path / "again.csv").salvaged_rows


def test_columnar_output_keeps_a_column_with_misfits_as_text(tmp_path):
    source = tmp_path / "input.csv"
    source.write_bytes(b"id,qty\n" + b"".join(b"%d,%d\n" % (i, i * 3) for i in range(40)) + b"40,12 kg\n")
    quillon.salvage(source, tmp_path / "clean.parquet")
    written = read_parquet(tmp_path / "clean.parquet")
    assert written.schema.types == [pa.int64(), pa.string()]
    assert written.column("qty").to_pylist()[-1] == "12 kg"
    assert quillon.read(source).report.cell_rejects == {"id": 0, "qty": 1}


@pytest.mark.parametrize("setup, error", [
    (lambda monkeypatch: None, ValueError),  # output_delimiter is for CSV only
    (lambda monkeypatch: monkeypatch.setitem(sys.modules, "pyarrow", None), ImportError),
])
def test_columnar_output_refused_before_any_work(tmp_path, monkeypatch, setup, error):
    source = tmp_path / "input.csv"
    source.write_bytes(b"a,b\n1,2\n")
    setup(monkeypatch)
    options = {"output_delimiter": ";"} if error is ValueError else {}
    with pytest.raises(error):
        quillon.salvage(source, tmp_path / "out.parquet", tmp_path / "rejects.txt", **options)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["input.csv"]


def test_options_are_those_of_salvage():
    ours = inspect.signature(quillon.read).parameters
    theirs = inspect.signature(quillon.salvage).parameters
    # No clean file: neither its path nor its delimiter, nor the file of its
    # cell rejects (the table holds them); and the column types, which only
    # a table has, come last.
    read_only = [o.keyword for o in READ_ONLY_OPTIONS]
    assert list(ours)[-len(read_only) :] == read_only
    shared = [p for name, p in ours.items() if name not in read_only]
    file_only = ("output_path", "cell_rejects_path", "output_delimiter")
    assert shared == [p for name, p in theirs.items() if name not in file_only]


def test_bad_arguments_fail_before_reading(tmp_path):
    with pytest.raises(TypeError):
        quillon.read(42)
    with pytest.raises(ValueError):
        quillon.read(tmp_path / "missing.csv", delimiter=",,")
    with pytest.raises(FileNotFoundError):
        quillon.read(tmp_path / "missing.csv")
    with pytest.raises(TypeError):
        quillon.read(tmp_path / "missing.csv", output_delimiter=";")


def test_ctrl_c_ends_a_read_that_blocks(tmp_path):
    from test_interrupt import interrupt_blocked_child

    def writer_that_never_writes(fifo: str) -> int:
        return os.open(fifo, os.O_RDWR)

    call = "__import__('quillon').read(fifo)"
    interrupt_blocked_child(tmp_path, "raising handler", call, b"", writer_that_never_writes)


# ---- ownership of the exported structs, through ctypes as a C consumer sees them ----


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))),
    ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))),
    ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))),
    ("private_data", ctypes.c_void_p),
]

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def struct_in(capsule, name: bytes, kind):
    return kind.from_address(_get_pointer(capsule, name))


def released(struct) -> bool:
    return not ctypes.cast(struct.release, ctypes.c_void_p).value


ROWS = [[str(i), "value number %d, long enough not to sit inline" % i] for i in range(3000)]
DATA = ("id,text\n" + "".join(f'{a},"{b}"\n' for a, b in ROWS)).encode()


@pytest.fixture
def table(tmp_path):
    source = tmp_path / "input.csv"
    source.write_bytes(DATA)
    return quillon.read(source, types=False)


def test_consumer_takes_the_stream_over(table):
    capsule = table.__arrow_c_stream__()
    stream = struct_in(capsule, b"arrow_array_stream", ArrowArrayStream)
    assert not released(stream)
    reader = pa.RecordBatchReader._import_from_c_capsule(capsule)
    # The capsule's struct was moved out: its destructor only frees the struct.
    assert released(stream)
    del capsule
    assert via_pyarrow(reader.read_all()) == ROWS


def test_each_stream_starts_anew(table):
    first = pa.RecordBatchReader.from_stream(table)
    second = pa.RecordBatchReader.from_stream(table)
    head = first.read_next_batch()
    assert via_pyarrow(second.read_all()) == ROWS
    assert via_pyarrow(pa.Table.from_batches([head, *first])) == ROWS


def test_schema_and_batches_outlive_the_stream_and_the_table(table):
    capsule = table.__arrow_c_stream__()
    stream = struct_in(capsule, b"arrow_array_stream", ArrowArrayStream)
    schema, batch = ArrowSchema(), ArrowArray()
    assert stream.get_schema(ctypes.byref(stream), ctypes.byref(schema)) == 0
    assert stream.get_next(ctypes.byref(stream), ctypes.byref(batch)) == 0
    assert stream.get_last_error(ctypes.byref(stream)) is None
    stream.release(ctypes.byref(stream))
    assert released(stream)
    del capsule, stream
    rows = len(table)
    del table
    gc.collect()
    imported = pa.RecordBatch._import_from_c(ctypes.addressof(batch), ctypes.addressof(schema))
    assert released(batch) and released(schema)
    assert 0 < imported.num_rows <= rows
    assert via_pyarrow(pa.Table.from_batches([imported])) == ROWS[: imported.num_rows]


def test_a_child_moved_out_outlives_its_parent(table):
    capsule = table.__arrow_c_stream__()
    stream = struct_in(capsule, b"arrow_array_stream", ArrowArrayStream)
    batch = ArrowArray()
    assert stream.get_next(ctypes.byref(stream), ctypes.byref(batch)) == 0
    # Moving: copy the struct, mark the source released.
    child = ArrowArray()
    ctypes.memmove(ctypes.addressof(child), batch.children[1], ctypes.sizeof(ArrowArray))
    batch.children[1][0].release = type(batch.release)()
    batch.release(ctypes.byref(batch))
    assert released(batch)
    del capsule, stream, table
    gc.collect()
    column = pa.Array._import_from_c(ctypes.addressof(child), pa.string())
    assert column.to_pylist() == [text for _, text in ROWS[: len(column)]]


def test_end_of_stream_is_a_released_array(table):
    capsule = table.__arrow_c_stream__()
    stream = struct_in(capsule, b"arrow_array_stream", ArrowArrayStream)
    seen = 0
    while True:
        batch = ArrowArray()
        assert stream.get_next(ctypes.byref(stream), ctypes.byref(batch)) == 0
        if released(batch):
            break
        seen += batch.length
        batch.release(ctypes.byref(batch))
    assert seen == len(table)


# ---- memory over many calls: consumed, half consumed, dropped unconsumed ----

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


@pytest.fixture(scope="module")
def medium(tmp_path_factory):
    path = tmp_path_factory.mktemp("read") / "medium.csv"
    with open(path, "w") as f:
        f.write("id,name,city,note\n")
        for i in range(40000):
            f.write(f'{i},name {i},"city, {i % 97}",note of row {i} with a few words\n')
    return path


def half_consumed(path):
    reader = pa.RecordBatchReader.from_stream(quillon.read(path))
    reader.read_next_batch()


# AddressSanitizer holds freed memory in quarantine, so resident memory
# grows under it whether or not anything leaks.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan keeps freed memory")
@pytest.mark.parametrize(
    "action",
    [
        lambda p: pa.table(quillon.read(p)),
        lambda p: pl.DataFrame(quillon.read(p)),
        lambda p: quillon.read(p).__arrow_c_stream__(),
        half_consumed,
    ],
    ids=["pyarrow", "polars", "stream dropped unconsumed", "half consumed"],
)
def test_memory_does_not_grow_over_repeated_reads(medium, action):
    # Each call holds about 3 MB of batches: a leak of them, or of the text
    # of one batch, adds up to far more than the limit over 100 calls. The
    # worker threads are the process's, kept between calls, so a short
    # warm-up makes them and their allocator arenas once.
    for _ in range(10):
        action(medium)
    before = rss()
    for _ in range(100):
        action(medium)
    assert rss() - before < 24 * 1024 * 1024


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan keeps freed memory")
def test_dropped_schema_capsules_free_their_structs(medium):
    # A schema is about 1 KB of small allocations: only many calls show a leak.
    t = quillon.read(medium)
    for _ in range(2000):
        t.__arrow_c_schema__()
    before = rss()
    for _ in range(20000):
        t.__arrow_c_schema__()
    assert rss() - before < 6 * 1024 * 1024
