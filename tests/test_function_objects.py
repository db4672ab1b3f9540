"""The function objects as descriptors, and their pickling and copying."""

import concurrent.futures
import copy
import ctypes
import multiprocessing
import pickle
import traceback
import types

import numpy as np
import pytest

FUNCTIONS = ["calc_num_frames", "calc_energy", "calc_zc", "num_zerocrossings", "find_peaks"]

_get_slot = ctypes.pythonapi["PyType_GetSlot"]
_get_slot.restype = ctypes.c_void_p
_get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
TP_DESCR_GET = 54  # Py_tp_descr_get


def descr_get_slot(function, *, null_instance):
    """The descriptor slot of the function's type, callable with the
    instance either as an object (None included) or as a NULL pointer."""
    address = _get_slot(type(function), TP_DESCR_GET)
    assert address
    instance_type = ctypes.c_void_p if null_instance else ctypes.py_object
    prototype = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, instance_type, ctypes.py_object)
    return prototype(address)


@pytest.fixture
def signal_class(fenwy):
    class Counted(int):
        frames = fenwy.calc_num_frames

    return Counted


class TestDescriptor:
    def test_through_an_instance(self, fenwy, signal_class):
        length = signal_class(11)
        # the instance is the first positional argument
        assert length.frames(4, 2) == 5
        assert length.frames(win_len=4, hop_size=2) == 5
        assert signal_class(10).frames(2, 5) == 3
        bound = length.frames
        assert type(bound) is types.MethodType
        assert bound.__self__ is length
        assert bound.__func__ is fenwy.calc_num_frames
        assert bound(4, 2) == 5

    def test_instance_counts_as_a_positional_argument(self, fenwy, signal_class):
        with pytest.raises(TypeError) as info:
            signal_class(11).frames(4)
        assert str(info.value) == "calc_num_frames() takes exactly 3 positional arguments (2 given)"
        with pytest.raises(TypeError) as info:
            signal_class(11).frames(4, 2, x_len=3)
        assert str(info.value) == "calc_num_frames() got multiple values for keyword argument 'x_len'"
        entries = traceback.extract_tb(info.value.__traceback__)[1:]
        assert [(e.filename, e.lineno, e.name) for e in entries] == [
            ("package/ostrel/fenwy.py", 4, "ostrel.fenwy.calc_num_frames")
        ]

    def test_array_subclass(self, fenwy):
        class Trace(np.ndarray):
            peaks = fenwy.find_peaks
            crossings = fenwy.num_zerocrossings

        trace = np.array([1.0, 3.0, 1.0, 4.0, 1.0]).view(Trace)
        assert trace.peaks().tolist() == [1, 3]
        assert trace.peaks(0.8).tolist() == [3]
        assert np.array([1.0, -1.0, 1.0]).view(Trace).crossings() == 2

    def test_through_the_class(self, fenwy, signal_class):
        assert signal_class.frames is fenwy.calc_num_frames
        assert vars(signal_class)["frames"] is fenwy.calc_num_frames

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_python_level_get(self, fenwy, name):
        function = getattr(fenwy, name)
        owner = object()
        bound = function.__get__(owner)
        assert type(bound) is types.MethodType
        assert (bound.__self__, bound.__func__) == (owner, function)
        assert function.__get__(owner, object).__self__ is owner
        # at the Python level an instance of None means "no instance"
        assert function.__get__(None, object) is function

    def test_slot_with_no_instance(self, fenwy):
        slot = descr_get_slot(fenwy.calc_num_frames, null_instance=True)
        assert slot(fenwy.calc_num_frames, None, int) is fenwy.calc_num_frames

    def test_slot_with_none_as_the_instance(self, fenwy):
        slot = descr_get_slot(fenwy.calc_num_frames, null_instance=False)
        bound = slot(fenwy.calc_num_frames, None, type(None))
        assert type(bound) is types.MethodType
        assert bound.__self__ is None
        assert bound.__func__ is fenwy.calc_num_frames
        with pytest.raises(TypeError) as info:
            bound(4, 2)
        assert str(info.value) == "unsupported operand type(s) for -: 'NoneType' and 'int'"


class TestPickling:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_by_reference(self, fenwy, name, protocol):
        function = getattr(fenwy, name)
        data = pickle.dumps(function, protocol)
        assert b"ostrel.fenwy" in data
        assert name.encode() in data
        assert pickle.loads(data) is function

    def test_inside_a_container(self, fenwy):
        table = {"count": fenwy.calc_num_frames, "all": [fenwy.find_peaks, fenwy.calc_zc]}
        restored = pickle.loads(pickle.dumps(table))
        assert restored["count"] is fenwy.calc_num_frames
        assert restored["all"][0] is fenwy.find_peaks
        assert restored["all"][1] is fenwy.calc_zc

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_copies_are_the_function(self, fenwy, name):
        function = getattr(fenwy, name)
        assert copy.copy(function) is function
        assert copy.deepcopy(function) is function
        assert copy.deepcopy([function])[0] is function


def test_runs_in_a_worker_process(fenwy):
    # a fresh interpreter, so the function travels by name and is imported
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        counts = list(pool.map(fenwy.calc_num_frames, [10, 11, 0], [4, 4, 4], [2, 2, 2], timeout=120))
        failed = pool.submit(fenwy.calc_num_frames, 10, 4, 0)
        with pytest.raises(ZeroDivisionError):
            failed.result(timeout=120)
    assert counts == [4, 5, 0]
