"""Argument matching and conversion, shared by salvage_file, sniff, open and SalvageReader."""

import operator
import os
import pathlib

import pytest

import _quillon_backend as qb

SALVAGE_FILE_PARAMS = (
    "input_path",
    "output_path",
    "quarantine_path",
    "delimiter",
    "quote_char",
    "fill_ragged_rows",
    "merge_overflow",
    "expected_columns",
    "repair_quotes",
)
READER_PARAMS = (
    "file_path",
    "delimiter",
    "quote_char",
    "fill_ragged_rows",
    "merge_overflow",
    "expected_columns",
    "repair_quotes",
)
FLAGS = ("fill_ragged_rows", "merge_overflow", "repair_quotes")
REPAIRABLE = b'x,"he said "hi" ok",z\n1,2,3\n'


# Python functions with the same parameters: the interpreter words their
# argument errors, "Did you mean" suggestions included, as built-ins do.
def python_salvage_file(
    input_path,
    output_path,
    quarantine_path=None,
    delimiter=None,
    quote_char='"',
    fill_ragged_rows=True,
    merge_overflow=True,
    expected_columns=None,
    repair_quotes=True,
):
    pass


def python_open(
    file_path,
    delimiter=None,
    quote_char='"',
    fill_ragged_rows=True,
    merge_overflow=True,
    expected_columns=None,
    repair_quotes=True,
):
    pass


python_salvage_file.__qualname__ = "salvage_file"
python_open.__qualname__ = "open"


def fake_type(name, module, truth=None, error=None):
    """A class that looks like one of numpy's scalar types by name and module."""

    def __bool__(self):
        if error is not None:
            raise error
        return truth

    return type(name, (), {"__module__": module, "__bool__": __bool__})


def reader_result(path, **options):
    reader = qb.SalvageReader(path, **options)
    return list(reader), reader.summary.to_dict()


def note_of(excinfo):
    return getattr(excinfo.value, "__notes__", None)


@pytest.fixture
def small_csv(write_file):
    return write_file("a,b\nc,d\n")


# Entry points that take the reader's parameters, called the same way.
READER_ENTRIES = [
    pytest.param(qb.open, id="open"),
    pytest.param(qb.SalvageReader, id="SalvageReader"),
]


