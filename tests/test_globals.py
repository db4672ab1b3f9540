import builtins

import numpy as np
import pytest

from tracebacks import SOURCE, records


def plain(value):
    """Arrays and numpy scalars as plain Python values, for comparing logs."""
    if isinstance(value, np.ndarray):
        return ("array", str(value.dtype), value.tolist())
    if isinstance(value, np.generic):
        return (type(value).__name__, value.item())
    if isinstance(value, tuple):
        return tuple(plain(item) for item in value)
    return value


class RecordingNumpy:
    """Forwards to numpy and logs every attribute fetched and every call."""

    def __init__(self, log=None):
        self.log = [] if log is None else log

    def __getattr__(self, name):
        self.log.append(("get", name))
        target = getattr(np, name)

        def forward(*args):
            self.log.append(("call", name, plain(args)))
            return target(*args)

        return forward


def f64(*values):
    return ("array", "float64", list(values))


def mask(*values):
    return ("array", "bool", list(values))


def test_energy_call_sequence_centered(fenwy, restore_globals):
    proxy = RecordingNumpy()
    restore_globals["np"] = proxy
    x = np.array([1.0, 2.0, 3.0, 4.0])
    result = fenwy.calc_energy(x, 2, 2)
    np.testing.assert_array_equal(result, [0.5, 6.5, 8.0])
    assert proxy.log == [
        ("get", "concatenate"),
        ("get", "zeros"),
        ("call", "zeros", (1,)),
        ("call", "concatenate", ((f64(0.0), f64(1.0, 2.0, 3.0, 4.0)),)),
        ("get", "ceil"),
        ("call", "ceil", (2.5,)),
        ("get", "empty"),
        ("call", "empty", (3,)),
        ("get", "sum"),
        ("call", "sum", (f64(0.0, 1.0),)),
        ("get", "sum"),
        ("call", "sum", (f64(4.0, 9.0),)),
        ("get", "sum"),
        ("call", "sum", (f64(16.0),)),
    ]


def test_energy_call_sequence_of_an_integer_signal(fenwy, restore_globals):
    proxy = RecordingNumpy()
    restore_globals["np"] = proxy
    x = np.array([300, -300, 2], dtype=np.int16)
    np.testing.assert_array_equal(fenwy.calc_energy(x, 2, 2, False), [90000.0, 2.0])
    # The squares reach numpy's sum in float64, not wrapped int16.
    assert proxy.log == [
        ("get", "ceil"),
        ("call", "ceil", (1.5,)),
        ("get", "empty"),
        ("call", "empty", (2,)),
        ("get", "sum"),
        ("call", "sum", (f64(90000.0, 90000.0),)),
        ("get", "sum"),
        ("call", "sum", (f64(4.0),)),
    ]


def test_zero_crossing_rate_call_sequence(fenwy, restore_globals):
    proxy = RecordingNumpy()
    restore_globals["np"] = proxy
    x = np.array([1.0, -1.0, 1.0])
    np.testing.assert_array_equal(fenwy.calc_zc(x, 2, 2), [0.0, 0.5])
    assert proxy.log == [
        ("get", "concatenate"),
        ("get", "zeros"),
        ("call", "zeros", (1,)),
        ("call", "concatenate", ((f64(0.0), f64(1.0, -1.0, 1.0)),)),
        ("get", "ceil"),
        ("call", "ceil", (2.0,)),
        ("get", "empty"),
        ("call", "empty", (2,)),
        ("get", "count_nonzero"),
        ("call", "count_nonzero", (mask(False),)),
        ("get", "count_nonzero"),
        ("call", "count_nonzero", (mask(True),)),
    ]


def test_zero_crossings_call_sequence(fenwy, restore_globals):
    proxy = RecordingNumpy()
    restore_globals["np"] = proxy
    assert fenwy.num_zerocrossings(np.array([2, -2, 0], dtype=np.int8)) == 1
    assert fenwy.num_zerocrossings(np.array([5.0])) == 0
    assert proxy.log == [("get", "count_nonzero"), ("call", "count_nonzero", (mask(True, False),))]


