"""quillon.salvage's type-aware repair of misaligned rows: each damage kind
on a typed table, the switch that turns it off, and that a table whose rows
all fit comes out the same with the repair as without."""

import csv
import io
import json
import random
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillon
from test_cli import run_quillon

HEADER = ["id", "name", "day", "time", "qty", "status", "note"]


def table_row(i: int) -> list[str]:
    first = ["Ann", "Peter", "Grace", "John", "Mary"][i % 5]
    last = ["Smith", "Brown", "Clark", "Lewis"][i % 4]
    note = ["call back", "left at door", "paid, thanks", "no answer"][i % 4]
    return [
        str(1000 + i), f"{first} {last}", f"2024-{1 + i % 12:02d}-{1 + i % 28:02d}",
        f"{8 + i % 12:02d}:{10 + i * 7 % 50:02d}", str(1 + i * 13 % 97),
        ["shipped", "pending", "closed"][i % 3], note,
    ]


def csv_text(rows: list[list[str]]) -> str:
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows(rows)
    return out.getvalue()


def salvage(tmp_path: Path, text: str, **options) -> tuple[quillon.SalvageReport, list[list[str]]]:
    (tmp_path / "in.csv").write_text(text, encoding="utf-8")
    report = quillon.salvage(tmp_path / "in.csv", tmp_path / "out.csv", **options)
    with open(tmp_path / "out.csv", newline="", encoding="utf-8") as f:
        return report, list(csv.reader(f))


ROW = table_row(20)  # 1020,Ann Smith,2024-09-21,16:50,67,closed,call back
LINE = ",".join(ROW)


# The damaged line in place of row 20, the row it should come out as, and the
# repair it should take; None: as the fixed rules make it.
CASES = {
    "doubled delimiter": (LINE.replace(",2024", ",,2024"), ROW, "dropped_empty"),
    "unquoted delimiter in a middle field": (
        LINE.replace("Ann Smith", "Smith, Ann"), [*ROW[:1], "Smith, Ann", *ROW[2:]], "rejoined",
    ),
    "unquoted delimiter in the last field": (
        LINE + ", then again", [*ROW[:6], "call back, then again"], "merged",
    ),
    "lost delimiter": (LINE.replace("16:50,67", "16:5067"), ROW, "split"),
}


@pytest.mark.parametrize("kind", CASES)
def test_misaligned_rows_come_back_in_their_columns(tmp_path, kind):
    line, expected, repair = CASES[kind]
    rows = [HEADER] + [table_row(i) for i in range(40)]
    text = csv_text(rows).replace(LINE, line)
    report, got = salvage(tmp_path, text)
    assert got[21] == expected
    assert got[:21] + got[22:] == rows[:21] + rows[22:]
    assert {k: v for k, v in report.repairs.items() if v} == {repair: 1}

    report, got = salvage(tmp_path, text, repair_misaligned_rows=False)
    assert sum(report.repairs[k] for k in ("dropped_empty", "rejoined", "split")) == 0
    assert report.repaired_rows == 1


def test_flag_is_checked_and_reaches_the_command_line(tmp_path):
    with pytest.raises(TypeError):
        quillon.salvage(tmp_path / "in.csv", tmp_path / "out.csv", repair_misaligned_rows=1)
    text = csv_text([HEADER] + [table_row(i) for i in range(40)])
    (tmp_path / "in.csv").write_text(text.replace(LINE, CASES["doubled delimiter"][0]), encoding="utf-8")
    for flags, repairs in (([], {"dropped_empty": 1}), (["--no-repair-rows"], {"merged": 1})):
        result = run_quillon(tmp_path, "salvage", "in.csv", "out.csv", "--json", *flags)
        assert result.returncode == 0, result.stderr
        values = json.loads(result.stdout)["repairs"]
        assert {k: v for k, v in values.items() if v} == repairs


CELLS = {
    "int": lambda r: str(r.randrange(-500, 100_000)),
    "decimal": lambda r: f"{r.randrange(0, 10_000) / 100:.2f}",
    "day": lambda r: f"20{r.randrange(10, 30)}-{r.randrange(1, 13):02d}-{r.randrange(1, 29):02d}",
    "flag": lambda r: r.choice(["Y", "N", ""]),
    "words": lambda r: " ".join(r.choice(["ab", "cd", "x", "yz, w", ""]) for _ in range(r.randrange(1, 4))),
}


@settings(max_examples=6, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.sampled_from(sorted(CELLS)), min_size=1, max_size=8), st.integers(0, 2**32))
def test_ten_thousand_fitting_rows_come_out_the_same_with_the_repair(tmp_path, kinds, seed):
    rng = random.Random(seed)
    rows = [[f"c{j}" for j in range(len(kinds))]]
    rows += [[CELLS[k](rng) for k in kinds] for _ in range(10_000)]
    text = csv_text(rows)
    # Given, so that every row fits whatever detection would make of one column of words.
    given = {"delimiter": ",", "quote_char": '"', "expected_columns": len(kinds)}
    report, with_repair = salvage(tmp_path, text, **given)
    _, without = salvage(tmp_path, text, repair_misaligned_rows=False, **given)
    assert with_repair == without
    assert report.repaired_rows == 0
