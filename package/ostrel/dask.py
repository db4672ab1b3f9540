"""The functions of :mod:`ostrel.fenwy` on one-dimensional dask arrays.

Each function builds a dask graph and returns at once; nothing is read or
computed until the result is computed. Computed, every result equals the
``ostrel.fenwy`` function on the whole array in memory, bit for bit and in
type, for any chunking: chunks of one sample, uneven chunks, windows longer
than a chunk, hops longer than the window.

- ``calc_energy`` and ``calc_zc``: a dask array of float64, one value per
  frame, its chunk sizes known.
- ``num_zerocrossings``: a zero-dimensional dask array that computes to
  exactly what ``fenwy.num_zerocrossings`` returns (numpy's count type, or
  the int 0 for fewer than two samples). An array, not a Delayed: dask
  computes collections of one kind together, and a mix of kinds given to
  one ``dask.compute`` could come back in another order.
- ``find_peaks``: a dask array of ``numpy.intp`` indices into ``x``, its
  chunk sizes unknown until computed (how many peaks a chunk holds is only
  known then).

Exactness comes from the indexing, not from tolerances: the frame grid of
the whole signal is decided once, and every output chunk runs the ``fenwy``
function itself on exactly the samples its frames cover (the front padding
applied once, to the whole signal), so each value is computed from the same
samples in the same way as in memory.
"""

from __future__ import annotations

import bisect
import itertools
import math
import operator
from collections.abc import Callable
from typing import Any

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from . import fenwy

__all__ = ["calc_energy", "calc_zc", "find_peaks", "num_zerocrossings"]

# A task in dask's graph format: (callable, argument, ...).
Task = tuple[Any, ...]


def calc_energy(x: da.Array, win_len: int, hop_size: int, centered: bool = True) -> da.Array:
    """Lazily, ``fenwy.calc_energy(x, win_len, hop_size, centered)`` of the whole array.

    :param x: a one-dimensional dask array with known chunk sizes
    :param win_len: window length, a positive integer
    :param hop_size: hop size, a positive integer
    :param centered: put ``win_len // 2`` zeros in front of the signal
    :returns: a float64 dask array, one value per frame
    """
    return _frame_wise("calc_energy", fenwy.calc_energy, x, win_len, hop_size, centered)


def calc_zc(x: da.Array, win_len: int, hop_size: int, centered: bool = True) -> da.Array:
    """Lazily, ``fenwy.calc_zc(x, win_len, hop_size, centered)`` of the whole array.

    :param x: a one-dimensional dask array with known chunk sizes
    :param win_len: window length, a positive integer
    :param hop_size: hop size, a positive integer
    :param centered: put ``win_len // 2`` zeros in front of the signal
    :returns: a float64 dask array, one value per frame
    """
    return _frame_wise("calc_zc", fenwy.calc_zc, x, win_len, hop_size, centered)


def num_zerocrossings(x: da.Array) -> da.Array:
    """Lazily, ``fenwy.num_zerocrossings(x)`` of the whole array.

    Each chunk counts its own pairs and the pair it forms with the sample
    before it, so every pair of neighbours is counted once.

    :param x: a one-dimensional dask array with known chunk sizes
    :returns: a zero-dimensional dask array that computes to the count, of
        the type fenwy returns
    """
    samples = _Samples(x, "num_zerocrossings")
    name = f"num_zerocrossings-{tokenize(x)}"
    # A zero-dimensional array computes to its one chunk as its task gives it.
    layer: dict[Any, Task]
    if samples.length < 2:
        # fenwy answers the int 0 without looking at the samples.
        layer = {(name,): (int,)}
    else:
        counts = {
            (f"counts-{name}", index): (fenwy.num_zerocrossings, samples.join(max(start - 1, 0), stop))
            for index, (start, stop) in enumerate(samples.filled_chunks())
        }
        # The sum keeps numpy's count type.
        layer = {**counts, (name,): (sum, list(counts))}
    return _array(name, layer, x, (), np.intp)


