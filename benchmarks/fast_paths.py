"""Times the native fast paths of ostrel.fenwy against the generic sequence of
numpy calls that the same functions run for every other input, and against
one read pass over the signal (np.add.reduce), in one process and on the same
inputs; two threads on two signals against one thread doing both; the inputs
that once fell off the fast path against their neighbours; and, with the
`bench` extra installed, the features users would otherwise compute.

    PYTHONPATH=package python benchmarks/fast_paths.py            # full run, writes fast_paths.md
    PYTHONPATH=package python benchmarks/fast_paths.py --quick    # smoke run, writes nothing

The generic sequence is forced by binding the module's np to a module that
forwards to numpy.  Before any timing, the fast path and the generic
sequence must give bit-identical results in every case; a mismatch aborts
the run with exit status 1.
"""

import argparse
import datetime
import functools
import math
import os
import platform
import statistics
import sys
import threading
import time
from pathlib import Path

import numpy as np

# run.py puts tests/ on the path for the helpers shared with the tests.
from run import (
    MIN_REPEAT_SECONDS,
    SLOW_CALL_SECONDS,
    Mismatch,
    cpu_model,
    describe,
    format_seconds,
    identical,
    load_average,
    ours,
    revision,
    size_label,
)
from paths import generic_path, numpy_calls
from report_file import write_report

HERE = Path(__file__).resolve().parent
NAMESPACE = vars(ours)


