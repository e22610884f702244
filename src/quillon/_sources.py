"""Where inputs come from: files, standard input, compressed data, directories and globs.

Compression is recognised by the data's first bytes, never by the name
alone: gzip, bzip2 and xz through the standard library, zstd through the
``zstandard`` package (the standard library's ``compression.zstd`` from
Python 3.14 on). A salvage reads its input as a stream: a plain regular
file is read by the native side in blocks, anything else (a pipe,
compressed data, a file object) is handed over block by block, read and
decompressed on a thread of its own a few blocks ahead (the codecs release
the interpreter lock). Detection and the sniff hold the data in memory.
Input that is not delimited text (a workbook, an image, a program) is
refused unless forced.
"""

from __future__ import annotations

import bz2
import glob
import itertools
import lzma
import os
import queue
import stat
import sys
import threading
import zlib
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Protocol

from quillon._binary_formats import SAMPLE_SIZE, describe_binary

STDIO = "-"

# How much is read at a time: large enough that the codecs (which release
# the interpreter lock per call) do real work per call.
CHUNK = 1 << 20

# The longest magic number below.
_MAGIC_LENGTH = 6


class _Decompressor(Protocol):
    @property
    def eof(self) -> bool: ...
    @property
    def unused_data(self) -> bytes: ...
    def decompress(self, data: bytes) -> bytes: ...


def _zstd_decompressor() -> _Decompressor:
    if sys.version_info >= (3, 14):
        from compression import zstd

        return zstd.ZstdDecompressor()
    import zstandard

    return zstandard.ZstdDecompressor().decompressobj()


@dataclass(frozen=True)
class Codec:
    name: str
    magic: bytes
    suffixes: tuple[str, ...]
    new: Callable[[], _Decompressor]


CODECS = (
    # wbits 31: a gzip header and trailer around the deflate stream.
    Codec("gzip", b"\x1f\x8b", (".gz", ".gzip"), lambda: zlib.decompressobj(wbits=31)),
    Codec("bzip2", b"BZh", (".bz2",), bz2.BZ2Decompressor),
    Codec("xz", b"\xfd7zXZ\x00", (".xz",), lambda: lzma.LZMADecompressor(lzma.FORMAT_XZ)),
    Codec("zstd", b"\x28\xb5\x2f\xfd", (".zst", ".zstd"), _zstd_decompressor),
)

# The names of the files a directory input contributes, before any
# compression suffix.
TABLE_SUFFIXES = (".csv", ".tsv", ".tab", ".psv")


class InputError(ValueError):
    """An input that cannot be salvaged as such, with the reason."""


class NotTextError(InputError):
    """An input that looks like a binary format, not delimited text."""

    def __init__(self, name: str, what: str) -> None:
        super().__init__(f"{name!r} looks like {what}, not delimited text (force=True salvages it anyway)")
        self.what = what


def codec_of(start: bytes) -> Codec | None:
    """The compression whose magic number the data starts with."""
    for codec in CODECS:
        if start.startswith(codec.magic):
            # "BZh" is plain text too; a bzip2 stream follows it with the
            # block size, a digit 1 to 9.
            if codec.name == "bzip2" and not (len(start) > 3 and 0x31 <= start[3] <= 0x39):
                continue
            return codec
    return None


def codec_named_by(path: str) -> Codec | None:
    """The compression that the file's name claims."""
    lower = path.lower()
    return next((c for c in CODECS if lower.endswith(c.suffixes)), None)


def without_compression_suffix(name: str) -> str:
    codec = codec_named_by(name)
    if codec is None:
        return name
    suffix = next(s for s in codec.suffixes if name.lower().endswith(s))
    return name[: -len(suffix)]


def _check_claim(path: str, codec: Codec | None) -> None:
    # A damaged or misnamed file: salvaging compressed bytes as text would
    # only make noise.
    claimed = codec_named_by(path)
    if codec is None and claimed is not None:
        raise InputError(f"not {claimed.name} data, though the name says so")


# Progress of reading: (bytes consumed, bytes in all, when known).
ReadProgress = Callable[[int, int | None], object]


