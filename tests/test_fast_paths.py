"""The native fast paths of calc_energy, calc_zc, num_zerocrossings and
find_peaks: which calls take them, and that they give exactly what the
generic sequence of numpy calls gives (values bit for bit, dtypes, types,
exceptions, traceback records and warnings).  A forwarding module bound to
the module's np forces the generic sequence; a profile hook that sees
numpy's Python-level functions being entered shows which way a call went."""

import _thread
import builtins
import itertools
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types
import warnings
from array import array
from fractions import Fraction

import numpy as np
import pytest

import model
from paths import generic_path, names_numpy_reads, numpy_calls
from tracebacks import record, records

FEATURES = ["calc_energy", "calc_zc", "num_zerocrossings", "find_peaks"]
INTEGER_DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
# The numpy functions the bodies fetch; the fast paths run only while all
# of them are the objects numpy had at start-up.
FETCHED_ATTRIBUTES = ["ceil", "zeros", "concatenate", "empty", "sum", "count_nonzero", "logical_and", "max", "nonzero"]
# Element step of a view into a larger array: negative steps run backwards.
LAYOUTS = {"contiguous": 1, "every third": 3, "reversed": -1, "reversed, every other": -2}
NAN = float("nan")
INF = float("inf")


# -- outcomes of calls -------------------------------------------------------


def outcome(call, action="always"):
    """What call() gives: its result, or its exception's type, message and
    traceback records; with the warnings it emits, in order."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter(action)
        try:
            given = ("returned", call())
        except Exception as error:
            given = ("raised", type(error), str(error), records(error))
    return given, [(warning.category, str(warning.message)) for warning in caught]


def both_paths(namespace, call, action="always"):
    """The outcomes of call() as it goes by itself and through the generic sequence."""
    fast = outcome(call, action)
    with generic_path(namespace):
        generic = outcome(call, action)
    return fast, generic


def array_traits(a):
    return a.dtype, a.shape, a.flags.owndata, a.flags.writeable, a.flags.c_contiguous, a.base is None


def assert_identical(result, expected, case=""):
    assert type(result) is type(expected), case
    if isinstance(expected, np.ndarray):
        assert array_traits(result) == array_traits(expected), case
        np.testing.assert_array_equal(result, expected, err_msg=case)
        # Bit for bit: signs of zeros and NaN payloads too.
        assert result.tobytes() == expected.tobytes(), case
    else:
        assert result == expected, case


def assert_same_outcome(fast, generic, case=""):
    (fast_given, fast_warnings), (generic_given, generic_warnings) = fast, generic
    assert fast_warnings == generic_warnings, case
    assert fast_given[0] == generic_given[0], (case, fast_given[1:], generic_given[1:])
    if generic_given[0] == "raised":
        assert fast_given == generic_given, case
    else:
        assert_identical(fast_given[1], generic_given[1], case)


# -- signals -----------------------------------------------------------------


def laid_out(values, step):
    """The values as a view with the given element step into a larger array
    whose other elements differ from them."""
    base = np.full(len(values) * abs(step), 3, dtype=values.dtype)
    view = base[::step]
    view[:] = values
    return view


FLOAT_SPECIALS = {
    # Squares or products that overflow, underflow or are subnormal, next
    # to the values that make products invalid.
    "float64": [NAN, -NAN, INF, -INF, 0.0, -0.0, 5e-324, -2.5e-310, 1e-200, -1e-160, 1.2e154, -1.5e154, 1e200],
    "float32": [NAN, -NAN, INF, -INF, 0.0, -0.0, 1e-45, -1e-40, 1e-30, -1e-25, 1.2e19, -1e20],
}


def samples(rng, dtype, length, special):
    """Seeded samples: runs of zeros (signed for floats) among random values
    and, if special, a few of the awkward values scattered over the signal."""
    if np.dtype(dtype).kind == "f":
        values = rng.standard_normal(length)
        values[rng.random(length) < 0.1] = 0.0
        values[rng.random(length) < 0.05] = -0.0
        extremes = FLOAT_SPECIALS[dtype]
    else:
        info = np.iinfo(dtype)
        values = rng.integers(info.min, info.max, length, endpoint=True, dtype=dtype)
        values[rng.random(length) < 0.1] = 0
        extremes = [info.min, info.max, 0, 1, info.max // 2]
    values = values.astype(dtype)
    if special and length:
        where = rng.integers(0, length, min(20, length))
        values[where] = rng.choice(np.array(extremes, dtype=dtype), len(where))
    return values


def clean_signal(dtype, step=1, length=300):
    """A signal whose processing raises no floating-point flag."""
    rng = np.random.default_rng([length, abs(step)])
    if np.dtype(dtype).kind == "f":
        values = rng.standard_normal(length)
    else:
        values = rng.integers(0 if np.dtype(dtype).kind == "u" else -100, 100, length)
    values[rng.random(length) < 0.1] = 0
    return laid_out(values.astype(dtype), step)


# -- which calls take the fast path ------------------------------------------


def call_of(function, *args):
    return lambda module: getattr(module, function)(*args)


def feature_calls():
    """(id, call) for each feature on inputs the fast paths claim."""
    x = clean_signal("float64")
    return [
        ("calc_energy-centered", call_of("calc_energy", x, 32, 8, True)),
        ("calc_energy-uncentered", call_of("calc_energy", x, 32, 8, False)),
        ("calc_zc", call_of("calc_zc", x, 32, 8, True)),
        ("num_zerocrossings", call_of("num_zerocrossings", x)),
        ("find_peaks", call_of("find_peaks", x)),
        ("find_peaks-thresh", call_of("find_peaks", x, 0.5)),
    ]


FEATURE_CALLS = feature_calls()
FEATURE_CALL_IDS = [name for name, _ in FEATURE_CALLS]


def claimed_calls():
    """(id, call) for inputs the fast paths claim, of every kind."""
    for dtype in ["float64", *INTEGER_DTYPES]:
        for centered in (True, False):
            x = clean_signal(dtype)
            yield f"calc_energy-{dtype}-centered={centered}", call_of("calc_energy", x, 32, 8, centered)
    for centered in (True, False):
        x32 = clean_signal("float32")
        yield f"calc_energy-float32-centered={centered}", call_of("calc_energy", x32, 32, 8, centered)
    for dtype in ["float64", "float32", *INTEGER_DTYPES]:
        for centered in (True, False):
            yield f"calc_zc-{dtype}-centered={centered}", call_of("calc_zc", clean_signal(dtype), 32, 8, centered)
        yield f"num_zerocrossings-{dtype}", call_of("num_zerocrossings", clean_signal(dtype))
        for thresh in (None, False, 0, 0.0):
            yield f"find_peaks-{dtype}-thresh={thresh!r}", call_of("find_peaks", clean_signal(dtype), thresh)
    x = clean_signal("float64")
    for thresh in (True, 1, 0.5, -0.5, NAN, INF, 1e300, 2**53, -(2**53), 2**53 + 2):
        yield f"find_peaks-thresh={thresh!r}", call_of("find_peaks", x, thresh)
    # Other types meet the threshold by numpy's promotion rules.
    for dtype in ["float32", *INTEGER_DTYPES]:
        for thresh in (True, 0.5, 0.25):
            yield f"find_peaks-{dtype}-thresh={thresh!r}", call_of("find_peaks", clean_signal(dtype), thresh)
    for layout, step in LAYOUTS.items():
        strided = clean_signal("float64", step)
        yield f"calc_energy-{layout}", call_of("calc_energy", strided, 16, 3, False)
        yield f"calc_zc-{layout}", call_of("calc_zc", strided, 16, 3, True)
        yield f"num_zerocrossings-{layout}", call_of("num_zerocrossings", strided)
        yield f"find_peaks-{layout}", call_of("find_peaks", strided, 0.25)
    # Quiet NaNs and infinities away from zeros raise no flag in numpy.
    x_unusual = x.copy()
    x_unusual[x_unusual == 0] = 1.0
    x_unusual[[10, 11, 50, 51, 200]] = [NAN, -NAN, INF, -INF, NAN]
    # Energy frames holding an infinity but no NaN stay native.
    x_infinite = x.copy()
    x_infinite[[50, 51]] = [INF, -INF]
    for centered in (True, False):
        yield f"calc_energy-inf-centered={centered}", call_of("calc_energy", x_infinite, 32, 8, centered)
        yield f"calc_zc-nan-inf-centered={centered}", call_of("calc_zc", x_unusual, 32, 8, centered)
    yield "num_zerocrossings-nan-inf", call_of("num_zerocrossings", x_unusual)
    # Centred, a float32 signal is cast whole; a quiet NaN between frames raises nothing there.
    quiet_nan_between_frames = np.ones(10_000, dtype=np.float32)
    quiet_nan_between_frames[4995] = NAN
    yield "calc_zc-float32-quiet-nan-between-frames", call_of("calc_zc", quiet_nan_between_frames, 2, 5000)
    for thresh in (None, 0.5):
        yield f"find_peaks-nan-inf-thresh={thresh}", call_of("find_peaks", x_unusual, thresh)
    # Centred, float32 products are formed in float64: neighbours whose
    # product would underflow or overflow in float32 cross, quietly.
    beyond_float32 = clean_signal("float32").copy()
    beyond_float32[[100, 101, 200, 201]] = [1e-30, -1e-25, 1e30, -1e20]
    yield "calc_zc-float32-products-beyond-float32", call_of("calc_zc", beyond_float32, 32, 8, True)
    for centered in (None, 0, 1, -3, 0.0, 2.5):
        yield f"calc_energy-centered={centered!r}", call_of("calc_energy", x, 32, 8, centered)
        yield f"calc_zc-centered={centered!r}", call_of("calc_zc", x, 32, 8, centered)
    # Sizes at both ends of the claimed range; a window longer than the
    # signal; a hop longer than the window.
    for win_len, hop_size, centered in [(1, 1, True), (2**31 - 1, 2**31 - 1, False), (500, 100, True), (4, 9, False)]:
        for function in ("calc_energy", "calc_zc"):
            case = f"{function}-win={win_len}-hop={hop_size}"
            yield case, call_of(function, x, win_len, hop_size, centered)


CLAIMED_CALLS = list(claimed_calls())


@pytest.fixture(autouse=True, scope="module")
def first_calls_made():
    # The first fast calls in a process ask numpy, once, how its sum adds up,
    # what type its counts have and, per float type, which flags its
    # statements raise; no later call asks again.
    import ostrel.fenwy

    for _, call in FEATURE_CALLS:
        call(ostrel.fenwy)
    call_of("calc_energy", clean_signal("float32"), 32, 8)(ostrel.fenwy)


ERROR_STATES = {"numpy default": dict(all="warn", under="ignore"), "raise": dict(all="raise")}
# Where numpy ignores every flag, native results kept despite raised flags
# are compared too.
FRAME_ERROR_STATES = {"numpy default": ERROR_STATES["numpy default"], "ignore": dict(all="ignore")}


@pytest.mark.parametrize("error_state", ERROR_STATES)
@pytest.mark.parametrize("call", [call for _, call in CLAIMED_CALLS], ids=[name for name, _ in CLAIMED_CALLS])
def test_claimed_inputs_take_the_fast_path(fenwy, restore_globals, call, error_state):
    with np.errstate(**ERROR_STATES[error_state]):
        result, counts = numpy_calls(lambda: call(fenwy))
        with generic_path(restore_globals):
            expected = call(fenwy)
    assert counts == {}
    assert_identical(result, expected)


def assert_generic_sequence(fenwy, call, hidden=()):
    """The call enters numpy's Python-level functions as the model does, but
    for the hidden ones, and gives the model's result."""
    result, counts = numpy_calls(lambda: call(fenwy))
    expected, model_counts = numpy_calls(lambda: call(model))
    for name in hidden:
        del model_counts[name]
    assert counts == model_counts
    assert sum(counts.values()) > 0
    assert_identical(result, expected)


