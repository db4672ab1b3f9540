"""Argument binding of the five module functions: counts, keywords, defaults
and the routes by which a call reaches the binding front."""

import ctypes
import traceback

import numpy as np
import pytest

from tracebacks import SOURCE

DEF_LINES = {
    "calc_num_frames": 4,
    "calc_energy": 18,
    "calc_zc": 46,
    "num_zerocrossings": 75,
    "find_peaks": 90,
}

_vectorcall = ctypes.pythonapi["PyObject_Vectorcall"]
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
# The same entry point with a plain pointer for the names, to pass NULL.
_vectorcall_without_names = ctypes.pythonapi["PyObject_Vectorcall"]
_vectorcall_without_names.restype = ctypes.py_object
_vectorcall_without_names.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]

_object_call = ctypes.pythonapi["PyObject_Call"]
_object_call.restype = ctypes.py_object
_object_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def vectorcall(function, args, kwnames=None):
    """Calls through the vectorcall protocol with an explicit keyword-names
    tuple: the values of ``kwnames`` follow the positional ``args``."""
    values = list(args)
    positional = len(values) - (len(kwnames) if kwnames is not None else 0)
    array = (ctypes.py_object * max(len(values), 1))(*values)
    if kwnames is None:
        return _vectorcall_without_names(function, array, positional, None)
    return _vectorcall(function, array, positional, kwnames)


def call_by_names(function, *args, **kwargs):
    """The keywords as a names tuple, the way compiled keyword calls arrive."""
    return vectorcall(function, list(args) + list(kwargs.values()), tuple(kwargs))


def call_by_dict(function, *args, **kwargs):
    return function(*args, **kwargs)


def call_through_type(function, *args, **kwargs):
    return type(function).__call__(function, *args, **kwargs)


def call_object(function, *args, **kwargs):
    return _object_call(function, args, kwargs)


ROUTES = [call_by_names, call_by_dict, call_through_type, call_object]


def failure(call, *args, **kwargs):
    """The exception raised by the call and the traceback entries below the
    frames of this file (the helpers that made the call), as (file, line,
    name)."""
    try:
        call(*args, **kwargs)
    except Exception as exc:
        entries = traceback.extract_tb(exc.__traceback__)
        while entries and entries[0].filename == __file__:
            entries.pop(0)
        return exc, [(entry.filename, entry.lineno, entry.name) for entry in entries]
    pytest.fail("the call did not fail")


def binding_record(name):
    return [(SOURCE, DEF_LINES[name], "ostrel.fenwy." + name)]