def _inflated(chunks: Iterator[bytes], codec: Codec, problems: list[str]) -> Iterator[bytes]:
    """Decompresses every stream of the data, one after another (as
    ``gzip -dc`` does with concatenated files), block by block. Data that is
    cut off or damaged gives what decompressed before the fault, and says
    what is wrong in ``problems``: a salvage keeps what can be read."""
    done = 0
    decompressor = codec.new()
    for chunk in chunks:
        while chunk:
            try:
                block = decompressor.decompress(chunk)
            except (OSError, EOFError, ValueError, zlib.error, lzma.LZMAError) as exc:
                problems.append(
                    f"the input looks damaged: its {codec.name} data cannot be read after "
                    f"{done:,} decompressed bytes ({exc}); they were salvaged"
                )
                return
            done += len(block)
            if block:
                yield block
            if not decompressor.eof:
                break
            chunk = decompressor.unused_data
            # Trailing zero bytes pad some archives' last block.
            if chunk.strip(b"\x00") == b"":
                return
            decompressor = codec.new()
    if not decompressor.eof:
        problems.append(
            f"the input looks truncated: its {codec.name} data ends after {done:,} "
            "decompressed bytes, before the end of the stream; they were salvaged"
        )


def _inflate(chunks: Iterator[bytes], codec: Codec) -> tuple[bytearray, str | None]:
    """All of _inflated's blocks in memory, and its problem if any."""
    problems: list[str] = []
    out = bytearray()
    for block in _inflated(chunks, codec, problems):
        out += block
    return out, problems[0] if problems else None


def _chunks(read: Callable[[int], bytes], first: bytes, total: int | None, progress: ReadProgress | None,
            reading: Reading | None = None) -> Iterator[bytes]:
    done = len(first)
    if reading is not None:
        reading.consumed = done
    if progress is not None:
        progress(done, total)
    if first:
        yield first
    while chunk := read(CHUNK):
        if not isinstance(chunk, (bytes, bytearray)):
            raise TypeError(f"the input stream gave {type(chunk).__name__}, not bytes: open it in binary mode")
        done += len(chunk)
        if reading is not None:
            reading.consumed = done
        if progress is not None:
            progress(done, total)
        yield chunk


class Reading:
    """How far the reading of a streamed input has got: bytes of the source
    consumed (compressed ones for compressed data), bytes handed to the
    salvage, and what the reading found wrong."""

    def __init__(self) -> None:
        self.consumed = 0
        self.size = 0
        self.problems: list[str] = []


@dataclass(frozen=True)
class LoadedInput:
    """One input, ready for the native side: a plain regular file that it
    reads itself (``path``), the data in memory (``data``: decompressed,
    read from a pipe or a stream, or handed over as bytes), or, for a
    salvage, a stream of blocks (``blocks``)."""

    # How messages and reports name it: the path, "-", or "<bytes>".
    name: str
    path: str | None
    data: bytes | bytearray | memoryview | None
    # The data's first bytes (decompressed), for what is judged on them.
    head: bytes
    compression: str | None
    # Bytes salvaged: the file's, or those decompressed or read.
    known_size: int
    # What the reading found wrong (compressed data cut off, say).
    found: tuple[str, ...] = ()
    # A streamed input's blocks, in order, b"" at the end; its reading.
    blocks: BlockFeeder | None = None
    reading: Reading | None = field(default=None, compare=False)

    @property
    def size(self) -> int:
        """Bytes salvaged; for a streamed input, those read so far."""
        return self.known_size if self.reading is None else self.reading.size

    @property
    def problems(self) -> tuple[str, ...]:
        """What the reading found wrong; for a streamed input, so far."""
        return self.found if self.reading is None else tuple(self.reading.problems)

    @property
    def source(self) -> str | bytes | bytearray | memoryview:
        """What the native side reads: the path, or the data."""
        if self.path is not None:
            return self.path
        assert self.data is not None
        return self.data


