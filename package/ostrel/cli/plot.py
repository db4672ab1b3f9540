"""The PNG pictures: waveform, energy with its peaks, zero-crossing rate.

Long signals are drawn as a min/max envelope of a few thousand columns, so a
picture takes the same time for a minute as for an hour.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..analysis import Analysis, Track, decibels
from .errors import InputError

PLOT_EXTRA_HINT = "pip install 'ostrel[plot]'"
# Columns a curve is reduced to: more than the picture has pixels.
COLUMNS = 2000
# Peaks marked on the energy, the strongest ones: more would hide the curve.
MARKED_PEAKS = 50
# Marker shapes of the channels' peaks, in channel order.
PEAK_SHAPES = ("v", "o", "s", "D", "^", "P", "X", "*")
# The dB axis's floor when every frame is silence.
SILENCE_FLOOR_DB = -100.0
# Room above the highest frame for its peak's marker, a fraction of the axis's span.
PEAK_ROOM = 0.12


def require_matplotlib() -> None:
    """Fail before any analysis, not after it, when matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise InputError(f"--plot needs matplotlib: {PLOT_EXTRA_HINT}") from None


@dataclass
class PlotTarget:
    """Where pictures go: one file, or a folder with one PNG per input."""

    path: Path
    folder: bool
    db: bool
    taken: set[str] = field(default_factory=set)

    @classmethod
    def from_option(cls, option: str | None, inputs: int, db: bool) -> PlotTarget | None:
        if option is None:
            return None
        require_matplotlib()
        path = Path(option)
        # A path without an extension names a folder; matplotlib would add ".png" to it.
        folder = path.is_dir() or not path.suffix
        if not folder and inputs > 1:
            raise InputError(f"--plot {option} holds one picture, but {inputs} files were given; give a folder")
        if folder:
            try:
                path.mkdir(parents=True, exist_ok=True)
            except OSError as error:
                raise InputError(f"{path}: cannot make the plot folder: {error.strerror or error}") from None
        return cls(path, folder, db)

    def draw(self, analysis: Analysis) -> Path:
        target = self.path / self._name(analysis.source) if self.folder else self.path
        plot_analysis(analysis, target, self.db)
        return target

    def _name(self, source: str) -> str:
        # Named after the whole file name: tone.flac and tone.ogg must not meet as tone.png.
        base = {"-": "stdin", "demo signal (built in)": "demo"}.get(source, Path(source).name) or "plot"
        name, number = f"{base}.png", 1
        while name in self.taken:
            number += 1
            name = f"{base}-{number}.png"
        self.taken.add(name)
        return name


