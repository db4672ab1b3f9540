"""Segments too long for their use (a speech recogniser takes about 30 s)
cut where they are quietest, a step after the segments are found."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from .audio import Samples
from .frame_stream import FrameStream


class LongCuts:
    """The energy of the segment frames of a signal fed in pieces, and the cuts it suggests.

    One number a frame is kept (0.8 kB a second at 10 ms hops): a cut may
    fall anywhere in a segment, and a segment's end is known last.
    """

    def __init__(self, win: int, hop: int, longest: int) -> None:
        self.hop, self.longest = hop, longest
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
            pieces += cut_at_quietest(start, end, energy, self.hop, self.longest)
        return pieces


def cut_at_quietest(start: int, end: int, energy: NDArray[np.float64], hop: int, longest: int) -> list[tuple[int, int]]:
    """``start`` to ``end`` in pieces of at most ``longest`` samples, cut at the centres of the quietest frames.

    With ``k`` pieces needed for what is left, each cut is the quietest
    frame (the earliest of equals) where what follows still fits in
    ``k - 1`` pieces and neither side is shorter than half of an even
    share, so no piece is a sliver; with no frame centred there, the cut is
    the middle of that stretch.
    """
    pieces = []
    while end - start > longest:
        left = end - start
        needed = -(-left // longest)
        least = -(-left // (2 * needed))
        low, high = start + max(left - (needed - 1) * longest, least), start + min(longest, left - least)
        first, last = -(-low // hop), high // hop
        frames = energy[first : last + 1]
        if len(frames) and not np.isnan(frames).all():
            # NaN frames (a broken sample) are never the quietest.
            cut = (first + int(np.nanargmin(frames))) * hop
        else:
            cut = (low + high) // 2
        pieces.append((start, cut))
        start = cut
    pieces.append((start, end))
    return pieces
