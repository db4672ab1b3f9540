"""Choosing and watching the two ways the module computes a feature: the
native fast path for plain arrays, and the generic sequence of numpy calls
that serves every other input.  Shared by the tests and the benchmarks."""

import collections
import contextlib
import os
import sys
import types

import numpy as np

NUMPY_DIRECTORY = os.path.dirname(np.__file__) + os.sep

# The generic sequence calls these numpy functions, which run Python code
# (concatenate its argument dispatcher); the fast path calls none of them.
# numpy 1.24 names the implementation of max "amax".
WATCHED_FUNCTIONS = frozenset({"concatenate", "sum", "count_nonzero", "nonzero", "max", "amax"})


def forwarding_numpy():
    """A module that hands out numpy's own attributes: every result stays
    the same, but it is not the numpy the fast path insists on."""
    proxy = types.ModuleType("numpy_proxy")
    proxy.__getattr__ = lambda name: getattr(np, name)
    return proxy


@contextlib.contextmanager
def generic_path(namespace):
    """Binds the module's global np to a forwarding module meanwhile."""
    saved = namespace["np"]
    namespace["np"] = forwarding_numpy()
    try:
        yield
    finally:
        namespace["np"] = saved


def numpy_calls(call):
    """call()'s result, and how often it entered each watched numpy function."""
    counts = collections.Counter()

    def count(frame, event, arg):
        code = frame.f_code
        if event == "call" and code.co_name in WATCHED_FUNCTIONS and code.co_filename.startswith(NUMPY_DIRECTORY):
            counts[code.co_name] += 1

    previous = sys.getprofile()
    sys.setprofile(count)
    try:
        result = call()
    finally:
        sys.setprofile(previous)
    return result, counts
