"""Text, CSV and JSON renderings of analyses, and the one place that writes them."""

from __future__ import annotations

import csv
import errno
import io
import json
import os
import sys
from collections.abc import Iterable
from pathlib import Path
from typing import IO, Any, TextIO, cast

import numpy as np
from numpy.typing import NDArray

from ..analysis import ROW_COLUMNS, Analysis, Track, decibels
from . import segments
from .errors import InputError, OutputError, ReaderGone, WriteError
from .files import NewFile
from .interrupts import DeferredInterrupt
from .words import plural

STDOUT = "-"


def _stats(values: NDArray[np.float64]) -> str:
    if values.size == 0:
        return "no frames"
    return f"min {values.min():.6g}  mean {values.mean():.6g}  max {values.max():.6g}"


def _db_stats(energy: NDArray[np.float64]) -> str:
    if energy.size == 0:
        return "no frames"
    # The level of the mean energy, not the mean of the levels: silence would make that -inf.
    low, of_mean, high = decibels(np.array([energy.min(), energy.mean(), energy.max()]))
    return f"min {low:.4g}  dB of mean {of_mean:.4g}  max {high:.4g}"


def _framing(analysis: Analysis) -> str:
    centring = "centred" if analysis.centered else "not centred"
    return f"window {analysis.win}, hop {analysis.hop} samples, {centring}"


def _peak_rule(analysis: Analysis) -> str:
    rule = f"above {analysis.threshold:g} of the strongest" if analysis.threshold else "every local maximum"
    if analysis.min_prominence_db is not None:
        rule += f", rising at least {analysis.min_prominence_db:g} dB"
    if analysis.min_gap_ms:
        rule += f", at least {analysis.min_gap_ms:g} ms apart"
    return rule


def zero_rule(analysis: Analysis) -> str:
    """The rule the zero crossings were counted by, in words."""
    return "a zero counting as positive" if analysis.zero_positive else "a zero breaking a crossing"


def format_summary(analysis: Analysis, top: int = 5) -> str:
    """The readable multi-line report for a single file: its facts, then each track."""
    if len(analysis.tracks) > 1:
        layout = f"{analysis.channels} channels, each on its own"
    elif analysis.channels == 1:
        layout = "mono"
    else:
        layout = f"{analysis.channels} channels mixed to mono"
    lines = [
        f"{analysis.source}",
        f"  format           {analysis.encoding}, {layout}",
        f"  duration         {analysis.duration:.3f} s ({analysis.num_samples} samples)",
        f"  sample rate      {analysis.sample_rate} Hz",
        f"  frames           {analysis.num_frames} ({_framing(analysis)})",
    ]
    for track in analysis.tracks:
        indent = "  " if track.channel is None else "    "
        if track.channel is not None:
            lines.append(f"  channel {track.channel}")
        lines += [indent + line for line in _track_lines(analysis, track, top)]
        lines += [indent + line for line in segments.summary_lines(analysis, track, top, 17)]
    return "\n".join(lines)


def _track_lines(analysis: Analysis, track: Track, top: int) -> list[str]:
    width = 17
    lines = [
        f"{'energy':<{width}}{_stats(track.energy)}",
        f"{'energy dBFS':<{width}}{_db_stats(track.energy)}",
        f"{'zero-crossing':<{width}}{_stats(track.zcr)}",
        f"{'zero crossings/s':<{width}}{_stats(track.zcr * analysis.sample_rate)}",
        f"{'zero crossings':<{width}}{track.zero_crossings} in the whole signal, {zero_rule(analysis)}",
        f"{'energy peaks':<{width}}{len(track.peaks)} ({_peak_rule(analysis)})",
    ]
    strongest = track.strongest_peaks(top)
    if strongest.size:
        times = analysis.times
        lines.append(f"{'strongest peaks':<{width}}time s     energy     dBFS")
        levels = decibels(track.energy[strongest])
        for frame, level in zip(strongest, levels):
            lines.append(f"{'':<{width}}{times[frame]:8.3f}  {track.energy[frame]:<10.6g}  {level:.4g}")
    return lines


def format_lines(analysis: Analysis) -> list[str]:
    """One line per file (per channel with several) for runs over many files."""
    lines = []
    for track in analysis.tracks:
        name = analysis.source if track.channel is None else f"{analysis.source} [channel {track.channel}]"
        parts = [f"{name}:", f"{analysis.duration:.3f} s,", f"{analysis.sample_rate} Hz,", f"{analysis.num_frames} frames,"]
        if track.energy.size:
            parts += [
                f"energy mean {track.energy.mean():.4g} max {track.energy.max():.4g}"
                f" ({decibels(track.energy.max(keepdims=True))[0]:.4g} dBFS),",
                f"zcr mean {track.zcr.mean():.4g}" + ("," if analysis.zero_positive else f" ({zero_rule(analysis)}),"),
            ]
        strongest = track.strongest_peaks(1)
        parts.append(plural(len(track.peaks), "peak"))
        if strongest.size:
            parts[-1] += f" (strongest at {analysis.times[strongest[0]]:.3f} s)"
        sound = segments.line_part(track)
        if sound:
            parts[-1] += ","
        lines.append(" ".join(parts + sound))
    return lines


