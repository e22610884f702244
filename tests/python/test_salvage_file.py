"""salvage_file: the clean file, the quarantine file, the summary and the exceptions."""

import errno
import os
import time

import pytest

import _quillon_backend as qb
from conftest import os_error_text, read_csv_rows

DAMAGED = "a,b,c\n1,2\n3,4,5,6\nx,y,z\n"
QUARANTINE_HEADER = "line,reason,raw_content\n"


def assert_plain_os_error(excinfo, code):
    error = excinfo.value
    assert type(error) is OSError
    assert error.args == (os_error_text(code),)
    assert error.errno is None
    assert error.strerror is None
    assert error.filename is None


class TestResult:
    def test_summary_of_a_damaged_file(self, write_file, out_path):
        summary = qb.salvage_file(write_file(DAMAGED), out_path("out.csv"))
        assert isinstance(summary, qb.SalvageSummary)
        assert summary.to_dict() == {
            "total_rows": 4,
            "salvaged_rows": 4,
            "repaired_rows": 2,
            "quarantined_rows": 0,
            "detected_delimiter": ",",
            "inferred_columns": 3,
        }

    def test_clean_file(self, write_file, out_path):
        output = out_path("out.csv")
        qb.salvage_file(write_file(DAMAGED), output)
        assert read_csv_rows(output) == [["a", "b", "c"], ["1", "2", ""], ["3", "4", "5,6"], ["x", "y", "z"]]

    def test_quarantine_file(self, write_file, out_path):
        output, quarantine = out_path("out.csv"), out_path("q.csv")
        summary = qb.salvage_file(
            write_file(DAMAGED), output, quarantine, fill_ragged_rows=False, merge_overflow=False
        )
        assert (summary.salvaged_rows, summary.quarantined_rows, summary.repaired_rows) == (2, 2, 0)
        assert read_csv_rows(output) == [["a", "b", "c"], ["x", "y", "z"]]
        with open(quarantine, encoding="utf-8") as f:
            assert f.readline() == QUARANTINE_HEADER
        entries = read_csv_rows(quarantine)[1:]
        assert [entry[0] for entry in entries] == ["2", "3"]
        assert all(len(entry) == 3 for entry in entries)

    def test_without_quarantine_path_writes_only_the_output(self, write_file, out_path, tmp_path):
        source = write_file(DAMAGED, name="in.csv")
        qb.salvage_file(source, out_path("out.csv"), None, fill_ragged_rows=False)
        assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.csv"]

    def test_empty_quarantine_file_has_the_header(self, write_file, out_path):
        quarantine = out_path("q.csv")
        assert qb.salvage_file(write_file("a,b\n"), out_path("out.csv"), quarantine).quarantined_rows == 0
        with open(quarantine, encoding="utf-8") as f:
            assert f.read() == QUARANTINE_HEADER

    def test_same_counts_as_the_reader(self, write_file, out_path):
        source = write_file("p;q;r\n1;2\n;;;\n\"x;y\";z;w\n")
        summary = qb.salvage_file(source, out_path("out.csv"), out_path("q.csv"), expected_columns=3)
        assert summary.to_dict() == qb.SalvageReader(source, expected_columns=3).summary.to_dict()

    def test_given_delimiter_is_written(self, write_file, out_path):
        output = out_path("out.tsv")
        summary = qb.salvage_file(write_file("a\tb\nc\td\n"), output, delimiter="\t")
        assert summary.detected_delimiter == "\t"
        assert read_csv_rows(output, delimiter="\t") == [["a", "b"], ["c", "d"]]

    def test_empty_input(self, write_file, out_path):
        output = out_path("out.csv")
        summary = qb.salvage_file(write_file(b""), output, delimiter=";", expected_columns=5)
        assert summary.to_dict() == {
            "total_rows": 0,
            "salvaged_rows": 0,
            "repaired_rows": 0,
            "quarantined_rows": 0,
            "detected_delimiter": ",",
            "inferred_columns": 0,
        }
        assert os.path.getsize(output) == 0

    def test_existing_output_is_replaced(self, write_file):
        output = write_file("old content that is longer than the new one\n" * 10, name="out.csv")
        qb.salvage_file(write_file("a,b\n"), output)
        assert read_csv_rows(output) == [["a", "b"]]


class TestErrors:
    def test_missing_input(self, tmp_path, out_path):
        output = out_path("out.csv")
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(os.fspath(tmp_path / "missing.csv"), output)
        assert_plain_os_error(excinfo, errno.ENOENT)
        assert not os.path.exists(output)

    def test_input_is_a_directory(self, tmp_path, out_path):
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(os.fspath(tmp_path), out_path("out.csv"))
        assert_plain_os_error(excinfo, errno.EISDIR)

    @pytest.mark.parametrize(("name", "code"), [("missing-dir/out.csv", errno.ENOENT), (".", errno.EISDIR)])
    def test_output_cannot_be_created(self, name, code, write_file, tmp_path):
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(write_file("a,b\n"), os.fspath(tmp_path / name))
        assert_plain_os_error(excinfo, code)

    def test_empty_quarantine_path_is_a_path(self, write_file, out_path):
        output = out_path("out.csv")
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(write_file("a,b\n"), output, "")
        assert_plain_os_error(excinfo, errno.ENOENT)
        # The output file was written before the quarantine file failed.
        assert read_csv_rows(output) == [["a", "b"]]

    def test_quarantine_in_a_missing_directory(self, write_file, out_path, tmp_path):
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(write_file("a,b\n"), out_path("out.csv"), os.fspath(tmp_path / "nowhere" / "q.csv"))
        assert_plain_os_error(excinfo, errno.ENOENT)

    @pytest.mark.skipif(os.geteuid() == 0, reason="root may read any file")
    def test_unreadable_input(self, write_file, out_path):
        source = write_file("a,b\n")
        os.chmod(source, 0)
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(source, out_path("out.csv"))
        assert_plain_os_error(excinfo, errno.EACCES)

    def test_input_buffer_out_of_memory(self, unreservable_file, out_path):
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(unreservable_file, out_path("out.csv"))
        assert type(excinfo.value) is OSError
        assert excinfo.value.args == ("out of memory",)
        assert excinfo.value.errno is None

    def test_quarantine_path_naming_the_output_file(self, write_file, out_path):
        output = out_path("out.csv")
        with pytest.raises(ValueError) as excinfo:
            qb.salvage_file(write_file("a,b\n"), output, output)
        assert type(excinfo.value) is ValueError
        assert excinfo.value.args == ("quarantine path names the output file",)

    @pytest.mark.parametrize("quarantine", ["/dev/null", "/dev/../dev/null"])
    def test_output_and_quarantine_sharing_a_device(self, write_file, quarantine):
        # Writing to the same character device twice truncates nothing.
        summary = qb.salvage_file(
            write_file(DAMAGED), "/dev/null", quarantine, expected_columns=3, merge_overflow=False
        )
        assert (summary.salvaged_rows, summary.quarantined_rows) == (3, 1)

    def test_huge_padding_raises_memory_error(self, write_file, out_path, huge_padding_refused):
        source = write_file("a,b\nc\n")
        started = time.monotonic()
        with pytest.raises(MemoryError):
            qb.salvage_file(source, out_path("out.csv"), expected_columns=2**40)
        assert time.monotonic() - started < 30
        # The module stays usable afterwards.
        assert qb.salvage_file(source, out_path("again.csv")).salvaged_rows == 2
