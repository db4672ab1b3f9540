"""Where the sound is: segments of sound told from silence by energy and zero crossings.

The defaults keep utterances whole: pauses under ``min_silence_ms`` (300 ms)
are bridged and each segment padded by ``pad_ms`` (30 ms); the frame-exact
extent of each sound is there with ``min_silence_ms=10, pad_ms=0``. They
remove pauses of 300 ms or more (less the padding at either end), sounds
shorter than ``min_sound_ms`` (50 ms) on their own, steady noise and hum
alone, a room's tail (where the level falls steadily, 30 to 250 dB a
second for 160 ms, 14 dB under the peak since the last onset, the sound
is over until the next onset), a knock alone (at most 150 ms, at once at
its loudest, nothing near it) and infrasound (a DC step). They keep
whatever else stands out of the noise, not only speech: music between
utterances, a tone.

Frames (25 ms every 10 ms by default, centred) are measured in one native pass
with the bits ``ostrel.fenwy`` and numpy give them (see ``frame_measures``).
The noise floor is tracked by minimum statistics: every block of
``BLOCK_FRAMES`` frames gives the level of its quietest frames, and a frame's
floor is the lowest of those levels within ``floor_window_s`` around it, so
the floor follows a recording whose noise drifts and needs no fixed level.
A block of steady, periodic sound (a tone, a held vowel) gives no level:
sound with no pause is then still sound, not its own floor.
Energy is measured on the signal, on its first difference and in a low band
(see _LowBand), each with its own floor. A frame ``start_db`` above its
floor (more where the noise varies) starts sound, which lasts while frames
stay ``keep_db`` above it (and within ``HEARD_DB`` of the loudest sound
around) or sound unvoiced (a zero-crossing rate well above the floor's,
energy above it; over digital silence, which crosses zero not at all, the
rate of a faint noise of the block's own, a dither), but not in a room's
tail nor a knock alone (see _Passing); a run of such frames without a start
is sound only as the sound before it going on, within ``GOES_ON_MS`` of a
start's run. Each run is widened by the fade the noise hides and short gaps
are bridged. An edge the noise hides none of is placed between the windows
that heard the sound and did not, not half a hop before the frame that
heard it: a window hears sound anywhere in it, up to half a window from its
centre. Sounds then shorter than ``min_sound_ms`` are dropped, and the rest
padded.

Every step looks at most ``floor_window_s / 2`` ahead and keeps nothing
older than that (and the segment being built), so a stream of any length
takes bounded memory, and the segments of a stream are those of the whole
signal whatever the blocks: the frames are exact across blocks and each step
works on the same frames, in the same fixed grid of blocks.
"""

from __future__ import annotations

import contextlib
import functools
import math
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._segments import Measures as NativeMeasures
from .audio import Blocks, Samples, open_decoder, streamed_blocks
from .cutting import LongCuts
from .errors import InputError
from .frame_stream import FrameStream
from .samples import as_samples
from .settings import SegmentSettings, checked_sample_rate

# Frames per block of the floor's minimum statistics: 0.2 s at 10 ms hops,
# shorter than a syllable's pause so that pauses give the floor its level.
BLOCK_FRAMES = 20
# The share of a block's frames below its level: about the quietest fifth, not
# the single quietest frame, which a dip of noise would make too low.
LEVEL_RANK = 0.18
# The floor's zero-crossing rate is the median of the quietest quarter of the block.
QUIET_SHARE = 0.25
# A floor never below this: digital silence has no noise to measure, and
# -100 dBFS is about the quantisation noise of 16-bit audio.
QUIETEST_DB = -100.0
# How fast the floor may rise or fall: noise a second away is taken for this much louder.
FLOOR_DRIFT_DB_PER_S = 0.5
# Unvoiced frames next to sound need this much energy above the floor as well.
UNVOICED_DB = 2.0
# Noise that varies (babble, traffic) moves the thresholds up: sound must
# stand this many times the noise's own spread (median over quietest) above it.
SPREAD_FACTOR = 1.3
# The noise's spread is measured on the frames up to this far above its level:
# louder ones are sound in the block, not the noise varying.
SPREAD_REACH_DB = 10.0
# Or this many times how far the noise's level wanders: the quieter blocks
# around (the loudest of the quietest QUIETER_SHARE) over the quietest, up to
# MOST_WANDER_DB, for where sound fills more than all but that share.
WANDER_FACTOR = 3.0
QUIETER_SHARE = 0.15
MOST_WANDER_DB = 15.0
# Sound lasts while frames stay this share of that margin above the floor.
KEEP_SHARE = 0.65
# Edges hidden by noise: a sound reaches this far below the loudest sound
# around it, fading at this rate; it is widened by at most MAX_EDGE_DB of fade.
SPAN_DB = 26.5
EDGE_SLOPE_DB_PER_MS = 0.1
MAX_EDGE_DB = 40.0
# Sound starts no further than this below the loudest sound around it:
# noise that bursts up in the pauses of loud sound does not, while a voice
# 30 dB under its neighbours (a level swing of ±15 dB) still does.
RANGE_DB = 32.0
# Sound lasts no further than this below the loudest sound around: further
# down it is not heard next to it, however far the floor (of the difference,
# with little noise) lies below.
HEARD_DB = 40.0
# A run of sound with no start of its own goes on from a started one across at most this much
# silence: a stop's closure, not a pause, after which noise bursting up would be taken along.
GOES_ON_MS = 50.0
# A room's tail: after a peak (the loudest frame since the last onset, within DECAY_PEAK_MS before),
# the level falls on a nearly straight line, at 60 dB per reverberation time (0.25 to 2 s), for
# DECAY_MS ahead, no frame further than DECAY_ROUGH_DB off that line. A voice's own fade-out is short and steep, and digital
# silence or noise after it ends the line. Where such a decay lies DECAY_BELOW_DB under its peak, the
# sound is over: the rest is the room's, until an onset (a rise of ONSET_DB within ONSET_MS) or a
# frame above the level where the tail was cut.
DECAY_PEAK_MS = 300.0
DECAY_MS = 160.0
DECAY_BELOW_DB = 14.0
DECAY_SLOWEST_DB_PER_S = 30.0
DECAY_FASTEST_DB_PER_S = 250.0
DECAY_ROUGH_DB = 3.0
ONSET_DB = 6.0
ONSET_MS = 30.0
# A knock alone: a burst of at most KNOCK_MS, at its loudest within KNOCK_RISE_MS of its start, with
# nothing within KNOCK_DB of that for KNOCK_BEFORE_MS before it and KNOCK_AFTER_MS after. A word's
# last stop, released after its closure, follows louder sound within KNOCK_BEFORE_MS: kept.
KNOCK_MS = 150.0
KNOCK_RISE_MS = 40.0
KNOCK_BEFORE_MS = 300.0
KNOCK_AFTER_MS = 120.0
KNOCK_DB = 15.0
# Frames crossing zero less often than a tone of INFRA_HZ are infrasound or a DC step (a thump's
# offset, a drift), not heard: only their first difference may be sound.
INFRA_HZ = 20.0

