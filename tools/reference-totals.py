"""Under a debug interpreter (sys.gettotalrefcount), every call of every
function, successful, failing or warning, leaves the interpreter's total of
references and its count of allocated blocks as it found them.

Each case runs many times after a warm-up (the first calls keep what every
later call reuses: probes, traceback records' code objects, a warning's
registry entry); a reference gained or a release the interpreter did not
count, once per call, shows as a drift of hundreds.  numpy must be built for
the same interpreter, or its own references are counted on one side only.

Usage: python -X dev tools/reference-totals.py  (prints one line per case)
"""

import sys
import warnings

import numpy as np

import ostrel.fenwy as fenwy
from ostrel._segments import Measures

CALLS = 500
WARM_UP = 50
# numpy's own calls drift by a few per ten thousand (caches filling up):
# less than one per hundred calls is flat.
LIMIT = CALLS // 100

if not hasattr(sys, "gettotalrefcount"):
    sys.exit("reference-totals: needs a debug interpreter (sys.gettotalrefcount)")

x = np.sin(np.arange(1000.0) * 0.3)
ones = np.ones(100)
x32 = x.astype(np.float32)
ints = (x * 1000).astype(np.int16)
as_list = x[:50].tolist()
strided = x[::-3]


def raises(kind, call):
    def run():
        try:
            call()
        except kind:
            return
        raise AssertionError(f"{call} did not raise {kind.__name__}")

    return run


def measured(signal):
    """The segments' measurements of ``signal``, fed, finished and taken."""

    def run():
        measures = Measures(64, 16, 20, 256)
        measures.feed(signal)
        measures.finish()
        measures.take(np.empty((measures.pending(), 4)))

    return run


def warns(action, call):
    """call() under a warnings filter of its own; what it shows is kept, not printed."""

    def run():
        with warnings.catch_warnings(record=True):
            warnings.simplefilter(action)
            call()

    return run


