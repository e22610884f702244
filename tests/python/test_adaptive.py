"""quillon.salvage and quillon.detect: the damage kinds they detect, the
lossless quarantine, argument checking, and the invariants that must hold
for any input bytes."""

import base64
import csv
import io
import os
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _quillon_backend
import quillon

EXAMPLES = int(os.environ.get("QUILLON_PROPERTY_EXAMPLES", "200"))


def run(tmp_path: Path, data: bytes, **options):
    # Any bytes: those that look binary too are salvaged, as --force would.
    source = tmp_path / "input.csv"
    source.write_bytes(data)
    report = quillon.salvage(source, tmp_path / "clean.csv", tmp_path / "rejected.csv", force=True, **options)
    clean = (tmp_path / "clean.csv").read_bytes().decode("utf-8")
    with open(tmp_path / "rejected.csv", newline="", encoding="utf-8") as f:
        rejected = list(csv.DictReader(f))
    return report, clean, rejected


def raw_bytes(entry: dict[str, str]) -> bytes:
    """The original bytes of a quarantine entry, as docs/files.md says to get them."""
    if entry["encoding"] == "base64":
        return base64.b64decode(entry["raw"])
    return entry["raw"].encode(entry["encoding"])


# Each damage kind: the input, the clean file, and what the report must say.
CASES = {
    "comma-space": (
        b'id, name, note\n1, "Smith, J", ok\n2, "Doe, A", fine\n',
        'id,name,note\n1,"Smith, J",ok\n2,"Doe, A",fine\n',
        {"skip_initial_space": True, "columns": 3},
    ),
    "title above the header": (
        b"SALES REPORT,,,\n,,,\nid,region,amount,date\n1,north,3.5,2024-01-02\n"
        b"2,south,4.25,2024-01-03\n3,east,1.0,2024-01-04\n",
        "id,region,amount,date\n1,north,3.5,2024-01-02\n2,south,4.25,2024-01-03\n"
        "3,east,1.0,2024-01-04\n",
        {"preamble_rows": 2, "header": True},
    ),
    "apostrophe quotes": (
        b"id,name,city\n1,'Smith, J',Paris\n2,'Doe, A',Rome\n3,'Li',Oslo\n",
        'id,name,city\n1,"Smith, J",Paris\n2,"Doe, A",Rome\n3,Li,Oslo\n',
        {"quote_char": "'"},
    ),
    "space delimited": (
        b"id name score\n1 alice 3.5\n2 bob 4.0\n3 carol 2.25\n",
        "id,name,score\n1,alice,3.5\n2,bob,4.0\n3,carol,2.25\n",
        {"delimiter": " "},
    ),
    "backslash escapes": (
        b'id,item,price\n1,"48\\" screen",199.99\n2,"12\\" pizza",9.50\n3,"cable",2.00\n',
        'id,item,price\n1,"48"" screen",199.99\n2,"12"" pizza",9.50\n3,cable,2.00\n',
        {"escape_char": "\\"},
    ),
    "concatenated exports": (
        b"id,name,score\n1,ann,3\n2,bob,4\nid,name,score\n3,cy,5\n",
        "id,name,score\n1,ann,3\n2,bob,4\n3,cy,5\n",
        {"header": True},
    ),
    "windows-1252": (
        "id,name\n1,José García\n2,Zoë\n3,Ørsted\n".encode("cp1252"),
        "id,name\n1,José García\n2,Zoë\n3,Ørsted\n",
        {"encoding": "windows-1252"},
    ),
    "utf-8 with a windows-1252 row": (
        "id,name\n1,Café\n2,".encode() + "José".encode("cp1252") + "\n3,Zoë\n".encode(),
        "id,name\n1,Café\n2,José\n3,Zoë\n",
        {"encoding": "utf-8+windows-1252"},
    ),
    "utf-16 with a mark": (
        "id\tname\n1\tJosé\n2\tZoë\n".encode("utf-16"),
        "id\tname\n1\tJosé\n2\tZoë\n",
        {"encoding": "utf-16-le", "delimiter": "\t"},
    ),
}


