import traceback

import numpy as np
import pytest

from tracebacks import SOURCE, records


def energy_at(line):
    return (SOURCE, line, "ostrel.fenwy.calc_energy")


FRAMES_AT_14 = (SOURCE, 14, "ostrel.fenwy.calc_num_frames")


@pytest.mark.parametrize(
    "signal, win_len, hop_size, centered, expected",
    [
        ([1.0, 2.0, 3.0, 4.0], 2, 2, False, [2.5, 12.5]),
        # One zero in front; the last frame holds one sample and is still halved.
        ([1.0, 2.0, 3.0, 4.0], 2, 2, True, [0.5, 6.5, 8.0]),
        # The third frame starts past the end and is empty.
        (np.arange(1.0, 11.0), 2, 5, False, [2.5, 42.5, 0.0]),
        ([3.0, -4.0, 0.0, 2.0, 1.0], 3, 1, False, [25 / 3, 20 / 3, 5 / 3]),
        ([3.0, -4.0, 0.0, 2.0, 1.0], 3, 1, True, [25 / 3, 25 / 3, 20 / 3, 5 / 3]),
        # Odd window: two zeros in front of the signal.
        ([1.0, 1.0, 1.0], 5, 2, True, [0.6]),
        # Hop larger than the window skips samples.
        ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0], 2, 3, False, [2.5, 20.5, 24.5]),
        ([], 4, 2, True, []),
        # Too short for one frame: no frames rather than numpy's negative size.
        ([], 4, 2, False, []),
        ([], 4, 1, False, []),
        ([1.0], 4, 1, False, []),
        ([1.0, 2.0], 4, 2, False, []),
    ],
)
def test_energy_values(fenwy, signal, win_len, hop_size, centered, expected):
    x = np.array(signal, dtype=np.float64)
    result = fenwy.calc_energy(x, win_len, hop_size, centered)
    assert type(result) is np.ndarray
    assert result.dtype == np.float64
    np.testing.assert_array_equal(result, np.array(expected, dtype=np.float64))


def test_centered_is_the_default_and_keywords_bind(fenwy):
    x = np.array([1.0, 2.0, 3.0, 4.0])
    expected = np.array([0.5, 6.5, 8.0])
    np.testing.assert_array_equal(fenwy.calc_energy(x, 2, 2), expected)
    np.testing.assert_array_equal(fenwy.calc_energy(hop_size=2, x=x, win_len=2), expected)
    np.testing.assert_array_equal(fenwy.calc_energy(x, 2, 2, centered=False), [2.5, 12.5])


@pytest.mark.parametrize("centered", [0, 0.0, "", None, [], (), False])
def test_false_centered_means_no_padding(fenwy, centered):
    x = np.array([1.0, 2.0, 3.0, 4.0])
    np.testing.assert_array_equal(fenwy.calc_energy(x, 2, 2, centered), [2.5, 12.5])


@pytest.mark.parametrize("centered", [2, -1, "no", [0], (None,), np.array([1]), True])
def test_true_centered_pads_the_front(fenwy, centered):
    x = np.array([1.0, 2.0, 3.0, 4.0])
    np.testing.assert_array_equal(fenwy.calc_energy(x, 2, 2, centered), [0.5, 6.5, 8.0])


@pytest.mark.parametrize("centered", [True, False])
def test_signal_is_left_unchanged(fenwy, centered):
    x = np.array([3.0, -1.0, 2.0, 5.0, -4.0])
    before = x.copy()
    result = fenwy.calc_energy(x, 2, 1, centered)
    np.testing.assert_array_equal(x, before)
    assert not np.shares_memory(result, x)


@pytest.mark.parametrize(
    "signal, dtype, win_len, hop_size, expected",
    [
        # Squares that would wrap in the signal's own integer type.
        ([30000, 30000], np.int16, 2, 2, [900000000.0]),
        ([-30000, 20000, 100], np.int16, 2, 1, [650000000.0, 200005000.0]),
        ([16, 16], np.uint8, 2, 2, [256.0]),
        ([255, 0, 255], np.uint8, 1, 1, [65025.0, 0.0, 65025.0]),
        ([100, -100], np.int8, 2, 2, [10000.0]),
        ([50000, 50000], np.int32, 1, 1, [2500000000.0, 2500000000.0]),
        ([2**32], np.int64, 1, 1, [2.0**64]),
        ([3037000500, -3037000500], np.int64, 2, 2, [float(3037000500) ** 2]),
        ([2**40, 2**40], np.uint64, 2, 2, [2.0**80]),
    ],
)
def test_integer_arrays_square_in_float64(fenwy, signal, dtype, win_len, hop_size, expected):
    x = np.array(signal, dtype=dtype)
    result = fenwy.calc_energy(x, win_len, hop_size, False)
    assert result.dtype == np.float64
    np.testing.assert_array_equal(result, np.array(expected))


def test_integer_array_subclass_squares_in_float64(fenwy):
    class Samples(np.ndarray):
        pass

    x = np.array([30000, -30000], dtype=np.int16).view(Samples)
    np.testing.assert_array_equal(fenwy.calc_energy(x, 2, 2, False), [900000000.0])


def test_float32_frames_square_in_their_own_type(fenwy):
    # 1e20 squared overflows float32; the promotion is for integers only.
    x = np.array([1e20, 1.0], dtype=np.float32)
    with np.errstate(over="ignore"):
        result = fenwy.calc_energy(x, 1, 1, False)
    np.testing.assert_array_equal(result, [np.inf, 1.0])