COUNT_ERRORS = [
    # calc_num_frames: no defaults, "exactly"
    ("calc_num_frames", (), {}, "exactly 3 positional arguments (0 given)"),
    ("calc_num_frames", (1,), {}, "exactly 3 positional arguments (1 given)"),
    ("calc_num_frames", (1, 2), {}, "exactly 3 positional arguments (2 given)"),
    ("calc_num_frames", (1, 2, 3, 4), {}, "exactly 3 positional arguments (4 given)"),
    ("calc_num_frames", (1, 2, 3, 4), {"x_len": 1}, "exactly 3 positional arguments (4 given)"),
    ("calc_num_frames", (), {"win_len": 1, "hop_size": 2}, "exactly 3 positional arguments (0 given)"),
    ("calc_num_frames", (), {"x_len": 1, "hop_size": 2}, "exactly 3 positional arguments (1 given)"),
    ("calc_num_frames", (), {"hop_size": 2, "x_len": 1}, "exactly 3 positional arguments (1 given)"),
    # the missing hop_size is reported before the duplicate x_len
    ("calc_num_frames", (1, 2), {"x_len": 3}, "exactly 3 positional arguments (2 given)"),
    ("calc_num_frames", (1,), {"win_len": 2, "bogus": 3}, "exactly 3 positional arguments (2 given)"),
    ("calc_num_frames", (), {"bogus": 1, "other": 2, "x_len": 3}, "exactly 3 positional arguments (1 given)"),
    # calc_energy: "at least 3" / "at most 4"
    ("calc_energy", (), {}, "at least 3 positional arguments (0 given)"),
    ("calc_energy", (1,), {}, "at least 3 positional arguments (1 given)"),
    ("calc_energy", (1, 2), {}, "at least 3 positional arguments (2 given)"),
    ("calc_energy", (1, 2, 3, 4, 5), {}, "at most 4 positional arguments (5 given)"),
    ("calc_energy", (1, 2, 3, 4, 5), {"centered": True}, "at most 4 positional arguments (5 given)"),
    ("calc_energy", (1, 2, 3, 4, 5), {"bogus": True}, "at most 4 positional arguments (5 given)"),
    ("calc_energy", (), {"hop_size": 1, "x": 2}, "at least 3 positional arguments (1 given)"),
    ("calc_energy", (), {"win_len": 1, "hop_size": 2, "centered": 3}, "at least 3 positional arguments (0 given)"),
    ("calc_energy", (1, 2), {"centered": False}, "at least 3 positional arguments (2 given)"),
    ("calc_energy", (1,), {"hop_size": 2, "bogus": 3}, "at least 3 positional arguments (1 given)"),
    # calc_zc: same signature as calc_energy
    ("calc_zc", (), {}, "at least 3 positional arguments (0 given)"),
    ("calc_zc", (1, 2), {}, "at least 3 positional arguments (2 given)"),
    ("calc_zc", (1, 2, 3, 4, 5), {}, "at most 4 positional arguments (5 given)"),
    ("calc_zc", (1, 2, 3, 4, 5), {"centered": True}, "at most 4 positional arguments (5 given)"),
    ("calc_zc", (), {"x": 1, "win_len": 2, "centered": True}, "at least 3 positional arguments (2 given)"),
    ("calc_zc", (), {"hop_size": 1}, "at least 3 positional arguments (0 given)"),
    # num_zerocrossings: "exactly 1", singular
    ("num_zerocrossings", (), {}, "exactly 1 positional argument (0 given)"),
    ("num_zerocrossings", (1, 2), {}, "exactly 1 positional argument (2 given)"),
    ("num_zerocrossings", (1, 2), {"x": 3}, "exactly 1 positional argument (2 given)"),
    ("num_zerocrossings", (), {"y": 1}, "exactly 1 positional argument (0 given)"),
    # find_peaks: "at least 1" singular, "at most 2" plural
    ("find_peaks", (), {}, "at least 1 positional argument (0 given)"),
    ("find_peaks", (1, 2, 3), {}, "at most 2 positional arguments (3 given)"),
    ("find_peaks", (1, 2, 3), {"thresh": 4}, "at most 2 positional arguments (3 given)"),
    ("find_peaks", (), {"thresh": 0.5}, "at least 1 positional argument (0 given)"),
    ("find_peaks", (), {"threshold": 0.5}, "at least 1 positional argument (0 given)"),
]


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("name, args, kwargs, text", COUNT_ERRORS)
def test_count_error(fenwy, route, name, args, kwargs, text):
    exc, records = failure(route, getattr(fenwy, name), *args, **kwargs)
    assert type(exc) is TypeError
    assert str(exc) == f"{name}() takes {text}"
    assert records == binding_record(name)


