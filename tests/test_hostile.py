"""Objects that fight back: protocols returning the wrong types, globals
rebound or deleted from inside a call, and unbounded recursion.  Each call
must give what the plain-Python model gives (or the stated result), must
not crash, and must leave the interpreter usable."""

import builtins
import subprocess
import sys
import textwrap
import traceback
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import model
from tracebacks import message_of

SOURCE_FILE = "package/ostrel/fenwy.py"


def outcome(call):
    """What a call gives, in a form two implementations can be compared by."""
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return ("raises", type(error), str(error))
    if isinstance(result, np.ndarray):
        return ("array", result.dtype.str, result.shape, result.tobytes())
    return ("value", type(result), result)


def module_records(error):
    """The traceback records the module added, outermost first."""
    return [
        (entry.name, entry.lineno)
        for entry in traceback.extract_tb(error.__traceback__)
        if entry.filename == SOURCE_FILE
    ]


# -- protocols that answer with the wrong type -------------------------------


class LenReturning:
    def __init__(self, value):
        self.value = value

    def __len__(self):
        return self.value

    def __getitem__(self, key):
        return np.array([1.0, -1.0, 1.0])[key]


class BoolReturning:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


class FloatReturningInt(int):
    def __new__(cls, number, value):
        self = super().__new__(cls, number)
        self.value = value
        return self

    def __float__(self):
        return self.value


class SlicesReturning:
    """Slices into the same fixed object, whatever the slice."""

    def __init__(self, piece, length=5):
        self.piece = piece
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, key):
        return self.piece


class ProductReturning(np.ndarray):
    """An array whose products are some other object."""

    def __mul__(self, other):
        return self.product


def product_returning(values, product):
    array = np.asarray(values, dtype=float).view(ProductReturning)
    array.product = product
    return array


WRONG_TYPES = [
    ("len-str", "num_zerocrossings", lambda: (LenReturning("3"),)),
    ("len-negative", "num_zerocrossings", lambda: (LenReturning(-1),)),
    ("len-huge", "num_zerocrossings", lambda: (LenReturning(2**70),)),
    ("len-float-energy", "calc_energy", lambda: (LenReturning(3.0), 2, 1, False)),
    ("len-bool-zc", "calc_zc", lambda: (LenReturning(True), 2, 1, False)),
    ("len-int-subclass-energy", "calc_energy", lambda: (LenReturning(True), 2, 1, False)),
    ("bool-int-energy", "calc_energy", lambda: (np.arange(4.0), 2, 1, BoolReturning(1))),
    ("bool-none-zc", "calc_zc", lambda: (np.arange(4.0), 2, 1, BoolReturning(None))),
    ("bool-array-peaks", "find_peaks", lambda: (np.array([0.0, 2.0, 1.0]), BoolReturning(np.True_))),
    ("float-str-zc", "calc_zc", lambda: (np.array([1.0, -1.0, 1.0]), FloatReturningInt(2, "2.0"), 1, False)),
    ("float-int-zc", "calc_zc", lambda: (np.array([1.0, -1.0, 1.0]), FloatReturningInt(2, 2), 1, False)),
    ("float-subclass-zc", "calc_zc", lambda: (np.array([1.0, -1.0, 1.0]), FloatReturningInt(2, np.float64(3.0)), 1, False)),
    ("slices-ints-zerocrossings", "num_zerocrossings", lambda: (SlicesReturning(-3),)),
    ("slices-none-zerocrossings", "num_zerocrossings", lambda: (SlicesReturning(None),)),
    ("slices-ints-peaks", "find_peaks", lambda: (SlicesReturning(2),)),
    ("slices-ints-energy", "calc_energy", lambda: (SlicesReturning(3), 2, 2, False)),
    ("slices-str-energy", "calc_energy", lambda: (SlicesReturning("ab"), 2, 2, False)),
    ("slices-list-zc", "calc_zc", lambda: (SlicesReturning([1, -1]), 2, 2, False)),
    ("product-list-zerocrossings", "num_zerocrossings", lambda: (product_returning([1, -1, 1], [1, 2]),)),
    ("product-int-zerocrossings", "num_zerocrossings", lambda: (product_returning([1, -1, 1], -5),)),
    ("product-str-energy", "calc_energy", lambda: (product_returning([1, -1, 1, 2], "s"), 2, 2, False)),
    ("frames-strings", "calc_num_frames", lambda: ("ab", "c", 1)),
    ("frames-lists", "calc_num_frames", lambda: ([1], [2], [3])),
    ("frames-none", "calc_num_frames", lambda: (None, 4, 2)),
]


