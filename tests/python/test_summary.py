"""SalvageSummary: attributes, to_dict, repr, and what Python code may not do with it."""

import copy
import pickle
import weakref

import pytest

import _quillon_backend as qb

ATTRIBUTES = (
    "total_rows",
    "salvaged_rows",
    "repaired_rows",
    "quarantined_rows",
    "detected_delimiter",
    "inferred_columns",
)
EMPTY_REPR = (
    "<SalvageSummary total_rows=0 salvaged_rows=0 repaired_rows=0 quarantined_rows=0 delimiter=',' inferred_columns=0>"
)


@pytest.fixture
def summary(write_file, out_path):
    # Five records: two kept as they are, one padded, and two with surplus
    # fields that are quarantined because merging is off.
    source = write_file("a,b,c\n1,2\n3,4,5,6\n7,8,9,10\nx,y,z\n")
    return qb.salvage_file(source, out_path("out.csv"), merge_overflow=False)


class TestAttributes:
    def test_values(self, summary):
        assert summary.total_rows == 5
        assert summary.salvaged_rows == 3
        assert summary.repaired_rows == 1
        assert summary.quarantined_rows == 2
        assert summary.detected_delimiter == ","
        assert summary.inferred_columns == 3

    def test_types(self, summary):
        for name in ATTRIBUTES:
            expected = str if name == "detected_delimiter" else int
            assert type(getattr(summary, name)) is expected

    def test_properties_in_order_without_docs(self):
        names = [name for name, value in vars(qb.SalvageSummary).items() if type(value).__name__ == "getset_descriptor"]
        assert names == list(ATTRIBUTES)
        for name in ATTRIBUTES:
            assert getattr(qb.SalvageSummary, name).__doc__ is None

    @pytest.mark.parametrize("name", ATTRIBUTES)
    def test_read_only(self, summary, name):
        before = getattr(summary, name)
        with pytest.raises(AttributeError):
            setattr(summary, name, before)
        with pytest.raises(AttributeError):
            delattr(summary, name)
        assert getattr(summary, name) == before

    def test_no_new_attributes(self, summary):
        with pytest.raises(AttributeError):
            summary.comment = "x"
        assert not hasattr(summary, "__dict__")

    def test_no_weak_references(self, summary):
        with pytest.raises(TypeError):
            weakref.ref(summary)

    def test_large_counts_are_exact(self, write_file):
        reader = qb.SalvageReader(write_file("a\n"), expected_columns=2**64 - 1, fill_ragged_rows=False)
        assert reader.summary.inferred_columns == 2**64 - 1


class TestToDict:
    def test_keys_and_values(self, summary):
        result = summary.to_dict()
        assert type(result) is dict
        assert list(result) == list(ATTRIBUTES)
        assert result == {name: getattr(summary, name) for name in ATTRIBUTES}

    def test_new_dict_each_call(self, summary):
        first = summary.to_dict()
        first["total_rows"] = -1
        del first["detected_delimiter"]
        second = summary.to_dict()
        assert second is not first
        assert second["total_rows"] == summary.total_rows == 5
        assert second["detected_delimiter"] == ","

    def test_takes_no_arguments(self, summary):
        with pytest.raises(TypeError):
            summary.to_dict(1)

    def test_doc_and_signature(self):
        assert qb.SalvageSummary.to_dict.__doc__ == "Converts the summary into a native Python dictionary."
        assert qb.SalvageSummary.to_dict.__text_signature__ == "($self)"


class TestRepr:
    def test_empty_input(self, write_file, out_path):
        summary = qb.salvage_file(write_file(b""), out_path("out.csv"))
        assert repr(summary) == EMPTY_REPR

    def test_values_in_order(self, summary):
        assert repr(summary) == (
            "<SalvageSummary total_rows=5 salvaged_rows=3 repaired_rows=1 quarantined_rows=2 "
            "delimiter=',' inferred_columns=3>"
        )

    def test_str_is_repr(self, summary):
        assert str(summary) == repr(summary)

    @pytest.mark.parametrize(
        ("delimiter", "shown"),
        [("\t", "delimiter='\t'"), ("'", "delimiter='''"), (";", "delimiter=';'"), ("\u00e9", "delimiter='\u00c3'")],
    )
    def test_delimiter_is_not_escaped(self, delimiter, shown, write_file):
        summary = qb.SalvageReader(write_file("a\n"), delimiter=delimiter).summary
        assert f" {shown} " in repr(summary)

    def test_large_counts_in_decimal(self, write_file):
        reader = qb.SalvageReader(write_file("a\n"), expected_columns=12345678901, fill_ragged_rows=False)
        assert repr(reader.summary).endswith(" inferred_columns=12345678901>")


class TestClass:
    def test_cannot_be_instantiated(self):
        with pytest.raises(TypeError, match="cannot create"):
            qb.SalvageSummary()
        with pytest.raises(TypeError):
            qb.SalvageSummary.__new__(qb.SalvageSummary)

    def test_doc(self):
        assert qb.SalvageSummary.__doc__ == "Python-exposed summary of a salvage operation."
        assert qb.SalvageSummary.__text_signature__ is None

    def test_identity_comparison(self, write_file, out_path):
        source = write_file("a,b\n")
        first = qb.salvage_file(source, out_path("1.csv"))
        second = qb.salvage_file(source, out_path("2.csv"))
        assert first.to_dict() == second.to_dict()
        # Equal contents, yet two summaries: they compare by identity, and as
        # set members (hashable) each stays apart from the other.
        assert first != second
        assert len({first, second}) == 2

    def test_not_copyable_into_a_new_object(self, summary):
        # Without a constructor there is no way to rebuild one from Python.
        with pytest.raises(TypeError):
            copy.copy(summary)
        with pytest.raises(TypeError):
            pickle.dumps(summary)
