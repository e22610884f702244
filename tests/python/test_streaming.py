"""A salvage reads its input as a stream through a bounded window: for any
input, window, span, head and block sizes and thread count, the clean file,
the quarantine and the counts are those of the same input held in memory."""

from __future__ import annotations

import bz2
import gzip
import lzma
import os
from pathlib import Path

import pytest
import zstandard
from hypothesis import given, settings
from hypothesis import strategies as st

from quillon import _native
from quillon._sources import load_input
from quillon.adaptive import problems_of, salvage_loaded

ROWS = [
    b"1,plain,2.5", b"2,short", b"3,a,b,c", b'4,"two\nlines","x"', b'5,"runaway,x', b"id,name,amount",
    b"# comment", b"", b"6,caf\xe9,1", b"7,\xc3\xa9t\xc3\xa9,\r", b'8,"q ""in"" q",3', b"Total of all,99",
    b'"', b"9,,", b"\xef\xbb\xbfid,name,amount",
]


@st.composite
def exports(draw: st.DrawFn) -> bytes:
    """A damaged export longer than the input's last 16 KiB, which a stream
    holds back until its end for the notes below the table."""
    body = draw(st.lists(st.sampled_from(ROWS), min_size=1, max_size=20))
    ending = draw(st.sampled_from([b"\n", b"\r\n"]))
    data = b"Orders\n\nid,name,amount\n" + ending.join(body * (40_000 // len(ending.join(body) or b"x") + 1))
    tail = draw(st.lists(st.sampled_from(ROWS), max_size=4))
    return data + ending + ending.join(tail) + draw(st.sampled_from([b"", ending]))


def blocks_of(data: bytes, size: int):
    chunks = iter([data[i : i + size] for i in range(0, len(data), size)] + [b""])
    return lambda: next(chunks)


def salvaged(call, tmp: Path, name: str) -> tuple[bytes, bytes, dict]:
    out, rejects = tmp / f"{name}.csv", tmp / f"{name}.q"
    values = call(os.fspath(out), os.fspath(rejects))
    values.pop("window_grown_to")
    return out.read_bytes(), rejects.read_bytes(), values


# Head, window, span and block sizes from a few bytes up, any threads.
SIZES = {
    "head": st.integers(32, 4096),
    "window": st.integers(1, 3000),
    "span": st.integers(1, 600),
    "block": st.integers(100, 9000),
    "threads": st.integers(1, 3),
    "drop_footer": st.booleans(),
}


@settings(max_examples=60, deadline=None)
@given(data=exports(), **SIZES)
def test_streamed_run_is_the_run_in_memory(
    tmp_path_factory, data, head, window, span, block, threads, drop_footer
) -> None:
    tmp = tmp_path_factory.mktemp("stream")
    # Notes below the table kept: no 16 KiB is held back, and the window
    # is as small as asked.
    options = {"head_bytes": head, "threads": threads, "drop_footer": drop_footer}
    streamed = {**options, "window_bytes": window, "span_bytes": span}
    whole = salvaged(lambda o, q: _native.salvage_buffer(data, o, q, options), tmp, "whole")
    stream = salvaged(lambda o, q: _native.salvage_stream(blocks_of(data, block), o, q, streamed), tmp, "stream")
    assert stream == whole


COMPRESSORS = {
    "gzip": gzip.compress,
    "bzip2": bz2.compress,
    "xz": lzma.compress,
    "zstd": lambda data: zstandard.ZstdCompressor().compress(data),
}


@pytest.mark.parametrize("codec", COMPRESSORS)
def test_compressed_input_streams_with_progress_in_compressed_bytes(tmp_path: Path, codec: str) -> None:
    data = b"id,name\n" + b"".join(b"%d,row %d\n" % (i, i) for i in range(60_000)) + b"7,\"open"
    packed = tmp_path / "input.csv.x"
    packed.write_bytes(COMPRESSORS[codec](data))
    reports: list[tuple[int, int | None]] = []
    loaded = load_input(os.fspath(packed), stream=True, progress=lambda done, total: reports.append((done, total)))
    assert loaded.blocks is not None and loaded.compression == codec
    values = salvage_loaded(loaded, os.fspath(tmp_path / "s.csv"), None, {"head_bytes": 4096, "window_bytes": 50_000})
    whole = _native.salvage_buffer(data, os.fspath(tmp_path / "w.csv"), None, {})
    assert (tmp_path / "s.csv").read_bytes() == (tmp_path / "w.csv").read_bytes()
    assert values["salvaged_rows"] == whole["salvaged_rows"] and values["ends_in_open_quote"]
    assert reports[-1] == (packed.stat().st_size, packed.stat().st_size)
    assert loaded.size == len(data)


def test_cut_off_stream_keeps_what_decompressed_and_says_so(tmp_path: Path) -> None:
    packed = gzip.compress(b"a,b\n" + b"1,2\n" * 50_000)
    cut = tmp_path / "cut.csv.gz"
    cut.write_bytes(packed[: len(packed) // 2])
    outcomes = []
    for stream in (True, False):
        loaded = load_input(os.fspath(cut), stream=stream)
        out = tmp_path / f"out{stream}.csv"
        values = salvage_loaded(loaded, os.fspath(out), None, {})
        outcomes.append((out.read_bytes(), problems_of(loaded, values), loaded.size))
    assert outcomes[0] == outcomes[1]
    (problem,) = outcomes[0][1]
    assert problem.startswith("the input looks truncated: its gzip data ends after")


@pytest.mark.parametrize("window, grows", [(1_000, True), (1 << 20, False)])
def test_record_longer_than_the_window_grows_it_and_is_reported(tmp_path: Path, window: int, grows: bool) -> None:
    data = b"a,b\n1,\"" + b"z" * 300_000 + b"\"\n" + b"2,3\n" * 10_000
    source = tmp_path / "long.csv"
    source.write_bytes(data)
    loaded = load_input(os.fspath(source), stream=True)
    options = {"head_bytes": 64, "window_bytes": window, "span_bytes": 64}
    values = salvage_loaded(loaded, os.fspath(tmp_path / "out.csv"), None, options)
    assert values["salvaged_rows"] == 10_002
    warned = [p for p in problems_of(loaded, values) if "longer than the reading window" in p]
    assert bool(warned) == grows


@pytest.mark.parametrize("window, span", [(64, 16), (700, 90), (5_000, 4_096)])
def test_tables_below_the_first_are_found_past_the_head(tmp_path: Path, window: int, span: int) -> None:
    # A break at every window edge somewhere: tables told only by records the
    # next window brings, and a near-table (two rows) that is none.
    first = b"id,name,amount\n" + b"".join(b"%d,n%d,%d.5\n" % (i, i, i) for i in range(400))
    near = b"\nNotes\nk;v\nx;y\n" + b"".join(b"%d,m,1\n" % i for i in range(50))
    second = b"\n\nSheet 2\nk,v\n" + b"".join(b"%d,w\n" % i for i in range(300))
    third = b"\nwide,a,b,c\n" + b"1,2,3,4\n" * 5
    data = first + near + second + third
    # Notes below the table kept: no tail is held back, the window is small.
    options = {"head_bytes": 128, "threads": 2, "drop_footer": False}
    whole = salvaged(lambda o, q: _native.salvage_buffer(data, o, q, options), tmp_path, "whole")
    streamed = {**options, "window_bytes": window, "span_bytes": span}
    # Blocks of many sizes put the window's edge at every place of the breaks.
    for block in range(7, 140, 11):
        stream = salvaged(lambda o, q: _native.salvage_stream(blocks_of(data, block), o, q, streamed), tmp_path, "s")
        assert stream == whole, block
    assert [(t["line"], t["first_line"]) for t in stream[2]["other_tables"]] == [(458, "Sheet 2"), (761, "wide,a,b,c")]



@settings(max_examples=40, deadline=None)
@given(data=exports(), head=st.integers(32, 40_000), block=st.integers(100, 9000))
def test_detection_of_a_stream_or_file_is_that_of_the_input_in_memory(
    tmp_path_factory: pytest.TempPathFactory, data: bytes, head: int, block: int
) -> None:
    # Only the head is read of a file or a stream of blocks.
    path = tmp_path_factory.mktemp("detect") / "in.csv"
    path.write_bytes(data)
    options = {"head_bytes": head}
    held = _native.detect(data, options)
    assert _native.detect(os.fspath(path), options) == held
    assert _native.detect(blocks_of(data, block), options) == held


# ---- quillon.read as a stream ----


def lazy_rows(source, quarantine: str | None, options: dict, infer: bool = False):
    """The rows, figures and quarantine of a lazy read consumed as one stream."""
    import pyarrow as pa

    ended: list[bool] = []
    table = _native.read_lazy(source, quarantine, options, ended.append)
    table.type(infer, {}, 1)
    rows = pa.table(table).to_pylist()
    stats = table.stats()
    stats.pop("window_grown_to")
    return rows, stats, table.reject_counts, ended


@settings(max_examples=40, deadline=None)
@given(data=exports(), as_blocks=st.booleans(), **SIZES)
def test_lazy_read_hands_out_the_rows_of_the_read_held_whole(
    tmp_path_factory, data, head, window, span, block, threads, drop_footer, as_blocks
) -> None:
    import pyarrow as pa

    tmp = tmp_path_factory.mktemp("lazy")
    options = {"head_bytes": head, "threads": threads, "drop_footer": drop_footer}
    batches, whole = _native.read(data, os.fspath(tmp / "whole.q"), options)
    whole.pop("window_grown_to")
    streamed = {**options, "window_bytes": window, "span_bytes": span}
    source = blocks_of(data, block) if as_blocks else data
    rows, stats, counts, ended = lazy_rows(source, os.fspath(tmp / "lazy.q"), streamed)
    assert rows == pa.table(batches).to_pylist()
    assert stats == whole and counts == (0,) * len(batches.columns) and ended == [True]
    assert (tmp / "lazy.q").read_bytes() == (tmp / "whole.q").read_bytes()


@pytest.mark.parametrize("window", [200, 1 << 26])
def test_lazy_types_are_those_of_the_read_held_whole_within_the_first_window(window: int) -> None:
    import pyarrow as pa

    data = b"id,when,amount,flag\n" + b"".join(
        b"%d,2024-01-%02d,%d.25,%s\n" % (i, i % 28 + 1, i, b"true" if i % 2 else b"false") for i in range(3000)
    )
    options = {"window_bytes": window, "span_bytes": 64, "head_bytes": 256}
    rows, _, counts, _ = lazy_rows(data, None, options, infer=True)
    batches, values = _native.read(data, None, options)
    typed, _, _, whole_counts = _native.type_columns(batches, True, {}, values["delimiter"], 1)
    assert rows == pa.table(typed).to_pylist() and counts == whole_counts
