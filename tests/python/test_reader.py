"""SalvageReader and open: construction, iteration, len, context manager, summary, failures."""

import errno
import os
import re
import threading
import time
import weakref

import pytest

import _quillon_backend as qb
from conftest import os_error_text, read_csv_rows

DAMAGED = "a,b,c\n1,2\n3,4,5,6\nx,y,z\n"
DAMAGED_ROWS = [["a", "b", "c"], ["1", "2", ""], ["3", "4", "5,6"], ["x", "y", "z"]]

ENTRIES = [pytest.param(qb.open, id="open"), pytest.param(qb.SalvageReader, id="SalvageReader")]


@pytest.fixture(params=ENTRIES)
def make_reader(request):
    return request.param


class TestConstruction:
    def test_open_builds_a_reader(self, write_file):
        reader = qb.open(write_file(DAMAGED))
        assert type(reader) is qb.SalvageReader

    def test_open_and_constructor_agree(self, write_file):
        path = write_file("p;q\n1\n2;3;4\n")
        a, b = qb.open(path, expected_columns=2), qb.SalvageReader(path, expected_columns=2)
        assert a.summary.to_dict() == b.summary.to_dict()
        assert list(a) == list(b)

    def test_default_repr(self, write_file):
        assert re.fullmatch(r"<(builtins\.)?SalvageReader object at 0x[0-9a-f]+>", repr(qb.open(write_file("a\n"))))

    def test_no_dict_and_no_weak_references(self, write_file):
        reader = qb.open(write_file("a\n"))
        assert not hasattr(reader, "__dict__")
        with pytest.raises(AttributeError):
            reader.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(reader)

    def test_summary_is_read_only_and_undocumented(self, write_file):
        reader = qb.open(write_file("a\n"))
        with pytest.raises(AttributeError):
            reader.summary = None
        assert qb.SalvageReader.summary.__doc__ is None

    def test_method_docs(self):
        assert qb.SalvageReader.__enter__.__doc__ is None
        assert qb.SalvageReader.__enter__.__text_signature__ == "($self)"
        assert qb.SalvageReader.__exit__.__doc__ is None
        assert qb.SalvageReader.__exit__.__text_signature__ == "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"


class TestIteration:
    def test_rows(self, make_reader, write_file):
        rows = list(make_reader(write_file(DAMAGED)))
        assert rows == DAMAGED_ROWS
        assert all(type(row) is list and all(type(field) is str for field in row) for row in rows)

    def test_second_pass_is_empty(self, make_reader, write_file):
        reader = make_reader(write_file(DAMAGED))
        assert len(list(reader)) == 4
        assert list(reader) == []
        with pytest.raises(StopIteration):
            next(reader)

    def test_iter_returns_the_reader_and_does_not_rewind(self, write_file):
        reader = qb.open(write_file(DAMAGED))
        assert next(reader) == DAMAGED_ROWS[0]
        assert iter(reader) is reader
        assert list(reader) == DAMAGED_ROWS[1:]

    def test_each_step_hands_out_a_new_list(self, write_file):
        reader = qb.open(write_file("a,b\na,b\n"))
        first = next(reader)
        first.append("changed")
        assert next(reader) == ["a", "b"]

    def test_for_loop_ends_normally(self, write_file):
        seen = []
        for row in qb.open(write_file(DAMAGED)):
            seen.append(row)
        assert seen == DAMAGED_ROWS

    def test_fixed_column_count(self, make_reader, write_file):
        rows = list(make_reader(write_file("a,b\nc\nd,e,f\n"), expected_columns=2))
        assert [len(row) for row in rows] == [2, 2, 2]

    def test_quarantined_rows_leave_no_gaps(self, write_file):
        reader = qb.open(write_file("a,b\n1\nc,d\n2,3,4\ne,f\n"), fill_ragged_rows=False, merge_overflow=False)
        assert list(reader) == [["a", "b"], ["c", "d"], ["e", "f"]]
        assert reader.summary.quarantined_rows == 2
        assert len(reader) == 3

    @pytest.mark.parametrize(
        ("content", "expected"),
        [
            ("é,ü\n", [["é", "ü"]]),
            ("日本,語\n", [["日本", "語"]]),
            ("😀,x\n", [["😀", "x"]]),
            (b"a\xff,b\n", [["a\ufffd", "b"]]),
            (b"\xef\xbb\xbfa,b\n", [["a", "b"]]),
            ('"a\nb",c\n', [["a\nb", "c"]]),
            (",\n", [["", ""]]),
            ("x" * 20000 + ",y\n", [["x" * 20000, "y"]]),
            ("é" * 9000 + ",y\n", [["é" * 9000, "y"]]),
        ],
    )
    def test_field_texts(self, content, expected, write_file):
        assert list(qb.open(write_file(content), expected_columns=0)) == expected

    def test_ascii_and_non_ascii_fields_in_one_row(self, write_file):
        rows = list(qb.open(write_file("plain,ñandú,\u00ff,z\n")))
        assert rows == [["plain", "ñandú", "\u00ff", "z"]]
        assert [f.isascii() for f in rows[0]] == [True, False, False, True]

    def test_huge_padding_raises_memory_error(self, make_reader, write_file, huge_padding_refused):
        path = write_file("a,b\nc\n")
        started = time.monotonic()
        with pytest.raises(MemoryError):
            make_reader(path, expected_columns=2**40)
        assert time.monotonic() - started < 30