# numpy's float64 is a strict float subclass, which __float__ may still
# return with a deprecation warning in both implementations.
@pytest.mark.filterwarnings("ignore:.*__float__ returned non-float:DeprecationWarning")
@pytest.mark.parametrize(
    "function_name, make_args", [case[1:] for case in WRONG_TYPES], ids=[case[0] for case in WRONG_TYPES]
)
def test_wrong_types_give_what_the_model_gives(fenwy, function_name, make_args):
    expected = outcome(lambda: getattr(model, function_name)(*make_args()))
    assert outcome(lambda: getattr(fenwy, function_name)(*make_args())) == expected


# -- a numpy stand-in whose functions answer with the wrong type --------------


class IntReturning:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


FAKE_CEILS = [
    ("exact-int", lambda q: 7, ("value", int, 7)),
    ("bool", lambda q: True, ("value", int, 1)),
    ("numeric-str", lambda q: "12", ("value", int, 12)),
    ("negative-str", lambda q: "-12", ("value", int, 0)),
    ("word", lambda q: "many", ("raises", ValueError, "invalid literal for int() with base 10: 'many'")),
    ("none", lambda q: None, ("raises", TypeError, "int() argument must be a string, a bytes-like object or a real number, not 'NoneType'")),
    ("int-returning-str", lambda q: IntReturning("3"), ("raises", TypeError, message_of(lambda: int(IntReturning("3"))))),
    ("infinity", lambda q: float("inf"), ("raises", OverflowError, "cannot convert float infinity to integer")),
    ("nan", lambda q: float("nan"), ("raises", ValueError, "cannot convert float NaN to integer")),
]


@pytest.mark.parametrize("ceil, expected", [case[1:] for case in FAKE_CEILS], ids=[case[0] for case in FAKE_CEILS])
def test_frame_count_converts_whatever_ceil_returns(fenwy, restore_globals, monkeypatch, ceil, expected):
    fake = SimpleNamespace(ceil=ceil)
    restore_globals["np"] = fake
    monkeypatch.setattr(model, "np", fake)
    assert outcome(lambda: model.calc_num_frames(10, 4, 2)) == expected
    assert outcome(lambda: fenwy.calc_num_frames(10, 4, 2)) == expected


def test_an_exact_int_from_ceil_is_returned_itself(fenwy, restore_globals):
    huge = 10**40 + 1
    restore_globals["np"] = SimpleNamespace(ceil=lambda q: huge)
    assert fenwy.calc_num_frames(10, 4, 2) is huge


# -- globals rebound or deleted from inside a call --------------------------


class RebindsOnMultiply(np.ndarray):
    """Runs a one-off action the first time the array or any view of it is
    multiplied (views share the hook)."""

    def __array_finalize__(self, obj):
        self.hook = getattr(obj, "hook", None)

    def __mul__(self, other):
        if self.hook and "action" in self.hook:
            self.hook.pop("action")()
        return np.multiply(np.asarray(self), np.asarray(other))


def rebinding_signal(values, action):
    signal = np.asarray(values, dtype=float).view(RebindsOnMultiply)
    signal.hook = {"action": action}
    return signal


def test_np_rebound_by_a_product_takes_effect_at_the_next_use_site(fenwy, restore_globals):
    fake = SimpleNamespace(sum=lambda values: 100.0)
    x = rebinding_signal([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], lambda: restore_globals.__setitem__("np", fake))
    # The first frame's np.sum was fetched before its product rebound np:
    # only frames 1 and 2 use the stand-in.
    assert fenwy.calc_energy(x, 2, 2, False).tolist() == [2.5, 50.0, 50.0]
    assert restore_globals["np"] is fake


def test_np_rebound_inside_num_zerocrossings_is_seen_by_the_next_call(fenwy, restore_globals):
    fake = SimpleNamespace(count_nonzero=lambda values: "counted by the stand-in")
    x = rebinding_signal([1.0, -1.0, 1.0, -1.0], lambda: restore_globals.__setitem__("np", fake))
    # count_nonzero is fetched before the product: the real one counts.
    assert fenwy.num_zerocrossings(x) == 3
    assert fenwy.num_zerocrossings(np.array([1.0, -1.0])) == "counted by the stand-in"


class DropsOnDel:
    """Replaces the module's np with a stand-in when it is released."""

    namespace = None
    replacement = None

    def __del__(self):
        DropsOnDel.namespace["np"] = DropsOnDel.replacement


