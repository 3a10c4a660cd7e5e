"""Whole-or-nothing file writes: a temporary file in the target's folder, written, flushed and
synced, then renamed over the target, so that a reader (or a crash) never sees half a file."""

from __future__ import annotations

import os
import secrets
from pathlib import Path

__all__ = ["StagedFile", "write_atomic"]


class StagedFile:
    """A file's new content, written in full beside it and not yet in place.

    ``commit()`` renames it over the target; ``discard()`` removes it. A new target gets
    ``mode`` (less the umask); an existing one keeps its permission bits.
    """

    def __init__(self, target: Path, data: bytes, mode: int = 0o666) -> None:
        self.target = target
        folder = target.parent
        fd = -1
        while fd < 0:
            temporary = folder / f".{target.name}.{secrets.token_hex(6)}.tmp"
            try:
                fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode)
            except FileExistsError:
                continue
        self.temporary = temporary
        try:
            try:
                os.fchmod(fd, os.stat(target).st_mode & 0o7777)
            except FileNotFoundError:
                pass
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