class Samples(np.ndarray):
    pass


def unaligned(values):
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(values.dtype)
    view[:] = values
    assert not view.flags.aligned
    return view


# calc_zc hands each frame to num_zerocrossings, whose own fast path takes
# plain float64 frames: their counts do not show, the padding does.
FRAMES_HIDDEN = ("count_nonzero",)


def unclaimed_calls():
    """(id, call, watched functions the call hides)"""
    x = clean_signal("float64")
    # Uncentered, the frames keep the signal's type: calc_zc's count
    # shows.  Padding cannot join the zeros and a two-dimensional signal.
    for name, signal in [
        ("ndarray subclass", x.view(Samples)),
        ("byte-swapped", x.astype(">f8")),
        ("unaligned", unaligned(x)),
        ("float16", x.astype(np.float16)),
        ("bool", x > 0),
        ("two-dimensional", np.stack([x, -x], axis=1)),
    ]:
        yield f"calc_energy-{name}", call_of("calc_energy", signal, 32, 8, False), ()
        yield f"calc_zc-{name}", call_of("calc_zc", signal, 32, 8, False), ()
        yield f"num_zerocrossings-{name}", call_of("num_zerocrossings", signal), ()
        yield f"find_peaks-{name}", call_of("find_peaks", signal), ()
    # A list becomes a float64 array in the padding.
    yield "calc_energy-list", call_of("calc_energy", x.tolist(), 32, 8, True), ()
    yield "calc_zc-list", call_of("calc_zc", x.tolist(), 32, 8, True), FRAMES_HIDDEN
    # float32 sums are known to follow numpy's float64 order within one buffer.
    yield "calc_energy-float32-beyond-a-buffer", call_of("calc_energy", clean_signal("float32", length=9100), 9000, 8, False), ()
    for thresh in (np.float64(0.5), np.True_, np.array(0.5), Fraction(1, 2)):
        yield f"find_peaks-thresh={thresh!r}", call_of("find_peaks", x, thresh), ()
    for centered in (np.True_, np.False_, [1], [], np.float64(1.0), "yes"):
        yield f"calc_energy-centered={centered!r}", call_of("calc_energy", x, 32, 8, centered), ()
        if centered:
            yield f"calc_zc-centered={centered!r}", call_of("calc_zc", x, 32, 8, centered), FRAMES_HIDDEN
    # Sizes of other types or out of range, with frames to work on.  Padding
    # by 2**30 zeros would take 8 GiB, and calc_zc's plain float64 frames
    # show nothing uncentered: calc_energy alone shows those.
    for win_len, hop_size in [(np.int64(32), 8), (32, np.int64(8))]:
        yield f"calc_energy-win={win_len!r}-hop={hop_size!r}", call_of("calc_energy", x, win_len, hop_size, False), ()
        yield f"calc_zc-win={win_len!r}-hop={hop_size!r}", call_of("calc_zc", x, win_len, hop_size, True), \
            FRAMES_HIDDEN
    for win_len, hop_size in [(True, 8), (2**31, 2**31), (32, 2**31)]:
        yield f"calc_energy-win={win_len!r}-hop={hop_size!r}", call_of("calc_energy", x, win_len, hop_size, False), ()


UNCLAIMED_CALLS = list(unclaimed_calls())