class FramesWithDel:
    """Each frame is a real array paired with an object whose release
    rebinds np (it dies when the body drops the previous frame)."""

    def __init__(self, values):
        self.values = np.asarray(values, dtype=float)
        self.keepers = []

    def __len__(self):
        return len(self.values)

    def __getitem__(self, key):
        frame = self.values[key].view(WithPassenger)
        frame.passenger = DropsOnDel() if key.start == 0 else None
        return frame


class WithPassenger(np.ndarray):
    pass


def test_a_cached_np_freed_by_a_destructor_is_not_used_again(fenwy, restore_globals):
    # The np that the first frame saw is a fresh object held by nothing but
    # the namespace: when the destructor replaces it, it is freed, and the
    # look-up cache must not hand it out again.
    restore_globals["np"] = SimpleNamespace(ceil=np.ceil, empty=np.empty, sum=np.sum)
    DropsOnDel.namespace = restore_globals
    DropsOnDel.replacement = SimpleNamespace(sum=lambda values: 40.0)
    result = fenwy.calc_energy(FramesWithDel([1.0, 2.0, 3.0, 4.0, 5.0, 6.0]), 2, 2, False)
    assert result.tolist() == [2.5, 20.0, 20.0]


def test_np_deleted_by_len_falls_back_to_builtins_then_fails(fenwy, restore_globals, monkeypatch):
    class DeletesNp:
        def __len__(self):
            restore_globals.pop("np", None)
            return 4

        def __getitem__(self, key):
            return np.array([1.0, 1.0, 1.0, 1.0])[key]

    monkeypatch.setattr(builtins, "np", SimpleNamespace(ceil=np.ceil, empty=np.empty, sum=lambda values: 8.0), raising=False)
    assert fenwy.calc_energy(DeletesNp(), 2, 2, False).tolist() == [4.0, 4.0]
    monkeypatch.delattr(builtins, "np")
    with pytest.raises(NameError, match=r"^name 'np' is not defined$") as caught:
        fenwy.calc_energy(np.ones(4), 2, 2, False)
    # calc_num_frames is the first to need np.
    assert module_records(caught.value) == [("ostrel.fenwy.calc_energy", 34), ("ostrel.fenwy.calc_num_frames", 14)]


def test_a_replacement_that_deletes_itself(fenwy, restore_globals):
    calls = []

    def count_once(win):
        calls.append(len(win))
        del restore_globals["num_zerocrossings"]
        return 1

    restore_globals["num_zerocrossings"] = count_once
    with pytest.raises(NameError, match=r"^name 'num_zerocrossings' is not defined$") as caught:
        fenwy.calc_zc(np.array([1.0, -1.0, 1.0, -1.0]), 2, 2, False)
    assert calls == [2]
    assert module_records(caught.value) == [("ostrel.fenwy.calc_zc", 71)]
    # The caller's own function object still works.
    assert fenwy.calc_zc.__globals__ is restore_globals


def test_frame_count_rebound_by_len_applies_to_the_next_call_only(fenwy, restore_globals):
    class RebindsFrameCount:
        def __len__(self):
            restore_globals["calc_num_frames"] = 5
            return 4

        def __getitem__(self, key):
            return np.array([3.0, 3.0, 3.0, 3.0])[key]

    # The name is looked up before len() runs, as in the model.
    assert fenwy.calc_energy(RebindsFrameCount(), 2, 2, False).tolist() == [9.0, 9.0]
    with pytest.raises(TypeError, match=r"^'int' object is not callable$") as caught:
        fenwy.calc_energy(np.ones(4), 2, 2, False)
    assert module_records(caught.value) == [("ostrel.fenwy.calc_energy", 34)]


def test_function_replaced_by_itself_from_a_product(fenwy, restore_globals):
    # calc_zc's num_zerocrossings rebinds the module's calc_zc while calc_zc
    # runs: the running call is not disturbed.
    def rebinding_count(win):
        restore_globals["calc_zc"] = None
        return model.num_zerocrossings(win)

    restore_globals["num_zerocrossings"] = rebinding_count
    zc = vars(fenwy)["calc_zc"]
    x = np.array([1.0, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0])
    assert zc(x, 4, 4, False).tolist() == [0.75, 0.75]
    assert restore_globals["calc_zc"] is None


# -- recursion and crashes, in a separate interpreter ------------------------

