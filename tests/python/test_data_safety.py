"""The package never destroys what it was given: outputs are written whole or
not at all, and no output may replace an input.

Interrupts and failures are raised from inside the run, at chosen points, in
a child process: the destination must keep what it held, and no temporary
file may be left beside it.
"""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quillon
from test_cli import run_quillon

ROWS = b"id,name,amount\n" + b"".join(b"%d,name %d,%d.50\n" % (i, i, i) for i in range(1_200_000))

# The child salvages big.csv in place through the task runner, whose tracker
# raises at the chosen point: Ctrl-C (SIGINT to itself) or an error.
CHILD = """
    import os, signal, sys
    from quillon._many import make_task, run_task

    point, action = sys.argv[1:3]
    calls = []

    def strike(stage, done, total):
        calls.append(stage)
        if stage != point.split(":")[0]:
            return
        if point.endswith(":late") and (total is None or done < total * 0.75):
            return
        if action == "sigint":
            os.kill(os.getpid(), signal.SIGINT)
        else:
            raise RuntimeError("the progress callable failed")

    class Tracker:
        def begin(self):
            pass
        def reading(self, done, total):
            strike("reading", done, total)
        def salvaging(self, done, total):
            strike("salvaging", done, total)

    source = sys.argv[3]
    try:
        run_task(make_task(source, source, source + ".rejects", {}), Tracker())
    except KeyboardInterrupt:
        sys.exit(30)
    except RuntimeError:
        sys.exit(31)
    sys.exit(0)
"""


def leftovers(folder: Path) -> list[str]:
    return sorted(p.name for p in folder.iterdir() if p.name.startswith("."))


@pytest.mark.parametrize(
    ("name", "point", "action", "status"),
    [
        ("big.csv.gz", "reading", "sigint", 30),
        ("big.csv", "salvaging", "sigint", 30),
        ("big.csv", "salvaging:late", "sigint", 30),
        ("big.csv", "salvaging", "raise", 31),
    ],
)
def test_an_interrupted_in_place_run_leaves_the_input_as_it_was(tmp_path, name, point, action, status):
    import gzip

    source = tmp_path / name
    source.write_bytes(gzip.compress(ROWS, 1) if name.endswith(".gz") else ROWS)
    (tmp_path / (name + ".rejects")).write_bytes(b"earlier rejects\n")
    before = source.read_bytes()
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CHILD), point, action, os.fspath(source)],
        capture_output=True, timeout=300,
    )
    assert child.returncode == status, child.stderr.decode()
    assert source.read_bytes() == before
    assert (tmp_path / (name + ".rejects")).read_bytes() == b"earlier rejects\n"
    assert leftovers(tmp_path) == []


def test_in_place_rescue_equals_a_salvage_into_another_file_and_keeps_the_mode(tmp_path):
    damaged = b'id,name\n1,"The "Best" Cafe"\n2\n3,x,y\n'
    (tmp_path / "copy.csv").write_bytes(damaged)
    expected = quillon.salvage(tmp_path / "copy.csv", tmp_path / "expected.csv")
    target = tmp_path / "data.csv"
    target.write_bytes(damaged)
    target.chmod(0o640)
    link = tmp_path / "link.csv"
    link.symlink_to(target.name)
    report = quillon.salvage(link, link)
    assert report.to_dict() | {"input_path": None, "output_path": None} == (
        expected.to_dict() | {"input_path": None, "output_path": None}
    )
    assert link.is_symlink() and target.read_bytes() == (tmp_path / "expected.csv").read_bytes()
    assert target.stat().st_mode & 0o777 == 0o640
    assert leftovers(tmp_path) == []


def test_a_new_file_takes_the_permissions_the_umask_allows(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"a,b\n1,2\n")
    old = os.umask(0o027)
    try:
        quillon.salvage(tmp_path / "in.csv", tmp_path / "out.csv")
    finally:
        os.umask(old)
    assert (tmp_path / "out.csv").stat().st_mode & 0o777 == 0o640


@pytest.fixture
def small_filesystem(tmp_path):
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a small tmpfs needs root")
    mount = tmp_path / "small"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", os.fspath(mount)]).returncode:
        pytest.skip("this machine cannot mount a tmpfs")
    yield mount
    subprocess.run(["umount", "-l", os.fspath(mount)], check=False)


