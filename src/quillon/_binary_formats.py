"""Input that is not delimited text: a workbook, an image, a program.

Salvaging such a file "succeeds" with a clean file of noise, so it is refused
unless the caller insists. Judged on the first bytes of the (decompressed)
data: the magic numbers of common binary formats, then NUL bytes where UTF-16
text would not put them, then the share of control bytes.
"""

from __future__ import annotations

import re

# How much of the data's start is judged.
SAMPLE_SIZE = 1 << 16

# (magic, offset, what the file looks like), most specific first.
_MAGIC: tuple[tuple[bytes, int, str], ...] = (
    (b"PK\x03\x04", 0, "a ZIP archive (an .xlsx workbook?)"),
    (b"PK\x05\x06", 0, "an empty ZIP archive"),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", 0, "an OLE2 compound file (an .xls workbook?)"),
    (b"PAR1", 0, "a Parquet file"),
    (b"ARROW1", 0, "an Arrow IPC file"),
    (b"ORC", 0, "an ORC file"),
    (b"Obj\x01", 0, "an Avro file"),
    (b"SQLite format 3\x00", 0, "an SQLite database"),
    (b"%PDF-", 0, "a PDF document"),
    (b"\x89PNG\r\n\x1a\n", 0, "a PNG image"),
    (b"\xff\xd8\xff", 0, "a JPEG image"),
    (b"GIF87a", 0, "a GIF image"),
    (b"GIF89a", 0, "a GIF image"),
    (b"\x7fELF", 0, "an ELF executable"),
    (b"\xca\xfe\xba\xbe", 0, "a Java class or Mach-O file"),
    (b"\xcf\xfa\xed\xfe", 0, "a Mach-O executable"),
    (b"\x00asm", 0, "a WebAssembly module"),
    (b"7z\xbc\xaf\x27\x1c", 0, "a 7-Zip archive"),
    (b"Rar!\x1a\x07", 0, "a RAR archive"),
    (b"ustar", 257, "a tar archive"),
    (b"\xff\xfe\x00\x00", 0, "UTF-32 text, which quillon does not read"),
    (b"\x00\x00\xfe\xff", 0, "UTF-32 text, which quillon does not read"),
)

# Bytes below 0x20 that text holds: TAB, LF, VT, FF, CR; ESC of terminal
# colours in logs; SUB, which ends some old DOS files; and 0x01 to 0x03, the
# field and collection delimiters of Hive's text exports.
_CONTROLS = bytes(b for b in range(1, 0x20) if b not in b"\t\n\v\f\r\x1a\x1b\x01\x02\x03")

# Runs of NUL bytes this long are blocks zeroed by a crash, damage to salvage
# around; binary formats scatter NULs among their other bytes.
_ZEROED_BLOCK = re.compile(b"\x00{16,}")

# Fewer judged bytes than this say too little to refuse a file by its shares.
_MIN_JUDGED = 64


def _looks_like_utf16(sample: bytes) -> bool:
    # ASCII in UTF-16 puts a NUL in every other byte, on one side only.
    even = sample[0::2].count(0)
    odd = sample[1::2].count(0)
    half = len(sample) // 2
    return half > 0 and max(even, odd) >= half * 0.3 and min(even, odd) <= max(even, odd) * 0.05


def describe_binary(start: bytes) -> str | None:
    """What the data looks like when it is not delimited text ("a PNG
    image"), or ``None`` for text. ``start`` is the data's first bytes; only
    the first ``SAMPLE_SIZE`` are judged."""
    sample = start[:SAMPLE_SIZE]
    for magic, offset, what in _MAGIC:
        if sample.startswith(magic, offset):
            return what
    if sample.startswith(b"MZ") and b"\x00" in sample[:512]:
        return "a Windows executable"
    if sample.startswith((b"\xff\xfe", b"\xfe\xff")) or _looks_like_utf16(sample):
        return None
    if len(sample) >= _MIN_JUDGED and not sample.strip(b"\x00"):
        return "binary data (only NUL bytes)"
    judged = _ZEROED_BLOCK.sub(b"", sample)
    if len(judged) < _MIN_JUDGED:
        return None
    if judged.count(0) * 100 > len(judged):
        return "binary data (NUL bytes)"
    controls = len(judged) - len(judged.translate(None, _CONTROLS))
    if controls * 20 > len(judged):
        return "binary data (control bytes)"
    return None
