"""calc_num_frames: the frame count and the operations behind it."""

import builtins
import math

import numpy as np
import pytest

from tracebacks import SOURCE, failure, message_of
BODY_RECORD = [(SOURCE, 14, "ostrel.fenwy.calc_num_frames")]


@pytest.mark.parametrize(
    "x_len, win_len, hop_size, expected",
    [
        (10, 4, 2, 4),
        (11, 4, 2, 5),
        (4, 4, 2, 1),
        (3, 4, 2, 1),
        (2, 4, 2, 0),
        (10, 2, 5, 3),
        (10.5, 4, 2, 5),
        (1, 4, 2, 0),  # ceil(-0.5) is minus zero
        (1024, 256, 128, 7),
        (10, 10, 1, 1),
        (10, 1, 1, 10),
        (2**53, 2, 2, 2**52),
        # a signal too short for a frame has none: the formula's negative
        # counts become 0
        (0, 4, 2, 0),
        (0, 10, 1, 0),
        (-10, 4, 2, 0),
        (10, 4, -2, 0),
        (3, 100, 7, 0),
    ],
)
def test_table(fenwy, x_len, win_len, hop_size, expected):
    result = fenwy.calc_num_frames(x_len, win_len, hop_size)
    assert type(result) is int
    assert result == expected
    assert fenwy.calc_num_frames(x_len=x_len, win_len=win_len, hop_size=hop_size) == expected


@pytest.mark.parametrize(
    "convert",
    [int, float, np.int64, np.int32, np.int16, np.float64, np.float32, np.intp],
    ids=lambda convert: convert.__name__,
)
@pytest.mark.parametrize("args, expected", [((10, 4, 2), 4), ((11, 4, 2), 5), ((0, 4, 2), 0), ((2, 4, 2), 0)])
def test_result_is_an_int(fenwy, convert, args, expected):
    result = fenwy.calc_num_frames(*map(convert, args))
    assert type(result) is int
    assert result == expected


def test_mixed_argument_types(fenwy):
    result = fenwy.calc_num_frames(np.int64(11), 4.0, 2)
    assert (type(result), result) == (int, 5)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((10, 4, 0), ZeroDivisionError, "division by zero"),
        ((10.0, 4, 0), ZeroDivisionError, message_of(lambda: (10.0 - 4 + 0) / 0)),
        ((None, 4, 2), TypeError, "unsupported operand type(s) for -: 'NoneType' and 'int'"),
        ((10, 4, "2"), TypeError, "unsupported operand type(s) for +: 'int' and 'str'"),
    ],
)
def test_body_failures(fenwy, args, error, message):
    exc, records = failure(fenwy.calc_num_frames, *args)
    assert type(exc) is error
    assert str(exc) == message
    assert records == BODY_RECORD


@pytest.mark.parametrize(
    "x_len, error, message",
    [
        (10, OverflowError, "cannot convert float infinity to integer"),
        (4, ValueError, "cannot convert float NaN to integer"),
    ],
)
def test_numpy_zero_hop(fenwy, x_len, error, message):
    # numpy scalars divide by zero to infinity or NaN, which int() refuses
    with np.errstate(divide="ignore", invalid="ignore"):
        exc, records = failure(fenwy.calc_num_frames, np.float64(x_len), np.float64(4), np.float64(0))
    assert (type(exc), str(exc)) == (error, message)
    assert records == BODY_RECORD


class FakeNumpy:
    """Stands in for numpy under the global name `np`."""

    def __init__(self, ceil):
        self.ceil = ceil


