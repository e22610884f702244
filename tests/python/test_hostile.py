"""Hostile inputs, options and files, in sizes fit for CI.

Each case ends with a result or a clear exception. The expected rows follow
from the record rules by hand; every run is also checked for the counts
adding up and for salvage_file and SalvageReader agreeing.
tests/stress/run_stress.py runs the full-size versions by hand.
"""

import csv
import errno
import math
import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import _quillon_backend as qb
from conftest import os_error_text
from test_interrupt import BLOCKED_WITHIN, blocked


def salvage(path: str, tmp_path: Path, **options) -> tuple[qb.SalvageSummary, bytes, list[list[str]]]:
    """Salvages `path` into a file and through a reader; returns the summary, the clean bytes and the rows."""
    output = tmp_path / "clean.csv"
    summary = qb.salvage_file(path, os.fspath(output), **options)
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows
    assert summary.repaired_rows <= summary.salvaged_rows
    reader = qb.open(path, **options)
    assert reader.summary.to_dict() == summary.to_dict()
    rows = list(reader)
    assert len(rows) == summary.salvaged_rows
    if summary.inferred_columns:
        assert all(len(row) == summary.inferred_columns for row in rows)
    return summary, output.read_bytes(), rows


def put(tmp_path: Path, data: bytes, name: str = "input.csv") -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return os.fspath(path)


