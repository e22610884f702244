"""What the command line's parts share: exit statuses, the error that ends
a command, and the checks of paths made before any work."""

from __future__ import annotations

import argparse
import errno
import os

from quillon._atomic import check_outputs
from quillon._sources import STDIO, InputError, NotTextError

EXIT_IO_ERROR = 1
EXIT_USAGE = 2
EXIT_QUARANTINED = 3
EXIT_INTERRUPTED = 130
# A process that SIGPIPE would have ended reports 128 + 13 to the shell.
EXIT_BROKEN_PIPE = 141


class CommandError(Exception):
    """Ends the command with its message on stderr and its exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def check_readable(path: str) -> None:
    # Found before any work, with a message that names the file.
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise CommandError(f"cannot read {path!r}: {exc.strerror or exc}", EXIT_IO_ERROR) from None


def check_writable_target(path: str) -> None:
    # Found before any work: a mistyped folder would otherwise fail only
    # after the whole input was read and salvaged.
    if os.path.isdir(path):
        raise CommandError(f"cannot write {path!r}: {os.strerror(errno.EISDIR)}", EXIT_IO_ERROR)
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        problem = f"{folder!r} is not a directory" if os.path.exists(folder) else f"directory {folder!r} does not exist"
        raise CommandError(f"cannot write {path!r}: {problem}", EXIT_IO_ERROR)


def check_distinct(inputs: list[str], output: str | None, quarantine: str | None, report: str | None) -> None:
    """Refuses, before any work, a quarantine or report file that would
    replace an input, and outputs that share a file."""
    try:
        check_outputs([p for p in inputs if p != STDIO], output, quarantine, report)
    except ValueError as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None


def display_name(path: str) -> str:
    return "standard input" if path == STDIO else path


def salvage_failed(exc: BaseException, args: argparse.Namespace) -> CommandError:
    name = display_name(args.input)
    if isinstance(exc, UnicodeEncodeError):
        return CommandError("file names must be valid UTF-8", EXIT_USAGE)
    if isinstance(exc, NotTextError):
        return CommandError(
            f"cannot salvage {name!r}: it looks like {exc.what}, not delimited text "
            "(--force salvages it anyway)",
            EXIT_IO_ERROR,
        )
    if isinstance(exc, InputError):
        return CommandError(f"cannot salvage {name!r}: {exc}", EXIT_IO_ERROR)
    if isinstance(exc, ValueError):
        return CommandError(str(exc), EXIT_USAGE)
    if isinstance(exc, MemoryError):
        return CommandError(f"not enough memory to salvage {name!r}", EXIT_IO_ERROR)
    if isinstance(exc, OSError) and exc.filename is not None:
        # The output may be the input itself (an in-place rescue): then the
        # write is what failed, the input having been read whole first.
        verb = "read" if exc.filename == args.input and exc.filename != args.output else "write"
        return CommandError(f"cannot {verb} {exc.filename!r}: {exc.strerror or exc}", EXIT_IO_ERROR)
    return CommandError(f"salvaging {name!r} into {args.output!r} failed: {exc}", EXIT_IO_ERROR)
