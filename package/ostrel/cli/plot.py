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
from .files import NewFile
from .places import check_writable, make_folder, names_folder, unique_name

PLOT_EXTRA_HINT = "pip install 'ostrel[plot]'"
# Columns a curve is reduced to: more than the picture has pixels.
COLUMNS = 2000
# Peaks marked on the energy, the strongest ones: more would hide the curve.
MARKED_PEAKS = 50
# Marker shapes of the channels' peaks, in channel order.
PEAK_SHAPES = ("v", "o", "s", "D", "^", "P", "X", "*")
# The dB axis's floor when every frame is silence.
SILENCE_FLOOR_DB = -100.0
# How far below the strongest frame the dB axis reaches unless told: a few
# near-silent frames must not squash what matters.
DEFAULT_DB_RANGE = 80.0
# Between the channels' lanes of the waveform, a fraction of a lane's height.
LANE_GAP = 0.1
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
    db_range: float = DEFAULT_DB_RANGE
    taken: set[str] = field(default_factory=set)

    @classmethod
    def from_option(
        cls, option: str | None, inputs: int, db: bool, db_range: float = DEFAULT_DB_RANGE
    ) -> PlotTarget | None:
        """The target, checked before anything is read: a run must not analyse everything, then fail."""
        if option is None:
            return None
        require_matplotlib()
        path, folder = Path(option), cls.is_folder(option)
        if not folder and inputs > 1:
            raise InputError(f"--plot {option} holds one picture, but {inputs} files were given; give a folder")
        if folder:
            make_folder(path, "--plot", "plot", "plot.png")
        else:
            _check_format(path)
            check_writable(path, "plot")
        return cls(path, folder, db, db_range)

    @staticmethod
    def is_folder(option: str) -> bool:
        # A path without an extension names a folder; matplotlib would add ".png" to it.
        return names_folder(option) or Path(option).is_dir() or not Path(option).suffix

    def draw(self, analysis: Analysis) -> Path:
        target = self.path / self._name(analysis.source) if self.folder else self.path
        plot_analysis(analysis, target, self.db, self.db_range)
        return target

    def _name(self, source: str) -> str:
        # Named after the whole file name: tone.flac and tone.ogg must not meet as tone.png.
        base = {"-": "stdin", "demo signal (built in)": "demo"}.get(source, Path(source).name) or "plot"
        return unique_name(base, ".png", self.taken)


