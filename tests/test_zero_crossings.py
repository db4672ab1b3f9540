import collections
import sys

import numpy as np
import pytest

# numpy 2 counts as np.intp, numpy 1.x as a Python int; the result is numpy's own.
COUNT_TYPE = type(np.count_nonzero(np.array([True])))

from tracebacks import SOURCE, records
NAN = float("nan")


def count_at(line):
    return (SOURCE, line, "ostrel.fenwy.num_zerocrossings")


@pytest.mark.parametrize(
    "signal, expected",
    [
        ([1, -1, 1, -1], 3),
        ([-2, 3, -4], 2),
        ([1, -1], 1),
        ([-1, 1], 1),
        # A zero sample between opposite signs hides the crossing.
        ([1, 0, -1], 0),
        ([-1, 0, 1, -1], 1),
        ([1, 0, 1], 0),
        ([1, -0.0, -1], 0),
        ([0, 0, 0, 0], 0),
        ([2, 5, 0.5, 7], 0),
        ([-2, -5, -0.5], 0),
        ([1, NAN, -1], 0),
        ([NAN, -1, 1], 1),
        ([1e-300, -1e-300], 0),  # the product underflows to -0.0
        ([1e200, -1e200], 1),  # the product overflows to -inf
    ],
)
def test_crossing_counts(fenwy, signal, expected):
    with np.errstate(under="ignore", over="ignore"):
        result = fenwy.num_zerocrossings(np.array(signal, dtype=np.float64))
    assert result == expected
    # numpy's count comes back as it is.
    assert type(result) is COUNT_TYPE


@pytest.mark.parametrize("x", [np.array([]), np.array([-3.0]), [], [7], "a", "", (), (5,), range(1)])
def test_short_signals_give_the_integer_zero(fenwy, x):
    result = fenwy.num_zerocrossings(x)
    assert result == 0
    assert type(result) is int


def test_short_signals_need_no_numpy(fenwy, restore_globals):
    del restore_globals["np"]
    assert fenwy.num_zerocrossings([1]) == 0


@pytest.mark.parametrize(
    "signal, dtype, expected",
    [
        # Products that wrap to negative values in the signal's own type.
        ([200, -200, 200], np.int16, 2),
        ([200, 200], np.int16, 0),
        ([200, 200, -200, 200, 200], np.int16, 2),
        ([12, 12], np.int8, 0),
        ([-12, -12, 12], np.int8, 1),
        ([50000, 50000], np.int32, 0),
        ([3037000500, 3037000500], np.int64, 0),
        ([3037000500, -3037000500], np.int64, 1),
        ([200, 200, 0, 200], np.uint8, 0),
        ([2**63, 2**63], np.uint64, 0),
    ],
)
def test_integer_arrays_multiply_in_float64(fenwy, signal, dtype, expected):
    result = fenwy.num_zerocrossings(np.array(signal, dtype=dtype))
    assert result == expected
    assert type(result) is COUNT_TYPE


def test_integer_array_subclass_multiplies_in_float64(fenwy):
    class Samples(np.ndarray):
        pass

    assert fenwy.num_zerocrossings(np.array([200, 200, -200], dtype=np.int16).view(Samples)) == 1


def test_float32_products_stay_float32(fenwy):
    # -1e-60 underflows to -0.0 in float32 only; floats are not promoted.
    with np.errstate(under="ignore"):
        assert fenwy.num_zerocrossings(np.array([1e-30, -1e-30], dtype=np.float32)) == 0
    assert fenwy.num_zerocrossings(np.array([1e-30, -1e-30], dtype=np.float64)) == 1


def test_bool_products_are_never_negative(fenwy):
    assert fenwy.num_zerocrossings(np.array([True, False, True])) == 0


def test_two_dimensional_signal_counts_every_product(fenwy):
    # Rows are the neighbours; every element of the product takes part.
    x = np.array([[1.0, -1.0, 2.0], [-1.0, 1.0, 2.0], [3.0, 3.0, -2.0]])
    assert fenwy.num_zerocrossings(x) == 4


def test_signal_is_left_unchanged(fenwy):
    x = np.array([3, -3, 3], dtype=np.int16)
    before = x.copy()
    fenwy.num_zerocrossings(x)
    np.testing.assert_array_equal(x, before)
    assert x.dtype == np.int16


