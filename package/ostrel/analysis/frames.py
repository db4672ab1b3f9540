"""The analysis of one signal, whole or in blocks, with the functions of ``ostrel.fenwy`` only.

Frame m covers samples m·hop … m·hop + win of the signal with ``win // 2``
zeros in front when centred. Fed in blocks, every frame is still computed by
the library on exactly the samples of its window: the stream holds back the
last win − hop samples (the overlap of the next frames), frames that reach
into the front padding are computed by one centred call on the start of the
signal, and the rest by uncentred calls, so the result equals one call on
the whole signal bit for bit.
"""

from __future__ import annotations

import bisect
import contextlib
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import _crossings, fenwy
from .audio import Blocks, Decoder, Samples, open_decoder, streamed_blocks
from .errors import InputError
from .prominence import prominences
from .result import Analysis, Envelope, Track, decibels
from .settings import Layout, Settings, checked_layout, checked_sample_rate

if TYPE_CHECKING:
    from .segments import SegmentStream

# The longest window and hop the library frames natively, with its front
# padding virtual: beyond it one frame alone would need gigabytes.
NATIVE_LIMIT = 2**31 - 1
# Columns of the min/max envelope kept for a plot.
ENVELOPE_COLUMNS = 4000


# Integer samples as audio files hold them, and the full scale each is divided
# by, as audio readers do: int16 by 32768; 8-bit PCM is unsigned, centred on 128.
FULL_SCALE = {"int8": (0, 2.0**7), "int16": (0, 2.0**15), "int32": (0, 2.0**31), "uint8": (128, 2.0**7)}


def as_samples(values: Any, who: str) -> Samples:
    """``values`` as float64 samples: an integer PCM array divided by its full
    scale (so that dBFS mean what they say), other numbers as they are."""
    if not isinstance(values, np.ndarray) or values.dtype.kind not in "iu":
        return np.asarray(values, dtype=np.float64)
    scale = FULL_SCALE.get(values.dtype.name)
    if scale is None:
        raise TypeError(
            f"{who} takes integer samples as int8, int16, int32 or uint8 PCM, scaled by their full scale; "
            f"give {values.dtype.name} samples as floats in [-1, 1] (for 16-bit values: x / 32768)"
        )
    offset, full = scale
    return (values.astype(np.float64) - offset) / full if offset else values / full


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


class _EnvelopeStream:
    """The minimum and maximum of each run of ``width`` samples, for drawing long signals.

    Runs start one sample wide and double whenever there are more than twice
    the columns a plot needs, so the envelope stays small whatever the length.
    The last, incomplete run is kept as its minimum, maximum and length.
    """

    def __init__(self) -> None:
        self.width = 1
        self.low = np.empty(0)
        self.high = np.empty(0)
        self.open_low, self.open_high, self.open_count = np.inf, -np.inf, 0

    def feed(self, piece: Samples) -> None:
        if self.open_count:
            head, piece = piece[: self.width - self.open_count], piece[self.width - self.open_count :]
            self._extend_open(head)
            if self.open_count == self.width:
                self._close_open()
        whole = len(piece) // self.width * self.width
        if whole:
            runs = piece[:whole].reshape(-1, self.width)
            self.low = np.concatenate((self.low, runs.min(axis=1)))
            self.high = np.concatenate((self.high, runs.max(axis=1)))
        self._extend_open(piece[whole:])
        while len(self.low) > 2 * ENVELOPE_COLUMNS:
            self._widen()

    def _extend_open(self, samples: Samples) -> None:
        if len(samples):
            self.open_low = min(self.open_low, float(samples.min()))
            self.open_high = max(self.open_high, float(samples.max()))
            self.open_count += len(samples)

    def _close_open(self) -> None:
        self.low = np.append(self.low, self.open_low)
        self.high = np.append(self.high, self.open_high)
        self.open_low, self.open_high, self.open_count = np.inf, -np.inf, 0

    def _widen(self) -> None:
        if len(self.low) % 2:
            # The odd last run begins the open run of twice the width.
            self.open_low = min(self.open_low, float(self.low[-1]))
            self.open_high = max(self.open_high, float(self.high[-1]))
            self.open_count += self.width
            self.low, self.high = self.low[:-1], self.high[:-1]
        self.low = np.minimum(self.low[0::2], self.low[1::2])
        self.high = np.maximum(self.high[0::2], self.high[1::2])
        self.width *= 2

    def finish(self) -> Envelope:
        if self.open_count:
            self._close_open()
        return Envelope(self.width, self.low, self.high)