def find_peaks(x: da.Array, thresh: float | None = None) -> da.Array:
    """Lazily, ``fenwy.find_peaks(x, thresh)`` of the whole array.

    Each chunk looks one sample beyond each of its edges, so the strict
    comparisons with the neighbours hold across chunks; with a threshold,
    the largest candidate of the whole signal is found first, as fenwy does.
    ``thresh`` is tested for truth at once, as fenwy tests it.

    :param x: a one-dimensional dask array with known chunk sizes
    :param thresh: relative threshold, or None for every strict local maximum
    :returns: a dask array of numpy.intp indices, chunk sizes unknown
    """
    samples = _Samples(x, "find_peaks")
    thresholded = bool(thresh)
    name = f"find_peaks-{tokenize(x, thresh)}"
    chunks = samples.filled_chunks() or [(0, 0)]
    # A candidate's neighbours may lie in the chunks on either side.
    candidates = {
        (f"candidates-{name}", index): (
            _candidates, thresholded, start, samples.join(max(start - 1, 0), min(stop + 1, samples.length))
        )
        for index, (start, stop) in enumerate(chunks)
    }
    layer: dict[Any, Any] = dict(candidates)
    if thresholded:
        threshold = f"threshold-{name}"
        layer[threshold] = (_threshold, [(operator.getitem, key, 2) for key in candidates], thresh)
        for index, key in enumerate(candidates):
            layer[(name, index)] = (_above, key, threshold)
    else:
        layer.update({(name, index): key for index, key in enumerate(candidates)})
    unknown = ((math.nan,) * len(chunks),)
    return _array(name, layer, x, unknown, np.intp)


class _Samples:
    """Where each sample of a one-dimensional dask array lives, and tasks that gather any run of them."""

    def __init__(self, x: da.Array, function: str) -> None:
        if not isinstance(x, da.Array):
            raise TypeError(f"{function}() needs a dask array, not {type(x).__name__}")
        if x.ndim != 1:
            raise ValueError(f"{function}() needs a one-dimensional array, got {x.ndim} dimensions")
        if any(math.isnan(size) for size in x.chunks[0]):
            raise ValueError(f"{function}(): the array's chunk sizes are unknown; call x.compute_chunk_sizes() first")
        self.name = x.name
        self.dtype = x.dtype
        self.starts = list(itertools.accumulate(x.chunks[0], initial=0))
        self.length = self.starts[-1]

    def filled_chunks(self) -> list[tuple[int, int]]:
        """(start, stop) of every chunk that holds samples."""
        return [(start, stop) for start, stop in itertools.pairwise(self.starts) if stop > start]

    def join(self, start: int, stop: int) -> Task:
        """A task giving samples ``start`` to ``stop`` as one array of the input's dtype."""
        return (_joined, self._pieces(start, stop), self.dtype)

    def join_padded(self, start: int, stop: int, padding: int) -> Task:
        """A task giving positions ``start`` to ``stop`` of the signal after ``padding`` front zeros.

        The zeros and the samples are concatenated as fenwy pads, so the
        result has the padded signal's dtype even where it holds no zeros.
        """
        zeros = max(min(stop, padding) - start, 0)
        samples = self._pieces(max(start - padding, 0), max(stop - padding, 0))
        return (_joined_after_zeros, zeros, samples, self.dtype)

    def _pieces(self, start: int, stop: int) -> list[Task]:
        first = bisect.bisect_right(self.starts, start) - 1
        pieces = []
        for index in range(max(first, 0), len(self.starts) - 1):
            begin, end = self.starts[index], self.starts[index + 1]
            if begin >= stop:
                break
            if end > start:
                pieces.append((operator.getitem, (self.name, index), slice(max(start, begin) - begin, min(stop, end) - begin)))
        return pieces