def test_keyword_argument(fenwy):
    assert fenwy.num_zerocrossings(x=np.array([1.0, -1.0, 1.0])) == 2


class RaisingSubscript:
    def __init__(self, failing_start):
        self.failing_start = failing_start

    def __len__(self):
        return 3

    def __getitem__(self, key):
        if key.start == self.failing_start:
            raise KeyError(f"no slice from {key.start}")
        return np.array([1.0, -1.0])


@pytest.mark.parametrize(
    "x, error, message, line",
    [
        (5, TypeError, "object of type 'int' has no len()", 83),
        (None, TypeError, "object of type 'NoneType' has no len()", 83),
        (2.5, TypeError, "object of type 'float' has no len()", 83),
        ({1, -1}, TypeError, "'set' object is unsliceable", 85),
        # Only the sequence protocol: still unsliceable for this module.
        (collections.deque([1, -1]), TypeError, "'collections.deque' object is unsliceable", 85),
        # The dict's own subscript: slices are hashable from 3.12 on.
        ({1: 1, 2: -1}, *(
            (TypeError, "unhashable type: 'slice'") if sys.version_info < (3, 12)
            else (KeyError, "slice(None, -1, None)")
        ), 85),
        (RaisingSubscript(None), KeyError, "'no slice from None'", 85),
        (RaisingSubscript(1), KeyError, "'no slice from 1'", 86),
        # Lists, tuples and strings are sliced; their slices cannot multiply.
        ([1, -1], TypeError, "can't multiply sequence by non-int of type 'list'", 87),
        ((1, -1, 1), TypeError, "can't multiply sequence by non-int of type 'tuple'", 87),
        ("ab", TypeError, "can't multiply sequence by non-int of type 'str'", 87),
    ],
)
def test_failures(fenwy, x, error, message, line):
    with pytest.raises(error) as info:
        fenwy.num_zerocrossings(x)
    assert str(info.value) == message
    assert records(info.value) == [count_at(line)]


def test_missing_numpy_is_reported_before_the_product(fenwy, restore_globals):
    del restore_globals["np"]
    for x in (np.array([1.0, -1.0]), [1, -1]):
        with pytest.raises(NameError) as info:
            fenwy.num_zerocrossings(x)
        assert str(info.value) == "name 'np' is not defined"
        assert records(info.value) == [count_at(87)]


def test_result_of_count_nonzero_is_returned_unchanged(fenwy, restore_globals):
    marker = object()
    seen = []

    class Counter:
        def count_nonzero(self, mask):
            seen.append(mask)
            return marker

    restore_globals["np"] = Counter()
    assert fenwy.num_zerocrossings(np.array([2.0, -1.0, -3.0, 0.0])) is marker
    assert len(seen) == 1
    assert seen[0].dtype == np.bool_
    np.testing.assert_array_equal(seen[0], [True, False, False])


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "num_zerocrossings() takes exactly 1 positional argument (0 given)"),
        ((np.ones(2), np.ones(2)), {}, "num_zerocrossings() takes exactly 1 positional argument (2 given)"),
        ((np.ones(2),), {"y": 1}, "num_zerocrossings() got an unexpected keyword argument 'y'"),
    ],
)
def test_binding_failures_record_the_def_line(fenwy, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fenwy.num_zerocrossings(*args, **kwargs)
    assert str(info.value) == message
    assert records(info.value) == [count_at(75)]


class Neighbours:
    """A signal whose two slices record how they are multiplied."""

    def __init__(self):
        self.log = []

    def __len__(self):
        return 3

    def __getitem__(self, key):
        return Slice("x0" if key == slice(None, -1) else "x1", self.log)


class Slice:
    def __init__(self, name, log):
        self.name, self.log = name, log

    def __mul__(self, other):
        self.log.append(("mul", self.name, other.name))
        return Product(self.log)

    def __rmul__(self, other):
        self.log.append(("rmul", self.name, other.name))
        return Product(self.log)


class Product:
    def __init__(self, log):
        self.log = log

    def __lt__(self, other):
        self.log.append(("lt", other))
        return np.array([True, False])


def test_products_take_the_left_slice_first(fenwy):
    signal = Neighbours()
    assert fenwy.num_zerocrossings(signal) == 1
    assert signal.log == [("mul", "x0", "x1"), ("lt", 0)]
