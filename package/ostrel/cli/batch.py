"""Many files: finding them, analysing them in worker processes, showing progress."""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from ..analysis import Analysis, Settings, analyse_file
from ..analysis.audio import AUDIO_EXTRA_HINT, STDIN, readable_extensions, soundfile_module
from .errors import InputError

# What one file gives: its analysis, or the message saying why it has none.
Outcome = Analysis | InputError


def expand_inputs(inputs: Sequence[str]) -> list[Path]:
    """Files as given, and every audio file under each folder, sorted, without repeats.

    Folders are scanned for every extension soundfile reads, or for ``.wav``
    without it. A missing path is kept, so that reading it reports it in its
    turn; ``-`` stands for stdin.
    """
    extensions = readable_extensions()
    paths: list[Path] = []
    for name in inputs:
        path = Path(name)
        if name != STDIN and path.is_dir():
            found = sorted(p for p in path.rglob("*") if p.suffix.lower() in extensions and p.is_file())
            if not found:
                raise InputError(_nothing_found(path))
            paths.extend(found)
        else:
            paths.append(path)
    return list(dict.fromkeys(paths))


def _nothing_found(folder: Path) -> str:
    if soundfile_module() is None:
        return f"{folder}: folder has no .wav files (other formats need soundfile: {AUDIO_EXTRA_HINT})"
    return f"{folder}: folder has no audio files that ostrel reads"


def _outcome(path: Path, settings: Settings) -> Outcome:
    # Worker processes hand back the error as a value, so that one bad file
    # neither stops the others nor reaches the parent as a traceback.
    try:
        return analyse_file(path, settings)
    except InputError as error:
        return error


def analyse_files(
    paths: Sequence[Path],
    settings: Settings,
    jobs: int = 1,
    progress: Callable[[Iterable[Outcome], int], Iterable[Outcome]] | None = None,
) -> list[Outcome]:
    """Analyse ``paths`` in ``jobs`` processes; outcomes come back in input order."""
    outcomes: Iterator[Outcome]
    if jobs > 1 and len(paths) > 1:
        executor = ProcessPoolExecutor(max_workers=min(jobs, len(paths)))
        with executor:
            outcomes = executor.map(_outcome, paths, [settings] * len(paths))
            return list(progress(outcomes, len(paths)) if progress else outcomes)
    outcomes = (_outcome(path, settings) for path in paths)
    return list(progress(outcomes, len(paths)) if progress else outcomes)


def terminal_progress(count: int) -> Callable[[Iterable[Outcome], int], Iterable[Outcome]] | None:
    """A tqdm bar on stderr for several files when stderr is a terminal and tqdm is installed."""
    if count < 2 or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None

    def bar(outcomes: Iterable[Outcome], total: int) -> Iterable[Outcome]:
        return tqdm(outcomes, total=total, unit="file", file=sys.stderr, leave=False)

    return bar
