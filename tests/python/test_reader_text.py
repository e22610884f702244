"""SalvageReader's strs for text of any width: a field reads back as the code
points its bytes hold (ill-formed bytes as U+FFFD, as Python's "replace"
decoding gives them), built at the width the interpreter itself would choose,
which == checks: strs of equal text but different width compare unequal."""

from __future__ import annotations

import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quillon_backend as qb

EXAMPLES = int(os.environ.get("QUILLON_PROPERTY_EXAMPLES", "300"))

# Every byte but the ones that end or quote an unquoted field.
FIELD_BYTES = st.binary(max_size=24).map(lambda b: bytes(c for c in b if c not in b',"\r\n'))
# Well-formed pieces of every width, so that a field of arbitrary bytes often
# holds whole sequences next to broken ones.
PIECES = st.sampled_from(
    [b"a", b"\xc3\xa9", b"\xc2\xa0", b"\xc5\x82", b"\xe2\x82\xac", b"\xef\xbf\xbf", b"\xf0\x9f\x98\x80", b"\xf4\x8f\xbf\xbf"]
)
FIELDS = st.one_of(FIELD_BYTES, st.lists(st.one_of(PIECES, FIELD_BYTES), max_size=6).map(b"".join))


def read_back(tmp_path, body: bytes, columns: int) -> list[list[str]]:
    path = tmp_path / "text.csv"
    path.write_bytes(body)
    return list(qb.SalvageReader(str(path), delimiter=",", expected_columns=columns))


@settings(max_examples=EXAMPLES, deadline=None)
@given(rows=st.lists(st.lists(FIELDS, min_size=3, max_size=3), min_size=1, max_size=8))
def test_fields_of_any_bytes_read_back_decoded(tmp_path_factory, rows: list[list[bytes]]) -> None:
    # A leading row number keeps every line from being blank.
    lines = [b"n,x,y,z"] + [b",".join([str(i).encode(), *fields]) for i, fields in enumerate(rows)]
    got = read_back(tmp_path_factory.mktemp("text"), b"\n".join(lines) + b"\n", 4)
    assert got[1:] == [[str(i), *(f.decode("utf-8", "replace") for f in fields)] for i, fields in enumerate(rows)]


@pytest.mark.parametrize(
    "text",
    [
        "\u00e9",  # one byte wide, two UTF-8 bytes
        "caf\u00e9 \u00ff",  # widest of the one-byte width
        "\u0100",  # narrowest of the two-byte width
        "\u20ac\u00e9a",  # two bytes wide beside narrower characters
        "\uffff",  # widest of the two-byte width
        "\U00010000",  # narrowest of the four-byte width
        "a\u00e9\u20ac\U0001f600",  # all widths at once
        "\U0010ffff",  # the last code point
    ],
)
def test_width_of_each_boundary(tmp_path, text: str) -> None:
    rows = read_back(tmp_path, f"h,i\n{text},x\n".encode(), 2)
    assert rows == [["h", "i"], [text, "x"]]