CASES = {
    "calc_num_frames": lambda: fenwy.calc_num_frames(100000, 1000, 500),
    "calc_num_frames-floats": lambda: fenwy.calc_num_frames(1000.5, 10.0, 5),
    "calc_num_frames-no-frames": lambda: fenwy.calc_num_frames(5, 1000, 500),
    "calc_num_frames-zero-hop": raises(ZeroDivisionError, lambda: fenwy.calc_num_frames(100, 10, 0)),
    "calc_num_frames-text": raises(TypeError, lambda: fenwy.calc_num_frames("100", 10, 5)),
    "calc_energy": lambda: fenwy.calc_energy(ones, 10, 5, True),
    "calc_energy-uncentered": lambda: fenwy.calc_energy(x, 64, 16, False),
    "calc_energy-float32": lambda: fenwy.calc_energy(x32, 64, 16),
    "calc_energy-int16": lambda: fenwy.calc_energy(ints, 64, 16),
    "calc_energy-strided": lambda: fenwy.calc_energy(strided, 32, 8),
    "calc_energy-list": lambda: fenwy.calc_energy(as_list, 8, 4),
    "calc_energy-keywords": lambda: fenwy.calc_energy(x=ones, win_len=10, hop_size=5, centered=False),
    "calc_energy-zero-hop": raises(ZeroDivisionError, lambda: fenwy.calc_energy(ones, 10, 0)),
    "calc_energy-negative-window": raises(ValueError, lambda: fenwy.calc_energy(ones, -1, 5)),
    "calc_energy-text-window": raises(TypeError, lambda: fenwy.calc_energy(ones, "10", 5)),
    "calc_energy-missing-argument": raises(TypeError, lambda: fenwy.calc_energy(ones)),
    "calc_energy-unknown-keyword": raises(TypeError, lambda: fenwy.calc_energy(ones, 10, 5, frames=3)),
    "calc_energy-too-many": raises(TypeError, lambda: fenwy.calc_energy(ones, 10, 5, True, 1)),
    "calc_energy-zero-window-warns": warns("always", lambda: fenwy.calc_energy(ones, 0, 5)),
    "calc_energy-zero-window-ignored": warns("ignore", lambda: fenwy.calc_energy(ones, 0, 5)),
    "calc_energy-zero-window-default": warns("default", lambda: fenwy.calc_energy(ones, 0, 5)),
    "calc_energy-zero-window-error": raises(RuntimeWarning, warns("error", lambda: fenwy.calc_energy(ones, 0, 5))),
    "calc_zc": lambda: fenwy.calc_zc(x, 64, 16),
    "calc_zc-float32-uncentered": lambda: fenwy.calc_zc(x32, 64, 16, False),
    "calc_zc-list": lambda: fenwy.calc_zc(as_list, 8, 4),
    "calc_zc-missing-argument": raises(TypeError, lambda: fenwy.calc_zc(x)),
    "calc_zc-zero-hop": raises(ZeroDivisionError, lambda: fenwy.calc_zc(x, 10, 0)),
    "num_zerocrossings": lambda: fenwy.num_zerocrossings(x),
    "num_zerocrossings-int16": lambda: fenwy.num_zerocrossings(ints),
    "num_zerocrossings-list": raises(TypeError, lambda: fenwy.num_zerocrossings(as_list)),
    "num_zerocrossings-no-argument": raises(TypeError, lambda: fenwy.num_zerocrossings()),
    "num_zerocrossings-number": raises(TypeError, lambda: fenwy.num_zerocrossings(3)),
    "find_peaks": lambda: fenwy.find_peaks(x),
    "find_peaks-threshold": lambda: fenwy.find_peaks(x, 0.5),
    "find_peaks-float32-threshold": lambda: fenwy.find_peaks(x32, 0.5),
    "find_peaks-int16-threshold": lambda: fenwy.find_peaks(ints, 0.5),
    "find_peaks-list": raises(TypeError, lambda: fenwy.find_peaks(as_list, 0.5)),
    "find_peaks-text-threshold": raises(TypeError, lambda: fenwy.find_peaks(x, "high")),
    "find_peaks-number": raises(TypeError, lambda: fenwy.find_peaks(3)),
    "segment-measures": measured(x),
    "segment-measures-not-a-number": measured(np.where(np.arange(1000) % 97 == 5, np.nan, x)),
    "segment-measures-float32": raises(TypeError, lambda: Measures(64, 16, 20, 256).feed(x32)),
    "segment-measures-two-dimensions": raises(TypeError, lambda: Measures(64, 16, 20, 256).feed(x[:, None])),
    "segment-measures-wrong-shape": raises(TypeError, lambda: Measures(64, 16, 20, 256).take(np.empty((1, 3)))),
    "segment-measures-no-window": raises(ValueError, lambda: Measures(0, 16, 20, 256)),
}



def drift(call):
    for _ in range(WARM_UP):
        call()
    references, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(CALLS):
        call()
    return sys.gettotalrefcount() - references, sys.getallocatedblocks() - blocks


# numpy alone, first: if its own calls drift, it was built for another
# interpreter and no other case can be judged.
references, blocks = drift(lambda: np.ones(100))
if abs(references) > LIMIT or abs(blocks) > LIMIT:
    sys.exit(f"reference-totals: np.ones alone drifts by {references:+d} references over {CALLS} calls:"
             " install a numpy built for this interpreter")
failed = []
for name, call in CASES.items():
    references, blocks = drift(call)
    flat = abs(references) <= LIMIT and abs(blocks) <= LIMIT
    print(f"{'ok  ' if flat else 'FAIL'} {name}: references {references:+d}, blocks {blocks:+d} over {CALLS} calls")
    if not flat:
        failed.append(name)
if failed:
    sys.exit(f"reference-totals: {len(failed)} of {len(CASES)} cases drift: {', '.join(failed)}")
print(f"reference-totals: all {len(CASES)} cases flat over {CALLS} calls each")