def cases(large, small, windows):
    """(function, signal size, parameter label, args after the signal)"""
    for name in ("calc_energy", "calc_zc"):
        for window in windows:
            for hop in (window // 4, window // 2):
                yield name, large, f"win {window}, hop {hop}", (window, hop)
    yield "num_zerocrossings", large, "", ()
    yield "find_peaks", large, "no threshold", ()
    yield "find_peaks", large, "thresh 0.5", (0.5,)
    yield "calc_energy", small, "win 64, hop 16", (64, 16)
    yield "calc_zc", small, "win 64, hop 16", (64, 16)
    yield "num_zerocrossings", small, "", ()
    yield "find_peaks", small, "no threshold", ()


def loop_seconds(call, number):
    """Per-call seconds of `number` calls in a loop, in this thread's CPU
    time: the machine is shared, and waiting for a core is not the call's."""
    start = time.thread_time()
    for _ in range(number):
        call()
    return (time.thread_time() - start) / number


def call_generic(call):
    with generic_path(NAMESPACE):
        return call()


def loops_for(seconds):
    """Calls per repeat, so that one repeat runs at least MIN_REPEAT_SECONDS."""
    return max(1, math.ceil(MIN_REPEAT_SECONDS / max(seconds, 1e-7)))


def measure(call, read_pass, max_repeats):
    """Least and median per-call seconds of the fast path, the generic
    sequence and the read pass, each with as many loops per repeat as it
    needs, and the number of repeats.  The three alternate repeat by repeat,
    so that drift of the machine hits all alike."""

    def generic_seconds(number):
        with generic_path(NAMESPACE):
            return loop_seconds(call, number)

    timers = {
        "fast": functools.partial(loop_seconds, call),
        "generic": generic_seconds,
        "read pass": functools.partial(loop_seconds, read_pass),
    }
    first = {variant: timer(1) for variant, timer in timers.items()}
    loops = {variant: loops_for(seconds) for variant, seconds in first.items()}
    # Generic calls of half a second or more get three repeats, as in run.py.
    repeats = min(3, max_repeats) if first["generic"] >= SLOW_CALL_SECONDS else max_repeats
    samples = {variant: [] for variant in timers}
    for _ in range(repeats):
        for variant, timer in timers.items():
            samples[variant].append(timer(loops[variant]))
    return {variant: (min(values), statistics.median(values)) for variant, values in samples.items()}, repeats


def check(name, call):
    """Whether the fast path was taken (no Python-level numpy call); its
    result must be bit-identical to the generic sequence's."""
    # A function's first fast call in a process asks numpy a question once.
    call()
    fast, counts = numpy_calls(call)
    generic = call_generic(call)
    if not identical(fast, generic):
        raise Mismatch(f"{name}: fast {describe(fast)}, generic {describe(generic)}")
    return not counts


def run_in_threads(calls):
    """Seconds for running the calls at once, one thread each."""
    threads = [threading.Thread(target=call) for call in calls]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


def run_in_turn(calls):
    start = time.perf_counter()
    for call in calls:
        call()
    return time.perf_counter() - start


def thread_throughput(label, function, signals, repeats):
    """Median seconds of one thread making every call in turn and of one
    thread per call, all at once; the threads' results checked first."""
    calls = [functools.partial(function, x) for x in signals]
    in_turn = [call() for call in calls]
    at_once = [None] * len(calls)

    def keep(index):
        at_once[index] = calls[index]()

    run_in_threads([functools.partial(keep, index) for index in range(len(calls))])
    if not all(identical(a, b) for a, b in zip(at_once, in_turn)):
        raise Mismatch(f"{label}: results in threads differ from one thread's")
    one, many = [], []
    for _ in range(repeats):
        one.append(run_in_turn(calls))
        many.append(run_in_threads(calls))
    return statistics.median(one), statistics.median(many)


def thread_cases():
    """(label, parameters, function of the signal)"""
    for name in ("calc_energy", "calc_zc"):
        function = getattr(ours, name)
        yield name, "win 2048, hop 64", lambda x, function=function: function(x, 2048, 64)
    # How far this machine runs two threads of numpy's own in parallel.
    yield "read pass (np.add.reduce)", "", np.add.reduce


def paired_seconds(ours_call, reference_call, repeats):
    """Median per-call seconds of two calls, alternating repeat by repeat."""
    calls = {"ours": ours_call, "reference": reference_call}
    loops = {name: loops_for(loop_seconds(call, 1)) for name, call in calls.items()}
    samples = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            samples[name].append(loop_seconds(call, loops[name]))
    return statistics.median(samples["ours"]), statistics.median(samples["reference"])


def with_values(x, value, count=3):
    """x with `count` samples, spread over it, set to value."""
    y = x.copy()
    y[np.linspace(len(y) // 7, len(y) - 3, count).astype(int)] = value
    return y


def cliff_cases(x, windows):
    """(case, our call, reference, reference call, bound): the inputs that
    once fell off the fast path or ran slowly, each against its neighbour."""
    x32 = x.astype(np.float32)
    read_pass = functools.partial(np.add.reduce, x)
    for window in windows:
        args = (window, window // 4)
        for centered in (False, True):
            for name in ("calc_energy", "calc_zc"):
                function = getattr(ours, name)
                yield (f"{name} float32, win {window}, centered={centered}",
                       functools.partial(function, x32, *args, centered), "float64",
                       functools.partial(function, x, *args, centered), 1.25)
        # Centred, a hop longer than the window leaves samples no frame
        # reads, which float32 signals still have checked for signalling NaNs.
        for name in ("calc_energy", "calc_zc"):
            function = getattr(ours, name)
            gaps = (window, 2 * window)
            yield (f"{name} float32, win {window}, hop {2 * window}, centered=True",
                   functools.partial(function, x32, *gaps), "float64", functools.partial(function, x, *gaps), 1.5)
        energy = functools.partial(ours.calc_energy, x, *args)
        yield (f"calc_energy, 3 NaNs, win {window}", functools.partial(ours.calc_energy, with_values(x, np.nan), *args),
               "clean signal", energy, 2.0)
        yield (f"calc_energy, 3 squares underflow, win {window}",
               functools.partial(ours.calc_energy, with_values(x, 1e-170), *args), "clean signal", energy, 2.0)
    for thresh in (0.5, None):
        yield (f"find_peaks float32, thresh {thresh}", functools.partial(ours.find_peaks, x32, thresh), "float64",
               functools.partial(ours.find_peaks, x, thresh), 1.25)
    yield "find_peaks, thresh 0.5", functools.partial(ours.find_peaks, x, 0.5), "read pass", read_pass, 3.0
    yield "find_peaks, no threshold", functools.partial(ours.find_peaks, x), "read pass", read_pass, None
    for name in ("calc_energy", "calc_zc"):
        yield f"{name}, win 64, hop 16", functools.partial(getattr(ours, name), x, 64, 16), "read pass", read_pass, 3.0


def peer_cases(x, windows):
    """(case, our call, peer, peer call): what users would run instead, on
    the same float32 signal.  Empty when the bench extra is not installed."""
    try:
        import librosa
        import scipy.signal
    except ImportError:
        return
    x32 = x.astype(np.float32)
    for window in windows:
        hop = window // 4
        yield (f"energy, win {window}, hop {hop}", functools.partial(ours.calc_energy, x32, window, hop),
               "librosa.feature.rms",
               functools.partial(librosa.feature.rms, y=x32, frame_length=window, hop_length=hop))
        yield (f"zero-crossing rate, win {window}, hop {hop}", functools.partial(ours.calc_zc, x32, window, hop),
               "librosa.feature.zero_crossing_rate",
               functools.partial(librosa.feature.zero_crossing_rate, x32, frame_length=window, hop_length=hop))
    yield ("peaks, no threshold", functools.partial(ours.find_peaks, x32), "scipy.signal.find_peaks",
           functools.partial(scipy.signal.find_peaks, x32))
    yield ("peaks, half the largest", functools.partial(ours.find_peaks, x32, 0.5), "scipy.signal.find_peaks(height=)",
           functools.partial(scipy.signal.find_peaks, x32, height=0.5 * float(x32.max())))


def numpy_call_count(call):
    """How many of numpy's Python-level functions the call entered (NaN
    frames ask numpy's sum, one call each)."""
    call()
    return sum(numpy_calls(call)[1].values())


HEADER = ["function", "samples", "parameters", "fast path taken", "repeats", "fast", "generic", "read pass",
          "generic / fast", "fast / read pass (least, median)"]
CLIFF_HEADER = ["case", "numpy calls", "ours", "against", "its time", "ratio", "bound", "within"]
PEER_HEADER = ["case", "ours", "peer", "peer's time", "peer / ours"]
THREAD_HEADER = ["function", "signals", "parameters", "one thread, both calls", "two threads, one call each",
                 "throughput ratio"]


def markdown_table(header, rows, text_columns):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join(["---"] * text_columns + ["---:"] * (len(header) - text_columns)) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def write_markdown(path, rows, thread_rows, cliff_rows, peer_rows, elapsed, load_before, load_after, large,
                   thread_size):
    text = f"""# Benchmark: the native fast paths of ostrel.fenwy

Produced by `PYTHONPATH=package python benchmarks/fast_paths.py` on {datetime.date.today().isoformat()}
(revision {revision()}).

- Machine: {cpu_model()}, {os.cpu_count()} logical CPUs, {platform.system()} {platform.release()}
- Python {platform.python_version()}, numpy {np.__version__}
- Signals: float64 samples from a normal distribution (fixed seed), {size_label(large)} and 1000 samples;
  `calc_energy` and `calc_zc` use their default `centered=True`.
- "fast": the call as it is; "generic": the same call with the module's `np` bound to a module that forwards
  to numpy, which makes the functions run their sequence of numpy calls; "read pass": `np.add.reduce(x)` on
  the same signal, one pass that reads every sample once.
- "fast path taken": the call made no Python-level numpy call (checked with a profile hook).
- Times are medians of per-call times over the repeats, in the measuring thread's CPU time (waiting for a
  core of the shared machine is not counted); a repeat runs the call in a loop when one call is short. The
  three variants alternate repeat by repeat.
- "fast / read pass" is given twice: as the ratio of the least times and of the medians. Far apart, the
  case swings with the machine's load from repeat to repeat; close together, the figure is the call's own
  cost.
- "generic / fast" above 1 means the fast path is faster; "fast / read pass" is the fast path's time in
  read passes over the signal.
- Before timing, the fast path and the generic sequence gave bit-identical results in every case.
- Threads: two signals of {size_label(thread_size)} samples; one thread makes both calls in turn, or two
  threads make one call each at the same time. The throughput ratio is the first time over the second:
  2 means the calls ran fully in parallel. The read pass row shows how well this machine runs two threads
  of numpy's own in parallel.
- The machine was shared with other work while this ran (load average over 1 / 5 / 15 minutes: {load_before}
  at the start, {load_after} at the end), so single cases can be off by tens of percent.
- Whole run, checks included: {elapsed:.0f} s.

{markdown_table(HEADER, rows, 4)}

{markdown_table(THREAD_HEADER, thread_rows, 3)}

## Inputs that once fell off the fast path

Each case against its neighbour in the same run, on the {size_label(large)}-sample signal ("ratio" is the
case's time over the neighbour's; "bound" is what the case must stay within). "numpy calls" counts numpy's
Python-level functions the call entered: a NaN frame is summed by numpy's own sum, one call per frame.
Before timing, each case gave what the per-frame sequence gives, bit for bit.

{markdown_table(CLIFF_HEADER, cliff_rows, 2)}

## Against what users would run instead

The same {size_label(large)} samples as float32 (as audio readers return them), in the same run; the peers
(installed by the `bench` extra) compute comparable, not identical, features: RMS is the square root of the
energy, and scipy's peak finder handles plateaus and heights its own way. "peer / ours" above 1 means ostrel
is faster.

{markdown_table(PEER_HEADER, peer_rows, 1) if peer_rows else "(the bench extra is not installed: no peers timed)"}
"""
    write_report(path, text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10^5 samples, one window, 3 repeats, no file written")
    parser.add_argument("--output", type=Path, help="Markdown file (default: benchmarks/fast_paths.md on a full run)")
    args = parser.parse_args()
    output = args.output or (None if args.quick else HERE / "fast_paths.md")
    large, small = (10**5, 1000) if args.quick else (10**6, 1000)
    windows = [64] if args.quick else [64, 512, 2048]
    max_repeats = 3 if args.quick else 7
    thread_size = 10**6 if args.quick else 4 * 10**6

    started = time.perf_counter()
    load_before = load_average()
    rng = np.random.default_rng(2026)
    signals = {size: rng.standard_normal(size) for size in (large, small)}
    rows, thread_rows = [], []
    try:
        print(" | ".join(HEADER), flush=True)
        for name, size, label, trailing in cases(large, small, windows):
            x = signals[size]
            call = functools.partial(getattr(ours, name), x, *trailing)
            taken = check(f"{name}({size_label(size)}, {label})", call)
            times, repeats = measure(call, functools.partial(np.add.reduce, x), max_repeats)
            least = {variant: pair[0] for variant, pair in times.items()}
            median = {variant: pair[1] for variant, pair in times.items()}
            rows.append([name, size_label(size), label, "yes" if taken else "no", str(repeats),
                         format_seconds(median["fast"]), format_seconds(median["generic"]),
                         format_seconds(median["read pass"]), f"{median['generic'] / median['fast']:.2f}",
                         f"{least['fast'] / least['read pass']:.2f}, {median['fast'] / median['read pass']:.2f}"])
            print(" | ".join(rows[-1]), flush=True)
        x = signals[large]
        cliff_rows = []
        print(" | ".join(CLIFF_HEADER), flush=True)
        for case, call, against, reference, bound in cliff_cases(x, windows):
            check(case, call)
            ours_seconds, reference_seconds = paired_seconds(call, reference, max_repeats)
            ratio = ours_seconds / reference_seconds
            cliff_rows.append([case, str(numpy_call_count(call)), format_seconds(ours_seconds), against,
                               format_seconds(reference_seconds), f"{ratio:.2f}",
                               "—" if bound is None else f"{bound:.2f}",
                               "—" if bound is None else ("yes" if ratio <= bound else "no")])
            print(" | ".join(cliff_rows[-1]), flush=True)
        peer_rows = []
        print(" | ".join(PEER_HEADER), flush=True)
        for case, call, peer, peer_call in peer_cases(x, windows):
            ours_seconds, peer_seconds = paired_seconds(call, peer_call, max_repeats)
            peer_rows.append([case, format_seconds(ours_seconds), peer, format_seconds(peer_seconds),
                              f"{peer_seconds / ours_seconds:.1f}"])
            print(" | ".join(peer_rows[-1]), flush=True)
        pair = [rng.standard_normal(thread_size) for _ in range(2)]
        print(" | ".join(THREAD_HEADER), flush=True)
        for label, parameters, function in thread_cases():
            one, two = thread_throughput(label, function, pair, max_repeats)
            thread_rows.append([label, f"2 × {size_label(thread_size)}", parameters, format_seconds(one),
                                format_seconds(two), f"{one / two:.2f}"])
            print(" | ".join(thread_rows[-1]), flush=True)
    except Mismatch as error:
        print(f"results differ, not timing: {error}", file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - started
    print(f"total run time: {elapsed:.1f} s")
    if output is not None:
        write_markdown(output, rows, thread_rows, cliff_rows, peer_rows, elapsed, load_before, load_average(), large,
                       thread_size)
        print(f"written to {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