class TestMatching:
    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (lambda: qb.salvage_file(), "salvage_file() missing required argument 'input_path' (pos 1)"),
            (lambda: qb.salvage_file("a"), "salvage_file() missing required argument 'output_path' (pos 2)"),
            (
                lambda: qb.salvage_file(output_path="b"),
                "salvage_file() missing required argument 'input_path' (pos 1)",
            ),
            (
                lambda: qb.salvage_file("a", input_path="b"),
                "salvage_file() missing required argument 'output_path' (pos 2)",
            ),
            (
                lambda: qb.salvage_file("a", "b", input_path="c"),
                "argument for salvage_file() given by name ('input_path') and position (1)",
            ),
            (
                lambda: qb.salvage_file("a", "b", None, ",", quote_char="'", delimiter=";"),
                "argument for salvage_file() given by name ('delimiter') and position (4)",
            ),
            (lambda: qb.salvage_file(*"abcdefghij"), "salvage_file() takes at most 9 arguments (10 given)"),
            (
                lambda: qb.salvage_file(*"abcdefgh", x=1, y=2),
                "salvage_file() takes at most 9 arguments (10 given)",
            ),
            (
                lambda: qb.salvage_file(**{f"k{i}": i for i in range(10)}),
                "salvage_file() takes at most 9 keyword arguments (10 given)",
            ),
            (
                lambda: qb.salvage_file("a", "b", zzz=1),
                "salvage_file() got an unexpected keyword argument 'zzz'",
            ),
            (lambda: qb.sniff(), "sniff() missing required argument 'sample' (pos 1)"),
            (lambda: qb.sniff("a", "b"), "sniff() takes at most 1 argument (2 given)"),
            (lambda: qb.sniff(text="a"), "sniff() missing required argument 'sample' (pos 1)"),
            (lambda: qb.sniff(sample="a", other="b"), "sniff() takes at most 1 keyword argument (2 given)"),
            (
                lambda: qb.sniff("a", sample="b"),
                "sniff() takes at most 1 argument (2 given)",
            ),
            (lambda: qb.open(), "open() missing required argument 'file_path' (pos 1)"),
            (lambda: qb.open(*"abcdefgh"), "open() takes at most 7 arguments (8 given)"),
            (
                lambda: qb.open("a", file_path="b"),
                "argument for open() given by name ('file_path') and position (1)",
            ),
            (lambda: qb.open("a", bogus=1), "open() got an unexpected keyword argument 'bogus'"),
            (lambda: qb.SalvageReader(), "SalvageReader.__new__() missing required argument 'file_path' (pos 1)"),
            (
                lambda: qb.SalvageReader(delimiter=","),
                "SalvageReader.__new__() missing required argument 'file_path' (pos 1)",
            ),
            (lambda: qb.SalvageReader(*"abcdefgh"), "SalvageReader.__new__() takes at most 7 arguments (8 given)"),
            (
                lambda: qb.SalvageReader("a", file_path="b"),
                "argument for SalvageReader.__new__() given by name ('file_path') and position (1)",
            ),
            (
                lambda: qb.SalvageReader("a", bogus=1),
                "SalvageReader.__new__() got an unexpected keyword argument 'bogus'",
            ),
            (lambda: qb.SalvageReader("a", **{1: 2}), "keywords must be strings"),
        ],
    )
    def test_errors(self, call, message):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == message
        assert note_of(excinfo) is None

    @pytest.mark.parametrize(
        "keyword",
        ["delimter", "Delimiter", "quotechar", "quote_chr", "inputpath", "fill_ragged", "expected_column", "x", "path"],
    )
    def test_unexpected_keyword_suggestion_as_for_python_functions(self, keyword):
        with pytest.raises(TypeError) as expected:
            python_salvage_file("a", "b", **{keyword: 1})
        with pytest.raises(TypeError) as actual:
            qb.salvage_file("a", "b", **{keyword: 1})
        assert str(actual.value) == str(expected.value)
        assert note_of(actual) is None

    @pytest.mark.parametrize("keyword", ["file_pth", "filepath", "repair_quote", "merge_overflows"])
    def test_reader_keyword_suggestions(self, keyword):
        with pytest.raises(TypeError) as expected:
            python_open("a", **{keyword: 1})
        with pytest.raises(TypeError) as actual:
            qb.open("a", **{keyword: 1})
        assert str(actual.value) == str(expected.value)
        assert "Did you mean" in str(actual.value)

    def test_all_by_keyword(self, small_csv, out_path):
        output = out_path("out.csv")
        values = dict(
            input_path=small_csv,
            output_path=output,
            quarantine_path=None,
            delimiter=",",
            quote_char='"',
            fill_ragged_rows=True,
            merge_overflow=True,
            expected_columns=2,
            repair_quotes=True,
        )
        assert list(values) == list(SALVAGE_FILE_PARAMS)
        assert qb.salvage_file(**values).salvaged_rows == 2

    def test_all_by_position(self, small_csv, out_path):
        summary = qb.salvage_file(small_csv, out_path("out.csv"), None, ",", '"', True, True, 2, True)
        assert summary.salvaged_rows == 2

    @pytest.mark.parametrize("entry", READER_ENTRIES)
    def test_reader_by_position_and_keyword(self, entry, small_csv):
        by_position = entry(small_csv, ",", '"', True, True, 2, True)
        by_keyword = entry(
            file_path=small_csv,
            delimiter=",",
            quote_char='"',
            fill_ragged_rows=True,
            merge_overflow=True,
            expected_columns=2,
            repair_quotes=True,
        )
        assert list(by_position) == list(by_keyword) == [["a", "b"], ["c", "d"]]