class TestHugeLine:
    SIZE = 4_000_000

    def test_line_without_breaks_is_one_field(self, tmp_path):
        data = b"x" * self.SIZE
        summary, clean, rows = salvage(put(tmp_path, data), tmp_path)
        assert rows == [["x" * self.SIZE]]
        assert clean == data + b"\n"
        assert summary.inferred_columns == 1

    def test_unterminated_quote_takes_the_rest_of_the_file(self, tmp_path):
        body = b"ab,\n" * (self.SIZE // 4)
        summary, clean, rows = salvage(put(tmp_path, b'"' + body), tmp_path)
        assert rows == [[body.decode()]]
        assert clean == b'"' + body + b'"\n'

    def test_line_of_stray_quotes(self, tmp_path):
        # Every quote but the last is followed by text, and the last ends the
        # buffer: the look-ahead makes all of them content but the last.
        n = self.SIZE // 2
        summary, clean, rows = salvage(put(tmp_path, b'"' + b'a"' * n), tmp_path)
        field = "a" + '"a' * (n - 1)
        assert rows == [[field]]
        assert clean == b'"' + field.replace('"', '""').encode() + b'"\n'

    def test_line_of_quoted_fields_with_text_after_the_quote(self, tmp_path):
        n = self.SIZE // 5
        summary, clean, rows = salvage(put(tmp_path, b'"a"b,' * n), tmp_path, repair_quotes=True)
        assert rows == [["ab"] * n + [""]]
        assert clean == b"ab," * n + b"\n"

    def test_lines_whose_last_quoted_field_never_closes(self, tmp_path):
        # «"a","x""»: the doubled quote keeps each last field open, so the
        # file is one record of a field per line, and the package's
        # runaway-quote guard judges an opening quote at every line break.
        import quillon

        n = self.SIZE // 20
        report = quillon.salvage(put(tmp_path, b'"a","x""\n' * n), tmp_path / "clean.csv")
        assert (report.total_rows, report.salvaged_rows, report.columns) == (1, 1, n + 1)
        with open(tmp_path / "clean.csv", newline="", encoding="utf-8") as clean:
            assert list(csv.reader(clean)) == [["a"] + ['x"\n"a'] * (n - 1) + ['x"\n']]


class TestManyEmptyLines:
    COUNT = 1_000_000

    @pytest.mark.parametrize("line_break", [b"\n", b"\r\n", b"\r"])
    def test_each_empty_line_is_a_record(self, tmp_path, line_break):
        summary = qb.salvage_file(put(tmp_path, line_break * self.COUNT), os.fspath(tmp_path / "out.csv"))
        assert (summary.total_rows, summary.salvaged_rows, summary.inferred_columns) == (self.COUNT, self.COUNT, 0)
        assert summary.detected_delimiter == ","
        assert (tmp_path / "out.csv").read_bytes() == b"\n" * self.COUNT

    def test_reader_yields_one_empty_field_per_line(self, tmp_path):
        count = self.COUNT // 5
        with qb.open(put(tmp_path, b"\n" * count)) as reader:
            assert len(reader) == count
            assert all(row == [""] for row in reader)

    def test_quarantined_empty_lines_keep_their_line_numbers(self, tmp_path):
        count = self.COUNT // 10
        quarantine = tmp_path / "q.csv"
        summary = qb.salvage_file(
            put(tmp_path, b"\n" * count), os.fspath(tmp_path / "out.csv"), os.fspath(quarantine),
            expected_columns=3, fill_ragged_rows=False,
        )
        assert (summary.salvaged_rows, summary.quarantined_rows) == (0, count)
        lines = quarantine.read_bytes().split(b"\n")
        assert lines[0] == b"line,reason,raw_content"
        assert lines[1:-1] == [b'%d,"Row has too few columns (expected 3)",""' % i for i in range(1, count + 1)]


class TestOnlyQuotes:
    @pytest.mark.parametrize("count", [1, 2, 3, 4, 5, 6, 100_001, 100_002])
    @pytest.mark.parametrize("repair", [True, False])
    def test_quotes_pair_up_after_the_opening_one(self, tmp_path, count, repair):
        # The first quote opens the field, every later pair is one quote of
        # content, and an odd one out at the end closes the field.
        kept = (count - 1) // 2
        summary, clean, rows = salvage(put(tmp_path, b'"' * count), tmp_path, repair_quotes=repair)
        assert rows == [['"' * kept]]
        assert clean == (b'"' + b'""' * kept + b'"\n' if kept else b"\n")

    @pytest.mark.parametrize("count", [1, 2, 7, 10_000])
    def test_quote_and_line_feed_pairs(self, tmp_path, count):
        # «"\n"» is one quoted line feed; the line feed after it ends the record.
        summary, clean, rows = salvage(put(tmp_path, b'"\n' * count), tmp_path)
        assert rows == [["\n"]] * math.ceil(count / 2)


class TestNulBytes:
    def test_nul_is_ordinary_content(self, tmp_path):
        data = b"\x00" * 1_000_000
        summary, clean, rows = salvage(put(tmp_path, data), tmp_path)
        assert rows == [["\x00" * len(data)]]
        assert clean == data + b"\n"

    def test_nul_between_delimiters(self, tmp_path):
        summary, clean, rows = salvage(put(tmp_path, b'a\x00,\x00b\n\x00,"\x00"\n'), tmp_path)
        assert rows == [["a\x00", "\x00b"], ["\x00", "\x00"]]
        assert clean == b"a\x00,\x00b\n\x00,\x00\n"

    def test_nul_as_delimiter(self, tmp_path):
        summary, clean, rows = salvage(put(tmp_path, b"a\x00b\nc\x00d,e\n"), tmp_path, delimiter="\x00")
        assert rows == [["a", "b"], ["c", "d,e"]]
        assert summary.detected_delimiter == "\x00"
        assert clean == b"a\x00b\nc\x00d,e\n"

    def test_nul_as_quote(self, tmp_path):
        # The column inference quotes with 0x22 whatever the run's quote is.
        summary, clean, rows = salvage(
            put(tmp_path, b"\x00a,b\x00,c\n"), tmp_path, quote_char="\x00", delimiter=",", expected_columns=0
        )
        assert rows == [["a,b", "c"]]
        assert clean == b"\x00a,b\x00,c\n"


class TestInvalidUtf8:
    def test_random_high_bytes_decode_like_python(self, tmp_path):
        rng = random.Random(7)
        alphabet = list(range(0x80, 0x100)) + [ord("a"), ord(" "), ord("\n")]
        data = b"a" + bytes(rng.choice(alphabet) for _ in range(200_000))
        summary, clean, rows = salvage(put(tmp_path, data), tmp_path, delimiter=",", expected_columns=0)
        lines = data.split(b"\n")
        if lines[-1] == b"":
            lines.pop()
        assert rows == [[line.decode("utf-8", "replace")] for line in lines]

    def test_every_lone_high_byte_is_one_replacement(self, tmp_path):
        data = b"".join(bytes([b]) + b"\n" for b in range(0x80, 0x100))
        summary, clean, rows = salvage(put(tmp_path, data), tmp_path)
        assert rows == [["\ufffd"]] * 128
        assert clean == "\ufffd\n".encode() * 128

    def test_high_delimiter_splits_inside_characters(self, tmp_path):
        # «é» is C3 A9: the delimiter byte C3 cuts it, and the lone A9 is ill-formed.
        data = "aéb,c\nééé\n".encode()
        summary, clean, rows = salvage(put(tmp_path, data), tmp_path, delimiter="é", expected_columns=0)
        assert summary.detected_delimiter == "\u00c3"
        assert rows == [["a", "\ufffdb,c"], ["", "\ufffd", "\ufffd", "\ufffd"]]
        assert clean == "aÃ\ufffdb,c\nÃ\ufffdÃ\ufffdÃ\ufffd\n".encode()

    def test_sniff_of_text_without_delimiters(self):
        assert qb.sniff("\ufffd\u00e9\u20ac" * 100_000) == ","


class TestQuoteEqualsDelimiter:
    DATA = b"a,b\n,c,d\nx,,y\n"

    @pytest.mark.parametrize("repair", [True, False])
    def test_quote_wins_at_a_field_start_and_the_delimiter_elsewhere(self, tmp_path, repair):
        # Line 2: the leading comma opens a quoted field that the next comma
        # closes; line 3: the second comma opens a quoted field that never
        # closes and takes the final line feed.
        summary, clean, rows = salvage(
            put(tmp_path, self.DATA), tmp_path, delimiter=",", quote_char=",", expected_columns=0,
            repair_quotes=repair,
        )
        assert rows == [["a", "b"], ["cd"], ["x", "y\n"]]
        assert clean == b"a,b\ncd\nx,,y\n,\n"

    def test_sniffed_delimiter_equal_to_the_quote(self, tmp_path):
        # The sniffer reads with the double quote: the semicolon cuts 2 and 3
        # fields. Read with the semicolon as the quote too, «;c;» is a quoted
        # field with d after it, and the one-field row is padded.
        summary, clean, rows = salvage(put(tmp_path, b"a;b\n;c;d\n" * 50), tmp_path, quote_char=";")
        assert summary.detected_delimiter == ";"
        assert rows == [["a", "b"], ["cd", ""]] * 50


class TestLineBreakOptions:
    def test_line_feed_delimiter_never_ends_a_record(self, tmp_path):
        summary, clean, rows = salvage(put(tmp_path, b"a,b\nc\n"), tmp_path, delimiter="\n", expected_columns=0)
        assert rows == [["a,b", "c", ""]]

    def test_carriage_return_delimiter_before_a_line_feed(self, tmp_path):
        summary, clean, rows = salvage(put(tmp_path, b"a\r\nb"), tmp_path, delimiter="\r", expected_columns=0)
        assert rows == [["a", ""], ["b"]]

    def test_line_feed_quote(self, tmp_path):
        summary, clean, rows = salvage(
            put(tmp_path, b"\na,b\n"), tmp_path, quote_char="\n", delimiter=",", expected_columns=0
        )
        assert rows == [["a,b"]]

    @pytest.mark.parametrize(
        "delimiter, quote", [("\n", "\r"), ("\r", "\n"), ("\n", "\n"), ("\r", "\r"), ("\n", '"'), ("\r", '"')]
    )
    @pytest.mark.parametrize("repair", [True, False])
    def test_every_combination_finishes(self, tmp_path, delimiter, quote, repair):
        data = b'a,b\r\n"c\nd",e\r\r\n\n"f""g"\rh\n' * 100
        summary, clean, rows = salvage(put(tmp_path, data), tmp_path, delimiter=delimiter, quote_char=quote,
                                       repair_quotes=repair)
        # However the line breaks and quotes are read, every letter and comma
        # is content: kept once each, in order (padding and merging keep every
        # record).
        assert summary.quarantined_rows == 0
        kept = "".join("".join(row) for row in rows)
        assert re.sub(r"[^a-h,]", "", kept) == re.sub(rb"[^a-h,]", b"", data).decode()


class TestExpectedColumns:
    DATA = b"a,b\nc\nd,e,f\n"

    def test_zero_turns_the_check_off(self, tmp_path):
        summary, clean, rows = salvage(put(tmp_path, self.DATA), tmp_path, expected_columns=0)
        assert rows == [["a", "b"], ["c"], ["d", "e", "f"]]
        assert clean == self.DATA

    def test_one_merges_every_row(self, tmp_path):
        summary, clean, rows = salvage(put(tmp_path, self.DATA), tmp_path, expected_columns=1)
        assert rows == [["a,b"], ["c"], ["d,e,f"]]
        assert clean == b'"a,b"\nc\n"d,e,f"\n'
        assert summary.repaired_rows == 2

    @pytest.mark.parametrize("count", [2**62, 2**64 - 1])
    def test_padding_to_an_impossible_width_is_a_memory_error(self, tmp_path, count):
        path = put(tmp_path, self.DATA)
        with pytest.raises(MemoryError):
            qb.salvage_file(path, os.fspath(tmp_path / "out.csv"), expected_columns=count)
        with pytest.raises(MemoryError):
            qb.open(path, expected_columns=count)

    def test_without_padding_an_impossible_width_quarantines_everything(self, tmp_path):
        quarantine = tmp_path / "q.csv"
        summary = qb.salvage_file(
            put(tmp_path, self.DATA), os.fspath(tmp_path / "out.csv"), os.fspath(quarantine),
            expected_columns=2**62, fill_ragged_rows=False,
        )
        assert (summary.salvaged_rows, summary.quarantined_rows, summary.inferred_columns) == (0, 3, 2**62)
        assert quarantine.read_text().splitlines()[1] == '1,"Row has too few columns (expected 4611686018427387904)","a,b"'
        assert (tmp_path / "out.csv").read_bytes() == b""

    def test_a_width_past_the_machine_word_is_refused(self, tmp_path):
        with pytest.raises(OverflowError):
            qb.salvage_file(put(tmp_path, self.DATA), os.fspath(tmp_path / "out.csv"), expected_columns=2**64)


def run_python(code: str, *args: str, **kwargs) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *args], **kwargs)


