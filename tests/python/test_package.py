"""The installed quillon package, the example file and the Quick start's demo."""

import os
import shutil
import subprocess
import sys
from importlib import metadata, resources
from pathlib import Path

import pytest

import _quillon_backend
import quillon
import quillon.cli

REPO = Path(__file__).resolve().parents[2]
PUBLIC_NAMES = ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]
READ_NAMES = ["read", "SalvagedTable", "ColumnSchema"]
ADAPTIVE_NAMES = ["salvage", "salvage_many", "detect", "SalvageReport", "InputFormat", "SalvageFailure"]

# What examples/damaged.csv becomes under the fixed rules with short rows
# quarantined (--basic --no-fill), worked out by hand from its eleven lines.
BASIC_CLEAN = (
    b"id,name,city,note\n"
    b"1,Ada Lovelace,London,first order\n"
    b'2,"Grace ""Amazing"" Hopper",New York,"3 units, paid"\n'
    b'3,"The ""Best"" Cafe",Paris,stray quotes in the name\n'
    b"5,Jos\xef\xbf\xbd Garc\xef\xbf\xbda,Madrid,name written in Latin-1\n"
    b'6,Margaret Hamilton,Boston,"paid, thanks, see ticket 12"\n'
    b'7,Pizza Place,Naples,"ordered a 12"" pizza"\n'
)
BASIC_QUARANTINE = (
    "line,reason,raw_content\n"
    '5,"Row has too few columns (expected 4)","4,Linus Torvalds,Helsinki"\n'
    '6,"Row has too few columns (expected 4)",""\n'
    '7,"Row has too few columns (expected 4)",""\n'
    '11,"Row has too few columns (expected 4)","8,Edsger Dijkstra,Nuenen,export cut off here"\n'
)
BASIC_SUMMARY = [
    "rows read         11",
    "rows kept         7 (1 repaired)",
    "rows quarantined  4",
    "delimiter         comma (detected)",
    "columns           4 (inferred)",
]

# The adaptive salvage (the default) reads the Latin-1 name of line 5 as
# Windows-1252 and keeps each rejected record as it stood in the file.
EXAMPLE_CLEAN = BASIC_CLEAN.replace(
    b"Jos\xef\xbf\xbd Garc\xef\xbf\xbda", "José García".encode()
)
EXAMPLE_QUARANTINE = (
    "first_line,last_line,byte_offset,reason,encoding,raw\n"
    '5,5,164,too_few_columns,utf-8,"4,Linus Torvalds,Helsinki"\n'
    '6,6,190,too_few_columns,utf-8,""\n'
    '7,7,191,too_few_columns,utf-8,""\n'
    '11,11,335,too_few_columns,utf-8,"8,""Edsger Dijkstra,Nuenen,export cut off here"\n'
)
EXAMPLE_SUMMARY = {
    "encoding": "utf-8+windows-1252 with byte-order mark (detected)",
    "delimiter": "comma (detected)",
    "header": "yes (detected)",
    "columns": "4 (detected)",
    "rows read": "11",
    "rows kept": "7 (1 repaired)",
    "- merged": "1",
    "- read as Windows-1252": "1",
    "rows quarantined": "4",
    "- too few columns": "4",
}


def summary_of(stdout: str) -> dict[str, str]:
    table = {}
    for line in stdout.splitlines():
        label, _, value = line.partition("  ")
        table[label.strip()] = value.strip()
    return table


def test_reexports_the_native_names_unchanged() -> None:
    assert quillon.__all__ == ADAPTIVE_NAMES + PUBLIC_NAMES + READ_NAMES
    assert _quillon_backend.__all__ == PUBLIC_NAMES
    for name in PUBLIC_NAMES:
        assert getattr(quillon, name) is getattr(_quillon_backend, name), name


def test_star_import_binds_the_salvage_open() -> None:
    namespace: dict[str, object] = {}
    exec("from quillon import *", namespace)
    assert sorted(k for k in namespace if not k.startswith("__")) == sorted(ADAPTIVE_NAMES + PUBLIC_NAMES + READ_NAMES)
    assert namespace["open"] is _quillon_backend.open


