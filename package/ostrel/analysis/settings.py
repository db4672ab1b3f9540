"""What the analysis of a file is asked to compute."""

from __future__ import annotations

import math
import sys
from dataclasses import dataclass
from typing import Literal

from .errors import InputError

DEFAULT_WIN = 2048
DEFAULT_HOP = 512
DEFAULT_THRESHOLD = 0.1
# numpy indexes arrays with intp: no window or hop beyond it can be framed.
LARGEST_SIZE = sys.maxsize

Channels = Literal["mix", "each"]


@dataclass(frozen=True)
class Settings:
    """Framing, peak and channel options.

    ``win_ms`` and ``hop_ms``, when set, replace ``win`` and ``hop``; they
    become samples per file, since files differ in rate. ``min_gap_ms`` keeps,
    of peaks closer than that, only the stronger. ``channels`` is ``"mix"``
    (the mean of the channels) or ``"each"`` (every channel on its own).
    ``envelope`` keeps the signal's min/max envelope for a plot.
    """

    win: int = DEFAULT_WIN
    hop: int = DEFAULT_HOP
    win_ms: float | None = None
    hop_ms: float | None = None
    centered: bool = True
    threshold: float = DEFAULT_THRESHOLD
    min_gap_ms: float | None = None
    channels: Channels = "mix"
    envelope: bool = False

    def frame_sizes(self, sample_rate: int) -> tuple[int, int]:
        """Window and hop in samples at ``sample_rate``; one-line errors for sizes out of range."""
        win = self.win if self.win_ms is None else _ms_to_samples(self.win_ms, sample_rate, "window")
        hop = self.hop if self.hop_ms is None else _ms_to_samples(self.hop_ms, sample_rate, "hop")
        for size, what in ((win, "window"), (hop, "hop")):
            if not 1 <= size <= LARGEST_SIZE:
                raise InputError(f"a {what} of {size} samples is out of range (1 to {LARGEST_SIZE})")
        return win, hop


def _ms_to_samples(ms: float, sample_rate: int, what: str) -> int:
    exact = ms * sample_rate / 1000.0
    if not math.isfinite(exact) or exact > LARGEST_SIZE:
        raise InputError(f"a {what} of {ms:g} ms is too long at {sample_rate} Hz (at most {LARGEST_SIZE} samples)")
    samples = round(exact)
    if samples < 1:
        raise InputError(f"a {what} of {ms:g} ms is shorter than one sample at {sample_rate} Hz")
    return samples
