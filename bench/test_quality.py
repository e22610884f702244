"""The property judgement of bench/quality.py, where a slip would silently
move a table: how tools say "none", how their skipped lines are counted, and
what a failure or a silent tool scores. Not part of scripts/test:

    .venv/bin/python -m pytest -q bench/test_quality.py
"""

import pytest

from quality import judge_properties, score_file

TRUTH = {
    "delimiter": ",",
    "quote": '"',
    "escape": None,
    "header": True,
    "preamble": 1,
    "comment": "#",
    "tables": 1,
    "free": [],
}
LINES = ["", "Report,,", ",,", "# exported", "id,name", "1,a"]
ALL = {"delimiter", "quote", "escape", "header", "preamble", "comment", "tables"}


@pytest.mark.parametrize(
    ("answer", "reported", "header_right", "expected"),
    [
        # DuckDB's "(empty)" and a doubled quote given as the escape are "none"
        ({"quote": '"', "escape": '"', "comment": "#"}, {"quote", "escape", "comment"}, True, {"quote": True, "escape": True, "comment": True}),
        ({"escape": "(empty)", "comment": "(empty)"}, {"escape", "comment"}, True, {"escape": True, "comment": False}),
        # skipping the blank, title, empty-fields and comment lines is one line of content: right
        ({"preamble": 4}, {"preamble"}, True, {"preamble": True}),
        # stopping above the title, or running into the header, is not
        ({"preamble": 1}, {"preamble"}, True, {"preamble": False}),
        ({"preamble": 5}, {"preamble"}, True, {"preamble": False}),
        # a property the tool reports elsewhere but not here (it failed) is wrong; one it never reports is n/a
        ({}, {"delimiter"}, True, {"delimiter": False, "tables": None}),
        # a tool that says there is no header is wrong even when the names it yields happen to match
        ({"header": False}, set(), True, {"header": False}),
        ({"header": True}, set(), False, {"header": False}),
        # a silent tool's header is judged by its names alone
        ({}, set(), True, {"header": True}),
    ],
)
def test_judge(answer, reported, header_right, expected):
    verdict = judge_properties(TRUTH, answer, reported, header_right, lambda: LINES)
    assert {k: verdict[k] for k in expected} == expected


def test_free_property_takes_any_answer():
    truth = dict(TRUTH, quote='"', free=["quote"])
    assert judge_properties(truth, {"quote": "'"}, ALL, True, lambda: LINES)["quote"] is True
    assert judge_properties(TRUTH, {"quote": "'"}, ALL, True, lambda: LINES)["quote"] is False


HEADERLESS = [["1", "2"], ["3", "4"]]


@pytest.mark.parametrize(
    ("output", "names_row", "says_header", "header_right", "rows_exact"),
    [
        # quillon: no names row when it finds no header
        (HEADERLESS, False, False, 1, 1),
        # DuckDB: made-up names over every record
        ([["column0", "column1"]] + HEADERLESS, True, False, 1, 1),
        # a dataframe reader that takes the first record for names loses it
        (HEADERLESS, True, None, 0, 0),
        # csv.Sniffer saying "header" on a headerless file
        (HEADERLESS, True, True, 0, 0),
    ],
)
def test_headerless_truth(output, names_row, says_header, header_right, rows_exact):
    s = score_file(output, HEADERLESS, truth_header=False, names_row=names_row, says_header=says_header)
    assert (s.header_right, s.rows_exact, s.records_truth) == (header_right, rows_exact, 2)