RECURSION_SCRIPT = textwrap.dedent(
    """
    import sys
    import traceback
    import numpy as np
    import ostrel.fenwy as fenwy

    namespace = vars(fenwy)
    saved = dict(namespace)

    def frames_through_energy(x_len, win_len, hop_size):
        return fenwy.calc_energy(np.zeros(3), 2, 1, False)

    def crossings_through_zc(win):
        return fenwy.calc_zc(np.array([1.0, -1.0, 1.0]), 2, 1, False)

    for name, replacement, call in [
        ("calc_num_frames", frames_through_energy, lambda: fenwy.calc_energy(np.zeros(3), 2, 1, False)),
        ("num_zerocrossings", crossings_through_zc, lambda: fenwy.calc_zc(np.array([1.0, -1.0, 1.0]), 2, 1, False)),
    ]:
        namespace[name] = replacement
        try:
            call()
        except RecursionError as error:
            records = {entry.name for entry in traceback.extract_tb(error.__traceback__)
                       if entry.filename == "package/ostrel/fenwy.py"}
            print(name, "RecursionError", sorted(records))
        namespace.update(saved)

    print("after", fenwy.calc_zc(np.array([1.0, -1.0, 1.0, -1.0]), 2, 2, False).tolist())
    """
)


def run_isolated(script):
    package = Path(__import__("ostrel").__file__).parent.parent
    completed = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=300,
        env={**__import__("os").environ, "PYTHONPATH": str(package)},
    )
    return completed.returncode, completed.stdout, completed.stderr


def test_unbounded_recursion_raises_and_leaves_the_interpreter_usable():
    returncode, stdout, stderr = run_isolated(RECURSION_SCRIPT)
    assert returncode == 0, stderr
    energy, crossings, after = stdout.splitlines()
    assert energy == "calc_num_frames RecursionError ['ostrel.fenwy.calc_energy']"
    # Where in calc_zc's cycle the limit strikes (at its frame count or at
    # the crossings) depends on how each interpreter version counts Python
    # frames and C calls (3.12 counts them apart); each level adds its record.
    assert crossings in (
        "num_zerocrossings RecursionError ['ostrel.fenwy.calc_zc']",
        "num_zerocrossings RecursionError ['ostrel.fenwy.calc_num_frames', 'ostrel.fenwy.calc_zc']",
    )
    assert after == "after [0.5, 0.5]"


HOSTILE_RELEASE_SCRIPT = textwrap.dedent(
    """
    import types
    import numpy as np
    import ostrel.fenwy as fenwy

    namespace = vars(fenwy)
    originals = dict(namespace)

    class Vanishing:
        # Each operation replaces the module globals with fresh objects;
        # the old ones die at once (nothing else holds them), so anything
        # the module borrowed without holding is gone when used again.
        def __init__(self, value):
            self.value = value
        def churn(self):
            namespace["np"] = types.SimpleNamespace(**{name: getattr(np, name) for name in (
                "ceil", "zeros", "concatenate", "empty", "sum", "count_nonzero", "logical_and", "max", "nonzero")})
            for name in ("calc_num_frames", "num_zerocrossings"):
                namespace[name] = (lambda function: lambda *args: function(*args))(originals[name])
        def __len__(self):
            self.churn()
            return len(self.value)
        def __getitem__(self, key):
            self.churn()
            return Vanishing(self.value[key])
        def __mul__(self, other):
            self.churn()
            return self.value * other.value
        def __lt__(self, other):
            self.churn()
            return self.value < (other.value if isinstance(other, Vanishing) else other)
        def __gt__(self, other):
            self.churn()
            return self.value > (other.value if isinstance(other, Vanishing) else other)

    x = np.array([0.5, -1.0, 2.0, -3.0, 1.0, 4.0, -2.0])
    for _ in range(20):
        energy = fenwy.calc_energy(Vanishing(x), 3, 2, False)
        zc = fenwy.calc_zc(Vanishing(x), 3, 2, False)
        crossings = fenwy.num_zerocrossings(Vanishing(x))
        peaks = fenwy.find_peaks(Vanishing(x))
    print(energy.tolist())
    print(zc.tolist())
    print(crossings)
    print(peaks.tolist())
    """
)


def test_globals_replaced_and_freed_during_every_operation():
    returncode, stdout, stderr = run_isolated(HOSTILE_RELEASE_SCRIPT)
    assert returncode == 0, stderr
    x = np.array([0.5, -1.0, 2.0, -3.0, 1.0, 4.0, -2.0])
    assert stdout.splitlines() == [
        str(model.calc_energy(x, 3, 2, False).tolist()),
        str(model.calc_zc(x, 3, 2, False).tolist()),
        str(model.num_zerocrossings(x)),
        str(model.find_peaks(x).tolist()),
    ]
