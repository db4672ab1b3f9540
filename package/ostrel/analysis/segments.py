"""Where the sound is: segments of sound told from silence by energy and zero crossings.

Frames (25 ms every 10 ms by default, centred) come from ``ostrel.fenwy``.
The noise floor is tracked by minimum statistics: every block of
``BLOCK_FRAMES`` frames gives the level of its quietest frames, and a frame's
floor is the lowest of those levels within ``floor_window_s`` around it, so
the floor follows a recording whose noise drifts and needs no fixed level.
A frame ``start_db`` above its floor starts sound, which lasts while frames
stay ``keep_db`` above it or sound unvoiced (a zero-crossing rate well above
the floor's, energy above it); a run of such frames without a start is not
sound. Short gaps are bridged, then short sounds dropped.

Every step looks at most ``floor_window_s / 2`` ahead and keeps nothing
older than that (and the segment being built), so a stream of any length
takes bounded memory, and the segments of a stream are those of the whole
signal whatever the blocks: the frames are exact across blocks and each step
works on the same frames, in the same fixed grid of blocks.
"""

from __future__ import annotations

import contextlib
import math
from collections.abc import Iterable
from pathlib import Path

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .audio import Blocks, Samples, open_decoder, streamed_blocks
from .errors import InputError
from .frames import FrameStream
from .settings import SegmentSettings

# Frames per block of the floor's minimum statistics: 0.2 s at 10 ms hops,
# shorter than a syllable's pause so that pauses give the floor its level.
BLOCK_FRAMES = 20
# The share of a block's frames below its level: the quietest tenth, not the
# single quietest frame, which a dip of noise would make too low.
LEVEL_RANK = 0.1
# The floor's zero-crossing rate is the median of the quietest quarter of the block.
QUIET_SHARE = 0.25
# A floor never below this: digital silence has no noise to measure, and
# -100 dBFS is about the quantisation noise of 16-bit audio.
QUIETEST_DB = -100.0
# Unvoiced frames next to sound need this much energy above the floor as well.
UNVOICED_DB = 2.0

Segment = tuple[float, float]


def frame_sizes(settings: SegmentSettings, sample_rate: int) -> tuple[int, int]:
    """Window and hop of the segment frames in samples at ``sample_rate``."""
    sizes = []
    for ms, what in ((settings.win_ms, "window"), (settings.hop_ms, "hop")):
        samples = round(ms * sample_rate / 1000.0)
        if samples < 1:
            raise InputError(f"a segment {what} of {ms:g} ms is shorter than one sample at {sample_rate} Hz")
        sizes.append(samples)
    return sizes[0], sizes[1]


