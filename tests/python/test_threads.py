"""Many threads at once: the module functions on separate files, and one reader shared between threads.

Each call owns its data, so concurrent calls give exactly the results of the
same calls made one after the other. A reader shared between threads hands
out every row exactly once; with the global lock no access conflict can
happen, and on a free-threaded interpreter (python3.13t) a conflicting
access fails with the documented RuntimeError and changes nothing.
"""

import os
import sys
import sysconfig
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import _quillon_backend as qb

THREADS = 8
ROUNDS = 15
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and not sys._is_gil_enabled()
CONFLICTS = {("Already borrowed",), ("Already mutably borrowed",)}


def damaged(i: int) -> str:
    """A different damaged table for every thread: its own delimiter, width and faults."""
    delimiter = ",;\t|"[i % 4]
    columns = 2 + i % 4
    lines = []
    for r in range(300 + 37 * i):
        fields = [f"t{i}r{r}c{c}" for c in range(columns)]
        if r % 7 == 3:
            fields.pop()
        if r % 11 == 5:
            fields.append("extra")
        if r % 13 == 2:
            fields[0] = f'"say "hi" {r}"'
        lines.append(delimiter.join(fields))
    return "\n".join(lines) + "\n"


def run_threads(work, count: int = THREADS) -> list:
    barrier = threading.Barrier(count)

    def start(k):
        barrier.wait()
        return work(k)

    with ThreadPoolExecutor(max_workers=count) as pool:
        return [f.result() for f in [pool.submit(start, k) for k in range(count)]]


def test_concurrent_calls_give_the_single_threaded_results(tmp_path: Path) -> None:
    texts = [damaged(i) for i in range(THREADS)]
    inputs = []
    expected = []
    for i, text in enumerate(texts):
        path = tmp_path / f"in{i}.csv"
        path.write_text(text)
        inputs.append(os.fspath(path))
        reference = tmp_path / f"ref{i}.csv"
        summary = qb.salvage_file(inputs[i], os.fspath(reference), os.fspath(tmp_path / f"refq{i}.csv"))
        expected.append(
            (
                summary.to_dict(),
                reference.read_bytes(),
                (tmp_path / f"refq{i}.csv").read_bytes(),
                qb.sniff(text),
                list(qb.open(inputs[i])),
            )
        )
    assert len({e[3] for e in expected}) == 4, "the threads' files should differ in their delimiters"

    def work(i: int) -> int:
        output = tmp_path / f"out{i}.csv"
        quarantine = tmp_path / f"q{i}.csv"
        for _ in range(ROUNDS):
            summary = qb.salvage_file(inputs[i], os.fspath(output), os.fspath(quarantine))
            got = (summary.to_dict(), output.read_bytes(), quarantine.read_bytes(), qb.sniff(texts[i]))
            assert got == expected[i][:4]
            with qb.open(inputs[i]) as reader:
                assert reader.summary.to_dict() == expected[i][0]
                assert list(reader) == expected[i][4]
        return i

    assert run_threads(work) == list(range(THREADS))


def test_shared_reader_hands_out_every_row_once(tmp_path: Path) -> None:
    path = tmp_path / "shared.csv"
    path.write_text("".join(f"{r},row {r}\n" for r in range(20_000)))
    reader = qb.open(os.fspath(path))
    total = len(reader)
    assert total == 20_000

    def work(k: int) -> tuple[list[int], int]:
        taken = []
        conflicts = 0
        while True:
            try:
                row = next(reader)
                assert len(reader) == total
                assert reader.summary.salvaged_rows == total
            except StopIteration:
                return taken, conflicts
            except RuntimeError as error:
                if not FREE_THREADED or error.args not in CONFLICTS:
                    raise
                conflicts += 1
                continue
            taken.append(int(row[0]))

    results = run_threads(work)
    for taken, _ in results:
        assert taken == sorted(taken), "a thread saw rows out of order"
    assert sorted(r for taken, _ in results for r in taken) == list(range(total))
    if not FREE_THREADED:
        assert all(conflicts == 0 for _, conflicts in results)
    assert list(reader) == []
    assert len(reader) == total


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter (python3.13t) with the global lock off")
def test_conflicting_access_on_a_free_threaded_interpreter(tmp_path: Path) -> None:
    path = tmp_path / "shared.csv"
    path.write_text("a,b\n" * 200_000)
    reader = qb.open(os.fspath(path))
    stop = threading.Event()

    def reader_side(_: int) -> int:
        conflicts = 0
        while not stop.is_set():
            try:
                assert len(reader) == 200_000
                assert reader.summary.total_rows == 200_000
            except RuntimeError as error:
                assert error.args == ("Already mutably borrowed",)
                conflicts += 1
        return conflicts

    def iterate() -> int:
        count = 0
        while True:
            try:
                assert next(reader) == ["a", "b"]
                count += 1
            except StopIteration:
                return count
            except RuntimeError as error:
                assert error.args == ("Already borrowed",)

    with ThreadPoolExecutor(max_workers=4) as pool:
        watchers = [pool.submit(reader_side, k) for k in range(3)]
        assert iterate() == 200_000
        stop.set()
        for w in watchers:
            w.result()
