"""The quillon command line, run as users run it: in a child process."""

import contextlib
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillon import salvage_file
from quillon.cli import display_character, main

QUARANTINE_HEADER = "line,reason,raw_content\n"


def run_quillon(cwd: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "quillon", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
    )


def assert_error(result: subprocess.CompletedProcess[str], status: int, fragment: str) -> None:
    assert result.returncode == status, result.stderr
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("quillon: error: ")
    assert fragment in lines[0]


def summary_table(stdout: str) -> dict[str, str]:
    table = {}
    for line in stdout.splitlines():
        label, _, value = line.partition("  ")
        table[label.strip()] = value.strip()
    return table


@pytest.fixture
def workdir(tmp_path: Path) -> Path:
    (tmp_path / "in.csv").write_bytes(b"a,b\n1,2\n")
    return tmp_path


USAGE_ERRORS = [
    ([], "the following arguments are required: COMMAND"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    (["salvage"], "the following arguments are required: INPUT, OUTPUT"),
    (["salvage", "in.csv"], "the following arguments are required: OUTPUT"),
    (["salvage", "in.csv", "out.csv", "--bogus"], "unrecognized arguments: --bogus"),
    (["salvage", "in.csv", "out.csv", "--columns", "-1"], "argument --columns: must not be negative"),
    (["salvage", "in.csv", "out.csv", "--columns=-7"], "argument --columns: must not be negative"),
    (["salvage", "in.csv", "out.csv", "--columns", "three"], "argument --columns: expected a whole number"),
    (["salvage", "in.csv", "out.csv", "--columns", "2.5"], "argument --columns: expected a whole number"),
    (["salvage", "in.csv", "out.csv", "--columns", str(2**64)], "argument --columns: must be at most"),
    (["salvage", "in.csv", "out.csv", "--delimiter", ";;"], "argument --delimiter: expected one ASCII"),
    (["salvage", "in.csv", "out.csv", "--delimiter", ""], "argument --delimiter: expected one ASCII"),
    (["salvage", "in.csv", "out.csv", "--delimiter", "\u00a7"], "argument --delimiter: expected one ASCII"),
    (["salvage", "in.csv", "out.csv", "--quote-char", "quote"], "argument --quote-char: expected one ASCII"),
    (["sniff"], "the following arguments are required: FILE"),
]


@pytest.mark.parametrize(("args", "fragment"), USAGE_ERRORS)
def test_usage_errors_exit_2_with_one_line(workdir: Path, args: list[str], fragment: str) -> None:
    assert_error(run_quillon(workdir, *args), 2, fragment)
    assert not (workdir / "out.csv").exists()


def test_quarantine_naming_the_output_is_a_usage_error(workdir: Path) -> None:
    result = run_quillon(workdir, "salvage", "in.csv", "out.csv", "--quarantine", "out.csv")
    assert_error(result, 2, "quarantine path names the output file")
    assert not (workdir / "out.csv").exists()


IO_ERRORS = [
    (["salvage", "missing.csv", "out.csv"], "cannot read 'missing.csv': No such file or directory"),
    (["salvage", ".", "out.csv"], "cannot read '.': Is a directory"),
    (["salvage", "in.csv", "nowhere/out.csv"], "cannot write 'nowhere/out.csv': directory 'nowhere'"),
    (["salvage", "in.csv", "."], "cannot write '.': Is a directory"),
    (
        ["salvage", "in.csv", "out.csv", "--quarantine", "nowhere/q.csv"],
        "cannot write 'nowhere/q.csv': directory 'nowhere'",
    ),
    (["sniff", "missing.csv"], "cannot read 'missing.csv': No such file or directory"),
]


@pytest.mark.parametrize(("args", "fragment"), IO_ERRORS)
def test_failures_exit_1_before_any_file_is_written(
    workdir: Path, args: list[str], fragment: str
) -> None:
    assert_error(run_quillon(workdir, *args), 1, fragment)
    assert not (workdir / "out.csv").exists()


def test_running_out_of_memory_mid_run_exits_1_with_no_rows_written(
    workdir: Path, huge_padding_refused: None
) -> None:
    # Padding the first row to 2**40 fields runs out of memory; the clean
    # file is put in place only after a run that succeeded.
    result = run_quillon(workdir, "salvage", "in.csv", "out.csv", "--columns", str(2**40))
    assert_error(result, 1, "not enough memory to salvage 'in.csv'")
    assert sorted(p.name for p in workdir.iterdir()) == ["in.csv"]


def test_file_name_that_is_not_utf8_is_a_usage_error(tmp_path: Path) -> None:
    name = os.fsdecode(b"caf\xe9.csv")
    (tmp_path / name).write_bytes(b"a,b\n")
    assert_error(run_quillon(tmp_path, "salvage", name, "out.csv"), 2, "file names must be valid UTF-8")
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.skipif(not Path("/dev/full").exists(), reason="needs /dev/full")
def test_write_failure_reports_the_system_error(workdir: Path) -> None:
    result = run_quillon(workdir, "salvage", "in.csv", "/dev/full")
    assert_error(result, 1, "cannot write '/dev/full': No space left on device")


SUMMARIES = [
    (
        b"a,b\n1,2\n",
        [],
        {
            "rows read": "2",
            "rows kept": "2 (0 repaired)",
            "rows quarantined": "0",
            "delimiter": "comma (detected)",
            "columns": "2 (inferred)",
            "quarantine file": "not requested",
        },
    ),
    (
        b"a\tb\tc\n1\t2\t3\n4\t5\n",
        [],
        {
            "rows read": "3",
            "rows kept": "3 (1 repaired)",
            "delimiter": "tab (detected)",
            "columns": "3 (inferred)",
        },
    ),
    (
        b"a;b\n1;2;3\n",
        ["--delimiter", "semicolon", "--columns", "2", "--no-merge"],
        {
            "rows kept": "1 (0 repaired)",
            "rows quarantined": "1",
            "delimiter": "semicolon",
            "columns": "2",
            "quarantine file": "not written (pass --quarantine PATH to keep the rejected rows)",
        },
    ),
    (b"a,b\n1\n", ["--columns", "0"], {"rows kept": "2 (0 repaired)", "columns": "not checked"}),
    (b"x|y\n" * 1234, [], {"rows read": "1,234", "rows kept": "1,234 (0 repaired)", "delimiter": "pipe (detected)"}),
    (b"", [], {"rows read": "0", "delimiter": "comma (detected)", "columns": "not checked"}),
]


@pytest.mark.parametrize(("content", "options", "expected"), SUMMARIES)
def test_summary_shows_counts_delimiter_and_columns(
    tmp_path: Path, content: bytes, options: list[str], expected: dict[str, str]
) -> None:
    (tmp_path / "in.csv").write_bytes(content)
    result = run_quillon(tmp_path, "salvage", "--basic", "in.csv", "out.csv", *options)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    table = summary_table(result.stdout)
    assert table["input"] == "in.csv"
    assert table["clean file"] == "out.csv"
    for label, value in expected.items():
        assert table[label] == value, label


FILES_WRITTEN = [
    (
        b"a,b\n1,2,3\n4\n5,6\n",
        [],
        b"a,b\n1,\"2,3\"\n4,\n5,6\n",
        QUARANTINE_HEADER,
    ),
    (
        b"a,b\n1,2,3\n4\n5,6\n",
        ["--no-merge", "--no-fill"],
        b"a,b\n5,6\n",
        QUARANTINE_HEADER
        + '2,"Row has extra columns (expected 2)","1,2,3"\n'
        + '3,"Row has too few columns (expected 2)","4"\n',
    ),
    (
        b"a\tb\n'x\ty'\tz\n1\t2\n",
        ["--delimiter", "tab", "--quote-char", "'"],
        b"a\tb\n'x\ty'\tz\n1\t2\n",
        QUARANTINE_HEADER,
    ),
    (
        b'"say "hi" now",x\n',
        ["--no-repair-quotes", "--columns", "0"],
        b"\"say hi\"\" now\"\"\",x\n",
        QUARANTINE_HEADER,
    ),
]


@pytest.mark.parametrize(("content", "options", "clean", "quarantine"), FILES_WRITTEN)
def test_writes_clean_and_quarantine_files(
    tmp_path: Path, content: bytes, options: list[str], clean: bytes, quarantine: str
) -> None:
    (tmp_path / "in.csv").write_bytes(content)
    result = run_quillon(
        tmp_path, "salvage", "--basic", "in.csv", "out.csv", "--quarantine", "q.csv", *options
    )
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.csv").read_bytes() == clean
    assert (tmp_path / "q.csv").read_text(encoding="utf-8") == quarantine
    assert summary_table(result.stdout)["quarantine file"] == "q.csv"


def test_json_prints_the_summary_dictionary(tmp_path: Path) -> None:
    (tmp_path / "in.csv").write_bytes(b"a;b\n1;2;3\n4\n5;6\n")
    result = run_quillon(tmp_path, "salvage", "--basic", "in.csv", "out.csv", "--json", "--no-fill")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {
        "total_rows": 4,
        "salvaged_rows": 3,
        "repaired_rows": 1,
        "quarantined_rows": 1,
        "detected_delimiter": ";",
        "inferred_columns": 2,
    }
    assert list(json.loads(result.stdout)) == [
        "total_rows",
        "salvaged_rows",
        "repaired_rows",
        "quarantined_rows",
        "detected_delimiter",
        "inferred_columns",
    ]


FAIL_ON_QUARANTINE = [
    ([], 0),
    (["--fail-on-quarantine"], 0),
    (["--no-fill"], 0),
    (["--no-fill", "--fail-on-quarantine"], 3),
    (["--no-fill", "--fail-on-quarantine", "--json"], 3),
]


@pytest.mark.parametrize(("options", "status"), FAIL_ON_QUARANTINE)
def test_fail_on_quarantine_exits_3_only_when_rows_were_quarantined(
    tmp_path: Path, options: list[str], status: int
) -> None:
    (tmp_path / "in.csv").write_bytes(b"a,b\n1\n2,3\n")
    result = run_quillon(tmp_path, "salvage", "in.csv", "out.csv", "--quarantine", "q.csv", *options)
    assert result.returncode == status, result.stderr
    limit_line = "quillon: over the quarantine limit: in.csv: 1 of 3 data records could not be repaired and were set aside (none allowed)\n"
    assert result.stderr == (limit_line if status == 3 else "")
    assert result.stdout != ""
    assert (tmp_path / "out.csv").read_bytes().startswith(b"a,b\n")
    assert (tmp_path / "q.csv").exists()


SNIFFED = [
    (b"a;b;c\n1;2;3\n", [], "semicolon\n"),
    (b"a\tb\n1\t2\n", [], "tab\n"),
    (b"a\tb\n1\t2\n", ["--raw"], "\t\n"),
    (b"a|b|c\n1|2|3\n", [], "pipe\n"),
    (b"a|b|c\n1|2|3\n", ["--raw"], "|\n"),
    (b"a,b\n1,2\n", [], "comma\n"),
    (b"", [], "comma\n"),
    (b"\xef\xbb\xbfa;b\n\xff\xfe;x\n", [], "semicolon\n"),
]


@pytest.mark.parametrize(("content", "options", "expected"), SNIFFED)
def test_sniff_prints_the_delimiter(
    tmp_path: Path, content: bytes, options: list[str], expected: str
) -> None:
    (tmp_path / "in.csv").write_bytes(content)
    result = run_quillon(tmp_path, "sniff", "--basic", "in.csv", *options)
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected


# Files whose first 50 records reach past the first megabyte, and one whose
# first record is blank only if both of its byte-order marks are skipped.
SNIFFED_LIKE_SALVAGE = {
    "a quoted first record of 1.2 MB": b'"' + b"x," * 600_000 + b'";b\n' + b"a;b\n" * 10,
    "the same after a byte-order mark, with invalid bytes": (
        b'\xef\xbb\xbf"' + b"\xff|\xc3," * 300_000 + b'";b\n' + b"a;b\n" * 10
    ),
    "blank lines first": b"\n" * 1_100_000 + b"a|b\n1|2\n",
    "two byte-order marks": b"\xef\xbb\xbf\xef\xbb\xbf\na;b\n",
}


@pytest.mark.parametrize("name", SNIFFED_LIKE_SALVAGE)
def test_sniff_answers_what_salvage_detects(tmp_path: Path, name: str) -> None:
    (tmp_path / "in.csv").write_bytes(SNIFFED_LIKE_SALVAGE[name])
    detected = salvage_file(os.fspath(tmp_path / "in.csv"), os.devnull).detected_delimiter
    result = run_quillon(tmp_path, "sniff", "--basic", "--raw", "in.csv")
    assert result.returncode == 0, result.stderr
    assert result.stdout == detected + "\n"


# Delimiters, quotes and line breaks among white space (ASCII and not),
# ill-formed UTF-8 and the byte-order mark: the sniffer skips blank records.
SNIFF_TOKENS = [
    b"a", b",", b";", b"\t", b"|", b'"', b"\n", b"\r", b" ", b"\xc2\xa0", b"\xa0", b"\xc2", b"\xc2\x85",
    b"\x85", b"\xe2\x80\x83", b"\xe2\x80", b"\xff", b"\xef\xbb\xbf",
]


@pytest.fixture(scope="module")
def sniff_input(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("sniff") / "in.csv"


# In this process: a child per example would make the run far too long.
@settings(max_examples=300, deadline=None)
@given(content=st.lists(st.sampled_from(SNIFF_TOKENS), max_size=40).map(b"".join))
def test_sniff_agrees_with_salvage_on_any_bytes(sniff_input: Path, content: bytes) -> None:
    sniff_input.write_bytes(content)
    path = os.fspath(sniff_input)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        assert main(["sniff", "--basic", "--raw", path]) == 0
    assert printed.getvalue() == salvage_file(path, os.devnull).detected_delimiter + "\n"


def test_version_matches_the_installed_distribution(tmp_path: Path) -> None:
    from importlib.metadata import version

    result = run_quillon(tmp_path, "--version")
    assert result.returncode == 0
    assert result.stdout == f"quillon {version('quillon')}\n"


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (["--help"], "usage: quillon [-h] [--version] COMMAND"),
        (["salvage", "--help"], "example:\n  quillon salvage "),
        (["sniff", "--help"], "example:\n  quillon sniff "),
    ],
)
def test_help_shows_usage_and_examples(tmp_path: Path, args: list[str], expected: str) -> None:
    result = run_quillon(tmp_path, *args)
    assert result.returncode == 0
    assert expected in result.stdout


def test_console_script_is_installed_beside_the_interpreter(tmp_path: Path) -> None:
    script = Path(sys.executable).with_name("quillon")
    result = subprocess.run(
        [str(script), "sniff", "--raw", str(tmp_path / "missing.csv")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert_error(result, 1, "No such file or directory")


@pytest.mark.parametrize(
    ("char", "shown"),
    [(",", "comma"), (";", "semicolon"), ("\t", "tab"), ("|", "pipe"), (" ", "space"),
     (":", ":"), ("\u00e9", "\u00e9"), ("\x00", "U+0000"), ("\x1f", "U+001F"), ("\u00a0", "U+00A0")],
)
def test_display_character(char: str, shown: str) -> None:
    assert display_character(char) == shown
