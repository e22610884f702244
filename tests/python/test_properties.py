"""Properties of salvage_file and SalvageReader on generated damaged files.

For any input bytes and any options:
- the counts add up (total == salvaged + quarantined, repaired <= salvaged),
  salvage_file and SalvageReader agree, and every kept row has the column
  count unless it is 0;
- the rows of SalvageReader are the rows of the clean output file as the csv
  module reads it back with the delimiter and quote the run used, as long as
  the csv module can be given them: they differ and neither is CR or LF;
- salvaging the clean output again with the same delimiter, quote and column
  count gives the same file byte for byte and repairs and quarantines
  nothing. Preconditions: the delimiter and the quote are ASCII (a byte of
  0x80 and above is written as its two-byte UTF-8 form, which the engine
  then splits at its first byte), they differ, neither is CR or LF, and the
  output does not start with U+FEFF (a first field that begins with it is
  not quoted, and reading the output skips it as a byte-order mark).
"""

import csv
import os
import sys
from pathlib import Path

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import _quillon_backend

from conftest import read_csv_rows

BOM = b"\xef\xbb\xbf"
# Enough for CI; set QUILLON_PROPERTY_EXAMPLES for a long run by hand.
EXAMPLES = int(os.environ.get("QUILLON_PROPERTY_EXAMPLES", "300"))

# Pieces of damaged CSV: text, every delimiter the sniffer knows and a few it
# does not, both usual quotes alone and doubled, all line breaks, blanks,
# multi-byte characters, ill-formed UTF-8, NUL and the byte-order mark.
TOKENS = [
    b"a", b"bc", b"12", b"x y", b" ", b"\t", b",", b";", b"|", b'"', b"'", b'""', b'"a"', b"'b'",
    b"\n", b"\r\n", b"\r", b"\xc3\xa9", b"\xe2\x82\xac", b"\xc2\xa0", b"\xff", b"\xc3", b"\xed\xa0\x80",
    b"\x00", BOM,
]

FIELD_TEXT = st.text(alphabet=st.sampled_from(list('ab1 ,;|\t"\'\n\r\x00é€\ufeff')), max_size=6)


@st.composite
def tables(draw: st.DrawFn) -> bytes:
    """A delimited table with some quoting, then damaged: ragged rows, stray quotes, noise."""
    delimiter = draw(st.sampled_from([",", ";", "\t", "|"]))
    columns = draw(st.integers(1, 5))
    lines = []
    for _ in range(draw(st.integers(0, 12))):
        width = draw(st.sampled_from([columns, columns, columns, max(1, columns - 1), columns + 1]))
        fields = []
        for _ in range(width):
            text = draw(FIELD_TEXT)
            if draw(st.booleans()):
                text = '"' + text.replace('"', '""') + '"'
            fields.append(text)
        lines.append(delimiter.join(fields))
    data = "\n".join(lines).encode("utf-8")
    if draw(st.booleans()):
        data += b"\n"
    noise = draw(st.lists(st.tuples(st.integers(0, max(len(data), 1)), st.sampled_from(TOKENS)), max_size=3))
    for at, token in noise:
        data = data[:at] + token + data[at:]
    return data


soups = st.lists(st.sampled_from(TOKENS), max_size=40).map(b"".join)
inputs = st.one_of(soups, tables())

any_options = st.fixed_dictionaries(
    {
        "delimiter": st.sampled_from([None, None, ",", ";", "\t", "|", " ", '"', "'", "é", "\x00", "\n", "\r"]),
        "quote_char": st.sampled_from(['"', '"', "'", "|", ",", " ", "é", "\x00", "\n", "\r"]),
        "fill_ragged_rows": st.booleans(),
        "merge_overflow": st.booleans(),
        "expected_columns": st.one_of(st.none(), st.integers(0, 6)),
        "repair_quotes": st.booleans(),
    }
)


def byte_char(text: str) -> str:
    """The character the engine uses for a delimiter or quote option: its first UTF-8 byte."""
    return chr(text.encode("utf-8")[0]) if text else '"'


@pytest.fixture(scope="module")
def workdir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("properties")


@pytest.fixture(scope="module", autouse=True)
def unlimited_csv_fields():
    old = csv.field_size_limit(sys.maxsize)
    yield
    csv.field_size_limit(old)


