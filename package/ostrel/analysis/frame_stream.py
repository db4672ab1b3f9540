"""A signal's frames computed as its samples arrive, with the functions of ``ostrel.fenwy`` only.

Frame m covers samples m·hop … m·hop + win of the signal with ``win // 2``
zeros in front when centred. Fed in pieces, every frame is still computed by
the library on exactly the samples of its window: the stream holds back the
last win − hop samples (the overlap of the next frames), frames that reach
into the front padding are computed by one centred call on the start of the
signal, and the rest by uncentred calls, so the result equals one call on
the whole signal bit for bit.

The analysis and the segment finder both read their frames from here.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from .. import _crossings, fenwy
from .audio import Samples


def frame_count(length: int, win: int, hop: int, centered: bool) -> int:
    """Frames of a signal of ``length`` samples; a window longer than the padded signal gives none."""
    padded = length + (win // 2 if centered else 0)
    return max(0, fenwy.calc_num_frames(padded, win, hop))


class FrameStream:
    """Energy, zero-crossing rate and zero crossings of a signal fed in consecutive pieces."""

    def __init__(
        self, win: int, hop: int, centered: bool, frames_expected: int | None = None, zero_positive: bool = False
    ) -> None:
        self.win, self.hop, self.centered, self.zero_positive = win, hop, centered, zero_positive
        self.pad = win // 2 if centered else 0
        # None: unknown. With none expected, nothing needs holding back.
        self.frames_expected = frames_expected
        self.pieces: list[Samples] = []
        self.held_from = 0  # signal index of the first held sample
        self.fed = 0  # samples fed so far
        self.done = 0  # frames computed so far
        self.unframed = 0  # samples held since frames were last computed
        self.energy: list[NDArray[np.float64]] = []
        self.zcr: list[NDArray[np.float64]] = []
        self.crossings = 0
        self.last: float | None = None

    def feed(self, piece: Samples) -> None:
        if len(piece) == 0:
            return
        self._count_crossings(piece)
        start, self.fed = self.fed, self.fed + len(piece)
        if self.frames_expected == 0:
            return
        skip = max(0, self.held_from - start)  # samples no frame covers (hop longer than window)
        borrowed = piece[skip:]
        if len(borrowed):
            self.pieces.append(borrowed)
            self.unframed += len(borrowed)
        # Framing copies the held samples: wait until the new ones are at
        # least as many as the overlap, so that long windows copy each sample
        # a bounded number of times.
        if self.unframed >= self.win - self.hop:
            self._frames(complete_up_to=self.fed)
        if self.pieces and np.may_share_memory(self.pieces[-1], borrowed):
            # The caller may reuse the piece's memory once this returns; the
            # copy also lets the rest of a large block go.
            self.pieces[-1] = self.pieces[-1].copy()

    def take(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """The frames computed since the last take, no longer kept here: a reader
        that consumes them as they come holds bounded memory."""
        energy = np.concatenate(self.energy) if self.energy else np.empty(0)
        zcr = np.concatenate(self.zcr) if self.zcr else np.empty(0)
        self.energy, self.zcr = [], []
        return energy, zcr

    def finish(self) -> tuple[NDArray[np.float64], NDArray[np.float64], int]:
        total = frame_count(self.fed, self.win, self.hop, self.centered)
        if self.done < total:
            self._frames(complete_up_to=None, total=total)
        self.pieces = []
        energy = np.concatenate(self.energy) if self.energy else np.empty(0)
        zcr = np.concatenate(self.zcr) if self.zcr else np.empty(0)
        return energy, zcr, self.crossings

    def _count_crossings(self, piece: Samples) -> None:
        # Each piece's own pairs, and the pair across the seam with the piece before.
        first = float(piece[0])
        if self.zero_positive:
            self.crossings += _crossings.count(piece)
            crosses = self.last is not None and (self.last < 0) != (first < 0)
        else:
            self.crossings += int(fenwy.num_zerocrossings(piece))
            crosses = self.last is not None and self.last * first < 0
        self.crossings += crosses
        self.last = float(piece[-1])

    def _frames(self, complete_up_to: int | None, total: int | None = None) -> None:
        """Compute every frame the held samples complete, or, at the end, all the rest."""
        win, hop, pad, first = self.win, self.hop, self.pad, self.done
        if total is None:
            assert complete_up_to is not None
            # Frames ending by the samples fed so far: (b − 1)·hop + win ≤ fed + pad.
            if complete_up_to + pad < win:
                return
            end_frame = (complete_up_to + pad - win) // hop + 1
            if first == 0 and pad and end_frame * hop < pad:
                # The frames over the padding come in one centred call, all together.
                return
            if end_frame <= first:
                return
            stop = (end_frame - 1) * hop + win - pad
        else:
            end_frame, stop = total, self.fed
        self.unframed = 0
        if first == 0 and pad:
            energy, zcr = _framed(self._held_until(stop), end_frame, win, hop, True, self.zero_positive)
        else:
            energy, zcr = self._uncentred(first, end_frame, stop)
        self.energy.append(energy)
        self.zcr.append(zcr)
        self.done = end_frame
        self._release_before(end_frame * hop - pad)

    def _uncentred(self, first: int, end_frame: int, stop: int) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Frames ``first`` to ``end_frame`` of the held samples, which end at signal index ``stop``.

        Frames that start within the newest piece are computed on that piece
        itself; only those reaching back into the older pieces need a copy.
        """
        win, hop, pad = self.win, self.hop, self.pad
        newest = self.pieces[-1] if self.pieces else np.empty(0)
        newest_from = self.fed - len(newest) if self.pieces else self.held_from
        inside = min(end_frame, max(first, -(-(newest_from + pad) // hop)))
        energy, zcr = [], []
        if inside > first:
            seam_stop = min(stop, (inside - 1) * hop - pad + win)
            seam = np.concatenate([*self.pieces[:-1], newest[: max(0, seam_stop - newest_from)]])
            framed = _framed(seam[: seam_stop - self.held_from], inside - first, win, hop, False, self.zero_positive)
            energy.append(framed[0])
            zcr.append(framed[1])
        if end_frame > inside:
            body = newest[inside * hop - pad - newest_from : stop - newest_from]
            framed = _framed(body, end_frame - inside, win, hop, False, self.zero_positive)
            energy.append(framed[0])
            zcr.append(framed[1])
        if len(energy) == 1:
            return energy[0], zcr[0]
        return np.concatenate(energy), np.concatenate(zcr)

    def _held_until(self, stop: int) -> Samples:
        held = np.concatenate(self.pieces) if len(self.pieces) > 1 else self.pieces[0] if self.pieces else np.empty(0)
        self.pieces = [held] if len(held) else []
        return held[: max(0, stop - self.held_from)]

    def _release_before(self, index: int) -> None:
        if index <= self.held_from:
            return
        drop = index - self.held_from
        kept = []
        for piece in self.pieces:
            if drop < len(piece):
                kept.append(piece[drop:])
            drop = max(0, drop - len(piece))
        self.pieces = kept
        self.held_from = index


def _framed(
    samples: Samples, count: int, win: int, hop: int, centered: bool, zero_positive: bool = False
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Energy and zero-crossing rate of the first ``count`` frames of one library call on ``samples``.

    With ``zero_positive`` the rate counts a zero as positive: the same frames, the other rule.
    """
    energy = fenwy.calc_energy(samples, win, hop, centered)[:count]
    if zero_positive:
        zcr = np.empty(min(count, len(energy)))
        _crossings.rates(samples, win, hop, win // 2 if centered else 0, zcr)
    else:
        zcr = fenwy.calc_zc(samples, win, hop, centered)[:count]
    if len(energy) < count:
        # Frames that start past the end are empty: the library gives 0 for them.
        energy = np.concatenate((energy, np.zeros(count - len(energy))))
        zcr = np.concatenate((zcr, np.zeros(count - len(zcr))))
    return energy, zcr
