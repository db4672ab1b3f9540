"""Segments too long for their use (a speech recogniser takes about 30 s)
cut where they are quietest, a step after the segments are found."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from .audio import Samples
from .frames import FrameStream


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

    From each piece's start, the cut is the quietest frame centred in the
    second half of the longest piece (the earliest of equals), so that no
    piece but the last is shorter than half of it; with no frame centred
    there, the piece is cut at its longest.
    """
    pieces = []
    while end - start > longest:
        first = -(-(start + (longest + 1) // 2) // hop)
        last = min(start + longest, end - 1) // hop
        frames = energy[first : last + 1]
        # NaN frames (a broken sample) are never the quietest.
        cut = (first + int(np.nanargmin(frames))) * hop if len(frames) and not np.isnan(frames).all() else start + longest
        pieces.append((start, cut))
        start = cut
    pieces.append((start, end))
    return pieces