class TestWrongTypes:
    class Outer:
        class Inner:
            pass

    @pytest.mark.parametrize(
        ("parameter", "value", "expected"),
        [
            ("input_path", b"in.csv", "str"),
            ("input_path", pathlib.Path("in.csv"), "str"),
            ("input_path", None, "str"),
            ("output_path", 3, "str"),
            ("output_path", None, "str"),
            ("quarantine_path", b"q.csv", "str"),
            ("quarantine_path", pathlib.PurePosixPath("q.csv"), "str"),
            ("delimiter", 44, "str"),
            ("delimiter", b",", "str"),
            ("quote_char", None, "str"),
            ("quote_char", 34, "str"),
            ("fill_ragged_rows", 1, "bool"),
            ("fill_ragged_rows", 0, "bool"),
            ("fill_ragged_rows", None, "bool"),
            ("merge_overflow", "True", "bool"),
            ("merge_overflow", 1.0, "bool"),
            ("repair_quotes", Outer.Inner(), "bool"),
            ("repair_quotes", [], "bool"),
        ],
    )
    def test_salvage_file(self, parameter, value, expected, small_csv, out_path):
        output = out_path("out.csv")
        arguments = {"input_path": small_csv, "output_path": output, parameter: value}
        with pytest.raises(TypeError) as excinfo:
            qb.salvage_file(**arguments)
        if value is None:
            message = f"'None' is not an instance of '{expected}'"
        else:
            message = f"'{type(value).__qualname__}' object is not an instance of '{expected}'"
        assert str(excinfo.value) == message
        assert note_of(excinfo) == [f"while processing '{parameter}'"]
        assert not os.path.exists(output)

    def test_message_uses_the_qualified_name(self, small_csv):
        with pytest.raises(TypeError) as excinfo:
            qb.open(small_csv, merge_overflow=self.Outer.Inner())
        assert str(excinfo.value) == "'TestWrongTypes.Outer.Inner' object is not an instance of 'bool'"

    @pytest.mark.parametrize("entry", READER_ENTRIES)
    @pytest.mark.parametrize(
        ("parameter", "value", "message"),
        [
            ("file_path", pathlib.Path("x.csv"), "'PosixPath' object is not an instance of 'str'"),
            ("file_path", None, "'None' is not an instance of 'str'"),
            ("delimiter", 59, "'int' object is not an instance of 'str'"),
            ("quote_char", None, "'None' is not an instance of 'str'"),
            ("fill_ragged_rows", 1, "'int' object is not an instance of 'bool'"),
            ("merge_overflow", None, "'None' is not an instance of 'bool'"),
            ("repair_quotes", "yes", "'str' object is not an instance of 'bool'"),
        ],
    )
    def test_reader(self, entry, parameter, value, message, small_csv):
        arguments = {"file_path": small_csv, parameter: value}
        with pytest.raises(TypeError) as excinfo:
            entry(**arguments)
        assert str(excinfo.value) == message
        assert note_of(excinfo) == [f"while processing '{parameter}'"]

    def test_sniff(self):
        with pytest.raises(TypeError) as excinfo:
            qb.sniff(b"a;b")
        assert str(excinfo.value) == "'bytes' object is not an instance of 'str'"
        assert note_of(excinfo) == ["while processing 'sample'"]

    def test_first_failing_parameter_wins(self, small_csv, out_path):
        with pytest.raises(TypeError) as excinfo:
            qb.salvage_file(small_csv, out_path("out.csv"), delimiter=1, quote_char=None, repair_quotes=1)
        assert note_of(excinfo) == ["while processing 'delimiter'"]
        with pytest.raises(TypeError) as excinfo:
            qb.salvage_file(1, None)
        assert note_of(excinfo) == ["while processing 'input_path'"]

    def test_conversion_comes_before_opening_the_input(self, tmp_path, out_path):
        missing = os.fspath(tmp_path / "missing.csv")
        with pytest.raises(TypeError) as excinfo:
            qb.salvage_file(missing, out_path("out.csv"), repair_quotes=1)
        assert note_of(excinfo) == ["while processing 'repair_quotes'"]
        with pytest.raises(TypeError):
            qb.open(missing, expected_columns="2")

    def test_str_subclasses_are_accepted(self, write_file, out_path):
        class Text(str):
            pass

        path = write_file("a;b\nc;d\n")
        summary = qb.salvage_file(Text(path), Text(out_path("out.csv")), Text(out_path("q.csv")), Text(";"))
        assert summary.detected_delimiter == ";"
        assert list(qb.open(Text(path), Text(";"), Text('"'))) == [["a", "b"], ["c", "d"]]