def analyse(
    signal: ArrayLike | Iterable[Samples] | Blocks,
    sample_rate: int | None = None,
    settings: Settings | Mapping[str, Any] = Settings(),
    source: str = "signal",
    *,
    overlap: int = 0,
    channels: int | None = None,
    encoding: str = "float64",
    layout: Layout | None = None,
) -> Analysis:
    """Energy, zero-crossing rate, zero crossings and energy peaks of a signal.

    ``signal`` is a whole signal, any array-like numpy turns into floats
    (one-dimensional, or two-dimensional to analyse each channel; a list
    of numbers or of rows too), :func:`blocks` of a file, or any iterable of
    consecutive numpy blocks that overlap by ``overlap`` samples. A
    two-dimensional signal or block is (samples, channels) with ``layout``
    ``"channels_last"``, (channels, samples) with ``"channels_first"``; left
    out, it is (samples, channels), and a whole signal of more channels than
    samples is refused, since it is most likely the other way round. The
    frames are those of one ``ostrel.fenwy`` call on the whole signal, bit
    for bit, whatever the blocks. ``settings`` is :class:`Settings` or a
    mapping of its fields. With ``settings.envelope`` the result keeps the
    signal's min/max envelope for plotting. Integer samples are PCM, divided
    by their full scale as audio readers do (int16 by 32768, int32 by 2**31,
    int8 by 128, uint8 centred on 128), so that levels are in dBFS; other
    integer types are refused: give them as floats in [-1, 1].

    A bad argument is one line: ``TypeError`` for the wrong type,
    ``ValueError`` for a value out of range.
    """
    settings = Settings.of(settings)
    layout = checked_layout(layout)
    envelope = settings.envelope
    if isinstance(signal, Blocks):
        opened = signal
        return _analyse_pieces(
            _without_overlap(opened, opened.overlap), opened.sample_rate, settings, opened.source,
            opened.channels, opened.encoding, opened.promised, envelope, lambda: opened.warnings,
        )
    if sample_rate is None:
        raise TypeError("analyse() needs the sample_rate of a signal that is not blocks()")
    sample_rate = checked_sample_rate(sample_rate)
    if _is_array_like(signal):
        signal = as_samples(signal, "analyse()")
        if signal.ndim not in (1, 2):
            raise ValueError(
                f"analyse() takes a signal of 1 or 2 dimensions (samples, or samples × channels), got {signal.ndim}"
            )
        if signal.ndim == 2 and layout == "channels_first":
            signal = signal.T
        elif signal.ndim == 2 and layout is None and signal.shape[1] > signal.shape[0]:
            raise ValueError(
                f"analyse() got {signal.shape[1]} channels of {signal.shape[0]} samples; for a (channels, samples) "
                "array pass x.T or layout='channels_first' (layout='channels_last' if it is right)"
            )
        width = 1 if signal.ndim == 1 else signal.shape[1]
        if width == 0:
            raise ValueError("analyse() takes a signal of at least one channel, got 0")
        return _analyse_pieces(
            [signal], sample_rate, settings, source, channels or width, encoding, len(signal), envelope, tuple,
        )
    if not isinstance(signal, Iterable) or isinstance(signal, (str, bytes)):
        raise TypeError(
            "analyse() takes an array-like signal, blocks(), or an iterable of numpy blocks; "
            f"got {type(signal).__name__}"
        )
    # Not array-like: an iterable of blocks, each converted as it comes.
    pieces = cast(Iterable[Samples], signal)
    return _analyse_pieces(
        _without_overlap(pieces, overlap, layout == "channels_first"), sample_rate, settings, source, channels or 1,
        encoding, None, envelope, tuple,
    )