class TestLength:
    def test_len_is_the_number_of_kept_rows_throughout(self, make_reader, write_file):
        reader = make_reader(write_file(DAMAGED))
        assert len(reader) == reader.summary.salvaged_rows == 4
        next(reader)
        assert len(reader) == 4
        list(reader)
        assert len(reader) == 4

    def test_truth_value(self, write_file):
        assert qb.open(write_file("a\n"))
        assert not qb.open(write_file(b""))


class TestEmptyFile:
    def test_empty_reader(self, make_reader, write_file):
        reader = make_reader(write_file(b""), delimiter=";", expected_columns=4)
        assert len(reader) == 0
        assert not reader
        with pytest.raises(StopIteration):
            next(reader)
        assert reader.summary.to_dict() == {
            "total_rows": 0,
            "salvaged_rows": 0,
            "repaired_rows": 0,
            "quarantined_rows": 0,
            "detected_delimiter": ",",
            "inferred_columns": 0,
        }


class TestContextManager:
    def test_binds_the_reader_and_keeps_it_usable(self, make_reader, write_file):
        reader = make_reader(write_file(DAMAGED))
        with reader as bound:
            assert bound is reader
            assert next(bound) == DAMAGED_ROWS[0]
        assert next(reader) == DAMAGED_ROWS[1]
        with reader:
            pass
        assert list(reader) == DAMAGED_ROWS[2:]

    def test_exception_propagates(self, write_file):
        with pytest.raises(KeyError, match="inside"):
            with qb.open(write_file(DAMAGED)):
                raise KeyError("inside")

    def test_enter_returns_self(self, write_file):
        reader = qb.open(write_file("a\n"))
        assert reader.__enter__() is reader
        with pytest.raises(TypeError):
            reader.__enter__(1)

    @pytest.mark.parametrize(
        ("args", "kwargs"),
        [
            ((), {}),
            ((None,), {}),
            ((ValueError, ValueError("x"), None), {}),
            ((), {"_exc_type": 1, "_exc_val": 2, "_exc_tb": 3}),
            ((1,), {"_exc_tb": 3}),
            (("anything", object()), {}),
        ],
    )
    def test_exit_accepts_up_to_three_and_returns_false(self, args, kwargs, write_file):
        reader = qb.open(write_file(DAMAGED))
        assert reader.__exit__(*args, **kwargs) is False
        assert list(reader) == DAMAGED_ROWS

    @pytest.mark.parametrize(
        ("args", "kwargs", "message"),
        [
            ((1, 2, 3, 4), {}, "__exit__() takes at most 3 arguments (4 given)"),
            ((1,), {"_exc_type": 1}, "argument for __exit__() given by name ('_exc_type') and position (1)"),
            ((), {"exc_type": 1}, "__exit__() got an unexpected keyword argument 'exc_type'. Did you mean '_exc_type'?"),
            ((), {"tb": 1}, "__exit__() got an unexpected keyword argument 'tb'"),
        ],
    )
    def test_exit_argument_errors(self, args, kwargs, message, write_file):
        reader = qb.open(write_file("a\n"))
        with pytest.raises(TypeError) as excinfo:
            reader.__exit__(*args, **kwargs)
        assert str(excinfo.value) == message


class TestSummary:
    def test_new_object_on_each_read(self, write_file):
        reader = qb.open(write_file(DAMAGED))
        first, second = reader.summary, reader.summary
        assert first is not second
        assert isinstance(first, qb.SalvageSummary)
        assert first.to_dict() == second.to_dict()

    def test_values(self, write_file, out_path):
        path = write_file(DAMAGED)
        expected = qb.salvage_file(path, out_path("out.csv")).to_dict()
        assert qb.open(path).summary.to_dict() == expected

    def test_outlives_the_reader(self, write_file):
        summary = qb.open(write_file(DAMAGED)).summary
        assert summary.salvaged_rows == 4

    def test_unchanged_by_iteration(self, write_file):
        reader = qb.open(write_file(DAMAGED))
        before = reader.summary.to_dict()
        list(reader)
        assert reader.summary.to_dict() == before


