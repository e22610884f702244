"""Where inputs come from: files, standard input, compressed data, directories and globs.

Compression is recognised by the data's first bytes, never by the name
alone: gzip, bzip2 and xz through the standard library, zstd through the
``zstandard`` package (the standard library's ``compression.zstd`` from
Python 3.14 on). Decompressed data is held in memory and salvaged from
there, as a plain file is by the native side. Input that is not delimited
text (a workbook, an image, a program) is refused unless forced.
"""

from __future__ import annotations

import bz2
import glob
import lzma
import os
import stat
import sys
import zlib
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
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


def _inflate(chunks: Iterator[bytes], codec: Codec) -> tuple[bytearray, str | None]:
    """Decompresses every stream of the data, one after another (as
    ``gzip -dc`` does with concatenated files). Data that is cut off or
    damaged gives what decompressed before the fault, and says what is
    wrong: a salvage keeps what can be read."""
    out = bytearray()
    decompressor = codec.new()
    for chunk in chunks:
        while chunk:
            try:
                out += decompressor.decompress(chunk)
            except (OSError, EOFError, ValueError, zlib.error, lzma.LZMAError) as exc:
                return out, (
                    f"the input looks damaged: its {codec.name} data cannot be read after "
                    f"{len(out):,} decompressed bytes ({exc}); they were salvaged"
                )
            if not decompressor.eof:
                break
            chunk = decompressor.unused_data
            # Trailing zero bytes pad some archives' last block.
            if chunk.strip(b"\x00") == b"":
                return out, None
            decompressor = codec.new()
    if not decompressor.eof:
        return out, (
            f"the input looks truncated: its {codec.name} data ends after {len(out):,} "
            "decompressed bytes, before the end of the stream; they were salvaged"
        )
    return out, None


def _chunks(read: Callable[[int], bytes], first: bytes, total: int | None, progress: ReadProgress | None) -> Iterator[bytes]:
    done = len(first)
    if progress is not None:
        progress(done, total)
    if first:
        yield first
    while chunk := read(CHUNK):
        if not isinstance(chunk, (bytes, bytearray)):
            raise TypeError(f"the input stream gave {type(chunk).__name__}, not bytes: open it in binary mode")
        done += len(chunk)
        if progress is not None:
            progress(done, total)
        yield chunk


@dataclass(frozen=True)
class LoadedInput:
    """One input, ready for the native side: a plain regular file that it
    reads itself (``path``), or the data in memory (decompressed, read from
    a pipe or a stream, or handed over as bytes)."""

    # How messages and reports name it: the path, "-", or "<bytes>".
    name: str
    path: str | None
    data: bytes | bytearray | memoryview | None
    # The data's first bytes (decompressed), for what is judged on them.
    head: bytes
    compression: str | None
    # Bytes salvaged: the file's, or those decompressed or read.
    size: int
    # What the reading found wrong (compressed data cut off, say).
    problems: tuple[str, ...] = ()

    @property
    def source(self) -> str | bytes | bytearray | memoryview:
        """What the native side reads: the path, or the data."""
        if self.path is not None:
            return self.path
        assert self.data is not None
        return self.data


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


def _load_path(path: str, progress: ReadProgress | None, in_memory: bool, force: bool) -> LoadedInput:
    with open(path, "rb") as stream:
        info = os.fstat(stream.fileno())
        regular = stat.S_ISREG(info.st_mode)
        first = stream.read(CHUNK)
        codec = codec_of(first[:_MAGIC_LENGTH])
        _check_claim(path, codec)
        if regular and codec is None and not in_memory:
            _refuse_binary(path, first, force)
            return LoadedInput(path, path, None, first[:HEAD_SIZE], None, info.st_size)
        return _loaded(path, stream.read, first, info.st_size if regular else None, progress, force)


def load_input(
    source: object,
    *,
    progress: ReadProgress | None = None,
    in_memory: bool = False,
    force: bool = False,
    name: str | None = None,
) -> LoadedInput:
    """Any input of the package: a path (``str`` or ``os.PathLike``), the
    data itself (``bytes``, ``bytearray``, ``memoryview``) or a binary file
    object (anything with ``read``). Compressed data is decompressed. A plain
    regular file is left for the native side to read unless ``in_memory``.

    Raises ``OSError`` when a file cannot be read, ``TypeError`` for what
    is none of these, and ``InputError`` (a ``ValueError``) for input that
    is not delimited text (unless ``force``) or misnamed compressed data.
    """
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if not isinstance(path, str):
            raise TypeError("an input path must be text, not bytes")
        return _load_path(path, progress, in_memory, force)
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
        return _loaded(label, read, bytes(first), None, progress, force)
    raise TypeError(
        f"input must be a path, bytes or a binary file object, not {type(source).__name__}"
    )


def read_stdin(progress: ReadProgress | None = None, force: bool = False) -> LoadedInput:
    return load_input(sys.stdin.buffer, progress=progress, force=force, name=STDIO)


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
