"""Files a run writes: whole or not at all, and never over one of its inputs.

Each is written under a temporary name beside its target and renamed over
it once whole, as editors and version control do: a failure or Ctrl-C
leaves the old file, or none, never a part of one. A target that is not a
regular file (``/dev/null``, a pipe) is written in place: there is nothing
to rename over.
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import signal
import stat
import threading
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import IO, Any

from .errors import InputError, WriteError

# (device, inode) of every input of the run: no output may be written over one.
_inputs: set[tuple[int, int]] = set()
# Files begun and neither renamed into place nor removed yet.
_unfinished: set[NewFile] = set()


def protect_inputs(paths: Iterable[Path]) -> None:
    """Remember the run's inputs, so that no output replaces one, whatever its name."""
    for path in paths:
        with contextlib.suppress(OSError, ValueError):
            info = path.stat()
            _inputs.add((info.st_dev, info.st_ino))


def _is_input(info: os.stat_result) -> bool:
    return (info.st_dev, info.st_ino) in _inputs and stat.S_ISREG(info.st_mode)


def refuse_input(target: Path, option: str) -> None:
    """Refuse, before anything is read, an output that is one of the inputs (the same file by any name)."""
    try:
        info = target.stat()
    except (OSError, ValueError):
        return
    if _is_input(info):
        raise InputError(f"{target}: {option} would write over an input of the run; give another name")


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    # A rename and the forgetting of its temporary name are one step: Ctrl-C waits for both.
    if not hasattr(signal, "pthread_sigmask") or threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class NewFile:
    """``target`` being written: :attr:`stream` takes the bytes (or text),
    :meth:`commit` puts the whole file in place, :meth:`discard` drops it.

    As a context manager it commits when the block ends and discards when
    it raises. An ``OSError`` becomes :class:`WriteError`, one line naming
    ``target`` and ``what`` it was to hold.
    """

    def __init__(self, target: Path, what: str, text: bool = False) -> None:
        self.target, self.what = target, what
        self.temporary: Path | None = None
        refused = self._refused()
        if refused:
            raise WriteError(f"{target}: cannot write {what}: {refused}")
        try:
            with _signals_held():
                temporary = None
                if self._in_place():
                    descriptor = os.open(target, os.O_WRONLY | os.O_TRUNC)
                else:
                    temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.part")
                    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                    # A file replaced keeps its permissions, as an editor keeps them.
                    with contextlib.suppress(OSError):
                        os.chmod(descriptor, stat.S_IMODE(target.stat().st_mode))
                self.stream: IO[Any] = (
                    os.fdopen(descriptor, "w", newline="", encoding="utf-8") if text else os.fdopen(descriptor, "wb")
                )
                if temporary is not None:
                    self.temporary = temporary
                    _unfinished.add(self)
        except OSError as error:
            raise self.failure(error) from None

    def _refused(self) -> str | None:
        try:
            info = self.target.stat()
        except (OSError, ValueError):
            return None
        if _is_input(info):
            return "it is an input of the run"
        if stat.S_ISDIR(info.st_mode):
            return os.strerror(errno.EISDIR)  # the rename would fail the same way, later
        return None

    def _in_place(self) -> bool:
        try:
            return not stat.S_ISREG(self.target.stat().st_mode)
        except (OSError, ValueError):
            return False

    def failure(self, error: OSError) -> WriteError:
        return WriteError(f"{self.target}: cannot write {self.what}: {error.strerror or error}")

    def commit(self) -> None:
        try:
            self.put_in_place()
        except OSError as error:
            self.discard()
            raise self.failure(error) from None

    def put_in_place(self) -> None:
        """:meth:`commit`, an ``OSError`` left to the caller (who discards the file)."""
        with _signals_held():
            self.stream.close()
            if self.temporary is not None:
                os.replace(self.temporary, self.target)
                _unfinished.discard(self)
                self.temporary = None

    def discard(self) -> None:
        with _signals_held():
            with contextlib.suppress(OSError):
                self.stream.close()
            if self.temporary is not None:
                with contextlib.suppress(OSError):
                    self.temporary.unlink()
                _unfinished.discard(self)
                self.temporary = None

    def __enter__(self) -> NewFile:
        return self

    def __exit__(self, kind: object, error: BaseException | None, trace: object) -> None:
        if error is not None:
            self.discard()
            if isinstance(error, OSError):
                raise self.failure(error) from None
        else:
            self.commit()


def discard_unfinished() -> None:
    """Remove every file begun and not put in place: the run ends without them."""
    for new_file in list(_unfinished):
        new_file.discard()