KEYWORD_ERRORS = [
    ("calc_num_frames", (1, 2, 3), {"x_len": 1}, "got multiple values for keyword argument 'x_len'"),
    ("calc_num_frames", (1, 2, 3), {"win_len": 5, "foo": 1}, "got multiple values for keyword argument 'win_len'"),
    ("calc_num_frames", (1, 2), {"hop_size": 3, "x_len": 1}, "got multiple values for keyword argument 'x_len'"),
    ("calc_num_frames", (1, 2, 3), {"foo": 1}, "got an unexpected keyword argument 'foo'"),
    # the first offending keyword in call order is the one named
    ("calc_num_frames", (1, 2, 3), {"foo": 1, "bar": 2}, "got an unexpected keyword argument 'foo'"),
    ("calc_num_frames", (1, 2, 3), {"bar": 2, "foo": 1}, "got an unexpected keyword argument 'bar'"),
    ("calc_num_frames", (1, 2, 3), {"foo": 1, "x_len": 2}, "got an unexpected keyword argument 'foo'"),
    ("calc_num_frames", (1, 2), {"hop_size": 3, "foo": 1}, "got an unexpected keyword argument 'foo'"),
    ("calc_num_frames", (), {"hop_size": 2, "foo": 1, "x_len": 10, "win_len": 4},
     "got an unexpected keyword argument 'foo'"),
    ("calc_num_frames", (1, 2, 3), {"h\u00f4p_size": 1}, "got an unexpected keyword argument 'h\u00f4p_size'"),
    ("calc_energy", (1, 2, 3, 4), {"centered": True}, "got multiple values for keyword argument 'centered'"),
    ("calc_energy", (1, 2, 3), {"x": 1}, "got multiple values for keyword argument 'x'"),
    ("calc_energy", (1, 2, 3), {"centered": True, "centred": False},
     "got an unexpected keyword argument 'centred'"),
    # local variable names are not parameters
    ("calc_energy", (1, 2, 3), {"M": 4}, "got an unexpected keyword argument 'M'"),
    ("calc_zc", (1, 2, 3), {"X": 1}, "got an unexpected keyword argument 'X'"),
    ("calc_zc", (1, 2, 3, 4), {"hop_size": 1}, "got multiple values for keyword argument 'hop_size'"),
    ("num_zerocrossings", (1,), {"x": 1}, "got multiple values for keyword argument 'x'"),
    ("num_zerocrossings", (), {"x": 1, "y": 2}, "got an unexpected keyword argument 'y'"),
    ("find_peaks", (1, 2), {"thresh": 3}, "got multiple values for keyword argument 'thresh'"),
    ("find_peaks", (1,), {"x": 2}, "got multiple values for keyword argument 'x'"),
    ("find_peaks", (1,), {"threshold": 0.5}, "got an unexpected keyword argument 'threshold'"),
    ("find_peaks", (), {"x": 1, "peaks": 2}, "got an unexpected keyword argument 'peaks'"),
]


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("name, args, kwargs, text", KEYWORD_ERRORS)
def test_keyword_error(fenwy, route, name, args, kwargs, text):
    exc, records = failure(route, getattr(fenwy, name), *args, **kwargs)
    assert type(exc) is TypeError
    assert str(exc) == f"{name}() {text}"
    assert records == binding_record(name)


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((11, 4, 2), {}),
        ((), {"x_len": 11, "win_len": 4, "hop_size": 2}),
        ((), {"hop_size": 2, "x_len": 11, "win_len": 4}),
        ((), {"win_len": 4, "hop_size": 2, "x_len": 11}),
        ((11,), {"hop_size": 2, "win_len": 4}),
        ((11, 4), {"hop_size": 2}),
    ],
)
def test_keywords_bind_in_any_order(fenwy, route, args, kwargs):
    # (11, 4, 2) gives 5; every other assignment of these values gives
    # something else, so a misplaced value shows.
    assert route(fenwy.calc_num_frames, *args, **kwargs) == 5


def test_compiled_keyword_calls(fenwy):
    f = fenwy.calc_num_frames
    assert f(hop_size=2, x_len=11, win_len=4) == 5
    assert f(11, hop_size=2, win_len=4) == 5
    assert f(11, 2, 4) == 4
    assert f(x_len=11, win_len=2, hop_size=4) == 4