class Run:
    def __init__(self, workdir: Path, data: bytes, options: dict) -> None:
        self.input = os.fspath(workdir / "input.csv")
        self.output = os.fspath(workdir / "output.csv")
        self.quarantine = os.fspath(workdir / "quarantine.csv")
        Path(self.input).write_bytes(data)
        self.summary = _quillon_backend.salvage_file(self.input, self.output, self.quarantine, **options)
        self.output_bytes = Path(self.output).read_bytes()
        reader = _quillon_backend.SalvageReader(self.input, **options)
        self.reader_length = len(reader)
        self.reader_summary = reader.summary
        self.rows = list(reader)


@settings(max_examples=EXAMPLES, deadline=None)
@given(data=inputs, options=any_options)
def test_counts_add_up_and_both_entries_agree(workdir: Path, data: bytes, options: dict) -> None:
    run = Run(workdir, data, options)
    s = run.summary
    assert s.total_rows == s.salvaged_rows + s.quarantined_rows
    assert s.repaired_rows <= s.salvaged_rows
    assert run.reader_summary.to_dict() == s.to_dict()
    assert run.reader_length == len(run.rows) == s.salvaged_rows
    if s.inferred_columns:
        assert all(len(row) == s.inferred_columns for row in run.rows)
    if options["delimiter"] and data:
        assert s.detected_delimiter == byte_char(options["delimiter"])
    if options["expected_columns"] is not None and data:
        assert s.inferred_columns == options["expected_columns"]

    quarantined = read_csv_rows(run.quarantine)
    assert quarantined[0] == ["line", "reason", "raw_content"]
    assert len(quarantined) == 1 + s.quarantined_rows
    lines = [int(entry[0]) for entry in quarantined[1:]]
    assert lines == sorted(lines)
    assert all(len(entry) == 3 for entry in quarantined[1:])


@settings(max_examples=EXAMPLES, deadline=None)
@given(data=inputs, options=any_options)
def test_reader_rows_are_the_clean_file_read_back(workdir: Path, data: bytes, options: dict) -> None:
    run = Run(workdir, data, options)
    delimiter = run.summary.detected_delimiter
    quote = byte_char(options["quote_char"])
    assume(delimiter != quote and delimiter not in "\r\n" and quote not in "\r\n")
    assert read_csv_rows(run.output, delimiter, quote) == run.rows


@settings(max_examples=EXAMPLES, deadline=None)
@given(data=inputs, options=any_options, repair_again=st.booleans())
def test_clean_output_salvages_to_itself(workdir: Path, data: bytes, options: dict, repair_again: bool) -> None:
    run = Run(workdir, data, options)
    delimiter = run.summary.detected_delimiter
    quote = byte_char(options["quote_char"])
    assume(delimiter < "\x80" and quote < "\x80")
    assume(delimiter != quote and delimiter not in "\r\n" and quote not in "\r\n")
    assume(not run.output_bytes.startswith(BOM))

    again = os.fspath(workdir / "again.csv")
    summary = _quillon_backend.salvage_file(
        run.output,
        again,
        delimiter=delimiter,
        quote_char=quote,
        expected_columns=run.summary.inferred_columns,
        fill_ragged_rows=options["fill_ragged_rows"],
        merge_overflow=options["merge_overflow"],
        repair_quotes=repair_again,
    )
    assert Path(again).read_bytes() == run.output_bytes
    assert summary.total_rows == summary.salvaged_rows == run.summary.salvaged_rows
    assert summary.repaired_rows == 0
    assert summary.quarantined_rows == 0
    if run.output_bytes:
        assert summary.detected_delimiter == delimiter
        assert summary.inferred_columns == run.summary.inferred_columns


@settings(max_examples=EXAMPLES // 10, deadline=None)
@given(
    cells=st.lists(st.sampled_from(["", "", "a", "bc", "12"]), min_size=1, max_size=12),
    threads=st.sampled_from([1, 2]),
)
def test_one_column_rows_of_an_empty_cell_reach_readers_that_skip_blank_lines(
    workdir: Path, cells: list[str], threads: int
) -> None:
    # quillon's clean file writes such a row as "", header included; with
    # two threads the input is long enough to be read in spans.
    import pandas
    import quillon

    lines = "".join(cell + "\n" for cell in cells)
    copies = 1 if threads == 1 else 1 + (3 << 20) // len(lines)
    Path(workdir / "input.csv").write_text(lines * copies)
    report = quillon.salvage(workdir / "input.csv", workdir / "output.csv", threads=threads)
    assume(report.salvaged_rows > 0)
    header = 1 if report.input.header else 0
    table = pandas.read_csv(workdir / "output.csv", header=0 if header else None, dtype=str)
    assert len(table) == report.salvaged_rows - header