# A block whose sound's zero-crossing counts stay this close (but for a
# tenth of the block's frames at either end: an onset, an ending) is
# periodic: a tone, a held vowel or note, not noise, whose counts vary by
# tens. It does not give the floor its level unless it is hum: crossing
# below HUM_HZ (mains at 50 or 60 Hz and their harmonics).
STEADY_CROSSINGS = 2.0
HUM_HZ = 150.0
# A steady sound's block may also hold frames this far below its median
# energy (a fade-in, a pause): those tell the noise's level.
QUIETER_DB = 10.0

# The low band: sums of consecutive samples, a boxcar whose first null lies
# at LOW_BAND_HZ. A voice's pitch and the lower part of its first formant pass;
# white noise keeps a small share of its power, so a voice quieter than hiss
# still stands above it there. Its frames are the lower of a window's and one
# LOW_SPAN_WINDOWS times as long (see _LowBand), and sound lasts there only
# while it stands LOW_SPREADS times the noise's spread higher than elsewhere:
# its noise, fewer independent sums, wanders further.
LOW_BAND_HZ = 800.0
LOW_SPAN_WINDOWS = 4
LOW_SPREADS = 2.0
# Its noise's spread over white noise, against the signal's energy: about three times.
LOW_ROUGHNESS = 3.0
# An energy whose noise's spread is this many times the calmest energy's, and
# at least ROUGH_DB, starts no sound: rumble makes the signal's energy and the
# low band burst by several dB a frame, while its first difference is calm.
ROUGH_FACTOR = 2.5
ROUGH_DB = 1.0

