"""Text, CSV and JSON renderings of analyses."""

from __future__ import annotations

import csv
import json
from collections.abc import Sequence
from pathlib import Path
from typing import Any, TextIO

import numpy as np

from .analysis import Analysis
from .errors import InputError

CSV_COLUMNS = ("time_s", "energy", "zcr", "peak")


def _stats(values: np.ndarray) -> str:
    if values.size == 0:
        return "no frames"
    return f"min {values.min():.6g}  mean {values.mean():.6g}  max {values.max():.6g}"


def _framing(analysis: Analysis) -> str:
    centring = "centred" if analysis.centered else "not centred"
    return f"window {analysis.win}, hop {analysis.hop} samples, {centring}"


def format_summary(analysis: Analysis, top: int = 5) -> str:
    """The readable multi-line report for a single signal."""
    rate = analysis.sample_rate
    channels = "mono" if analysis.channels == 1 else f"{analysis.channels} channels mixed to mono"
    lines = [
        f"{analysis.source}",
        f"  format           {analysis.encoding}, {channels}",
        f"  duration         {analysis.duration:.3f} s ({analysis.num_samples} samples)",
        f"  sample rate      {rate} Hz",
        f"  frames           {len(analysis.energy)} ({_framing(analysis)})",
        f"  energy           {_stats(analysis.energy)}",
        f"  zero-crossing    {_stats(analysis.zcr)}",
        f"  zero crossings   {analysis.zero_crossings} in the whole signal",
    ]
    threshold = (
        f"above {analysis.threshold:g} of the strongest" if analysis.threshold else "every local maximum"
    )
    lines.append(f"  energy peaks     {len(analysis.peaks)} ({threshold})")
    strongest = analysis.strongest_peaks(top)
    if strongest.size:
        lines.append("  strongest peaks  time s     energy")
        for frame in strongest:
            lines.append(f"                   {analysis.times[frame]:8.3f}  {analysis.energy[frame]:.6g}")
    return "\n".join(lines)


def format_line(analysis: Analysis) -> str:
    """One line per file for runs over many files."""
    parts = [
        f"{analysis.source}:",
        f"{analysis.duration:.3f} s,",
        f"{analysis.sample_rate} Hz,",
        f"{len(analysis.energy)} frames,",
    ]
    if analysis.energy.size:
        parts += [
            f"energy mean {analysis.energy.mean():.4g} max {analysis.energy.max():.4g},",
            f"zcr mean {analysis.zcr.mean():.4g},",
        ]
    strongest = analysis.strongest_peaks(1)
    if strongest.size:
        parts.append(f"{len(analysis.peaks)} peaks (strongest at {analysis.times[strongest[0]]:.3f} s)")
    else:
        parts.append("0 peaks")
    return " ".join(parts)


def write_csv(analyses: Sequence[Analysis], path: str | Path, with_file: bool) -> None:
    """One row per frame; with ``with_file`` a leading ``file`` column names the source.

    Floats are written with ``repr`` so that reading them back gives the
    very values the analysis computed.
    """
    try:
        with open(path, "w", newline="", encoding="utf-8") as stream:
            _write_rows(stream, analyses, with_file)
    except OSError as error:
        raise InputError(f"{path}: cannot write CSV: {error.strerror or error}") from None


def _write_rows(stream: TextIO, analyses: Sequence[Analysis], with_file: bool) -> None:
    writer = csv.writer(stream)
    writer.writerow((("file",) if with_file else ()) + CSV_COLUMNS)
    for analysis in analyses:
        prefix = [analysis.source] if with_file else []
        for time, energy, zcr, peak in zip(analysis.times, analysis.energy, analysis.zcr, analysis.is_peak):
            writer.writerow(prefix + [repr(float(time)), repr(float(energy)), repr(float(zcr)), int(peak)])


def to_json(analysis: Analysis) -> dict[str, Any]:
    """Everything the analysis found, as plain JSON types."""
    return {
        "source": analysis.source,
        "sample_rate": analysis.sample_rate,
        "channels": analysis.channels,
        "format": analysis.encoding,
        "samples": analysis.num_samples,
        "duration_s": analysis.duration,
        "win": analysis.win,
        "hop": analysis.hop,
        "centered": analysis.centered,
        "threshold": analysis.threshold,
        "zero_crossings": analysis.zero_crossings,
        "frames": {
            "time_s": analysis.times.tolist(),
            "energy": analysis.energy.tolist(),
            "zcr": analysis.zcr.tolist(),
        },
        "peaks": [
            {"frame": int(frame), "time_s": float(analysis.times[frame]), "energy": float(analysis.energy[frame])}
            for frame in analysis.peaks
        ],
    }


def dump_json(analyses: Sequence[Analysis], single: bool) -> str:
    """One object for a single signal, a list of objects for many."""
    documents = [to_json(analysis) for analysis in analyses]
    return json.dumps(documents[0] if single else documents)
