"""What going through Dask costs, as ratios measured in one run:

- ostrel.dask on a chunked array against ostrel.fenwy on the same array in
  memory (the results are checked to be identical first);
- the command line's batch dispatch over many small files: here, in worker
  processes (--jobs) started by each start method, and on a local Dask
  cluster (--dask), per file and against --jobs 2 (files go to the cluster in
  batches, so that its cost per task is not paid per file).

    python benchmarks/dask_paths.py            # full run, writes dask_paths.md
    python benchmarks/dask_paths.py --quick    # smoke run, writes nothing
"""

import argparse
import datetime
import multiprocessing
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import wave
from pathlib import Path

import dask
import dask.array as da
import numpy as np
from distributed import LocalCluster

import ostrel.dask as odask
from ostrel import fenwy
from ostrel.analysis import Settings
from ostrel.cli.batch import analyse_files
from ostrel.cli.pool import START_METHOD_VARIABLE, start_method
from report_file import write_report

HERE = Path(__file__).resolve().parent
FRAME_WISE = [("calc_energy", 2048, 512), ("calc_energy", 64, 16), ("calc_zc", 2048, 512)]


def best_of(repeats, call):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return min(times)


def same(a, b):
    return type(a) is type(b) and (not isinstance(a, np.ndarray) or (a.dtype == b.dtype and a.tobytes() == b.tobytes()))


def array_rows(length, chunk, repeats):
    signal = np.random.default_rng(0).standard_normal(length)
    x = da.from_array(signal, chunks=chunk)
    cases = [(f"{name} win {win} hop {hop}", getattr(fenwy, name), getattr(odask, name), (win, hop)) for name, win, hop in FRAME_WISE]
    cases += [("num_zerocrossings", fenwy.num_zerocrossings, odask.num_zerocrossings, ()),
              ("find_peaks thresh 0.5", fenwy.find_peaks, odask.find_peaks, (0.5,))]
    rows = []
    for label, in_memory, lazy, args in cases:
        expected = in_memory(signal, *args)
        for scheduler in ("sync", "threads"):
            if not same(lazy(x, *args).compute(scheduler=scheduler), expected):
                raise SystemExit(f"{label}: ostrel.dask differs from ostrel.fenwy ({scheduler})")
        plain = best_of(repeats, lambda: in_memory(signal, *args))
        sync = best_of(repeats, lambda: lazy(x, *args).compute(scheduler="sync"))
        threads = best_of(repeats, lambda: lazy(x, *args).compute(scheduler="threads"))
        rows.append((label, plain, sync / plain, threads / plain))
    return rows


def write_files(folder, count, seconds):
    rng = np.random.default_rng(1)
    paths = []
    for index in range(count):
        path = folder / f"{index:05d}.wav"
        with wave.open(str(path), "wb") as writer:
            writer.setnchannels(1)
            writer.setsampwidth(2)
            writer.setframerate(8000)
            writer.writeframes((rng.standard_normal(8000 * seconds) * 3000).astype("<i2").tobytes())
        paths.append(path)
    return paths


def command_by_start_method(paths, rounds=3):
    """The whole command with --jobs 2 under each start method (a script's
    workers would import the script again under spawn and forkserver: only
    the command shows what they cost), alternated, median of ``rounds``."""
    taken = {method: [] for method in ["here", *multiprocessing.get_all_start_methods()]}
    for _ in range(rounds):
        for method, times in taken.items():
            environment = {**os.environ, START_METHOD_VARIABLE: method if method != "here" else ""}
            jobs = ["--jobs", "2"] if method != "here" else []
            started = time.perf_counter()
            subprocess.run([sys.executable, "-m", "ostrel", *map(str, paths), *jobs], env=environment, stdout=subprocess.DEVNULL, check=True)
            times.append(time.perf_counter() - started)
    default = start_method()
    return [(method + (" (the default)" if method == default else ""), statistics.median(times)) for method, times in taken.items()]


def dispatch_rows(count, seconds):
    settings = Settings(win=256, hop=64)
    with tempfile.TemporaryDirectory() as folder:
        paths = write_files(Path(folder), count, seconds)
        serial = best_of(1, lambda: list(analyse_files(paths, settings)))
        # Workers started otherwise would import this script, and dask with it,
        # again: the command's own start is timed by command_by_start_method.
        os.environ[START_METHOD_VARIABLE] = "fork"
        jobs = best_of(1, lambda: list(analyse_files(paths, settings, jobs=2)))
        del os.environ[START_METHOD_VARIABLE]
        by_method = command_by_start_method(paths)
        with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None) as cluster:
            # The first run warms the workers (imports); the second is timed.
            list(analyse_files(paths[:4], settings, dask_address=cluster.scheduler_address))
            on_cluster = best_of(1, lambda: list(analyse_files(paths, settings, dask_address=cluster.scheduler_address)))
    return [("here", serial), ("--jobs 2, fork", jobs), ("--dask, 2 local workers", on_cluster)], by_method


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    options = parser.parse_args()
    length, chunk, repeats = (10**5, 10**4, 1) if options.quick else (10**7, 10**6, 3)
    files, seconds = (8, 1) if options.quick else (1000, 1)

    arrays = array_rows(length, chunk, repeats)
    dispatch, by_method = dispatch_rows(files, seconds)
    lines = [
        f"# Dask paths ({datetime.date.today()}, Python {platform.python_version()}, numpy {np.__version__}, "
        f"dask {dask.__version__}, {os.cpu_count()} CPUs)",
        "",
        f"ostrel.dask on {length:.0e} float64 samples in chunks of {chunk:.0e}, against ostrel.fenwy on the",
        "whole array in memory (identical results checked first). Time of fenwy; ratios are ostrel.dask / fenwy.",
        "",
        "| function | fenwy s | dask sync / fenwy | dask threads / fenwy |",
        "| --- | ---: | ---: | ---: |",
    ]
    lines += [f"| {label} | {plain:.4f} | {sync:.2f} | {threads:.2f} |" for label, plain, sync, threads in arrays]
    lines += [
        "",
        f"The batch dispatch over {files} WAV files of {seconds} s at 8 kHz (window 256, hop 64), per file.",
        "",
        "| where | total s | ms per file | / --jobs 2 |",
        "| --- | ---: | ---: | ---: |",
    ]
    jobs = dict(dispatch)["--jobs 2, fork"]
    lines += [f"| {label} | {total:.2f} | {1000 * total / files:.1f} | {total / jobs:.2f} |" for label, total in dispatch]
    here = by_method[0][1]
    lines += [
        "",
        f"`python -m ostrel` over the same files, interpreter start included: here, and with --jobs 2 under each",
        "start method of worker processes (OSTREL_START_METHOD); median of 3 alternated runs.",
        "",
        "| start method | total s | / here |",
        "| --- | ---: | ---: |",
    ]
    lines += [f"| {label} | {total:.2f} | {total / here:.2f} |" for label, total in by_method]
    text = "\n".join(lines) + "\n"
    print(text)
    if not options.quick:
        write_report(HERE / "dask_paths.md", text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