class TestFailures:
    def test_missing_file(self, make_reader, tmp_path):
        with pytest.raises(FileNotFoundError) as excinfo:
            make_reader(os.fspath(tmp_path / "missing.csv"))
        assert type(excinfo.value) is FileNotFoundError
        assert excinfo.value.args == (os_error_text(errno.ENOENT),)
        assert excinfo.value.errno is None
        assert excinfo.value.filename is None

    def test_directory(self, make_reader, tmp_path):
        with pytest.raises(IsADirectoryError) as excinfo:
            make_reader(os.fspath(tmp_path))
        assert excinfo.value.args == (os_error_text(errno.EISDIR),)
        assert excinfo.value.errno is None

    def test_path_through_a_file(self, make_reader, write_file):
        with pytest.raises(NotADirectoryError) as excinfo:
            make_reader(write_file("a\n") + "/inner.csv")
        assert excinfo.value.args == (os_error_text(errno.ENOTDIR),)

    @pytest.mark.parametrize("cause", ["symlink loop", "name too long"])
    def test_other_kinds_raise_os_error_itself(self, cause, make_reader, tmp_path):
        if cause == "symlink loop":
            path, code = tmp_path / "loop.csv", errno.ELOOP
            os.symlink(path, path)
        else:
            path, code = tmp_path / ("n" * 300), errno.ENAMETOOLONG
        with pytest.raises(OSError) as excinfo:
            make_reader(os.fspath(path))
        assert type(excinfo.value) is OSError
        assert excinfo.value.args == (os_error_text(code),)
        assert excinfo.value.errno is None

    def test_input_buffer_out_of_memory(self, make_reader, unreservable_file):
        with pytest.raises(MemoryError) as excinfo:
            make_reader(unreservable_file)
        assert excinfo.value.args == ("out of memory",)

    @pytest.mark.skipif(os.geteuid() == 0, reason="root may read any file")
    def test_unreadable_file(self, make_reader, write_file):
        path = write_file("a\n")
        os.chmod(path, 0)
        with pytest.raises(PermissionError) as excinfo:
            make_reader(path)
        assert excinfo.value.args == (os_error_text(errno.EACCES),)


class TestThreads:
    def test_rows_are_handed_out_once_across_threads(self, write_file):
        count = 20000
        reader = qb.open(write_file("".join(f"{i},x\n" for i in range(count))))
        seen = [[] for _ in range(4)]
        conflicts = []
        start = threading.Barrier(4)

        def drain(out):
            start.wait()
            while True:
                try:
                    row = next(reader)
                except StopIteration:
                    return
                except RuntimeError as error:
                    # Only an interpreter without the global lock lets two
                    # steps overlap; the loser is refused at once.
                    conflicts.append(str(error))
                    continue
                out.append(int(row[0]))
                len(reader)

        threads = [threading.Thread(target=drain, args=(out,)) for out in seen]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert sorted(i for out in seen for i in out) == list(range(count))
        assert set(conflicts) <= {"Already borrowed", "Already mutably borrowed"}


class TestAgainstCleanFile:
    """The reader's rows equal the clean file that salvage_file writes, read back by csv."""

    @pytest.mark.parametrize(
        ("content", "options"),
        [
            (DAMAGED, {}),
            ('id,name,note\n1,"Smith, J",ok\n2,O"Brien,x\n3,"multi\nline",y\n4\n5,a,b,c,d\n', {}),
            ("a;b;c\n1;2\n3;4;5;6\n;;\n", {"fill_ragged_rows": False}),
            ("k|v\n1|x|y\n2\n3|\"q|r\"\n", {"merge_overflow": False}),
            ("x\ty\n1\t\"tab\tinside\"\n2\t'single'\n", {"delimiter": "\t"}),
            ("é,ü,ß\n日本,語\n\"a\"\"b\",c,d\n", {"expected_columns": 3}),
            ("'a,b',c\n'd',e\n", {"quote_char": "'", "expected_columns": 2}),
            ("a,b\r\nc,d\r\n\"e\r\nf\",g\r\n", {}),
            ('a,"b c" d,e\n"x"y,z,w\n', {"repair_quotes": False}),
            ("\n\n,\na,b\n", {"expected_columns": 0}),
        ],
    )
    def test_same_rows(self, content, options, write_file, out_path):
        path = write_file(content)
        output = out_path("clean.csv")
        summary = qb.salvage_file(path, output, out_path("q.csv"), **options)
        reader = qb.open(path, **options)
        assert reader.summary.to_dict() == summary.to_dict()
        quote_char = options.get("quote_char", '"')
        assert list(reader) == read_csv_rows(output, summary.detected_delimiter, quote_char)

    def test_generated_file(self, write_file, out_path):
        lines = []
        for i in range(3000):
            fields = [f"r{i}c{j}" for j in range(i % 7)]
            if i % 11 == 0:
                fields.append('"quoted, with delimiter"')
            if i % 13 == 0:
                fields.append('stray"quote')
            if i % 17 == 0:
                fields.append("ünïcödé")
            lines.append(",".join(fields))
        path = write_file("\n".join(lines) + "\n")
        output = out_path("clean.csv")
        summary = qb.salvage_file(path, output)
        rows = list(qb.open(path))
        assert len(rows) == summary.salvaged_rows
        assert rows == read_csv_rows(output, delimiter=summary.detected_delimiter)