@pytest.mark.parametrize(
    "call, hidden", [case[1:] for case in UNCLAIMED_CALLS], ids=[case[0] for case in UNCLAIMED_CALLS]
)
def test_other_inputs_take_the_generic_sequence(fenwy, call, hidden):
    assert_generic_sequence(fenwy, call, hidden)


# Items of size zero: nothing to divide a stride or an address by.
SIZELESS_DTYPES = {"no fields": np.dtype([]), "V0": np.dtype("V0"), "empty subarray": np.dtype([("a", "f8", (0,))])}
SIZELESS_CALLS = [
    ("calc_energy-centered", "calc_energy", (4, 2, True)),
    ("calc_energy-uncentered", "calc_energy", (4, 2, False)),
    ("calc_zc-centered", "calc_zc", (4, 2, True)),
    ("calc_zc-uncentered", "calc_zc", (4, 2, False)),
    ("num_zerocrossings", "num_zerocrossings", ()),
    ("find_peaks", "find_peaks", (None,)),
    ("find_peaks-thresh", "find_peaks", (0.5,)),
]


@pytest.mark.parametrize("dtype", SIZELESS_DTYPES.values(), ids=SIZELESS_DTYPES)
@pytest.mark.parametrize(
    "function, trailing", [case[1:] for case in SIZELESS_CALLS], ids=[case[0] for case in SIZELESS_CALLS]
)
def test_items_of_size_zero_give_the_generic_outcome(fenwy, restore_globals, function, trailing, dtype):
    x = np.empty(5, dtype=dtype)
    fast, generic = both_paths(restore_globals, lambda: getattr(fenwy, function)(x, *trailing))
    assert generic[0][0] == "raised"
    assert_same_outcome(fast, generic)


@pytest.mark.parametrize("call", [call for _, call in FEATURE_CALLS], ids=FEATURE_CALL_IDS)
def test_a_forwarding_module_as_np_forces_the_generic_sequence(fenwy, restore_globals, call):
    with generic_path(restore_globals):
        assert_generic_sequence(fenwy, call)


@pytest.mark.parametrize("attribute", FETCHED_ATTRIBUTES)
@pytest.mark.parametrize("call", [call for _, call in FEATURE_CALLS], ids=FEATURE_CALL_IDS)
def test_a_replaced_numpy_function_means_the_generic_sequence(fenwy, monkeypatch, call, attribute):
    original = getattr(np, attribute)
    entries = []

    def wrapper(*args, **kwargs):
        entries.append(attribute)
        return original(*args, **kwargs)

    monkeypatch.setattr(np, attribute, wrapper)
    result, counts = numpy_calls(lambda: call(fenwy))
    module_entries = len(entries)
    expected, model_counts = numpy_calls(lambda: call(model))
    assert counts == model_counts
    assert sum(counts.values()) > 0
    # The replacement is called by the module as often as by the model.
    assert module_entries == len(entries) - module_entries
    assert_identical(result, expected)


NAMES_NUMPY_READS = names_numpy_reads()
MISSING = object()


def stand_in(value):
    """Another object for a name that does what the value does where it
    can: a forwarding module, a subclass, a forwarding function."""
    if isinstance(value, types.ModuleType):
        proxy = types.ModuleType(value.__name__)
        proxy.__getattr__ = lambda name: getattr(value, name)
        return proxy
    if isinstance(value, type):
        try:
            return type(value.__name__, (value,), {})
        except TypeError:
            pass
    if callable(value):
        return lambda *args, **kwargs: value(*args, **kwargs)
    return object()


def rebound(namespace, name, call):
    """call, made while the name is bound to a stand-in (added where the name
    was absent, shadowing the builtin); only meanwhile, as numpy's own code
    and builtins serve the test's checks too."""
    def rebound_call():
        saved = namespace.get(name, MISSING)
        namespace[name] = stand_in(getattr(builtins, name) if saved is MISSING else saved)
        try:
            return call()
        finally:
            if saved is MISSING:
                del namespace[name]
            else:
                namespace[name] = saved

    return rebound_call


# Taken once first, the fast path must see the change, leave the call to the
# generic sequence, and be taken again once the name is put back.
@pytest.mark.parametrize("space, namespace, name", NAMES_NUMPY_READS, ids=[f"{s}.{n}" for s, _, n in NAMES_NUMPY_READS])
@pytest.mark.parametrize("call", [call for _, call in FEATURE_CALLS], ids=FEATURE_CALL_IDS)
def test_a_name_numpy_reads_rebound_means_the_generic_sequence(fenwy, restore_globals, call, space, namespace, name):
    assert numpy_calls(lambda: call(fenwy))[1] == {}
    fast, generic = both_paths(restore_globals, rebound(namespace, name, lambda: call(fenwy)))
    assert_same_outcome(fast, generic)
    counts = numpy_calls(lambda: outcome(rebound(namespace, name, lambda: call(fenwy))))[1]
    assert counts != {}
    assert numpy_calls(lambda: call(fenwy))[1] == {}


class CollidesWithNp:
    """A module-global key with the hash of "np": looking np up compares it
    with the key, which raises once armed."""

    armed = False
    compared = 0

    def __hash__(self):
        return hash("np")

    def __eq__(self, other):
        if not self.armed:
            return False
        self.compared += 1
        raise LookupError("compared with np")


# Where each call looks np up first.
FIRST_NP_RECORDS = {
    "calc_energy-centered": [record("calc_energy", 31)],
    "calc_energy-uncentered": [record("calc_energy", 34), record("calc_num_frames", 14)],
    "calc_zc": [record("calc_zc", 60)],
    "num_zerocrossings": [record("num_zerocrossings", 87)],
    "find_peaks": [record("find_peaks", 102)],
    "find_peaks-thresh": [record("find_peaks", 102)],
}


# The fast paths' checks run no Python code: only the body's own look-up
# compares the key, and raises at its statement.
@pytest.mark.parametrize("case, call", FEATURE_CALLS, ids=FEATURE_CALL_IDS)
def test_a_key_other_than_str_in_the_namespace_is_compared_by_the_body_alone(fenwy, restore_globals, case, call):
    key = CollidesWithNp()
    numpy = restore_globals.pop("np")
    restore_globals[key] = None
    restore_globals["np"] = numpy
    key.armed = True
    try:
        with pytest.raises(LookupError) as info:
            call(fenwy)
    finally:
        key.armed = False
    assert key.compared == 1
    assert records(info.value) == FIRST_NP_RECORDS[case]


@pytest.mark.parametrize("call", [call for _, call in FEATURE_CALLS], ids=FEATURE_CALL_IDS)
def test_numpy_of_another_module_type_means_the_generic_sequence(fenwy, monkeypatch, call):
    class NumpyModule(types.ModuleType):
        pass

    monkeypatch.setattr(np, "__class__", NumpyModule)
    assert_generic_sequence(fenwy, call)


@pytest.mark.parametrize(
    "global_name, call",
    [
        ("calc_num_frames", call_of("calc_energy", clean_signal("float64"), 32, 8, True)),
        ("calc_num_frames", call_of("calc_energy", clean_signal("float64"), 32, 8, False)),
        ("calc_num_frames", call_of("calc_zc", clean_signal("float64"), 32, 8, True)),
        ("num_zerocrossings", call_of("calc_zc", clean_signal("float64"), 32, 8, False)),
    ],
    ids=["calc_energy-centered", "calc_energy-uncentered", "calc_zc-frame-count", "calc_zc-crossings"],
)
def test_a_rebound_module_function_is_called(fenwy, restore_globals, global_name, call):
    own = restore_globals[global_name]
    entries = []

    def wrapper(*args):
        entries.append(args)
        return own(*args)

    restore_globals[global_name] = wrapper
    result = call(fenwy)
    assert_identical(result, call(model))
    # Once for the frame count; for the crossings, once a frame.
    assert len(entries) == (1 if global_name == "calc_num_frames" else len(result))