class SegmentStream:
    """The sound segments of a signal fed in consecutive one-dimensional pieces."""

    def __init__(self, sample_rate: int, settings: SegmentSettings = SegmentSettings()) -> None:
        self.sample_rate, self.settings = sample_rate, settings
        self.win, self.hop = frame_sizes(settings, sample_rate)
        self.frames = FrameStream(self.win, self.hop, centered=True)
        # Blocks on each side of a frame's own whose levels its floor takes.
        self.reach = max(0, math.ceil(settings.floor_window_s * sample_rate / self.hop / BLOCK_FRAMES / 2))
        self.fed = 0
        # Frames from ``first_frame`` on, not yet classified.
        self.first_frame = 0
        self.energy_db = np.empty(0)
        self.zcr = np.empty(0)
        # Block levels and floor crossing rates from block ``first_level`` on.
        self.first_level = 0
        self.levels = np.empty(0)
        self.level_zcr = np.empty(0)
        self.runs = _Runs()
        self.merged = _Merger(
            gap=settings.min_silence_ms * sample_rate / 1000.0 / self.hop,
            shortest=settings.min_sound_ms * sample_rate / 1000.0 / self.hop,
        )

    def feed(self, piece: Samples) -> None:
        self.fed += len(piece)
        self.frames.feed(piece)
        self._add(*self.frames.take(), final=False)

    def finish(self) -> list[tuple[int, int]]:
        """The segments as (first sample, end sample) pairs of the signal."""
        energy, zcr, _ = self.frames.finish()
        self._add(energy, zcr, final=True)
        for run in self.runs.finish(self.first_frame):
            self.merged.add(*run)
        segments = []
        half = self.hop // 2
        # Frame m stands for the hop around its centre, sample m·hop.
        for first, end in self.merged.finish():
            start, stop = max(0, first * self.hop - half), min(self.fed, end * self.hop - half)
            if stop > start:
                segments.append((start, stop))
        return segments

    def _add(self, energy: NDArray[np.float64], zcr: NDArray[np.float64], final: bool) -> None:
        with np.errstate(divide="ignore", invalid="ignore"):
            energy_db = 10.0 * np.log10(energy)
        self.energy_db = np.concatenate((self.energy_db, energy_db))
        self.zcr = np.concatenate((self.zcr, zcr))
        self._add_levels(final)
        blocks_known = self.first_level + len(self.levels)
        # A block is classified once the levels of ``reach`` blocks after it are known.
        ready = blocks_known if final else blocks_known - self.reach
        first_block = self.first_frame // BLOCK_FRAMES
        if ready > first_block:
            self._classify(first_block, ready)
        # Levels older than the reach of the next block to classify are not needed again.
        drop = max(0, self.first_frame // BLOCK_FRAMES - self.reach - self.first_level)
        self.levels, self.level_zcr = self.levels[drop:], self.level_zcr[drop:]
        self.first_level += drop

    def _add_levels(self, final: bool) -> None:
        """The level and floor crossing rate of every block the frames complete (at the end, the last one too)."""
        known = self.first_level + len(self.levels)
        start = known * BLOCK_FRAMES - self.first_frame
        available = len(self.energy_db) - start
        whole = available // BLOCK_FRAMES
        new_levels, new_zcr = [], []
        if whole:
            stop = start + whole * BLOCK_FRAMES
            levels, zcr = _block_levels(
                self.energy_db[start:stop].reshape(whole, BLOCK_FRAMES), self.zcr[start:stop].reshape(whole, BLOCK_FRAMES)
            )
            new_levels.append(levels)
            new_zcr.append(zcr)
            start = stop
        if final and len(self.energy_db) > start:
            levels, zcr = _block_levels(self.energy_db[None, start:], self.zcr[None, start:])
            new_levels.append(levels)
            new_zcr.append(zcr)
        if new_levels:
            self.levels = np.concatenate((self.levels, *new_levels))
            self.level_zcr = np.concatenate((self.level_zcr, *new_zcr))

    def _classify(self, first_block: int, end_block: int) -> None:
        settings, reach = self.settings, self.reach
        # Each block's floor: the lowest level within ``reach`` blocks, with that block's crossing rate.
        lo = first_block - reach - self.first_level
        hi = end_block + reach - self.first_level
        levels = np.concatenate((np.full(max(0, -lo), np.inf), self.levels[max(0, lo) : hi]))
        levels = np.concatenate((levels, np.full(hi - lo - len(levels), np.inf)))
        zcr = np.concatenate((np.zeros(max(0, -lo)), self.level_zcr[max(0, lo) : hi]))
        zcr = np.concatenate((zcr, np.zeros(hi - lo - len(zcr))))
        windows = np.lib.stride_tricks.sliding_window_view(levels, 2 * reach + 1)
        lowest = np.argmin(windows, axis=1) + np.arange(len(windows))
        floor_db = np.maximum(levels[lowest], QUIETEST_DB)
        floor_zcr = zcr[lowest]

        count = min(len(self.energy_db), (end_block - first_block) * BLOCK_FRAMES)
        energy_db, frame_zcr = self.energy_db[:count], self.zcr[:count]
        floor = np.repeat(floor_db, BLOCK_FRAMES)[:count]
        strong = energy_db > floor + settings.start_db
        unvoiced = (frame_zcr > settings.unvoiced_zcr * np.repeat(floor_zcr, BLOCK_FRAMES)[:count]) & (
            energy_db > floor + UNVOICED_DB
        )
        candidate = (energy_db > floor + settings.keep_db) | unvoiced
        for run in self.runs.feed(candidate, strong, self.first_frame):
            self.merged.add(*run)
        self.energy_db, self.zcr = self.energy_db[count:], self.zcr[count:]
        self.first_frame += count


def _block_levels(
    energy_db: NDArray[np.float64], zcr: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Per row (one block of frames): the level of its quietest tenth, the median crossing rate of its quietest quarter."""
    width = energy_db.shape[1]
    order = np.argsort(energy_db, axis=1, kind="stable")
    levels = np.take_along_axis(energy_db, order[:, int(width * LEVEL_RANK)][:, None], axis=1)[:, 0]
    quiet = np.take_along_axis(zcr, order[:, : max(1, int(width * QUIET_SHARE))], axis=1)
    return levels, np.median(quiet, axis=1)


class _Runs:
    """Runs of candidate frames that hold at least one strong frame, across consecutive pieces."""

    def __init__(self) -> None:
        self.open_start: int | None = None  # the run reaching the end of the last piece
        self.open_strong = False

    def feed(self, candidate: NDArray[np.bool_], strong: NDArray[np.bool_], offset: int) -> list[tuple[int, int]]:
        runs = []
        if not len(candidate):
            return runs
        if self.open_start is not None and not candidate[0]:
            if self.open_strong:
                runs.append((self.open_start, offset))
            self.open_start = None
        edges = np.diff(np.concatenate(([False], candidate, [False])).astype(np.int8))
        starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
        strong_before = np.concatenate(([0], np.cumsum(strong & candidate)))
        for start, end, held in zip(starts.tolist(), ends.tolist(), (strong_before[ends] > strong_before[starts]).tolist()):
            first = start + offset
            if start == 0 and self.open_start is not None:
                first, held = self.open_start, held or self.open_strong
                self.open_start = None
            if end == len(candidate):
                self.open_start, self.open_strong = first, held
            elif held:
                runs.append((first, end + offset))
        return runs

    def finish(self, end: int) -> list[tuple[int, int]]:
        if self.open_start is not None and self.open_strong:
            return [(self.open_start, end)]
        return []


class _Merger:
    """Runs with gaps shorter than ``gap`` frames joined, then those shorter than ``shortest`` dropped."""

    def __init__(self, gap: float, shortest: float) -> None:
        self.gap, self.shortest = gap, shortest
        self.pending: tuple[int, int] | None = None
        self.done: list[tuple[int, int]] = []

    def add(self, first: int, end: int) -> None:
        if self.pending is not None and first - self.pending[1] < self.gap:
            self.pending = (self.pending[0], end)
            return
        self._close()
        self.pending = (first, end)

    def _close(self) -> None:
        if self.pending is not None and self.pending[1] - self.pending[0] >= self.shortest:
            self.done.append(self.pending)
        self.pending = None

    def finish(self) -> list[tuple[int, int]]:
        self._close()
        return self.done


def find_segments(
    signal: ArrayLike | Iterable[Samples] | Blocks | str | Path,
    sample_rate: int | None = None,
    settings: SegmentSettings = SegmentSettings(),
    *,
    overlap: int = 0,
) -> list[Segment]:
    """The segments of sound of a signal, as (start_s, end_s) pairs in seconds.

    ``signal`` is a one-dimensional signal, a file's path (read block by
    block and mixed to mono), :func:`blocks` of a file, or an iterable of
    consecutive one-dimensional blocks that overlap by ``overlap`` samples.
    The segments of a stream are those of the whole signal, whatever its
    blocks; memory does not grow with its length.
    """
    if isinstance(signal, (str, Path)):
        return _file_segments(signal, settings)
    if isinstance(signal, Blocks):
        if signal.channels_read != "mix":
            raise ValueError("find_segments() takes the blocks of one channel or of the mix-down")
        return _segments((block[signal.overlap if i else 0 :] for i, block in enumerate(signal)), signal.sample_rate, settings)
    if sample_rate is None:
        raise TypeError("find_segments() needs the sample_rate of a signal that is not a file or blocks()")
    if isinstance(signal, np.ndarray) or not isinstance(signal, Iterable) or _numbers(signal):
        whole = np.asarray(signal, dtype=np.float64)
        if whole.ndim != 1:
            raise ValueError(f"find_segments() takes a one-dimensional signal, got {whole.ndim} dimensions")
        return _segments([whole], sample_rate, settings)
    return _segments(
        (np.asarray(block, dtype=np.float64)[overlap if i else 0 :] for i, block in enumerate(signal)), sample_rate, settings
    )


def _numbers(signal: Iterable[object]) -> bool:
    """A list or tuple of numbers is a signal; of arrays, blocks."""
    return isinstance(signal, (list, tuple)) and (not signal or np.ndim(signal[0]) == 0)


def _segments(pieces: Iterable[Samples], sample_rate: int, settings: SegmentSettings) -> list[Segment]:
    stream = SegmentStream(sample_rate, settings)
    for piece in pieces:
        if piece.ndim != 1:
            raise ValueError(f"find_segments() takes one-dimensional blocks, got {piece.ndim} dimensions")
        stream.feed(piece)
    return in_seconds(stream.finish(), sample_rate)


def in_seconds(segments: list[tuple[int, int]], sample_rate: int) -> list[Segment]:
    return [(start / sample_rate, end / sample_rate) for start, end in segments]


def _file_segments(path: str | Path, settings: SegmentSettings) -> list[Segment]:
    decoder = open_decoder(path)
    try:
        stream = SegmentStream(decoder.sample_rate, settings)
        with contextlib.closing(streamed_blocks(decoder, "mix")) as pieces:
            for piece in pieces:
                stream.feed(piece)
        return in_seconds(stream.finish(), decoder.sample_rate)
    finally:
        decoder.close()
