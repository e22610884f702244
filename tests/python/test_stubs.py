"""The type stub of _quillon_backend: checked against the module and used by mypy."""

import subprocess
import sys
from pathlib import Path

import pytest

import typed_usage

HERE = Path(__file__).resolve().parent


def run_mypy(cwd: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *args],
        cwd=cwd, capture_output=True, text=True, timeout=300,
    )


def test_stub_matches_the_module(tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_quillon_backend"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("target", [[str(HERE / "typed_usage.py")], ["-p", "quillon"]])
def test_strict_mypy_passes(tmp_path: Path, target: list[str]) -> None:
    result = run_mypy(tmp_path, *target)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSES = [
    ('quillon.salvage_file("in.csv", 3)', 'Argument 2 to "salvage_file" has incompatible type "int"'),
    ('quillon.salvage_file("a", "b", fill_ragged_rows=1)', 'incompatible type "int"; expected "bool"'),
    ('quillon.salvage_file("a", "b", quote_char=None)', 'incompatible type "None"; expected "str"'),
    ('quillon.salvage_file("a", "b", columns=3)', 'Unexpected keyword argument "columns"'),
    ("quillon.sniff(b'a;b')", 'Argument 1 to "sniff" has incompatible type "bytes"'),
    ('quillon.open("f").summary = None', 'Property "summary" defined in "SalvageReader" is read-only'),
    ('quillon.open("f").summary.total_rows = 1', 'Property "total_rows" defined in "SalvageSummary" is read-only'),
    ('n: int = quillon.open("f").summary.to_dict()["detected_delimiter"]', 'expression has type "str"'),
    ('next(quillon.open("f")).upper()', '"list[str]" has no attribute "upper"'),
    ("class Mine(quillon.SalvageReader): ...", 'Cannot inherit from final class "SalvageReader"'),
    ('s: str = quillon.open("f").summary.total_rows', 'expression has type "int"'),
]


@pytest.mark.parametrize(("statement", "message"), MISUSES)
def test_strict_mypy_rejects_misuse(tmp_path: Path, statement: str, message: str) -> None:
    (tmp_path / "misuse.py").write_text(f"import quillon\n\n{statement}\n", encoding="utf-8")
    result = run_mypy(tmp_path, "misuse.py")
    assert result.returncode == 1, result.stdout
    assert message in result.stdout


def test_typed_usage_runs(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(b"k;v;w\n'a;1';2;3\nb;4\nc;5;6\n")
    assert typed_usage.salvage(str(source), str(tmp_path / "out.csv")) == {
        "kept": 3,
        "total": 4,
        "delimiter": ";",
    }
    assert list(typed_usage.rows(str(source))) == [["k", "v", "w"], ["'a", "1'", "2;3"], ["b", "4", ""], ["c", "5", "6"]]
    assert typed_usage.first_fields(str(source)) == ["k", "'a", "b", "c"]
    assert typed_usage.delimiter_of("a|b\n1|2\n") == "|"
