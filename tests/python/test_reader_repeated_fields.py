"""SalvageReader on columns of repeated values, whose strs a reader may hand
out more than once: each field still reads back as its own bytes decoded
(ill-formed bytes as U+FFFD), next to values that differ from it by a byte, a
NUL, the length or the width; a column may turn from unique to repeated
values and back; rows outlive their reader and a reader outlives its rows."""

from __future__ import annotations

import gc
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quillon_backend as qb

EXAMPLES = int(os.environ.get("QUILLON_PROPERTY_EXAMPLES", "300"))

# Near misses of one another: prefixes, one byte more or less, a trailing NUL,
# lengths on both sides of 8 and 16 bytes, the same letters in other widths,
# ill-formed UTF-8.
NEAR_VALUES = [
    b"ab", b"ab\x00", b"abc", b"abcdefg", b"abcdefgh", b"abcdefgi", b"abcdefghi", b"abcdefghijklmno",
    b"abcdefghijklmnop", b"abcdefghijklmnoq", b"abcdefghijklmnopq", b"bcdefghijklmnopa",
    b"\xc3\xa9t\xc3\xa9", b"\xc3\xa9t\xc3\xa8", b"\xe6\x9d\xb1\xe4\xba\xac", b"\xf0\x9f\x98\x80x",
    b"caf\xe9", b"caf\xc3\xa9", b"x\xff", b"x\xfe", b"\xed\xa0\x80ab", b"\xc0\xaf",
]  # fmt: skip
FIELD_BYTES = st.binary(max_size=20).map(lambda b: bytes(c for c in b if c not in b',"\r\n'))
FIELDS = st.one_of(st.sampled_from(NEAR_VALUES), FIELD_BYTES)


def write(tmp_path, lines: list[bytes], end: bytes = b"\n") -> str:
    path = tmp_path / "repeated.csv"
    path.write_bytes(b"\n".join(lines) + end)
    return str(path)


def decoded(lines: list[bytes]) -> list[list[str]]:
    return [[field.decode("utf-8", "replace") for field in line.split(b",")] for line in lines]


@settings(max_examples=EXAMPLES, deadline=None)
@given(
    pools=st.lists(st.lists(FIELDS, min_size=1, max_size=4), min_size=3, max_size=3),
    picks=st.lists(st.tuples(*[st.integers(0, 3)] * 3), min_size=1, max_size=80),
    final_line_break=st.booleans(),
)
def test_repeated_values_read_back_decoded(tmp_path_factory, pools, picks, final_line_break) -> None:
    # Each column draws from a pool of its own, so values repeat within a
    # column and near misses meet at the same place; the leading row number
    # keeps every line from being blank.
    lines = [b"n,x,y,z"] + [
        b",".join([str(i).encode(), *(pool[pick % len(pool)] for pool, pick in zip(pools, row))])
        for i, row in enumerate(picks)
    ]
    path = write(tmp_path_factory.mktemp("repeated"), lines, b"\n" if final_line_break else b"")
    assert list(qb.SalvageReader(path, delimiter=",", expected_columns=4)) == decoded(lines)


@pytest.mark.parametrize(
    "phases",
    [
        pytest.param(["unique", "repeated"], id="unique-then-repeated"),
        pytest.param(["repeated", "unique", "repeated"], id="repeated-unique-repeated"),
        pytest.param(["unique", "near"], id="unique-then-near-misses"),
    ],
)
def test_columns_that_change_character(tmp_path, phases) -> None:
    # Phases long enough for a column to stop looking values up and start again.
    values = {
        "unique": lambda i: b"u%07d" % i,
        "repeated": lambda i: [b"open", b"closed", b"on-hold", b"\xc3\xa9t\xc3\xa9"][i % 4],
        "near": lambda i: NEAR_VALUES[i % len(NEAR_VALUES)],
    }
    lines = [b"a,b"]
    for phase in phases:
        lines += [values[phase](i) + b"," + values[phase](i * 7) for i in range(40_000)]
    assert list(qb.open(write(tmp_path, lines), delimiter=",", expected_columns=2)) == decoded(lines)


REPEATED = [b"k,v"] + [
    b"%s,%s" % (b"left" if i % 3 else b"right", b"\xc3\xa9t\xc3\xa9" * (i % 2 + 1)) for i in range(3000)
]


def test_rows_outlive_their_reader(tmp_path) -> None:
    reader = qb.open(write(tmp_path, REPEATED))
    rows = [next(reader) for _ in range(2000)]
    del reader
    gc.collect()
    assert rows == decoded(REPEATED[:2000])


def test_reader_outlives_its_rows(tmp_path) -> None:
    reader = qb.open(write(tmp_path, REPEATED))
    for _ in range(2000):
        next(reader)
    gc.collect()
    assert list(reader) == decoded(REPEATED[2000:])
