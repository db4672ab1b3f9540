"""Output places: checked before any input is read, and named per input."""

from __future__ import annotations

import errno
import os
from pathlib import Path

from .errors import InputError


def names_folder(option: str) -> bool:
    """Whether a path as given ends in a separator, which makes it a folder
    whatever its name (``Path`` drops the separator)."""
    return any(option.endswith(separator) for separator in (os.sep, os.altsep) if separator)


def _same_place(first: Path, second: Path) -> bool:
    try:
        # An existing file by its inode: a hard link is the same file by another name.
        return os.path.samefile(first, second)
    except OSError:
        return os.path.realpath(first) == os.path.realpath(second)


def is_device(path: Path) -> bool:
    """Whether ``path`` is there and neither a regular file nor a folder (``/dev/null``, a pipe)."""
    return path.exists() and not path.is_file() and not path.is_dir()


def refuse_shared(places: list[tuple[str, Path, bool]]) -> None:
    """Refuse, before anything is read, two outputs of one place (``option, path, folder`` each, in the
    order of precedence): the later would silently replace the earlier. Outputs may share a folder that
    holds their files, and a device (``/dev/null``) takes anything."""
    for index, (first, first_path, first_folder) in enumerate(places):
        for second, second_path, second_folder in places[index + 1 :]:
            if first == second or (first_folder and second_folder) or is_device(first_path):
                continue
            if _same_place(first_path, second_path):
                raise InputError(f"{first} and {second} both write to {first_path}; give {second} another name")


def check_writable(path: Path, what: str, folder_only: bool = False) -> None:
    """Fail, before any input is read, when ``path`` could not be written: its folder missing,
    not a folder, or not writable, or ``path`` itself a folder or read-only. The file is not made,
    so that a run failing on its input leaves nothing behind."""
    folder = path.parent
    problem = None
    if not folder.exists():
        problem = errno.ENOENT
    elif not folder.is_dir():
        problem = errno.ENOTDIR
    elif not os.access(folder, os.W_OK | os.X_OK):
        problem = errno.EACCES
    elif folder_only:
        pass
    elif path.is_dir():
        problem = errno.EISDIR
    elif path.exists() and not os.access(path, os.W_OK):
        problem = errno.EACCES
    if problem is not None:
        shown = folder if folder_only else path
        raise InputError(f"{shown}: cannot write {what}: {os.strerror(problem)}")


def make_folder(path: Path, option: str, what: str, probe: str) -> None:
    """Make the folder ``path`` that ``option`` names for its ``what`` files
    and check, by the name ``probe`` in it, that they can be written there."""
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise InputError(f"{path}: cannot make the folder for {option}: {error.strerror or error}") from None
    check_writable(path / probe, what, folder_only=True)


def unique_name(base: str, suffix: str, taken: set[str]) -> str:
    """``base + suffix``, or ``base-2 + suffix``, ``base-3 + suffix``… when an
    earlier input of the run took it: inputs of one name in different folders
    must not meet in one output file."""
    name, number = f"{base}{suffix}", 1
    while name in taken:
        number += 1
        name = f"{base}-{number}{suffix}"
    taken.add(name)
    return name