# -- the fast paths against the generic sequence -----------------------------

LENGTHS = [0, 1, 2, 3, 7, 8, 9, 127, 128, 129, 1000, 8191, 8193, 70000]
WINDOWS = [1, 2, 3, 7, 8, 9, 63, 64, 65, 127, 128, 129, 130, 256, 1000, 1024, 4097, 5000]
GRID_DTYPES = ["float64", "float32", "int16", "int64", "uint8"]
# The generic sequence makes numpy calls for every frame: no grid call has more frames.
MAX_FRAMES = 300


def hop_sizes(win_len):
    """From 1 to win_len + 3: the smallest, about a quarter and a half of the
    window, and around the window."""
    candidates = (1, 2, 3, win_len // 4, win_len // 2, win_len - 1, win_len, win_len + 1, win_len + 3)
    return sorted({hop for hop in candidates if hop >= 1})


def frame_grid(rng):
    """(length, win_len, hop_size, centered): every window with each of its hop
    sizes, a length and centering drawn for it, frame counts capped."""
    for win_len in WINDOWS:
        for hop_size in hop_sizes(win_len):
            centered = bool(rng.integers(2))
            pad = win_len // 2 if centered else 0
            lengths = [n for n in LENGTHS if model.calc_num_frames(n + pad, win_len, hop_size) <= MAX_FRAMES]
            yield int(rng.choice(lengths)), win_len, hop_size, centered


@pytest.mark.parametrize("error_state", FRAME_ERROR_STATES)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", GRID_DTYPES)
@pytest.mark.parametrize("function", ["calc_energy", "calc_zc"])
def test_frame_features_match_the_generic_sequence(fenwy, restore_globals, function, dtype, layout, error_state):
    rng = np.random.default_rng([FEATURES.index(function), GRID_DTYPES.index(dtype), LAYOUTS[layout] + 2])
    for index, (length, win_len, hop_size, centered) in enumerate(frame_grid(rng)):
        x = laid_out(samples(rng, dtype, length, special=index % 2 == 1), LAYOUTS[layout])
        with np.errstate(**FRAME_ERROR_STATES[error_state]):
            fast, generic = both_paths(restore_globals,
                                       lambda: getattr(fenwy, function)(x, win_len, hop_size, centered))
        case = f"{function}({dtype} {layout} x of {length}, {win_len}, {hop_size}, {centered}), signal {index}"
        assert_same_outcome(fast, generic, case)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", GRID_DTYPES)
def test_zero_crossings_match_the_generic_sequence(fenwy, restore_globals, dtype, layout):
    rng = np.random.default_rng([2, GRID_DTYPES.index(dtype), LAYOUTS[layout] + 2])
    for length, special in itertools.product(LENGTHS, (False, True)):
        x = laid_out(samples(rng, dtype, length, special), LAYOUTS[layout])
        fast, generic = both_paths(restore_globals, lambda: fenwy.num_zerocrossings(x))
        # numpy's own count type, or int 0 for fewer than two samples.
        assert_same_outcome(fast, generic, f"num_zerocrossings({dtype} {layout} x of {length}, special={special})")


# 1/3 and 0.1 put th a rounding step away from a sample of the last float signal below.
THRESHOLDS = [None, False, 0, 0.0, True, 1, 0.5, -0.5, 1 / 3, 0.1, NAN, INF, 1e308, 1e-310, 2**70, 10**400]


def peak_signals(rng, dtype):
    """Signals with plateaus and, for floats, NaNs and infinities."""
    low = 0 if np.dtype(dtype).kind == "u" else -3
    for length in LENGTHS:
        yield rng.integers(low, 4, length).astype(dtype)
        yield samples(rng, dtype, length, special=True)
    if np.dtype(dtype).kind == "f":
        for values in ([], [1.0], [1.0, 2.0], [0.0, 1.0, 0.0], [0.0, NAN, 0.0], [1.0, NAN, 2.0, 1.0],
                       [0.0, INF, 0.0], [-INF, -1.0, -INF], [0.0, 2.0, 2.0, 0.0], [-1.0, 0.0, -1.0],
                       [-1.0, -0.0, -1.0, 0.0, -1.0], [0.0, 5e-324, 0.0]):
            yield np.array(values, dtype=dtype)
        largest = np.finfo(dtype).max
        yield np.array([0.0, largest, 0.0, largest / 2, 0.0], dtype=dtype)
        yield np.array([0.0, 3.0, 0.0, 1.0, 0.0, 10.0, 0.0, 1.0, 0.0, 1.0000001, 0.0, 0.9999999, 0.0], dtype=dtype)


def threshold_id(thresh):
    text = repr(thresh)
    return text if len(text) < 20 else f"int of {len(text)} digits"


# Thresholds meet every type by numpy's promotion rules, which differ
# between numpy versions most for the smallest and the unsigned types.
PEAK_DTYPES = [*GRID_DTYPES, "int8", "uint32", "uint64"]


@pytest.mark.parametrize("error_state", ERROR_STATES)
@pytest.mark.parametrize("dtype", PEAK_DTYPES)
@pytest.mark.parametrize("thresh", THRESHOLDS, ids=threshold_id)
def test_peaks_match_the_generic_sequence(fenwy, restore_globals, thresh, dtype, error_state):
    rng = np.random.default_rng([3, THRESHOLDS.index(thresh), PEAK_DTYPES.index(dtype)])
    for index, values in enumerate(peak_signals(rng, dtype)):
        for layout, step in LAYOUTS.items():
            x = laid_out(values, step)
            with np.errstate(**ERROR_STATES[error_state]):
                fast, generic = both_paths(restore_globals, lambda: fenwy.find_peaks(x, thresh))
            assert_same_outcome(fast, generic, f"find_peaks({dtype} {layout} signal {index} of {len(x)}, {thresh!r})")


# Every short signal over the values that raise flags: each pair of them
# meets in a product, a square, a comparison and a padded frame, so a flag
# numpy raises for one of them and the fast path misses shows here.
SHORT_SPECIALS = {
    "float64": [NAN, INF, -INF, 0.0, -0.0, 5e-324, 1e-200, -1.5e154, 1.0],
    "float32": [NAN, INF, -INF, 0.0, -0.0, 1e-45, 1e-30, -1.2e19, 1.0],
}
SHORT_CALLS = {
    "num_zerocrossings": lambda module, x: module.num_zerocrossings(x),
    "calc_zc-centered": lambda module, x: module.calc_zc(x, 2, 1),
    "calc_zc-centered-long-window": lambda module, x: module.calc_zc(x, 5, 2),
    "calc_zc": lambda module, x: module.calc_zc(x, 2, 1, False),
    "calc_energy-centered": lambda module, x: module.calc_energy(x, 2, 1),
    "calc_energy": lambda module, x: module.calc_energy(x, 3, 1, False),
    "find_peaks": lambda module, x: module.find_peaks(x),
    "find_peaks-threshold": lambda module, x: module.find_peaks(x, 0.5),
}


@pytest.mark.parametrize("error_state", ERROR_STATES)
@pytest.mark.parametrize("dtype", SHORT_SPECIALS)
@pytest.mark.parametrize("function", SHORT_CALLS)
def test_short_special_signals_match_the_generic_sequence(fenwy, restore_globals, function, dtype, error_state):
    call = SHORT_CALLS[function]
    for length in (1, 2, 3):
        for values in itertools.product(SHORT_SPECIALS[dtype], repeat=length):
            x = np.array(values, dtype=dtype)
            with np.errstate(**ERROR_STATES[error_state]):
                fast, generic = both_paths(restore_globals, lambda: call(fenwy, x))
            assert_same_outcome(fast, generic, f"{function}({dtype} {values})")


def nan_positions(length):
    """The first dozen places and the last four, across the pairwise blocks."""
    return sorted({*range(min(length, 12)), *range(max(0, length - 4), length)})


@pytest.mark.parametrize("length", [8, 16, 130, 1000])
def test_nan_signs_come_out_as_numpys_sum_leaves_them(fenwy, restore_globals, length):
    for negative, positive in itertools.permutations(nan_positions(length), 2):
        x = np.ones(length)
        x[negative] = -NAN
        x[positive] = NAN
        fast, generic = both_paths(restore_globals, lambda: fenwy.calc_energy(x, length, length, False))
        assert_same_outcome(fast, generic, f"-nan at {negative}, nan at {positive}")


# NaNs at a frame's first and last sample, inside a pairwise block, and in
# blocks that neighbouring frames share.
@pytest.mark.parametrize("positions", [[0], [31, 32], [45], [140, -1], [200, 201, 202]], ids=repr)
@pytest.mark.parametrize("win_len, hop_size", [(32, 8), (256, 128)])
@pytest.mark.parametrize("centered", [True, False])
@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_only_frames_with_a_nan_are_summed_by_numpy(fenwy, restore_globals, dtype, centered, win_len, hop_size,
                                                    positions):
    x = clean_signal(dtype, length=700)
    x[positions] = [NAN if index % 2 else -NAN for index in range(len(positions))]
    result, counts = numpy_calls(lambda: fenwy.calc_energy(x, win_len, hop_size, centered))
    with generic_path(restore_globals):
        expected = fenwy.calc_energy(x, win_len, hop_size, centered)
    nan_frames = np.count_nonzero(np.isnan(expected))
    assert nan_frames > 0
    assert counts == {"sum": nan_frames}
    assert_identical(result, expected)


# -- floating-point flags ----------------------------------------------------

# (id, call, flag): each call meets one kind of flagged operation.
ONE_HUGE_SAMPLE = np.array([1.0, 2.0, 1e200, 3.0])


def signalling_nans(length, positions, step=1, quiet=()):
    """float32 ones with signalling NaNs (quiet bit clear) at the positions
    and quiet NaNs at `quiet`, as a view with the given element step."""
    bits = np.full(length, 0x3F800000, dtype=np.uint32)
    bits[list(quiet)] = 0x7FC00000
    bits[positions] = 0x7F800001
    return laid_out(bits, step).view(np.float32)


# Centred, a float32 signal is cast to float64 whole; a signalling NaN raises
# the flag wherever it lies: in a frame, between frames, with no frame at
# all, in a frame of one sample (which has no neighbour to multiply), or in
# the last piece of a long signal.
SIGNALLING_NANS = [
    ("zc-in-a-frame", "calc_zc", signalling_nans(10, [4]), 4, 2),
    ("energy-between-frames", "calc_energy", signalling_nans(10, [3]), 2, 5),
    ("energy-between-frames-reversed", "calc_energy", signalling_nans(10, [6], step=-1), 2, 5),
    # Long gaps are searched for NaNs first: a quiet one beside the signalling one.
    ("energy-between-long-frames", "calc_energy", signalling_nans(4096, [1500], quiet=[1490]), 512, 1024),
    ("energy-after-long-frames", "calc_energy", signalling_nans(4600, [4500], quiet=[4490]), 512, 1024),
    # Every lane of the scan's vectors, at neighbouring places.
    *[(f"zc-between-frames-at-{position}", "calc_zc", signalling_nans(10_000, [position]), 2, 5000)
      for position in range(100, 108)],
    ("energy-no-frames", "calc_energy", signalling_nans(8, range(8)), 85, 23),
    ("zc-no-frames", "calc_zc", signalling_nans(8, range(8)), 85, 23),
    ("zc-one-sample", "calc_zc", signalling_nans(1, [0]), 1, 1),
    ("zc-last-of-a-long-signal", "calc_zc", signalling_nans(2**22 + 3, [-1]), 2, 2**21),
]
FLAGGED_CALLS = [
    ("energy-square-overflows", call_of("calc_energy", ONE_HUGE_SAMPLE, 2, 2, False), "overflow"),
    ("energy-centered-square-overflows", call_of("calc_energy", ONE_HUGE_SAMPLE, 2, 2, True), "overflow"),
    ("energy-sum-overflows", call_of("calc_energy", np.array([1.2e154, 1.2e154, 1.0]), 2, 2, False), "overflow"),
    ("energy-square-underflows", call_of("calc_energy", np.array([1.0, 1e-200, 2.0, 3.0]), 2, 2, False), "underflow"),
    ("energy-subnormal-square", call_of("calc_energy", np.array([5e-324, 1.0]), 2, 2, False), "underflow"),
    ("zc-product-overflows", call_of("calc_zc", np.array([1e200, -1e200, 1.0]), 2, 2, False), "overflow"),
    ("zc-product-invalid", call_of("calc_zc", np.array([INF, 0.0, 1.0]), 2, 2, False), "invalid"),
    # Frames longer than a tile are swept; the padding's last zero meets the
    # infinity when a sweep starts right at that pair.
    ("zc-padded-pair-at-a-sweep-start",
     call_of("calc_zc", np.array([INF, *[1.0, -1.0] * 10_000]), 8194, 4096, True), "invalid"),
    ("zc-product-underflows", call_of("calc_zc", np.array([1e-200, -1e-200, 1.0]), 2, 2, False), "underflow"),
    ("zc-float32-product-underflows",
     call_of("calc_zc", np.array([1e-30, -1e-30, 1.0], dtype=np.float32), 2, 2, False), "underflow"),
    ("crossings-product-overflows", call_of("num_zerocrossings", np.array([1.0, 1e200, -1e200])), "overflow"),
    ("crossings-product-invalid", call_of("num_zerocrossings", np.array([-INF, -0.0])), "invalid"),
    ("crossings-float32-product-underflows",
     call_of("num_zerocrossings", np.array([1e-30, -1e-30], dtype=np.float32)), "underflow"),
    ("peaks-threshold-overflows", call_of("find_peaks", np.array([0.0, 5.0, 0.0, 2.0, 0.0]), 1e308), "overflow"),
    ("peaks-threshold-invalid", call_of("find_peaks", np.array([-1.0, 0.0, -1.0]), INF), "invalid"),
    ("peaks-threshold-underflows", call_of("find_peaks", np.array([0.0, 1e-10, 0.0]), 1e-310), "underflow"),
    *[(f"{case}-signalling-nan", call_of(function, x, win_len, hop_size, True), "invalid")
      for case, function, x, win_len, hop_size in SIGNALLING_NANS],
]
FLAGGED_IDS = [name for name, _, _ in FLAGGED_CALLS]
FLAGGED_PARAMETERS = [(call, flag) for _, call, flag in FLAGGED_CALLS]
# A frame holding a NaN is summed by numpy even where the flag is ignored,
# so this row stays out of the tests of the other error modes.
NAN_FRAME_ID = "energy-in-a-frame-signalling-nan"
NAN_FRAME_PARAMETERS = (call_of("calc_energy", signalling_nans(10, [4]), 4, 2, True), "invalid")
# numpy's wording: "overflow encountered in multiply", "invalid value encountered in ..."
FLAG_WORDING = {"overflow": "overflow encountered in ", "underflow": "underflow encountered in ",
                "invalid": "invalid value encountered in "}


# A flag becomes an error either through numpy's error state or through the
# warnings filter; the fast path must raise exactly what numpy raises.
FLAGS_AS_ERRORS = {
    "error state": (dict(all="raise"), "always", FloatingPointError),
    "warnings filter": (dict(all="warn"), "error", RuntimeWarning),
}


# Quiet NaNs where no frame reads them raise nothing: the search for NaNs in
# the gaps and the tail must not take them for signalling ones.
@pytest.mark.parametrize("function", ["calc_energy", "calc_zc"])
def test_quiet_nans_outside_frames_raise_nothing(fenwy, restore_globals, function):
    x = signalling_nans(4600, [], quiet=[700, 1490, 1491, 3500, 4500])
    with np.errstate(all="raise"):
        (fast, warned), generic = both_paths(restore_globals, lambda: getattr(fenwy, function)(x, 512, 1024, True))
    assert_same_outcome((fast, warned), generic)
    assert (fast[0], warned) == ("returned", [])
    assert not np.isnan(fast[1]).any()


@pytest.mark.parametrize("made_an_error", FLAGS_AS_ERRORS)
@pytest.mark.parametrize("call, flag", [*FLAGGED_PARAMETERS, NAN_FRAME_PARAMETERS], ids=[*FLAGGED_IDS, NAN_FRAME_ID])
def test_flags_raised_as_errors(fenwy, restore_globals, call, flag, made_an_error):
    error_state, action, expected_type = FLAGS_AS_ERRORS[made_an_error]
    with np.errstate(**error_state):
        fast, generic = both_paths(restore_globals, lambda: call(fenwy), action=action)
    assert_same_outcome(fast, generic)
    (kind, error_type, message, error_records), _ = fast
    assert (kind, error_type) == ("raised", expected_type)
    assert message.startswith(FLAG_WORDING[flag])
    assert error_records


@pytest.mark.parametrize("call, flag", [*FLAGGED_PARAMETERS, NAN_FRAME_PARAMETERS], ids=[*FLAGGED_IDS, NAN_FRAME_ID])
def test_flags_under_numpys_default_error_state(fenwy, restore_globals, call, flag):
    # numpy's default: warn about everything but underflow.
    with np.errstate(all="warn", under="ignore"):
        fast, generic = both_paths(restore_globals, lambda: call(fenwy))
    assert_same_outcome(fast, generic)
    (kind, _), fast_warnings = fast
    assert kind == "returned"
    if flag == "underflow":
        assert fast_warnings == []
    else:
        # One per flagged statement: a pair two frames share warns in each.
        assert fast_warnings
        for category, message in fast_warnings:
            assert category is RuntimeWarning
            assert message.startswith(FLAG_WORDING[flag])


NUMPY_ERROR_KEYS = {"overflow": "over", "underflow": "under", "invalid": "invalid"}


# A flag whose mode is "ignore" shows nothing, so the native result stands;
# every other mode has numpy's statements show the flag.
@pytest.mark.parametrize("mode", ["ignore", "call", "log", "print"])
@pytest.mark.parametrize("call, flag", FLAGGED_PARAMETERS, ids=FLAGGED_IDS)
def test_flags_under_the_other_error_modes(fenwy, restore_globals, capfd, call, flag, mode):
    seen = [[], []]

    class Log:
        def write(self, text):
            seen[path].append(text)

    def handler(kind, code):
        seen[path].append((kind, code))

    saved = np.seterrcall(Log() if mode == "log" else handler)
    try:
        with np.errstate(all="warn", **{NUMPY_ERROR_KEYS[flag]: mode}):
            path = 0
            fast = numpy_calls(lambda: outcome(lambda: call(fenwy)))
            fast_printed = capfd.readouterr()
            path = 1
            with generic_path(restore_globals):
                generic = outcome(lambda: call(fenwy))
            generic_printed = capfd.readouterr()
    finally:
        np.seterrcall(saved)
    (result, counts) = fast
    assert_same_outcome(result, generic)
    assert seen[0] == seen[1]
    assert fast_printed == generic_printed
    shown = seen[1] or generic_printed.out or generic_printed.err
    assert bool(shown) == (mode != "ignore")
    if mode == "ignore":
        assert counts == {}


# numpy's error state is read where numpy's own operations read it: np.geterr,
# which the statements never call, may be rebound to anything.
GETERR_STAND_INS = {
    "ignoring everything": lambda: dict.fromkeys(["divide", "over", "under", "invalid"], "ignore"),
    "raising": lambda: {}["divide"],
}


@pytest.mark.parametrize("stand_in", GETERR_STAND_INS.values(), ids=GETERR_STAND_INS)
@pytest.mark.parametrize("call, flag", FLAGGED_PARAMETERS, ids=FLAGGED_IDS)
def test_a_rebound_geterr_is_never_consulted(fenwy, restore_globals, monkeypatch, call, flag, stand_in):
    consulted = []

    def geterr():
        consulted.append(flag)
        return stand_in()

    with np.errstate(**ERROR_STATES["numpy default"]):
        monkeypatch.setattr(np, "geterr", geterr)
        fast, generic = both_paths(restore_globals, lambda: call(fenwy))
        monkeypatch.undo()
    assert_same_outcome(fast, generic)
    assert consulted == []


# The first call per float type asks numpy which flags its statements raise,
# on arrays of that type made by numpy, with numpy's errstate reporting them.
# Asked while numpy's name for the type stands for another, while its
# errstate fails, or with numpy changed while it answers, the probe makes no
# finding: the call gives numpy's result, nothing is kept, and the probe is
# made again once numpy's own is back.
STAND_IN_SCRIPT = """
import sys
import numpy as np
import ostrel.fenwy as fenwy
config = sys.modules.get("numpy._core._ufunc_config") or sys.modules["numpy.core._ufunc_config"]

probes = []

def watch(frame, event, arg):
    code = frame.f_code
    if event == "call" and code.co_name == "__enter__" and "_ufunc_config" in code.co_filename:
        probes.append(code.co_name)
        if len(probes) == 1:
            {while_asked}

x = np.tile(np.array([1.0, -1.0], dtype=np.float32), 50)
own_type, own_errstate, own_ceil = np.float32, config.errstate, np.ceil
sys.setprofile(watch)
{before}
results = [int(fenwy.num_zerocrossings(x))]
np.float32, config.errstate, np.ceil = own_type, own_errstate, own_ceil
asked = [len(probes)]
for _ in range(2):
    results.append(int(fenwy.num_zerocrossings(x)))
    asked.append(len(probes))
sys.setprofile(None)
print(results, asked)
"""
# (statement before the first call, statement as its probe starts, probes made by then after each call)
PROBE_STAND_INS = {
    "another float type": ("np.float32 = np.float64", "pass", [1, 2, 2]),
    "a failing errstate": ("config.errstate = None", "pass", [0, 1, 1]),
    # A function the bodies fetch, rebound once the probe has begun.
    "another ceil while asked": ("pass", "np.ceil = np.floor", [1, 2, 2]),
}


@pytest.mark.parametrize("stand_in", PROBE_STAND_INS)
def test_flags_asked_of_a_stand_in_are_not_kept(stand_in):
    before, while_asked, asked = PROBE_STAND_INS[stand_in]
    script = STAND_IN_SCRIPT.replace("{before}", before).replace("{while_asked}", while_asked)
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (completed.stdout, completed.stderr) == (f"[99, 99, 99] {asked}\n", "")


# -- threads and reference counts --------------------------------------------


def test_python_threads_run_while_long_calls_compute(fenwy, restore_globals):
    x = np.random.default_rng(11).standard_normal(4 * 10**6)
    # Doubling the samples quadruples every square and sum exactly, so one
    # generic run gives both expectations, and a mix-up between the threads shows.
    signals = [x, 2 * x]
    win_len, hop_size = 16384, 128
    with generic_path(restore_globals):
        energy = fenwy.calc_energy(x, win_len, hop_size)
    expected = [energy, 4 * energy]

    def one_run():
        ticks = [0]
        stop = threading.Event()
        results = [None, None]
        progress = [None, None]

        def count():
            while not stop.is_set():
                ticks[0] += 1
                time.sleep(1e-4)

        def compute(index):
            before = ticks[0]
            results[index] = fenwy.calc_energy(signals[index], win_len, hop_size)
            progress[index] = ticks[0] - before

        counter = threading.Thread(target=count)
        workers = [threading.Thread(target=compute, args=(index,)) for index in range(2)]
        previous_interval = sys.getswitchinterval()
        # No thread is made to give way within a call this long, so the counter
        # moves during a call only if the call lets other Python code run.
        sys.setswitchinterval(2.0)
        try:
            counter.start()
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()
        finally:
            stop.set()
            counter.join()
            sys.setswitchinterval(previous_interval)
        for result, wanted in zip(results, expected):
            assert_identical(result, wanted)
        return progress

    # On a busy machine the counter may get no processor during a short call
    # even though the call let it run: a call that never lets go shows no
    # progress in any run, one that does shows it in nearly every run.
    runs = [one_run() for _ in range(5)]
    assert all(any(run[index] > 0 for run in runs) for index in range(2)), runs


# A daemon thread still in a native pass when the main thread exits: the
# pass ends while the interpreter finalises, and the thread must not take
# the process down with it.
SHUTDOWN_SCRIPT = textwrap.dedent(
    """\
    import gc
    import sys
    import threading
    import time

    import numpy as np
    from numpy.lib.stride_tricks import as_strided

    from ostrel import fenwy

    function, busy = sys.argv[1:]
    call = {
        "energy": lambda x: fenwy.calc_energy(x, 100, 100, False),
        "crossings": fenwy.num_zerocrossings,
        "peaks": fenwy.find_peaks,
    }[function]


    def signal(length):
        # Any length in 8 bytes of memory.
        return as_strided(np.ones(1), shape=(length,), strides=(0,))


    def seconds(action):
        start = time.perf_counter()
        action()
        return time.perf_counter() - start


    # The daemon's pass takes about PASS seconds from just before the main
    # thread exits; shutting down then stays busy for BUSY seconds, so the pass
    # ends while the interpreter finalises.
    PASS, BUSY = 0.08, 0.3
    call(signal(1000))  # the first call asks numpy a few things
    x = signal(int(PASS * 10**7 / seconds(lambda: call(signal(10**7)))))
    if busy == "cycle":
        class Slow:
            # Globals are gone by the time it runs: what it uses is bound here.
            def __del__(self, sleep=time.sleep, busy=BUSY):
                sleep(busy)

        # Garbage left for the collection the interpreter makes as it shuts down.
        gc.disable()
        cycle = Slow()
        cycle.me = cycle
        del cycle
    else:
        # Shutting down walks the heap to collect garbage, and may free it.
        sample = {i: [str(i)] for i in range(200_000)}
        per_entry = (seconds(gc.collect) + seconds(sample.clear)) / 200_000
        heap = {i: [str(i)] for i in range(int(BUSY / per_entry))}
    started = threading.Event()


    def run():
        started.set()
        call(x)


    threading.Thread(target=run, daemon=True).start()
    started.wait()
    print("main: exiting", flush=True)
    """
)


# Every fast path, and both ways of keeping the shutdown busy; a heap is
# slow to build, so one path is enough for it.
@pytest.mark.parametrize(
    "function, busy", [("energy", "cycle"), ("crossings", "cycle"), ("peaks", "cycle"), ("crossings", "heap")]
)
def test_a_daemon_thread_in_a_long_pass_lets_the_process_exit(function, busy):
    completed = subprocess.run(
        [sys.executable, "-c", SHUTDOWN_SCRIPT, function, busy], capture_output=True, text=True, timeout=120
    )
    assert (completed.returncode, completed.stdout, completed.stderr) == (0, "main: exiting\n", "")


CALLS = 1000


def reference_counts(objects):
    # Raw machine integers: int objects in a list would hold references of
    # their own to small integers being counted.
    return array("q", (sys.getrefcount(item) for item in objects))


@pytest.mark.parametrize(
    "function, trailing",
    [
        ("calc_energy", (300, 257, True)),
        ("calc_energy", (300, 257, False)),
        ("calc_zc", (300, 257, True)),
        ("num_zerocrossings", ()),
        ("find_peaks", (None,)),
        ("find_peaks", (0.5,)),
    ],
    ids=["calc_energy-centered", "calc_energy-uncentered", "calc_zc", "num_zerocrossings", "find_peaks",
         "find_peaks-thresh"],
)
def test_fast_paths_keep_reference_counts(fenwy, function, trailing):
    args = (clean_signal("float64", length=3000), *trailing)
    call = getattr(fenwy, function)
    assert numpy_calls(lambda: call(*args))[1] == {}
    watched = [*args, *(getattr(np, name) for name in FETCHED_ATTRIBUTES)]
    repeats = itertools.repeat(None, CALLS)
    before = reference_counts(watched)
    for _ in repeats:
        result = call(*args)
    del _
    after = reference_counts(watched)
    changed = {repr(watched[i])[:40]: after[i] - before[i] for i in range(len(watched)) if after[i] != before[i]}
    assert changed == {}
    if isinstance(result, np.ndarray):
        # Held by this frame alone, like a new array: what getrefcount adds
        # for its argument differs between interpreters.
        alone = np.empty(1)
        assert sys.getrefcount(result) == sys.getrefcount(alone)


# A first call made while another first call is inside numpy, as a thread
# or a signal handler would make it: the type of numpy's counts, asked once
# per process, is held once.
FIRST_CALLS_SCRIPT = textwrap.dedent(
    """\
    import sys

    import numpy as np

    from ostrel import fenwy

    x = np.array([1.0, -1.0, 2.0])
    count_type = type(np.count_nonzero(x))
    nested = []


    def reenter(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "count_nonzero" and not nested:
            nested.append(fenwy.num_zerocrossings(x))


    # What holding one reference shows: nothing where the type is immortal.
    before = sys.getrefcount(count_type)
    held = [count_type]
    one_reference = sys.getrefcount(count_type) - before
    del held

    before = sys.getrefcount(count_type)
    sys.setprofile(reenter)
    outer = fenwy.num_zerocrossings(x)
    sys.setprofile(None)
    print(nested == [2], outer == 2, sys.getrefcount(count_type) - before == one_reference)
    """
)


def test_first_calls_inside_first_calls_keep_one_reference():
    completed = subprocess.run([sys.executable, "-c", FIRST_CALLS_SCRIPT], capture_output=True, text=True, timeout=60)
    assert (completed.stdout, completed.stderr) == ("True True True\n", "")


@pytest.fixture
def buffer_size():
    """Lets a test set numpy's ufunc buffer size; puts it back after."""
    saved = np.getbufsize()
    yield np.setbufsize
    np.setbufsize(saved)


# Some numpy versions split a long sum into chunks of the buffer size: the
# native sums must follow whatever size is set when the call is made.
# Where the probes cannot tell the two orders apart (32768 and 65536, on some
# versions), frames longer than the buffer size are left to numpy.
@pytest.mark.parametrize("size", [16, 64, 8192, 16384, 32768, 65536, 999968])
def test_energy_sums_follow_numpys_buffer_size(fenwy, restore_globals, buffer_size, size):
    rng = np.random.default_rng(size)
    x = rng.standard_normal(150_000) * np.exp2(rng.integers(-20, 20, 150_000))
    buffer_size(size)
    # The first call at a new size asks numpy how it sums now.
    fenwy.calc_energy(x[:10], 4, 2, False)
    for win_len in (100, 1000, 9000, 20000, 70001):
        result, counts = numpy_calls(lambda: fenwy.calc_energy(x, win_len, win_len // 2, False))
        with generic_path(restore_globals):
            expected = fenwy.calc_energy(x, win_len, win_len // 2, False)
        if win_len <= size:
            assert counts == {}
        assert_identical(result, expected, f"window {win_len}")


def test_a_summation_order_asked_of_a_stand_in_numpy_is_not_kept(fenwy, restore_globals, buffer_size, monkeypatch):
    # The first energy call at a buffer size asks numpy how it sums.  Asked
    # while np.add stands for another ufunc, the answer says nothing about
    # numpy's compiled loop, and must not switch the fast path off for good.
    x = clean_signal("float64", length=3000)
    buffer_size(12352)
    with monkeypatch.context() as patch:
        patch.setattr(np, "add", np.subtract)
        fenwy.calc_energy(x, 64, 16, False)
    # Asked again with numpy itself, once.
    fenwy.calc_energy(x[:10], 4, 2, False)
    result, counts = numpy_calls(lambda: fenwy.calc_energy(x, 64, 16, False))
    with generic_path(restore_globals):
        expected = fenwy.calc_energy(x, 64, 16, False)
    assert counts == {}
    assert_identical(result, expected)


def test_interrupt_stops_a_long_native_pass(fenwy):
    # Seconds of native work; the interrupt arrives while it runs, is noticed
    # between pieces, and carries the record of the per-frame statement,
    # where numpy's sum would have let the handler run.  It must arrive
    # within the pass: one that reached the main thread earlier, while a
    # garbage collection ran a finalizer, would be dropped by the
    # interpreter.  With switches this rare, the helper thread runs only
    # once the main thread gives up the GIL, which within the call only the
    # pass does.
    x = np.random.default_rng(7).standard_normal(4_000_000)
    started = threading.Event()

    def interrupt_within_the_pass():
        started.wait()
        _thread.interrupt_main()

    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    helper = threading.Thread(target=interrupt_within_the_pass)
    try:
        helper.start()
        with pytest.raises(KeyboardInterrupt) as caught:
            started.set()
            fenwy.calc_energy(x, 4096, 1, False)
    finally:
        helper.join()
        sys.setswitchinterval(previous_interval)
    assert records(caught.value) == [record("calc_energy", 42)]


# Frames longer than a pairwise block whose blocks all have one length share
# blocks when the hop is a multiple of it: each block's sum is formed once.
@pytest.mark.parametrize("win_len", [256, 512, 2048, 4096])
@pytest.mark.parametrize("hops", [1, 2, 3])
@pytest.mark.parametrize("centered", [True, False])
@pytest.mark.parametrize("dtype", ["float64", "int16", "float32"])
def test_energy_of_frames_sharing_blocks(fenwy, restore_globals, win_len, hops, centered, dtype):
    rng = np.random.default_rng(win_len + hops)
    values = rng.standard_normal(20_000) * 10.0 ** rng.integers(-6, 6, 20_000)
    x = values.astype(dtype) if dtype != "int16" else (values * 100).clip(-30000, 30000).astype(dtype)
    hop_size = 128 * hops
    result, counts = numpy_calls(lambda: fenwy.calc_energy(x, win_len, hop_size, centered))
    with generic_path(restore_globals):
        expected = fenwy.calc_energy(x, win_len, hop_size, centered)
    assert counts == {}
    assert_identical(result, expected)


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs POSIX signals")
@pytest.mark.parametrize("function", ["calc_energy", "calc_zc", "num_zerocrossings", "find_peaks"])
def test_signal_handler_exceptions_are_never_lost(fenwy, function):
    # Asking numpy for its buffer size runs Python code, and with it any
    # pending handler: the handler's exception must come out of the call.
    x = np.random.default_rng(3).random(64)
    call = {
        "calc_energy": lambda: fenwy.calc_energy(x, 4, 2),
        "calc_zc": lambda: fenwy.calc_zc(x, 4, 2),
        "num_zerocrossings": lambda: fenwy.num_zerocrossings(x),
        "find_peaks": lambda: fenwy.find_peaks(x, 0.5),
    }[function]
    call()

    class Alarm(Exception):
        pass

    raised = caught = 0
    armed = False
    deadline = time.monotonic() + 0.5

    def handler(signum, frame):
        nonlocal raised
        # Only while the loop below can catch it.
        if armed:
            raised += 1
            raise Alarm

    previous = signal.signal(signal.SIGUSR1, handler)
    main = threading.get_ident()
    stop = threading.Event()

    def poke():
        while not stop.is_set():
            signal.pthread_kill(main, signal.SIGUSR1)
            time.sleep(0.0002)

    def calls_until_deadline():
        nonlocal caught
        while time.monotonic() < deadline:
            try:
                call()
            except Alarm:
                caught += 1

    poker = threading.Thread(target=poke)
    poker.start()
    try:
        # Armed only inside the try: handlers run at calls and backward
        # jumps, and which of those lie outside it differs between versions.
        while True:
            try:
                armed = True
                calls_until_deadline()
                armed = False
                break
            except Alarm:
                armed = False
                caught += 1
    finally:
        stop.set()
        poker.join()
        signal.signal(signal.SIGUSR1, previous)
    assert raised > 0
    assert caught == raised


# Signals are judged in pieces of 2**22 samples: the largest maximum, in the
# first piece, still scales the threshold of the last.  Contiguous floats
# (the vector judges), reversed ones (strided) and integers.
@pytest.mark.parametrize(("dtype", "step"), [("float64", 1), ("float32", 1), ("float64", -1), ("float32", -1), ("int32", 1)])
def test_the_largest_maximum_of_the_first_piece_sets_the_threshold(fenwy, dtype, step):
    values = np.random.default_rng(5).standard_normal(5_000_000) * (1000 if dtype == "int32" else 1)
    x = values.astype(dtype)[::step]
    x[1000] = 100 * (1000 if dtype == "int32" else 1)
    peaks = fenwy.find_peaks(x, 0.5)
    assert (peaks.dtype, peaks.tolist()) == (np.intp, [1000])


def test_peaks_stay_within_the_result_while_the_signal_changes(fenwy):
    # Another thread rewrites samples while the native pass runs without the
    # GIL: the result may be any mix, but is written within its array, and
    # holds only positions that are maxima in one state or the other.
    sys.setswitchinterval(1e-5)
    n = 2 * (1 << 22) + 10
    x = np.zeros(n)
    low = np.arange(1, 1 << 22, 2048)[:2000]
    high = np.arange((1 << 22) + 1, n - 1, 1 << 20)
    x[low] = 0.4
    x[high] = 1.0
    possible = set(low.tolist()) | set(high.tolist())
    stop = threading.Event()

    def toggle():
        while not stop.is_set():
            x[low] = 1.0
            x[low] = 0.4

    toggler = threading.Thread(target=toggle)
    toggler.start()
    try:
        results = [fenwy.find_peaks(x, 0.5) for _ in range(20)]
    finally:
        stop.set()
        toggler.join()
        sys.setswitchinterval(0.005)
    for peaks in results:
        assert peaks.dtype == np.intp
        assert set(peaks.tolist()) <= possible
