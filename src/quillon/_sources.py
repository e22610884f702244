"""Where inputs come from: files, standard input, compressed data, directories and globs.

Compression is recognised by the data's first bytes, never by the name
alone: gzip, bzip2 and xz through the standard library, zstd through the
``zstandard`` package (the standard library's ``compression.zstd`` from
Python 3.14 on). Decompressed data is held in memory and salvaged from
there, as a plain file is by the native side.
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
from typing import IO, Protocol

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


class InputError(Exception):
    """An input that cannot be salvaged as such, with the reason."""


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


def sniff_codec(path: str) -> Codec | None:
    """The compression of a regular file, from its first bytes; None for a
    pipe or a device, which cannot be read twice.

    Raises ``OSError`` when the file cannot be read, and ``InputError`` when
    its name claims a compression that its bytes do not have.
    """
    with open(path, "rb") as stream:
        if not stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
            return None
        codec = codec_of(stream.read(_MAGIC_LENGTH))
    _check_claim(path, codec)
    return codec


# Progress of reading: (bytes consumed, bytes in all, when known).
ReadProgress = Callable[[int, int | None], object]


def _inflate(chunks: Iterator[bytes], codec: Codec) -> bytearray:
    """Decompresses every stream of the data, one after another (as
    ``gzip -dc`` does with concatenated files)."""
    out = bytearray()
    decompressor = codec.new()
    for chunk in chunks:
        while chunk:
            try:
                out += decompressor.decompress(chunk)
            except (OSError, EOFError, ValueError, zlib.error, lzma.LZMAError) as exc:
                raise InputError(f"damaged {codec.name} data: {exc}") from None
            if not decompressor.eof:
                break
            chunk = decompressor.unused_data
            # Trailing zero bytes pad some archives' last block.
            if chunk.strip(b"\x00") == b"":
                return out
            decompressor = codec.new()
    if not decompressor.eof:
        raise InputError(f"damaged {codec.name} data: it ends before its end-of-stream mark")
    return out


def _chunks(stream: IO[bytes], first: bytes, total: int | None, progress: ReadProgress | None) -> Iterator[bytes]:
    done = len(first)
    if progress is not None:
        progress(done, total)
    if first:
        yield first
    while chunk := stream.read(CHUNK):
        done += len(chunk)
        if progress is not None:
            progress(done, total)
        yield chunk


def read_stream(stream: IO[bytes], total: int | None = None, progress: ReadProgress | None = None) -> tuple[bytearray, Codec | None]:
    """Everything the stream holds, decompressed when it is compressed."""
    first = stream.read(CHUNK)
    codec = codec_of(first[:_MAGIC_LENGTH])
    chunks = _chunks(stream, first, total, progress)
    if codec is not None:
        return _inflate(chunks, codec), codec
    data = bytearray()
    for chunk in chunks:
        data += chunk
    return data, None


def read_file(path: str, progress: ReadProgress | None = None, *, plain_too: bool = True) -> tuple[bytearray | None, Codec | None]:
    """A file's data, decompressed when it is compressed. With ``plain_too``
    false, a plain regular file is left for the native side to read:
    ``(None, None)``. A pipe or a device is read once, whatever it holds.
    Raises as ``sniff_codec`` does."""
    with open(path, "rb") as stream:
        info = os.fstat(stream.fileno())
        regular = stat.S_ISREG(info.st_mode)
        if regular and not plain_too:
            codec = codec_of(stream.read(_MAGIC_LENGTH))
            _check_claim(path, codec)
            if codec is None:
                return None, None
            stream.seek(0)
        data, codec = read_stream(stream, info.st_size if regular else None, progress)
    _check_claim(path, codec)
    return data, codec


def read_stdin(progress: ReadProgress | None = None) -> tuple[bytearray, Codec | None]:
    return read_stream(sys.stdin.buffer, None, progress)


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


def _walk(root: str) -> list[Source]:
    # Sorted by path, as `find | sort` lists them, so that the order (and so
    # any report) does not depend on the file system; hidden folders (.git,
    # .cache) are not data.
    found = []
    for folder, subfolders, files in os.walk(root):
        subfolders[:] = [d for d in subfolders if not d.startswith(".")]
        for name in files:
            if _is_table(name) and not name.startswith("."):
                path = os.path.join(folder, name)
                relative = os.path.relpath(path, root)
                found.append((relative.split(os.sep), Source(path, without_compression_suffix(relative))))
    return [source for _, source in sorted(found, key=lambda pair: pair[0])]


def expand_inputs(inputs: Iterable[str]) -> Iterator[Source | Missing]:
    """Each input as the files it stands for, in order: a file as itself, a
    directory as its table files (``.csv``, ``.tsv``, ``.tab``, ``.psv``,
    each maybe compressed), recursively, a glob pattern as its matches."""
    for given in inputs:
        if os.path.isdir(given):
            found = _walk(given)
            if not found:
                yield Missing(given, "no CSV files in this directory")
            yield from found
        elif os.path.lexists(given) or not glob.has_magic(given):
            # Whatever is wrong with it (missing, a dangling link, unreadable)
            # shows when it is read.
            yield Source(given, without_compression_suffix(os.path.basename(given)))
        else:
            matches = sorted(glob.glob(given, recursive=True))
            files = [m for m in matches if not os.path.isdir(m)]
            if not files:
                yield Missing(given, "no file matches this pattern")
            for match in files:
                yield Source(match, without_compression_suffix(os.path.basename(match)))


def size_of(path: str) -> int:
    """The file's size in bytes, 0 when it cannot be told."""
    try:
        return os.stat(path).st_size
    except OSError:
        return 0

