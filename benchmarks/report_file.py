"""Writing a benchmark's results: the file appears whole or not at all, and
what a maintainer wrote by hand below the generated part stays."""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

# The line from which a results file is written by hand: a run rewrites what is above it only.
BY_HAND = "<!-- Written by hand from here on: a run of the benchmark keeps it. -->"


def write_report(path: Path, generated: str) -> None:
    """``generated`` as ``path``'s new content, followed by its hand-written part, if any."""
    kept = ""
    if path.exists():
        old = path.read_text(encoding="utf-8")
        if BY_HAND in old:
            kept = "\n" + old[old.index(BY_HAND) :]
    text = generated.rstrip("\n") + "\n" + kept
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
    # A results file as any other the user writes, not the temporary file's private mode.
    umask = os.umask(0)
    os.umask(umask)
    os.fchmod(handle, 0o666 & ~umask)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
