"""quillon.salvage_many on a thread pool, a process pool and a Dask cluster;
the in-memory salvage against the file salvage; progress reports."""

import gzip
import json
import multiprocessing
import os
import pickle
import socket
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillon
from quillon import _native

REPO = Path(__file__).resolve().parents[2]


def table(i: int) -> bytes:
    """A different damaged table per file: its own delimiter and faults."""
    delimiter = b",;\t|"[i % 4 : i % 4 + 1]
    rows = [delimiter.join(b"f%dr%dc%d" % (i, r, c) for c in range(3)) for r in range(50 + i)]
    rows[3] = rows[3].split(delimiter)[0]
    return b"\n".join([b"MONTHLY EXPORT", *rows]) + b"\n"


@pytest.fixture
def exports(tmp_path: Path) -> Path:
    root = tmp_path / "exports"
    (root / "deep").mkdir(parents=True)
    for i in range(5):
        (root / f"t{i}.csv").write_bytes(table(i))
    (root / "deep" / "z.csv.gz").write_bytes(gzip.compress(table(9)))
    (root / "gone.csv").symlink_to("missing.csv")
    return root


def expected(exports: Path, tmp_path: Path) -> list[str | None]:
    """Each file's clean output from quillon.salvage, in sorted path order."""
    (tmp_path / "z.csv").write_bytes(table(9))
    outputs: list[str | None] = []
    for path in [tmp_path / "z.csv", None, *(exports / f"t{i}.csv" for i in range(5))]:
        if path is None:
            outputs.append(None)
        else:
            quillon.salvage(path, tmp_path / "want.csv", skip_rows=1)
            outputs.append((tmp_path / "want.csv").read_text(encoding="utf-8"))
    return outputs


def spawn_pool() -> ProcessPoolExecutor:
    return ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))


@pytest.mark.parametrize(
    "make_executor", [None, lambda: ThreadPoolExecutor(3), spawn_pool], ids=["default", "threads", "processes"]
)
def test_reports_in_input_order_and_failures_in_place(exports: Path, tmp_path: Path, make_executor) -> None:
    want = expected(exports, tmp_path)
    executor = None if make_executor is None else make_executor()
    try:
        results = quillon.salvage_many([exports], tmp_path / "out", quarantine_dir=tmp_path / "q",
                                       executor=executor, skip_rows=1)
    finally:
        if executor is not None:
            executor.shutdown()
    assert [os.path.relpath(r.input_path, exports) for r in results] == [
        "deep/z.csv.gz", "gone.csv", *(f"t{i}.csv" for i in range(5))
    ]
    failure = results[1]
    assert isinstance(failure, quillon.SalvageFailure)
    assert isinstance(failure.error, FileNotFoundError)
    for result, text in zip(results, want):
        if text is not None:
            assert isinstance(result, quillon.SalvageReport)
            assert Path(result.output_path).read_text(encoding="utf-8") == text
            assert result.rejects["preamble"] == 1
            assert Path(result.quarantine_path).read_text(encoding="utf-8").count("\n") == 2


@pytest.mark.parametrize(
    ("call", "error", "fragment"),
    [
        ({"jobs": 2, "executor": "POOL"}, ValueError, "give jobs or executor, not both"),
        ({"jobs": 0}, ValueError, "jobs must be a positive int"),
        ({"delimiter": ";;"}, ValueError, "delimiter must be one ASCII character"),
        ({"header": "yes"}, TypeError, "header must be a bool"),
        ({"bogus": 1}, TypeError, "unexpected keyword argument 'bogus'"),
        ({"quarantine_dir": "OUT"}, ValueError, "must differ from the output directory"),
        ({"output_format": "xlsx"}, ValueError, "output_format must be one of csv, parquet, arrow"),
    ],
)
def test_bad_arguments_raise_before_any_file_is_written(exports: Path, tmp_path: Path, call, error, fragment) -> None:
    with ThreadPoolExecutor(1) as pool:
        call = {k: {"OUT": tmp_path / "out", "POOL": pool}.get(v, v) if isinstance(v, str) else v
                for k, v in call.items()}
        with pytest.raises(error, match=fragment):
            quillon.salvage_many(exports, tmp_path / "out", **call)
    assert not (tmp_path / "out").exists()


def test_columnar_batch_replaces_the_suffix_and_holds_the_rows_of_read(exports: Path, tmp_path: Path) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq
    from test_read import read_without_loss

    results = quillon.salvage_many(exports, tmp_path / "out", quarantine_dir=tmp_path / "q",
                                   output_format="parquet", skip_rows=1)
    written = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.glob("[oq]*/**/*") if p.is_file())
    assert written == ["out/deep/z.parquet", *(f"out/t{i}.parquet" for i in range(5)),
                       "q/deep/z.csv", *(f"q/t{i}.csv" for i in range(5))]
    for result in results:
        if isinstance(result, quillon.SalvageReport):
            want = pa.table(read_without_loss(result.input_path, skip_rows=1))
            assert pq.read_table(result.output_path).equals(want)


