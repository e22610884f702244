"""Fields of one character: every ASCII character reads back as itself."""

from __future__ import annotations

import _quillon_backend as qb

# Every ASCII character but the ones that end or quote a field.
SINGLES = [chr(c) for c in range(128) if chr(c) not in ',"\r\n']


def test_each_ascii_character_alone_in_a_field(tmp_path):
    path = tmp_path / "singles.csv"
    path.write_bytes((",".join(SINGLES) + "\n" + ",".join(reversed(SINGLES)) + "\n").encode())
    rows = list(qb.SalvageReader(str(path), delimiter=",", expected_columns=0))
    assert rows == [SINGLES, SINGLES[::-1]]
    assert all(type(field) is str and len(field) == 1 for row in rows for field in row)


def test_one_character_next_to_empty_and_longer_fields(tmp_path):
    path = tmp_path / "mixed.csv"
    path.write_bytes("a,,bc,\u00e9,d\n,,,,\n".encode())
    rows = list(qb.SalvageReader(str(path)))
    assert rows == [["a", "", "bc", "\u00e9", "d"], ["", "", "", "", ""]]
