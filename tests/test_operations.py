import collections
import types
from fractions import Fraction

import numpy as np
import pytest

from tracebacks import SOURCE, records


class Stop(Exception):
    """Ends a call once the value of interest has been seen."""


# --- floor division by 2, seen as the argument of np.zeros -------------------


class PaddingProbe:
    """Stands in for numpy: records the padding length, pads nothing."""

    def __init__(self):
        self.halves = []

    def zeros(self, half):
        self.halves.append(half)
        return np.zeros(0)

    def concatenate(self, parts):
        return np.concatenate(parts)

    def empty(self, count):
        return np.empty(count)


@pytest.mark.parametrize("function", ["calc_energy", "calc_zc"])
@pytest.mark.parametrize(
    "win_len, expected",
    [
        (7, 3),
        (-7, -4),
        (-1, -1),
        (0, 0),
        (1, 0),
        (2, 1),
        (2**30, 2**29),
        (2**60 - 1, 2**59 - 1),
        (-(2**60) + 1, -(2**59)),
        (2**60, 2**59),
        (-(2**60), -(2**59)),
        (-(2**60) - 1, -(2**59) - 1),
        (2**61 + 1, 2**60),
        (-(2**61) - 1, -(2**60) - 1),
        (2**100 + 1, 2**99),
        (-(2**100) - 1, -(2**99) - 1),
        (True, 0),
        (7.0, 3.0),
        (-7.5, -4.0),
        (np.int64(7), np.int64(3)),
        (np.int64(-7), np.int64(-4)),
        (np.float64(-1.0), np.float64(-1.0)),
        (Fraction(7, 2), 1),
    ],
)
def test_floor_division_by_two(fenwy, restore_globals, function, win_len, expected):
    probe = PaddingProbe()
    restore_globals["np"] = probe
    restore_globals["calc_num_frames"] = lambda x_len, w, h: 0
    result = getattr(fenwy, function)(np.ones(3), win_len, 1)
    assert result.shape == (0,)
    assert len(probe.halves) == 1
    half = probe.halves[0]
    assert type(half) is type(expected)
    assert half == expected


# --- addition of 1, seen through np.nonzero(...)[0] + 1 ----------------------


class NonzeroProbe:
    """Stands in for numpy, with a chosen result for nonzero."""

    def __init__(self, positions):
        self.positions = positions

    def logical_and(self, left, right):
        return np.logical_and(left, right)

    def nonzero(self, mask):
        return self.positions


class IntLike(int):
    pass


class FloatLike(float):
    pass


@pytest.mark.parametrize(
    "positions, expected",
    [
        ((0,), 1),
        ((-1,), 0),
        ((-2,), -1),
        ((41,), 42),
        ((2**60 - 2,), 2**60 - 1),
        ((2**60 - 1,), 2**60),
        ((-(2**60) + 1,), -(2**60) + 2),
        ((-(2**60),), -(2**60) + 1),
        ((2**62,), 2**62 + 1),
        ((2**100,), 2**100 + 1),
        ((-(2**100),), -(2**100) + 1),
        ((True,), 2),
        ((IntLike(4),), 5),
        ((2.5,), 3.5),
        ((-1.0,), 0.0),
        ((FloatLike(0.25),), 1.25),
        ((np.int64(4),), np.int64(5)),
        # numpy 2 keeps float32 here, numpy 1.x promotes to float64: numpy decides.
        ((np.float32(0.5),), np.float32(0.5) + 1),
        ((Fraction(1, 3),), Fraction(4, 3)),
        ([7, 8], 8),
        ({0: 9}, 10),
        (collections.deque([6]), 7),
    ],
)
def test_addition_of_one(fenwy, restore_globals, positions, expected):
    restore_globals["np"] = NonzeroProbe(positions)
    result = fenwy.find_peaks(np.array([0.0, 1.0, 0.0]))
    assert type(result) is type(expected)
    assert result == expected


def test_addition_of_one_to_an_index_array(fenwy, restore_globals):
    restore_globals["np"] = NonzeroProbe((np.array([3, 4], dtype=np.int16),))
    result = fenwy.find_peaks(np.array([0.0, 1.0, 0.0]))
    assert result.dtype == np.int16
    np.testing.assert_array_equal(result, [4, 5])