@pytest.mark.parametrize("kind", CASES)
def test_damage_kinds_come_out_clean(tmp_path, kind):
    data, expected, facts = CASES[kind]
    report, clean, rejected = run(tmp_path, data)
    assert clean == expected
    for name, value in facts.items():
        holder = report if name == "columns" else report.input
        assert getattr(holder, name) == value, name
    assert report.total_rows == report.salvaged_rows + report.quarantined_rows
    assert len(rejected) == report.quarantined_rows


def test_quarantine_keeps_each_record_byte_for_byte_with_its_place(tmp_path):
    body = b"".join(b"%d;name %d;note\r\n" % (i, i) for i in range(4, 10))
    data = (
        b"REPORT 2024;;\r\n;;\r\nid;name;note\r\n1;\"a\r\nb\";x\r\n"
        b"2;caf\xe9;y;z;w\r\nid;name;note\r\n3;c\r\n" + body
    )
    report, clean, rejected = run(tmp_path, data, fill_ragged_rows=False, merge_overflow=False)
    assert clean == 'id;name;note\n1;"a\r\nb";x\n' + body.decode().replace("\r\n", "\n")
    assert [(e["first_line"], e["last_line"], e["reason"]) for e in rejected] == [
        ("1", "1", "preamble"),
        ("2", "2", "preamble"),
        ("6", "6", "extra_columns"),
        ("7", "7", "repeated_header"),
        ("8", "8", "too_few_columns"),
    ]
    for entry in rejected:
        original = raw_bytes(entry)
        offset = int(entry["byte_offset"])
        assert data[offset : offset + len(original)] == original
    assert rejected[2]["encoding"] == "windows-1252"
    assert report.rejects == {
        "too_few_columns": 1, "extra_columns": 1, "preamble": 2, "repeated_header": 1, "comment": 0, "footer": 0, "other_table": 0,
    }


def test_given_options_are_used_as_given(tmp_path):
    data = b"a;b,c\n1;2,3\n"
    report, clean, _ = run(tmp_path, data, delimiter=";", quote_char="", header=False)
    assert clean == "a;b,c\n1;2,3\n"
    assert (report.input.delimiter, report.input.quote_char, report.input.header) == (";", None, False)
    report, clean, _ = run(tmp_path, data, delimiter=",", output_delimiter="|")
    assert clean == "a;b|c\n1;2|3\n"
    assert report.delimiter == "|"


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"delimiter": ",,"}, ValueError),
        ({"delimiter": "é"}, ValueError),
        ({"delimiter": 44}, TypeError),
        ({"quote_char": None, "escape_char": 1}, TypeError),
        ({"skip_rows": -1}, ValueError),
        ({"expected_columns": True}, TypeError),
        ({"header": "yes"}, TypeError),
        ({"encoding": "klingon"}, ValueError),
        ({"encoding": "euc_jp"}, ValueError),
        ({"output_delimiter": '"'}, ValueError),
        ({"threads": 0}, ValueError),
        ({"threads": 2.0}, TypeError),
        ({"threads": 5000}, ValueError),
    ],
)
def test_bad_arguments_fail_before_any_file_is_touched(tmp_path, options, error):
    source = tmp_path / "in.csv"
    source.write_bytes(b"a,b\n")
    with pytest.raises(error):
        quillon.salvage(source, tmp_path / "out.csv", **options)
    assert not (tmp_path / "out.csv").exists()


def test_io_failures_raise_the_matching_oserror(tmp_path):
    with pytest.raises(FileNotFoundError):
        quillon.salvage(tmp_path / "missing.csv", tmp_path / "out.csv")
    with pytest.raises(ValueError, match="quarantine path names the output file"):
        source = tmp_path / "in.csv"
        source.write_bytes(b"a\n")
        quillon.salvage(source, tmp_path / "o.csv", tmp_path / "o.csv")


