"""Conversations kept in session files: :class:`Conversation`, :class:`SessionFile` and
:class:`SessionError`.

A session file is the map's session document (``TokenMap.to_session_json``), UTF-8. Saving
writes a temporary file in the same folder, flushes and syncs it, then renames it over the
session, so a crash mid-save leaves the previous session whole. Processes that share a session
file take an exclusive lock (``flock``) on a lock file beside it, ``SESSION.lock``, while they
read the latest version, extend it and write it back; the lock file is a separate file because
each save replaces the session file's inode. The lock file is left in place.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import threading
from collections.abc import AsyncIterable, AsyncIterator, Iterable, Iterator
from pathlib import Path
from typing import Union

import velk_anonymizer as va

from velk._files import StagedWriter, write_atomic
from velk.extra import anonymize
from velk.stream import StreamRestorer

__all__ = ["Conversation", "SessionError", "SessionFile", "StagedSession", "StrPath"]

StrPath = Union[str, "os.PathLike[str]"]

# A new session file is readable by its owner only: it holds the texts that were anonymized.
SESSION_FILE_MODE = 0o600


class SessionError(Exception):
    """A session file that cannot be read, locked or written. The message names the file."""

    def __init__(self, path: Path, reason: str) -> None:
        super().__init__(f"session file '{path}' {reason}")
        self.path = path
        self.reason = reason


class SessionFile:
    """One session file on disk: reading, locking and atomic saving."""

    def __init__(self, path: StrPath) -> None:
        self.path = Path(path)

    @property
    def lock_path(self) -> Path:
        """The lock file: the session file's real path plus ``.lock``."""
        real = Path(os.path.realpath(self.path))
        return real.with_name(real.name + ".lock")

    def exists(self) -> bool:
        return self.path.exists()

    def read(self) -> va.TokenMap:
        """The session's map. Raises :class:`SessionError` when the file is missing or cannot be
        read as a session (the file is left as it is)."""
        try:
            data = self.path.read_bytes()
        except FileNotFoundError:
            raise SessionError(self.path, "does not exist") from None
        except OSError as error:
            raise SessionError(self.path, f"cannot be read: {error.strerror}") from None
        try:
            document = data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise SessionError(
                self.path, f"is not a session: not UTF-8 (byte offset {error.start})"
            ) from None
        try:
            return va.TokenMap.from_session_json(document)
        except ValueError as error:
            raise SessionError(self.path, f"is not a session: {error}") from None

    def read_or_none(self) -> va.TokenMap | None:
        """The session's map, or None when the file does not exist."""
        try:
            return self.read()
        except SessionError:
            if self.exists():
                raise
            return None

    def write(self, token_map: va.TokenMap) -> None:
        """Saves ``token_map`` atomically (see the module's documentation). Symbolic links are
        followed: the file they point to is replaced."""
        self.write_document(token_map.to_session_json().encode("utf-8"))

    def write_document(self, document: bytes) -> None:
        """Saves a map's session document (``TokenMap.to_session_json``, UTF-8) as ``write``
        saves the map: for a caller that has written the document already, since a large map
        takes a while to write."""
        target = Path(os.path.realpath(self.path))
        try:
            write_atomic(target, document, SESSION_FILE_MODE)
        except OSError as error:
            raise SessionError(self.path, f"cannot be saved: {error.strerror}") from None

    def staged(self) -> StagedSession:
        """A new version of the session file, written beside it while other work goes on,
        then put in place as ``write_document`` does."""
        return StagedSession(self)

    @contextlib.contextmanager
    def locked(self) -> Iterator[None]:
        """Holds the session's exclusive lock; other processes (and other threads) that ask for
        it wait."""
        lock_path = self.lock_path
        try:
            fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        except OSError as error:
            raise SessionError(
                self.path, f"cannot be locked: {lock_path}: {error.strerror}"
            ) from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)  # releases the lock


