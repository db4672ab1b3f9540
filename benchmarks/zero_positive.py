"""Times the zero-positive crossings (ostrel._crossings) against the library's
own rule (ostrel.fenwy) on the same signals, as ratios measured in one run.

Each CPU path runs in a process of its own: one with every optional feature
(the vector twins) and one with OSTREL_DISABLE_CPU_FEATURES naming them all.

    PYTHONPATH=package python benchmarks/zero_positive.py           # writes zero_positive.md
    PYTHONPATH=package python benchmarks/zero_positive.py --quick   # smoke run, writes nothing
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

from run import cpu_model, load_average

HERE = Path(__file__).resolve().parent

WORKER = """
import json, sys, time
import numpy as np
from ostrel import _crossings, fenwy
from report_file import write_report

size = int(sys.argv[1])

def seconds(call):
    number = 1
    while True:
        start = time.thread_time()
        for _ in range(number):
            call()
        if time.thread_time() - start >= 0.02:
            break
        number *= 2
    best = []
    for _ in range(3):
        start = time.thread_time()
        for _ in range(number):
            call()
        best.append((time.thread_time() - start) / number)
    return min(best)

rows = []
for dtype in ("float64", "float32"):
    x = np.random.default_rng(0).standard_normal(size).astype(dtype)
    whole = seconds(lambda: fenwy.num_zerocrossings(x)), seconds(lambda: _crossings.count(x))
    rows.append((dtype, "whole signal", *whole))
    for win, hop in ((64, 16), (2048, 512)):
        out = np.empty(len(fenwy.calc_zc(x, win, hop)))
        framed = seconds(lambda: fenwy.calc_zc(x, win, hop)), seconds(lambda: _crossings.rates(x, win, hop, win // 2, out))
        rows.append((dtype, f"frames, win {win}, hop {hop}", *framed))
print(json.dumps(rows))
"""


def run(size, disabled):
    env = dict(os.environ)
    env.pop("OSTREL_DISABLE_CPU_FEATURES", None)
    if disabled:
        env["OSTREL_DISABLE_CPU_FEATURES"] = "AVX2,POPCNT"
    result = subprocess.run([sys.executable, "-c", WORKER, str(size)], capture_output=True, text=True, env=env, check=True)
    return json.loads(result.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small signal; print, write nothing")
    options = parser.parse_args()
    size = 10**4 if options.quick else 10**6
    lines = [
        "# Zero-positive crossings against the library's rule",
        "",
        f"{datetime.date.today()}, {cpu_model()} ({platform.machine()}, {os.cpu_count()} logical CPUs, "
        f"load average {load_average()}), Python {platform.python_version()}, {size:,} random samples, "
        "thread CPU time, best of 3; ratio = zero-positive time / library time (below 1: faster). "
        "Vector twins: every feature the processor has; portable twins: "
        "`OSTREL_DISABLE_CPU_FEATURES=AVX2,POPCNT`, each rule on its own twin.",
        "",
        "| CPU path | dtype | what | library µs | zero-positive µs | ratio |",
        "| --- | --- | --- | ---: | ---: | ---: |",
    ]
    for label, disabled in (("vector twins", False), ("portable twins", True)):
        for dtype, what, library, positive in run(size, disabled):
            lines.append(
                f"| {label} | {dtype} | {what} | {library * 1e6:.0f} | {positive * 1e6:.0f} | {positive / library:.2f} |"
            )
    text = "\n".join(lines) + "\n"
    print(text)
    if not options.quick:
        write_report(HERE / "zero_positive.md", text)


if __name__ == "__main__":
    main()
