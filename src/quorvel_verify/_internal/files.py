"""Reading the command's input files: regular files (or `-`, standard input) and at most their kind's cap.

A path names whatever the caller gives: `/dev/zero` would be read until
memory runs out, a FIFO would block until someone writes to it, and a large
file would be read in full before being refused. So a file is opened without
waiting (a FIFO opens at once that way), must then be a regular file, and its
size is compared with its cap before a byte is read; standard input is read
up to one byte past the cap.
"""

from __future__ import annotations

import os
import stat
import sys
from typing import BinaryIO

from ..errors import ErrorKind, VerificationError

_FLAGS = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)

_KINDS = {
    stat.S_IFIFO: "a FIFO",
    stat.S_IFCHR: "a character device",
    stat.S_IFBLK: "a block device",
    stat.S_IFDIR: "a directory",
    stat.S_IFSOCK: "a socket",
}

STDIN = "-"


def read_input(path: str, what: str, limit: int, *, stdin: BinaryIO | None = None) -> bytes:
    """The bytes of the regular file at `path`, or of standard input for `-`: at most `limit` bytes of
    `what` (for the message). A `VerificationError` of kind `input` ("path: reason") for anything else."""
    if path == STDIN:
        data = (stdin or sys.stdin.buffer).read(limit + 1)
        return _capped(data, len(data), path, what, limit)
    try:
        fd = os.open(path, _FLAGS)
    except OSError as error:
        raise _unreadable(path, str(error.strerror or error)) from None
    status = os.fstat(fd)
    if not stat.S_ISREG(status.st_mode):
        os.close(fd)
        kind = _KINDS.get(stat.S_IFMT(status.st_mode), "not a regular file")
        raise _unreadable(path, f"{kind}, not a regular file (or `-` for stdin)")
    with os.fdopen(fd, "rb") as file:
        _capped(b"", status.st_size, path, what, limit)
        try:
            data = file.read(limit + 1)  # a file that grew since fstat is still cut at the cap
        except OSError as error:
            raise _unreadable(path, str(error.strerror or error)) from None
    return _capped(data, len(data), path, what, limit)


def _capped(data: bytes, size: int, path: str, what: str, limit: int) -> bytes:
    if size > limit:
        # Standard input is read one byte past the cap: its size is not known.
        shown = f"more than {limit} bytes" if path == STDIN else f"{size} bytes"
        raise _unreadable(path, f"{shown}, more than any {what} (at most {limit} bytes)")
    return data


def _unreadable(path: str, reason: str) -> VerificationError:
    return VerificationError(f"{path}: {reason}", ErrorKind.INPUT, reason=reason)


__all__ = ["STDIN", "read_input"]
