"""The command line's renderings of sound segments: summary lines, the
segments CSV and the sound alone as a WAV file."""

from __future__ import annotations

import csv
import struct
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from ..analysis import Analysis, Track, blocks
from ..analysis.audio import STDIN
from .errors import InputError
from .places import check_writable, make_folder, unique_name
from .words import plural

if TYPE_CHECKING:
    from .output import Output

SEGMENT_COLUMNS = ("source", "channel", "start_s", "end_s")
# Samples read at a time while copying the sound out of a file.
COPY_BLOCK = 1 << 16
# A WAV file's sizes are 32-bit.
WAV_LIMIT = 2**32 - 1 - 36


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

    def __init__(self, output: Output, with_error: bool) -> None:
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


def write_sound(analysis: Analysis, target: Path) -> None:
    """The sound of ``analysis``'s file alone, its segments one after another, as a 32-bit PCM WAV.

    Every channel of the file is kept; with channels analysed each on its
    own, a stretch is kept where any channel has sound. The file is read a
    second time, block by block.
    """
    if analysis.source == STDIN:
        raise InputError("--sound-wav cannot read stdin a second time; give a file")
    spans = _sample_spans(analysis)
    frames = sum(end - start for start, end in spans)
    if frames * analysis.channels * 4 > WAV_LIMIT:
        raise InputError(f"{target}: the sound of {analysis.source} is more than a WAV file holds (4 GiB); cut the file first")
    try:
        with open(target, "wb") as out:
            out.write(_wav_header(analysis.sample_rate, analysis.channels, frames))
            for piece in _kept(analysis.source, spans):
                pcm = np.round(np.clip(piece, -1.0, 1.0 - 2.0**-31) * 2.0**31).astype("<i4")
                out.write(pcm.tobytes())
    except OSError as error:
        raise InputError(f"{target}: cannot write WAV: {error.strerror or error}") from None


def _sample_spans(analysis: Analysis) -> list[tuple[int, int]]:
    """The union of the tracks' segments in samples, in order."""
    rate, length = analysis.sample_rate, analysis.num_samples
    spans = sorted(
        (round(start * rate), min(length, round(end * rate))) for track in analysis.tracks for start, end in track.segments or ()
    )
    merged: list[tuple[int, int]] = []
    for start, end in spans:
        if merged and start <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(end, merged[-1][1]))
        else:
            merged.append((start, end))
    return merged


def _kept(source: str, spans: list[tuple[int, int]]) -> Iterator[np.ndarray]:
    """The samples (samples × channels) of ``source`` inside ``spans``, block by block."""
    at, span = 0, 0
    for block in blocks(source, COPY_BLOCK, channels="each"):
        end = at + len(block)
        while span < len(spans) and spans[span][0] < end:
            start, stop = spans[span]
            piece = block[max(0, start - at) : max(0, min(stop, end) - at)]
            if len(piece):
                yield piece
            if stop > end:
                break
            span += 1
        at = end


def _wav_header(sample_rate: int, channels: int, frames: int) -> bytes:
    data = frames * channels * 4
    return (
        b"RIFF" + struct.pack("<I", 36 + data) + b"WAVE"
        + b"fmt " + struct.pack("<IHHIIHH", 16, 1, channels, sample_rate, sample_rate * channels * 4, channels * 4, 32)
        + b"data" + struct.pack("<I", data)
    )


@dataclass
class SoundTarget:
    """Where the sound goes: one file, or a folder with ``<name>.sound.wav`` per input."""

    path: Path
    folder: bool
    taken: set[str] = field(default_factory=set)

    @classmethod
    def from_option(cls, option: str | None, inputs: int) -> SoundTarget | None:
        if option is None:
            return None
        path = Path(option)
        folder = path.is_dir() or inputs > 1
        if folder:
            make_folder(path, "--sound-wav", "WAV", "sound.wav")
        else:
            check_writable(path, "WAV")
        return cls(path, folder)

    def write(self, analysis: Analysis) -> Path:
        target = self.path / self._name(analysis.source) if self.folder else self.path
        write_sound(analysis, target)
        return target

    def _name(self, source: str) -> str:
        return unique_name(Path(source).name or "sound", ".sound.wav", self.taken)