def _is_array_like(signal: object) -> bool:
    """A whole signal rather than blocks: an array, anything numpy reads as one,
    or a list or tuple of numbers or of rows (a list of arrays is blocks)."""
    if isinstance(signal, np.ndarray) or hasattr(signal, "__array__") or hasattr(signal, "__array_interface__"):
        return True
    if isinstance(signal, (str, bytes)):
        return False
    try:
        memoryview(signal)  # type: ignore[arg-type]
        return True  # array.array and other buffers
    except TypeError:
        pass
    if isinstance(signal, (list, tuple)):
        first = signal[0] if signal else None
        return not isinstance(first, np.ndarray) or first.ndim == 0
    return False


def analyse_file(path: str | Path, settings: Settings | Mapping[str, Any] = Settings()) -> Analysis:
    """Read and analyse ``path`` (``"-"``: stdin) block by block: memory does not grow with its length.

    ``settings`` is :class:`Settings` or a mapping of its fields. Raises
    :class:`InputError` with a one-line message when the file cannot be analysed.
    """
    settings = Settings.of(settings)
    decoder: Decoder = open_decoder(path)
    try:
        with contextlib.closing(streamed_blocks(decoder, settings.channels)) as pieces:
            return _analyse_pieces(
                pieces, decoder.sample_rate, settings, decoder.source, decoder.channels, decoder.encoding,
                decoder.promised, settings.envelope, lambda: tuple(decoder.warnings),
            )
    finally:
        decoder.close()


def _without_overlap(blocks: Iterable[Samples], overlap: int, channels_first: bool = False) -> Iterable[Samples]:
    """The blocks as float64, each but the first without the samples it repeats;
    every one must be laid out as the first, or channels would be mixed up."""
    layout: str | None = None
    for block in blocks:
        samples = as_samples(block, "analyse()")
        if samples.ndim not in (1, 2):
            raise ValueError(
                f"analyse() takes blocks of 1 or 2 dimensions (samples, or samples × channels), got {samples.ndim}"
            )
        if channels_first and samples.ndim == 2:
            samples = samples.T
        this = "is one-dimensional" if samples.ndim == 1 else f"has {samples.shape[1]} channels"
        if layout is None:
            layout = this
            yield samples
        elif this != layout:
            raise ValueError(f"analyse() takes blocks of one layout: the first {layout}, a later one {this}")
        else:
            yield samples[overlap:]


