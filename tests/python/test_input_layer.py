"""One input layer for every entry point: paths (plain or compressed), bytes,
binary file objects, standard input; and input that is not delimited text
refused unless forced."""

import bz2
import gzip
import io
import json
import lzma
import os
import random
import subprocess
import sys
import zipfile

import pytest
import zstandard

import quillon
from test_cli import run_quillon

DATA = b"id;name;amount\n" + b"".join(b"%d;name %d;%d,5\n" % (i, i, i) for i in range(300)) + b"300;short\n"

COMPRESSIONS = {
    "plain": lambda d: d,
    "gzip": gzip.compress,
    "bzip2": bz2.compress,
    "xz": lzma.compress,
    "zstd": lambda d: zstandard.ZstdCompressor().compress(d),
}

# How each kind of input is handed over, from the bytes of a file at `path`.
KINDS = {
    "path": lambda path: path,
    "bytes": lambda path: path.read_bytes(),
    "BytesIO": lambda path: io.BytesIO(path.read_bytes()),
    "open file": lambda path: open(path, "rb"),  # noqa: SIM115 - closed by the salvage's reader going away
}


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    folder = tmp_path_factory.mktemp("expected")
    (folder / "in.csv").write_bytes(DATA)
    report = quillon.salvage(folder / "in.csv", folder / "out.csv", folder / "q.csv")
    return report, (folder / "out.csv").read_bytes(), (folder / "q.csv").read_bytes()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("compression", COMPRESSIONS)
def test_every_entry_point_reads_every_input_kind_alike(tmp_path, expected, compression, kind):
    report, clean, rejects = expected
    path = tmp_path / "in.csv.z"
    path.write_bytes(COMPRESSIONS[compression](DATA))
    got = quillon.salvage(KINDS[kind](path), tmp_path / "out.csv", tmp_path / "q.csv")
    assert (tmp_path / "out.csv").read_bytes() == clean
    assert (tmp_path / "q.csv").read_bytes() == rejects
    assert got.input == report.input and got.total_rows == report.total_rows
    assert quillon.detect(KINDS[kind](path)) == report.input
    table = quillon.read(KINDS[kind](path))
    assert (len(table), table.report.input) == (report.salvaged_rows - 1, report.input)


def test_a_text_stream_is_refused_with_the_fix(tmp_path):
    (tmp_path / "in.csv").write_bytes(DATA)
    with open(tmp_path / "in.csv", encoding="utf-8") as text, pytest.raises(TypeError, match="binary mode"):
        quillon.read(text)


@pytest.mark.parametrize("compression", ["plain", "gzip"])
def test_sniff_reads_compressed_files_and_standard_input(tmp_path, compression):
    (tmp_path / "in.csv").write_bytes(COMPRESSIONS[compression](DATA))
    by_name = run_quillon(tmp_path, "sniff", "--json", "in.csv")
    piped = subprocess.run(
        [sys.executable, "-m", "quillon", "sniff", "--json", "-"],
        input=(tmp_path / "in.csv").read_bytes(), capture_output=True, timeout=60,
    )
    assert by_name.returncode == piped.returncode == 0, by_name.stderr + piped.stderr.decode()
    found = json.loads(by_name.stdout)
    assert found == json.loads(piped.stdout)
    assert (found["delimiter"], found["columns"]) == (";", 3)


def zip_of(data: bytes) -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        archive.writestr("export.csv", data)
    return out.getvalue()


BINARY = [
    (zip_of(DATA), "a ZIP archive (an .xlsx workbook?)"),
    (b"\x89PNG\r\n\x1a\n" + bytes(2000), "a PNG image"),
    (b"PAR1" + bytes(2000), "a Parquet file"),
    (b"\x7fELF\x02\x01\x01" + bytes(2000), "an ELF executable"),
    (random.Random(7).randbytes(4000), "binary data (control bytes)"),
    (bytes(5000), "binary data (only NUL bytes)"),
    (b"id,name\n" + b"1,\x00\x01\x00\x02x\x00y\n" * 200, "binary data (NUL bytes)"),
]

