"""Times every function of ostrel.fenwy against the plain-Python model that
the tests compare it with (tests/model.py: the same statements, the same numpy
calls), in one process and on the same inputs, and records peak memory.

    PYTHONPATH=package python benchmarks/run.py            # full run, writes results.md
    PYTHONPATH=package python benchmarks/run.py --quick    # smoke run, writes nothing

Before any timing, both versions must give bit-identical results on a set of
awkward inputs; every timed case is compared as well. A mismatch aborts the
run with exit status 1.
"""

import argparse
import datetime
import gc
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# One plain-Python model serves the tests and this benchmark.
sys.path.insert(0, str(HERE.parent / "tests"))

import model as plain  # noqa: E402
import ostrel.fenwy as ours  # noqa: E402
from report_file import write_report  # noqa: E402

FUNCTIONS = ["calc_num_frames", "calc_energy", "calc_zc", "num_zerocrossings", "find_peaks"]
WINDOWS = [64, 512, 2048]
# One repeat should run at least this long, so that timer resolution and
# call overhead of the loop do not show in the fast cases.
MIN_REPEAT_SECONDS = 0.1
# From this length of one call on, a repeat is a single call and there are
# at most three (one from 2 s on): the 10^7-sample frame-wise cases take
# seconds per call and would blow the time budget otherwise.
SLOW_CALL_SECONDS = 0.5


class Mismatch(Exception):
    pass


def describe(value):
    if isinstance(value, np.ndarray):
        return f"ndarray(dtype={value.dtype}, shape={value.shape}, head={value[:5].tolist()})"
    return f"{type(value).__name__}({value!r})"


def identical(a, b):
    """Same type, and for arrays the same dtype, shape and bytes: NaNs and
    signed zeros must match too, which == would not check."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return math.copysign(1.0, a) == math.copysign(1.0, b) and (a == b or (a != a and b != b))
    return a == b


def compare(name, args, kwargs=None):
    kwargs = kwargs or {}
    outcomes = []
    for module in (ours, plain):
        try:
            outcomes.append(("result", getattr(module, name)(*args, **kwargs)))
        except Exception as error:  # both must fail alike
            outcomes.append(("error", (type(error), str(error))))
    (kind_a, a), (kind_b, b) = outcomes
    same = kind_a == kind_b and (a == b if kind_a == "error" else identical(a, b))
    if not same:
        shown = ", ".join(describe(arg) for arg in args)
        raise Mismatch(f"{name}({shown}, **{kwargs}): ours {kind_a} {describe(a)}, plain {kind_b} {describe(b)}")


def check_inputs():
    """Awkward inputs on which the two versions must agree before any timing."""
    rng = np.random.default_rng(7)
    floats = rng.normal(size=3000)
    # Large enough to overflow int16 squares if they were not promoted.
    int16 = rng.integers(-3000, 3000, size=2000).astype(np.int16)
    int64 = rng.integers(-(2**40), 2**40, size=2000)
    uint8 = rng.integers(0, 255, size=500).astype(np.uint8)
    special = np.array([0.0, -0.0, 1.0, np.nan, -1.0, 3.0, 3.0, -2.0, np.inf, -np.inf, 5.0, 0.0])
    short = [floats[:0], floats[:1], floats[:2], floats[:3]]
    for x_len in [0, 1, 2, 1000, 10**7]:
        for win_len in [1, 4, 64, 2048]:
            for hop_size in [1, 3, max(1, win_len // 2)]:
                yield "calc_num_frames", (x_len, win_len, hop_size), {}
    for x in [floats, int16, int64, uint8, special, *short]:
        for win_len, hop_size in [(64, 16), (7, 3), (2048, 1024), (4, 8)]:
            for centered in [True, False]:
                yield "calc_energy", (x, win_len, hop_size, centered), {}
                yield "calc_zc", (x, win_len, hop_size), {"centered": centered}
        yield "num_zerocrossings", (x,), {}
        for thresh in [None, 0, 0.5, 0.99, 1, np.nan]:
            yield "find_peaks", (x,), {"thresh": thresh}
    for monotonic in [np.arange(10.0), np.full(6, 2.0), np.array([0.0, 2.0, 2.0, 0.0])]:
        yield "find_peaks", (monotonic, 0.5), {}


def signals(sizes):
    rng = np.random.default_rng(2026)
    return {n: rng.normal(size=n) for n in sizes}


def cases(sizes):
    """(function, n, parameter label, args) for every timed case."""
    for n in sizes:
        for window in WINDOWS:
            for hop in (window // 4, window // 2):
                yield "calc_num_frames", n, f"win {window}, hop {hop}", ("n", window, hop)
    for name in ("calc_energy", "calc_zc"):
        for n in sizes:
            for window in WINDOWS:
                for hop in (window // 4, window // 2):
                    yield name, n, f"win {window}, hop {hop}", ("x", window, hop)
    for n in sizes:
        yield "num_zerocrossings", n, "", ("x",)
    for n in sizes:
        yield "find_peaks", n, "no threshold", ("x",)
        yield "find_peaks", n, "thresh 0.5", ("x", 0.5)


def timed_call(function, args):
    start = time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, result


def time_loop(function, args, number):
    start = time.perf_counter()
    for _ in range(number):
        function(*args)
    return (time.perf_counter() - start) / number


def peak_memory(function, args):
    """Peak traced memory above the level before the call, in bytes."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = function(*args)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    del result
    return peak - before