class TestUnencodableText:
    @pytest.mark.parametrize("parameter", ["input_path", "output_path", "quarantine_path", "delimiter", "quote_char"])
    def test_salvage_file(self, parameter, small_csv, out_path):
        arguments = {"input_path": small_csv, "output_path": out_path("out.csv"), parameter: "a\ud800"}
        with pytest.raises(UnicodeEncodeError) as excinfo:
            qb.salvage_file(**arguments)
        assert excinfo.value.reason == "surrogates not allowed"
        assert note_of(excinfo) == [f"while processing '{parameter}'"]

    @pytest.mark.parametrize("entry", READER_ENTRIES)
    @pytest.mark.parametrize("parameter", ["file_path", "delimiter", "quote_char"])
    def test_reader(self, entry, parameter, small_csv):
        with pytest.raises(UnicodeEncodeError) as excinfo:
            entry(**{"file_path": small_csv, parameter: "\udcff"})
        assert note_of(excinfo) == [f"while processing '{parameter}'"]

    def test_sniff(self):
        with pytest.raises(UnicodeEncodeError) as excinfo:
            qb.sniff("a,b\n\ud800")
        assert note_of(excinfo) == ["while processing 'sample'"]


class TestPaths:
    @pytest.mark.parametrize("parameter", ["input_path", "output_path", "quarantine_path"])
    def test_embedded_nul_in_salvage_file(self, parameter, small_csv, out_path):
        output = out_path("out.csv")
        arguments = {"input_path": small_csv, "output_path": output, "quarantine_path": out_path("q.csv")}
        arguments[parameter] = arguments[parameter] + "\0tail"
        with pytest.raises(ValueError) as excinfo:
            qb.salvage_file(**arguments)
        assert excinfo.value.args == ("embedded null byte",)
        assert note_of(excinfo) == [f"while processing '{parameter}'"]
        # Refused before any file was opened: nothing was written.
        assert not os.path.exists(output)

    @pytest.mark.parametrize("entry", READER_ENTRIES)
    def test_embedded_nul_in_file_path(self, entry, small_csv):
        with pytest.raises(ValueError) as excinfo:
            entry(small_csv + "\0")
        assert excinfo.value.args == ("embedded null byte",)
        assert note_of(excinfo) == ["while processing 'file_path'"]

    def test_non_ascii_path(self, write_file, out_path):
        path = write_file("a,b\n", name="daños-ü.csv")
        output = out_path("salida-é.csv")
        assert qb.salvage_file(path, output).salvaged_rows == 1
        assert os.path.exists(output)
        assert list(qb.open(path)) == [["a", "b"]]