# Damaged text that must not be taken for binary.
TEXT = [
    DATA + bytes(8192),  # a tail zeroed by a crash
    DATA[:2000] + bytes(4096) + DATA[2000:],  # a zeroed block inside
    "id,name\n1,é\n".encode("utf-16") * 100,  # UTF-16 with its mark
    "id,name\n1,é\n".encode("utf-16-le") * 100,  # UTF-16 without one
    b"a\x01b\x01c\n" * 100,  # Hive's text export, fields split by 0x01
    b"a,b\n1,\x00\n",  # a stray NUL in a tiny file
]


@pytest.mark.parametrize(("data", "looks_like"), BINARY, ids=[w for _, w in BINARY])
def test_binary_input_is_refused_unless_forced(tmp_path, data, looks_like):
    (tmp_path / "in.csv").write_bytes(data)
    for call in (
        lambda **f: quillon.salvage(tmp_path / "in.csv", tmp_path / "out.csv", **f),
        lambda **f: quillon.read(io.BytesIO(data), **f),
        lambda **f: quillon.detect(data, **f),
    ):
        with pytest.raises(ValueError, match=f"looks like {looks_like.replace('(', '.').replace(')', '.')}"):
            call()
        call(force=True)
    result = run_quillon(tmp_path, "salvage", "in.csv", "cli.csv")
    assert result.returncode == 1
    assert f"it looks like {looks_like}, not delimited text (--force salvages it anyway)" in result.stderr
    assert not (tmp_path / "cli.csv").exists()
    assert run_quillon(tmp_path, "salvage", "--force", "--quiet", "in.csv", "cli.csv").returncode == 0


@pytest.mark.parametrize("data", TEXT)
def test_damaged_text_is_not_taken_for_binary(tmp_path, data):
    report = quillon.salvage(data, tmp_path / "out.csv")
    assert report.total_rows > 0


def test_errors_carry_errno_and_the_file_that_failed(tmp_path):
    (tmp_path / "in.csv").write_bytes(DATA)
    cases = [
        (lambda: quillon.salvage(tmp_path / "missing.csv", tmp_path / "o.csv"), tmp_path / "missing.csv"),
        (lambda: quillon.salvage(tmp_path / "in.csv", tmp_path / "no" / "o.csv"), tmp_path / "no" / "o.csv"),
        (lambda: quillon.read(tmp_path / "in.csv", tmp_path / "no" / "q.csv"), tmp_path / "no" / "q.csv"),
    ]
    for call, path in cases:
        with pytest.raises(FileNotFoundError) as raised:
            call()
        assert (raised.value.errno, raised.value.filename) == (2, os.fspath(path))
    (failure,) = quillon.salvage_many([tmp_path / "in.csv"], tmp_path / "in.csv" / "sub")
    assert isinstance(failure.error, NotADirectoryError) and failure.error.filename


def test_a_cut_off_input_is_salvaged_with_a_warning(tmp_path):
    report = quillon.salvage(gzip.compress(DATA)[: len(DATA) // 4], tmp_path / "out.csv")
    assert report.total_rows > 0
    assert report.warnings and report.warnings[0].startswith("the input looks truncated: its gzip data")
    (tmp_path / "cut.csv").write_bytes(b'id,note,n\n1,ok,2\n2,3,"a note\ncut off')
    cut_in_quotes = quillon.salvage(tmp_path / "cut.csv", tmp_path / "out.csv")
    assert cut_in_quotes.warnings == ("the input looks truncated: it ends inside a quoted field",)
    result = run_quillon(tmp_path, "salvage", "cut.csv", "again.csv", "--quiet")
    assert (result.returncode, result.stderr) == (
        0, "quillon: warning: cut.csv: the input looks truncated: it ends inside a quoted field\n"
    )
    (tmp_path / "named.csv.gz").write_bytes(DATA)
    (failure,) = quillon.salvage_many([tmp_path / "named.csv.gz"], tmp_path / "o")
    assert isinstance(failure.error, ValueError)
