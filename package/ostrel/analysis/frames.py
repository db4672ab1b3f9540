"""The analysis of one signal, whole or in blocks, with the functions of ``ostrel.fenwy`` only.

Its frames come from :class:`FrameStream`, exact whatever the blocks; this
module adds the peaks, the envelope for plots and, when asked for, the
sound segments, and gives each stream the samples it needs.
"""
from __future__ import annotations

import bisect
import contextlib
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import fenwy
from .audio import Blocks, Decoder, Samples, open_decoder, streamed_blocks
from .errors import InputError
from .frame_stream import FrameStream, frame_count
from .prominence import prominences
from .result import Analysis, Envelope, Track, decibels
from .samples import as_samples
from .segments import SegmentStream, in_seconds
from .settings import Layout, Settings, checked_layout, checked_sample_rate

# The longest window and hop the library frames natively, with its front
# padding virtual: beyond it one frame alone would need gigabytes.
NATIVE_LIMIT = 2**31 - 1
# Columns of the min/max envelope kept for a plot.
ENVELOPE_COLUMNS = 4000


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
    assert settings.segments is not None
    try:
        return SegmentStream(sample_rate, settings.segments)
    except InputError as error:
        raise InputError(f"{source}: {error}") from None


def _finished_segments(
    finders: list[SegmentStream], index: int, sample_rate: int, settings: Settings, source: str
) -> tuple[tuple[float, float], ...] | None:
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