class StagedSession:
    """A session document being written beside its session file (``SessionFile.staged``):
    ``write`` writes it whole, or another process writes it whole to ``fileno()`` (and may sync
    it); ``commit()`` syncs it and renames it over the session file, ``discard()`` removes it.
    Errors are ``SessionError``."""

    def __init__(self, session: SessionFile) -> None:
        self.session = session
        try:
            self._file = StagedWriter(Path(os.path.realpath(session.path)), SESSION_FILE_MODE)
        except OSError as error:
            raise self._error(error) from None

    def fileno(self) -> int:
        return self._file.fileno()

    def write(self, document: bytes) -> None:
        """Writes ``document`` (UTF-8) as the whole content, over anything written before."""
        fd = self.fileno()
        try:
            os.ftruncate(fd, 0)
            view, at = memoryview(document), 0
            while at < len(view):
                at += os.pwrite(fd, view[at:], at)
        except OSError as error:
            raise self._error(error) from None

    def commit(self) -> None:
        try:
            self._file.commit()
        except OSError as error:
            raise self._error(error) from None

    def discard(self) -> None:
        self._file.discard()

    def _error(self, error: OSError) -> SessionError:
        return SessionError(self.session.path, f"cannot be saved: {error.strerror}")


class Conversation:
    """One conversation's token map, in memory or kept in the session file ``path``.

    The file is read when it exists and created on the first save. ``anonymize`` extends the map
    and saves it before returning, under the session's lock, starting from the latest version
    on disk, so several processes may share one session file: no token is lost, and no token is
    given to two texts. Restoring reads the latest version too.

    With ``extra`` (the default) messages are anonymized with :func:`velk.anonymize`'s extra
    detectors as well as the module's own.
    """

    def __init__(self, path: StrPath | None = None, *, extra: bool = True) -> None:
        self._extra = extra
        self._file = SessionFile(path) if path is not None else None
        self._lock = threading.Lock()
        self._map = va.TokenMap()
        if self._file is not None:
            latest = self._file.read_or_none()
            if latest is not None:
                self._map = latest

    @property
    def path(self) -> Path | None:
        """The session file, or None for a conversation kept in memory."""
        return self._file.path if self._file is not None else None

    @property
    def token_map(self) -> va.TokenMap:
        """The current map: the session file's latest version when it has one."""
        return self._latest()

    def _latest(self) -> va.TokenMap:
        with self._lock:
            if self._file is not None:
                latest = self._file.read_or_none()
                if latest is not None:
                    self._map = latest
            return self._map

    def anonymize(self, text: str) -> str:
        """Anonymizes ``text`` with the conversation's map, extends the map, and saves it before
        returning (the file is created if needed)."""
        with self._lock:
            if self._file is None:
                result = anonymize(text, self._map, extra=self._extra)
                self._map = result.token_map
                return result.text
            with self._file.locked():
                latest = self._file.read_or_none()
                base = self._map if latest is None else latest
                result = anonymize(text, base, extra=self._extra)
                if latest is None or len(result.token_map) != len(base):
                    self._file.write(result.token_map)
                self._map = result.token_map
            return result.text

    def restore(self, text: str) -> str:
        """``text`` with every known token restored."""
        return va.deanonymize(text, self._latest())

    def restore_stream(self, chunks: Iterable[str]) -> Iterator[str]:
        """Restores a streamed text as it arrives: yields restored pieces, never part of a token
        (see :class:`velk.StreamRestorer`). The map is the one current at the call."""
        restorer = StreamRestorer(self._latest())

        def pieces() -> Iterator[str]:
            for chunk in chunks:
                piece = restorer.feed(chunk)
                if piece:
                    yield piece
            rest = restorer.flush()
            if rest:
                yield rest

        return pieces()

    def arestore_stream(self, chunks: AsyncIterable[str]) -> AsyncIterator[str]:
        """:meth:`restore_stream` for async model clients."""
        restorer = StreamRestorer(self._latest())

        async def pieces() -> AsyncIterator[str]:
            async for chunk in chunks:
                piece = restorer.feed(chunk)
                if piece:
                    yield piece
            rest = restorer.flush()
            if rest:
                yield rest

        return pieces()
