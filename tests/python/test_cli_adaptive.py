"""The command line's default: the adaptive salvage and detection."""

import json
from pathlib import Path

import pytest

import quillon
from test_cli import assert_error, run_quillon, summary_table

EXPORT = (
    b"MONTHLY REPORT;;\n;;\nid;name;amount\n"
    + b"".join(b"%d;name %d;%d.50\n" % (i, i, i) for i in range(1, 9))
    + b"id;name;amount\n9;short\n"
)


@pytest.fixture
def export(tmp_path: Path) -> Path:
    (tmp_path / "in.csv").write_bytes(EXPORT)
    return tmp_path


def test_salvage_prints_what_it_detected_and_each_reason(export: Path) -> None:
    result = run_quillon(export, "salvage", "in.csv", "out.csv", "--quarantine", "q.csv", "--no-fill")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    table = summary_table(result.stdout)
    assert table["delimiter"] == "semicolon (detected)"
    assert table["preamble"] == "2 rows (detected)"
    assert table["columns"] == "3 (detected)"
    assert (table["rows read"], table["rows quarantined"]) == ("13", "4")
    assert (table["- above the table"], table["- repeated header"], table["- too few columns"]) == ("2", "1", "1")
    assert table["clean file"] == "out.csv (semicolon-delimited)"
    lines = (export / "q.csv").read_text(encoding="utf-8").splitlines()
    assert lines[0] == "first_line,last_line,byte_offset,reason,encoding,raw"
    assert lines[1] == '1,1,0,preamble,utf-8,"MONTHLY REPORT;;"'


# Title lines and a repeated header set aside are the file's structure: only
# a data record that could not be kept fails the gate.
@pytest.mark.parametrize(("options", "status", "rejected"), [([], 0, 0), (["--no-fill"], 3, 1)])
def test_json_report_and_exit_status_on_quarantine(export: Path, options, status, rejected) -> None:
    result = run_quillon(export, "salvage", "in.csv", "out.csv", "--json", "--fail-on-quarantine", *options)
    assert result.returncode == status, result.stderr
    report = json.loads(result.stdout)
    expected = quillon.salvage(export / "in.csv", export / "again.csv", fill_ragged_rows=not options).to_dict()
    assert {k: v for k, v in report.items() if not k.endswith("_path")} == {
        k: v for k, v in expected.items() if not k.endswith("_path")
    }
    assert report["rejects"]["preamble"] == 2
    assert (report["structure_rows"], report["rejected_rows"]) == (3, rejected)


@pytest.mark.parametrize(
    ("option", "flag"),
    [
        (["--escape-char", "\\"], "--escape-char"),
        (["--encoding", "latin-1"], "--encoding"),
        (["--header"], "--header"),
        (["--skip-rows", "1"], "--skip-rows"),
        (["--output-delimiter", ";"], "--output-delimiter"),
        (["--keep-repeated-headers"], "--keep-repeated-headers"),
        (["--quote-char", "none"], "--quote-char none"),
        (["--no-repair-rows"], "--no-repair-rows"),
    ],
)
def test_basic_refuses_what_only_the_adaptive_salvage_has(export: Path, option, flag) -> None:
    result = run_quillon(export, "salvage", "--basic", "in.csv", "out.csv", *option)
    assert_error(result, 2, f"{flag} needs the adaptive salvage")
    assert not (export / "out.csv").exists()


def test_given_options_reach_the_salvage(export: Path) -> None:
    result = run_quillon(
        export, "salvage", "in.csv", "out.csv", "--skip-rows", "0", "--no-header",
        "--quote-char", "none", "--output-delimiter", "|", "--columns", "0",
    )
    assert result.returncode == 0, result.stderr
    assert (export / "out.csv").read_bytes() == EXPORT.replace(b";", b"|")
    table = summary_table(result.stdout)
    assert (table["quote"], table["header"], table["preamble"]) == ("none", "no", "0 rows")


def test_sniff_shows_the_format_salvage_uses(export: Path) -> None:
    found = quillon.salvage(export / "in.csv", export / "out.csv").input
    as_json = run_quillon(export, "sniff", "--json", "in.csv")
    assert json.loads(as_json.stdout) == found.to_dict()
    raw = run_quillon(export, "sniff", "--raw", "in.csv")
    assert raw.stdout == ";\n"
    table = summary_table(run_quillon(export, "sniff", "in.csv").stdout)
    assert (table["delimiter"], table["encoding"], table["header"]) == (
        "semicolon (detected)", "utf-8 (detected)", "yes (detected)",
    )
