"""The PNG pictures: waveform, energy with its peaks, zero-crossing rate.

Long signals are drawn as a min/max envelope of a few thousand columns, so a
picture takes the same time for a minute as for an hour.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from ..analysis import Analysis, Track, decibels
from .errors import InputError

PLOT_EXTRA_HINT = "pip install 'ostrel[plot]'"
# Columns a curve is reduced to: more than the picture has pixels.
COLUMNS = 2000
# Peaks marked on the energy, the strongest ones: more would hide the curve.
MARKED_PEAKS = 50


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
        stem = {"-": "stdin", "demo signal (built in)": "demo"}.get(source, Path(source).stem) or "plot"
        name, number = f"{stem}.png", 1
        while name in self.taken:
            number += 1
            name = f"{stem}-{number}.png"
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
        for track in analysis.tracks:
            label = "mix" if track.channel is None else f"channel {track.channel}"
            _draw_waveform(wave_axes, analysis, track, label)
            energy = decibels(track.energy) if db else track.energy
            _draw_curve(energy_axes, frame_times, energy, label)
            _mark_peaks(energy_axes, frame_times, energy, track)
            _draw_curve(zcr_axes, frame_times, track.zcr, label)
        wave_axes.set_ylabel("amplitude")
        energy_axes.set_ylabel("energy (dBFS)" if db else "energy")
        energy_axes.legend(loc="upper right")
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


def _draw_waveform(axes: object, analysis: Analysis, track: Track, label: str) -> None:
    envelope = track.envelope
    if envelope is None:
        return
    starts, low, high = columns(envelope.low)
    _, _, high = columns(envelope.high)
    seconds = starts * envelope.width / analysis.sample_rate
    if envelope.width == 1 and len(starts) == len(envelope.low):
        axes.plot(seconds, low, linewidth=0.4, label=label)  # type: ignore[attr-defined]
    else:
        axes.fill_between(seconds, low, high, linewidth=0, step="post", alpha=0.6, label=label)  # type: ignore[attr-defined]


def _draw_curve(axes: object, times: NDArray[np.float64], values: NDArray[np.float64], label: str) -> None:
    finite = np.where(np.isfinite(values), values, np.nan)
    starts, low, high = columns(finite)
    if len(starts) == len(values):
        axes.plot(times, finite, linewidth=0.8, label=label)  # type: ignore[attr-defined]
    else:
        axes.fill_between(times[starts], low, high, step="post", linewidth=0, alpha=0.7, label=label)  # type: ignore[attr-defined]


def _mark_peaks(axes: object, times: NDArray[np.float64], values: NDArray[np.float64], track: Track) -> None:
    marked = np.sort(track.strongest_peaks(MARKED_PEAKS))
    shown = f"{len(marked)} strongest of {len(track.peaks)}" if len(marked) < len(track.peaks) else f"{len(track.peaks)}"
    axes.plot(times[marked], values[marked], "v", color="tab:red", label=f"energy peaks ({shown})")  # type: ignore[attr-defined]