def test_a_full_filesystem_leaves_the_input_whole(small_filesystem):
    source = small_filesystem / "data.csv"
    source.write_bytes(ROWS[:700_000])
    before = source.read_bytes()
    with pytest.raises(OSError) as raised:
        quillon.salvage(source, source)
    assert (raised.value.errno, raised.value.filename) == (28, os.fspath(source))
    result = run_quillon(small_filesystem, "salvage", "data.csv", "data.csv")
    assert result.returncode == 1
    assert "cannot write 'data.csv': No space left on device" in result.stderr
    assert source.read_bytes() == before
    assert leftovers(small_filesystem) == []


# Every way of naming an input as a file to write, refused before any work.
@pytest.mark.parametrize(
    "call",
    [
        lambda d: quillon.salvage(d / "in.csv", d / "out.csv", d / "in.csv"),
        lambda d: quillon.salvage(d / "in.csv", d / "out.csv", d / "." / "hard.csv"),
        lambda d: quillon.read(d / "in.csv", d / "in.csv"),
        lambda d: quillon.salvage_many([d / "in.csv"], d / "o", quarantine_dir=d),
        lambda d: quillon.salvage_many([d / "in.csv", d / "o" / "in.csv"], d / "o"),
    ],
    ids=["quarantine", "quarantine as a hard link", "read's quarantine", "quarantine folder", "output of another"],
)
def test_an_output_naming_an_input_is_refused(tmp_path, call):
    (tmp_path / "in.csv").write_bytes(b"a,b\n1,2\n")
    os.link(tmp_path / "in.csv", tmp_path / "hard.csv")
    (tmp_path / "o").mkdir()
    (tmp_path / "o" / "in.csv").write_bytes(b"c,d\n3,4\n")
    with pytest.raises(ValueError, match="would replace|is the input"):
        call(tmp_path)
    assert (tmp_path / "in.csv").read_bytes() == b"a,b\n1,2\n"
    assert (tmp_path / "o" / "in.csv").read_bytes() == b"c,d\n3,4\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["hard.csv", "in.csv", "o"]


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["in.csv", "out.csv", "--quarantine", "in.csv"], "the quarantine file 'in.csv' is the input"),
        (["in.csv", "out.csv", "--report", "./in.csv"], "the report file './in.csv' is the input"),
        (["--out-dir", "o", "--quarantine-dir", ".", "in.csv"], "would replace the input"),
    ],
)
def test_the_command_line_refuses_an_output_naming_an_input(tmp_path, args, message):
    (tmp_path / "in.csv").write_bytes(b"a,b\n1,2\n")
    result = run_quillon(tmp_path, "salvage", *args)
    assert (result.returncode, result.stdout) == (2, "")
    assert message in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]
    assert (tmp_path / "in.csv").read_bytes() == b"a,b\n1,2\n"


def test_output_folders_inside_an_input_folder_are_not_inputs(tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "x.csv").write_bytes(b"a,b\n1,2\n")
    for _ in range(3):
        result = run_quillon(tmp_path, "salvage", "--out-dir", "in/clean", "--quarantine-dir", "in/q",
                             "--quiet", "in")
        assert result.returncode == 0, result.stderr
    written = sorted(os.path.relpath(os.path.join(d, f), tmp_path) for d, _, fs in os.walk(tmp_path) for f in fs)
    assert written == ["in/clean/x.csv", "in/q/x.csv", "in/x.csv"]


@pytest.mark.parametrize("call", ["__import__('quillon').salvage(fifo, out)", "__import__('quillon').read(fifo)"])
def test_ctrl_c_ends_the_read_of_an_input_that_never_ends(tmp_path, call):
    from test_interrupt import interrupt_blocked_child

    def writer_that_sends_a_little(fifo: str) -> int:
        held = os.open(fifo, os.O_RDWR)
        os.write(held, b"a,b\n" * 1000)
        return held

    interrupt_blocked_child(tmp_path, "default handler", call, b"", writer_that_sends_a_little)


def test_an_endless_device_is_refused_at_once(tmp_path):
    with pytest.raises(ValueError, match="only NUL bytes"):
        quillon.salvage("/dev/zero", tmp_path / "out.csv")
    assert leftovers(tmp_path) == [] and not (tmp_path / "out.csv").exists()
