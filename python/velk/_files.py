"""Whole-or-nothing file writes: a temporary file in the target's folder, written, flushed and
synced, then renamed over the target, so that a reader (or a crash) never sees half a file."""

from __future__ import annotations

import os
import secrets
from pathlib import Path

__all__ = ["StagedFile", "StagedWriter", "write_atomic"]


class StagedFile:
    """A file's new content, written in full beside it and not yet in place.

    ``commit()`` renames it over the target; ``discard()`` removes it. A new target gets
    ``mode`` (less the umask); an existing one keeps its permission bits.
    """

    def __init__(self, target: Path, data: bytes, mode: int = 0o666) -> None:
        self.target = target
        fd, self.temporary = _open_temporary(target, mode)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        except BaseException:
            os.close(fd)
            self.discard()
            raise
        os.close(fd)

    def commit(self) -> None:
        """Puts the new content in place (one rename) and syncs the folder."""
        os.replace(self.temporary, self.target)
        _sync_folder(self.target.parent)

    def discard(self) -> None:
        """Removes the temporary file, if it is still there."""
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass


class StagedWriter:
    """A file's new content, written piece by piece beside it (for outputs too large to hold
    in memory), put in place whole by ``commit()`` or removed by ``discard()``."""

    def __init__(self, target: Path, mode: int = 0o666) -> None:
        self.target = target
        fd, self.temporary = _open_temporary(target, mode)
        self._file = os.fdopen(fd, "wb", buffering=1 << 20)

    def write(self, data: bytes) -> None:
        self._file.write(data)

    def fileno(self) -> int:
        """The temporary file's descriptor, for a writer that bypasses ``write`` (another
        process, say) and writes the content whole; the two are not to be mixed."""
        return self._file.fileno()

    def commit(self) -> None:
        """Flushes and syncs the content, then puts it in place (one rename)."""
        self._file.flush()
        os.fsync(self._file.fileno())
        self._file.close()
        os.replace(self.temporary, self.target)
        _sync_folder(self.target.parent)

    def discard(self) -> None:
        """Removes the temporary file."""
        try:
            self._file.close()
        except OSError:
            pass
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass


def _open_temporary(target: Path, mode: int) -> tuple[int, Path]:
    """A new file beside ``target`` with a name of its own, opened for writing, with the
    permission bits of ``target`` when it exists."""
    fd = -1
    while fd < 0:
        temporary = target.parent / f".{target.name}.{secrets.token_hex(6)}.tmp"
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode)
        except FileExistsError:
            continue
    try:
        os.fchmod(fd, os.stat(target).st_mode & 0o7777)
    except FileNotFoundError:
        pass
    except BaseException:
        os.close(fd)
        os.unlink(temporary)
        raise
    return fd, temporary


def write_atomic(target: Path, data: bytes, mode: int = 0o666) -> None:
    """Replaces ``target``'s content by ``data`` in one step (see :class:`StagedFile`)."""
    staged = StagedFile(target, data, mode)
    try:
        staged.commit()
    except BaseException:
        staged.discard()
        raise


def _sync_folder(folder: Path) -> None:
    """Makes a rename in ``folder`` durable; a no-op where folders cannot be opened."""
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_CLOEXEC | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
