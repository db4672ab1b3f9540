"""ostrel.analysis: blocks give the frames of one library call on the whole signal, bit for bit."""

import subprocess
import sys

import numpy as np
import pytest

from ostrel import fenwy
from ostrel.analysis import Settings, analyse, analyse_file, blocks, keep_apart, read_audio
from test_cli_audio import expected_signal, random_ints, write_wav


def whole(signal, win, hop, centered):
    """One library call on the whole signal; no frames where the window outgrows the padded signal."""
    if fenwy.calc_num_frames(len(signal) + (win // 2 if centered else 0), win, hop) < 0:
        return np.empty(0), np.empty(0)
    return fenwy.calc_energy(signal, win, hop, centered), fenwy.calc_zc(signal, win, hop, centered)


def pieces(signal, size, overlap=0):
    """Blocks of ``size`` samples, each starting ``size - overlap`` after the one before."""
    step = size - overlap
    return [signal[start : start + size] for start in range(0, max(len(signal) - overlap, 1), step)]


def through_one_buffer(blocks):
    """The blocks copied one after another into the same memory, which is spoilt once the next is asked for."""
    buffer = np.empty(max(len(block) for block in blocks))
    for block in blocks:
        buffer[: len(block)] = block
        yield buffer[: len(block)]
        buffer[:] = np.nan


def noisy(length, seed=0):
    signal = np.random.default_rng(seed).normal(size=length)
    signal[::7] = 0.0  # exact zeros break crossings
    return signal


# (signal length, window, hop): hops shorter than, equal to and longer than the
# window, odd sizes, and windows longer than the padded signal.
FRAMINGS = [
    (4099, 64, 16), (4099, 301, 77), (4099, 2048, 512), (4099, 7, 7), (4099, 5, 11),
    (1000, 1, 1), (37, 64, 3), (37, 64, 90), (5, 3, 1), (1, 2, 1),
]
BLOCK_SIZES = [1, 3, 64, 1000, 10**6]


@pytest.mark.parametrize("centered", [True, False], ids=["centred", "uncentred"])
@pytest.mark.parametrize(("length", "win", "hop"), FRAMINGS)
def test_blocks_give_the_frames_of_one_call_on_the_whole_signal(length, win, hop, centered):
    signal = noisy(length)
    energy, zcr = whole(signal, win, hop, centered)
    settings = Settings(win=win, hop=hop, centered=centered, threshold=0.0, zero_positive=False)
    for size in BLOCK_SIZES:
        for overlap in {0, min(size - 1, max(win - hop, 0))}:
            result = analyse(pieces(signal, size, overlap), 8000, settings, overlap=overlap)
            assert result.energy.tobytes() == energy.tobytes(), (size, overlap)
            assert result.zcr.tobytes() == zcr.tobytes(), (size, overlap)
            assert result.peaks.tolist() == fenwy.find_peaks(energy).tolist()
            assert (result.zero_crossings, result.num_samples) == (fenwy.num_zerocrossings(signal), length)
            # A reader may reuse its buffer for the next block: nothing of the last one may be kept by reference.
            reused = analyse(through_one_buffer(pieces(signal, size, overlap)), 8000, settings, overlap=overlap)
            assert (reused.energy.tobytes(), reused.zcr.tobytes()) == (energy.tobytes(), zcr.tobytes()), (size, overlap)


@pytest.mark.parametrize(
    ("size", "overlap", "frames", "channels"),
    # The last: blocks of more values than one read gives.
    [(1, 0, 9000, 2), (1000, 0, 9000, 2), (1000, 999, 9000, 2), (4096, 1536, 9000, 2), (60000, 100, 100000, 9)],
)
def test_blocks_of_a_file_overlap_as_asked_and_analyse_exactly(tmp_path, size, overlap, frames, channels):
    ints = random_ints(2, frames, channels, seed=5)
    path = write_wav(tmp_path / "x.wav", ints, 2, rate=16000)
    signal = expected_signal(ints, 2)

    read = list(blocks(path, size, overlap))
    step = size - overlap
    assert [len(block) for block in read[:-1]] == [size] * (len(read) - 1)
    assert np.concatenate([read[0]] + [block[overlap:] for block in read[1:]]).tobytes() == signal.tobytes()
    assert len(read[-1]) > overlap or len(read) == 1 and (len(read) - 1) * step + len(read[-1]) == len(signal)

    per_channel = list(blocks(path, size, overlap, channels="each"))
    assert per_channel[0].shape == (min(size, frames), channels)
    assert np.concatenate([per_channel[0]] + [block[overlap:] for block in per_channel[1:]]).tobytes() == (ints / 32768.0).tobytes()

    settings = Settings(win=1024, hop=256)
    result = analyse(blocks(path, size, overlap), settings=settings)
    energy, zcr = whole(signal, 1024, 256, True)[0], zero_positive_reference(signal, 1024, 256, True)
    assert (result.energy.tobytes(), result.zcr.tobytes()) == (energy.tobytes(), zcr.tobytes())
    assert (result.source, result.sample_rate, result.channels, result.encoding) == (str(path), 16000, channels, "16-bit PCM WAV")


def test_every_channel_on_its_own(tmp_path):
    left = random_ints(2, 5000, 1, seed=8)[:, 0] // 2  # so that -left fits 16 bits
    ints = np.column_stack([left, -left, left // 3])
    path = write_wav(tmp_path / "x.wav", ints, 2)
    result = analyse_file(path, Settings(win=512, hop=128, channels="each"))
    assert [track.channel for track in result.tracks] == [1, 2, 3]
    for track, column in zip(result.tracks, ints.T):
        energy, zcr = whole(column / 32768.0, 512, 128, True)[0], zero_positive_reference(column / 32768.0, 512, 128, True)
        assert (track.energy.tobytes(), track.zcr.tobytes()) == (energy.tobytes(), zcr.tobytes())
    np.testing.assert_array_equal(read_audio(path, channels="each").samples, ints / 32768.0)
    with pytest.raises(ValueError, match="3 channels were analysed; pick one of .tracks"):
        result.energy


SAMPLES = [0.1, -0.2, 0.3, -0.1, 0.5, 0.2, -0.3, 0.1, 0.0, -0.4]


@pytest.mark.parametrize(
    ("signal", "tracks"),
    [
        (SAMPLES, 1),
        (tuple(SAMPLES), 1),
        (np.array(SAMPLES, dtype=np.float32).tolist(), 1),
        (np.column_stack([SAMPLES, SAMPLES[::-1]]).tolist(), 2),  # rows of (left, right)
        ([np.float64(value) for value in SAMPLES], 1),
        ([np.array(value) for value in SAMPLES], 1),  # zero-dimensional arrays are samples, not blocks
    ],
    ids=["list", "tuple", "float32-list", "rows", "numpy-scalars", "0-d-arrays"],
)
def test_array_likes_are_analysed_as_the_array_they_make(signal, tracks):
    settings = Settings(win=4, hop=3, threshold=0.0, zero_positive=False)
    result = analyse(signal, 8000, settings)
    array = np.asarray(signal, dtype=np.float64)
    assert (len(result.tracks), result.channels, result.num_samples) == (tracks, tracks, len(array))
    for track, column in zip(result.tracks, array.reshape(len(array), -1).T):
        energy, zcr = whole(np.ascontiguousarray(column), 4, 3, True)
        assert (track.energy.tobytes(), track.zcr.tobytes()) == (energy.tobytes(), zcr.tobytes())


@pytest.mark.parametrize(
    ("signal", "kind", "message"),
    [
        (0.5, TypeError, "analyse() takes an array-like signal, blocks(), or an iterable of numpy blocks; got float"),
        ("0.1 0.2", TypeError, "analyse() takes an array-like signal, blocks(), or an iterable of numpy blocks; got str"),
        (np.zeros((4, 2, 2)), ValueError, "analyse() takes a signal of 1 or 2 dimensions (samples, or samples × channels), got 3"),
        (np.zeros((4, 0)), ValueError, "analyse() takes a signal of at least one channel, got 0"),
        (iter([np.zeros(4), np.float64(0.5)]), ValueError, "analyse() takes blocks of 1 or 2 dimensions (samples, or samples × channels), got 0"),
        (iter([np.zeros(4), np.zeros((4, 2))]), ValueError, "analyse() takes blocks of one layout: the first is one-dimensional, a later one has 2 channels"),
        (iter([np.zeros((4, 3)), np.zeros((4, 2))]), ValueError, "analyse() takes blocks of one layout: the first has 3 channels, a later one has 2 channels"),
    ],
    ids=["number", "text", "three-dimensional", "no-channel", "scalar-block", "mono-then-stereo", "three-then-two"],
)
def test_what_analyse_cannot_take_is_one_line(signal, kind, message):
    with pytest.raises(kind) as raised:
        analyse(signal, 8000)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    ("peaks", "energy", "gap_frames", "kept"),
    [
        ([2, 4, 9], [0, 0, 5, 0, 6, 0, 0, 0, 0, 1], 3, [4, 9]),  # 2 is too close to the stronger 4
        ([2, 4, 9], [0, 0, 5, 0, 6, 0, 0, 0, 0, 1], 2, [2, 4, 9]),  # exactly the gap apart: both stay
        ([2, 4, 6], [0, 0, 5, 0, 5, 0, 5], 3, [2, 6]),  # ties: the earlier wins, and 6 is 4 from 2
        ([1, 3, 5, 7], [0, 4, 0, 9, 0, 8, 0, 7], 3, [3, 7]),  # strongest first, not left to right
        ([5], [0, 0, 0, 0, 0, 1], 100, [5]),
    ],
)
def test_min_gap_keeps_the_stronger_of_close_peaks(peaks, energy, gap_frames, kept):
    # hop 10 at 1000 Hz: a frame is 10 ms.
    result = keep_apart(np.array(peaks), np.array(energy, dtype=float), gap_frames * 10.0, 10, 1000)
    assert result.tolist() == kept


def test_the_package_imports_numpy_only_when_the_analysis_is_used():
    code = (
        "import sys, ostrel; before = 'numpy' in sys.modules; "
        "from ostrel import analyse_file, Settings; print(before, 'numpy' in sys.modules, analyse_file.__module__)"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "False True ostrel.analysis.frames\n")


@pytest.mark.parametrize(("length", "size"), [(1, 1), (8001, 3), (8001, 1000), (123457, 4096)])
def test_the_plot_envelope_is_the_min_and_max_of_equal_runs_whatever_the_blocks(length, size):
    signal = noisy(length, seed=2)
    envelope = analyse(pieces(signal, size), 8000, Settings(envelope=True)).track.envelope
    width = envelope.width
    assert len(envelope.low) <= 8001 and (width == 1 or len(envelope.low) > 4000)
    assert envelope.low.tolist() == [signal[i : i + width].min() for i in range(0, length, width)]
    assert envelope.high.tolist() == [signal[i : i + width].max() for i in range(0, length, width)]


STEREO = np.random.default_rng(3).normal(size=(2, 4000))


@pytest.mark.parametrize(
    ("call", "kind", "message"),
    [
        (lambda: analyse(STEREO, 8000), ValueError,
         "analyse() got 4000 channels of 2 samples; for a (channels, samples) array pass x.T or "
         "layout='channels_first' (layout='channels_last' if it is right)"),
        (lambda: analyse(STEREO, 8000, layout="rows"), ValueError,
         "layout: invalid choice: 'rows' (choose from 'channels_last', 'channels_first')"),
        (lambda: analyse(STEREO.T, 0), ValueError, "sample_rate: must be positive, got 0"),
        (lambda: analyse(STEREO.T, -8000), ValueError, "sample_rate: must be positive, got -8000"),
        (lambda: analyse(STEREO.T, "8k"), TypeError, "sample_rate: expected a whole number, got '8k'"),
        (lambda: analyse(STEREO.T, 8000.5), TypeError, "sample_rate: expected a whole number, got 8000.5"),
        (lambda: analyse(STEREO.T, 8000, {"window": 400}), TypeError,
         "settings: unknown name 'window' (known: win, hop, win_ms, hop_ms, centered, threshold, min_gap_ms, "
         "channels, envelope, zero_positive, min_prominence_db, segments)"),
        (lambda: analyse(STEREO.T, 8000, [("win", 400)]), TypeError, "settings: expected Settings or a mapping of them, got list"),
        (lambda: Settings(win=400, win_ms=25), ValueError, "win_ms: not allowed with win; give one of them"),
        (lambda: Settings(hop=100, hop_ms=10), ValueError, "hop_ms: not allowed with hop; give one of them"),
        (lambda: read_audio("x.wav", channels="x"), ValueError, "channels: invalid choice: 'x' (choose from 'mix', 'each')"),
        (lambda: read_audio("x.wav", channels=2), TypeError, "channels: expected one of 'mix', 'each', got 2"),
    ],
    ids=[
        "channels-first-unsaid", "unknown-layout", "rate-zero", "rate-negative", "rate-text", "rate-fraction",
        "unknown-setting", "settings-list", "win-and-win-ms", "hop-and-hop-ms", "unknown-channels", "channels-number",
    ],
)
def test_bad_arguments_of_the_api_are_one_line_with_the_command_line_words(call, kind, message):
    with pytest.raises(kind) as raised:
        call()
    assert str(raised.value) == message


@pytest.mark.parametrize("as_blocks", [False, True], ids=["whole", "blocks"])
def test_channels_first_with_the_layout_is_the_transposed_signal(as_blocks):
    settings = Settings(win=256, hop=100, threshold=0.0)
    expected = analyse(STEREO.T, 8000, settings)
    signal = pieces(STEREO.T, 1000) if as_blocks else STEREO
    if as_blocks:
        signal = iter([block.T for block in signal])
    result = analyse(signal, 8000, settings, layout="channels_first")
    assert [(t.energy.tobytes(), t.zcr.tobytes(), t.peaks.tolist()) for t in result.tracks] == [
        (t.energy.tobytes(), t.zcr.tobytes(), t.peaks.tolist()) for t in expected.tracks
    ]
    # As many channels as samples is taken as channels last, unsaid.
    assert len(analyse(STEREO[:, :2], 8000, settings).tracks) == 2
    # Said outright, more channels than samples is what the caller means.
    assert len(analyse(STEREO, 8000, settings, layout="channels_last").tracks) == 4000


def test_a_mapping_of_settings_is_the_settings_it_names(tmp_path):
    path = write_wav(tmp_path / "x.wav", random_ints(2, 6000, 1), 2)
    for run in (lambda s: analyse(STEREO.T, 8000, s), lambda s: analyse_file(path, s)):
        by_mapping, by_settings = run({"win": 400, "hop_ms": 10}), run(Settings(win=400, hop_ms=10))
        assert (by_mapping.win, by_mapping.hop) == (400, 80)
        assert by_mapping.tracks[0].energy.tobytes() == by_settings.tracks[0].energy.tobytes()


def zero_positive_reference(signal, win, hop, centered):
    """Each frame of the padded signal, its pairs of which exactly one is below zero, over the window."""
    padded = np.concatenate((np.zeros(win // 2 if centered else 0), signal))
    count = max(0, fenwy.calc_num_frames(len(padded), win, hop))
    frames = [padded[f * hop : f * hop + win] for f in range(count)]
    return np.array([np.count_nonzero((x[:-1] < 0) != (x[1:] < 0)) / float(win) for x in frames])


@pytest.mark.parametrize("disabled", ["", "AVX2"], ids=["dispatched", "portable"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int16, np.int64, np.uint8, np.uint16])
def test_native_zero_positive_count_is_the_numpy_expression(disabled, dtype):
    # Zeros, negative zeros, NaN and infinities in runs longer than a vector, at every offset and stride.
    code = f"""
import numpy as np
from ostrel import _crossings
rng = np.random.default_rng(7)
values = rng.choice([-2.0, -0.0, 0.0, 1.0, np.nan, -np.inf, np.inf, -1e-300], size=1000)
if np.dtype({dtype.__name__!r}).kind != "f":
    values = np.nan_to_num(values, posinf=3, neginf=-3).astype(np.int64).astype({dtype.__name__!r})
else:
    values = values.astype({dtype.__name__!r})
for x in [values[start:] for start in range(9)] + [values[::3], values[::-1], values[:1], values[:0]]:
    assert _crossings.count(x) == int(np.count_nonzero((x[:-1] < 0) != (x[1:] < 0))), x
print("ok")
"""
    env = {**__import__("os").environ, "OSTREL_DISABLE_CPU_FEATURES": disabled}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")


# (signal length, window, hop, padding, extra frames past the end): frames
# shorter than a word of bits, straddling words, a word long, hops beyond
# the window, frames longer than the kernel's tile, padding longer than the
# signal, and lengths 0, 1 and 2.
NATIVE_FRAMINGS = [
    (300, 5, 3, 2, 1), (300, 63, 1, 0, 0), (300, 64, 64, 32, 2), (300, 65, 64, 0, 0), (300, 100, 37, 50, 1),
    (300, 10, 100, 5, 3), (300, 64, 200, 0, 1), (9000, 129, 50, 64, 0), (9000, 2048, 512, 1024, 0),
    (9000, 4097, 4097, 0, 1), (9000, 5000, 1000, 2500, 1), (3, 8, 2, 100, 2), (2, 2, 1, 0, 1), (2, 3, 1, 1, 0),
    (1, 2, 1, 0, 1), (1, 1, 1, 1, 0), (0, 4, 1, 0, 2), (0, 4, 2, 3, 0),
]


@pytest.mark.parametrize("disabled", ["", "AVX2"], ids=["dispatched", "portable"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int8, np.int16, np.int64, np.uint8])
def test_native_zero_positive_rates_are_the_numpy_expression_per_frame(disabled, dtype):
    # Each layout starts at another bit of a word: offsets, strides and a reversed view.
    code = f"""
import numpy as np
from ostrel import _crossings
rng = np.random.default_rng(5)
values = np.repeat(rng.choice([-2.0, -0.0, 0.0, 1.0, np.nan, -np.inf, np.inf], size=9100), rng.integers(1, 4, 9100))[:9100]
if np.dtype({dtype.__name__!r}).kind != "f":
    values = np.nan_to_num(values, posinf=3, neginf=-3).astype(np.int64).astype({dtype.__name__!r})
else:
    values = values.astype({dtype.__name__!r})
for length, win, hop, pad, extra in {NATIVE_FRAMINGS!r}:
    for x in (values[:length], values[1 : length + 1], values[3::3][:length], values[::-1][:length]):
        padded = np.concatenate((np.zeros(pad, x.dtype), x))
        frames = max(0, (len(padded) - win) // hop + 1 if len(padded) >= win else 1 if len(padded) else 0) + extra
        cut = [padded[f * hop : f * hop + win] for f in range(frames)]
        expected = np.array([np.count_nonzero((s[:-1] < 0) != (s[1:] < 0)) / float(win) for s in cut])
        out = np.full(frames, 7.0)
        _crossings.rates(x, win, hop, pad, out)
        assert out.tobytes() == expected.tobytes(), (length, win, hop, pad, x.strides, out, expected)
    x = values[: length + 2]
    assert _crossings.count(x) == int(np.count_nonzero((x[:-1] < 0) != (x[1:] < 0))), length
print("ok")
"""
    env = {**__import__("os").environ, "OSTREL_DISABLE_CPU_FEATURES": disabled}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")


@pytest.mark.parametrize("centered", [True, False], ids=["centred", "uncentred"])
@pytest.mark.parametrize(("length", "win", "hop"), FRAMINGS)
def test_zero_positive_rates_are_exact_whole_and_in_blocks(length, win, hop, centered):
    signal = noisy(length, seed=length + win)
    signal[::5] = -signal[::5]
    signal[3::11] = np.nan
    settings = Settings(win=win, hop=hop, centered=centered, threshold=0.0, zero_positive=True)
    expected = zero_positive_reference(signal, win, hop, centered)
    crossings = int(np.count_nonzero((signal[:-1] < 0) != (signal[1:] < 0)))
    for size in BLOCK_SIZES:
        result = analyse(through_one_buffer(pieces(signal, size)), 8000, settings)
        assert result.zcr.tobytes() == expected.tobytes()
        assert result.zero_crossings == crossings


ONLY_FLOAT64 = "rates() writes into a one-dimensional buffer of float64 only"
TOO_MANY_FRAMES = "rates(): too many frames for this hop"


@pytest.mark.parametrize(
    ("args", "kind", "message"),
    [
        ((np.zeros(8), 0, 2, 0, np.empty(3)), ValueError, "rates() needs a positive window, got 0"),
        ((np.zeros(8), 4, 0, 0, np.empty(3)), ValueError, "rates() needs a positive hop, got 0"),
        ((np.zeros(8), 4, 2, -1, np.empty(3)), ValueError, "rates() needs a padding of 0 or more, got -1"),
        ((np.zeros(8), 4, 2, 0, np.empty((3, 1))), TypeError, ONLY_FLOAT64),
        ((np.zeros(8), 4, 2, 0, np.empty(3, np.float32)), TypeError, ONLY_FLOAT64),
        ((np.zeros((2, 4)), 4, 2, 0, np.empty(3)), TypeError,
         "rates() takes a one-dimensional buffer of floats or integers, got format 'd' in 2 dimensions"),
        # Indices past the largest Py_ssize_t, the sum of the window, the
        # padding and the length among them (which itself must not overflow).
        ((np.array([1.0, -1.0, 1.0]), sys.maxsize, 1, sys.maxsize, np.zeros(2)), OverflowError, TOO_MANY_FRAMES),
        ((np.array([1.0, -1.0, 1.0]), sys.maxsize - 3, 1, 1, np.zeros(1)), OverflowError, TOO_MANY_FRAMES),
        ((np.array([1.0, -1.0, 1.0]), 1, sys.maxsize // 2, 0, np.zeros(3)), OverflowError, TOO_MANY_FRAMES),
    ],
    ids=["window-0", "hop-0", "padding-negative", "out-2d", "out-float32", "signal-2d",
         "window-and-padding-past-the-largest-index", "window-padding-and-length-one-past", "last-frame-start-past"],
)
def test_zero_positive_rates_refuse_what_they_cannot_fill_with_one_line(args, kind, message):
    from ostrel import _crossings

    with pytest.raises(kind) as raised:
        _crossings.rates(*args)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    ("win", "hop", "pad", "expected"),
    [(2, sys.maxsize // 2, 0, [0.5, 0.0]), (sys.maxsize - 4, 1, 1, [2 / (sys.maxsize - 4)])],
    ids=["last-frame-start-at-the-largest", "window-padding-and-length-at-the-largest"],
)
def test_zero_positive_rates_fill_frames_whose_indices_just_fit(win, hop, pad, expected):
    from ostrel import _crossings

    out = np.ones(len(expected))
    assert _crossings.rates(np.array([1.0, -1.0, 1.0]), win, hop, pad, out) is None
    assert out.tolist() == expected


def test_a_zero_positive_tone_crosses_twice_a_period():
    # 1 kHz at 48 kHz, as a 16-bit file holds it: every 24th sample is an exact zero.
    tone = np.round(np.sin(2 * np.pi * 1000 * np.arange(48000) / 48000) * 32767) / 32768
    plain = analyse(tone, 48000, Settings(centered=False, zero_positive=False))
    positive = analyse(tone, 48000, Settings(centered=False))
    # A zero breaks every crossing of the library's rule; counted as positive, as by default, two a period remain.
    assert (plain.zero_crossings, positive.zero_crossings) == (0, 1999)
    assert (plain.zcr.max(), positive.zcr[0] * 48000) == (0.0, 85 / 2048 * 48000)
    assert (plain.zero_positive, positive.zero_positive) == (False, True)
    assert (plain.to_json()[0]["zero_positive"], positive.to_json()[0]["zero_positive"]) == (False, True)


# Curves as the dB of energy gives them: plateaus, silence (-inf), NaN from a
# float file holding NaN, +inf from one holding infinities, peaks at the ends.
PROMINENCE_CURVES = {
    "valleys": [0, 5, 1, 3, 2, 4, 0, 6, 0],
    "silence-around": [-np.inf, -20, -10, -np.inf, -30, -25, -np.inf],
    "silence-one-side": [-5, -3, -8, -6, -np.inf, -4, -np.inf],
    "plateau-between": [0, 3, 2, 2, 3, 1, 4, 1],
    "nan-is-higher-ground": [0, 3, 1, np.nan, 1, 5, 2, np.nan, 0, 2, 1],
    "infinite-peak": [0, np.inf, 1, 3, 0, 2, 0],
    "random": np.random.default_rng(11).integers(0, 8, 400).astype(float).tolist(),
}


@pytest.mark.parametrize("curve", list(PROMINENCE_CURVES))
def test_prominence_is_scipys_on_the_same_curve(curve):
    signal = pytest.importorskip("scipy.signal")
    from ostrel.analysis.prominence import prominences

    values = np.array(PROMINENCE_CURVES[curve])
    peaks = np.asarray(fenwy.find_peaks(values), dtype=np.intp)
    with np.errstate(invalid="ignore"), __import__("warnings").catch_warnings():
        __import__("warnings").simplefilter("ignore")
        expected = signal.peak_prominences(values, peaks)[0]
    assert prominences(values, peaks).tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    ("keywords", "kept"),
    [
        # Prominences in dB: frame 2 rises 7, 5 rises 9, 8 rises 2 (to higher ground at 10), 10 rises 21,
        # 13 rises 20 (over silence on its left, down to -60 dB on its right).
        (dict(), [2, 5, 8, 10, 13]),
        # 0 dB, the least rise there is, keeps every peak.
        (dict(min_prominence_db=0), [2, 5, 8, 10, 13]),
        (dict(min_prominence_db=1.5), [2, 5, 8, 10, 13]),
        (dict(min_prominence_db=3), [2, 5, 10, 13]),
        (dict(min_prominence_db=8), [5, 10, 13]),
        # The threshold goes first: it drops 13, 40 dB below the strongest.
        (dict(threshold=0.2, min_prominence_db=3), [2, 5, 10]),
        # The gap goes last: of peaks closer than 4 frames only the stronger.
        (dict(min_prominence_db=3, min_gap_ms=40), [5, 10]),
    ],
)
def test_peaks_are_thresholded_then_kept_by_prominence_then_kept_apart(keywords, kept):
    levels = np.array([-20, -10, -3, -10, -9, 0, -9, -4, -2, -4, 1, -30, -np.inf, -40, -60])
    # Frames of one sample each (win = hop = 1, uncentred): a sample's square is its frame's energy.
    amplitudes = np.sqrt(10 ** (levels / 10.0))
    settings = Settings(win=1, hop=1, centered=False, **{"threshold": 0.0, **keywords})
    assert analyse(amplitudes, 100, settings).peaks.tolist() == kept