@pytest.mark.parametrize(
    "signal, thresh, expected, log",
    [
        (
            [0.0, 3.0, 0.0, 4.0, 0.0],
            None,
            [1, 3],
            [
                ("get", "logical_and"),
                ("call", "logical_and", (mask(True, False, True), mask(True, False, True))),
                ("get", "nonzero"),
                ("call", "nonzero", (mask(True, False, True),)),
            ],
        ),
        (
            [0.0, 3.0, 0.0, 4.0, 0.0],
            0.5,
            [1, 3],
            [
                ("get", "logical_and"),
                ("call", "logical_and", (mask(True, False, True), mask(True, False, True))),
                ("get", "max"),
                ("call", "max", (f64(3.0, 4.0),)),
                ("get", "logical_and"),
                ("call", "logical_and", (mask(True, False, True), mask(True, False, True))),
                ("get", "nonzero"),
                ("call", "nonzero", (mask(True, False, True),)),
            ],
        ),
        (
            [0.0, 3.0, 0.0, 4.0, 0.0],
            0.8,
            [3],
            [
                ("get", "logical_and"),
                ("call", "logical_and", (mask(True, False, True), mask(True, False, True))),
                ("get", "max"),
                ("call", "max", (f64(3.0, 4.0),)),
                ("get", "logical_and"),
                ("call", "logical_and", (mask(True, False, True), mask(False, False, True))),
                ("get", "nonzero"),
                ("call", "nonzero", (mask(False, False, True),)),
            ],
        ),
        # No candidate: no maximum is asked for.
        (
            [1.0, 2.0, 3.0],
            0.5,
            [],
            [
                ("get", "logical_and"),
                ("call", "logical_and", (mask(True), mask(False))),
                ("get", "nonzero"),
                ("call", "nonzero", (mask(False),)),
            ],
        ),
    ],
)
def test_peak_call_sequence(fenwy, restore_globals, signal, thresh, expected, log):
    proxy = RecordingNumpy()
    restore_globals["np"] = proxy
    result = fenwy.find_peaks(np.array(signal), thresh)
    np.testing.assert_array_equal(result, expected)
    assert result.dtype == np.intp
    assert proxy.log == log


class Vanishing:
    """Forwards to numpy, but removes the module's np as a chosen call runs."""

    def __init__(self, namespace, name, nth=1):
        self.namespace = namespace
        self.name = name
        self.remaining = nth

    def __getattr__(self, name):
        target = getattr(np, name)
        if name != self.name:
            return target

        def forward(*args):
            self.remaining -= 1
            if self.remaining == 0:
                del self.namespace["np"]
            return target(*args)

        return forward


def energy(line):
    return (SOURCE, line, "ostrel.fenwy.calc_energy")


def rate(line):
    return (SOURCE, line, "ostrel.fenwy.calc_zc")


def peaks(line):
    return (SOURCE, line, "ostrel.fenwy.find_peaks")


FRAMES = (SOURCE, 14, "ostrel.fenwy.calc_num_frames")
COUNT = (SOURCE, 87, "ostrel.fenwy.num_zerocrossings")
PEAKY = np.array([0.0, 3.0, 0.0, 4.0, 0.0])


def warm_every_use_site(fenwy):
    """Fills every look-up cache: a cached value must not outlive its name."""
    for centered in (True, False):
        fenwy.calc_energy(np.ones(4), 2, 2, centered)
        fenwy.calc_zc(np.array([1.0, -1.0, 1.0]), 2, 1, centered)
    fenwy.find_peaks(PEAKY, 0.5)
    fenwy.calc_num_frames(4, 2, 1)


@pytest.mark.parametrize(
    "call, vanish_at, replace_frames, expected",
    [
        (lambda f: f.calc_energy(np.ones(4), 2, 2, True), None, False, [energy(31)]),
        (lambda f: f.calc_energy(np.ones(4), 2, 2, False), None, False, [energy(34), FRAMES]),
        (lambda f: f.calc_energy(np.ones(4), 2, 2, False), None, True, [energy(37)]),
        (lambda f: f.calc_energy(np.ones(4), 2, 2, False), ("empty", 1), False, [energy(42)]),
        (lambda f: f.calc_energy(np.ones(4), 2, 2, True), ("sum", 1), False, [energy(42)]),
        (lambda f: f.calc_zc(np.ones(4), 2, 2, True), None, False, [rate(60)]),
        (lambda f: f.calc_zc(np.ones(4), 2, 2, False), None, False, [rate(63), FRAMES]),
        (lambda f: f.calc_zc(np.ones(4), 2, 2, False), None, True, [rate(66)]),
        (lambda f: f.calc_zc(np.ones(4), 2, 2, False), ("empty", 1), False, [rate(71), COUNT]),
        (lambda f: f.calc_zc(np.ones(6), 2, 2, False), ("count_nonzero", 2), False, [rate(71), COUNT]),
        (lambda f: f.num_zerocrossings(np.ones(2)), None, False, [COUNT]),
        (lambda f: f.calc_num_frames(4, 2, 0), None, False, [FRAMES]),
        (lambda f: f.find_peaks(PEAKY), None, False, [peaks(102)]),
        (lambda f: f.find_peaks(PEAKY, 0.5), ("logical_and", 1), False, [peaks(107)]),
        (lambda f: f.find_peaks(PEAKY, 0.5), ("max", 1), False, [peaks(110)]),
        (lambda f: f.find_peaks(PEAKY, 0.5), ("logical_and", 2), False, [peaks(112)]),
        (lambda f: f.find_peaks(PEAKY), ("logical_and", 1), False, [peaks(112)]),
        # No candidates with a threshold: straight on to nonzero.
        (lambda f: f.find_peaks(np.arange(4.0), 0.5), ("logical_and", 1), False, [peaks(112)]),
    ],
)
def test_missing_numpy(fenwy, restore_globals, call, vanish_at, replace_frames, expected):
    warm_every_use_site(fenwy)
    if replace_frames:
        restore_globals["calc_num_frames"] = lambda x_len, win_len, hop_size: 2
    if vanish_at is None:
        del restore_globals["np"]
    else:
        restore_globals["np"] = Vanishing(restore_globals, *vanish_at)
    with pytest.raises(NameError) as info:
        call(fenwy)
    assert str(info.value) == "name 'np' is not defined"
    assert records(info.value) == expected