def columns(values: NDArray[np.float64], count: int = COLUMNS) -> tuple[NDArray[np.intp], NDArray[np.float64], NDArray[np.float64]]:
    """First index, minimum and maximum of ``count`` runs of ``values`` (each value its own run when fewer)."""
    width = max(1, -(-len(values) // count))
    starts = np.arange(0, len(values), width)
    if width == 1:
        return starts, values, values
    return starts, np.minimum.reduceat(values, starts), np.maximum.reduceat(values, starts)


def plot_analysis(analysis: Analysis, path: str | Path, db: bool = False, db_range: float = DEFAULT_DB_RANGE) -> None:
    require_matplotlib()
    import matplotlib

    # No display is needed or wanted: the picture only goes to a file.
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (wave_axes, energy_axes, zcr_axes) = plt.subplots(3, 1, sharex=True, figsize=(10, 7), layout="constrained")
    try:
        figure.suptitle(_title(analysis))
        frame_times = analysis.times
        several = len(analysis.tracks) > 1
        floor = _db_floor(analysis.tracks, db_range) if db else None
        for index, track in enumerate(analysis.tracks):
            label = _track_name(analysis, track)
            # One colour per channel in every panel.
            colour = f"C{index}"
            _draw_waveform(wave_axes, analysis, track, label, colour, index if several else None)
            _shade_segments(wave_axes, track, colour if several else "tab:green")
            energy = track.energy if floor is None else np.maximum(decibels(track.energy), floor)
            _draw_curve(energy_axes, frame_times, energy, label, colour)
            _mark_peaks(energy_axes, frame_times, energy, track, index if several else None)
            _draw_threshold(energy_axes, frame_times, analysis.threshold, track, db, colour if several else "tab:red")
            _draw_curve(zcr_axes, frame_times, track.zcr, label, colour)
        energy_axes.margins(y=PEAK_ROOM)
        if floor is not None:
            _mark_floor(energy_axes, frame_times, analysis.tracks, floor, db_range)
        if several:
            _label_lanes(wave_axes, analysis.tracks)
        else:
            wave_axes.set_ylabel("amplitude")
        energy_axes.set_ylabel("energy (dBFS)" if db else "energy")
        # Beside the axes, where it can hide no data.
        energy_axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, fontsize="small")
        zcr_axes.set_ylabel("zero-crossing rate" + ("\n(a zero as positive)" if analysis.zero_positive else "\n(a zero breaks a crossing)"))
        rate = analysis.sample_rate
        hertz = zcr_axes.secondary_yaxis("right", functions=(lambda r: r * rate, lambda h: h / rate))
        hertz.set_ylabel("crossings/s (Hz)")
        zcr_axes.set_xlabel("time (s)")
        for axes in (wave_axes, energy_axes, zcr_axes):
            axes.grid(alpha=0.3)
        target = Path(path)
        try:
            # Whole or not at all: under a temporary name until drawn, its format told by the target's name.
            with NewFile(target, "plot") as new_file:
                figure.savefig(new_file.stream, dpi=100, format=target.suffix[1:].lower() or "png")
        except ValueError as error:  # an unknown file extension
            raise InputError(f"{path}: cannot write plot: {error}") from None
    finally:
        plt.close(figure)


def _title(analysis: Analysis) -> str:
    def size(samples: int) -> str:
        return f"{samples} samples ({samples * 1000 / analysis.sample_rate:.4g} ms)"

    return f"{analysis.source}: window {size(analysis.win)}, hop {size(analysis.hop)}" + (
        ", centred" if analysis.centered else ""
    )


def _track_name(analysis: Analysis, track: Track) -> str:
    if track.channel is not None:
        return f"channel {track.channel}"
    return "mono" if analysis.channels == 1 else f"mix of {analysis.channels} channels"


def _check_format(path: Path) -> None:
    from matplotlib.backend_bases import FigureCanvasBase

    formats = FigureCanvasBase.get_supported_filetypes()
    extension = path.suffix[1:].lower()
    if extension not in formats:
        raise InputError(
            f"{path}: cannot write plot: Format '{extension}' is not supported (supported formats: "
            f"{', '.join(sorted(formats))})"
        )


def _db_floor(tracks: tuple[Track, ...], db_range: float) -> float:
    """The bottom of the dB axis: 10 dB below the quietest frame that is not silence, on a multiple
    of 10, but no further than ``db_range`` below the strongest frame."""
    levels = np.concatenate([decibels(track.energy) for track in tracks])
    audible = levels[np.isfinite(levels)]
    if not audible.size:
        return SILENCE_FLOOR_DB
    quietest = float(np.floor(audible.min() / 10.0) * 10.0 - 10.0)
    return max(quietest, float(audible.max()) - db_range)


def _draw_waveform(axes: Any, analysis: Analysis, track: Track, label: str, colour: str, lane: int | None) -> None:
    """The signal, or with several channels each in a lane of its own, below the one before,
    so that none hides another."""
    envelope = track.envelope
    if envelope is None:
        return
    starts, low, high = columns(envelope.low)
    _, _, high = columns(envelope.high)
    if lane is not None:
        shift = -lane * _lane_height(analysis.tracks)
        low, high = low + shift, high + shift
    seconds = starts * envelope.width / analysis.sample_rate
    if envelope.width == 1 and len(starts) == len(envelope.low):
        axes.plot(seconds, low, linewidth=0.4, color=colour, label=label)
    else:
        # An edge, so that a flat stretch (silence) still shows as a line.
        axes.fill_between(seconds, low, high, linewidth=0.3, step="post", alpha=0.6, color=colour, label=label)


def _lane_height(tracks: tuple[Track, ...]) -> float:
    """One channel's lane: twice the largest magnitude of all, and a gap."""
    largest = max(
        (max(-float(track.envelope.low.min()), float(track.envelope.high.max()))
         for track in tracks if track.envelope is not None and len(track.envelope.low)),
        default=1.0,
    )
    largest = largest if np.isfinite(largest) and largest > 0 else 1.0
    return 2 * largest * (1 + LANE_GAP)


def _label_lanes(axes: Any, tracks: tuple[Track, ...]) -> None:
    height = _lane_height(tracks)
    axes.set_yticks([-index * height for index in range(len(tracks))], [f"ch {track.channel}" for track in tracks])
    axes.set_ylabel("amplitude, a lane per channel")


def _draw_threshold(
    axes: Any, times: NDArray[np.float64], threshold: float, track: Track, db: bool, colour: str
) -> None:
    """The level a peak must pass: the threshold times the strongest peak (none when 0 or no peak)."""
    if not threshold or not len(track.peaks) or not len(times):
        return
    level = threshold * float(track.energy[track.peaks].max())
    shown = float(decibels(np.array([level]))[0]) if db else level
    owner = "" if track.channel is None else f"channel {track.channel} "
    # A collection, not a line: the axes' lines stay the curves and their peaks.
    axes.hlines(
        shown, times[0], times[-1], colors=colour, linestyles="dashed", linewidth=0.8,
        label=f"{owner}peak threshold ({threshold:g} \u00d7 strongest)",
    )


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


def _mark_floor(axes: Any, times: NDArray[np.float64], tracks: tuple[Track, ...], floor: float, db_range: float) -> None:
    """Frames of digital silence (-inf dB), and frames quieter than the floor, lie on the floor of
    the axis, over a band that says which: grey (hatched when quieter) for a single track, with
    several one band per channel in its colour, stacked."""
    levels = np.concatenate([decibels(track.energy) for track in tracks])
    audible = levels[np.isfinite(levels)]
    # The floor may lie far below the quietest frame: the room is measured over the whole span.
    # Nothing but silence: full scale down to the floor.
    highest = float(audible.max()) if audible.size else None
    top = 0.0 if highest is None else highest + PEAK_ROOM * (highest - floor)
    height = (top - floor) / 40
    hop = float(times[1] - times[0]) if len(times) > 1 else 1.0
    several = len(tracks) > 1
    bands = 0
    for index, track in enumerate(tracks):
        levels = decibels(track.energy)
        colour, owner = (f"C{index}", f"channel {track.channel} ") if several else ("0.6", "")
        kinds = (
            (track.energy == 0.0, None, f"{owner}digital silence (\u2212inf dB)"),
            ((track.energy > 0.0) & (levels < floor), "////", f"{owner}over {db_range:g} dB below the strongest"),
        )
        for frames, hatch, label in kinds:
            runs = _runs(frames, times, hop)
            if not runs:
                continue
            # Under the curves, which run along the floor there.
            axes.broken_barh(
                runs, (floor + bands * height, height), facecolor=colour if hatch is None else "none",
                edgecolor=colour, hatch=hatch, alpha=0.5 if several else 1.0, zorder=1, label=label,
            )
            bands += 1
    axes.set_ylim(floor, top)


def _runs(frames: NDArray[np.bool_], times: NDArray[np.float64], hop: float) -> list[tuple[float, float]]:
    """(start, width) in seconds of each run of flagged frames."""
    edges = np.flatnonzero(np.diff(np.concatenate(([0], frames.astype(np.int8), [0]))))
    return [(times[start] - hop / 2, (end - start) * hop) for start, end in zip(edges[0::2], edges[1::2])]


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
