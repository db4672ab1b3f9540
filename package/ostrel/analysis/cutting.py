"""Segments too long for their use (a speech recogniser takes about 30 s)
cut where they are quietest, a step after the segments are found."""

from __future__ import annotations

from collections import deque

import numpy as np
from numpy.typing import NDArray

from .audio import Samples
from .frame_stream import FrameStream

# Cuts this close to the quietest plan's loudest are as quiet: frame energies
# of a pause vary that much, and a fraction of a decibel is no reason for one
# more piece.
LEVEL_SLACK_DB = 3.0
# Levels under this (-100 dBFS, below the rounding noise of 16-bit samples) are
# as quiet as digital silence: no reason for one more piece either.
SILENT_LEVEL = 1e-10


class LongCuts:
    """The energy of the segment frames of a signal fed in pieces, and the cuts it suggests.

    One number a frame is kept (0.8 kB a second at 10 ms hops): a cut may
    fall anywhere in a segment, and a segment's end is known last.
    """

    def __init__(self, win: int, hop: int, longest: int) -> None:
        # A cut's level counts the frames a window either side: the quiet must span them (65 ms at the defaults).
        self.hop, self.longest, self.around = hop, longest, win // hop
        self.frames = FrameStream(win, hop, centered=True)
        self.energy: list[NDArray[np.float64]] = []

    def feed(self, piece: Samples) -> None:
        self.frames.feed(piece)
        self.energy.append(self.frames.take()[0])

    def cut(self, segments: list[tuple[int, int]]) -> list[tuple[int, int]]:
        """``segments`` (first, end sample) with every one longer than ``longest`` samples cut."""
        if not any(end - start > self.longest for start, end in segments):
            return segments
        self.energy.append(self.frames.finish()[0])
        energy = np.concatenate(self.energy)
        self.energy = [energy]
        pieces: list[tuple[int, int]] = []
        for start, end in segments:
            pieces += cut_at_quietest(start, end, energy, self.hop, self.longest, self.around)
        return pieces


def cut_at_quietest(
    start: int, end: int, energy: NDArray[np.float64], hop: int, longest: int, around: int
) -> list[tuple[int, int]]:
    """``start`` to ``end`` in pieces of at most ``longest`` samples, cut at the centres of the quietest frames.

    A cut's level is the loudest frame within ``around`` frames of it, so
    that a pause wins over the closure of a stop. The cuts are planned over
    the whole segment, every piece at least a quarter of ``longest`` (no
    sliver of padding at an edge). Minimised, in this order: the loudest
    cut's level, so a cut falls in a word only where no plan of pauses fits
    the limit (levels up to ``LEVEL_SLACK_DB`` above the least, or under
    ``SILENT_LEVEL``, count as equal); the number of pieces; the sum of the
    cuts' levels, so the other cuts find pauses too. Among equals, the
    earliest cuts. Frames near a NaN one (a broken sample) are never cut at;
    with no plan without them, the pieces are of equal length.
    """
    if end - start <= longest:
        return [(start, end)]
    least = max(1, longest // 4)
    first, last = -(-(start + least) // hop), min((end - least) // hop, len(energy) - 1)
    levels = np.empty(0)
    if first <= last:
        low, high = first - around, last + around + 1
        # Frames beyond the signal are not there to be loud.
        padded = np.pad(
            energy[max(0, low) : high], (max(0, -low), max(0, high - len(energy))), constant_values=-np.inf
        )
        levels = np.lib.stride_tricks.sliding_window_view(padded, 2 * around + 1).max(axis=1)
    cuts = _planned(start, end, first, hop, least, longest, np.where(np.isnan(levels), np.inf, levels).tolist())
    if cuts is None:
        count = -(-(end - start) // longest)
        cuts = [start + i * (end - start) // count for i in range(1, count)]
    bounds = [start, *cuts, end]
    return list(zip(bounds, bounds[1:]))


def _planned(start: int, end: int, first: int, hop: int, least: int, longest: int, levels: list[float]) -> list[int] | None:
    """The cuts (samples) at frames ``first``, ``first + 1``, … whose levels are ``levels``; None with no plan.

    Two passes from the end: the loudest cut of the best plan onwards from
    each frame, then the fewest cuts and their least sum at or under that
    level. The piece after frame i ends at frame i + ``near`` to i + ``far``;
    the best of those is the front of a queue whose levels rise (a sliding
    minimum), so time and memory go with the number of frames.
    """
    count, near, far = len(levels), -(-least // hop), longest // hop
    reach = min(count, (start + longest) // hop - first + 1)
    if near > far or reach <= 0:
        return None
    # From this frame on, the rest is one piece.
    last_piece = -(-(end - longest) // hop) - first
    inf = float("inf")
    loudest = list(levels)
    ahead: deque[int] = deque()
    for i in range(count - 1, -1, -1):
        j = i + near
        if j < count and loudest[j] < inf:
            while ahead and loudest[ahead[-1]] >= loudest[j]:
                ahead.pop()
            ahead.append(j)
        if ahead and ahead[0] > i + far:
            ahead.popleft()
        if i < last_piece:
            loudest[i] = max(levels[i], loudest[ahead[0]]) if ahead else inf
    level = min(loudest[:reach])
    if level == inf:
        return None
    level = max(level, SILENT_LEVEL) * 10.0 ** (LEVEL_SLACK_DB / 10.0)
    # (cuts, sum of their levels) onwards from each frame; None where no plan stays at or under ``level``.
    cost: list[tuple[int, float] | None] = [(1, value) if value <= level else None for value in levels]
    then = [-1] * count
    ahead.clear()
    for i in range(count - 1, -1, -1):
        j = i + near
        if j < count and cost[j] is not None:
            while ahead and cost[ahead[-1]] >= cost[j]:
                ahead.pop()
            ahead.append(j)
        if ahead and ahead[0] > i + far:
            ahead.popleft()
        if i < last_piece and cost[i] is not None:
            if ahead:
                cuts, total = cost[ahead[0]]
                cost[i], then[i] = (cuts + 1, levels[i] + total), ahead[0]
            else:
                cost[i] = None
    i = min((cost[i], i) for i in range(reach) if cost[i] is not None)[1]
    cuts = [(first + i) * hop]
    while then[i] >= 0:
        i = then[i]
        cuts.append((first + i) * hop)
    return cuts