def test_namespace_builtins_entry_is_not_consulted(fenwy, restore_globals):
    del restore_globals["np"]
    restore_globals["__builtins__"] = {"np": np}
    with pytest.raises(NameError) as info:
        fenwy.num_zerocrossings(np.ones(2))
    assert str(info.value) == "name 'np' is not defined"


@pytest.fixture
def builtin_np():
    """Sets or deletes a builtins attribute np and puts things back after."""
    missing = object()
    saved = getattr(builtins, "np", missing)
    yield
    if saved is missing:
        if hasattr(builtins, "np"):
            del builtins.np
    else:
        builtins.np = saved


def test_builtin_np_is_found_and_never_cached(fenwy, restore_globals, builtin_np):
    x = np.array([1.0, -1.0, 1.0, 1.0, -1.0])
    assert fenwy.num_zerocrossings(x) == 3
    del restore_globals["np"]
    first = RecordingNumpy()
    builtins.np = first
    assert fenwy.num_zerocrossings(x) == 3
    assert [entry[:2] for entry in first.log] == [("get", "count_nonzero"), ("call", "count_nonzero")]
    # A changed builtin is seen at once.
    second = RecordingNumpy()
    builtins.np = second
    assert fenwy.num_zerocrossings(x) == 3
    assert len(first.log) == 2 and len(second.log) == 2
    # A module global, once bound, comes before the builtin.
    module_level = RecordingNumpy()
    restore_globals["np"] = module_level
    assert fenwy.num_zerocrossings(x) == 3
    assert len(module_level.log) == 2 and len(second.log) == 2
    del restore_globals["np"]
    assert fenwy.num_zerocrossings(x) == 3
    assert len(module_level.log) == 2 and len(second.log) == 4
    del builtins.np
    with pytest.raises(NameError) as info:
        fenwy.num_zerocrossings(x)
    assert str(info.value) == "name 'np' is not defined"
    assert records(info.value) == [COUNT]


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.calc_energy(np.array([1.0, 2.0, 3.0]), 2, 1),
        lambda f: f.calc_zc(np.array([1.0, -2.0, 3.0]), 2, 1),
        lambda f: f.find_peaks(np.array([0.0, 1.0, 0.0]), 0.5),
        lambda f: f.num_zerocrossings(np.array([1.0, -2.0, 3.0])),
        lambda f: f.calc_num_frames(3, 2, 1),
    ],
)
def test_rebinding_np_between_calls(fenwy, restore_globals, call):
    expected = call(fenwy)
    first = RecordingNumpy()
    restore_globals["np"] = first
    assert plain(call(fenwy)) == plain(expected)
    assert first.log
    second = RecordingNumpy()
    restore_globals["np"] = second
    assert plain(call(fenwy)) == plain(expected)
    assert second.log == first.log
    # Unrelated globals change the namespace but not which np is used.
    restore_globals["unrelated"] = 1
    assert plain(call(fenwy)) == plain(expected)
    assert second.log == first.log * 2


def test_rebinding_np_during_a_call(fenwy, restore_globals):
    namespace = restore_globals
    later = RecordingNumpy()

    class Switching:
        def __getattr__(self, name):
            if name == "empty":
                namespace["np"] = later
            return getattr(np, name)

    namespace["np"] = Switching()
    np.testing.assert_array_equal(fenwy.calc_energy(np.array([1.0, 2.0, 3.0]), 1, 1, False), [1.0, 4.0, 9.0])
    # Every frame looks np up again and finds the new binding.
    assert [entry[:2] for entry in later.log] == [("get", "sum"), ("call", "sum")] * 3


