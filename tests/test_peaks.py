
import numpy as np
import pytest


def numpy_message(operation):
    """The text numpy itself raises for an operation; it differs between releases."""
    try:
        operation()
    except Exception as error:
        return str(error)
    raise AssertionError("numpy raised nothing")


from tracebacks import SOURCE, records
NAN = float("nan")


def peaks_at(line):
    return (SOURCE, line, "ostrel.fenwy.find_peaks")


def check_indices(result, expected):
    assert type(result) is np.ndarray
    assert result.dtype == np.intp
    np.testing.assert_array_equal(result, np.array(expected, dtype=np.intp))


@pytest.mark.parametrize(
    "signal, thresh, expected",
    [
        ([0, 1, 0], None, [1]),
        ([1, 3, 1, 4, 1], None, [1, 3]),
        ([1, 3, 1, 4, 1], 0.8, [3]),
        # th is exactly 3.0: equal is not greater.
        ([1, 3, 1, 4, 1], 0.75, [3]),
        ([1, 3, 1, 4, 1], 0.74, [1, 3]),
        ([1, 3, 1, 4, 1], 0, [1, 3]),
        ([1, 3, 1, 4, 1], 0.0, [1, 3]),
        ([1, 3, 1, 4, 1], False, [1, 3]),
        ([1, 3, 1, 4, 1], 1, []),
        ([1, 3, 1, 4, 1], True, []),
        # The threshold scales the largest candidate, not the signal's maximum.
        ([9, 3, 1, 2, 1, 0], 0.5, [3]),
        ([9, 3, 1, 2, 1, 0], 0.9, [3]),
        ([0, 2, 2, 0], None, []),
        ([0, 1, 3, 3, 3, 1, 0], None, []),
        ([5, 1, 5], None, []),
        ([-5, -1, -5], None, [1]),
        ([-5, -1, -5], 0.5, []),
        ([-5, -1, -5, -3, -6], 2, [1]),
        ([0, NAN, 0, 2, 0], None, [3]),
        ([0, 1, NAN, 1, 0, 3, 1], None, [5]),
        ([0, 5, 0, 6, 0], NAN, []),
        ([0, 5, 0, 6, 0], np.float32(0.9), [3]),
        ([0, 5, 0, 6, 0], np.array([0.5]), [1, 3]),
    ],
)
def test_peak_indices(fenwy, signal, thresh, expected):
    check_indices(fenwy.find_peaks(np.array(signal, dtype=np.float64), thresh), expected)


@pytest.mark.parametrize("thresh", [None, 0.5, 1, True, 1e-9])
@pytest.mark.parametrize(
    "signal",
    [[], [1.0], [1.0, 2.0], [1.0, 2.0, 3.0], [3.0, 2.0, 1.0], [4.0, 4.0, 4.0, 4.0], [1.0, 2.0, 2.0, 1.0]],
)
def test_no_candidates_give_an_empty_result(fenwy, signal, thresh):
    # Also with a threshold: no largest peak, so nothing to keep.
    check_indices(fenwy.find_peaks(np.array(signal), thresh), [])


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.uint8, np.int64, np.float32, np.float64])
def test_element_types(fenwy, dtype):
    x = np.array([0, 7, 3, 9, 9, 2, 5, 1], dtype=dtype)
    check_indices(fenwy.find_peaks(x), [1, 6])
    check_indices(fenwy.find_peaks(x, 0.75), [1])


def test_keyword_arguments(fenwy):
    x = np.array([1.0, 3.0, 1.0, 4.0, 1.0])
    check_indices(fenwy.find_peaks(thresh=0.8, x=x), [3])
    check_indices(fenwy.find_peaks(x=x), [1, 3])


def test_two_dimensional_signal_reports_rows(fenwy):
    x = np.array([[0.0, 0.0], [1.0, 2.0], [0.0, 0.0], [3.0, -1.0], [0.0, 0.0]])
    # Every true mask element gives its row, so rows repeat.
    check_indices(fenwy.find_peaks(x), [1, 1, 3])
    check_indices(fenwy.find_peaks(x, 0.6), [1, 3])


def test_signal_is_left_unchanged(fenwy):
    x = np.array([0, 3, 0, 4, 0], dtype=np.int16)
    before = x.copy()
    result = fenwy.find_peaks(x, 0.5)
    np.testing.assert_array_equal(x, before)
    assert not np.shares_memory(result, x)


