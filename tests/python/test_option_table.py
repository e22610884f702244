"""The one table of options against the signatures that spell it out and the
command line built from it."""

import inspect

import pytest

import quillon
from quillon._option_table import OPTIONS, options_of
from quillon.cli import build_parser


@pytest.mark.parametrize(("function", "name"), [(quillon.salvage, "salvage"), (quillon.read, "read"),
                                                (quillon.detect, "detect")])
def test_each_function_takes_exactly_its_options_with_their_defaults(function, name):
    keywords = {
        p.name: p.default for p in inspect.signature(function).parameters.values() if p.kind is p.KEYWORD_ONLY
    }
    assert keywords == {o.keyword: o.default for o in options_of(name)}


def test_salvage_many_takes_every_option(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"a,b\n1,2\n")
    (report,) = quillon.salvage_many([tmp_path / "in.csv"], tmp_path / "o", **{o.keyword: o.default for o in OPTIONS})
    assert report.total_rows == 2


def test_every_option_has_its_flag():
    salvage_parser = build_parser()._subparsers._group_actions[0].choices["salvage"]  # type: ignore[union-attr]
    by_dest = {action.dest: action for action in salvage_parser._actions}
    for option in OPTIONS:
        assert option.flag in by_dest[option.keyword].option_strings
        assert by_dest[option.keyword].default == option.default
