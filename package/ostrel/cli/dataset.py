"""A data set cut from recordings: each segment its own file with a manifest
of them (``--split``), and the segments as label tracks to check by ear
(``--labels``)."""

from __future__ import annotations

import csv
import sys
from dataclasses import dataclass, field
from pathlib import Path

from ..analysis import Analysis
from ..analysis.audio import STDIN
from .files import NewFile, refuse_input
from .places import check_writable, is_device, make_folder, names_folder, unique_name
from .segments import TextSink, refuse_stdin, sample_spans
from .sound import SoundWriter, container_of, copy_spans, output_format, written_suffix

MANIFEST_NAME = "manifest.csv"
MANIFEST_COLUMNS = ("source", "n", "start_s", "end_s", "path")
# Segment numbers are written with at least this many digits, so that names sort in order.
NUMBER_DIGITS = 4


def piece_name(base: str, n: int, start: int, end: int, sample_rate: int, suffix: str) -> str:
    """``talk.0003.1250-4310.wav``: the input's name, the segment's number from 1, its start and end in ms."""
    start_ms, end_ms = round(start * 1000 / sample_rate), round(end * 1000 / sample_rate)
    return f"{base}.{n:0{NUMBER_DIGITS}d}.{start_ms}-{end_ms}{suffix}"


@dataclass(frozen=True)
class Piece:
    n: int
    start_s: float
    end_s: float
    name: str


@dataclass
class SplitTarget:
    """The folder that receives each segment of each input as a file of its own, in the input's format."""

    folder: Path
    taken: set[str] = field(default_factory=set)

    @classmethod
    def from_option(cls, option: str | None) -> SplitTarget | None:
        if option is None:
            return None
        folder = Path(option)
        make_folder(folder, "--split", "segment files", MANIFEST_NAME)
        refuse_input(folder / MANIFEST_NAME, "--split")
        return cls(folder)

    def write(self, analysis: Analysis) -> list[Piece]:
        """The file of each segment (of the union of the channels' segments), in order."""
        if analysis.source == STDIN:
            raise refuse_stdin("--split")
        spans = sample_spans(analysis)
        if not spans:
            # As with --sound-wav: no file, a warning, and no manifest row, whose every row names a piece.
            print(f"ostrel: warning: {analysis.source}: no sound found; no piece written to {self.folder}", file=sys.stderr, flush=True)
            return []
        suffix = written_suffix(analysis.source, analysis.encoding)
        # Inputs of one name in different folders, or of one stem in different formats, must not meet.
        base = unique_name(Path(analysis.source).stem or "sound", "", self.taken)
        container = container_of(Path(f"{base}{suffix}"))
        assert container is not None
        form = output_format(container, analysis.encoding, suffix)
        rate = analysis.sample_rate
        pieces = [
            Piece(n, start / rate, end / rate, piece_name(base, n, start, end, rate, suffix))
            for n, (start, end) in enumerate(spans, 1)
        ]

        def writer(index: int) -> SoundWriter:
            start, end = spans[index]
            target = self.folder / pieces[index].name
            return SoundWriter(NewFile(target, "a segment's sound"), form, rate, analysis.channels, end - start)

        copy_spans(analysis.source, spans, range(len(spans)), writer)
        return pieces


class ManifestRows:
    """The manifest of the pieces: ``source, n, start_s, end_s, path`` per piece,
    the path relative to the manifest's folder; with several files an
    ``error`` column names each file not cut, on a row of its own."""

    def __init__(self, output: TextSink, with_error: bool) -> None:
        self.with_error = with_error
        self.writer = csv.writer(output)
        self.writer.writerow(MANIFEST_COLUMNS + (("error",) if with_error else ()))

    def add(self, source: str, pieces: list[Piece]) -> None:
        error = [""] if self.with_error else []
        for piece in pieces:
            self.writer.writerow([source, piece.n, repr(piece.start_s), repr(piece.end_s), piece.name, *error])

    def add_error(self, source: str, message: str) -> None:
        self.writer.writerow([source, "", "", "", "", message])


@dataclass
class LabelTarget:
    """Label tracks of the segments (``start<TAB>end<TAB>n`` a line, as audio
    editors import them): one file, or a folder with ``<name>.labels.txt`` per input."""

    path: Path
    folder: bool
    taken: set[str] = field(default_factory=set)

    @classmethod
    def from_option(cls, option: str | None, inputs: int) -> LabelTarget | None:
        if option is None:
            return None
        path, folder = Path(option), cls.is_folder(option, inputs)
        if folder:
            make_folder(path, "--labels", "labels", "sound.labels.txt")
        else:
            refuse_input(path, "--labels")
            check_writable(path, "labels")
        return cls(path, folder)

    @staticmethod
    def is_folder(option: str, inputs: int) -> bool:
        path = Path(option)
        return names_folder(option) or path.is_dir() or inputs > 1 or not (path.suffix or is_device(path))

    def write(self, analysis: Analysis) -> Path:
        if self.folder:
            base = {STDIN: "stdin", "demo signal (built in)": "demo"}.get(analysis.source, Path(analysis.source).name)
            target = self.path / unique_name(base or "sound", ".labels.txt", self.taken)
        else:
            target = self.path
        rate = analysis.sample_rate
        with NewFile(target, "labels", text=True) as new_file:
            for n, (start, end) in enumerate(sample_spans(analysis), 1):
                new_file.stream.write(f"{start / rate:.6f}\t{end / rate:.6f}\t{n}\n")
        return target