@pytest.mark.parametrize(
    "positions, error, message",
    [
        ([], IndexError, "list index out of range"),
        ((), IndexError, "tuple index out of range"),
        ({}, KeyError, "0"),
        (5, TypeError, "'int' object is not subscriptable"),
        (("ab",), TypeError, 'can only concatenate str (not "int") to str'),
        ((None,), TypeError, "unsupported operand type(s) for +: 'NoneType' and 'int'"),
    ],
)
def test_first_index_failures(fenwy, restore_globals, positions, error, message):
    restore_globals["np"] = NonzeroProbe(positions)
    with pytest.raises(error) as info:
        fenwy.find_peaks(np.array([0.0, 1.0, 0.0]))
    assert str(info.value) == message
    assert records(info.value) == [(SOURCE, 112, "ostrel.fenwy.find_peaks")]


# --- conversion of win_len to float, seen in calc_zc's division --------------


class AnyBounds:
    """A hop size whose products and sums accept any window length."""

    def __rmul__(self, other):
        return self

    def __add__(self, other):
        return self


class OneFrame:
    """A signal whose every frame holds one crossing, whatever the bounds."""

    def __len__(self):
        return 2

    def __getitem__(self, key):
        return np.array([1.0, -1.0])


class IndexOnly:
    def __index__(self):
        return 8


class FloatOnly:
    def __float__(self):
        return 0.125


FLOAT_TEXTS = [
    "1_000.5",
    "  -inf  ",
    "\t+Infinity\n",
    "nAn",
    "-NaN",
    "iNF",
    "-1e3",
    "1_0",
    "1e1_0",
    ".5",
    "5.",
    "010",
    " 2.5e-3 ",
    "\u0661\u0662",  # Arabic-Indic digits 1 and 2
    b"2.5",
    b" -4 ",
    bytearray(b"4"),
]


@pytest.mark.parametrize(
    "win_len",
    FLOAT_TEXTS
    + [7.25, -3, 3, 10**20, 2**53 + 1, np.int64(4), np.float32(0.1), Fraction(1, 3), True, IntLike(6)]
    + [IndexOnly(), FloatOnly()],
)
def test_float_conversion_of_the_window(fenwy, restore_globals, win_len):
    restore_globals["calc_num_frames"] = lambda x_len, w, h: 1
    result = fenwy.calc_zc(OneFrame(), win_len, AnyBounds(), False)
    expected = np.array([1 / float(win_len)])
    np.testing.assert_array_equal(result, expected)
    assert np.signbit(result[0]) == np.signbit(expected[0])


@pytest.mark.parametrize(
    "win_len",
    ["1__0", "_1", "1_", "1._5", "", "   ", "inf_", "in f", "1e", "0x10", "1,5", b"x", bytearray(b""), 10**400, -(10**400)]
    + [None, 2j, [1.0], object()],
)
def test_float_conversion_failures(fenwy, restore_globals, win_len):
    with pytest.raises(Exception) as reference:
        float(win_len)
    restore_globals["calc_num_frames"] = lambda x_len, w, h: 1
    with pytest.raises(type(reference.value)) as info:
        fenwy.calc_zc(OneFrame(), win_len, AnyBounds(), False)
    assert type(info.value) is type(reference.value)
    assert str(info.value) == str(reference.value)
    assert records(info.value) == [(SOURCE, 71, "ostrel.fenwy.calc_zc")]


def test_float_conversion_of_a_huge_int_is_an_overflow(fenwy, restore_globals):
    restore_globals["calc_num_frames"] = lambda x_len, w, h: 1
    with pytest.raises(OverflowError) as info:
        fenwy.calc_zc(np.array([1.0, -1.0, 1.0]), 10**400, 1, False)
    assert str(info.value) == "int too large to convert to float"
    assert records(info.value) == [(SOURCE, 71, "ostrel.fenwy.calc_zc")]