@pytest.mark.parametrize("source", ["salvage", "read"])
def test_reports_survive_pickling(tmp_path: Path, source: str) -> None:
    (tmp_path / "in.csv").write_bytes(table(1))
    if source == "salvage":
        report = quillon.salvage(tmp_path / "in.csv", tmp_path / "out.csv")
    else:
        report = quillon.read(tmp_path / "in.csv").report
    again = pickle.loads(pickle.dumps(report))
    assert again == report and again.to_dict() == report.to_dict()
    with pytest.raises(TypeError):
        again.repairs["padded"] = 5  # type: ignore[index]
    if source == "read":
        with pytest.raises(TypeError):
            again.column_types["x"] = "string"  # type: ignore[index]


def loopback_tcp_works() -> bool:
    try:
        with socket.create_server(("127.0.0.1", 0)) as server:
            socket.create_connection(server.getsockname(), timeout=5).close()
    except OSError:
        return False
    return True


def test_dask_recipe_on_a_local_cluster(exports: Path, tmp_path: Path) -> None:
    # scripts/bootstrap installs the dask extra.
    pytest.importorskip("distributed")
    if not loopback_tcp_works():
        pytest.skip("no loopback TCP for the cluster's scheduler and workers")
    script = REPO / "examples" / "salvage_with_dask.py"
    result = subprocess.run(
        [sys.executable, str(script), str(exports), str(tmp_path / "out"), str(tmp_path / "q")],
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 1, result.stderr
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert [Path(line["input_path"]).name for line in lines] == ["z.csv.gz", "gone.csv", *(f"t{i}.csv" for i in range(5))]
    assert "error" in lines[1] and lines[0]["repairs"]["padded"] == 1
    assert (tmp_path / "out" / "deep" / "z.csv").exists()


@settings(max_examples=60, deadline=None)
@given(st.binary(max_size=400), st.sampled_from([b",", b";", b"\t", b'"', b"\n", b"\r\n", b"\xff\xfe"]))
def test_in_memory_salvage_writes_what_the_file_salvage_writes(tmp_path_factory, data: bytes, extra: bytes) -> None:
    folder = tmp_path_factory.mktemp("same")
    data = extra + data.replace(b"\x00", extra)
    (folder / "in.csv").write_bytes(data)
    from_file = _native.salvage(str(folder / "in.csv"), str(folder / "a"), str(folder / "qa"), {})
    from_memory = _native.salvage_buffer(memoryview(data), str(folder / "b"), str(folder / "qb"), {})
    assert from_file == from_memory
    for name in "a", "qa":
        assert (folder / name).read_bytes() == (folder / ("b" if name == "a" else "qb")).read_bytes()


def test_progress_reports_and_a_raising_callable_stops_the_salvage(tmp_path: Path) -> None:
    data = b"a,b\n" + b"1,2\n" * 3_000_000
    seen: list[tuple[int, int]] = []
    values = _native.salvage_buffer(data, str(tmp_path / "out.csv"), None, {}, lambda d, t: seen.append((d, t)))
    assert values["total_rows"] == 3_000_001
    totals = {t for _, t in seen}
    assert len(totals) == 1 and len(seen) >= 4
    assert [d for d, _ in seen] == sorted(d for d, _ in seen) and seen[-1][0] <= totals.pop()

    def stop(done: int, total: int) -> None:
        raise LookupError("enough")

    with pytest.raises(LookupError, match="enough"):
        _native.salvage_buffer(data, str(tmp_path / "stopped.csv"), None, {}, stop)
    # Rows are written as they are read: the run stopped part-way through.
    stopped = (tmp_path / "stopped.csv").read_bytes()
    assert len(stopped) < (tmp_path / "out.csv").stat().st_size
    assert (tmp_path / "out.csv").read_bytes().startswith(stopped)
    with pytest.raises(TypeError, match="progress must be callable or None"):
        _native.salvage_buffer(data, str(tmp_path / "out.csv"), None, {}, 3)


def test_a_descriptor_output_is_left_open(tmp_path: Path) -> None:
    fd = os.open(tmp_path / "out.csv", os.O_WRONLY | os.O_CREAT)
    try:
        _native.salvage_buffer(bytearray(b"a,b\n1,2\n"), fd, None, {})
        os.write(fd, b"end\n")
    finally:
        os.close(fd)
    assert (tmp_path / "out.csv").read_bytes() == b"a,b\n1,2\nend\n"
