"""The module against the plain-Python model on seeded random signals."""

import numpy as np
import pytest

import model

DTYPES = ["float64", "float32", "int16", "int64"]
# (win_len, hop_size), hop larger than the window included.
WINDOWS = [(1, 1), (2, 1), (4, 2), (5, 3), (16, 8), (3, 7), (256, 128)]
THRESHOLDS = [None, 0, 0.25, 0.5, 0.9, 1]
SIGNALS_PER_CASE = 6


def signals(seed, dtype):
    """Seeded signals of assorted lengths, with runs of zeros and ties."""
    rng = np.random.default_rng(seed)
    lengths = [0, 1, 2, 3] + list(rng.integers(4, 3000, SIGNALS_PER_CASE - 4))
    for index, length in enumerate(lengths):
        if dtype.startswith("int"):
            info = np.iinfo(dtype)
            # Full-range samples overflow the integer products; small ones tie often.
            if index % 2:
                x = rng.integers(info.min, info.max, length, dtype=dtype, endpoint=True)
            else:
                x = rng.integers(-3, 4, length).astype(dtype)
        else:
            x = rng.standard_normal(length).astype(dtype)
            if index % 2 == 0 and length:
                x[rng.random(length) < 0.2] = 0
            if index == SIGNALS_PER_CASE - 1 and length:
                x[rng.integers(0, length, 3)] = np.nan
        yield x


def same(result, expected):
    assert type(result) is type(expected)
    if isinstance(expected, np.ndarray):
        assert result.dtype == expected.dtype
        assert result.shape == expected.shape
        np.testing.assert_array_equal(result, expected)
        # Bit for bit, zeros' signs and NaN included.
        assert result.tobytes() == expected.tobytes()
    else:
        assert result == expected


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("win_len, hop_size", WINDOWS)
@pytest.mark.parametrize("centered", [True, False])
@pytest.mark.parametrize("function", ["calc_energy", "calc_zc"])
def test_frame_features(fenwy, function, centered, win_len, hop_size, dtype):
    seed = [DTYPES.index(dtype), WINDOWS.index((win_len, hop_size)), centered, function == "calc_zc"]
    with np.errstate(over="ignore", invalid="ignore"):
        for x in signals(seed, dtype):
            expected = getattr(model, function)(x, win_len, hop_size, centered)
            same(getattr(fenwy, function)(x, win_len, hop_size, centered), expected)


@pytest.mark.parametrize("dtype", DTYPES)
def test_zero_crossings(fenwy, dtype):
    with np.errstate(over="ignore", invalid="ignore"):
        for x in signals([10, DTYPES.index(dtype)], dtype):
            same(fenwy.num_zerocrossings(x), model.num_zerocrossings(x))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("thresh", THRESHOLDS)
def test_peaks(fenwy, dtype, thresh):
    with np.errstate(over="ignore", invalid="ignore"):
        for x in signals([20, DTYPES.index(dtype), THRESHOLDS.index(thresh)], dtype):
            same(fenwy.find_peaks(x, thresh), model.find_peaks(x, thresh))


@pytest.mark.parametrize("x_len", [0, 1, 2, 3, 4, 7, 10, 11, 100, 2999])
@pytest.mark.parametrize("win_len, hop_size", WINDOWS)
def test_frame_counts(fenwy, x_len, win_len, hop_size):
    same(fenwy.calc_num_frames(x_len, win_len, hop_size), model.calc_num_frames(x_len, win_len, hop_size))
