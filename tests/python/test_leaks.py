"""Reference leaks: loops of calls whose every object must be released again.

Two measures: the reference counts of the objects a call borrows or creates
(exact), and the resident memory after many calls (a leak of one object per
call shows up as megabytes).
"""

import gc
import os
import sys

import pytest

import _quillon_backend as qb

PAGE = os.sysconf("SC_PAGE_SIZE")
# Far below what one leaked object per call adds up to in these loops, far
# above the allocator's own noise.
RSS_LIMIT = 6 * 1024 * 1024


def rss() -> int:
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def rss_growth(action, repeat: int) -> int:
    for _ in range(max(10, repeat // 10)):
        action()
    before = rss()
    for _ in range(repeat):
        action()
    return rss() - before


def raises(exception, call):
    def action():
        try:
            call()
        except exception:
            pass
        else:
            raise AssertionError("no exception")

    return action


pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")

# AddressSanitizer holds freed memory in quarantine, so resident memory
# grows under it whether or not anything leaks.
under_sanitizer = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan keeps freed memory")


@pytest.fixture
def medium_csv(write_file):
    # 2000 rows of five fields, some repaired, some non-ASCII.
    lines = []
    for i in range(2000):
        fields = [str(i), f"name{i}", "ünï" if i % 3 == 0 else "plain", '"q,x"', "tail"]
        lines.append(",".join(fields[: 3 + i % 4]))
    return write_file("\n".join(lines) + "\n")


@under_sanitizer
class TestMemory:
    def test_salvage_file(self, medium_csv, out_path):
        output, quarantine = out_path("out.csv"), out_path("q.csv")
        assert rss_growth(lambda: qb.salvage_file(medium_csv, output, quarantine), 300) < RSS_LIMIT

    def test_reader_iterated(self, medium_csv):
        assert rss_growth(lambda: list(qb.SalvageReader(medium_csv)), 150) < RSS_LIMIT

    def test_reader_dropped_unread(self, write_file):
        path = write_file("field one,field two,field three\n" * 20000)
        assert rss_growth(lambda: qb.open(path), 150) < RSS_LIMIT

    def test_summary_reads(self, medium_csv):
        reader = qb.open(medium_csv)

        def action():
            summary = reader.summary
            summary.to_dict()
            repr(summary)
            summary.detected_delimiter
            summary.total_rows

        assert rss_growth(action, 50000) < RSS_LIMIT

    def test_sniff(self):
        sample = "a;b;c\n" * 500
        assert rss_growth(lambda: qb.sniff(sample), 20000) < RSS_LIMIT

    @pytest.mark.parametrize(
        ("exception", "call"),
        [
            (OSError, lambda: qb.salvage_file("/nonexistent/in.csv", "/nonexistent/out.csv")),
            (FileNotFoundError, lambda: qb.open("/nonexistent/in.csv")),
            (TypeError, lambda: qb.salvage_file("a", "b", fill_ragged_rows=1)),
            (TypeError, lambda: qb.open("a", unknown_keyword=1)),
            (TypeError, lambda: qb.SalvageReader()),
            (ValueError, lambda: qb.open("a\0b")),
            (UnicodeEncodeError, lambda: qb.sniff("\ud800")),
            (OverflowError, lambda: qb.open("a", expected_columns=-1)),
        ],
    )
    def test_failures(self, exception, call):
        assert rss_growth(raises(exception, call), 20000) < RSS_LIMIT

    def test_memory_error(self, write_file, huge_padding_refused):
        path = write_file("a,b\nc\n")
        assert rss_growth(raises(MemoryError, lambda: qb.open(path, expected_columns=2**40)), 2000) < RSS_LIMIT


class TestReferenceCounts:
    def test_types_are_released_by_their_instances(self, medium_csv):
        summary_type, reader_type = qb.SalvageSummary, qb.SalvageReader
        before = sys.getrefcount(summary_type), sys.getrefcount(reader_type)
        for _ in range(200):
            reader = qb.open(medium_csv)
            reader.summary.to_dict()
        del reader
        gc.collect()
        assert (sys.getrefcount(summary_type), sys.getrefcount(reader_type)) == before

    def test_arguments_are_only_borrowed(self, write_file, out_path):
        path = write_file("a;b\nc\n")
        output = out_path("out.csv")
        delimiter, quote = "".join([";", ";"]), "".join(['"', "x"])
        columns = int("1000")  # not one of the shared small ints
        before = [sys.getrefcount(value) for value in (path, output, delimiter, quote, columns)]
        for _ in range(500):
            qb.salvage_file(path, output, None, delimiter, quote, True, False, columns, True)
            qb.open(file_path=path, delimiter=delimiter, quote_char=quote, expected_columns=columns)
            with pytest.raises(TypeError):
                qb.salvage_file(path, output, delimiter=delimiter, quote_char=quote, repair_quotes=columns)
        after = [sys.getrefcount(value) for value in (path, output, delimiter, quote, columns)]
        assert after == before

    def test_numpy_like_flag_is_only_borrowed(self, write_file):
        flag = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})()
        flag_type = type(flag)
        path = write_file("a,b\n")
        before = sys.getrefcount(flag), sys.getrefcount(flag_type)
        for _ in range(500):
            qb.open(path, fill_ragged_rows=flag, merge_overflow=flag, repair_quotes=flag)
        assert (sys.getrefcount(flag), sys.getrefcount(flag_type)) == before

    def test_rows_and_fields_are_owned_only_by_the_caller(self, write_file):
        reader = qb.open(write_file("alpha,béta,gamma\n"))
        row = next(reader)
        assert sys.getrefcount(row) == 2
        assert [sys.getrefcount(row[i]) for i in range(3)] == [2, 2, 2]

    def test_reader_self_references(self, write_file):
        reader = qb.open(write_file("a\nb\n"))
        before = sys.getrefcount(reader)
        for _ in range(100):
            iter(reader)
            with reader:
                pass
            reader.__exit__(None, None, None)
            len(reader)
        list(reader)
        assert sys.getrefcount(reader) == before
