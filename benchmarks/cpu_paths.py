"""Times the kernels' portable twins against their vector twins, each as a
multiple of one read pass over the same signal (np.add.reduce).

The CPU paths are chosen once per process, so each path runs in processes of
its own: a worker with OSTREL_DISABLE_CPU_FEATURES naming every feature (the
portable twins) and one without (the vector twins), taking turns, each
reporting its times in read passes.  Both must give the same bits: the
workers also hash every result, and differing hashes abort the run.

    PYTHONPATH=package python benchmarks/cpu_paths.py            # writes cpu_paths.md
    PYTHONPATH=package python benchmarks/cpu_paths.py --quick    # smoke run, writes nothing
"""

import argparse
import datetime
import hashlib
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
from run import cpu_model  # noqa: E402
from report_file import write_report  # noqa: E402

SIZE = 10**6
MIN_SECONDS = 0.02


def cases():
    """(function, dtype, parameter label, args after the signal)"""
    for dtype in ("float64", "float32"):
        yield "find_peaks", dtype, "no threshold", ()
        yield "find_peaks", dtype, "thresh 0.5", (0.5,)
        yield "num_zerocrossings", dtype, "", ()
        for win, hop in ((64, 16), (2048, 512)):
            yield "calc_zc", dtype, f"win {win}, hop {hop}", (win, hop)
            yield "calc_energy", dtype, f"win {win}, hop {hop}", (win, hop)


def seconds_per_call(call):
    """The least of three timings of the call in a loop, in this thread's CPU
    time: the machine is shared, and waiting for a core is not the call's."""
    number = 1
    while True:
        start = time.thread_time()
        for _ in range(number):
            call()
        if time.thread_time() - start >= MIN_SECONDS:
            break
        number *= 2
    timings = []
    for _ in range(3):
        start = time.thread_time()
        for _ in range(number):
            call()
        timings.append((time.thread_time() - start) / number)
    return min(timings)


def worker():
    """One repeat of every case in this process's CPU paths: the time in
    read passes and the hash of the result, as JSON on stdout."""
    import numpy as np

    import ostrel.fenwy as fenwy

    signal = np.random.default_rng(20261208).standard_normal(SIZE)
    report = []
    for name, dtype, label, args in cases():
        x = signal.astype(dtype)
        function = getattr(fenwy, name)
        result = np.asarray(function(x, *args))
        digest = hashlib.sha256(result.dtype.str.encode() + str(result.shape).encode() + result.tobytes()).hexdigest()
        read_pass = seconds_per_call(lambda: np.add.reduce(x))
        call = seconds_per_call(lambda: function(x, *args))
        report.append({"ratio": call / read_pass, "hash": digest})
    print(json.dumps(report))


def run_worker(disabled):
    env = {key: value for key, value in os.environ.items() if key != "OSTREL_DISABLE_CPU_FEATURES"}
    if disabled:
        env["OSTREL_DISABLE_CPU_FEATURES"] = disabled
    out = subprocess.run([sys.executable, __file__, "--worker"], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="one repeat, nothing written")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker()
        return 0

    import numpy as np

    import ostrel._cpu as cpu
    import ostrel.fenwy  # noqa: F401  (fixes the choice the report shows)

    features = [name for name, use in cpu.features() if use == "used"]
    if not features:
        print("no optional CPU feature in use here: nothing to compare", file=sys.stderr)
        return 1
    started = time.perf_counter()
    load_before = os.getloadavg()
    repeats = 1 if args.quick else args.repeats
    vector, portable = [], []
    for _ in range(repeats):
        vector.append(run_worker(""))
        portable.append(run_worker(",".join(features)))
    rows = []
    for index, (name, dtype, label, _) in enumerate(cases()):
        hashes = {run[index]["hash"] for run in vector + portable}
        if len(hashes) != 1:
            print(f"{name} {dtype} {label}: portable and vector results differ", file=sys.stderr)
            return 1
        v = [run[index]["ratio"] for run in vector]
        p = [run[index]["ratio"] for run in portable]
        # The least and the median of the processes: far apart, the spread
        # is the machine's noise; close, the cost is the call's own.
        rows.append((name, dtype, label, min(v), statistics.median(v), min(p), statistics.median(p),
                     statistics.median(p) / statistics.median(v)))
    table = [
        "| function | dtype | parameters | vector / read pass (least, median) | portable / read pass (least, median) "
        "| portable / vector |",
        "|---|---|---|---:|---:|---:|",
        *(f"| {n} | {d} | {l} | {v0:.2f}, {v:.2f} | {p0:.2f}, {p:.2f} | {r:.2f} |"
          for n, d, l, v0, v, p0, p, r in rows),
    ]
    print("\n".join(table))
    if args.quick:
        return 0
    load_after = os.getloadavg()
    text = f"""# Benchmark: portable and vector twins of the kernels

Produced by `PYTHONPATH=package python benchmarks/cpu_paths.py` on {datetime.date.today()}.

- Machine: {cpu_model()} ({platform.machine()}), {os.cpu_count()} logical CPUs; Python {platform.python_version()}, numpy {np.__version__};
  compiler flags of a Release build.
- Vector twins: the features this processor has ({", ".join(features)}); portable twins: the same build with
  `OSTREL_DISABLE_CPU_FEATURES={",".join(features)}` (baseline x86-64, SSE2).
- Signals: {SIZE} samples from a normal distribution (fixed seed), as float64 or float32; `calc_energy` and
  `calc_zc` with their default `centered=True`.
- Each time is a multiple of one read pass over the same signal (`np.add.reduce`) measured in the same process,
  both as the least of three timings in the thread's CPU time; each column gives the least and the median over
  {repeats} processes per path, the two paths taking turns (a wide gap between them is the shared machine's
  noise, not the call's cost); the last column is the ratio of the medians. Both paths gave
  bit-identical results in every case.
- Load average over 1 / 5 / 15 minutes: {" / ".join(f"{v:.1f}" for v in load_before)} at the start,
  {" / ".join(f"{v:.1f}" for v in load_after)} at the end (the machine is shared). Whole run: {time.perf_counter() - started:.0f} s.

{chr(10).join(table)}
"""
    write_report(HERE / "cpu_paths.md", text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
