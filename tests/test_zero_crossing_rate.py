
import numpy as np
import pytest

from tracebacks import SOURCE, message_of, records
ALTERNATING = [1.0, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0]


def rate_at(line):
    return (SOURCE, line, "ostrel.fenwy.calc_zc")


@pytest.mark.parametrize(
    "signal, win_len, hop_size, centered, expected",
    [
        (ALTERNATING, 4, 4, False, [0.75, 0.75]),
        # Two zeros in front; the last frame holds two samples, still over 4.
        (ALTERNATING, 4, 4, True, [0.25, 0.75, 0.25]),
        ([1.0, -1.0, 1.0, -1.0, 1.0], 3, 2, False, [2 / 3, 2 / 3]),
        ([1.0, -1.0, 1.0, -1.0, 1.0], 3, 2, True, [1 / 3, 2 / 3, 1 / 3]),
        # The last frame starts at the end and is empty.
        ([1.0, -1.0] * 5, 1, 5, False, [0.0, 0.0, 0.0]),
        ([1.0, -1.0] * 5, 2, 5, False, [0.5, 0.5, 0.0]),
        ([1.0, -1.0, 1.0], 1, 1, True, [0.0, 0.0, 0.0]),
        ([1.0, 0.0, -1.0, -2.0, 3.0], 2, 1, False, [0.0, 0.0, 0.0, 0.5]),
        ([1.0, -1.0], 4, 2, False, []),
        ([], 4, 2, True, []),
        # Too short for one frame: no frames rather than numpy's negative size.
        ([], 4, 1, False, []),
        ([], 4, 2, False, []),
        ([5.0], 3, 1, False, []),
    ],
)
def test_rate_values(fenwy, signal, win_len, hop_size, centered, expected):
    result = fenwy.calc_zc(np.array(signal, dtype=np.float64), win_len, hop_size, centered)
    assert type(result) is np.ndarray
    assert result.dtype == np.float64
    np.testing.assert_array_equal(result, np.array(expected, dtype=np.float64))


def test_centered_is_the_default_and_keywords_bind(fenwy):
    x = np.array(ALTERNATING)
    np.testing.assert_array_equal(fenwy.calc_zc(x, 4, 4), [0.25, 0.75, 0.25])
    np.testing.assert_array_equal(fenwy.calc_zc(centered=True, hop_size=4, win_len=4, x=x), [0.25, 0.75, 0.25])
    np.testing.assert_array_equal(fenwy.calc_zc(x, 4, 4, centered=False), [0.75, 0.75])


@pytest.mark.parametrize("centered", [0, "", None, [], False])
def test_false_centered_means_no_padding(fenwy, centered):
    np.testing.assert_array_equal(fenwy.calc_zc(np.array(ALTERNATING), 4, 4, centered), [0.75, 0.75])


@pytest.mark.parametrize("centered", [2, "yes", [0], True])
def test_true_centered_pads_the_front(fenwy, centered):
    np.testing.assert_array_equal(fenwy.calc_zc(np.array(ALTERNATING), 4, 4, centered), [0.25, 0.75, 0.25])


def test_integer_signal_counts_without_wrapping(fenwy):
    x = np.array([200, 200, 200, 200, -200, 200], dtype=np.int16)
    np.testing.assert_array_equal(fenwy.calc_zc(x, 3, 3, False), [0.0, 2 / 3])
    np.testing.assert_array_equal(fenwy.calc_zc(x, 3, 3, True), [0.0, 1 / 3, 0.0])


def test_signal_is_left_unchanged(fenwy):
    x = np.array([1, -1, 1, -1], dtype=np.int64)
    before = x.copy()
    for centered in (True, False):
        result = fenwy.calc_zc(x, 2, 1, centered)
        assert not np.shares_memory(result, x)
    np.testing.assert_array_equal(x, before)


def test_list_signal_works_when_padded(fenwy):
    np.testing.assert_array_equal(fenwy.calc_zc([1, -1, 1, -1], 2, 2), [0.0, 0.5, 0.0])


def test_list_signal_fails_in_the_count_when_not_padded(fenwy):
    with pytest.raises(TypeError) as info:
        fenwy.calc_zc([1, -1, 1, -1], 2, 2, False)
    assert str(info.value) == "can't multiply sequence by non-int of type 'list'"
    assert records(info.value) == [rate_at(71), (SOURCE, 87, "ostrel.fenwy.num_zerocrossings")]