@pytest.mark.parametrize(
    "x, thresh, error, message, line",
    [
        (2.5, None, TypeError, "'float' object is unsliceable", 98),
        (5, None, TypeError, "'int' object is unsliceable", 98),
        ({1, 2, 3}, None, TypeError, "'set' object is unsliceable", 98),
        (
            np.array([0.0, 1.0, 0.0]),
            np.array([0.5, 0.5]),
            ValueError,
            "The truth value of an array with more than one element is ambiguous. Use a.any() or a.all()",
            105,
        ),
        # No candidates, but the truth test comes first.
        (
            np.array([]),
            np.array([1, 2]),
            ValueError,
            "The truth value of an array with more than one element is ambiguous. Use a.any() or a.all()",
            105,
        ),
        (np.array([0.0, 1.0, 0.0]), [], None, None, None),
        # The largest candidate is the left operand of the threshold product.
        (
            np.array([0.0, 5.0, 0.0]),
            "x",
            TypeError,
            "can't multiply sequence by non-int of type 'numpy.float64'",
            107,
        ),
        (np.array([0.0, 5.0, 0.0]), object(), TypeError, "unsupported operand type(s) for *: 'float' and 'object'", 107),
        # An integer maximum repeats the text, which numpy cannot compare.
        (
            np.array([0, 5, 0]),
            "x",
            TypeError,
            numpy_message(lambda: np.array([5]) > np.int64(5) * "x"),
            110,
        ),
    ],
)
def test_failures(fenwy, x, thresh, error, message, line):
    if error is None:
        # An empty list is a false threshold, not a failure.
        check_indices(fenwy.find_peaks(x, thresh), [1])
        return
    with pytest.raises(error) as info:
        fenwy.find_peaks(x, thresh)
    assert str(info.value) == message
    assert records(info.value) == [peaks_at(line)]


class Slices:
    """A signal whose three slices are given objects, in slicing order."""

    def __init__(self, *parts):
        self.parts = list(parts)

    def __getitem__(self, key):
        return self.parts.pop(0)


class Opaque:
    """Compares as a rise and a fall; has no item access at all."""

    def __lt__(self, other):
        return np.array([True])

    def __gt__(self, other):
        return np.array([True])


def test_item_access_on_an_opaque_object(fenwy):
    x = Slices(Opaque(), Opaque(), Opaque())
    with pytest.raises(TypeError) as info:
        fenwy.find_peaks(x)
    assert str(info.value) == "'Opaque' object is not subscriptable"
    assert records(info.value) == [peaks_at(103)]


class Ordered(type):
    def __lt__(cls, other):
        return np.array([True, False])

    def __gt__(cls, other):
        return np.array([True, True])


def test_item_access_on_a_class_uses_class_getitem(fenwy):
    keys = []

    class Generic(metaclass=Ordered):
        def __class_getitem__(cls, key):
            keys.append(key)
            return np.array([])

    check_indices(fenwy.find_peaks(Slices(Generic, Generic, Generic), 0.5), [1])
    assert len(keys) == 1
    np.testing.assert_array_equal(keys[0], [True, False])


def test_item_access_on_a_class_without_class_getitem(fenwy):
    class Plain(metaclass=Ordered):
        pass

    with pytest.raises(TypeError) as info:
        fenwy.find_peaks(Slices(Plain, Plain, Plain))
    assert str(info.value) == "'Ordered' object is not subscriptable"
    assert records(info.value) == [peaks_at(103)]


def test_class_getitem_of_an_instance_is_not_used(fenwy):
    class Instance(Opaque):
        def __class_getitem__(cls, key):
            return np.array([1.0])

    with pytest.raises(TypeError) as info:
        fenwy.find_peaks(Slices(Instance(), Instance(), Instance()))
    assert str(info.value) == "'Instance' object is not subscriptable"
    assert records(info.value) == [peaks_at(103)]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "find_peaks() takes at least 1 positional argument (0 given)"),
        ((np.ones(3), None, None), {}, "find_peaks() takes at most 2 positional arguments (3 given)"),
        ((np.ones(3), None), {"thresh": 0.5}, "find_peaks() got multiple values for keyword argument 'thresh'"),
    ],
)
def test_binding_failures_record_the_def_line(fenwy, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fenwy.find_peaks(*args, **kwargs)
    assert str(info.value) == message
    assert records(info.value) == [peaks_at(90)]