class TestDelimiter:
    def test_only_the_first_character_counts(self, write_file):
        path = write_file("a;b\nc;d\n")
        rows, summary = reader_result(path, delimiter=";;")
        assert rows == [["a", "b"], ["c", "d"]]
        assert summary["detected_delimiter"] == ";"
        assert reader_result(path, delimiter=";,") == reader_result(path, delimiter=";")

    def test_non_ascii_gives_the_first_byte_of_its_utf8_form(self, write_file, out_path):
        # U+00E9 is C3 A9 in UTF-8: the delimiter is the byte 0xC3, reported as U+00C3.
        path = write_file(b"a\xc3b\n")
        rows, summary = reader_result(path, delimiter="\u00e9")
        assert rows == [["a", "b"]]
        assert summary["detected_delimiter"] == "\u00c3"
        assert qb.salvage_file(path, out_path("out.csv"), delimiter="\u00e9").detected_delimiter == "\u00c3"

    @pytest.mark.parametrize("content", ["a;b;c\nd;e;f\n", "a|b\nc|d\n", "a\tb\tc\n1\t2\t3\n"])
    def test_empty_string_is_none(self, content, write_file):
        path = write_file(content)
        assert reader_result(path, delimiter="") == reader_result(path, delimiter=None) == reader_result(path)

    def test_given_delimiter_is_used(self, write_file):
        path = write_file("a;b,c\nd;e,f\n")
        semicolon, _ = reader_result(path, delimiter=";")
        comma, _ = reader_result(path, delimiter=",")
        assert semicolon == [["a", "b,c"], ["d", "e,f"]]
        assert comma == [["a;b", "c"], ["d;e", "f"]]


class TestQuoteChar:
    def test_empty_string_is_the_double_quote(self, write_file):
        path = write_file('"a,b",c\n\'d,e\',f\n')
        assert reader_result(path, quote_char="", expected_columns=0) == reader_result(
            path, quote_char='"', expected_columns=0
        )
        rows, _ = reader_result(path, quote_char="", expected_columns=0)
        assert rows[0] == ["a,b", "c"]

    def test_only_the_first_character_counts(self, write_file):
        path = write_file("'a,b',c\n")
        rows, _ = reader_result(path, quote_char="'\"", expected_columns=2)
        assert rows == [["a,b", "c"]]
        assert reader_result(path, quote_char="'x", expected_columns=2) == reader_result(
            path, quote_char="'", expected_columns=2
        )

    def test_default_is_the_double_quote(self, write_file):
        path = write_file('"a,b",c\n')
        assert reader_result(path) == reader_result(path, quote_char='"')
        assert reader_result(path)[0] == [["a,b", "c"]]


class TestFlags:
    @pytest.mark.parametrize(
        ("flag", "content", "kept_when_off"),
        [
            ("fill_ragged_rows", "a,b\nc\n", [["a", "b"]]),
            ("merge_overflow", "a,b\nc,d,e\n", [["a", "b"]]),
        ],
    )
    def test_off_quarantines(self, flag, content, kept_when_off, write_file):
        path = write_file(content)
        rows, summary = reader_result(path, expected_columns=2, **{flag: False})
        assert rows == kept_when_off
        assert summary["quarantined_rows"] == 1
        rows, summary = reader_result(path, expected_columns=2, **{flag: True})
        assert len(rows) == 2
        assert summary["quarantined_rows"] == 0
        assert summary["repaired_rows"] == 1

    def test_repair_quotes_is_passed_on(self, write_file):
        path = write_file(REPAIRABLE)
        on = reader_result(path, repair_quotes=True)
        off = reader_result(path, repair_quotes=False)
        assert on != off
        assert reader_result(path) == on

    @pytest.mark.parametrize("name", ["bool_", "bool"])
    @pytest.mark.parametrize("flag", FLAGS)
    def test_numpy_bool_scalars_by_truth_value(self, name, flag, write_file):
        fake_true = fake_type(name, "numpy", truth=True)()
        fake_false = fake_type(name, "numpy", truth=False)()
        path = write_file(REPAIRABLE if flag == "repair_quotes" else "a,b\nc\nd,e,f\n")
        options = {} if flag == "repair_quotes" else {"expected_columns": 2}
        assert reader_result(path, **options, **{flag: fake_true}) == reader_result(path, **options, **{flag: True})
        assert reader_result(path, **options, **{flag: fake_false}) == reader_result(
            path, **options, **{flag: False}
        )
        assert reader_result(path, **options, **{flag: False}) != reader_result(path, **options, **{flag: True})

    @pytest.mark.parametrize(
        ("name", "module"),
        [("bool_", "numpyx"), ("bool_", "mynumpy"), ("int64", "numpy"), ("Bool", "numpy"), ("bool8", "numpy")],
    )
    def test_other_lookalikes_are_refused(self, name, module, small_csv):
        value = fake_type(name, module, truth=True)()
        with pytest.raises(TypeError) as excinfo:
            qb.open(small_csv, fill_ragged_rows=value)
        assert str(excinfo.value) == f"'{name}' object is not an instance of 'bool'"
        assert note_of(excinfo) == ["while processing 'fill_ragged_rows'"]

    def test_failing_truth_value_gets_the_note(self, small_csv):
        value = fake_type("bool_", "numpy", error=ZeroDivisionError("no truth"))()
        with pytest.raises(ZeroDivisionError) as excinfo:
            qb.open(small_csv, merge_overflow=value)
        assert note_of(excinfo) == ["while processing 'merge_overflow'"]

    def test_real_numpy_bools(self, write_file):
        numpy = pytest.importorskip("numpy")
        path = write_file("a,b\nc\n")
        assert reader_result(path, expected_columns=2, fill_ragged_rows=numpy.bool_(False)) == reader_result(
            path, expected_columns=2, fill_ragged_rows=False
        )
        assert reader_result(path, expected_columns=2, fill_ragged_rows=numpy.True_) == reader_result(
            path, expected_columns=2, fill_ragged_rows=True
        )
        with pytest.raises(TypeError):
            qb.open(path, fill_ragged_rows=numpy.int64(1))


