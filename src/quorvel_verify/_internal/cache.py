"""A directory of files fetched from AMD's Key Distribution Service, shared by processes.

The cache stores bytes and nothing else: whoever reads an entry parses it and
judges whether it is still current, and everything read from it is verified
exactly as what came from the network. Writes go to a temporary file in the
same directory that then replaces the entry in one rename, so a reader, a
concurrent writer or a crash mid-write never leaves a torn entry behind.
"""

from __future__ import annotations

import contextlib
import os
import re
import sys
import tempfile
from pathlib import Path

from ..errors import VerificationError

# Entry names are built from product lines, hex chip ids and decimal patch
# levels; anything else (a path separator, "..") is refused before it reaches
# the file system.
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.=-]*(/[A-Za-z0-9][A-Za-z0-9_.=-]*)*")

# No entry the KDS serves comes near this; a larger file is not one of ours.
MAX_ENTRY_SIZE = 1 << 20


def default_cache_dir() -> Path:
    """The user's cache directory for this package, as the platform names it.

    Linux and other Unix systems: `$XDG_CACHE_HOME/quorvel`, else
    `~/.cache/quorvel`; macOS: `~/Library/Caches/quorvel`; Windows:
    `%LOCALAPPDATA%\\quorvel\\Cache`.
    """
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA") or str(Path.home() / "AppData" / "Local")
        return Path(base) / "quorvel" / "Cache"
    if sys.platform == "darwin":
        return Path.home() / "Library" / "Caches" / "quorvel"
    xdg = os.environ.get("XDG_CACHE_HOME", "")
    # The XDG rules ignore a relative path.
    base = Path(xdg) if os.path.isabs(xdg) else Path.home() / ".cache"
    return base / "quorvel"


class Cache:
    """Entries named by relative paths (`vcek/Milan/...`) under one directory."""

    def __init__(self, directory: str | os.PathLike[str] | None = None) -> None:
        self.directory = Path(directory) if directory is not None else default_cache_dir()

    def path(self, name: str) -> Path:
        if not _NAME.fullmatch(name) or ".." in name.split("/"):
            raise VerificationError(f"not a cache entry name: {name!r}")
        return self.directory / name

    def read(self, name: str) -> bytes | None:
        """The entry's bytes, or None if there is no entry (or it cannot be read)."""
        try:
            with open(self.path(name), "rb") as file:
                data = file.read(MAX_ENTRY_SIZE + 1)
        except OSError:
            return None
        return data if len(data) <= MAX_ENTRY_SIZE else None

    def write(self, name: str, data: bytes) -> None:
        """Replace the entry with `data` in one rename, creating directories as needed."""
        target = self.path(name)
        target.parent.mkdir(parents=True, exist_ok=True)
        # A name of its own per writer: two processes never write into one file.
        fd, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
        try:
            with os.fdopen(fd, "wb") as file:
                file.write(data)
                file.flush()
                os.fsync(file.fileno())
            os.replace(temporary, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise

    def drop(self, name: str) -> None:
        """Remove the entry if it exists."""
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path(name))
