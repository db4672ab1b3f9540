"""The module namespace and the introspection attributes of its functions."""

import builtins
import inspect

import numpy as np
import pytest

from tracebacks import SOURCE

FUNCTIONS = ["calc_num_frames", "calc_energy", "calc_zc", "num_zerocrossings", "find_peaks"]

DOCS = {
    "calc_num_frames": "Calculates the number of frames of data resulting when windowing\n    a signal of length "
    "``x_len``, using a window size of ``win_len`` and a hop size of ``hop_size``.\n\n    :param x_len: length of "
    "signal\n    :param win_len: length of window\n    :param hop_size: hop size (ie, stride length) between "
    "windows\n\n    :returns: (int) number of frames, i.e., or number of hops\n    ",
    "calc_energy": "Calculate the normalized energy feature for the input signal.\n\n    :param x: the signal\n    "
    ":param win_len: window length\n    :param hop_size: hop size\n    :param centered: use a centered window\n\n"
    "    :returns: np.array where each value is the normalized energy of the windowed signal using a rectangular "
    "window.\n    ",
    "calc_zc": "Calculate the normalized zero-crossing rate for the input signal. At each hop, count the number\n"
    "    of zero-crossings in that window and divide by the window length.\n\n    :param x: the signal\n    "
    ":param win_len: window length\n    :param hop_size: hop size\n    :param centered: use a centered window\n\n"
    "    :returns: np.array where each value is the normalized zc-rate of the windowed signal.\n    ",
    "num_zerocrossings": "Count the number of zero-crossings in the signal ``x``.\n\n    :param x: the signal\n\n"
    "    :returns: number of zero crossings (int)\n    ",
    "find_peaks": "Finds peaks in 1D vector.\n\n    :param x: 1D input vector\n    :param thresh: relative "
    "threshold value. Discard peak whose value is lower than (``thresh * max_peak_value``), or don't threshold "
    "if ``thresh`` is None\n    :returns: np.array of index values of peaks\n    ",
}

# name: (argument count, local variable names, first line, defaults, signature)
CODE = {
    "calc_num_frames": (3, ("x_len", "win_len", "hop_size"), 4, None, "(x_len, win_len, hop_size)"),
    "calc_energy": (4, ("x", "win_len", "hop_size", "centered", "M", "energy", "m", "win"), 18, (True,),
                    "(x, win_len, hop_size, centered=True)"),
    "calc_zc": (4, ("x", "win_len", "hop_size", "centered", "M", "zc", "f", "win"), 46, (True,),
                "(x, win_len, hop_size, centered=True)"),
    "num_zerocrossings": (1, ("x", "x0", "x1"), 75, None, "(x)"),
    "find_peaks": (2, ("x", "thresh", "x0", "x1", "x2", "peak_bools", "values", "th", "peaks"), 90, (None,),
                   "(x, thresh=None)"),
}


def ordinary_function(a):
    return a


def test_namespace_names(fenwy):
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}
    own = {"np", "calc_num_frames", "calc_energy", "calc_zc", "num_zerocrossings", "find_peaks", "__test__"}
    assert set(vars(fenwy)) == standard | own


def test_namespace_values(fenwy):
    namespace = vars(fenwy)
    assert namespace["np"] is np
    assert namespace["__test__"] == {}
    assert type(namespace["__test__"]) is dict
    assert namespace["__builtins__"] is builtins
    assert namespace["__name__"] == "ostrel.fenwy"
    assert namespace["__package__"] == "ostrel"
    assert namespace["__doc__"] is None
    assert namespace["__loader__"] is fenwy.__spec__.loader
    assert namespace["__file__"] == fenwy.__spec__.origin
    assert "__path__" not in namespace


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(fenwy, name):
    function = getattr(fenwy, name)
    assert type(function).__name__ == "function"
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "ostrel.fenwy"
    assert function.__doc__ == DOCS[name]
    assert function.__globals__ is vars(fenwy)
    assert function.__defaults__ == CODE[name][3]
    assert callable(function)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_code_object(fenwy, name):
    code = getattr(fenwy, name).__code__
    argcount, varnames, first_line, _, _ = CODE[name]
    assert code.co_argcount == argcount
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_firstlineno == first_line
    assert code.co_filename == SOURCE
    assert code.co_name == name
    assert code.co_flags == ordinary_function.__code__.co_flags
    assert code.co_flags & (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS) == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert (code.co_consts, code.co_names, code.co_freevars, code.co_cellvars) == ((), (), (), ())


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature(fenwy, name):
    signature = inspect.signature(getattr(fenwy, name))
    assert str(signature) == CODE[name][4]
    kinds = {parameter.kind for parameter in signature.parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_defaults_hold_the_singletons(fenwy):
    assert fenwy.calc_energy.__defaults__[0] is True
    assert fenwy.find_peaks.__defaults__[0] is None
    # the two frame-wise functions report one shared tuple
    assert fenwy.calc_energy.__defaults__ is fenwy.calc_zc.__defaults__
