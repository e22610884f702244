"""sniff: the delimiter of a text sample."""

import pytest

import _quillon_backend as qb

CANDIDATES = (",", ";", "\t", "|")


class TestSniff:
    @pytest.mark.parametrize(
        ("sample", "expected"),
        [
            ("", ","),
            ("a;b;c\nd;e;f\ng;h;i\n", ";"),
            ("a,b,c\nd,e,f\n", ","),
            ("a\tb\tc\nd\te\tf\n", "\t"),
            ("a|b|c\nd|e|f\n", "|"),
            ("name;città;note\nRoma;Lazio;ok\n", ";"),
        ],
    )
    def test_samples(self, sample, expected):
        assert qb.sniff(sample) == expected

    def test_keyword(self):
        assert qb.sniff(sample="a|b\nc|d\n") == "|"

    def test_str_subclass(self):
        class Text(str):
            pass

        assert qb.sniff(Text("a;b\nc;d\n")) == ";"

    @pytest.mark.parametrize("sample", ["x", "\n\n\n", "a b c", "no delimiters here\nnor here\n", "ü;ß\n"])
    def test_always_one_candidate(self, sample):
        result = qb.sniff(sample)
        assert type(result) is str
        assert result in CANDIDATES

    @pytest.mark.parametrize("sample", ["a;b;c\n1;2;3\n", "x|y\n1|2\n3|4\n", "p\tq\n", "a,b;c\n"])
    def test_agrees_with_the_reader(self, sample, write_file):
        assert qb.sniff(sample) == qb.SalvageReader(write_file(sample)).summary.detected_delimiter

    @pytest.mark.parametrize("sample", [b"a;b", None, 3, ["a;b"]])
    def test_refuses_non_str(self, sample):
        with pytest.raises(TypeError) as excinfo:
            qb.sniff(sample)
        assert excinfo.value.__notes__ == ["while processing 'sample'"]
