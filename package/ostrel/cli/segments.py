"""The command line's renderings of sound segments: summary lines, the
segments CSV and the sound alone as a sound file."""

from __future__ import annotations

import csv
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Protocol

from ..analysis import Analysis, Track
from ..analysis.audio import STDIN
from .errors import InputError
from .files import NewFile, refuse_input
from .places import check_writable, is_device, make_folder, names_folder, unique_name
from .sound import SoundFormat, SoundWriter, check_sound_name, container_of, copy_spans, output_format, written_suffix
from .words import plural

SEGMENT_COLUMNS = ("source", "channel", "start_s", "end_s")


class TextSink(Protocol):
    """Where a table's text goes: a file or stdout."""

    def write(self, text: str) -> None: ...


def sound_seconds(track: Track) -> float:
    return sum(end - start for start, end in track.segments or ())


def summary_lines(analysis: Analysis, track: Track, shown: int, width: int) -> list[str]:
    """How many segments, how much sound, and the first ``shown`` of them."""
    if track.segments is None:
        return []
    total = sound_seconds(track)
    share = f" ({100 * total / analysis.duration:.1f} % of the signal)" if analysis.duration else ""
    lines = [f"{'sound segments':<{width}}{len(track.segments)}, {total:.3f} s of sound{share}"]
    for start, end in track.segments[:shown]:
        lines.append(f"{'':<{width}}{start:8.3f} - {end:8.3f} s")
    if len(track.segments) > shown:
        lines.append(f"{'':<{width}}... {len(track.segments) - shown} more")
    return lines


def line_part(track: Track) -> list[str]:
    """The segments in the one-line report of a file among many."""
    if track.segments is None:
        return []
    return [f"{plural(len(track.segments), 'sound segment')} ({sound_seconds(track):.3f} s)"]


class SegmentRows:
    """The segments CSV: one row per segment, ``source, channel, start_s, end_s``.

    The channel is empty for the mix-down. With several files an ``error``
    column names each file not analysed, on a row of its own.
    """

    def __init__(self, output: TextSink, with_error: bool) -> None:
        self.output, self.with_error = output, with_error
        self.writer = csv.writer(output)
        self.writer.writerow(SEGMENT_COLUMNS + (("error",) if with_error else ()))

    def add(self, analysis: Analysis) -> None:
        error = [""] if self.with_error else []
        for track in analysis.tracks:
            channel = "" if track.channel is None else track.channel
            for start, end in track.segments or ():
                self.writer.writerow([analysis.source, channel, repr(start), repr(end), *error])

    def add_error(self, source: str, message: str) -> None:
        self.writer.writerow([source, "", "", "", message])


def sample_spans(analysis: Analysis) -> list[tuple[int, int]]:
    """The union of the tracks' segments in samples, in order; pieces that only touch (a long one cut) stay apart."""
    rate, length = analysis.sample_rate, analysis.num_samples
    spans = sorted(
        (round(start * rate), min(length, round(end * rate))) for track in analysis.tracks for start, end in track.segments or ()
    )
    merged: list[tuple[int, int]] = []
    for start, end in spans:
        if merged and start < merged[-1][1]:
            merged[-1] = (merged[-1][0], max(end, merged[-1][1]))
        elif end > start:
            merged.append((start, end))
    return merged


def nothing_found(analysis: Analysis, target: Path) -> str:
    return f"{analysis.source}: no sound found; {target} not written"


def write_sound(analysis: Analysis, target: Path, form: SoundFormat) -> bool:
    """The sound of ``analysis``'s file alone, its segments one after another, in ``form``; whether there was any.

    Every channel of the file is kept; with channels analysed each on its
    own, a stretch is kept where any channel has sound. The file is read a
    second time, block by block. With no sound, no file is written.
    """
    spans = sample_spans(analysis)
    if not spans:
        return False
    frames = sum(end - start for start, end in spans)

    def writer(group: int) -> SoundWriter:
        return SoundWriter(NewFile(target, "sound"), form, analysis.sample_rate, analysis.channels, frames)

    copy_spans(analysis.source, spans, [0] * len(spans), writer)
    return True


def refuse_stdin(option: str) -> InputError:
    return InputError(f"{option} reads a file twice, which stdin cannot be; give a file")


@dataclass
class SoundTarget:
    """Where the sound goes: one file, or a folder with ``<name>.sound.<ext>`` per input.

    PATH is a folder when it is one already, has no extension, or several
    files are given; a single file's format is that of its name.
    """

    path: Path
    folder: bool
    taken: set[str] = field(default_factory=set)

    @classmethod
    def from_option(cls, option: str | None, inputs: int) -> SoundTarget | None:
        if option is None:
            return None
        path, folder = Path(option), cls.is_folder(option, inputs)
        if folder:
            make_folder(path, "--sound-wav", "sound files", "sound.wav")
        else:
            if not is_device(path):
                check_sound_name(path, "--sound-wav")
            refuse_input(path, "--sound-wav")
            check_writable(path, "sound")
        return cls(path, folder)

    @staticmethod
    def is_folder(option: str, inputs: int) -> bool:
        path = Path(option)
        return names_folder(option) or path.is_dir() or inputs > 1 or not (path.suffix or is_device(path))

    def write(self, analysis: Analysis) -> Path | None:
        """The file written, or None when there was no sound (said on stderr)."""
        if analysis.source == STDIN:
            raise refuse_stdin("--sound-wav")
        if self.folder:
            suffix = written_suffix(analysis.source, analysis.encoding)
            target = self.path / unique_name(Path(analysis.source).name or "sound", f".sound{suffix}", self.taken)
        else:
            target = self.path
        # A device or a pipe (/dev/null) has no name to go by: WAV.
        container = container_of(target) or "WAV"
        if not write_sound(analysis, target, output_format(container, analysis.encoding, target.suffix)):
            print(f"ostrel: warning: {nothing_found(analysis, target)}", file=sys.stderr, flush=True)
            return None
        return target