def test_version_agrees_with_the_distribution() -> None:
    assert quillon.__version__ == _quillon_backend.__version__
    assert quillon.__version__ == metadata.version("quillon")


def test_distribution_metadata() -> None:
    info = metadata.metadata("quillon")
    assert info["Name"] == "quillon"
    assert info["Requires-Python"] == ">=3.13"
    assert info["Summary"]
    assert "Programming Language :: Python :: 3.13" in info.get_all("Classifier", [])
    assert "Typing :: Typed" in info.get_all("Classifier", [])
    (script,) = metadata.entry_points(group="console_scripts", name="quillon")
    assert script.load() is quillon.cli.main


def test_type_information_is_installed() -> None:
    assert resources.files("quillon").joinpath("py.typed").is_file()
    stub = (REPO / "src" / "binding" / "_quillon_backend.pyi").read_text(encoding="utf-8")
    module = Path(_quillon_backend.__file__)
    assert module.with_name("_quillon_backend.pyi").read_text(encoding="utf-8") == stub
    stub_package = module.with_name("_quillon_backend-stubs") / "__init__.pyi"
    assert stub_package.read_text(encoding="utf-8") == stub


def test_example_file_shows_each_kind_of_damage() -> None:
    data = (REPO / "examples" / "damaged.csv").read_bytes()
    assert data.startswith(b"\xef\xbb\xbf")
    assert b"\r\n" in data and b"\n\n" in data
    assert not data.endswith(b"\n")
    with pytest.raises(UnicodeDecodeError):
        data.decode("utf-8")


@pytest.mark.parametrize(
    ("options", "clean", "quarantine"),
    [([], EXAMPLE_CLEAN, EXAMPLE_QUARANTINE), (["--basic"], BASIC_CLEAN, BASIC_QUARANTINE)],
)
def test_example_salvage_matches_the_hand_worked_result(
    tmp_path: Path, options: list[str], clean: bytes, quarantine: str
) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "quillon", "salvage", *options, str(REPO / "examples" / "damaged.csv"),
         "clean.csv", "--quarantine", "quarantine.csv", "--no-fill"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    if options:
        for line in BASIC_SUMMARY:
            assert line in result.stdout.splitlines()
    else:
        assert EXAMPLE_SUMMARY.items() <= summary_of(result.stdout).items()
    assert (tmp_path / "clean.csv").read_bytes() == clean
    assert (tmp_path / "quarantine.csv").read_text(encoding="utf-8") == quarantine


def _checkout_files() -> list[str]:
    listing = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=REPO, capture_output=True, check=True,
    ).stdout.decode()
    return [name for name in listing.split("\0") if name and (REPO / name).is_file()]


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("git") is None or not (REPO / ".git").exists(),
                    reason="needs a git checkout")
def test_quick_start_demo_works_in_a_fresh_copy(tmp_path: Path) -> None:
    clone = tmp_path / "clone"
    for name in _checkout_files():
        (clone / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(REPO / name, clone / name)
    environment = {k: v for k, v in os.environ.items() if k not in ("VIRTUAL_ENV", "PYTHONPATH")}
    environment.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    result = subprocess.run(
        ["scripts/demo"], cwd=clone, env=environment, capture_output=True, text=True, timeout=1800,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    table = summary_of(result.stdout)
    assert EXAMPLE_SUMMARY.items() <= table.items()
    assert table["clean file"] == "build/demo/clean.csv (comma-delimited)"
    assert table["quarantine file"] == "build/demo/quarantine.csv"
    assert (clone / "build" / "demo" / "clean.csv").read_bytes() == EXAMPLE_CLEAN
    quarantine = (clone / "build" / "demo" / "quarantine.csv").read_text(encoding="utf-8")
    assert quarantine == EXAMPLE_QUARANTINE