class Recorder:
    """Stands in for calc_num_frames and records what it is given."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return 0


@pytest.mark.parametrize("name", ["calc_energy", "calc_zc"])
@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        # the padded length shows whether `centered` was true
        ((np.zeros(10), 4, 3), {}, (12, 4, 3)),
        ((np.zeros(10), 4, 3, False), {}, (10, 4, 3)),
        ((np.zeros(10), 4, 3), {"centered": False}, (10, 4, 3)),
        ((), {"centered": False, "hop_size": 3, "win_len": 4, "x": np.zeros(10)}, (10, 4, 3)),
        ((), {"hop_size": 3, "x": np.zeros(10), "win_len": 4}, (12, 4, 3)),
        ((np.zeros(10),), {"win_len": 4, "hop_size": 3, "centered": 0}, (10, 4, 3)),
    ],
)
def test_framewise_binding(fenwy, restore_globals, name, args, kwargs, expected):
    recorder = Recorder()
    restore_globals["calc_num_frames"] = recorder
    result = getattr(fenwy, name)(*args, **kwargs)
    assert recorder.calls == [expected]
    assert result.shape == (0,)


PEAKY = np.array([1.0, 3.0, 1.0, 4.0, 1.0])


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((PEAKY,), {}, [1, 3]),
        ((PEAKY, None), {}, [1, 3]),
        ((PEAKY,), {"thresh": None}, [1, 3]),
        ((PEAKY, 0.8), {}, [3]),
        ((PEAKY,), {"thresh": 0.8}, [3]),
        ((), {"thresh": 0.8, "x": PEAKY}, [3]),
        ((), {"x": PEAKY}, [1, 3]),
    ],
)
def test_find_peaks_binding(fenwy, args, kwargs, expected):
    assert fenwy.find_peaks(*args, **kwargs).tolist() == expected


ALTERNATING = np.array([1.0, -1.0, 1.0, -1.0])


@pytest.mark.parametrize("args, kwargs", [((ALTERNATING,), {}), ((), {"x": ALTERNATING})])
def test_num_zerocrossings_binding(fenwy, args, kwargs):
    assert fenwy.num_zerocrossings(*args, **kwargs) == 3


class TestDefaultsAreFixed:
    """The defaults tuples are for introspection; binding never reads them."""

    @pytest.fixture
    def replace_defaults(self, fenwy):
        saved = {name: (getattr(fenwy, name).__defaults__, getattr(fenwy, name).__kwdefaults__)
                 for name in ("calc_energy", "calc_zc", "find_peaks")}
        yield
        for name, (defaults, kwdefaults) in saved.items():
            getattr(fenwy, name).__defaults__ = defaults
            getattr(fenwy, name).__kwdefaults__ = kwdefaults

    @pytest.mark.parametrize("name", ["calc_energy", "calc_zc"])
    @pytest.mark.parametrize("defaults", [(False,), (None,), None, ()])
    def test_centered(self, fenwy, restore_globals, replace_defaults, name, defaults):
        function = getattr(fenwy, name)
        function.__defaults__ = defaults
        function.__kwdefaults__ = {"centered": False}
        assert function.__defaults__ == defaults
        recorder = Recorder()
        restore_globals["calc_num_frames"] = recorder
        function(np.zeros(10), 4, 3)
        assert recorder.calls == [(12, 4, 3)]

    @pytest.mark.parametrize("defaults", [(0.8,), (True,), None])
    def test_thresh(self, fenwy, replace_defaults, defaults):
        fenwy.find_peaks.__defaults__ = defaults
        fenwy.find_peaks.__kwdefaults__ = {"thresh": 0.8}
        assert fenwy.find_peaks(PEAKY).tolist() == [1, 3]

    def test_energy_values_unchanged(self, fenwy, replace_defaults):
        signal = np.array([1.0, 2.0, 3.0, 4.0])
        before = fenwy.calc_energy(signal, 2, 2)
        fenwy.calc_energy.__defaults__ = (False,)
        after = fenwy.calc_energy(signal, 2, 2)
        np.testing.assert_array_equal(after, before)
        np.testing.assert_array_equal(after, fenwy.calc_energy(signal, 2, 2, True))
        assert after.tolist() != fenwy.calc_energy(signal, 2, 2, False).tolist()


class StrSub(str):
    pass


class RaisingStr(str):
    """Equality with it raises, as a badly behaved key type might."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("no comparison for " + str.__str__(self))


class EqualsHopSize:
    def __eq__(self, other):
        return other == "hop_size"

    __hash__ = object.__hash__