WRITE_INTO = """
    import sys
    with open(sys.argv[1], "rb") as src, open(sys.argv[2], "wb") as dst:
        dst.write(src.read())
"""


def full_device_refuses_writes() -> bool:
    try:
        with open("/dev/full", "wb", buffering=0) as device:
            device.write(b"x")
    except OSError as error:
        return error.errno == errno.ENOSPC
    return False


needs_dev_full = pytest.mark.skipif(
    not full_device_refuses_writes(), reason="no /dev/full that fails writes with ENOSPC"
)


class TestFileSystem:
    DATA = b"a,b,c\n1,2\n3,4,5,6\n"

    @needs_dev_full
    def test_output_to_a_full_disk(self, tmp_path):
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(put(tmp_path, self.DATA), "/dev/full")
        assert excinfo.value.args == (os_error_text(errno.ENOSPC),)

    @needs_dev_full
    def test_quarantine_to_a_full_disk(self, tmp_path):
        output = tmp_path / "out.csv"
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(put(tmp_path, self.DATA), os.fspath(output), "/dev/full")
        assert excinfo.value.args == (os_error_text(errno.ENOSPC),)
        assert output.read_bytes() == b"a,b,c\n1,2,\n3,4,\"5,6\"\n"

    def test_directory_as_output(self, tmp_path):
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(put(tmp_path, self.DATA), os.fspath(tmp_path))
        assert excinfo.value.args == (os_error_text(errno.EISDIR),)

    def test_directory_as_quarantine(self, tmp_path):
        output = tmp_path / "out.csv"
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(put(tmp_path, self.DATA), os.fspath(output), os.fspath(tmp_path))
        assert excinfo.value.args == (os_error_text(errno.EISDIR),)
        assert output.read_bytes() == b"a,b,c\n1,2,\n3,4,\"5,6\"\n"

    def test_directory_as_input(self, tmp_path):
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(os.fspath(tmp_path), os.fspath(tmp_path / "out.csv"))
        assert excinfo.value.args == (os_error_text(errno.EISDIR),)
        with pytest.raises(IsADirectoryError):
            qb.open(os.fspath(tmp_path))

    @pytest.mark.parametrize("kind", ["symlink loop", "name too long"])
    def test_unusable_paths(self, tmp_path, kind):
        if kind == "symlink loop":
            os.symlink("loop", tmp_path / "loop")
            path, code = os.fspath(tmp_path / "loop"), errno.ELOOP
        else:
            path, code = os.fspath(tmp_path / ("x" * 5000)), errno.ENAMETOOLONG
        text = os_error_text(code)
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(path, os.fspath(tmp_path / "out.csv"))
        assert type(excinfo.value) is OSError and excinfo.value.args == (text,)
        with pytest.raises(OSError) as excinfo:
            qb.open(path)
        assert type(excinfo.value) is OSError and excinfo.value.args == (text,)
        with pytest.raises(OSError) as excinfo:
            qb.salvage_file(put(tmp_path, self.DATA), path)
        assert excinfo.value.args == (text,)

    def test_file_whose_size_reads_as_zero(self, tmp_path):
        # /proc files report size 0 and are read to their end all the same.
        try:
            size, text = os.stat("/proc/version").st_size, Path("/proc/version").read_text()
        except OSError:
            pytest.skip("no /proc/version")
        if size != 0 or not text:
            pytest.skip("/proc/version does not report size 0 here")
        summary, clean, rows = salvage("/proc/version", tmp_path, delimiter=" ", quote_char="\x01", expected_columns=0)
        assert rows == [text.removesuffix("\n").split(" ")]

    @pytest.mark.parametrize("entry", ["salvage_file", "open"])
    def test_fifo_as_input(self, tmp_path, entry):
        data = self.DATA * 20_000
        source = put(tmp_path, data, "source.csv")
        fifo = os.fspath(tmp_path / "fifo")
        os.mkfifo(fifo)
        # A separate process: this one holds the interpreter lock while it
        # waits for the writer.
        writer = run_python(WRITE_INTO, source, fifo)
        try:
            if entry == "salvage_file":
                summary = qb.salvage_file(fifo, os.fspath(tmp_path / "out.csv"))
                assert summary.to_dict() == qb.salvage_file(source, os.fspath(tmp_path / "ref.csv")).to_dict()
                assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "ref.csv").read_bytes()
            else:
                assert list(qb.open(fifo)) == list(qb.open(source))
        finally:
            assert writer.wait(timeout=60) == 0

    @pytest.mark.parametrize("entry", ["salvage_file(fifo, fifo + '.out')", "_quillon_backend.open(fifo)"])
    def test_ctrl_c_interrupts_a_fifo_without_writer(self, tmp_path, entry):
        fifo = os.fspath(tmp_path / "fifo")
        os.mkfifo(fifo)
        code = f"""
            import sys
            import _quillon_backend
            from _quillon_backend import salvage_file
            fifo = sys.argv[1]
            print("ready", flush=True)
            try:
                {entry}
            except KeyboardInterrupt:
                sys.exit(3)
        """
        child = run_python(code, fifo, stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "ready\n"
            # The signal must find the call asleep in opening the FIFO; one
            # that came before would be handled before the call started.
            deadline = time.monotonic() + BLOCKED_WITHIN
            while child.poll() is None and not blocked(child.pid):
                assert time.monotonic() < deadline, "the call never blocked"
                time.sleep(0.05)
            assert child.poll() is None
            child.send_signal(signal.SIGINT)
            assert child.wait(timeout=5) == 3
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
            child.stdout.close()

    def test_file_growing_while_read(self, tmp_path):
        start = 3_000_000
        added = 3_000_000
        path = put(tmp_path, b"a,b,c\n" * start)
        grower = run_python(
            """
            import sys
            import time
            chunk = b"a,b,c\\n" * 10_000
            with open(sys.argv[1], "ab", buffering=0) as f:
                for i in range(int(sys.argv[2]) // 10_000):
                    f.write(chunk)
                    if i == 0:
                        print("growing", flush=True)
                    time.sleep(0.001)
            """,
            path,
            str(added),
            stdout=subprocess.PIPE,
        )
        try:
            assert grower.stdout.readline() == b"growing\n"
            output = tmp_path / "out.csv"
            summary = qb.salvage_file(path, os.fspath(output), delimiter=",", expected_columns=3)
        finally:
            assert grower.wait(timeout=120) == 0
            grower.stdout.close()
        assert start <= summary.total_rows <= start + added
        lines = output.read_bytes().split(b"\n")
        assert lines.pop() == b""
        assert len(lines) == summary.total_rows
        # Only the last line can have been cut off while the file grew.
        assert lines.count(b"a,b,c") >= len(lines) - 1
        assert lines[-1] in (b"a,b,c", b"a,b,", b"a,,")