def test_window_is_converted_once_per_frame(fenwy, restore_globals):
    conversions = []

    class Counted:
        def __float__(self):
            conversions.append(len(conversions))
            return 4.0

    restore_globals["calc_num_frames"] = lambda x_len, w, h: 3
    result = fenwy.calc_zc(OneFrame(), Counted(), AnyBounds(), False)
    np.testing.assert_array_equal(result, [0.25, 0.25, 0.25])
    assert conversions == [0, 1, 2]


# --- truth tests ---------------------------------------------------------------


class Truth:
    def __init__(self, value):
        self.value = value
        self.asked = 0

    def __bool__(self):
        self.asked += 1
        return self.value


class Empty:
    def __len__(self):
        return 0


class Refusing:
    def __bool__(self):
        raise LookupError("no truth")


PADDING_CALLS = {
    # the call with the flag last, its result when the flag is true, when false
    "calc_energy": (lambda f, flag: f.calc_energy(np.array([1.0, 2.0, 3.0, 4.0]), 2, 2, flag), [0.5, 6.5, 8.0], [2.5, 12.5]),
    "calc_zc": (lambda f, flag: f.calc_zc(np.array([1.0, -1.0, 1.0, -1.0]), 2, 2, flag), [0.0, 0.5, 0.0], [0.5, 0.5]),
    # A true threshold of 0.8 keeps the peak of value 4 only.
    "find_peaks": (lambda f, flag: f.find_peaks(np.array([0.0, 3.0, 0.0, 4.0, 0.0]), flag), [3], [1, 3]),
}

FALSE_FLAGS = [False, None, 0, 0.0, "", [], (), Empty(), np.array([0]), np.float64(0.0), np.bool_(False)]


@pytest.mark.parametrize("function", ["calc_energy", "calc_zc"])
@pytest.mark.parametrize(
    "flag, truth",
    [(flag, False) for flag in FALSE_FLAGS]
    + [(True, True), (2, True), (-1, True), ("0", True), ([0], True), (np.array([1]), True), (np.bool_(True), True)],
)
def test_truth_of_centered(fenwy, function, flag, truth):
    call, when_true, when_false = PADDING_CALLS[function]
    np.testing.assert_array_equal(call(fenwy, flag), when_true if truth else when_false)


@pytest.mark.parametrize(
    "flag, truth",
    [(flag, False) for flag in FALSE_FLAGS]
    + [(0.8, True), (np.float64(0.8), True), (np.array([0.8]), True), (Fraction(4, 5), True)],
)
def test_truth_of_thresh(fenwy, flag, truth):
    call, when_true, when_false = PADDING_CALLS["find_peaks"]
    np.testing.assert_array_equal(call(fenwy, flag), when_true if truth else when_false)


@pytest.mark.parametrize("function", sorted(PADDING_CALLS))
@pytest.mark.parametrize("value", [True, False])
def test_truth_is_asked_once(fenwy, function, value):
    call, when_true, when_false = PADDING_CALLS[function]
    flag = Truth(value)
    if function == "find_peaks" and value:
        # A true threshold also multiplies, which Truth cannot.
        with pytest.raises(TypeError) as info:
            call(fenwy, flag)
        assert str(info.value) == "unsupported operand type(s) for *: 'float' and 'Truth'"
        assert records(info.value) == [(SOURCE, 107, "ostrel.fenwy.find_peaks")]
    else:
        np.testing.assert_array_equal(call(fenwy, flag), when_true if value else when_false)
    assert flag.asked == 1


@pytest.mark.parametrize(
    "function, line",
    [("calc_energy", (SOURCE, 30, "ostrel.fenwy.calc_energy")),
     ("calc_zc", (SOURCE, 59, "ostrel.fenwy.calc_zc")),
     ("find_peaks", (SOURCE, 105, "ostrel.fenwy.find_peaks"))],
)
@pytest.mark.parametrize(
    "flag, error, message",
    [
        (Refusing(), LookupError, "no truth"),
        (
            np.array([1, 1]),
            ValueError,
            "The truth value of an array with more than one element is ambiguous. Use a.any() or a.all()",
        ),
        # Older numpy only warns about the truth of an empty array.
        pytest.param(
            np.array([]),
            ValueError,
            "The truth value of an empty array is ambiguous. Use `array.size > 0` to check that an array is not empty.",
            marks=pytest.mark.skipif(
                np.lib.NumpyVersion(np.__version__) < "2.2.0", reason="numpy < 2.2 does not raise here"
            ),
        ),
    ],
)
def test_truth_failures(fenwy, function, line, flag, error, message):
    call = PADDING_CALLS[function][0]
    with pytest.raises(error) as info:
        call(fenwy, flag)
    assert str(info.value) == message
    assert records(info.value) == [line]