def test_detect_answers_what_salvage_uses(tmp_path):
    source = tmp_path / "in.csv"
    source.write_bytes(b"TITLE\n\nx|y|z\n" + b"".join(b"%d|2|3\n" % i for i in range(8)))
    found = quillon.detect(source)
    report = quillon.salvage(source, tmp_path / "out.csv")
    assert found == report.input
    assert (found.delimiter, found.preamble_rows, found.columns) == ("|", 2, 3)


# Any bytes: the pieces of damaged CSV of every kind above.
PIECES = [
    b"a", b"12", b"2024-01-02", b" ", b",", b", ", b";", b"|", b"\t", b":", b'"', b"'", b"\\",
    b'\\"', b'""', b"\n", b"\r\n", b"\r", b"\xc3\xa9", b"\xe9", b"\xff\xfe", b"\x00", b"id,name\n",
]


# UTF-16 text of the same kind, as 16-bit units: lone surrogates of both
# kinds and a well-formed pair among them, and now and then an odd last byte.
UTF16_TEXT = ["a", "12", ",", ", ", ";", "\t", '"', '""', "\n", "\r\n", "\xe9", "id,name\n"]
UTF16_UNITS = [[ord(c) for c in piece] for piece in UTF16_TEXT] + [[0xD800], [0xDC00], [0xD83D, 0xDE00]]


@st.composite
def utf16_inputs(draw: st.DrawFn) -> bytes:
    order = draw(st.sampled_from(["little", "big"]))
    pieces = draw(st.lists(st.sampled_from(UTF16_UNITS), max_size=60))
    units = [0xFEFF] + [unit for piece in pieces for unit in piece]
    return b"".join(u.to_bytes(2, order) for u in units) + draw(st.sampled_from([b"", b"7"]))


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.one_of(st.lists(st.sampled_from(PIECES), max_size=60).map(b"".join), utf16_inputs()))
def test_every_record_is_kept_or_quarantined_exactly(tmp_path, data):
    report, clean, rejected = run(tmp_path, data)
    assert report.total_rows == report.salvaged_rows + report.quarantined_rows
    assert len(rejected) == report.quarantined_rows
    assert sum(report.rejects.values()) == report.quarantined_rows
    offsets = []
    for entry in rejected:
        original = raw_bytes(entry)
        offset = int(entry["byte_offset"])
        assert data[offset : offset + len(original)] == original
        offsets.append(offset)
    assert offsets == sorted(offsets)
    # The same bytes give the same files.
    again, clean_again, rejected_again = run(tmp_path, data)
    assert (again, clean_again, rejected_again) == (report, clean, rejected)


CELL = st.text(alphabet="abcxyz0123456789", min_size=1, max_size=5)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    st.sampled_from([",", ";", "\t", "|"]),
    st.integers(2, 6),
    st.lists(st.lists(CELL, min_size=6, max_size=6), min_size=2, max_size=20),
    st.booleans(),
)
def test_unambiguous_files_come_out_as_the_module_writes_them(tmp_path, delimiter, columns, rows, quote):
    header = [f"col{i}" for i in range(columns)]
    buffer = io.StringIO()
    writer = csv.writer(buffer, delimiter=delimiter, lineterminator="\n",
                        quoting=csv.QUOTE_ALL if quote else csv.QUOTE_MINIMAL)
    writer.writerow(header)
    for row in rows:
        writer.writerow(row[:columns])
    data = buffer.getvalue().encode()
    _, clean, rejected = run(tmp_path, data)
    _quillon_backend.salvage_file(os.fspath(tmp_path / "input.csv"), os.fspath(tmp_path / "module.csv"))
    assert clean == (tmp_path / "module.csv").read_text(encoding="utf-8")
    assert rejected == []


def _rows(count: int) -> list[str]:
    return [f"{i},item {i},{i}.50,2024-01-{i % 28 + 1:02d}" for i in range(count)]