def test_bool_frames_multiply_logically(fenwy):
    # True * True stays a bool, and the sum counts the true samples.
    x = np.array([True, True, False, True])
    np.testing.assert_array_equal(fenwy.calc_energy(x, 3, 3, False), [2 / 3, 1 / 3])


def test_complex_frames_square_as_complex(fenwy):
    # 1j * 1j is -1: squared, not the magnitude; storing drops the imaginary part.
    x = np.array([1j, 1j, 2 + 1j])
    # numpy moved its warning classes to numpy.exceptions in 1.25.
    with pytest.warns(getattr(np, "exceptions", np).ComplexWarning):
        result = fenwy.calc_energy(x, 2, 2, False)
    np.testing.assert_array_equal(result, [-1.0, 1.5])


def test_zero_hop_fails_inside_the_frame_count(fenwy):
    with pytest.raises(ZeroDivisionError, match="^division by zero$") as info:
        fenwy.calc_energy(np.ones(4), 2, 0)
    assert records(info.value) == [energy_at(34), FRAMES_AT_14]


class Sized:
    def __len__(self):
        return 4


@pytest.mark.parametrize(
    "x, centered, error, message, line",
    [
        (5, False, TypeError, "object of type 'int' has no len()", 34),
        (None, False, TypeError, "object of type 'NoneType' has no len()", 34),
        (Sized(), False, TypeError, "'Sized' object is unsliceable", 41),
        ({1.0, 2.0, 3.0}, False, TypeError, "'set' object is unsliceable", 41),
        # A list is sliced like any sequence; squaring the frame is what fails.
        ([1.0, 2.0, 3.0], False, TypeError, "can't multiply sequence by non-int of type 'list'", 42),
        ((1.0, 2.0, 3.0), False, TypeError, "can't multiply sequence by non-int of type 'tuple'", 42),
        ("abcd", False, TypeError, "can't multiply sequence by non-int of type 'str'", 42),
    ],
)
def test_signal_failures(fenwy, x, centered, error, message, line):
    with pytest.raises(error) as info:
        fenwy.calc_energy(x, 2, 2, centered)
    assert str(info.value) == message
    assert records(info.value) == [energy_at(line)]


def test_list_signal_works_when_padded(fenwy):
    # The concatenation turns the list into a float array first.
    np.testing.assert_array_equal(fenwy.calc_energy([1, 2, 3, 4], 2, 2, True), [0.5, 6.5, 8.0])


def test_window_that_cannot_be_halved_fails_in_the_padding(fenwy):
    with pytest.raises(TypeError, match=r"^unsupported operand type\(s\) for //: 'str' and 'int'$") as info:
        fenwy.calc_energy(np.ones(4), "2", 2, True)
    assert records(info.value) == [energy_at(31)]


def test_ambiguous_centered_fails_first(fenwy):
    with pytest.raises(ValueError, match="truth value of an array with more than one element") as info:
        fenwy.calc_energy(None, None, None, np.array([1, 2]))
    assert records(info.value) == [energy_at(30)]


@pytest.mark.parametrize(
    "frames, error, message",
    [
        (-1, ValueError, "negative dimensions are not allowed"),
        (2.5, TypeError, "expected a sequence of integers or a single integer, got '2.5'"),
    ],
)
def test_bad_frame_count_fails_at_the_allocation(fenwy, restore_globals, frames, error, message):
    restore_globals["calc_num_frames"] = lambda x_len, win_len, hop_size: frames
    with pytest.raises(error) as info:
        fenwy.calc_energy(np.ones(4), 2, 2)
    assert str(info.value) == message
    assert records(info.value) == [energy_at(37)]


def test_frame_count_missing(fenwy, restore_globals):
    del restore_globals["calc_num_frames"]
    with pytest.raises(NameError, match="^name 'calc_num_frames' is not defined$") as info:
        fenwy.calc_energy(np.ones(4), 2, 2)
    assert records(info.value) == [energy_at(34)]


def test_failure_in_a_replacement_frame_count_keeps_its_own_entry(fenwy, restore_globals):
    def frames(x_len, win_len, hop_size):
        raise LookupError("no frames")

    restore_globals["calc_num_frames"] = frames
    with pytest.raises(LookupError, match="^no frames$") as info:
        fenwy.calc_energy(np.ones(4), 2, 2)
    assert records(info.value) == [energy_at(34)]
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "frames"


@pytest.mark.parametrize(
    "args, message",
    [
        ((np.ones(2), 2), "calc_energy() takes at least 3 positional arguments (2 given)"),
        ((np.ones(2), 2, 2, True, 1), "calc_energy() takes at most 4 positional arguments (5 given)"),
    ],
)
def test_binding_failures_record_the_def_line(fenwy, args, message):
    with pytest.raises(TypeError) as info:
        fenwy.calc_energy(*args)
    assert str(info.value) == message
    assert records(info.value) == [energy_at(18)]


def test_replaced_defaults_do_not_change_centered(fenwy):
    saved = fenwy.calc_energy.__defaults__
    try:
        fenwy.calc_energy.__defaults__ = (False,)
        np.testing.assert_array_equal(fenwy.calc_energy(np.array([1.0, 2.0, 3.0, 4.0]), 2, 2), [0.5, 6.5, 8.0])
    finally:
        fenwy.calc_energy.__defaults__ = saved
