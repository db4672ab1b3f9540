"""ostrel.dask against ostrel.fenwy on the whole array: equal bit for bit and
in type, for any chunking, lazily, reading only the chunks each result needs."""

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")

import ostrel.dask as odask  # noqa: E402
from ostrel import fenwy  # noqa: E402


def signal(length, dtype):
    """Noise with exact zeros, repeats and plateaus, so every comparison rule is met."""
    rng = np.random.default_rng(length)
    values = np.round(rng.standard_normal(length) * 4) / 2
    values[::7] = 0.0
    values[5::11] = values[4::11][: len(values[5::11])]
    return (values * 1000).astype(dtype) if np.dtype(dtype).kind == "i" else values.astype(dtype)


def chunked(length, pattern):
    """Chunk sizes repeating ``pattern`` (zeros included) until ``length`` samples."""
    sizes, total = [], 0
    for size in pattern * (length + 1):
        if total == length:
            break
        sizes.append(min(size, length - total))
        total += sizes[-1]
    return tuple(sizes) or (0,)


# (length, dtype, chunk pattern, win_len, hop_size, thresh)
CASES = {
    "chunks of one sample": (40, np.float64, [1], 6, 2, 0.5),
    "uneven chunks with empty ones": (97, np.float64, [5, 1, 0, 17, 2, 40], 8, 3, 0.3),
    "window longer than every chunk": (120, np.float32, [3, 4], 32, 5, 0.9),
    "hop longer than the window": (101, np.float64, [7, 13], 4, 9, 0.5),
    "hop longer than a chunk": (64, np.int16, [2, 5], 3, 11, 0.2),
    "one chunk": (50, np.int16, [50], 16, 4, 0.5),
    "window longer than the signal": (20, np.float64, [3], 64, 8, 0.5),
    "odd window, hop one": (45, np.float32, [4, 9], 7, 1, 0.6),
    "two samples": (2, np.float64, [1], 4, 2, 0.5),
    "one sample": (1, np.float64, [1], 3, 1, 0.5),
    "empty": (0, np.float64, [1], 4, 2, 0.5),
}


def same(result, expected):
    assert type(result) is type(expected)
    if isinstance(expected, np.ndarray):
        assert (result.dtype, result.shape) == (expected.dtype, expected.shape)
        assert result.tobytes() == expected.tobytes()
    else:
        assert result == expected


def every_result(x, win_len, hop_size, thresh, compute):
    """Each function's result, by (name, centring or threshold)."""
    results = {}
    for centered in (True, False):
        for name in ("calc_energy", "calc_zc"):
            results[name, centered] = compute(getattr(x, name)(x.signal, win_len, hop_size, centered))
    results["num_zerocrossings", None] = compute(x.num_zerocrossings(x.signal))
    for threshold in (None, thresh):
        results["find_peaks", threshold] = compute(x.find_peaks(x.signal, threshold))
    return results


class On:
    """The four functions of a module, applied to one signal."""

    def __init__(self, module, signal):
        self.module, self.signal = module, signal

    def __getattr__(self, name):
        return getattr(self.module, name)


@pytest.mark.parametrize("case", list(CASES))
def test_equal_to_fenwy_for_any_chunking(case):
    length, dtype, pattern, win_len, hop_size, thresh = CASES[case]
    samples = signal(length, dtype)
    x = da.from_array(samples, chunks=(chunked(length, pattern),))
    expected = every_result(On(fenwy, samples), win_len, hop_size, thresh, lambda value: value)
    results = every_result(On(odask, x), win_len, hop_size, thresh, lambda value: value.compute(scheduler="sync"))
    for key, value in expected.items():
        same(results[key], value)
    # Computed together, each result comes back in its own place.
    lazy = every_result(On(odask, x), win_len, hop_size, thresh, lambda value: value)
    together = dict(zip(lazy, dask.compute(*lazy.values(), scheduler="sync")))
    for key, value in expected.items():
        same(together[key], value)


def test_equal_to_fenwy_on_a_cluster(dask_client_address):
    from distributed import Client

    samples = signal(5000, np.float64)
    x = da.from_array(samples, chunks=(chunked(5000, [333, 17, 901]),))
    expected = every_result(On(fenwy, samples), 512, 128, 0.4, lambda value: value)
    lazy = every_result(On(odask, x), 512, 128, 0.4, lambda value: value)
    with Client(dask_client_address, set_as_default=False) as client:
        results = every_result(On(odask, x), 512, 128, 0.4, lambda value: client.compute(value).result())
        together = dict(zip(lazy, dask.compute(*lazy.values(), scheduler=client)))
    for key, value in expected.items():
        same(results[key], value)
        same(together[key], value)


class Recording:
    """An array that dask reads by slices; records which chunks were read."""

    def __init__(self, samples, chunk):
        self.samples, self.chunk, self.read = samples, chunk, set()
        self.shape, self.dtype, self.ndim = samples.shape, samples.dtype, 1

    def __getitem__(self, index):
        (part,) = index if isinstance(index, tuple) else (index,)
        self.read.update(range(part.start // self.chunk, -(-part.stop // self.chunk)))
        return self.samples[part]


@pytest.mark.parametrize(("chunk", "win_len", "hop_size", "centered"), [(10, 25, 10, True), (40, 8, 30, False)])
def test_each_output_chunk_reads_only_the_chunks_its_frames_cover(chunk, win_len, hop_size, centered):
    samples = signal(400, np.float64)
    source = Recording(samples, chunk)
    x = da.from_array(source, chunks=chunk, asarray=True)
    energy = odask.calc_energy(x, win_len, hop_size, centered)
    assert not source.read  # nothing is read until computed
    padding = win_len // 2 if centered else 0
    first = 0
    for index, frames in enumerate(energy.chunks[0]):
        source.read.clear()
        block = energy.blocks[index].compute(scheduler="sync")
        assert block.tobytes() == fenwy.calc_energy(samples, win_len, hop_size, centered)[first:first + frames].tobytes()
        start = max(first * hop_size - padding, 0)
        stop = min((first + frames - 1) * hop_size + win_len - padding, len(samples))
        assert source.read == set(range(start // chunk, -(-stop // chunk)))
        first += frames
    assert len(energy.chunks[0]) > 3


def test_nothing_is_computed_until_asked():
    def fail():
        raise AssertionError("computed")

    x = da.from_delayed(dask.delayed(fail)(), shape=(100,), dtype=np.float64)
    for result in (odask.calc_energy(x, 8, 4), odask.calc_zc(x, 8, 4), odask.num_zerocrossings(x), odask.find_peaks(x, 0.5)):
        with pytest.raises(AssertionError, match="computed"):
            result.compute(scheduler="sync")


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: odask.calc_energy(np.zeros(8), 4, 2), TypeError, "calc_energy() needs a dask array, not ndarray"),
        (lambda: odask.find_peaks(da.zeros((4, 4))), ValueError, "find_peaks() needs a one-dimensional array, got 2 dimensions"),
        (lambda: odask.calc_zc(da.zeros(8), 0, 2), ValueError, "calc_zc(): win_len must be a positive integer, got 0"),
        (lambda: odask.calc_energy(da.zeros(8), 4, 2.0), TypeError, "'float' object cannot be interpreted as an integer"),
        (
            lambda: odask.num_zerocrossings(da.zeros(8)[da.zeros(8) > 0]),
            ValueError,
            "num_zerocrossings(): the array's chunk sizes are unknown; call x.compute_chunk_sizes() first",
        ),
    ],
)
def test_misuse_is_refused_at_once(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message
