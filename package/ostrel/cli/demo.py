"""The built-in demo signal: something for every feature to show."""

from __future__ import annotations

import numpy as np

DEMO_RATE = 22050
DEMO_SECONDS = 4.0

# (start s, end s, frequency Hz, peak amplitude): loud, medium and quiet bursts
# at rising pitch, so energy peaks differ in height and the rate in level.
_BURSTS = (
    (0.25, 0.85, 220.0, 0.9),
    (1.00, 1.60, 440.0, 0.6),
    (1.75, 2.35, 880.0, 0.35),
)
# Quiet white noise: low energy but the highest zero-crossing rate.
_NOISE = (2.55, 3.30, 0.08)


def demo_signal() -> tuple[np.ndarray, int]:
    """Return the demo signal (float64, mono) and its sample rate.

    Tone bursts under a Hann envelope (one clear energy peak each), a noisy
    stretch and silence before, between and after. The noise is seeded so
    every run prints the same numbers.
    """
    signal = np.zeros(int(DEMO_SECONDS * DEMO_RATE))
    for start, end, frequency, amplitude in _BURSTS:
        first, last = int(start * DEMO_RATE), int(end * DEMO_RATE)
        t = np.arange(last - first) / DEMO_RATE
        signal[first:last] = amplitude * np.hanning(last - first) * np.sin(2 * np.pi * frequency * t)
    start, end, deviation = _NOISE
    first, last = int(start * DEMO_RATE), int(end * DEMO_RATE)
    signal[first:last] = np.random.default_rng(2026).normal(0.0, deviation, last - first)
    return signal, DEMO_RATE
