"""Choosing and watching the two ways the module computes a feature: the
native fast path for plain arrays, and the generic sequence of numpy calls
that serves every other input.  Shared by the tests and the benchmarks."""

import builtins
import collections
import contextlib
import dis
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


# -- the names numpy's Python code reads -------------------------------------

# The numpy functions the module's bodies call.
BODY_FUNCTIONS = ("ceil", "zeros", "concatenate", "empty", "sum", "count_nonzero", "logical_and", "max", "nonzero")


def _code_objects(code):
    yield code
    for constant in code.co_consts:
        if isinstance(constant, types.CodeType):
            yield from _code_objects(constant)


def _space(namespace):
    return "builtins" if namespace is vars(builtins) else namespace["__name__"]


def names_numpy_reads():
    """(namespace name, namespace, name) for every name that the Python code
    of the numpy functions the bodies call reads as a global, from the
    module or from builtins, and every attribute it reads from a module it
    holds as a global (np.add, mu.ndarray), found in the installed numpy's
    bytecode.  Functions reached through such globals are followed."""
    found = {}

    def note(namespace, name):
        found[(_space(namespace), name)] = namespace

    def walk(function, seen):
        if function in seen:
            return
        seen.add(function)
        namespace = function.__globals__
        for code in _code_objects(function.__code__):
            instructions = list(dis.get_instructions(code))
            for here, following in zip(instructions, instructions[1:] + [None]):
                if here.opname != "LOAD_GLOBAL":
                    continue
                name = here.argval
                note(namespace, name)
                if name not in namespace:
                    note(vars(builtins), name)
                value = namespace.get(name, getattr(builtins, name, None))
                if isinstance(value, types.ModuleType) and following is not None \
                        and following.opname in ("LOAD_ATTR", "LOAD_METHOD"):
                    note(vars(value), following.argval)
                if isinstance(value, types.FunctionType) and value.__module__.startswith("numpy"):
                    walk(value, seen)

    seen = set()
    for name in BODY_FUNCTIONS:
        function = getattr(np, name)
        note(vars(np), name)
        starts = []
        if isinstance(function, types.FunctionType):
            # numpy 1.24: a Python wrapper holding its dispatcher and implementation.
            starts.append(function)
            starts += [cell.cell_contents for cell in function.__closure__ or ()]
        wrapped = getattr(function, "__wrapped__", None)
        if isinstance(wrapped, types.FunctionType):
            starts += [wrapped, wrapped.__globals__.get(f"_{wrapped.__name__}_dispatcher")]
        for start in starts:
            if isinstance(start, types.FunctionType):
                walk(start, seen)
    # From 1.25 on, concatenate's argument dispatcher (defined in the module
    # fromnumeric holds as mu) lives inside the dispatcher object.
    multiarray = np.sum.__wrapped__.__globals__["mu"]
    note(vars(multiarray), "list")
    note(vars(builtins), "list")
    return [(space, namespace, name) for (space, name), namespace in sorted(found.items(), key=lambda item: item[0])]