# Per block (see _block_levels), and what a block before the start or after
# the end counts as: never the quietest nor the loudest.
LEVEL_COLUMNS = 10
OUTSIDE_LEVELS = np.array([np.inf, 0.0, np.inf, 0.0, 0.0, -np.inf, -np.inf, np.inf, 0.0, -np.inf])
# Frames measured before they are judged together: numpy's statements cost
# about as much for one frame as for thousands.
BATCH_FRAMES = 16384
# Per frame: energy, energy of the difference and of the low band in dB, crossing rate.
FEATURES = 4
LOW = 3
# The energies: their column among the frame's features, and their level, spread and loudest among a block's.
ENERGIES = ((0, 0, 1, 5), (1, 2, 3, 6), (3, 7, 8, 9))

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
    """The sound segments of a signal fed in consecutive one-dimensional pieces.

    Energy is measured twice: on the signal and on its first difference,
    which leaves out a DC offset and most of the hum and rumble below a few
    hundred hertz; each has its own floor, and either one above its floor
    counts.
    """

    def __init__(self, sample_rate: int, settings: SegmentSettings | Mapping[str, Any] = SegmentSettings()) -> None:
        sample_rate = checked_sample_rate(sample_rate)
        settings = SegmentSettings.of(settings)
        self.sample_rate, self.settings = sample_rate, settings
        self.win, self.hop = frame_sizes(settings, sample_rate)
        self.measures = frame_measures(self.win, self.hop, sample_rate)
        # Blocks on each side of a frame's own whose levels its floor takes.
        self.reach = max(0, math.ceil(settings.floor_window_s * sample_rate / self.hop / BLOCK_FRAMES / 2))
        seconds_per_block = BLOCK_FRAMES * self.hop / sample_rate
        self.quieter = int(QUIETER_SHARE * (2 * self.reach + 1))
        self.drift = np.abs(np.arange(-self.reach, self.reach + 1)) * seconds_per_block * FLOOR_DRIFT_DB_PER_S
        self.fed = 0
        # Crossing counts per frame, and the crossing rate above hum's.
        self.steady = (float(self.win), 2.0 * HUM_HZ / sample_rate)
        # Frames from ``first_frame`` on, not yet classified: see FEATURES.
        self.first_frame = 0
        self.features = np.empty((0, FEATURES))
        # Per block from ``first_level`` on: see _block_levels.
        self.first_level = 0
        self.levels = np.empty((0, LEVEL_COLUMNS))
        # The frames of the last whole block: a last, shorter block is measured with them.
        self.last_block = np.empty((0, FEATURES))
        self.runs = _Runs()
        # Looks no further ahead than the frames the floor's reach holds after a block being classified.
        self.passing = _Passing(self.hop / sample_rate, self.reach * BLOCK_FRAMES)
        # Crossings per sample of a tone at INFRA_HZ.
        self.infra_rate = 2.0 * INFRA_HZ / sample_rate
        self.merged = _Merger(
            gap=settings.min_silence_ms * sample_rate / 1000.0 / self.hop,
            goes_on=min(settings.min_silence_ms, GOES_ON_MS) * sample_rate / 1000.0 / self.hop,
            slope_db=EDGE_SLOPE_DB_PER_MS * self.hop * 1000.0 / sample_rate,
            clear_db=SPAN_DB + EDGE_SLOPE_DB_PER_MS * self.win * 1000.0 / sample_rate,
        )
        longest = settings.max_segment_s
        self.cuts = LongCuts(self.win, self.hop, max(1, math.floor(longest * sample_rate))) if longest else None

    def feed(self, piece: Samples) -> None:
        """Takes the next piece: float samples, or integer PCM scaled by its full
        scale as ``analyse`` scales it."""
        piece = as_samples(piece, "SegmentStream.feed()")
        if piece.ndim != 1:
            raise ValueError(
                f"SegmentStream.feed() takes one-dimensional pieces, got {piece.ndim} dimensions; "
                "mix the channels first (piece.mean(axis=1) for samples × channels)"
            )
        if not len(piece):
            return
        # A NaN or infinite sample (a glitch, a division by zero upstream) measures nothing: heard as
        # silence, it changes the frames that hold it, not the floor and the loudest sound of seconds around.
        finite = self.measures.feed(piece)
        self.fed += len(piece)
        if self.cuts is not None:
            self.cuts.feed(piece if finite else np.where(np.isfinite(piece), piece, 0.0))
        if self.measures.pending() >= BATCH_FRAMES:
            # Levels of a silent stretch are -inf dB and its ratios 0/0: judged as no sound, numpy need not say so.
            with np.errstate(all="ignore"):
                self._add(_taken(self.measures), final=False)

    def finish(self) -> list[tuple[int, int]]:
        """The segments as (first sample, end sample) pairs of the signal, those
        longer than ``max_segment_s`` cut at their quietest frames."""
        with np.errstate(all="ignore"):
            segments = self._found()
        return segments if self.cuts is None else self.cuts.cut(segments)

    def _found(self) -> list[tuple[int, int]]:
        self.measures.finish()
        self._add(_taken(self.measures), final=True)
        for run in self.runs.finish(self.first_frame):
            self.merged.add(*run)
        segments = []
        half, reach = self.hop // 2, self.win // 2
        # Frame m stands for the hop around its centre, sample m·hop; the last one, for the rest of the signal too.
        # An edge the noise hides none of lies between the windows of the frames that heard it and did not:
        # a sound first heard in frame m began after frame m - 1's window ended, and so on at its end.
        for first, end, clear_start, clear_end in self.merged.finish():
            start = max(0, first * self.hop - half)
            stop = self.fed if end >= self.first_frame else min(self.fed, end * self.hop - half)
            inner_start = (first - 1) * self.hop + reach if clear_start and first > 0 else start
            inner_stop = min(self.fed, end * self.hop - reach) if clear_end and end < self.first_frame else stop
            # A sound heard in too few frames to lie between them keeps the hops of its frames.
            if inner_stop > inner_start:
                start, stop = inner_start, inner_stop
            # Judged where its edges end up: a clear edge lies up to (window - hop) / 2 inside its frame's hop,
            # and the signal's ends clip the hops, so five frames at 10 ms can hold a sound of 35 ms.
            if (stop - start) * 1000.0 >= self.settings.min_sound_ms * self.sample_rate:
                segments.append((start, stop))
        return self._padded(segments)

    def _padded(self, segments: list[tuple[int, int]]) -> list[tuple[int, int]]:
        """Each segment widened by ``pad_ms`` within the signal; those that then meet, joined."""
        pad = round(self.settings.pad_ms * self.sample_rate / 1000.0)
        padded: list[tuple[int, int]] = []
        for start, stop in segments:
            start, stop = max(0, start - pad), min(self.fed, stop + pad)
            if padded and start <= padded[-1][1]:
                padded[-1] = (padded[-1][0], max(stop, padded[-1][1]))
            else:
                padded.append((start, stop))
        return padded

    def _add(self, measured: NDArray[np.float64], final: bool) -> None:
        """Frames measured (see ``frame_measures``), from frame ``first_frame + len(features)`` on."""
        if not len(measured) and not final:
            return
        first = self.first_frame + len(self.features)
        # The first and last windows reach past the signal: measured on the samples they hold,
        # not as if the rest were silence, they are neither a quieter floor nor a fade.
        starts = (np.arange(len(measured)) + first) * self.hop - self.win // 2
        held = np.minimum(self.fed, starts + self.win) - np.maximum(0, starts)
        share = self.win / np.maximum(held, 1)
        rows, low = measured[:, :3] * share[:, None], measured[:, 3]
        # A frame that holds no whole block of the low band (a signal shorter than one) takes its energy.
        low = np.where(np.isnan(low), rows[:, 0], low)
        with np.errstate(divide="ignore"):
            # Digital silence is as quiet as any floor gets, not -inf, so that differences stay numbers.
            levels = np.maximum(10.0 * np.log10(np.column_stack((rows[:, :2], low))), QUIETEST_DB)
        added = np.column_stack((levels[:, :2], rows[:, 2], levels[:, 2]))
        self.features = np.concatenate((self.features, added))
        self._add_levels(final)
        blocks_known = self.first_level + len(self.levels)
        # A block is classified once the levels of ``reach`` blocks after it are known.
        ready = blocks_known if final else blocks_known - self.reach
        first_block = self.first_frame // BLOCK_FRAMES
        if ready > first_block:
            self._classify(first_block, ready)
        # Levels older than the reach of the next block to classify are not needed again.
        drop = max(0, self.first_frame // BLOCK_FRAMES - self.reach - self.first_level)
        self.levels = self.levels[drop:]
        self.first_level += drop

    def _add_levels(self, final: bool) -> None:
        """The levels of every block the frames complete (at the end, of the last one too)."""
        known = self.first_level + len(self.levels)
        start = known * BLOCK_FRAMES - self.first_frame
        whole = (len(self.features) - start) // BLOCK_FRAMES
        added = []
        if whole:
            stop = start + whole * BLOCK_FRAMES
            added.append(_block_levels(self.features[start:stop].reshape(whole, BLOCK_FRAMES, FEATURES), *self.steady))
            self.last_block = self.features[stop - BLOCK_FRAMES : stop].copy()
            start = stop
        if final and len(self.features) > start:
            # A few frames alone (the end of a tone, a codec's tail) are judged steady or not with those before them.
            last = np.concatenate((self.last_block, self.features[start:]))[-BLOCK_FRAMES:]
            added.append(_block_levels(self.features[None, start:], *self.steady, last[None]))
        if added:
            self.levels = np.concatenate((self.levels, *added))

    def _classify(self, first_block: int, end_block: int) -> None:
        settings, reach = self.settings, self.reach
        lo = first_block - reach - self.first_level
        hi = end_block + reach - self.first_level
        # Blocks before the start and after the end are never the quietest nor the loudest.
        levels = np.tile(OUTSIDE_LEVELS, (hi - lo, 1))
        known = self.levels[max(0, lo) : hi]
        levels[max(0, -lo) : max(0, -lo) + len(known)] = known
        count = min(len(self.features), (end_block - first_block) * BLOCK_FRAMES)
        frames = self.features[:count]
        strong = np.zeros(count, dtype=bool)
        candidate = np.zeros(count, dtype=bool)
        height = np.full(count, -np.inf)
        # Each block's floor: the quietest level within ``reach`` blocks, and how much that block's noise varies.
        # A block further away counts as a little louder: the floor may have drifted since.
        windows = [np.lib.stride_tricks.sliding_window_view(levels[:, level], 2 * reach + 1) + self.drift for _, level, *_ in ENERGIES]
        quietest = [np.argmin(window, axis=1) + np.arange(len(window)) for window in windows]
        # An energy whose noise varies far more than another's (the first difference's, over rumble) starts
        # nothing: its bursts are the noise's. The low band's noise varies more by itself (see LOW_ROUGHNESS).
        spreads = [
            levels[blocks, spread] / (LOW_ROUGHNESS if feature == LOW else 1.0)
            for blocks, (feature, _, spread, _) in zip(quietest, ENERGIES)
        ]
        calmest = np.minimum.reduce(spreads)
        infrasonic = frames[:, 2] < self.infra_rate
        for (feature, _, spread, loudest), window, blocks, noisy in zip(ENERGIES, windows, quietest, spreads):
            rough = np.repeat(noisy > np.maximum(ROUGH_DB, ROUGH_FACTOR * calmest), BLOCK_FRAMES)[:count]
            quiet = np.min(window, axis=1)
            # Noise whose level wanders from block to block (babble) widens the margin too: by how far
            # the quieter blocks around rise above the quietest. None where there is no noise to measure.
            with np.errstate(invalid="ignore"):
                wander = np.partition(window, self.quieter, axis=1)[:, self.quieter] - quiet
            wander = np.where(np.isfinite(wander), wander, 0.0)
            margin = np.maximum(SPREAD_FACTOR * levels[blocks, spread], np.minimum(WANDER_FACTOR * wander, MOST_WANDER_DB))
            # Only steady sound within reach: no noise to measure, so the floor is the quietest there is.
            floor = np.repeat(np.where(np.isinf(quiet), QUIETEST_DB, quiet), BLOCK_FRAMES)[:count]
            margin = np.repeat(margin, BLOCK_FRAMES)[:count]
            heard = frames[:, feature]
            if feature != 1:
                heard = np.where(infrasonic, QUIETEST_DB, heard)
            above = heard - floor
            # How far the loudest sound around stands above the floor: the sound's signal-to-noise ratio.
            around = np.max(np.lib.stride_tricks.sliding_window_view(levels[:, loudest], 2 * reach + 1), axis=1)
            loud = np.repeat(around, BLOCK_FRAMES)[:count]
            keep_extra = LOW_SPREADS * np.repeat(levels[blocks, spread], BLOCK_FRAMES)[:count] if feature == LOW else 0.0
            if feature != LOW:
                height = np.fmax(height, loud - floor)
            # A start stands out of the noise and, near louder sound, is not far below it.
            # Steady noise does not burst: there, the start need not be near louder sound.
            near = (heard > loud - RANGE_DB) | (margin < settings.start_db)
            strong |= (above > np.maximum(settings.start_db, margin)) & near & ~rough
            candidate |= (above > np.maximum(settings.keep_db, margin * KEEP_SHARE) + keep_extra) & (heard > loud - HEARD_DB)
            if feature == 0:
                # A floor that crosses zero not at all (digital silence) has no rate to stand above: against
                # it any crossing would sound unvoiced, a dither's of one LSB too. Where a block's quietest
                # frames lie within SPREAD_REACH_DB of it they are that noise, and give the rate instead.
                floor_zcr, own = levels[blocks, 4], np.arange(len(window)) + reach
                noise_of_its_own = (floor_zcr == 0) & (levels[own, 0] < quiet + SPREAD_REACH_DB)
                floor_zcr = np.where(noise_of_its_own, levels[own, 4], floor_zcr)
                floor_zcr = np.repeat(floor_zcr, BLOCK_FRAMES)[:count]
                unvoiced = (frames[:, 2] > settings.unvoiced_zcr * floor_zcr) & (above > UNVOICED_DB)
        candidate |= unvoiced
        # Judged on what is heard: infrasound is silence.
        heard_levels = np.where(infrasonic, QUIETEST_DB, frames[:, 0])
        ahead = self.features[count:]
        ahead_levels = np.where(ahead[:, 2] < self.infra_rate, QUIETEST_DB, ahead[:, 0])
        passing = self.passing.of(heard_levels, ahead_levels, self.first_frame)
        candidate &= ~passing
        strong &= ~passing
        for run in self.runs.feed(candidate, strong, height, self.first_frame):
            self.merged.add(*run)
        self.features = self.features[count:]
        self.first_frame += count


def _block_levels(
    frames: NDArray[np.float64], win: float, hum_rate: float, judged: NDArray[np.float64] | None = None
) -> NDArray[np.float64]:
    """Per block of frames (blocks × frames × features): for the energy and
    the energy of the difference, the level of the quietest fifth and how far the
    median lies above it (a steady sound's: that of its frames clearly quieter
    than the sound, if any; none, no spread, otherwise); the median crossing
    rate of the quietest quarter; the loudest frame of each energy. Whether
    the sound is steady is judged on ``judged`` (by default the block itself)."""
    width = frames.shape[1]
    judged = frames if judged is None else judged
    # The sound of a block: its frames up to QUIETER_DB below its median energy, at least half of them.
    loudness = median(judged[:, :, 0])[:, None] - QUIETER_DB
    steady = _steady(judged[:, :, 2], judged[:, :, 0] > loudness, win, hum_rate)
    sound = frames[:, :, 0] > loudness
    # Only what a steady sound leaves (a fade-in, a pause) may tell the noise's level.
    counted = ~(steady[:, None] & sound)
    count = np.count_nonzero(counted, axis=1)
    rows = np.arange(len(frames))
    columns = []
    for feature, *_ in ENERGIES:
        ordered = np.sort(np.where(counted, frames[:, :, feature], np.inf), axis=1)
        # A block with nothing counted keeps ``inf`` for its level (never the quietest) and no spread.
        level = np.where(count > 0, ordered[rows, (count * LEVEL_RANK).astype(np.intp) % width], 0.0)
        # The noise's spread: the median of the frames up to SPREAD_REACH_DB above the level, so that the
        # syllables of a block with short pauses (digital silence, a dither's hiss) are not taken for noise.
        within = np.count_nonzero(ordered <= level[:, None] + SPREAD_REACH_DB, axis=1)
        spread = np.where(count > 0, ordered[rows, within // 2 % width] - level, 0.0)
        columns += [np.where(count > 0, level, np.inf), spread]
    order = np.argsort(frames[:, :, 0], axis=1, kind="stable")[:, : max(1, int(width * QUIET_SHARE))]
    columns.append(median(np.take_along_axis(frames[:, :, 2], order, axis=1)))
    loudest = [np.max(frames[:, :, feature], axis=1) for feature, *_ in ENERGIES]
    # In the order of the level columns: see ENERGIES.
    return np.column_stack((*columns[:4], columns[6], *loudest[:2], *columns[4:6], loudest[2]))


def median(values: NDArray[np.float64]) -> NDArray[np.float64]:
    """``np.median(values, axis=-1)``, to the bit, without the import of numpy.ma
    that np.median makes on its first call (a tenth of a plain run's time)."""
    ordered = np.sort(values, axis=-1)
    count = ordered.shape[-1]
    # numpy's mean of the middle one or two: their sum from the identity 0 (-0.0 sums to 0.0) over their
    # count; NaN sorts last and wins.
    if count % 2:
        middle = 0.0 + ordered[..., count // 2]
    else:
        middle = (0.0 + ordered[..., count // 2 - 1] + ordered[..., count // 2]) / 2
    return np.where(np.isnan(ordered[..., -1]), np.nan, middle)


def _steady(rates: NDArray[np.float64], sound: NDArray[np.bool_], win: float, hum_rate: float) -> NDArray[np.bool_]:
    """Per block: whether its sound's frames cross zero within STEADY_CROSSINGS
    times of each other, but for a tenth of the block's frames at either end,
    and more often than hum."""
    count = np.count_nonzero(sound, axis=1)
    ordered = np.sort(np.where(sound, rates, np.inf), axis=1)
    rows, tail = np.arange(len(rates)), rates.shape[1] // 10
    spread = (ordered[rows, np.maximum(count - 1 - tail, tail)] - ordered[rows, tail]) * win
    # Rates times the window are whole counts but for rounding: half a crossing of slack.
    return (spread <= STEADY_CROSSINGS + 0.5) & (ordered[rows, count // 2] > hum_rate)


class _LowBand:
    """The energy of the low band per frame: the mean square of sums of
    ``block`` consecutive samples (per sample: a sum's square over ``block``)
    over the whole blocks from the one holding the first sample of a window
    centred on the frame: the lower of the frame's own window and one
    LOW_SPAN_WINDOWS times as long. The long window holds more independent
    sums, so noise wanders less far above its floor there; the short one
    keeps sound from reaching before its onset. Blocks lie on a grid from the
    signal's first sample and each sum and mean is added in one fixed order,
    so a stream's frames are those of the whole signal whatever its pieces."""

    def __init__(self, block: int, win: int, hop: int) -> None:
        self.block, self.hop = block, hop
        # Per window: its length in samples, and in whole blocks.
        self.windows = [(span, max(1, span // block)) for span in (win, LOW_SPAN_WINDOWS * win)]
        self.tail = np.empty(0)  # samples not yet in a whole block
        self.first = 0  # the block ``power[0]`` is
        self.power = np.empty(0)

    def feed(self, piece: Samples) -> None:
        if len(self.tail) + len(piece) < self.block:
            self.tail = np.concatenate((self.tail, piece))
            return
        held = np.concatenate((self.tail, piece))
        whole = len(held) // self.block
        rows = held[: whole * self.block].reshape(whole, self.block)
        sums = rows[:, 0].copy()
        for column in range(1, self.block):
            sums += rows[:, column]
        self.power = np.concatenate((self.power, sums * sums / self.block))
        self.tail = held[whole * self.block :].copy()

    def _first_blocks(self, frames: NDArray[np.intp], span: int) -> NDArray[np.intp]:
        return (frames * self.hop - span // 2) // self.block

    def ready(self, first: int, count: int) -> int:
        """How many of ``count`` frames from ``first`` have every block of their windows."""
        # Both windows: where a block is longer than four windows, the short one can end later.
        frames = np.arange(first, first + count)
        ends = np.maximum(*(self._first_blocks(frames, span) + blocks for span, blocks in self.windows))
        return int(np.count_nonzero(ends <= self.first + len(self.power)))

    def frames(self, first: int, end: int) -> NDArray[np.float64]:
        """Frames ``first`` to ``end``: NaN for a frame with no whole block in the signal."""
        lowest = np.full(end - first, np.inf)
        for span, blocks in self.windows:
            index = self._first_blocks(np.arange(first, end), span)[:, None] + np.arange(blocks) - self.first
            inside = (index >= 0) & (index < len(self.power))
            taken = np.append(self.power, 0.0)[np.where(inside, index, len(self.power))]
            total = taken[:, 0].copy()
            for column in range(1, blocks):
                total += taken[:, column]
            with np.errstate(invalid="ignore"):
                lowest = np.fmin(lowest, total / np.count_nonzero(inside, axis=1))
        # Blocks before the next frame's long window are not needed again.
        span = self.windows[-1][0]
        drop = min(len(self.power), max(0, int(self._first_blocks(np.array(end), span)) - self.first))
        self.power, self.first = self.power[drop:], self.first + drop
        # NaN where neither window holds a whole block.
        return np.where(np.isinf(lowest), np.nan, lowest)


class NumpyMeasures:
    """The frames ``frame_measures`` gives, measured with numpy and ``ostrel.fenwy``
    alone: the reference the native measurements are held to, bit for bit, and
    what runs where they cannot be."""

    def __init__(self, win: int, hop: int, low_block: int) -> None:
        # A zero counts as positive: by the library's rule the exact zeros of a 16-bit tone whose period is
        # a whole number of samples break every crossing, and the tone would look like hum.
        self.frames = FrameStream(win, hop, centered=True, zero_positive=True)
        self.difference = FrameStream(win, hop, centered=True)
        self.low = _LowBand(low_block, win, hop)
        self.last_sample: float | None = None
        # Frames measured but for their low band (energy, energy of the difference, crossing rate), from
        # frame ``first + len(done)`` on: the low band's longer window has not all come yet.
        self.waiting = np.empty((0, 3))
        self.first = 0
        self.done = np.empty((0, 4))

    def feed(self, piece: Samples) -> bool:
        with np.errstate(all="ignore"):
            finite = math.isfinite(np.sum(piece))
            if not finite:
                piece = np.where(np.isfinite(piece), piece, 0.0)
            self.frames.feed(piece)
            self.difference.feed(self._difference(piece))
            self.low.feed(piece)
            energy, zcr = self.frames.take()
            self._add(energy, self.difference.take()[0], zcr, final=False)
        return finite

    def _difference(self, piece: Samples) -> Samples:
        # The first sample has none before it: its difference is 0, not a step up from silence.
        previous = piece[0] if self.last_sample is None else self.last_sample
        before = np.concatenate(([previous], piece[:-1]))
        self.last_sample = float(piece[-1])
        return piece - before

    def finish(self) -> None:
        with np.errstate(all="ignore"):
            energy, zcr, _ = self.frames.finish()
            self._add(energy, self.difference.finish()[0], zcr, final=True)

    def _add(self, energy: NDArray[np.float64], difference: NDArray[np.float64], zcr: NDArray[np.float64], final: bool) -> None:
        self.waiting = np.concatenate((self.waiting, np.column_stack((energy, difference, zcr))))
        first = self.first + len(self.done)
        count = len(self.waiting) if final else self.low.ready(first, len(self.waiting))
        rows, self.waiting = self.waiting[:count], self.waiting[count:]
        self.done = np.concatenate((self.done, np.column_stack((rows, self.low.frames(first, first + count)))))

    def pending(self) -> int:
        return len(self.done)

    def take(self, out: NDArray[np.float64]) -> None:
        out[...] = self.done[: len(out)]
        self.done = self.done[len(out) :]
        self.first += len(out)


def frame_measures(win: int, hop: int, sample_rate: int) -> Any:
    """Per frame of ``win`` samples every ``hop``, centred, as the signal is fed:
    energy, energy of the first difference, zero-crossing rate (a zero
    counted as positive; NaN and infinite samples heard as silence) and the
    low band's energy (NaN where no whole block of it lies in the frame's
    windows). Native where its sums
    are numpy's on this build (see ``_native_sums_match``), else NumpyMeasures."""
    low_block = max(1, round(sample_rate / LOW_BAND_HZ))
    # The probe holds its frames several times over: for frames so long that it would need memory
    # out of proportion to a signal's, the numpy measurements serve unprobed.
    probed = _probe_length(win, hop, low_block) <= PROBE_MOST_SAMPLES
    if probed and _native_sums_match(win, hop, low_block, np.getbufsize()):
        return NativeMeasures(win, hop, low_block, LOW_SPAN_WINDOWS * win)
    return NumpyMeasures(win, hop, low_block)


# 2**18 samples: a probe of about 12 MB at its peak. Defaults take about 12,000 at 48 kHz.
PROBE_MOST_SAMPLES = 1 << 18


def _probe_length(win: int, hop: int, low_block: int) -> int:
    return 20 * hop + 2 * win + 2 * low_block


@functools.lru_cache(maxsize=64)
def _native_sums_match(win: int, hop: int, low_block: int, bufsize: int) -> bool:
    """Whether the native frames of a probe are NumpyMeasures' to the bit: numpy
    adds a frame's squares in an order its build and buffer size decide (some
    versions split a reduction at the buffer size), and the native sums take
    it as unsplit pairwise summation."""
    del bufsize  # a key of the cache: numpy's order may change with it
    index = np.arange(_probe_length(win, hop, low_block))
    # Twenty frames of values over a few binary orders of magnitude, some over many, signs mixed: a change
    # of order (a sum split into chunks, say) changes some of their sums. (No numpy.random: its import
    # would cost more than the probe.)
    mantissas = 1.0 + (index * 0.6180339887498949) % 1.0
    spread = np.where(index % 5 == 0, 41, 7)
    probe = np.where(index * 7 % 3 == 1, -1.0, 1.0) * np.ldexp(mantissas, index * 7919 % spread - spread // 2)
    found = []
    for measures in (NativeMeasures(win, hop, low_block, LOW_SPAN_WINDOWS * win), NumpyMeasures(win, hop, low_block)):
        measures.feed(probe)
        measures.finish()
        found.append(_taken(measures))
    return bool(np.array_equal(found[0].view(np.uint64), found[1].view(np.uint64)))


def _taken(measures: Any) -> NDArray[np.float64]:
    out = np.empty((measures.pending(), 4))
    measures.take(out)
    return out


class _Passing:
    """Frames of sound that is only passing, from the energy in dB of
    consecutive batches of frames: a room's tail (see DECAY_MS) and a knock
    alone (see KNOCK_MS). The frames before a batch it keeps; those after it
    it is given, at most ``most_ahead`` of them (a block's reach of the floor),
    and judges nothing on frames it has not got."""

    def __init__(self, seconds_per_frame: float, most_ahead: int) -> None:
        frames = lambda ms: max(1, round(ms / 1000.0 / seconds_per_frame))  # noqa: E731
        self.back, self.onset = frames(DECAY_PEAK_MS), frames(ONSET_MS)
        self.ahead = max(2, min(frames(DECAY_MS), most_ahead))
        # Per frame: the slowest and fastest fall a room's tail has.
        self.slowest, self.fastest = DECAY_SLOWEST_DB_PER_S * seconds_per_frame, DECAY_FASTEST_DB_PER_S * seconds_per_frame
        self.knock, self.knock_rise = frames(KNOCK_MS), frames(KNOCK_RISE_MS)
        self.quiet_before, self.quiet_after = frames(KNOCK_BEFORE_MS), frames(KNOCK_AFTER_MS)
        # Frames looked at ahead; where a knock's would be more than are given, none is judged a knock.
        self.knocks_judged = self.knock + self.quiet_after <= most_ahead
        self.reach = max(self.ahead - 1, self.knock + self.quiet_after if self.knocks_judged else 0)
        self.history = np.full(max(self.back, self.onset, self.quiet_before), -np.inf)  # the levels of the frames before
        # The open tail: its first frame and level; the last onset; the last knock's first frame.
        self.start, self.start_level, self.last_onset = -1, np.inf, -1
        self.last_rise = -self.back - 1  # the last onset's frame, ended tails aside
        self.last_knock = -self.knock

    def of(self, levels: NDArray[np.float64], after: NDArray[np.float64], first: int) -> NDArray[np.bool_]:
        """Which of ``levels`` (frames from ``first`` on) are a tail or a knock; ``after``, the frames that follow."""
        count, before = len(levels), len(self.history)
        if not count:
            return np.zeros(0, dtype=bool)
        held = np.concatenate((self.history, levels, after[: self.reach]))
        self.history = held[count : count + before].copy()
        # Past the signal's end (or what is given), nothing is judged.
        held = np.append(held, np.full(before + count + self.reach - len(held), np.nan))
        frames = np.arange(count) + first
        return self._tails(held, before, levels, frames) | self._knocks(held, before, frames)

    def _tails(self, held: NDArray[np.float64], before: int, levels: NDArray[np.float64], frames: NDArray[np.intp]) -> NDArray[np.bool_]:
        count, span = len(levels), self.ahead
        # One column at a time, not a copy of every frame's window: memory as the frames'.
        rise = levels - _running(np.minimum, held, self.onset)[before - self.onset :][:count]
        onsets = rise >= ONSET_DB
        # The peak a tail falls from: the loudest frame since the last onset (a voice's fade after a pause
        # falls from its own onset, not from the loud sound before), at most DECAY_PEAK_MS before.
        last_rise = np.maximum.accumulate(np.where(onsets, frames, self.last_rise))
        self.last_rise = int(last_rise[-1])
        peak = _loudest_since(held, before + np.arange(count), np.minimum(frames - last_rise, self.back) + 1, self.back + 1)
        # The straight line through each frame's DECAY_MS ahead: its slope and how far the levels stray.
        ahead = [held[before + step : before + step + count] for step in range(span)]
        t = np.arange(span) - (span - 1) / 2.0
        mean = ahead[0].copy()
        for column in ahead[1:]:
            mean += column
        mean /= span
        slope = t[0] * ahead[0]
        for step in range(1, span):
            slope += t[step] * ahead[step]
        slope /= t @ t
        stray = np.zeros(count)
        for step in range(span):
            stray = np.fmax(stray, np.abs(ahead[step] - mean - slope * t[step]))
        stray[np.isnan(mean)] = np.nan
        with np.errstate(invalid="ignore"):
            starts = (
                (levels <= peak - DECAY_BELOW_DB) & (-slope >= self.slowest) & (-slope <= self.fastest) & (stray <= DECAY_ROUGH_DB)
            )
        last_start = np.maximum.accumulate(np.where(starts, frames, self.start))
        last_onset = np.maximum.accumulate(np.where(onsets, frames, self.last_onset))
        start_level = np.where(last_start >= frames[0], levels[np.clip(last_start - frames[0], 0, count - 1)], self.start_level)
        # A frame above the tail's start ends it as an onset does.
        ended = (last_start > last_onset) & (levels > start_level)
        last_onset = np.maximum(last_onset, np.maximum.accumulate(np.where(ended, frames, -1)))
        self.start, self.start_level, self.last_onset = int(last_start[-1]), float(start_level[-1]), int(last_onset[-1])
        return (last_start > last_onset) & (levels <= start_level)

    def _knocks(self, held: NDArray[np.float64], before: int, frames: NDArray[np.intp]) -> NDArray[np.bool_]:
        if not self.knocks_judged:
            return np.zeros(len(frames), dtype=bool)
        loudest_of = lambda size, offset: _running(np.maximum, held, size)[before + offset :][: len(frames)]  # noqa: E731
        loudest = loudest_of(self.knock, 0)
        with np.errstate(invalid="ignore"):
            starts = (
                (loudest_of(self.knock_rise, 0) >= loudest)
                & (loudest_of(self.quiet_before, -self.quiet_before) <= loudest - KNOCK_DB)
                & (loudest_of(self.quiet_after, self.knock) <= loudest - KNOCK_DB)
            )
        last_knock = np.maximum.accumulate(np.where(starts, frames, self.last_knock))
        self.last_knock = int(last_knock[-1])
        return frames - last_knock < self.knock


def _running(extreme: Any, values: NDArray[np.float64], size: int) -> NDArray[np.float64]:
    """``extreme`` (np.maximum or np.minimum) of each ``size`` consecutive values, as a sliding
    window's max or min gives it, exactly, in about log2(size) passes over the values."""
    reached, span = values, 1
    while 2 * span <= size:
        reached, span = extreme(reached[:-span], reached[span:]), 2 * span
    count = len(values) - size + 1
    return extreme(reached[:count], reached[size - span : size - span + count])


def _loudest_since(values: NDArray[np.float64], ends: NDArray[np.intp], lengths: NDArray[np.intp], most: int) -> NDArray[np.float64]:
    """The loudest of ``values[end - length + 1 : end + 1]`` for each end and length (at most
    ``most``): two overlapping runs of a power of two, from a table of their maxima."""
    tables, size = [values], 1
    while 2 * size <= most:
        tables.append(np.maximum(tables[-1][:-size], tables[-1][size:]))
        size *= 2
    powers = 2 ** np.arange(len(tables))
    level = np.searchsorted(powers, lengths, side="right") - 1
    loudest = np.empty(len(ends))
    for k, table in enumerate(tables):
        at = level == k
        loudest[at] = np.maximum(table[ends[at] - lengths[at] + 1], table[ends[at] - powers[k] + 1])
    return loudest


class _Runs:
    """Runs of candidate frames, with the height of their loudest frame above
    the floor and whether they hold a strong frame, across consecutive pieces."""

    def __init__(self) -> None:
        self.open_start: int | None = None  # the run reaching the end of the last piece
        self.open_strong = False
        self.open_peak = -np.inf

    def feed(
        self, candidate: NDArray[np.bool_], strong: NDArray[np.bool_], height: NDArray[np.float64], offset: int
    ) -> list[tuple[int, int, float, bool]]:
        runs: list[tuple[int, int, float, bool]] = []
        if not len(candidate):
            return runs
        if self.open_start is not None and not candidate[0]:
            runs += self.finish(offset)
        edges = np.diff(np.concatenate(([False], candidate, [False])).astype(np.int8))
        starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
        if not len(starts):
            return runs
        strong_before = np.concatenate(([0], np.cumsum(strong & candidate)))
        held_all = (strong_before[ends] > strong_before[starts]).tolist()
        # The highest frame of each run, from its start to its end (not to the next start).
        bounds = np.column_stack((starts, ends)).ravel()
        peaks = np.fmax.reduceat(np.append(height, -np.inf), bounds)[0::2].tolist()
        for start, end, held, peak in zip(starts.tolist(), ends.tolist(), held_all, peaks):
            first = start + offset
            if start == 0 and self.open_start is not None:
                first, held, peak = self.open_start, held or self.open_strong, max(peak, self.open_peak)
                self.open_start = None
            if end == len(candidate):
                self.open_start, self.open_strong, self.open_peak = first, held, peak
            else:
                runs.append((first, end + offset, peak, held))
        return runs

    def finish(self, end: int) -> list[tuple[int, int, float, bool]]:
        run = [(self.open_start, end, self.open_peak, self.open_strong)] if self.open_start is not None else []
        self.open_start, self.open_strong, self.open_peak = None, False, -np.inf
        return run


class _Merger:
    """Runs widened by their faint edges, those with gaps shorter than ``gap``
    frames joined; which are long enough is judged once their edges are placed.

    A sound fades in and out below the noise: the closer its loudest frame
    is to the floor, the more of its edges the noise hides, at about
    ``EDGE_SLOPE_DB`` per frame down to ``SPAN_DB`` below that frame.
    An edge is clear when its run's loudest frame stands at least ``clear_db``
    above the floor: its whole fade over a window is heard, none of it hidden.
    A run with no start is kept only as the sound before it going on: within
    ``goes_on`` frames of a run that started (a voice's quiet end after a stop).
    """

    def __init__(self, gap: float, goes_on: float, slope_db: float, clear_db: float) -> None:
        self.gap, self.goes_on, self.slope_db, self.clear_db = gap, goes_on, slope_db, clear_db
        # First frame, end frame, and whether each edge is clear.
        self.pending: tuple[int, int, bool, bool] | None = None
        self.done: list[tuple[int, int, bool, bool]] = []
        # The end of the last run that started: a run without a start goes on from there, or from nothing.
        self.started_end: int | None = None

    def add(self, first: int, end: int, peak: float, started: bool) -> None:
        # Measured between the frames heard, not their widened fades (which noise runs reach across), and
        # from the start's run, not the last one kept: a chain of runs without a start would carry a segment
        # on through noise that keeps bursting up.
        if started:
            self.started_end = end
        elif self.started_end is None or first - self.started_end >= self.goes_on:
            return
        widen = int(min(MAX_EDGE_DB, max(0.0, SPAN_DB - peak)) / self.slope_db) if peak == peak else 0
        first, end, clear = first - widen, end + widen, bool(peak >= self.clear_db)
        if self.pending is not None and first - self.pending[1] < self.gap:
            start = (first, clear) if first < self.pending[0] else (self.pending[0], self.pending[2])
            stop = (end, clear) if end > self.pending[1] else (self.pending[1], self.pending[3])
            self.pending = (start[0], stop[0], start[1], stop[1])
            return
        self._close()
        self.pending = (first, end, clear, clear)

    def _close(self) -> None:
        if self.pending is not None:
            self.done.append(self.pending)
        self.pending = None

    def finish(self) -> list[tuple[int, int, bool, bool]]:
        self._close()
        return self.done


def find_segments(
    signal: ArrayLike | Iterable[Samples] | Blocks | str | Path,
    sample_rate: int | None = None,
    settings: SegmentSettings | Mapping[str, Any] = SegmentSettings(),
    *,
    overlap: int = 0,
) -> list[Segment]:
    """The segments of sound of a signal, as (start_s, end_s) pairs in seconds.

    ``signal`` is a one-dimensional signal, a file's path (read block by
    block and mixed to mono), :func:`blocks` of a file, or an iterable of
    consecutive one-dimensional blocks that overlap by ``overlap`` samples.
    The segments of a stream are those of the whole signal, whatever its
    blocks; memory does not grow with its length (with ``max_segment_s``,
    by one number a frame). ``settings`` is :class:`SegmentSettings` or a
    mapping of its fields; integer samples are scaled as :func:`analyse`
    scales them. A file's rate is its own: a ``sample_rate`` given with a
    path or blocks must be that rate.
    """
    settings = SegmentSettings.of(settings)
    given_rate = None if sample_rate is None else checked_sample_rate(sample_rate)
    if isinstance(signal, (str, Path)):
        return _file_segments(signal, settings, given_rate)
    if isinstance(signal, Blocks):
        if signal.channels_read != "mix":
            raise ValueError("find_segments() takes the blocks of one channel or of the mix-down")
        _check_file_rate(given_rate, signal.sample_rate, signal.source)
        return _segments((block[signal.overlap if i else 0 :] for i, block in enumerate(signal)), signal.sample_rate, settings)
    if given_rate is None:
        raise TypeError("find_segments() needs the sample_rate of a signal that is not a file or blocks()")
    sample_rate = given_rate
    if isinstance(signal, np.ndarray) or not isinstance(signal, Iterable) or _numbers(signal):
        whole = as_samples(signal, "find_segments()")
        if whole.ndim != 1:
            raise ValueError(
                f"find_segments() takes a one-dimensional signal, got {whole.ndim} dimensions; mix the channels "
                "first (signal.mean(axis=1) for samples × channels) or pass the file's path"
            )
        return _segments([whole], sample_rate, settings)
    return _segments(
        (as_samples(block, "find_segments()")[overlap if i else 0 :] for i, block in enumerate(signal)), sample_rate, settings
    )


def _numbers(signal: Iterable[object]) -> bool:
    """A list or tuple of numbers is a signal; of arrays, blocks."""
    return isinstance(signal, (list, tuple)) and (not signal or np.ndim(signal[0]) == 0)


def _segments(pieces: Iterable[Samples], sample_rate: int, settings: SegmentSettings) -> list[Segment]:
    stream = SegmentStream(sample_rate, settings)
    for piece in pieces:
        if piece.ndim != 1:
            raise ValueError(
                f"find_segments() takes one-dimensional blocks, got {piece.ndim} dimensions; mix each block's "
                "channels first (block.mean(axis=1) for samples × channels) or pass the file's path"
            )
        stream.feed(piece)
    return in_seconds(stream.finish(), sample_rate)


def in_seconds(segments: list[tuple[int, int]], sample_rate: int) -> list[Segment]:
    return [(start / sample_rate, end / sample_rate) for start, end in segments]


def _check_file_rate(given: int | None, rate: int, source: str) -> None:
    # A file's rate is in its header: another one given would put every segment at the wrong time.
    if given is not None and given != rate:
        raise ValueError(
            f"find_segments() got sample_rate={given} for {source}, which is {rate} Hz; leave sample_rate out for a file"
        )


def _file_segments(path: str | Path, settings: SegmentSettings, given_rate: int | None) -> list[Segment]:
    decoder = open_decoder(path)
    try:
        _check_file_rate(given_rate, decoder.sample_rate, decoder.source)
        stream = SegmentStream(decoder.sample_rate, settings)
        with contextlib.closing(streamed_blocks(decoder, "mix")) as pieces:
            for piece in pieces:
                stream.feed(piece)
        return in_seconds(stream.finish(), decoder.sample_rate)
    finally:
        decoder.close()
