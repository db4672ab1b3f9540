"""Every call, successful or failing, leaves the reference counts of its
arguments, of the module's globals and of the shared small constants as it
found them.  Each case runs many times so that a single leaked or stolen
reference per call shows up as a difference of hundreds."""

import gc
import itertools
import sys
from array import array
from collections import deque
from types import SimpleNamespace

import numpy as np
import pytest

import model

CALLS = 1000

GLOBAL_NAMES = ("np", "calc_num_frames", "calc_energy", "calc_zc", "num_zerocrossings", "find_peaks", "__test__")

# The module keeps these as constants (frame counts of zero, slices, the
# divisor 2, the defaults): a missing or extra reference shows on them.
SHARED_CONSTANTS = (0, 1, 2, -1, -2, None, True, False)


# -- objects whose protocols fail -------------------------------------------


class Refused(Exception):
    """Raised by the little objects below; never by numpy or the module."""


class FailingBool:
    def __bool__(self):
        raise Refused("__bool__ refused")


class FailingLen:
    def __len__(self):
        raise Refused("__len__ refused")


class FailingGetitem:
    def __len__(self):
        return 4

    def __getitem__(self, key):
        raise Refused("__getitem__ refused")


class FailingMulPiece:
    def __mul__(self, other):
        raise Refused("__mul__ refused")


class SignalOfFailingPieces:
    """Has a length and slices into pieces that refuse to be multiplied."""

    def __len__(self):
        return 3

    def __getitem__(self, key):
        return FailingMulPiece()


class FailingRMul:
    # numpy scalars then leave the product to us instead of trying an
    # object array.
    __array_ufunc__ = None

    def __rmul__(self, other):
        raise Refused("__rmul__ refused")


class FailingFloatInt(int):
    def __float__(self):
        raise Refused("__float__ refused")


class FailingIndex:
    def __index__(self):
        raise Refused("__index__ refused")

    def __add__(self, other):
        return FailingIndex()


class HopGivingFailingIndex:
    """A hop size whose products are bounds that refuse to be an index."""

    def __rmul__(self, other):
        return FailingIndex()


class Comparable:
    """A neighbour slice that answers every ordering comparison."""

    def __lt__(self, other):
        return True

    def __gt__(self, other):
        return True


class SignalWithDequeInner:
    """x[1:-1] is a deque, which can be indexed only through __index__."""

    def __getitem__(self, key):
        if key == slice(1, -1):
            return deque([1, 2, 3])
        return Comparable()


class KeywordRefusingComparison(str):
    def __eq__(self, other):
        raise Refused("keyword comparison refused")

    __hash__ = str.__hash__


# -- the cases --------------------------------------------------------------


def signal():
    return np.array([0.0, 2.0, -1.0, 3.0, -2.0, 0.5, 4.0, -3.0])


