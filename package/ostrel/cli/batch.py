"""Many files: finding them, analysing them in worker processes, showing progress."""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from .analysis import Analysis, Settings, analyse
from .audio import read_audio
from .errors import InputError

# What one file gives: its analysis, or the message saying why it has none.
Outcome = Analysis | InputError


def expand_inputs(inputs: Sequence[str]) -> list[Path]:
    """Files as given, and every ``.wav`` under each folder, sorted, without repeats.

    A missing path is kept, so that reading it reports it in its turn.
    """
    paths: list[Path] = []
    for name in inputs:
        path = Path(name)
        if path.is_dir():
            found = sorted(p for p in path.rglob("*") if p.suffix.lower() == ".wav" and p.is_file())
            if not found:
                raise InputError(f"{path}: folder has no .wav files")
            paths.extend(found)
        else:
            paths.append(path)
    return list(dict.fromkeys(paths))


def analyse_file(path: Path, settings: Settings) -> Analysis:
    audio = read_audio(path)
    return analyse(audio.samples, audio.sample_rate, settings, str(path), audio.channels, audio.encoding)


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