# --- slicing -----------------------------------------------------------------


@pytest.mark.parametrize("kind", [list, tuple, range, str])
def test_frames_of_sequences_are_sliced_normally(fenwy, restore_globals, kind):
    frames = []
    restore_globals["num_zerocrossings"] = lambda win: frames.append(win) or 0
    signal = {list: list(range(10)), tuple: tuple(range(10)), range: range(10), str: "abcdefghij"}[kind]
    fenwy.calc_zc(signal, 4, 3, False)
    assert frames == [signal[0:4], signal[3:7], signal[6:10]]
    assert all(type(frame) is kind for frame in frames)


class Element:
    """Records how the list comparisons reach the samples."""

    def __init__(self, index, log):
        self.index = index
        self.log = log

    def __eq__(self, other):
        self.log.append(("==", self.index, other.index))
        return False

    def __lt__(self, other):
        self.log.append(("<", self.index, other.index))
        return True

    def __gt__(self, other):
        self.log.append((">", self.index, other.index))
        return False

    __hash__ = object.__hash__


class MaskProbe:
    def __init__(self):
        self.masks = []

    def logical_and(self, left, right):
        self.masks.append((left, right))
        raise Stop


@pytest.mark.parametrize("kind", [list, tuple])
def test_peak_slices_of_sequences(fenwy, restore_globals, kind):
    log = []
    probe = MaskProbe()
    restore_globals["np"] = probe
    x = kind(Element(index, log) for index in range(4))
    with pytest.raises(Stop) as info:
        fenwy.find_peaks(x)
    # x[:-2] < x[1:-1] first, then x[1:-1] > x[2:].
    assert log == [("==", 0, 1), ("<", 0, 1), ("==", 1, 2), (">", 1, 2)]
    assert probe.masks == [(True, False)]
    assert records(info.value) == [(SOURCE, 102, "ostrel.fenwy.find_peaks")]


@pytest.mark.parametrize(
    "call, message, line",
    [
        (lambda f: f.find_peaks(5), "'int' object is unsliceable", (SOURCE, 98, "ostrel.fenwy.find_peaks")),
        (lambda f: f.find_peaks(None), "'NoneType' object is unsliceable", (SOURCE, 98, "ostrel.fenwy.find_peaks")),
        (
            lambda f: f.find_peaks(collections.deque([0, 1, 0])),
            "'collections.deque' object is unsliceable",
            (SOURCE, 98, "ostrel.fenwy.find_peaks"),
        ),
        (
            lambda f: f.num_zerocrossings({1, -1, 2}),
            "'set' object is unsliceable",
            (SOURCE, 85, "ostrel.fenwy.num_zerocrossings"),
        ),
        (
            lambda f: f.calc_energy(frozenset({1.0, 2.0}), 1, 1, False),
            "'frozenset' object is unsliceable",
            (SOURCE, 41, "ostrel.fenwy.calc_energy"),
        ),
        (
            lambda f: f.calc_zc(collections.deque([1.0, -1.0]), 2, 1, False),
            "'collections.deque' object is unsliceable",
            (SOURCE, 70, "ostrel.fenwy.calc_zc"),
        ),
    ],
)
def test_unsliceable(fenwy, call, message, line):
    with pytest.raises(TypeError) as info:
        call(fenwy)
    assert str(info.value) == message
    assert records(info.value) == [line]


# --- item access with the mask as key, on a sequence-only object -------------


class SequenceSlices:
    """A signal whose inner slice is a deque (item access, no subscript slot)."""

    def __init__(self):
        self.parts = [collections.deque([0]), collections.deque([5, 6, 7]), collections.deque([0])]

    def __getitem__(self, key):
        return self.parts.pop(0)