class TestGlobalNp:
    def test_deleted(self, fenwy, restore_globals):
        del restore_globals["np"]
        for args in [(10, 4, 2), (10, 4, 0), ("a", None, 0)]:
            # no arithmetic before the look-up: hop_size 0 still gives NameError
            exc, records = failure(fenwy.calc_num_frames, *args)
            assert (type(exc), str(exc)) == (NameError, "name 'np' is not defined")
            assert records == BODY_RECORD

    def test_found_in_builtins(self, fenwy, restore_globals, monkeypatch):
        del restore_globals["np"]
        monkeypatch.setattr(builtins, "np", FakeNumpy(lambda q: 77), raising=False)
        assert fenwy.calc_num_frames(10, 4, 2) == 77
        # the module's own global comes first
        restore_globals["np"] = FakeNumpy(lambda q: 78)
        assert fenwy.calc_num_frames(10, 4, 2) == 78

    def test_rebinding_takes_effect_at_the_next_call(self, fenwy, restore_globals):
        assert fenwy.calc_num_frames(10, 4, 2) == 4
        restore_globals["np"] = FakeNumpy(lambda q: 41)
        assert fenwy.calc_num_frames(10, 4, 2) == 41
        restore_globals["np"] = FakeNumpy(lambda q: 42)
        assert fenwy.calc_num_frames(10, 4, 2) == 42
        del restore_globals["np"]
        with pytest.raises(NameError):
            fenwy.calc_num_frames(10, 4, 2)
        restore_globals["np"] = np
        assert fenwy.calc_num_frames(10, 4, 2) == 4

    def test_missing_ceil(self, fenwy, restore_globals):
        restore_globals["np"] = object()
        exc, records = failure(fenwy.calc_num_frames, 10, 4, 0)
        assert (type(exc), str(exc)) == (AttributeError, "'object' object has no attribute 'ceil'")
        assert records == BODY_RECORD

    def test_quotient_is_a_true_division(self, fenwy, restore_globals):
        seen = []
        restore_globals["np"] = FakeNumpy(lambda q: seen.append(q) or 1)
        fenwy.calc_num_frames(3, 4, 2)
        fenwy.calc_num_frames(10, 4, 2)
        fenwy.calc_num_frames(7, 2, 4)
        assert seen == [0.5, 4.0, 2.25]
        assert [type(q) for q in seen] == [float, float, float]

    def test_order_of_operations(self, fenwy, restore_globals):
        log = []

        class Operand:
            def __init__(self, name):
                self.name = name

            def __sub__(self, other):
                log.append(("-", self.name, other.name))
                return Operand("d")

            def __add__(self, other):
                log.append(("+", self.name, other.name))
                return Operand("s")

            def __truediv__(self, other):
                log.append(("/", self.name, other.name))
                return Operand("q")

        class RecordingNumpy:
            def __getattr__(self, attribute):
                log.append(("getattr", attribute))
                return lambda value: log.append(("call", value.name)) or 6

        restore_globals["np"] = RecordingNumpy()
        result = fenwy.calc_num_frames(Operand("x_len"), Operand("win_len"), Operand("hop_size"))
        assert result == 6
        assert log == [
            ("getattr", "ceil"),
            ("-", "x_len", "win_len"),
            ("+", "d", "hop_size"),
            ("/", "s", "hop_size"),
            ("call", "q"),
        ]

    def test_bound_method_ceil(self, fenwy, restore_globals):
        class Rounder:
            def __init__(self, offset):
                self.offset = offset

            def ceil(self, value):
                return math.ceil(value) + self.offset

        restore_globals["np"] = Rounder(100)
        assert fenwy.calc_num_frames(10, 4, 2) == 104


class TestConversion:
    @pytest.mark.parametrize("value", [10**40 + 7, 12345678901, 3])
    def test_exact_int_is_returned_itself(self, fenwy, restore_globals, value):
        restore_globals["np"] = FakeNumpy(lambda q: value)
        assert fenwy.calc_num_frames(10, 4, 2) is value

    @pytest.mark.parametrize("value", [-1, -(10**40), -2**63])
    def test_negative_exact_int_gives_zero(self, fenwy, restore_globals, value):
        restore_globals["np"] = FakeNumpy(lambda q: value)
        result = fenwy.calc_num_frames(10, 4, 2)
        assert (type(result), result) == (int, 0)

    class IntSub(int):
        pass

    @pytest.mark.parametrize(
        "value, expected",
        [
            (IntSub(7), 7),
            (IntSub(-7), 0),
            (True, 1),
            (False, 0),
            (4.9, 4),
            (-0.0, 0),
            (-3.5, 0),
            (np.float64(5.0), 5),
            (np.float32(-2.0), 0),
            (np.int8(9), 9),
            ("12", 12),
            (b"13", 13),
        ],
    )
    def test_other_results_are_converted(self, fenwy, restore_globals, value, expected):
        restore_globals["np"] = FakeNumpy(lambda q: value)
        result = fenwy.calc_num_frames(10, 4, 2)
        assert type(result) is int
        assert result == expected

    @pytest.mark.parametrize(
        "value, error, message",
        [
            (math.inf, OverflowError, "cannot convert float infinity to integer"),
            (-math.inf, OverflowError, "cannot convert float infinity to integer"),
            (np.float64(np.inf), OverflowError, "cannot convert float infinity to integer"),
            (math.nan, ValueError, "cannot convert float NaN to integer"),
            (np.float64(np.nan), ValueError, "cannot convert float NaN to integer"),
            ("abc", ValueError, "invalid literal for int() with base 10: 'abc'"),
            (None, TypeError,
             "int() argument must be a string, a bytes-like object or a real number, not 'NoneType'"),
        ],
    )
    def test_conversion_failures(self, fenwy, restore_globals, value, error, message):
        restore_globals["np"] = FakeNumpy(lambda q: value)
        exc, records = failure(fenwy.calc_num_frames, 10, 4, 2)
        assert type(exc) is error
        assert str(exc) == message
        assert records == BODY_RECORD

    @pytest.mark.parametrize("x_len, win_len", [(math.inf, 0), (10, math.inf)])
    def test_infinite_lengths_through_numpy(self, fenwy, x_len, win_len):
        exc, records = failure(fenwy.calc_num_frames, x_len, win_len, 2)
        assert (type(exc), str(exc)) == (OverflowError, "cannot convert float infinity to integer")
        assert records == BODY_RECORD

    def test_global_int_is_not_consulted(self, fenwy, restore_globals, monkeypatch):
        def fake_int(value):
            raise AssertionError("looked up")

        restore_globals["int"] = fake_int
        monkeypatch.setattr(builtins, "int", fake_int)
        result = fenwy.calc_num_frames(11, 4, 2)
        monkeypatch.undo()
        assert (type(result), result) == (int, 5)
