"""A long run of calls, successful and failing, must not make the process
grow: neither the memory that tracemalloc traces nor the resident set.  A
leak of a single small object per call shows as megabytes over the run;
the thresholds below leave room only for allocator noise."""

import gc
import itertools
import os
import tracemalloc

import numpy as np
import pytest

CALLS = 100_000
WARM_UP = 5_000
TRACED_GROWTH_LIMIT = 64 * 1024  # bytes; one leaked int per call would be 2.8 MB
RESIDENT_GROWTH_LIMIT = 4 * 1024 * 1024  # bytes; one leaked 8-sample array per call would be 16 MB


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def mixed_calls(fenwy):
    """Small calls through every function, about half of them failing."""
    x = np.array([0.5, -1.0, 2.0, -3.0, 1.0, 4.0, -2.0, 0.0])
    integers = np.array([3, -1, 4, -1, 5, -9, 2, 6], dtype=np.int16)
    as_list = [1.0, -1.0, 2.0]

    def fails(call, exception):
        def run():
            try:
                call()
            except exception:
                return
            raise AssertionError("the call did not fail")

        return run

    return [
        lambda: fenwy.calc_num_frames(10, 4, 2),
        lambda: fenwy.calc_num_frames(10.5, 4, 2),
        fails(lambda: fenwy.calc_num_frames(10, 4, 0), ZeroDivisionError),
        lambda: fenwy.calc_energy(x, 3, 2),
        lambda: fenwy.calc_energy(integers, 3, 2, False),
        fails(lambda: fenwy.calc_energy(x, 4, 0), ZeroDivisionError),
        fails(lambda: fenwy.calc_energy(x), TypeError),
        lambda: fenwy.calc_zc(x, 3, 2),
        lambda: fenwy.calc_zc(integers, 4, 3, False),
        fails(lambda: fenwy.calc_zc(as_list, 2, 1, False), TypeError),
        fails(lambda: fenwy.calc_zc(x, 3, 2, bogus=1), TypeError),
        lambda: fenwy.num_zerocrossings(x),
        lambda: fenwy.num_zerocrossings(integers),
        fails(lambda: fenwy.num_zerocrossings(5), TypeError),
        fails(lambda: fenwy.num_zerocrossings({1, 2, 3}), TypeError),
        lambda: fenwy.find_peaks(x),
        lambda: fenwy.find_peaks(x, 0.5),
        lambda: fenwy.find_peaks(np.arange(4), 0.5),
        fails(lambda: fenwy.find_peaks(5.5), TypeError),
        fails(lambda: fenwy.find_peaks(x, x), ValueError),
    ]


def run(calls, count):
    for call in itertools.islice(itertools.cycle(calls), count):
        call()


@pytest.fixture
def tracing():
    tracemalloc.start()
    yield
    tracemalloc.stop()


def test_many_calls_do_not_grow_memory(fenwy, tracing):
    calls = mixed_calls(fenwy)
    # Caches, kept traceback codes, numpy's own first-use allocations and
    # the allocator's arenas settle during the warm-up.
    run(calls, WARM_UP)
    gc.collect()
    traced_before = tracemalloc.get_traced_memory()[0]
    resident_before = resident_bytes()

    run(calls, CALLS)
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    resident_growth = resident_bytes() - resident_before

    assert traced_growth < TRACED_GROWTH_LIMIT
    assert resident_growth < RESIDENT_GROWTH_LIMIT
