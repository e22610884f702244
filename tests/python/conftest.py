"""Shared helpers for the tests of the _quillon_backend module."""

import csv
import mmap
import os
from collections.abc import Callable
from pathlib import Path

import pytest

import _quillon_backend


@pytest.fixture
def backend():
    return _quillon_backend


@pytest.fixture
def write_file(tmp_path: Path) -> Callable[..., str]:
    """Writes text (as UTF-8) or bytes to a new file and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(content: str | bytes, name: str | None = None) -> str:
        path = tmp_path / (name or f"input{next(counter)}.csv")
        data = content.encode("utf-8") if isinstance(content, str) else content
        path.write_bytes(data)
        return os.fspath(path)

    return write


@pytest.fixture
def out_path(tmp_path: Path) -> Callable[[str], str]:
    """A path in the test's directory that does not exist yet."""

    def make(name: str) -> str:
        path = tmp_path / name
        assert not path.exists()
        return os.fspath(path)

    return make


def skip_unless_refused(size: int) -> None:
    """Skips the test unless this machine refuses `size` bytes asked for at once.

    The tests that expect MemoryError ask for far more than memory and swap.
    Where the kernel grants any request (vm.overcommit_memory=1) the memory is
    handed out, then filled, and the process is killed instead. Tried with a
    mapping of that size, never touched, as the allocator would make it.
    """
    try:
        mapping = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE)
    except (OSError, OverflowError):
        return
    mapping.close()
    pytest.skip(f"the kernel grants {size:,} bytes at once (overcommit), so the request would not fail")


@pytest.fixture
def huge_padding_refused() -> None:
    """Padding a row to 2**40 fields asks for 2 TiB at once; skips where that is granted."""
    skip_unless_refused(2**41)


@pytest.fixture
def unreservable_file(tmp_path: Path) -> str:
    """A sparse file far larger than memory: reserving its size up front fails."""
    skip_unless_refused(2**43)
    path = tmp_path / "huge.csv"
    path.touch()
    try:
        os.truncate(path, 2**43)
    except OSError:
        pytest.skip("the file system refuses an 8 TiB sparse file")
    return os.fspath(path)


def read_csv_rows(path: str, delimiter: str = ",", quote_char: str = '"') -> list[list[str]]:
    """Rows of a clean file as Python's csv module reads them.

    A row whose only field is empty is written as an empty line, which the
    csv module reads as a row without fields.
    """
    with open(path, newline="", encoding="utf-8") as f:
        return [row or [""] for row in csv.reader(f, delimiter=delimiter, quotechar=quote_char, strict=True)]


def os_error_text(code: int) -> str:
    """The text an I/O error with an operating-system code carries."""
    return f"{os.strerror(code)} (os error {code})"