class KeyProbe:
    """Stands in for numpy: the mask is a chosen key; max reports its argument."""

    def __init__(self, key):
        self.key = key
        self.maxima = []

    def logical_and(self, left, right):
        return self.key

    def max(self, values):
        self.maxima.append(values)
        raise Stop


@pytest.mark.parametrize(
    "key, expected",
    [(0, 5), (2, 7), (-1, 7), (-3, 5), (True, 6), (np.int64(1), 6), (np.intp(-2), 6), (IntLike(2), 7), (IndexOnly(), None)],
)
def test_item_access_through_the_sequence_slot(fenwy, restore_globals, key, expected):
    probe = KeyProbe(key)
    restore_globals["np"] = probe
    if expected is None:
        # Index 8 is beyond the deque.
        with pytest.raises(IndexError) as info:
            fenwy.find_peaks(SequenceSlices(), 1)
        assert str(info.value) == "deque index out of range"
        assert records(info.value) == [(SOURCE, 103, "ostrel.fenwy.find_peaks")]
        return
    with pytest.raises(Stop) as info:
        fenwy.find_peaks(SequenceSlices(), 1)
    assert probe.maxima == [expected]
    assert records(info.value) == [(SOURCE, 107, "ostrel.fenwy.find_peaks")]


@pytest.mark.parametrize(
    "key, error, message",
    [
        (3, IndexError, "deque index out of range"),
        (-4, IndexError, "deque index out of range"),
        (2**70, IndexError, "cannot fit 'int' into an index-sized integer"),
        (-(2**70), IndexError, "cannot fit 'int' into an index-sized integer"),
        (np.uint64(2**64 - 1), IndexError, "cannot fit 'numpy.uint64' into an index-sized integer"),
        (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
        (np.array([True, False, True]), TypeError, "only integer scalar arrays can be converted to a scalar index"),
        ("0", TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_item_access_failures_through_the_sequence_slot(fenwy, restore_globals, key, error, message):
    restore_globals["np"] = KeyProbe(key)
    with pytest.raises(error) as info:
        fenwy.find_peaks(SequenceSlices())
    assert str(info.value) == message
    assert records(info.value) == [(SOURCE, 103, "ostrel.fenwy.find_peaks")]


# --- calls of one-argument built-in functions ----------------------------------


@pytest.mark.parametrize(
    "count_nonzero, expected",
    [
        (len, 3),
        (repr, "array([ True, False, False])"),
        # Python's sum over numpy booleans: numpy's default integer on any platform.
        (sum, sum(np.array([True, False, False]))),
        (any, True),
        (sorted, [False, False, True]),
    ],
)
def test_builtin_count_function(fenwy, restore_globals, count_nonzero, expected):
    restore_globals["np"] = types.SimpleNamespace(count_nonzero=count_nonzero)
    result = fenwy.num_zerocrossings(np.array([1.0, -1.0, -1.0, 0.0]))
    assert type(result) is type(expected)
    if isinstance(result, list):
        assert [bool(item) for item in result] == expected
    else:
        assert result == expected


def test_bound_builtin_method_gets_its_object(fenwy, restore_globals):
    seen = []
    restore_globals["np"] = types.SimpleNamespace(count_nonzero=seen.append)
    assert fenwy.num_zerocrossings(np.array([1.0, -1.0])) is None
    assert len(seen) == 1
    np.testing.assert_array_equal(seen[0], [True])


def test_builtin_count_failure_propagates(fenwy, restore_globals):
    restore_globals["np"] = types.SimpleNamespace(count_nonzero=abs)
    result = fenwy.num_zerocrossings(np.array([1.0, -1.0, 1.0]))
    np.testing.assert_array_equal(result, [True, True])
    restore_globals["np"] = types.SimpleNamespace(count_nonzero=ord)
    with pytest.raises(TypeError) as info:
        fenwy.num_zerocrossings(np.array([1.0, -1.0, 1.0]))
    assert str(info.value) == "ord() expected string of length 1, but numpy.ndarray found"
    assert records(info.value) == [(SOURCE, 87, "ostrel.fenwy.num_zerocrossings")]