class TruthyEquality:
    """Answers equality with an object that is true only by its truth test."""

    def __eq__(self, other):
        return np.bool_(other == "hop_size")

    __hash__ = object.__hash__


class RaisingEquality:
    def __eq__(self, other):
        raise ArithmeticError("cannot compare")

    __hash__ = object.__hash__


class TestKeywordNames:
    def test_str_subclass_names_bind(self, fenwy):
        kwargs = {StrSub("hop_size"): 2, StrSub("x_len"): 11, StrSub("win_len"): 4}
        assert fenwy.calc_num_frames(**kwargs) == 5
        assert fenwy.calc_energy(np.zeros(4), **{StrSub("win_len"): 2, StrSub("hop_size"): 2,
                                                 StrSub("centered"): False}).tolist() == [0.0, 0.0]

    def test_str_subclass_duplicate(self, fenwy):
        exc, records = failure(fenwy.calc_num_frames, 11, 4, 2, **{StrSub("x_len"): 1})
        assert str(exc) == "calc_num_frames() got multiple values for keyword argument 'x_len'"
        assert records == binding_record("calc_num_frames")

    def test_names_built_at_run_time(self, fenwy):
        names = ["".join(["x", "_len"]), "".join(["win", "_len"]), "".join(["hop", "_size"])]
        assert fenwy.calc_num_frames(**dict(zip(names, [11, 4, 2]))) == 5

    @pytest.mark.parametrize(
        "keyword",
        [
            "hop_sizf",  # same length, differs in the last character
            "Hop_size",  # differs in the first character only
            "hop_s\u00efze",  # same length, wider storage
            "hop_\U0001d42cize",  # same length, widest storage
            "hop_size_",
        ],
    )
    def test_near_miss_names(self, fenwy, keyword):
        exc, records = failure(fenwy.calc_num_frames, 11, 4, **{keyword: 2})
        assert str(exc) == "calc_num_frames() takes exactly 3 positional arguments (2 given)"
        exc, records = failure(fenwy.calc_num_frames, 11, 4, 2, **{keyword: 2})
        assert str(exc) == f"calc_num_frames() got an unexpected keyword argument '{keyword}'"
        assert records == binding_record("calc_num_frames")

    def test_comparison_error_propagates(self, fenwy):
        exc, records = failure(vectorcall, fenwy.calc_num_frames, [11, 4, 2], (RaisingStr("hop_size"),))
        assert type(exc) is LookupError
        assert str(exc) == "no comparison for hop_size"
        # the record, then the frame of the comparison that raised
        assert records[:1] == binding_record("calc_num_frames")
        assert [(file, name) for file, _, name in records[1:]] == [(__file__, "__eq__")]
        # the same through a keyword dictionary; called here directly, since
        # passing the key on to a helper would compare it with the helper's
        # own parameter names
        with pytest.raises(LookupError, match="^no comparison for hop_size$") as info:
            fenwy.calc_num_frames(11, 4, **{RaisingStr("hop_size"): 2})
        entries = traceback.extract_tb(info.value.__traceback__)[1:]
        assert [(e.filename, e.lineno, e.name) for e in entries[:1]] == binding_record("calc_num_frames")
        assert [e.name for e in entries[1:]] == ["__eq__"]

    @pytest.mark.parametrize("keyword", [EqualsHopSize(), TruthyEquality()])
    def test_non_string_name_that_compares_equal(self, fenwy, keyword):
        assert vectorcall(fenwy.calc_num_frames, [11, 4, 2], (keyword,)) == 5

    @pytest.mark.parametrize("keyword", [None, 5, b"hop_size", object()])
    def test_non_string_name_missing_required(self, fenwy, keyword):
        exc, records = failure(vectorcall, fenwy.calc_num_frames, [11, 4, 2], (keyword,))
        assert str(exc) == "calc_num_frames() takes exactly 3 positional arguments (2 given)"
        assert records == binding_record("calc_num_frames")

    @pytest.mark.parametrize("name, args", [("calc_num_frames", [11, 4, 2, 0]), ("find_peaks", [PEAKY, 0])])
    @pytest.mark.parametrize("keyword", [None, 5, b"thresh"])
    def test_non_string_name_left_over(self, fenwy, name, args, keyword):
        exc, records = failure(vectorcall, getattr(fenwy, name), args, (keyword,))
        assert type(exc) is TypeError
        assert str(exc) == f"{name}() keywords must be strings"
        assert records == binding_record(name)

    def test_non_string_comparison_error(self, fenwy):
        exc, records = failure(vectorcall, fenwy.calc_num_frames, [11, 4, 2], (RaisingEquality(),))
        assert type(exc) is ArithmeticError
        assert str(exc) == "cannot compare"
        assert records[:1] == binding_record("calc_num_frames")
        assert [(file, name) for file, _, name in records[1:]] == [(__file__, "__eq__")]


