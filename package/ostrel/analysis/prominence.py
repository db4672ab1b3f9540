"""How far each peak of a curve rises above its surroundings.

A peak's prominence is its height above the higher of two bases: on each
side, the lowest point between the peak and the nearest point higher than it
(or the end of the curve). -inf (the dB of silence) is a point like any
other, so a sound between two silences is infinitely prominent; NaN counts
as higher ground, since nothing is known past it. This is what
``scipy.signal.peak_prominences`` computes, without its cost per peak: one
pass from each side with a stack of the points still able to be higher
ground, O(n) for the whole curve.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray


def _lowest_since_higher(values: list[float]) -> list[float]:
    """For each point, the lowest of it and the points back to the nearest one higher than it."""
    # (value, lowest point since the entry below it): the values are
    # decreasing from the bottom, so each new point pops those it looks over.
    stack: list[tuple[float, float]] = []
    lowest = []
    for value in values:
        low = value
        # NaN compares false: it is never popped and pops nothing.
        while stack and stack[-1][0] <= value:
            low = min(low, stack.pop()[1])
        lowest.append(low)
        stack.append((value, low))
    return lowest


def prominences(curve: NDArray[np.float64], peaks: NDArray[np.intp]) -> NDArray[np.float64]:
    """The prominence of each of ``peaks`` (indices) on ``curve``."""
    if not len(peaks):
        return np.empty(0)
    values = curve.tolist()
    left = _lowest_since_higher(values)
    right = _lowest_since_higher(values[::-1])[::-1]
    return np.array([values[peak] - max(left[peak], right[peak]) for peak in peaks.tolist()], dtype=np.float64)