def _analyse_pieces(
    pieces: Iterable[Samples],
    sample_rate: int,
    settings: Settings,
    source: str,
    channels: int,
    encoding: str,
    length_hint: int | None,
    envelope: bool,
    warnings: Callable[[], tuple[str, ...]],
) -> Analysis:
    try:
        win, hop = settings.frame_sizes(sample_rate)
    except InputError as error:
        raise InputError(f"{source}: {error}") from None
    # Sizes are checked against the file before anything is read: a window
    # longer than the (padded) file yields no frame and holds nothing back.
    expected = None if length_hint is None else frame_count(length_hint, win, hop, settings.centered)
    if expected != 0 and max(win, hop) > NATIVE_LIMIT:
        raise InputError(
            f"{source}: a window or hop beyond {NATIVE_LIMIT} samples is more than ostrel analyses; use a shorter one"
        )
    streams: list[FrameStream] = []
    envelopes: list[_EnvelopeStream] = []
    finders: list[SegmentStream] = []
    num_samples = 0
    for piece in pieces:
        columns = [piece] if piece.ndim == 1 else [np.ascontiguousarray(piece[:, c]) for c in range(piece.shape[1])]
        if not streams:
            streams = [FrameStream(win, hop, settings.centered, expected, settings.zero_positive) for _ in columns]
            envelopes = [_EnvelopeStream() for _ in columns] if envelope else []
            finders = [_segment_stream(sample_rate, settings, source) for _ in columns] if settings.segments else []
        for stream, column in zip(streams, columns):
            stream.feed(column)
        for envelope_stream, column in zip(envelopes, columns):
            envelope_stream.feed(column)
        for finder, column in zip(finders, columns):
            finder.feed(column)
        num_samples += len(piece)
    if not streams:
        streams = [FrameStream(win, hop, settings.centered, 0, settings.zero_positive)]
    single = len(streams) == 1 and settings.channels == "mix"
    tracks = []
    for index, stream in enumerate(streams):
        energy, zcr, crossings = stream.finish()
        # A threshold of 0 means "every local maximum", which is what None asks for.
        peaks = np.asarray(fenwy.find_peaks(energy, settings.threshold or None), dtype=np.intp)
        if settings.min_prominence_db is not None:
            peaks = peaks[prominences(decibels(energy), peaks) >= settings.min_prominence_db]
        tracks.append(
            Track(
                channel=None if single else index + 1,
                energy=energy,
                zcr=zcr,
                peaks=keep_apart(peaks, energy, settings.min_gap_ms, hop, sample_rate),
                zero_crossings=crossings,
                envelope=envelopes[index].finish() if envelopes else None,
                segments=_finished_segments(finders, index, sample_rate, settings, source),
            )
        )
    return Analysis(
        source=source,
        sample_rate=sample_rate,
        channels=channels,
        encoding=encoding,
        num_samples=num_samples,
        win=win,
        hop=hop,
        centered=settings.centered,
        threshold=settings.threshold,
        min_gap_ms=settings.min_gap_ms,
        min_prominence_db=settings.min_prominence_db,
        zero_positive=settings.zero_positive,
        tracks=tuple(tracks),
        warnings=warnings(),
    )


def _segment_stream(sample_rate: int, settings: Settings, source: str) -> SegmentStream:
    # Imported here: segments are built on this module's frame stream.
    from .segments import SegmentStream

    assert settings.segments is not None
    try:
        return SegmentStream(sample_rate, settings.segments)
    except InputError as error:
        raise InputError(f"{source}: {error}") from None


def _finished_segments(
    finders: list[SegmentStream], index: int, sample_rate: int, settings: Settings, source: str
) -> tuple[tuple[float, float], ...] | None:
    from .segments import in_seconds

    if not settings.segments:
        return None
    # A signal without samples has no sound: no stream was started for it.
    finder = finders[index] if finders else _segment_stream(sample_rate, settings, source)
    return tuple(in_seconds(finder.finish(), sample_rate))


def keep_apart(
    peaks: NDArray[np.intp], energy: NDArray[np.float64], min_gap_ms: float | None, hop: int, sample_rate: int
) -> NDArray[np.intp]:
    """Of peaks closer than ``min_gap_ms``, only the stronger; ties keep the earlier.

    Peaks are taken strongest first and one closer than the gap to a peak
    already kept is dropped.
    """
    if not min_gap_ms or len(peaks) < 2:
        return peaks
    order = np.argsort(-energy[peaks], kind="stable")
    # Two frames are closer than the gap when |Δm|·hop / rate · 1000 < gap.
    gap = min_gap_ms * sample_rate
    kept: list[int] = []
    for index in order:
        frame = int(peaks[index])
        at = bisect.bisect_left(kept, frame)
        near = [kept[j] for j in (at - 1, at) if 0 <= j < len(kept)]
        if all(abs(frame - other) * hop * 1000 >= gap for other in near):
            kept.insert(at, frame)
    return np.asarray(kept, dtype=np.intp)