def model_error(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - whatever the model raises is the expectation
        return type(error), str(error)
    raise AssertionError("the model raised nothing")


def drop_np(namespace):
    del namespace["np"]


def frames_always(count):
    def replace(namespace):
        namespace["calc_num_frames"] = lambda x_len, win_len, hop_size: count

    return replace


# A frame count too large to be a shared small int: an exact int that a
# stand-in np's ceil hands back is the result itself.
HUGE_COUNT = 10**40 + 1


def ceil_giving_huge_count(namespace):
    namespace["np"] = SimpleNamespace(ceil=lambda quotient: HUGE_COUNT)


def fake_np_for_deque(namespace):
    namespace["np"] = SimpleNamespace(logical_and=lambda first, second: FailingIndex())


# (id, function, args, kwargs, expected (type, message) or None, namespace change)
CASES = [
    # successes
    ("frames-ok", "calc_num_frames", (1000, 300, 257), {}, None, None),
    ("frames-ok-float", "calc_num_frames", (10.5, 4.0, 2.0), {}, None, None),
    ("frames-ok-negative", "calc_num_frames", (0, 4, 1), {}, None, None),
    ("frames-ok-exact-int-ceil", "calc_num_frames", (HUGE_COUNT, 4, 2), {}, None, ceil_giving_huge_count),
    ("energy-ok", "calc_energy", (signal(), 3, 2), {}, None, None),
    ("energy-ok-int", "calc_energy", (np.arange(-4, 5), 3, 2, False), {}, None, None),
    ("energy-ok-keywords", "calc_energy", (), dict(x=signal(), hop_size=2, win_len=4, centered=0), None, None),
    ("zc-ok", "calc_zc", (signal(), 3, 2), {}, None, None),
    ("zc-ok-int", "calc_zc", (np.arange(-4, 5), 4, 3, False), {}, None, None),
    ("zc-ok-list", "calc_zc", ([1.0, -1.0, 2.0], 2, 1), {}, None, None),
    ("zerocrossings-ok", "num_zerocrossings", (signal(),), {}, None, None),
    ("zerocrossings-ok-short", "num_zerocrossings", ([7],), {}, None, None),
    ("peaks-ok", "find_peaks", (signal(),), {}, None, None),
    ("peaks-ok-thresh", "find_peaks", (signal(), 0.5), {}, None, None),
    ("peaks-ok-no-candidates", "find_peaks", (np.arange(5), 0.5), {}, None, None),
    # binding errors
    ("frames-too-many", "calc_num_frames", (1000, 300, 257, 258), {}, (TypeError, "calc_num_frames() takes exactly 3 positional arguments (4 given)"), None),
    ("energy-unexpected-keyword", "calc_energy", (signal(), 4, 2), dict(bogus=1.5), (TypeError, "calc_energy() got an unexpected keyword argument 'bogus'"), None),
    ("zc-multiple-values", "calc_zc", (signal(), 4, 2), dict(x=signal()), (TypeError, "calc_zc() got multiple values for keyword argument 'x'"), None),
    ("zerocrossings-too-many", "num_zerocrossings", (signal(), signal()), {}, (TypeError, "num_zerocrossings() takes exactly 1 positional argument (2 given)"), None),
    ("peaks-none-given", "find_peaks", (), dict(thresh=0.5), (TypeError, "find_peaks() takes at least 1 positional argument (0 given)"), None),
    ("peaks-keyword-comparison-fails", "find_peaks", (signal(),), {KeywordRefusingComparison("thresh"): 0.5}, (Refused, "keyword comparison refused"), None),
    # np missing
    ("frames-no-np", "calc_num_frames", (1000, 300, 257), {}, (NameError, "name 'np' is not defined"), drop_np),
    ("energy-no-np", "calc_energy", (signal(), 4, 2), {}, (NameError, "name 'np' is not defined"), drop_np),
    ("energy-no-np-uncentered", "calc_energy", (signal(), 4, 2, False), {}, (NameError, "name 'np' is not defined"), drop_np),
    ("zc-no-np", "calc_zc", (signal(), 4, 2), {}, (NameError, "name 'np' is not defined"), drop_np),
    ("zerocrossings-no-np", "num_zerocrossings", (signal(),), {}, (NameError, "name 'np' is not defined"), drop_np),
    ("peaks-no-np", "find_peaks", (signal(), 0.5), {}, (NameError, "name 'np' is not defined"), drop_np),
    # unsliceable input
    ("energy-unsliceable", "calc_energy", ({1.5, 2.5, 3.5}, 2, 1, False), {}, (TypeError, "'set' object is unsliceable"), None),
    ("zc-unsliceable", "calc_zc", ({1.5, 2.5, 3.5}, 2, 1, False), {}, (TypeError, "'set' object is unsliceable"), None),
    ("zerocrossings-unsliceable", "num_zerocrossings", ({1.5, 2.5, 3.5},), {}, (TypeError, "'set' object is unsliceable"), None),
    ("peaks-unsliceable", "find_peaks", (5.5,), {}, (TypeError, "'float' object is unsliceable"), None),
    # failing numpy calls and numpy arithmetic
    ("frames-ceil-fails", "calc_num_frames", (10j, 4, 2), {}, model_error(lambda: model.calc_num_frames(10j, 4, 2)), None),
    ("energy-zeros-fails", "calc_energy", (signal(), 4.5, 2), {}, model_error(lambda: model.calc_energy(signal(), 4.5, 2)), None),
    ("zc-zeros-fails", "calc_zc", (signal(), 4.5, 2), {}, model_error(lambda: model.calc_zc(signal(), 4.5, 2)), None),
    ("zerocrossings-multiply-fails", "num_zerocrossings", (np.array(["ab", "cd"]),), {}, model_error(lambda: model.num_zerocrossings(np.array(["ab", "cd"]))), None),
    ("peaks-threshold-fails", "find_peaks", (np.array([1, 2, 1]), "x"), {}, model_error(lambda: model.find_peaks(np.array([1, 2, 1]), "x")), None),
    # a failing nested call
    ("energy-hop-zero", "calc_energy", (signal(), 4, 0), {}, (ZeroDivisionError, "division by zero"), None),
    ("zc-hop-zero", "calc_zc", (signal(), 4, 0), {}, (ZeroDivisionError, "division by zero"), None),
    ("zc-list-frame-fails", "calc_zc", ([1.5, -1.5, 2.5], 2, 1, False), {}, (TypeError, "can't multiply sequence by non-int of type 'list'"), None),
    # user objects that refuse a protocol
    ("energy-bool", "calc_energy", (signal(), 4, 2, FailingBool()), {}, (Refused, "__bool__ refused"), None),
    ("zc-bool", "calc_zc", (signal(), 4, 2, FailingBool()), {}, (Refused, "__bool__ refused"), None),
    ("peaks-bool", "find_peaks", (signal(), FailingBool()), {}, (Refused, "__bool__ refused"), None),
    ("energy-len", "calc_energy", (FailingLen(), 4, 2, False), {}, (Refused, "__len__ refused"), None),
    ("zc-len", "calc_zc", (FailingLen(), 4, 2, False), {}, (Refused, "__len__ refused"), None),
    ("zerocrossings-len", "num_zerocrossings", (FailingLen(),), {}, (Refused, "__len__ refused"), None),
    ("energy-getitem", "calc_energy", (FailingGetitem(), 2, 1, False), {}, (Refused, "__getitem__ refused"), None),
    ("zc-getitem", "calc_zc", (FailingGetitem(), 2, 1, False), {}, (Refused, "__getitem__ refused"), None),
    ("zerocrossings-getitem", "num_zerocrossings", (FailingGetitem(),), {}, (Refused, "__getitem__ refused"), None),
    ("peaks-getitem", "find_peaks", (FailingGetitem(),), {}, (Refused, "__getitem__ refused"), None),
    ("energy-mul", "calc_energy", (SignalOfFailingPieces(), 2, 2, False), {}, (Refused, "__mul__ refused"), None),
    ("zerocrossings-mul", "num_zerocrossings", (SignalOfFailingPieces(),), {}, (Refused, "__mul__ refused"), None),
    ("energy-rmul-hop", "calc_energy", (signal(), 2, FailingRMul(), False), {}, (Refused, "__rmul__ refused"), frames_always(2)),
    ("zc-rmul-hop", "calc_zc", (signal(), 2, FailingRMul(), False), {}, (Refused, "__rmul__ refused"), frames_always(2)),
    ("peaks-rmul-thresh", "find_peaks", (signal(), FailingRMul()), {}, (Refused, "__rmul__ refused"), None),
    ("zc-float", "calc_zc", (signal(), FailingFloatInt(2), 2, False), {}, (Refused, "__float__ refused"), None),
    ("energy-index", "calc_energy", (signal(), 2, HopGivingFailingIndex(), False), {}, (Refused, "__index__ refused"), frames_always(1)),
    ("zc-index", "calc_zc", (signal(), 2, HopGivingFailingIndex(), False), {}, (Refused, "__index__ refused"), frames_always(1)),
    ("peaks-index", "find_peaks", (SignalWithDequeInner(),), {}, (Refused, "__index__ refused"), fake_np_for_deque),
]


def outcome_of(function, args, kwargs, expected):
    """Runs one call; checks the failure it must give and keeps nothing."""
    if expected is None:
        function(*args, **kwargs)
        return
    try:
        function(*args, **kwargs)
    except expected[0] as error:
        message = str(error)
    else:
        raise AssertionError("the call did not fail")
    assert message == expected[1]


# The numpy functions the bodies fetch, and range: a reference kept by
# mistake on any of them shows here.
FETCHED_ATTRIBUTES = ("ceil", "zeros", "concatenate", "empty", "sum", "count_nonzero", "logical_and", "max", "nonzero")


def watched_objects(namespace, args, kwargs):
    watched = list(args) + list(kwargs.keys()) + list(kwargs.values())
    watched += [namespace[name] for name in GLOBAL_NAMES if name in namespace]
    watched += [getattr(np, name) for name in FETCHED_ATTRIBUTES] + [range]
    watched += list(SHARED_CONSTANTS)
    return watched


def reference_counts(objects):
    gc.collect()
    # Raw machine integers: a list of int objects would itself hold
    # references to the small ints being counted.
    return array("q", (sys.getrefcount(item) for item in objects))


@pytest.mark.parametrize(
    "function_name, args, kwargs, expected, change",
    [case[1:] for case in CASES],
    ids=[case[0] for case in CASES],
)
def test_calls_keep_reference_counts(fenwy, restore_globals, function_name, args, kwargs, expected, change):
    function = getattr(fenwy, function_name)
    if change is not None:
        change(restore_globals)
    # The first call fills the look-up caches and the kept traceback codes.
    outcome_of(function, args, kwargs, expected)
    watched = watched_objects(restore_globals, args, kwargs)
    repeats = itertools.repeat(None, CALLS)
    before = reference_counts(watched)
    for _ in repeats:
        outcome_of(function, args, kwargs, expected)
    del _
    after = reference_counts(watched)
    changed = {repr(watched[i])[:60]: after[i] - before[i] for i in range(len(watched)) if after[i] != before[i]}
    assert changed == {}


def test_results_are_held_only_by_the_caller(fenwy):
    # A result that the module kept a reference to would count one more
    # than new arrays held the same way.
    x = signal()
    results = [fenwy.calc_energy(x, 3, 2), fenwy.calc_zc(x, 3, 2), fenwy.find_peaks(x), fenwy.find_peaks(x, 0.1)]
    alone = [np.empty(1) for _ in results]
    assert [sys.getrefcount(result) for result in results] == [sys.getrefcount(new) for new in alone]
