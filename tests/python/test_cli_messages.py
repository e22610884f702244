"""What the command line says when things go wrong: the file that failed,
quiet ends on a closed standard output, and why the status is 3."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli import run_quillon

TABLE = b"a,b,c\n" + b"".join(b"%d,%d,%d\n" % (i, i, i) for i in range(50_000))


def shell(cwd: Path, command: str, **options) -> subprocess.CompletedProcess[str]:
    quillon = f"{sys.executable} -m quillon"
    return subprocess.run(
        ["bash", "-c", command.replace("quillon", quillon)], cwd=cwd, capture_output=True, text=True,
        timeout=120, **options,
    )


# Standard output's reader is gone before the command starts, so every write
# to it fails: the work is still done, and the command ends quietly as
# SIGPIPE would end it.
@pytest.mark.parametrize(
    "command",
    [
        "quillon sniff f.csv",
        "quillon salvage f.csv o.csv --json",
        "quillon salvage f.csv -",
        "quillon salvage --out-dir out --jobs 1 in",
    ],
)
def test_a_closed_standard_output_ends_quietly(tmp_path, command):
    (tmp_path / "f.csv").write_bytes(TABLE)
    (tmp_path / "in").mkdir()
    for i in range(12):
        (tmp_path / "in" / f"f{i}.csv").write_bytes(TABLE[:20_000])
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        quillon = [sys.executable, "-m", "quillon", *command.split()[1:]]
        result = subprocess.run(quillon, cwd=tmp_path, stdout=write_end, stderr=subprocess.PIPE, text=True,
                                timeout=120)
    finally:
        os.close(write_end)
    assert (result.returncode, result.stderr) == (141, "")
    if "--out-dir" in command:
        assert len(list((tmp_path / "out").iterdir())) == 12
    if "o.csv" in command:
        assert (tmp_path / "o.csv").read_bytes() == TABLE


@pytest.mark.skipif(not Path("/dev/full").exists(), reason="needs /dev/full")
def test_a_full_standard_output_is_one_error_line(tmp_path):
    (tmp_path / "f.csv").write_bytes(TABLE)
    result = shell(tmp_path, "quillon sniff f.csv > /dev/full")
    assert (result.returncode, result.stderr) == (
        1, "quillon: error: cannot write to standard output: No space left on device\n"
    )


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["f.csv", "afile/o.csv"], "cannot write 'afile/o.csv': 'afile' is not a directory"),
        (["f.csv", "no/o.csv"], "cannot write 'no/o.csv': directory 'no' does not exist"),
        (["--out-dir", "afile/sub", "f.csv"], "cannot create 'afile/sub': 'afile' is not a directory"),
        (["--out-dir", "afile", "f.csv"], "cannot write into 'afile': it is not a directory"),
    ],
)
def test_a_failure_names_the_path_that_failed(tmp_path, args, message):
    (tmp_path / "f.csv").write_bytes(TABLE)
    (tmp_path / "afile").write_bytes(b"x")
    result = run_quillon(tmp_path, "salvage", *args)
    assert (result.returncode, result.stderr) == (1, f"quillon: error: {message}\n")


def test_an_unwritable_quarantine_is_named_and_no_clean_file_is_left(tmp_path):
    (tmp_path / "f.csv").write_bytes(TABLE + b"1,2\n")
    (tmp_path / "ro").mkdir()
    (tmp_path / "ro" / "q.csv").mkdir()
    result = run_quillon(tmp_path, "salvage", "f.csv", "o.csv", "--quarantine", "ro/q.csv", "--no-fill")
    assert result.returncode == 1
    assert "'ro/q.csv'" in result.stderr and "'o.csv'" not in result.stderr
    assert not (tmp_path / "o.csv").exists()


def test_the_total_line_and_the_report_count_alike(tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "good.csv").write_bytes(b"a,b\n1,2\n")
    (tmp_path / "in" / "bad.csv").write_bytes(b"a,b\n1,2\n3\n")
    (tmp_path / "in" / "titled.csv").write_bytes(b"REPORT\n\na,b\n1,2\n3,4\n5,6\n")
    result = run_quillon(tmp_path, "salvage", "--out-dir", "o", "--report", "r.json", "--no-fill",
                         "--fail-on-quarantine", "in")
    assert result.returncode == 3
    totals = json.loads((tmp_path / "r.json").read_text())["totals"]
    line = result.stdout.splitlines()[-1]
    counts = re.match(r"(\d+) files: (\d+) salvaged, (\d+) over the quarantine limit, (\d+) failed", line)
    assert counts, line
    assert [int(n) for n in counts.groups()] == [totals[k] for k in ("files", "salvaged", "over_limit", "failed")]
    assert (totals["salvaged"], totals["over_limit"]) == (2, 1)
    assert totals["rows"]["structure"] >= 1 and totals["rows"]["rejected"] == 1
