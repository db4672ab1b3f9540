"""What finding the sound segments adds to a run of the command line, as
ratios measured in one run.

    PYTHONPATH=package python benchmarks/segments_speed.py          # 30 minutes, 7 runs each; writes segments_speed.md
    PYTHONPATH=package python benchmarks/segments_speed.py --quick  # 3 minutes, 3 runs each; writes nothing

The benchmark makes the file (48 kHz, stereo, 16-bit: voiced bursts of
random length and level between pauses, over noise), checks that the
segments of the native measurements are those of the numpy ones, sample for
sample, then runs `python -m ostrel FILE`, the same with `--segments`, and
`--segments` with the numpy measurements, alternately, so that all see the
same load on the machine. In the same process it times the segments alone
(`find_segments(FILE)`) against one pass that reads and mixes the file.
Best and median wall time of each; the ratios are of the medians.
"""

import argparse
import datetime
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import wave
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from ostrel.analysis import SegmentSettings, find_segments
from ostrel.analysis import segments as segment_module
from ostrel.analysis.audio import open_decoder, streamed_blocks
from report_file import write_report

HERE = Path(__file__).resolve().parent
RATE = 48000
# --segments with the measurements made by numpy and ostrel.fenwy alone.
NUMPY_MEASURES = (
    "import sys; import ostrel.analysis.segments as s; "
    "s.frame_measures = lambda win, hop, rate: s.NumpyMeasures(win, hop, max(1, round(rate / s.LOW_BAND_HZ))); "
    "from ostrel.cli import main; sys.argv[0] = 'ostrel'; raise SystemExit(main())"
)


def make_recording(path: Path, seconds: int) -> None:
    """Voiced bursts (a pitch and its overtone, with breath noise) of 0.15-1.2 s
    between pauses of 0.05-1.5 s, over noise 30-50 dB down, a minute at a time."""
    rng = np.random.default_rng(7)
    with wave.open(str(path), "wb") as writer:
        writer.setnchannels(2)
        writer.setsampwidth(2)
        writer.setframerate(RATE)
        for start in range(0, seconds * RATE, 60 * RATE):
            count = min(seconds * RATE, start + 60 * RATE) - start
            t = np.arange(start, start + count) / RATE
            envelope = np.zeros(count)
            at = 0
            while at < count:
                end = min(count, at + int(rng.uniform(0.15, 1.2) * RATE))
                envelope[at:end] = rng.uniform(0.05, 0.5) * np.hanning(end - at)
                at = end + int(rng.uniform(0.05, 1.5) * RATE)
            pitch = rng.uniform(100, 250)
            voice = envelope * (np.sin(2 * np.pi * pitch * t) + 0.5 * np.sin(2 * np.pi * 2.3 * pitch * t)
                                + 0.3 * rng.standard_normal(count))
            noise = rng.uniform(0.003, 0.03) * rng.standard_normal((count, 2))
            ints = np.clip(np.round((voice[:, None] * [1.0, 0.8] + noise) * 32767), -32768, 32767)
            writer.writeframes(ints.astype("<i2").tobytes())


def check_exact(path: Path) -> int:
    """The segments of the native measurements against those of numpy's; their count."""
    native = find_segments(path)
    plain = segment_module.frame_measures

    def numpy_measures(win: int, hop: int, sample_rate: int) -> Any:
        return segment_module.NumpyMeasures(win, hop, max(1, round(sample_rate / segment_module.LOW_BAND_HZ)))

    segment_module.frame_measures = numpy_measures
    try:
        reference = find_segments(path)
    finally:
        segment_module.frame_measures = plain
    if native != reference:
        sys.exit("the native measurements give other segments than numpy's")
    return len(native)


def timed(command: list[str], env: dict[str, str]) -> float:
    start = time.perf_counter()
    finished = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    elapsed = time.perf_counter() - start
    if finished.returncode != 0:
        sys.exit(f"{' '.join(command)} failed with status {finished.returncode}")
    return elapsed


def read_once(path: Path) -> None:
    decoder = open_decoder(path)
    try:
        for _ in streamed_blocks(decoder, "mix"):
            pass
    finally:
        decoder.close()


def best_of(runs: int, work: Callable[[], object]) -> list[float]:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="3 minutes, 3 runs each, nothing written")
    options = parser.parse_args()
    seconds, runs = (180, 3) if options.quick else (1800, 7)

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "long.wav"
        make_recording(path, seconds)
        count = check_exact(path)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        commands = {
            "python -m ostrel FILE": [sys.executable, "-m", "ostrel", str(path)],
            "python -m ostrel FILE --segments": [sys.executable, "-m", "ostrel", str(path), "--segments"],
            "the same, numpy's measurements": [sys.executable, "-c", NUMPY_MEASURES, str(path), "--segments"],
        }
        for command in commands.values():
            timed(command, env)
        measured: dict[str, list[float]] = {name: [] for name in commands}
        for _ in range(runs):
            for name, command in commands.items():
                measured[name].append(timed(command, env))
        alone = {
            "one pass reading and mixing the file": best_of(runs, lambda: read_once(path)),
            "find_segments(FILE)": best_of(runs, lambda: find_segments(path, settings=SegmentSettings())),
        }
        load = os.getloadavg()[0]

    lines = [
        "# Segments: what `--segments` adds to a run",
        "",
        f"{datetime.date.today()}, {platform.python_implementation()} {platform.python_version()}, "
        f"numpy {np.__version__}, {os.cpu_count()} cores (load average {load:.1f} at the end); "
        f"{seconds // 60} minutes of 48 kHz stereo 16-bit WAV, {count} segments, page cache warm, "
        f"{runs} alternated runs.",
        "",
        "| what | best s | median s | runs s |",
        "| --- | ---: | ---: | --- |",
    ]
    for name, times in (*measured.items(), *alone.items()):
        shown = ", ".join(f"{t:.3f}" for t in times)
        lines.append(f"| {name} | {min(times):.3f} | {statistics.median(times):.3f} | {shown} |")
    medians = {name: statistics.median(times) for name, times in (*measured.items(), *alone.items())}
    names = list(medians)
    lines += [
        "",
        f"--segments / plain run: **{medians[names[1]] / medians[names[0]]:.2f}** "
        f"(numpy's measurements: {medians[names[2]] / medians[names[0]]:.2f}); "
        f"segments alone / one read pass: **{medians[names[4]] / medians[names[3]]:.2f}**.",
    ]
    print("\n".join(lines))
    if not options.quick:
        write_report(HERE / "segments_speed.md", "\n".join(lines))


if __name__ == "__main__":
    main()