@pytest.mark.parametrize(
    "x, win_len, hop_size, centered, error, message, expected",
    [
        # Every frame is empty, and 0 / 0.0 fails.
        (np.ones(3), 0, 1, False, ZeroDivisionError, message_of(lambda: 0 / float(0)), [rate_at(71)]),
        (np.ones(3), 0, 1, True, ZeroDivisionError, message_of(lambda: 0 / float(0)), [rate_at(71)]),
        (
            np.ones(3),
            2,
            0,
            True,
            ZeroDivisionError,
            "division by zero",
            [rate_at(63), (SOURCE, 14, "ostrel.fenwy.calc_num_frames")],
        ),
        (
            None,
            2,
            1,
            np.array([1, 2]),
            ValueError,
            "The truth value of an array with more than one element is ambiguous. Use a.any() or a.all()",
            [rate_at(59)],
        ),
        (np.ones(3), "2", 1, True, TypeError, "unsupported operand type(s) for //: 'str' and 'int'", [rate_at(60)]),
        (7, 2, 1, False, TypeError, "object of type 'int' has no len()", [rate_at(63)]),
        ({1.0, -1.0, 2.0}, 2, 1, False, TypeError, "'set' object is unsliceable", [rate_at(70)]),
        # A float window gets as far as the slice bounds.
        (
            np.ones(3),
            2.0,
            1,
            False,
            TypeError,
            message_of(lambda: np.ones(3)[0:2.0]),
            [rate_at(70)],
        ),
    ],
)
def test_failures(fenwy, x, win_len, hop_size, centered, error, message, expected):
    with pytest.raises(error) as info:
        fenwy.calc_zc(x, win_len, hop_size, centered)
    assert str(info.value) == message
    assert records(info.value) == expected


def test_count_is_not_called_without_frames(fenwy, restore_globals):
    def refuse(win):
        raise AssertionError("called")

    restore_globals["num_zerocrossings"] = refuse
    np.testing.assert_array_equal(fenwy.calc_zc(np.array([1.0, -1.0]), 4, 2, False), np.empty(0))


@pytest.mark.parametrize("win_len, expected", [(3, [1 / 3, 1 / 3, 1 / 3]), (4, [0.25, 0.25]), (8, [0.125])])
def test_replaced_count_is_divided_by_the_window(fenwy, restore_globals, win_len, expected):
    restore_globals["num_zerocrossings"] = lambda win: 1
    np.testing.assert_array_equal(fenwy.calc_zc(np.zeros(8), win_len, 4, False), expected)


def test_replaced_count_sees_every_frame(fenwy, restore_globals):
    frames = []

    def count(win):
        frames.append(win.tolist())
        return len(frames)

    restore_globals["num_zerocrossings"] = count
    result = fenwy.calc_zc(np.arange(1.0, 6.0), 2, 2, True)
    assert frames == [[0.0, 1.0], [2.0, 3.0], [4.0, 5.0]]
    np.testing.assert_array_equal(result, [0.5, 1.0, 1.5])


def test_failure_in_the_count_keeps_both_entries(fenwy, restore_globals):
    namespace = restore_globals

    class VanishingNumpy:
        # Gone from the module once the result array is allocated.
        def __getattr__(self, name):
            if name == "empty":
                del namespace["np"]
            return getattr(np, name)

    namespace["np"] = VanishingNumpy()
    with pytest.raises(NameError) as info:
        fenwy.calc_zc(np.array([1.0, -1.0]), 2, 2, False)
    assert str(info.value) == "name 'np' is not defined"
    assert records(info.value) == [rate_at(71), (SOURCE, 87, "ostrel.fenwy.num_zerocrossings")]


def test_count_missing(fenwy, restore_globals):
    del restore_globals["num_zerocrossings"]
    with pytest.raises(NameError) as info:
        fenwy.calc_zc(np.ones(4), 2, 2, False)
    assert str(info.value) == "name 'num_zerocrossings' is not defined"
    assert records(info.value) == [rate_at(71)]


@pytest.mark.parametrize(
    "frames, error, message",
    [
        (-2, ValueError, "negative dimensions are not allowed"),
        ("3", TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_bad_frame_count_fails_at_the_allocation(fenwy, restore_globals, frames, error, message):
    restore_globals["calc_num_frames"] = lambda x_len, win_len, hop_size: frames
    with pytest.raises(error) as info:
        fenwy.calc_zc(np.ones(4), 2, 2)
    assert str(info.value) == message
    assert records(info.value) == [rate_at(66)]


@pytest.mark.parametrize(
    "args, message",
    [
        ((np.ones(2), 2), "calc_zc() takes at least 3 positional arguments (2 given)"),
        ((np.ones(2), 2, 2, True, 1), "calc_zc() takes at most 4 positional arguments (5 given)"),
    ],
)
def test_binding_failures_record_the_def_line(fenwy, args, message):
    with pytest.raises(TypeError) as info:
        fenwy.calc_zc(*args)
    assert str(info.value) == message
    assert records(info.value) == [rate_at(46)]