@pytest.mark.parametrize("function", ["calc_energy", "calc_zc"])
@pytest.mark.parametrize("frames, length", [(0, 0), (1, 1), (3, 3)])
def test_rebinding_the_frame_count(fenwy, restore_globals, function, frames, length):
    seen = []

    def count_frames(x_len, win_len, hop_size):
        seen.append((x_len, win_len, hop_size))
        return frames

    restore_globals["calc_num_frames"] = count_frames
    result = getattr(fenwy, function)(np.arange(1.0, 11.0), 4, 2)
    assert result.shape == (length,)
    assert result.dtype == np.float64
    assert seen == [(12, 4, 2)]
    assert type(seen[0][0]) is int


def test_frame_count_as_a_bound_method(fenwy, restore_globals):
    win_len = np.int64(2)
    hop_size = np.int64(1)

    class Framer:
        def __init__(self):
            self.seen = []

        def frames(self, *args):
            self.seen.append((self, args))
            return 2

    framer = Framer()
    restore_globals["calc_num_frames"] = framer.frames
    result = fenwy.calc_energy(np.array([1.0, 2.0, 3.0, 4.0]), win_len, hop_size, False)
    np.testing.assert_array_equal(result, [2.5, 6.5])
    assert len(framer.seen) == 1
    self, (x_len, seen_win, seen_hop) = framer.seen[0]
    assert self is framer
    assert x_len == 4 and type(x_len) is int
    assert seen_win is win_len and seen_hop is hop_size


@pytest.mark.parametrize("win_len, expected", [(4, [0.25, 0.25, 0.25]), (2, [0.5, 0.5, 0.5, 0.5])])
def test_rebinding_the_zero_crossing_count(fenwy, restore_globals, win_len, expected):
    restore_globals["num_zerocrossings"] = lambda win: 1
    result = fenwy.calc_zc(np.array([1.0, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0]), win_len, 2, False)
    np.testing.assert_array_equal(result, expected)


def test_rebinding_the_count_between_calls(fenwy, restore_globals):
    x = np.array([1.0, -1.0, 1.0, -1.0])
    np.testing.assert_array_equal(fenwy.calc_zc(x, 2, 2, False), [0.5, 0.5])
    restore_globals["num_zerocrossings"] = lambda win: 2
    np.testing.assert_array_equal(fenwy.calc_zc(x, 2, 2, False), [1.0, 1.0])
    # Whatever the replacement returns is divided as it comes.
    restore_globals["num_zerocrossings"] = lambda win: "2"
    with pytest.raises(TypeError) as info:
        fenwy.calc_zc(x, 2, 2, False)
    assert str(info.value) == "unsupported operand type(s) for /: 'str' and 'float'"
    assert records(info.value) == [rate(71)]


@pytest.mark.parametrize("name", ["range", "len", "int", "float", "sum", "slice"])
def test_shadowing_builtins_changes_nothing(fenwy, restore_globals, name):
    def refuse(*args, **kwargs):
        raise AssertionError(f"{name} was looked up")

    restore_globals[name] = refuse
    np.testing.assert_array_equal(fenwy.calc_energy(np.array([1.0, 2.0, 3.0, 4.0]), 2, 2), [0.5, 6.5, 8.0])
    np.testing.assert_array_equal(fenwy.calc_zc(np.array([1.0, -1.0, 1.0, -1.0]), 2, 2), [0.0, 0.5, 0.0])
    assert fenwy.calc_num_frames(10, 4, 2) == 4
    assert fenwy.num_zerocrossings(np.array([1.0, -1.0])) == 1


def test_replacing_builtin_range_changes_nothing(fenwy):
    saved = builtins.range
    builtins.range = lambda *args: [0]
    try:
        result = fenwy.calc_energy(np.array([1.0, 2.0, 3.0, 4.0]), 2, 2, False)
    finally:
        builtins.range = saved
    np.testing.assert_array_equal(result, [2.5, 12.5])


@pytest.mark.parametrize("function, line", [("calc_energy", 40), ("calc_zc", 69)])
def test_a_frame_count_range_refuses_fails_at_the_loop(fenwy, restore_globals, function, line):
    # np.empty accepts a shape tuple; range does not, so the loop statement fails.
    restore_globals["calc_num_frames"] = lambda x_len, win_len, hop_size: (2,)
    with pytest.raises(TypeError, match="^'tuple' object cannot be interpreted as an integer$") as info:
        getattr(fenwy, function)(np.ones(8), 4, 2, False)
    assert records(info.value) == [(SOURCE, line, "ostrel.fenwy." + function)]