class TestExpectedColumns:
    def test_true_counts_as_one(self, write_file):
        path = write_file("a,b\nc,d\n")
        assert reader_result(path, expected_columns=True) == reader_result(path, expected_columns=1)
        assert reader_result(path, expected_columns=True)[1]["inferred_columns"] == 1

    def test_zero_turns_the_check_off(self, write_file):
        path = write_file("a,b\nc\nd,e,f\n")
        rows, summary = reader_result(path, expected_columns=0)
        assert rows == [["a", "b"], ["c"], ["d", "e", "f"]]
        assert summary["inferred_columns"] == 0
        assert summary["repaired_rows"] == summary["quarantined_rows"] == 0

    def test_index_protocol(self, write_file):
        class Two:
            def __index__(self):
                return 2

        path = write_file("a,b,c\nd\n")
        assert reader_result(path, expected_columns=Two()) == reader_result(path, expected_columns=2)
        assert reader_result(path, expected_columns=2)[1]["inferred_columns"] == 2

    def test_none_infers(self, write_file):
        path = write_file("a,b,c\nd,e,f\ng,h,i\n")
        assert reader_result(path, expected_columns=None)[1]["inferred_columns"] == 3

    @pytest.mark.parametrize("value", [3.0, "3", b"3", [3], 2.5])
    def test_non_integers(self, value, small_csv):
        with pytest.raises(TypeError) as excinfo:
            qb.open(small_csv, expected_columns=value)
        with pytest.raises(TypeError) as oracle:
            operator.index(value)
        assert str(excinfo.value) == str(oracle.value)
        assert note_of(excinfo) == ["while processing 'expected_columns'"]

    @pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**64 + 1, 2**100])
    def test_out_of_range(self, value, small_csv, out_path):
        with pytest.raises(OverflowError) as excinfo:
            qb.salvage_file(small_csv, out_path("out.csv"), expected_columns=value)
        assert note_of(excinfo) == ["while processing 'expected_columns'"]

    def test_largest_count_is_accepted(self, write_file):
        path = write_file("a,b\n")
        rows, summary = reader_result(path, expected_columns=2**64 - 1, fill_ragged_rows=False)
        assert rows == []
        assert summary["inferred_columns"] == 2**64 - 1
        assert summary["quarantined_rows"] == 1

    def test_failing_index_gets_the_note(self, small_csv):
        class Broken:
            def __index__(self):
                raise KeyError("broken")

        with pytest.raises(KeyError) as excinfo:
            qb.open(small_csv, expected_columns=Broken())
        assert note_of(excinfo) == ["while processing 'expected_columns'"]
