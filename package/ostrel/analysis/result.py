"""What an analysis gives: frames, peaks and their units, as rows or JSON."""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

ROW_COLUMNS = ("time_s", "energy", "energy_db", "zcr", "zcr_hz", "peak")


def decibels(energy: NDArray[np.float64]) -> NDArray[np.float64]:
    """10·log10 of the energy: dB relative to full scale (a full-scale square wave is 0 dB); silence is -inf."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return 10.0 * np.log10(energy)


def _finite_or_none(value: float) -> float | None:
    return value if math.isfinite(value) else None


@dataclass(frozen=True)
class Envelope:
    """The minimum and maximum of each run of ``width`` samples: a long signal drawn at plot size."""

    width: int
    low: NDArray[np.float64]
    high: NDArray[np.float64]


@dataclass(frozen=True)
class Track:
    """The frames of one channel (``channel`` counts from 1), or of the mix-down (``channel`` None).

    ``segments``, when asked for, are its (start_s, end_s) spans of sound.
    """

    channel: int | None
    energy: NDArray[np.float64]
    zcr: NDArray[np.float64]
    peaks: NDArray[np.intp]
    zero_crossings: int
    envelope: Envelope | None = None
    segments: tuple[tuple[float, float], ...] | None = None

    @property
    def is_peak(self) -> NDArray[np.bool_]:
        flags = np.zeros(len(self.energy), dtype=bool)
        flags[self.peaks] = True
        return flags

    def strongest_peaks(self, count: int) -> NDArray[np.intp]:
        """Frame indices of the ``count`` highest energy peaks, highest first; ties keep time order."""
        order = np.argsort(-self.energy[self.peaks], kind="stable")
        return self.peaks[order[:count]]


@dataclass(frozen=True)
class Analysis:
    """Frame-wise features of one signal or file: one track for the mix-down, or one per channel.

    ``times`` holds each frame's centre in seconds of the original signal
    (sample m·hop when centred, m·hop + win // 2 when not); ``energy_db`` is
    10·log10 of the energy relative to full scale and ``zcr_hz`` the
    zero-crossing rate times the sample rate: crossings per second, 2f for a
    pure tone of f Hz. Peaks are frame indices. ``zero_positive`` is the
    rule the zero crossings were counted by: True, a zero counts as positive;
    False, a zero breaks a crossing (the rule of ``ostrel.fenwy``).
    """

    source: str
    sample_rate: int
    channels: int
    encoding: str
    num_samples: int
    win: int
    hop: int
    centered: bool
    threshold: float
    min_gap_ms: float | None
    tracks: tuple[Track, ...]
    warnings: tuple[str, ...] = ()
    min_prominence_db: float | None = None
    zero_positive: bool = True

    @property
    def duration(self) -> float:
        return self.num_samples / self.sample_rate

    @property
    def num_frames(self) -> int:
        return len(self.tracks[0].energy)

    @property
    def times(self) -> NDArray[np.float64]:
        offset = 0 if self.centered else self.win // 2
        return (np.arange(self.num_frames) * self.hop + offset) / self.sample_rate

    @property
    def track(self) -> Track:
        """The only track; an analysis of several channels has to name one in ``tracks``."""
        if len(self.tracks) != 1:
            raise ValueError(f"{self.source}: {len(self.tracks)} channels were analysed; pick one of .tracks")
        return self.tracks[0]

    @property
    def energy(self) -> NDArray[np.float64]:
        return self.track.energy

    @property
    def zcr(self) -> NDArray[np.float64]:
        return self.track.zcr

    @property
    def peaks(self) -> NDArray[np.intp]:
        return self.track.peaks

    @property
    def zero_crossings(self) -> int:
        return self.track.zero_crossings

    def rows(self) -> Iterator[tuple[int | None, float, float, float, float, float, int]]:
        """One row per channel and frame: channel (None for the mix-down), then :data:`ROW_COLUMNS`.

        Always these seven values, for one track or several. The command
        line's CSV of one file differs: it has the channel column only with
        ``--channels each``, otherwise the six of :data:`ROW_COLUMNS`, and
        then a ``zero_positive`` column, the rule the rate was counted by.
        """
        times = self.times.tolist()
        for track in self.tracks:
            energy_db = decibels(track.energy).tolist()
            zcr_hz = (track.zcr * self.sample_rate).tolist()
            flags = track.is_peak.tolist()
            for row in zip(times, track.energy.tolist(), energy_db, track.zcr.tolist(), zcr_hz, flags):
                yield (track.channel, *row[:5], int(row[5]))

    def to_json(self) -> list[dict[str, Any]]:
        """One entry per track, in plain JSON types; NaN and infinities become None (``null``)."""
        times = self.times
        entries = []
        for track in self.tracks:
            entry: dict[str, Any] = {
                "source": self.source,
                "channel": track.channel,
                "sample_rate": self.sample_rate,
                "channels": self.channels,
                "format": self.encoding,
                "samples": self.num_samples,
                "duration_s": self.duration,
                "win": self.win,
                "hop": self.hop,
                "centered": self.centered,
                "threshold": self.threshold,
                "min_gap_ms": self.min_gap_ms,
                "min_prominence_db": self.min_prominence_db,
                "zero_positive": self.zero_positive,
                "zero_crossings": track.zero_crossings,
                "frames": {
                    "time_s": _json_floats(times),
                    "energy": _json_floats(track.energy),
                    "energy_db": _json_floats(decibels(track.energy)),
                    "zcr": _json_floats(track.zcr),
                    "zcr_hz": _json_floats(track.zcr * self.sample_rate),
                },
                "peaks": [
                    {
                        "frame": int(frame),
                        "time_s": float(times[frame]),
                        "energy": _finite_or_none(float(track.energy[frame])),
                        "energy_db": _finite_or_none(float(decibels(track.energy[frame : frame + 1])[0])),
                    }
                    for frame in track.peaks
                ],
                **({} if track.segments is None else {"segments": [list(span) for span in track.segments]}),
                "warnings": list(self.warnings),
                "error": None,
            }
            entries.append(entry)
        return entries


def _json_floats(values: NDArray[np.float64]) -> list[float | None]:
    return [value if math.isfinite(value) else None for value in values.tolist()]