class Output:
    """stdout or a file, put in place when closed whole; a failed write becomes one line and status 1."""

    def __init__(self, stream: IO[str], name: str, new_file: NewFile | None = None) -> None:
        self.stream, self.name, self.new_file = stream, name, new_file

    @classmethod
    def stdout(cls) -> Output:
        return cls(sys.stdout, "stdout")

    @classmethod
    def open(cls, path: str, what: str) -> Output:
        if path == STDOUT:
            return cls.stdout()
        try:
            new_file = NewFile(Path(path), what, text=True)
        except WriteError as error:
            raise InputError(str(error)) from None
        return cls(new_file.stream, path, new_file)

    def write(self, text: str) -> None:
        try:
            raw = getattr(self.stream, "buffer", None)
            if isinstance(raw, io.RawIOBase) and os.linesep == "\n":
                # A buffer beneath: a text stream, with its encoding.
                _write_whole(cast(TextIO, self.stream), raw, text)
            else:
                # A buffered writer writes on after a short write itself.
                self.stream.write(text)
        except OSError as error:
            raise self._failure(error) from None

    def flush(self) -> None:
        # What is flushed is written whole: a Ctrl-C meanwhile waits.
        try:
            with DeferredInterrupt():
                self.stream.flush()
        except OSError as error:
            raise self._failure(error) from None

    def close(self) -> None:
        try:
            with DeferredInterrupt():
                if self.new_file is not None:
                    self.new_file.put_in_place()
                else:
                    self.stream.flush()
        except OSError as error:
            raise self._failure(error) from None

    def _failure(self, error: OSError) -> Exception:
        if isinstance(error, BrokenPipeError) and self.stream is sys.stdout:
            return ReaderGone()
        if self.new_file is not None:
            # What it still buffers would fail again as it is collected, in a
            # second report; giving the file up drops that, whatever it says.
            self.new_file.discard()
        return OutputError(f"cannot write to {self.name}: {error.strerror or error}")


def _write_whole(stream: TextIO, raw: io.RawIOBase, text: str) -> None:
    """``text`` through an unbuffered stream (``python -u``), whose text layer
    drops what a short write leaves, as one a signal interrupts can be."""
    stream.flush()
    data = memoryview(text.encode(stream.encoding, stream.errors or "strict"))
    while data:
        written = raw.write(data)
        if written is None:  # a non-blocking stdout that is full
            raise BlockingIOError(errno.EAGAIN, os.strerror(errno.EAGAIN))
        data = data[written:]


class CsvRows:
    """One row per frame, streamed as each file's analysis arrives.

    Floats are written with ``repr`` so that reading them back gives the very
    values the analysis computed; ``-inf`` is the dB of silence. The
    ``zero_positive`` column (1 or 0) tells the rule the zero-crossing rate
    was counted by, so that a file read on its own still says it.
    """

    def __init__(self, output: Output, with_file: bool, with_channel: bool) -> None:
        self.output, self.with_file, self.with_channel = output, with_file, with_channel
        columns = (("file",) if with_file else ()) + (("channel",) if with_channel else ()) + ROW_COLUMNS + ("zero_positive",)
        self.width = len(columns) + (1 if with_file else 0)
        self.writer = csv.writer(output)
        self._write(columns + (("error",) if with_file else ()))

    def _write(self, row: Iterable[object]) -> None:
        self.writer.writerow(row)

    def add(self, analysis: Analysis) -> None:
        file = [analysis.source] if self.with_file else []
        error = [""] if self.with_file else []
        rule = int(analysis.zero_positive)
        for channel, time, energy, energy_db, zcr, zcr_hz, peak in analysis.rows():
            numbers = [repr(time), repr(energy), repr(energy_db), repr(zcr), repr(zcr_hz), peak, rule]
            self._write(file + ([channel] if self.with_channel else []) + numbers + error)

    def add_error(self, source: str, message: str) -> None:
        self._write([source] + [""] * (self.width - 2) + [message])


def error_entry(source: str, message: str) -> dict[str, Any]:
    return {"source": source, "error": message}


def dump_json(entries: list[dict[str, Any]], single: bool) -> str:
    """One object for a single mixed-down file, a list of objects otherwise; strict JSON."""
    return json.dumps(entries[0] if single else entries, allow_nan=False)
