"""The analysis of one signal, done with the five functions of ``ostrel.fenwy`` only."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .. import fenwy
from .errors import InputError

DEFAULT_WIN = 2048
DEFAULT_HOP = 512
DEFAULT_THRESHOLD = 0.1


@dataclass(frozen=True)
class Settings:
    """Framing and peak options.

    ``win_ms`` and ``hop_ms``, when set, replace ``win`` and ``hop``; they
    become samples per file, since files differ in rate.
    """

    win: int = DEFAULT_WIN
    hop: int = DEFAULT_HOP
    win_ms: float | None = None
    hop_ms: float | None = None
    centered: bool = True
    threshold: float = DEFAULT_THRESHOLD

    def frame_sizes(self, sample_rate: int) -> tuple[int, int]:
        """Window and hop in samples at ``sample_rate``."""
        win = self.win if self.win_ms is None else _ms_to_samples(self.win_ms, sample_rate, "window")
        hop = self.hop if self.hop_ms is None else _ms_to_samples(self.hop_ms, sample_rate, "hop")
        return win, hop


def _ms_to_samples(ms: float, sample_rate: int, what: str) -> int:
    samples = round(ms * sample_rate / 1000.0)
    if samples < 1:
        raise InputError(f"a {what} of {ms:g} ms is shorter than one sample at {sample_rate} Hz")
    return samples


@dataclass
class Analysis:
    """Frame-wise features of one signal.

    ``times`` holds each frame's centre in seconds of the original signal;
    ``peaks`` the frame indices of the energy peaks that pass the threshold.
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
    times: np.ndarray
    energy: np.ndarray
    zcr: np.ndarray
    peaks: np.ndarray
    zero_crossings: int

    @property
    def duration(self) -> float:
        return self.num_samples / self.sample_rate

    @property
    def is_peak(self) -> np.ndarray:
        flags = np.zeros(len(self.energy), dtype=bool)
        flags[self.peaks] = True
        return flags

    def strongest_peaks(self, count: int) -> np.ndarray:
        """Frame indices of the ``count`` highest energy peaks, highest first; ties keep time order."""
        order = np.argsort(-self.energy[self.peaks], kind="stable")
        return self.peaks[order[:count]]


def analyse(
    signal: np.ndarray,
    sample_rate: int,
    settings: Settings,
    source: str,
    channels: int = 1,
    encoding: str = "float64",
) -> Analysis:
    """Energy, zero-crossing rate and energy peaks of a mono float signal."""
    win, hop = settings.frame_sizes(sample_rate)
    # Centring pads win // 2 zeros in front, so frame m starts at m * hop in
    # the padded signal and is centred on sample m * hop of the original.
    padded_len = len(signal) + (win // 2 if settings.centered else 0)
    num_frames = fenwy.calc_num_frames(padded_len, win, hop)
    offset = 0 if settings.centered else win // 2
    times = (np.arange(num_frames) * hop + offset) / sample_rate

    energy = fenwy.calc_energy(signal, win, hop, settings.centered)
    zcr = fenwy.calc_zc(signal, win, hop, settings.centered)
    # A threshold of 0 means "every local maximum", which is what None asks for.
    peaks = fenwy.find_peaks(energy, settings.threshold or None)
    return Analysis(
        source=source,
        sample_rate=sample_rate,
        channels=channels,
        encoding=encoding,
        num_samples=len(signal),
        win=win,
        hop=hop,
        centered=settings.centered,
        threshold=settings.threshold,
        times=times,
        energy=energy,
        zcr=zcr,
        peaks=np.asarray(peaks, dtype=np.intp),
        zero_crossings=int(fenwy.num_zerocrossings(signal)),
    )
