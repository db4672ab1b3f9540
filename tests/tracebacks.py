"""Reading the traceback records the module adds to a failure."""

import traceback

import pytest

SOURCE = "package/ostrel/fenwy.py"


def records(exc):
    """The traceback entries the module added, outermost first."""
    return [
        (fs.filename, fs.lineno, fs.name)
        for fs in traceback.extract_tb(exc.__traceback__)
        if fs.filename == SOURCE
    ]


def record(name, line):
    return (SOURCE, line, "ostrel.fenwy." + name)


def failure(call, *args, **kwargs):
    """The exception and the traceback entries below this helper's frame."""
    try:
        call(*args, **kwargs)
    except Exception as exc:
        entries = traceback.extract_tb(exc.__traceback__)[1:]
        return exc, [(entry.filename, entry.lineno, entry.name) for entry in entries]
    pytest.fail("the call did not fail")


def message_of(call):
    """What the running interpreter says when the same operation fails in
    plain Python: messages differ between versions."""
    try:
        call()
    except Exception as exc:
        return str(exc)
    raise AssertionError("the plain statement did not fail")