@pytest.mark.parametrize(
    "damage",
    [
        lambda line: '"' + line,  # a stray quote opening the first field
        lambda line: line + ',"',  # a lone quote before the line end, in a field of its own
        lambda line: line.replace(",item", ',"item'),  # a stray quote opening a middle field
    ],
)
def test_one_runaway_quote_costs_at_most_its_own_row(tmp_path, damage):
    rows = _rows(10_000)
    damaged = rows.copy()
    damaged[4_321] = damage(rows[4_321])
    if damaged[4_321].endswith(',"'):
        rows = [row + "," for row in rows]
        damaged = [row + "," if i != 4_321 else row for i, row in enumerate(damaged)]
    header = "id,name,price,day" + ("," if rows[0].endswith(",") else "")
    data = "\n".join([header, *damaged]).encode() + b"\n"
    report, clean, rejected = run(tmp_path, data)
    kept = clean.splitlines()[1:]
    assert report.repairs["runaway_quote"] == 1
    assert sum(a != b for a, b in zip(kept, rows, strict=True)) <= 1
    assert rejected == []


def test_quoted_fields_across_lines_stay_whole(tmp_path):
    body = "".join(f'{i},"note {i}, first line\nsecond line",x\n' for i in range(50))
    report, clean, _ = run(tmp_path, ("id,note,flag\n" + body).encode())
    assert report.repairs["runaway_quote"] == 0
    assert report.total_rows == 51
    assert clean == "id,note,flag\n" + body


def test_threads_change_nothing_but_the_time(tmp_path):
    # Several MB, so that the input is read in spans: quoted line breaks on
    # many lines put cuts inside them, and rows of every kind fall in each.
    lines = [b"id,name,note"]
    for i in range(260_000):
        kind = i % 7
        if kind == 0:
            lines.append(b'%d,"two\nlines",ok' % i)
        elif kind == 1:
            lines.append(b"%d,short" % i)
        elif kind == 2:
            lines.append(b"%d,a,b,c" % i)
        else:
            lines.append(b"%d,caf\xc3\xa9,row" % i)
    source = tmp_path / "in.csv"
    source.write_bytes(b"\n".join(lines) + b"\n")
    results = []
    for threads in (1, 2, 3):
        out, rejects = tmp_path / f"out{threads}.csv", tmp_path / f"q{threads}.csv"
        report = quillon.salvage(source, out, rejects, threads=threads, fill_ragged_rows=False)
        table = quillon.read(source, threads=threads, fill_ragged_rows=False).to_arrow()
        counts = {k: v for k, v in report.to_dict().items() if not k.endswith("path")}
        results.append((counts, out.read_bytes(), rejects.read_bytes(), table))
    assert results[0][0]["quarantined_rows"] > 0
    for other in results[1:]:
        assert other[:3] == results[0][:3]
        assert other[3].equals(results[0][3])


@pytest.mark.parametrize(
    "below, reject",
    [(b"\nSheet 2\nk,v\n" + b"".join(b"%d,w\n" % i for i in range(50)), "other_table"), (b"\nTotal,700000\n", "footer")],
)
def test_a_file_read_in_halves_gives_the_one_thread_result(tmp_path, below, reject):
    # Over 16 MB: two threads read its halves at once and detect as they
    # read; a second table or notes below the table, told by the last bytes,
    # must come out as one thread finds them.
    rows = b"".join(b'%d,"n%d",%d.5\n' % (i, i, i) for i in range(700_000))
    source = tmp_path / "in.csv"
    source.write_bytes(b"Report\nid,name,amount\n" + rows + below)
    assert source.stat().st_size > 16 << 20
    results = []
    for threads in (1, 2):
        out, rejects = tmp_path / f"out{threads}.csv", tmp_path / f"q{threads}.csv"
        report = quillon.salvage(source, out, rejects, threads=threads)
        counts = {k: v for k, v in report.to_dict().items() if not k.endswith("path")}
        results.append((counts, out.read_bytes(), rejects.read_bytes()))
    assert results[0][0]["rejects"][reject] > 0
    assert results[1] == results[0]
