"""A directory of files fetched from vendors' collateral services (AMD's KDS, Intel's PCS), shared by processes.

The cache stores bytes and nothing else: whoever reads an entry parses it and
judges whether it is still current, and everything read from it is verified
exactly as what came from the network. Writes go to a temporary file in the
same directory that then replaces the entry in one rename, so a reader, a
concurrent writer or a crash mid-write never leaves a torn entry behind.

The directory is shared with other processes and other users' mistakes: an
entry is read only from a regular file reached without following a link, and
at most `limits.CACHE_ENTRY_SIZE` bytes of it. Anything else where an entry or
one of its directories belongs (a FIFO, which would block a reader forever, a
link planted beside the entries, a device) is read as no entry and replaced
when the entry is written. The cache directory itself may be a link: its
owner chose it.
"""

from __future__ import annotations

import contextlib
import os
import re
import secrets
import stat
import sys
from pathlib import Path

from ..errors import VerificationError
from . import limits

# Entry names are built from product lines, hex chip ids and decimal patch
# levels; anything else (a path separator, "..") is refused before it reaches
# the file system.
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.=-]*(/[A-Za-z0-9][A-Za-z0-9_.=-]*)*")

MAX_ENTRY_SIZE = limits.CACHE_ENTRY_SIZE

_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_DIRECTORY = getattr(os, "O_DIRECTORY", 0)
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
# Opening a FIFO for reading waits for a writer; without blocking it opens at once, and fstat says what it is.
_NONBLOCK = getattr(os, "O_NONBLOCK", 0)
# Where the system opens files relative to a directory descriptor, no step of an entry's path is followed
# through a link even if one is planted while the cache is in use. Elsewhere (Windows), each step is checked
# by its path first.
# (os.replace takes directory descriptors wherever os.rename does, but is not listed on its own.)
_BY_DESCRIPTOR = {os.open, os.mkdir, os.unlink, os.rename} <= os.supports_dir_fd and bool(_NOFOLLOW)


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
        """Where the entry `name` ("vcek/Milan/...") is kept; `VerificationError` for a name no entry has."""
        if not _NAME.fullmatch(name) or ".." in name.split("/"):
            raise VerificationError(f"not a cache entry name: {name!r}")
        return self.directory / name

    def read(self, name: str) -> bytes | None:
        """The entry's bytes, or None if there is no entry (or it cannot be read, or is not a regular file)."""
        self.path(name)
        try:
            parent = self._parent(name, create=False)
        except OSError:
            return None
        if parent is None:
            return None
        try:
            fd = parent.open(_leaf(name), os.O_RDONLY | _NONBLOCK)
            with os.fdopen(fd, "rb") as file:
                status = os.fstat(file.fileno())
                if not stat.S_ISREG(status.st_mode) or status.st_size > MAX_ENTRY_SIZE:
                    return None
                data = file.read(MAX_ENTRY_SIZE + 1)
        except OSError:
            return None
        finally:
            parent.close()
        return data if len(data) <= MAX_ENTRY_SIZE else None

    def write(self, name: str, data: bytes) -> None:
        """Replace the entry with `data` in one rename, creating directories as needed."""
        self.path(name)
        leaf = _leaf(name)
        parent = self._parent(name, create=True)
        assert parent is not None
        try:
            # A name of its own per writer: two processes never write into one file.
            temporary = f".{leaf}.{secrets.token_hex(8)}.tmp"
            fd = parent.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
            try:
                with os.fdopen(fd, "wb") as file:
                    file.write(data)
                    file.flush()
                    os.fsync(file.fileno())
                # A rename replaces whatever has the name (a link, a FIFO) without following it.
                parent.replace(temporary, leaf)
            except BaseException:
                with contextlib.suppress(OSError):
                    parent.unlink(temporary)
                raise
        finally:
            parent.close()

    def drop(self, name: str) -> None:
        """Remove the entry if it exists (a link is removed, not what it points at)."""
        self.path(name)
        parent = self._parent(name, create=False)
        if parent is None:
            return
        try:
            with contextlib.suppress(FileNotFoundError, IsADirectoryError):
                parent.unlink(_leaf(name))
        finally:
            parent.close()

    def _parent(self, name: str, *, create: bool) -> _Directory | None:
        """The directory that holds the entry, reached from the cache directory without following a link.

        With `create`, missing directories are made, and whatever else has a directory's name (a link, a
        file) is replaced by one; without, None where the path does not lead through directories.
        """
        if create:
            self.directory.mkdir(parents=True, exist_ok=True)
        try:
            current = _Directory.root(self.directory)
        except (FileNotFoundError, NotADirectoryError):
            if create:
                raise
            return None
        for part in name.split("/")[:-1]:
            try:
                step = current.step(part, create)
            except BaseException:
                current.close()
                raise
            current.close()
            if step is None:
                return None
            current = step
        return current


def _leaf(name: str) -> str:
    return name.rsplit("/", 1)[-1]


class _Directory:
    """A directory of the cache: an open descriptor where the system has them, else its path."""

    def __init__(self, fd: int | None, path: Path) -> None:
        self.fd, self.path = fd, path

    @classmethod
    def root(cls, path: Path) -> _Directory:
        if not _BY_DESCRIPTOR:
            if not path.is_dir():
                raise NotADirectoryError(path)
            return cls(None, path)
        return cls(os.open(path, os.O_RDONLY | _DIRECTORY | _CLOEXEC), path)

    def step(self, part: str, create: bool) -> _Directory | None:
        """The subdirectory `part`, never through a link; see `Cache._parent`."""
        path = self.path / part
        if self.fd is None:
            if not path.is_symlink() and path.is_dir():
                return _Directory(None, path)
            if not create:
                return None
            if path.is_symlink() or (path.exists() and not path.is_dir()):
                path.unlink()
            path.mkdir(exist_ok=True)  # another process may make it in the meantime
            return _Directory(None, path)
        flags = os.O_RDONLY | _DIRECTORY | _NOFOLLOW | _CLOEXEC
        try:
            return _Directory(os.open(part, flags, dir_fd=self.fd), path)
        except FileNotFoundError:
            if not create:
                return None
        except OSError as error:
            # A link (ELOOP, or ENOTDIR where a link to a directory is refused) or something else that is
            # not a directory.
            if not create or isinstance(error, PermissionError):
                if create:
                    raise
                return None
            os.unlink(part, dir_fd=self.fd)
        with contextlib.suppress(FileExistsError):  # another process made it in the meantime
            os.mkdir(part, 0o755, dir_fd=self.fd)
        return _Directory(os.open(part, flags, dir_fd=self.fd), path)

    def open(self, name: str, flags: int) -> int:
        flags |= _NOFOLLOW | _CLOEXEC | getattr(os, "O_BINARY", 0)
        if self.fd is None:
            if (self.path / name).is_symlink():
                raise OSError(f"{self.path / name} is a link")
            return os.open(self.path / name, flags, 0o600)
        return os.open(name, flags, 0o600, dir_fd=self.fd)

    def replace(self, source: str, target: str) -> None:
        if self.fd is None:
            os.replace(self.path / source, self.path / target)
        else:
            os.replace(source, target, src_dir_fd=self.fd, dst_dir_fd=self.fd)

    def unlink(self, name: str) -> None:
        if self.fd is None:
            os.unlink(self.path / name)
        else:
            os.unlink(name, dir_fd=self.fd)

    def close(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