def columns(values: NDArray[np.float64], count: int = COLUMNS) -> tuple[NDArray[np.intp], NDArray[np.float64], NDArray[np.float64]]:
    """First index, minimum and maximum of ``count`` runs of ``values`` (each value its own run when fewer)."""
    width = max(1, -(-len(values) // count))
    starts = np.arange(0, len(values), width)
    if width == 1:
        return starts, values, values
    return starts, np.minimum.reduceat(values, starts), np.maximum.reduceat(values, starts)


def plot_analysis(analysis: Analysis, path: str | Path, db: bool = False) -> None:
    require_matplotlib()
    import matplotlib

    # No display is needed or wanted: the picture only goes to a file.
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (wave_axes, energy_axes, zcr_axes) = plt.subplots(3, 1, sharex=True, figsize=(10, 7), layout="constrained")
    try:
        figure.suptitle(
            f"{analysis.source}: window {analysis.win}, hop {analysis.hop} samples"
            f"{', centred' if analysis.centered else ''}"
        )
        frame_times = analysis.times
        several = len(analysis.tracks) > 1
        floor = _db_floor(analysis.tracks) if db else None
        for index, track in enumerate(analysis.tracks):
            label = "mix" if track.channel is None else f"channel {track.channel}"
            # One colour per channel in every panel.
            colour = f"C{index}"
            _draw_waveform(wave_axes, analysis, track, label, colour)
            _shade_segments(wave_axes, track, colour if several else "tab:green")
            energy = track.energy if floor is None else np.maximum(decibels(track.energy), floor)
            _draw_curve(energy_axes, frame_times, energy, label, colour)
            _mark_peaks(energy_axes, frame_times, energy, track, index if several else None)
            _draw_curve(zcr_axes, frame_times, track.zcr, label, colour)
        energy_axes.margins(y=PEAK_ROOM)
        if floor is not None:
            _mark_silence(energy_axes, frame_times, analysis.tracks, floor)
        wave_axes.set_ylabel("amplitude")
        energy_axes.set_ylabel("energy (dBFS)" if db else "energy")
        # Beside the axes, where it can hide no data.
        energy_axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, fontsize="small")
        zcr_axes.set_ylabel("zero-crossing rate")
        zcr_axes.set_xlabel("time (s)")
        for axes in (wave_axes, energy_axes, zcr_axes):
            axes.grid(alpha=0.3)
        try:
            figure.savefig(path, dpi=100)
        except OSError as error:
            raise InputError(f"{path}: cannot write plot: {error.strerror or error}") from None
        except ValueError as error:  # an unknown file extension
            raise InputError(f"{path}: cannot write plot: {error}") from None
    finally:
        plt.close(figure)


def _db_floor(tracks: tuple[Track, ...]) -> float:
    """The bottom of the dB axis: 10 dB below the quietest frame that is not silence, on a multiple of 10."""
    levels = np.concatenate([decibels(track.energy) for track in tracks])
    audible = levels[np.isfinite(levels)]
    quietest = float(audible.min()) if audible.size else SILENCE_FLOOR_DB + 10
    return float(np.floor(quietest / 10.0) * 10.0 - 10.0)


def _draw_waveform(axes: Any, analysis: Analysis, track: Track, label: str, colour: str) -> None:
    envelope = track.envelope
    if envelope is None:
        return
    starts, low, high = columns(envelope.low)
    _, _, high = columns(envelope.high)
    seconds = starts * envelope.width / analysis.sample_rate
    if envelope.width == 1 and len(starts) == len(envelope.low):
        axes.plot(seconds, low, linewidth=0.4, color=colour, label=label)
    else:
        # An edge, so that a flat stretch (silence) still shows as a line.
        axes.fill_between(seconds, low, high, linewidth=0.3, step="post", alpha=0.6, color=colour, label=label)


def _draw_curve(axes: Any, times: NDArray[np.float64], values: NDArray[np.float64], label: str, colour: str) -> None:
    finite = np.where(np.isfinite(values), values, np.nan)
    starts, low, high = columns(finite)
    if len(starts) == len(values):
        axes.plot(times, finite, linewidth=0.8, color=colour, label=label)
    else:
        # An edge, so that a flat stretch (zero, or silence at the floor) still shows as a line.
        axes.fill_between(times[starts], low, high, step="post", linewidth=0.3, alpha=0.7, color=colour, label=label)


def _mark_peaks(
    axes: Any, times: NDArray[np.float64], values: NDArray[np.float64], track: Track, index: int | None
) -> None:
    """The strongest peaks: red for a single track; with several, each in its channel's colour and a
    shape of its own, smaller for later channels, so that channels peaking together all show."""
    marked = np.sort(track.strongest_peaks(MARKED_PEAKS))
    shown = f"{len(marked)} strongest of {len(track.peaks)}" if len(marked) < len(track.peaks) else f"{len(track.peaks)}"
    if index is None:
        colour, shape, size, label = "tab:red", "v", 7.0, f"energy peaks ({shown})"
    else:
        colour, shape = f"C{index}", PEAK_SHAPES[index % len(PEAK_SHAPES)]
        size, label = max(3.0, 9.0 - 2.5 * index), f"channel {track.channel} peaks ({shown})"
    # Not clipped: a peak at the top of the axes keeps its whole marker.
    axes.plot(
        times[marked], values[marked], shape, color=colour, markersize=size, markeredgecolor="black",
        markeredgewidth=0.5, clip_on=not len(marked), label=label,
    )


def _mark_silence(axes: Any, times: NDArray[np.float64], tracks: tuple[Track, ...], floor: float) -> None:
    """Frames of digital silence (-inf dB) lie on the floor of the axis, over a band that says so:
    grey for a single track, with several one band per channel in its colour, stacked."""
    levels = np.concatenate([decibels(track.energy) for track in tracks])
    audible = levels[np.isfinite(levels)]
    # The floor may lie far below the quietest frame: the room is measured over the whole span.
    # Nothing but silence: full scale down to the floor.
    highest = float(audible.max()) if audible.size else None
    top = 0.0 if highest is None else highest + PEAK_ROOM * (highest - floor)
    height = (top - floor) / 40
    hop = float(times[1] - times[0]) if len(times) > 1 else 1.0
    several = len(tracks) > 1
    for index, track in enumerate(tracks):
        silent = np.concatenate(([0], (track.energy == 0.0).astype(np.int8), [0]))
        edges = np.flatnonzero(np.diff(silent))
        if not len(edges):
            continue
        runs = [(times[start] - hop / 2, (end - start) * hop) for start, end in zip(edges[0::2], edges[1::2])]
        colour, owner = (f"C{index}", f"channel {track.channel} ") if several else ("0.6", "")
        # Under the curves, which run along the floor there.
        axes.broken_barh(
            runs, (floor + index * height, height), color=colour, alpha=0.5 if several else 1.0, zorder=1,
            label=f"{owner}digital silence (\u2212inf dB)",
        )
    axes.set_ylim(floor, top)


def _shade_segments(axes: Any, track: Track, colour: str) -> None:
    """The track's sound segments as shaded spans behind the waveform."""
    if not track.segments:
        return
    spans = [(start, end - start) for start, end in track.segments]
    owner = "" if track.channel is None else f"channel {track.channel} "
    # Spread over the whole height in axes units, below the waveform.
    axes.broken_barh(
        spans, (0, 1), transform=axes.get_xaxis_transform(), color=colour, alpha=0.15, zorder=0,
        label=f"{owner}sound ({len(spans)} segment{'' if len(spans) == 1 else 's'})",
    )