def _frame_wise(
    function: str, per_frame: Callable[..., np.ndarray], x: da.Array, win_len: int, hop_size: int, centered: bool
) -> da.Array:
    samples = _Samples(x, function)
    win, hop = _positive(function, "win_len", win_len), _positive(function, "hop_size", hop_size)
    padding = win // 2 if centered else 0
    padded_length = samples.length + padding
    # The frame count of the whole signal, from fenwy itself: frame m covers
    # positions m * hop to m * hop + win of the padded signal.
    count = fenwy.calc_num_frames(padded_length, win_len, hop_size)
    bounds = _frame_bounds(samples.starts, padding, win, hop, count, padded_length)

    name = f"{function}-{tokenize(x, win_len, hop_size, bool(centered))}"
    layer: dict[Any, Task] = {}
    for index, (first, stop) in enumerate(itertools.pairwise(bounds)):
        begin = min(first * hop, padded_length)
        end = min((stop - 1) * hop + win, padded_length)
        frames = samples.join_padded(begin, end, padding) if centered else samples.join(begin, end)
        # The frames of this chunk start at its first position: fenwy frames
        # them exactly as the whole signal's frames first to stop - 1.
        layer[(name, index)] = (per_frame, frames, win_len, hop_size, False)
    if not layer:
        layer[(name, 0)] = (np.empty, 0)
    chunks = (tuple(b - a for a, b in itertools.pairwise(bounds)) or (0,),)
    return _array(name, layer, x, chunks, np.float64)


def _graph(name: str, layer: dict[Any, Any], x: da.Array) -> HighLevelGraph:
    return HighLevelGraph.from_collections(name, layer, dependencies=[x])  # type: ignore[list-item]


def _array(name: str, layer: dict[Any, Any], x: da.Array, chunks: tuple[tuple[float, ...], ...], dtype: type) -> da.Array:
    meta: np.ndarray = np.empty((0,) * len(chunks), dtype)
    return da.Array(_graph(name, layer, x), name, chunks, dtype=dtype, meta=meta)  # type: ignore[no-untyped-call]


def _frame_bounds(starts: list[int], padding: int, win: int, hop: int, count: int, padded_length: int) -> list[int]:
    """The first frame of each output chunk, and ``count`` at the end.

    A chunk takes the frames that start in an input chunk; chunks narrower
    than one window are merged, so that the overlap a task reads beyond its
    own samples never outweighs them. Frames cut short by the end of the
    signal all go to the last chunk: fenwy counts them from the end of its
    samples.
    """
    if count == 0:
        return []
    full_frames = min(max((padded_length - win) // hop + 1, 0), count)
    bounds = [0]
    for start in starts[1:-1]:
        first = -(-(start + padding) // hop)
        if first > full_frames:
            break
        if (first - bounds[-1]) * hop >= win:
            bounds.append(first)
    if bounds[-1] == count:
        bounds.pop()
    return bounds + [count]


def _positive(function: str, name: str, value: int) -> int:
    number = operator.index(value)
    if number < 1:
        raise ValueError(f"{function}(): {name} must be a positive integer, got {number}")
    return number


def _joined(pieces: list[np.ndarray], dtype: np.dtype[Any]) -> np.ndarray:
    if not pieces:
        return np.empty(0, dtype)
    return pieces[0] if len(pieces) == 1 else np.concatenate(pieces)


def _joined_after_zeros(zeros: int, pieces: list[np.ndarray], dtype: np.dtype[Any]) -> np.ndarray:
    # One concatenation, as fenwy pads: the zeros decide the dtype with the samples.
    return np.concatenate((np.zeros(zeros), *(pieces or [np.empty(0, dtype)])))


def _candidates(thresholded: bool, start: int, samples: np.ndarray) -> Any:
    """The chunk's strict local maxima as indices into the whole signal.

    ``samples`` begins one sample before the chunk (``start - 1``), except
    for the first chunk, whose first sample is never a candidate anyway.
    With a threshold to come, also their values and the largest of them.
    """
    offset = max(start - 1, 0)
    local = fenwy.find_peaks(samples)
    if not thresholded:
        return local + offset
    values = samples[local]
    largest = np.max(values, keepdims=True) if values.size else values
    return local + offset, values, largest


def _threshold(largest: list[np.ndarray], thresh: Any) -> Any:
    """The largest candidate of the whole signal times thresh, as fenwy
    computes it; None when there is no candidate, which fenwy leaves
    without a threshold."""
    values = np.concatenate(largest)
    return np.max(values) * thresh if values.size else None


def _above(candidates: tuple[np.ndarray, np.ndarray, np.ndarray], threshold: Any) -> np.ndarray:
    indices, values, _ = candidates
    return indices if threshold is None else indices[values > threshold]
