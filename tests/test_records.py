"""Traceback records that the module adds to failing calls."""

import traceback

import numpy as np
import pytest

from tracebacks import SOURCE, failure, record


def innermost(exc):
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb


@pytest.mark.parametrize(
    "name, args, error, message, records",
    [
        ("calc_num_frames", (10, 4, 0), ZeroDivisionError, "division by zero", [record("calc_num_frames", 14)]),
        ("calc_num_frames", ("10", 4, 2), TypeError, "unsupported operand type(s) for -: 'str' and 'int'",
         [record("calc_num_frames", 14)]),
        # a failure inside a nested call: the caller's record comes first
        ("calc_energy", (np.zeros(3), 2, 0), ZeroDivisionError, "division by zero",
         [record("calc_energy", 34), record("calc_num_frames", 14)]),
        ("calc_energy", (np.zeros(3), 2, 0, False), ZeroDivisionError, "division by zero",
         [record("calc_energy", 34), record("calc_num_frames", 14)]),
        ("calc_zc", (np.zeros(3), 2, 0), ZeroDivisionError, "division by zero",
         [record("calc_zc", 63), record("calc_num_frames", 14)]),
        ("calc_zc", (np.zeros(3), 2, 0, False), ZeroDivisionError, "division by zero",
         [record("calc_zc", 63), record("calc_num_frames", 14)]),
    ],
)
def test_body_failure_records(fenwy, name, args, error, message, records):
    exc, found = failure(getattr(fenwy, name), *args)
    assert type(exc) is error
    assert str(exc) == message
    assert found == records


def test_nested_python_callee_frames_follow_the_record(fenwy, restore_globals):
    def frame_count(x_len, win_len, hop_size):
        raise ValueError(f"refused {x_len} {win_len} {hop_size}")

    restore_globals["calc_num_frames"] = frame_count
    exc, found = failure(fenwy.calc_energy, np.zeros(3), 2, 1)
    assert str(exc) == "refused 4 2 1"
    assert found == [record("calc_energy", 34), (__file__, frame_count.__code__.co_firstlineno + 1, "frame_count")]


def test_frames_of_a_raising_ceil_follow_the_record(fenwy, restore_globals):
    class Numpy:
        @staticmethod
        def ceil(value):
            raise FloatingPointError(repr(value))

    restore_globals["np"] = Numpy()
    exc, found = failure(fenwy.calc_num_frames, 10, 4, 2)
    assert type(exc) is FloatingPointError
    assert str(exc) == "4.0"
    assert found == [record("calc_num_frames", 14), (__file__, Numpy.ceil.__code__.co_firstlineno + 2, "ceil")]


@pytest.mark.parametrize(
    "name, args, line",
    [
        ("calc_num_frames", (10, 4, 0), 14),
        ("calc_num_frames", (10, 4), 4),
        ("calc_energy", (np.zeros(3), 2, 0), 34),
        ("calc_zc", (), 46),
        ("num_zerocrossings", (), 75),
        ("find_peaks", (), 90),
    ],
)
def test_record_frame(fenwy, name, args, line):
    exc, _ = failure(getattr(fenwy, name), *args)
    tb = exc.__traceback__.tb_next
    qualified = "ostrel.fenwy." + name
    code = tb.tb_frame.f_code
    assert (tb.tb_lineno, tb.tb_frame.f_lineno) == (line, line)
    assert tb.tb_frame.f_globals is vars(fenwy)
    assert (code.co_filename, code.co_name, code.co_qualname, code.co_firstlineno) == (SOURCE, qualified, qualified,
                                                                                       line)


@pytest.mark.parametrize(
    "first, second",
    [
        (("calc_num_frames", (10, 4, 0)), ("calc_num_frames", (7, 3, 0))),
        (("calc_num_frames", ()), ("calc_num_frames", (1, 2, 3, 4))),
        (("find_peaks", ()), ("find_peaks", (1,), {"bogus": 2})),
        # the nested record of calc_num_frames is the one its direct failure makes
        (("calc_num_frames", (10, 4, 0)), ("calc_energy", (np.zeros(3), 2, 0))),
    ],
)
def test_code_objects_are_kept(fenwy, first, second):
    def innermost_code(name, args, kwargs=None):
        exc, _ = failure(getattr(fenwy, name), *args, **(kwargs or {}))
        return innermost(exc).tb_frame.f_code

    assert innermost_code(*first) is innermost_code(*second)
    assert innermost_code(*first) is innermost_code(*first)


def test_distinct_lines_have_distinct_code_objects(fenwy):
    body, _ = failure(fenwy.calc_num_frames, 10, 4, 0)
    binding, _ = failure(fenwy.calc_num_frames, 10, 4)
    assert innermost(body).tb_frame.f_code is not innermost(binding).tb_frame.f_code
    assert innermost(binding).tb_frame.f_code.co_firstlineno == 4


def test_printed_traceback(fenwy):
    exc, _ = failure(fenwy.calc_zc, np.zeros(3), 2, 0)
    text = "".join(traceback.format_exception(exc))
    expected_tail = (
        f'  File "{SOURCE}", line 63, in ostrel.fenwy.calc_zc\n'
        f'  File "{SOURCE}", line 14, in ostrel.fenwy.calc_num_frames\n'
        "ZeroDivisionError: division by zero\n"
    )
    assert text.endswith(expected_tail)


def test_exception_is_unchanged(fenwy):
    class Odd(Exception):
        pass

    error = Odd("kept", 2)

    class Length:
        def __sub__(self, other):
            raise error

    exc, found = failure(fenwy.calc_num_frames, Length(), 4, 2)
    assert exc is error
    assert exc.args == ("kept", 2)
    assert found[0] == record("calc_num_frames", 14)
    assert [name for _, _, name in found[1:]] == ["__sub__"]