def measure(name, args, max_repeats):
    """Medians of per-call seconds for (ours, plain), repeats, loops per repeat
    and peak memory of one call of each."""
    ours_function, plain_function = getattr(ours, name), getattr(plain, name)
    # The first call of each warms up, is not timed, and gives the results
    # to compare.
    first_ours, result_ours = timed_call(ours_function, args)
    first_plain, result_plain = timed_call(plain_function, args)
    if not identical(result_ours, result_plain):
        raise Mismatch(f"{name}: ours {describe(result_ours)}, plain {describe(result_plain)}")
    del result_ours, result_plain
    longest = max(first_ours, first_plain)
    if longest >= SLOW_CALL_SECONDS:
        number = 1
        repeats = 1 if longest >= 2.0 else min(3, max_repeats)
    else:
        number = max(1, math.ceil(MIN_REPEAT_SECONDS / max(longest, 1e-7)))
        repeats = max_repeats if longest * number < 0.25 else min(3, max_repeats)
    samples_ours, samples_plain = [], []
    # Alternate the two so that drift of the machine hits both alike.
    for _ in range(repeats):
        samples_ours.append(time_loop(ours_function, args, number))
        samples_plain.append(time_loop(plain_function, args, number))
    return {
        "ours": statistics.median(samples_ours),
        "plain": statistics.median(samples_plain),
        "repeats": len(samples_ours),
        "number": number,
        "memory ours": peak_memory(ours_function, args),
        "memory plain": peak_memory(plain_function, args),
    }


def format_seconds(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def format_bytes(size):
    for unit, scale in (("MiB", 2**20), ("KiB", 2**10)):
        if size >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size} B"


def size_label(n):
    exponent = round(math.log10(n))
    return f"10^{exponent}" if 10**exponent == n else str(n)


HEADER = ["function", "samples", "parameters", "repeats × loops", "ours", "plain Python", "plain / ours",
          "peak memory ours", "peak memory plain"]


def row(name, n, label, m):
    return [name, size_label(n), label, f"{m['repeats']} × {m['number']}", format_seconds(m["ours"]),
            format_seconds(m["plain"]), f"{m['plain'] / m['ours']:.2f}", format_bytes(m["memory ours"]),
            format_bytes(m["memory plain"])]


def markdown_table(rows):
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "|".join(["---"] * 3 + ["---:"] * 6) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def load_average():
    try:
        return " / ".join(f"{value:.1f}" for value in os.getloadavg())
    except OSError:
        return "unknown"


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def revision():
    try:
        out = subprocess.run(["git", "describe", "--always", "--dirty"], cwd=HERE, capture_output=True, text=True)
    except OSError:
        return "unknown"
    return out.stdout.strip() or "unknown"


def write_markdown(path, rows, elapsed, args, load_before, load_after):
    command = "PYTHONPATH=package python benchmarks/run.py" + (" --quick" if args.quick else "")
    text = f"""# Benchmark: ostrel.fenwy against plain Python

Produced by `{command}` on {datetime.date.today().isoformat()} (revision {revision()}).

- Machine: {cpu_model()}, {os.cpu_count()} logical CPUs, {platform.system()} {platform.release()}
- Python {platform.python_version()}, numpy {np.__version__}
- Signals: float64 samples from a normal distribution (fixed seed); `calc_energy` and `calc_zc` use their
  default `centered=True`; `calc_num_frames` gets the signal length as `x_len`.
- Times are medians of per-call times over the repeats, after one untimed call of each version that warms up
  and whose results are compared. A repeat runs the call in a loop ("loops") when one call is short; the
  two versions alternate repeat by repeat. Calls of half a second or more get 3 repeats, of 2 s or more 1.
- The machine was shared with other work while this ran (load average over 1 / 5 / 15 minutes: {load_before} at the start,
  {load_after} at the end), so single cases can be off by tens of percent; compare rows, not digits.
- "plain / ours" above 1 means the extension is faster.
- Peak memory: tracemalloc's peak above the level before one call, numpy's array buffers included.
- Before timing, both versions gave bit-identical results on {sum(1 for _ in check_inputs())} checking calls
  and on every timed case.
- Whole run, checks included: {elapsed:.0f} s.

{markdown_table(rows)}
"""
    write_report(path, text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="signals up to 10^5 samples, 3 repeats, no file written")
    parser.add_argument("--output", type=Path, help="Markdown file (default: benchmarks/results.md on a full run)")
    args = parser.parse_args()
    output = args.output or (None if args.quick else HERE / "results.md")
    sizes = [10**3, 10**5] if args.quick else [10**3, 10**5, 10**7]
    max_repeats = 3 if args.quick else 7

    started = time.perf_counter()
    load_before = load_average()
    try:
        checks = 0
        for name, call_args, kwargs in check_inputs():
            compare(name, call_args, kwargs)
            checks += 1
        print(f"{checks} checking calls: identical results", flush=True)

        data = signals(sizes)
        rows = []
        print(" | ".join(HEADER), flush=True)
        for name, n, label, template in cases(sizes):
            call_args = tuple(data[n] if a == "x" else n if a == "n" else a for a in template)
            measured = measure(name, call_args, max_repeats)
            rows.append(row(name, n, label, measured))
            print(" | ".join(rows[-1]), flush=True)
    except Mismatch as error:
        print(f"results differ, not timing: {error}", file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - started
    print(f"total run time: {elapsed:.1f} s")
    if output is not None:
        write_markdown(output, rows, elapsed, args, load_before, load_average())
        print(f"written to {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