class BlockFeeder:
    """The blocks of a streamed input for the native side, which calls it
    for each next one (b"" at the end): read, and decompressed, on a thread
    of their own while the salvage works, a few blocks ahead. Reports the
    bytes of the source consumed to ``progress`` as blocks are taken."""

    # Blocks read ahead: enough to keep the codec busy, few enough that they
    # add little to the salvage's memory.
    AHEAD = 4

    def __init__(self, blocks: Iterator[bytes], reading: Reading, total: int | None,
                 progress: ReadProgress | None, release: Callable[[], object] | None = None) -> None:
        self._blocks = blocks
        self._release = release
        self._reading = reading
        self._total = total
        self._progress = progress
        self._queue: queue.Queue[bytes | BaseException] = queue.Queue(self.AHEAD)
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._ended = False
        self._released = False
        self._lock = threading.Lock()

    def __call__(self) -> bytes:
        if self._ended:
            return b""
        if self._thread is None:
            self._thread = threading.Thread(target=self._read_ahead, name="quillon-read", daemon=True)
            self._thread.start()
        item = self._queue.get()
        if isinstance(item, BaseException):
            self._ended = True
            raise item
        self._ended = not item
        self._reading.size += len(item)
        if self._progress is not None:
            self._progress(self._reading.consumed, self._total)
        return item

    def _put(self, item: bytes | BaseException) -> bool:
        while not self._stop.is_set():
            try:
                self._queue.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def _read_ahead(self) -> None:
        try:
            for block in self._blocks:
                if not self._put(bytes(block)):
                    return
            self._put(b"")
        except BaseException as exc:  # handed to the caller's thread to raise
            self._put(exc)
        finally:
            if self._stop.is_set():
                self._finish()

    def _finish(self) -> None:
        with self._lock:
            if self._released:
                return
            self._released = True
        if self._release is not None:
            self._release()

    def close(self) -> None:
        """Stops the reading ahead (a salvage that ended early) and closes
        the file read, if it was opened for the stream. A read that blocks
        (a pipe with no writer yet, after Ctrl-C) is not waited for: the
        thread closes the file when that read returns."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join(timeout=1.0)
        if self._thread is None or not self._thread.is_alive():
            self._finish()


# The data's start that is judged for binary content and the UTF-16 mark.
HEAD_SIZE = SAMPLE_SIZE


def _refuse_binary(name: str, head: bytes, force: bool) -> None:
    if force:
        return
    what = describe_binary(head)
    if what is not None:
        raise NotTextError(name, what)


def _loaded(name: str, read: Callable[[int], bytes], first: bytes, total: int | None,
            progress: ReadProgress | None, force: bool) -> LoadedInput:
    codec = codec_of(first[:_MAGIC_LENGTH])
    if codec is None:
        _refuse_binary(name, first, force)
    chunks = _chunks(read, first, total, progress)
    problems: tuple[str, ...] = ()
    if codec is not None:
        data, problem = _inflate(chunks, codec)
        if problem is not None:
            problems = (problem,)
        head = bytes(data[:HEAD_SIZE])
        _refuse_binary(name, head, force)
    else:
        data = bytearray()
        for chunk in chunks:
            data += chunk
        head = first[:HEAD_SIZE]
    return LoadedInput(name, None, data, head, None if codec is None else codec.name, len(data), problems)


def _streamed(name: str, read: Callable[[int], bytes], first: bytes, total: int | None,
              progress: ReadProgress | None, force: bool,
              release: Callable[[], object] | None = None) -> LoadedInput:
    """The input as a stream of blocks; only its head is read here, to be
    judged (decompressed first, when it is compressed)."""
    codec = codec_of(first[:_MAGIC_LENGTH])
    if codec is None:
        _refuse_binary(name, first, force)
    reading = Reading()
    chunks = _chunks(read, first, total, None, reading)
    blocks = chunks if codec is None else _inflated(chunks, codec, reading.problems)
    taken: list[bytes] = []
    while sum(map(len, taken)) < HEAD_SIZE and (block := next(blocks, None)) is not None:
        taken.append(block)
    head = b"".join(taken)[:HEAD_SIZE]
    if codec is not None:
        _refuse_binary(name, head, force)
    feeder = BlockFeeder(itertools.chain(taken, blocks), reading, total, progress, release)
    return LoadedInput(name, None, None, head, None if codec is None else codec.name, 0,
                       blocks=feeder, reading=reading)


def _load_path(path: str, progress: ReadProgress | None, in_memory: bool, force: bool,
               stream: bool = False) -> LoadedInput:
    file = open(path, "rb")  # noqa: SIM115 - a stream keeps it open for its blocks
    streamed = False
    try:
        info = os.fstat(file.fileno())
        regular = stat.S_ISREG(info.st_mode)
        first = file.read(CHUNK)
        codec = codec_of(first[:_MAGIC_LENGTH])
        _check_claim(path, codec)
        if regular and codec is None and not in_memory:
            _refuse_binary(path, first, force)
            return LoadedInput(path, path, None, first[:HEAD_SIZE], None, info.st_size)
        total = info.st_size if regular else None
        if stream:
            loaded = _streamed(path, file.read, first, total, progress, force, file.close)
            streamed = True
            return loaded
        return _loaded(path, file.read, first, total, progress, force)
    finally:
        if not streamed:
            file.close()


def load_input(
    source: object,
    *,
    progress: ReadProgress | None = None,
    in_memory: bool = False,
    force: bool = False,
    name: str | None = None,
    stream: bool = False,
) -> LoadedInput:
    """Any input of the package: a path (``str`` or ``os.PathLike``), the
    data itself (``bytes``, ``bytearray``, ``memoryview``) or a binary file
    object (anything with ``read``). Compressed data is decompressed. A plain
    regular file is left for the native side to read unless ``in_memory``.
    With ``stream``, anything but data in memory and a plain regular file is
    read as a stream of blocks (``LoadedInput.blocks``), for a salvage.

    Raises ``OSError`` when a file cannot be read, ``TypeError`` for what
    is none of these, and ``InputError`` (a ``ValueError``) for input that
    is not delimited text (unless ``force``) or misnamed compressed data.
    """
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if not isinstance(path, str):
            raise TypeError("an input path must be text, not bytes")
        return _load_path(path, progress, in_memory, force, stream)
    if isinstance(source, (bytes, bytearray, memoryview)):
        view = memoryview(source).cast("B")
        label = name or "<bytes>"
        codec = codec_of(bytes(view[:_MAGIC_LENGTH]))
        if codec is None:
            head = bytes(view[:HEAD_SIZE])
            _refuse_binary(label, head, force)
            return LoadedInput(label, None, view, head, None, len(view))
        return _loaded(label, lambda size: b"", bytes(view), None, progress, force)
    read = getattr(source, "read", None)
    if callable(read):
        given = name or getattr(source, "name", None)
        label = given if isinstance(given, str) else "<stream>"
        first = read(CHUNK)
        if not isinstance(first, (bytes, bytearray)):
            raise TypeError(f"the input stream gave {type(first).__name__}, not bytes: open it in binary mode")
        load = _streamed if stream else _loaded
        return load(label, read, bytes(first), None, progress, force)
    raise TypeError(
        f"input must be a path, bytes or a binary file object, not {type(source).__name__}"
    )


def read_stdin(progress: ReadProgress | None = None, force: bool = False, stream: bool = False) -> LoadedInput:
    return load_input(sys.stdin.buffer, progress=progress, force=force, name=STDIO, stream=stream)


# --- many inputs ---------------------------------------------------------


@dataclass(frozen=True)
class Source:
    """One input file and the name its clean file takes under the output
    directory (relative, compression suffix dropped)."""

    path: str
    name: str


@dataclass(frozen=True)
class Missing:
    """An input argument that named nothing to salvage."""

    path: str
    reason: str


def _is_table(name: str) -> bool:
    return without_compression_suffix(name).lower().endswith(TABLE_SUFFIXES)


def _walk(root: str, skipped: frozenset[str]) -> list[Source]:
    # Sorted by path, as `find | sort` lists them, so that the order (and so
    # any report) does not depend on the file system; hidden folders (.git,
    # .cache) are not data, and neither are the folders a run writes into,
    # which would otherwise be salvaged again on every rerun.
    found = []
    for folder, subfolders, files in os.walk(root):
        subfolders[:] = [
            d for d in subfolders
            if not d.startswith(".") and os.path.realpath(os.path.join(folder, d)) not in skipped
        ]
        for name in files:
            if _is_table(name) and not name.startswith("."):
                path = os.path.join(folder, name)
                relative = os.path.relpath(path, root)
                found.append((relative.split(os.sep), Source(path, without_compression_suffix(relative))))
    return [source for _, source in sorted(found, key=lambda pair: pair[0])]


def _inside(path: str, folders: frozenset[str]) -> bool:
    resolved = os.path.realpath(path)
    return any(resolved.startswith(folder + os.sep) for folder in folders)


def expand_inputs(inputs: Iterable[str], skipped_folders: Iterable[str] = ()) -> Iterator[Source | Missing]:
    """Each input as the files it stands for, in order: a file as itself, a
    directory as its table files (``.csv``, ``.tsv``, ``.tab``, ``.psv``,
    each maybe compressed), recursively, but never those in
    ``skipped_folders`` (the output folders), a glob pattern as its matches."""
    skipped = frozenset(os.path.realpath(folder) for folder in skipped_folders)
    for given in inputs:
        if os.path.isdir(given):
            found = _walk(given, skipped)
            if not found:
                yield Missing(given, "no CSV files in this directory")
            yield from found
        elif os.path.lexists(given) or not glob.has_magic(given):
            # Whatever is wrong with it (missing, a dangling link, unreadable)
            # shows when it is read.
            yield Source(given, without_compression_suffix(os.path.basename(given)))
        else:
            matches = sorted(glob.glob(given, recursive=True))
            files = [m for m in matches if not os.path.isdir(m) and not _inside(m, skipped)]
            if not files:
                yield Missing(given, "no file matches this pattern")
            for match in files:
                yield Source(match, without_compression_suffix(os.path.basename(match)))
