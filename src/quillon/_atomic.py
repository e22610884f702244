"""Files written whole or not at all, and paths that must not name an input.

Every file the package writes goes to a temporary file in its destination's
folder (the same filesystem, so the final ``rename`` is atomic) and replaces
the destination only once the whole run has succeeded: flushed, ``fsync``ed,
renamed, the folder ``fsync``ed, as ``rsync`` and ``sed -i`` do. On any
failure, Ctrl-C included, the temporary file is removed and the destination
keeps what it held, so that ``quillon salvage X X`` is a safe in-place rescue.

A destination that exists and is not a regular file (``/dev/null``, a FIFO,
a terminal) is written directly: it cannot be replaced, and its reader wants
the stream.
"""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from collections.abc import Iterator, Sequence

# Files made by a run that did not end normally (a power cut) are hidden and
# say what they are; directory inputs skip hidden files.
_TEMPORARY_SUFFIX = ".quillon-part"


def _umask() -> int:
    # os.umask can only be read by setting it, which races with other
    # threads (salvage_many writes from several).
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022


def _with_filename(error: OSError, path: str) -> OSError:
    """The same error, naming the destination rather than its temporary file."""
    if error.errno is None:
        return error
    return type(error)(error.errno, error.strerror, path)


class Destination:
    """One file to be written: ``path`` is where the writer writes, and
    ``commit`` puts it in place."""

    def __init__(self, destination: str) -> None:
        self.destination = destination
        self.path = destination
        self._temporary: str | None = None
        target = os.path.realpath(destination)
        try:
            existing = os.stat(target)
        except FileNotFoundError:
            existing = None
        except OSError as error:
            raise _with_filename(error, destination) from None
        if existing is not None and not stat.S_ISREG(existing.st_mode):
            if stat.S_ISDIR(existing.st_mode):
                raise IsADirectoryError(21, os.strerror(21), destination)
            return
        # A link is followed: the file it points to is replaced and the link
        # stays, as users who linked it expect.
        self._target = target
        self._existing = existing
        folder = os.path.dirname(target) or "."
        try:
            fd, self._temporary = tempfile.mkstemp(
                prefix=f".{os.path.basename(target)}.", suffix=_TEMPORARY_SUFFIX, dir=folder
            )
        except OSError as error:
            raise _with_filename(error, destination) from None
        os.close(fd)
        self.path = self._temporary

    def rename_error(self, error: OSError) -> OSError:
        """An error about ``path``, reworded to name the destination."""
        if self._temporary is not None and error.filename == self._temporary:
            return _with_filename(error, self.destination)
        return error

    def sync(self) -> None:
        if self._temporary is None:
            return
        try:
            fd = os.open(self._temporary, os.O_RDONLY | os.O_CLOEXEC)
            try:
                if self._existing is not None:
                    os.fchmod(fd, stat.S_IMODE(self._existing.st_mode))
                    if (self._existing.st_uid, self._existing.st_gid) != (os.geteuid(), os.getegid()):
                        # Only the owner's superuser can give a file away;
                        # otherwise the rescued file is simply the user's.
                        with contextlib.suppress(OSError):
                            os.fchown(fd, self._existing.st_uid, self._existing.st_gid)
                else:
                    os.fchmod(fd, 0o666 & ~_umask())
                os.fsync(fd)
            finally:
                os.close(fd)
        except OSError as error:
            raise _with_filename(error, self.destination) from None

    def rename(self) -> None:
        if self._temporary is None:
            return
        try:
            os.replace(self._temporary, self._target)
        except OSError as error:
            raise _with_filename(error, self.destination) from None
        self._temporary = None
        # The rename itself is durable only once the folder is.
        with contextlib.suppress(OSError):
            fd = os.open(os.path.dirname(self._target) or ".", os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)

    def discard(self) -> None:
        if self._temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(self._temporary)
            self._temporary = None


@contextlib.contextmanager
def destinations(*paths: str | None) -> Iterator[list[Destination | None]]:
    """Temporary files for each path (``None`` stays ``None``), put in
    place together when the block ends normally and removed otherwise. An
    ``OSError`` from the block about a temporary file names its destination."""
    made: list[Destination | None] = []
    try:
        for path in paths:
            made.append(None if path is None else Destination(path))
        try:
            yield made
        except OSError as error:
            renamed = error
            for destination in made:
                if destination is not None:
                    renamed = destination.rename_error(renamed)
            if renamed is error:
                raise
            raise renamed from None
        present = [d for d in made if d is not None]
        for d in present:
            d.sync()
        for d in present:
            d.rename()
    finally:
        for leftover in made:
            if leftover is not None:
                leftover.discard()


def write_text(path: str, text: str) -> None:
    """Writes a whole text file atomically."""
    with destinations(path) as (target,):
        assert target is not None
        with open(target.path, "w", encoding="utf-8") as stream:
            stream.write(text)


# --- paths that must not name an input -------------------------------------


def identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return (info.st_dev, info.st_ino)


def same_file(a: str, b: str) -> bool:
    """Whether two paths name one file: the same device and inode when both
    exist, else the same resolved path (links, ``./x`` and ``x`` alike)."""
    ia, ib = identity(a), identity(b)
    if ia is not None and ib is not None:
        return ia == ib
    return os.path.realpath(a) == os.path.realpath(b)


def check_outputs(
    inputs: Sequence[str],
    output: str | None,
    quarantine: str | None,
    report: str | None = None,
) -> None:
    """Raises ``ValueError`` before any work when a quarantine or report file
    would replace an input, or two outputs would share a file. The clean file
    may replace its input: it is written in full first."""
    if output is not None and quarantine is not None and same_file(output, quarantine):
        raise ValueError("quarantine path names the output file")
    for kind, path in (("quarantine", quarantine), ("report", report)):
        if path is None:
            continue
        for source in inputs:
            if same_file(source, path):
                raise ValueError(f"the {kind} file {path!r} is the input {source!r}")
    if report is not None:
        for kind, path in (("output", output), ("quarantine", quarantine)):
            if path is not None and same_file(report, path):
                raise ValueError(f"the report file {report!r} is the {kind} file")