class TestEmptyKeywordNames:
    """An empty names tuple binds as no names tuple at all. A Python-level
    ``f(*args, **{})`` hands the function no names tuple, so the empty one
    is passed through the vectorcall protocol directly."""

    @pytest.mark.parametrize("kwnames", [None, ()])
    @pytest.mark.parametrize(
        "name, args, expected",
        [
            ("calc_num_frames", [11, 4, 2], 5),
            ("num_zerocrossings", [np.array([1.0, -1.0, 1.0])], 2),
            ("find_peaks", [PEAKY], [1, 3]),
            ("find_peaks", [PEAKY, 0.8], [3]),
            ("calc_energy", [np.array([1.0, 2.0, 3.0, 4.0]), 2, 2, False], [2.5, 12.5]),
        ],
    )
    def test_binds(self, fenwy, kwnames, name, args, expected):
        result = vectorcall(getattr(fenwy, name), args, kwnames)
        assert (result.tolist() if isinstance(result, np.ndarray) else result) == expected

    @pytest.mark.parametrize("kwnames", [None, ()])
    @pytest.mark.parametrize(
        "name, args, text",
        [
            ("calc_num_frames", [], "exactly 3 positional arguments (0 given)"),
            ("calc_num_frames", [1, 2], "exactly 3 positional arguments (2 given)"),
            ("calc_num_frames", [1, 2, 3, 4], "exactly 3 positional arguments (4 given)"),
            ("calc_energy", [1, 2], "at least 3 positional arguments (2 given)"),
            ("calc_zc", [1, 2, 3, 4, 5], "at most 4 positional arguments (5 given)"),
            ("num_zerocrossings", [], "exactly 1 positional argument (0 given)"),
            ("find_peaks", [1, 2, 3], "at most 2 positional arguments (3 given)"),
        ],
    )
    def test_count_errors(self, fenwy, kwnames, name, args, text):
        exc, records = failure(vectorcall, getattr(fenwy, name), args, kwnames)
        assert str(exc) == f"{name}() takes {text}"
        assert records == binding_record(name)

    def test_empty_dict(self, fenwy):
        assert fenwy.calc_num_frames(*[11, 4, 2], **{}) == 5
        assert type(fenwy.calc_num_frames).__call__(fenwy.calc_num_frames, 11, 4, 2, **{}) == 5
        assert call_object(fenwy.calc_num_frames, 11, 4, 2) == 5


@pytest.mark.parametrize(
    "route",
    [
        lambda f, kwargs: f(11, 4, **kwargs),
        lambda f, kwargs: type(f).__call__(f, 11, 4, **kwargs),
        lambda f, kwargs: _object_call(f, (11, 4), kwargs),
    ],
    ids=["star-star", "type-call", "PyObject_Call"],
)
@pytest.mark.parametrize("kwargs", [{1: 2}, {"hop_size": 2, 1: 2}, {1: 2, "hop_size": 2}, {None: 1}, {b"x": 1}])
def test_generic_route_rejects_non_string_keywords(fenwy, route, kwargs):
    exc, records = failure(route, fenwy.calc_num_frames, kwargs)
    assert type(exc) is TypeError
    assert str(exc) == "keywords must be strings"
    # refused before the function is entered: no record of the module
    assert records == []
