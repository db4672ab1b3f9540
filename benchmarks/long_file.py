"""One long recording through the command line against `sox FILE -n stats`,
as a ratio measured in one run.

    PYTHONPATH=package python benchmarks/long_file.py          # 30 minutes, 5 runs each; writes long_file.md
    PYTHONPATH=package python benchmarks/long_file.py --quick  # 3 minutes, 3 runs each; writes nothing

The benchmark makes the file (48 kHz, stereo, 16-bit: two tones in noise),
checks that the streamed analysis gives the frames of one library call on the
whole mixed-down signal, bit for bit, and then runs `sox FILE -n stats` and
`python -m ostrel FILE` alternately, so that both see the same load on the
machine. It reports the median wall time of each, their ratio and each one's
peak memory (resident set). Both read the file from the page cache: one
unmeasured run of each comes first.
"""

import argparse
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import wave
from pathlib import Path

import numpy as np

from ostrel import fenwy
from ostrel.analysis import Settings, analyse_file, read_audio
from report_file import write_report

HERE = Path(__file__).resolve().parent
GNU_TIME = "/usr/bin/time"
RATE = 48000


def make_recording(path: Path, seconds: int) -> None:
    """Tones of 440 Hz and 1 kHz with noise, left and right, written a minute at a time."""
    rng = np.random.default_rng(1)
    with wave.open(str(path), "wb") as writer:
        writer.setnchannels(2)
        writer.setsampwidth(2)
        writer.setframerate(RATE)
        for start in range(0, seconds * RATE, 60 * RATE):
            t = np.arange(start, min(seconds * RATE, start + 60 * RATE)) / RATE
            left = 0.3 * np.sin(2 * np.pi * 440 * t) + 0.05 * rng.standard_normal(len(t))
            right = 0.2 * np.sin(2 * np.pi * 1000 * t) + 0.05 * rng.standard_normal(len(t))
            ints = np.clip(np.round(np.stack([left, right], axis=1) * 32767), -32768, 32767)
            writer.writeframes(ints.astype("<i2").tobytes())


def check_exact(path: Path) -> None:
    """The streamed analysis against one call of each function on the whole signal."""
    settings = Settings()
    streamed = analyse_file(path, settings)
    signal = read_audio(path).samples
    whole = (
        fenwy.calc_energy(signal, settings.win, settings.hop, True),
        fenwy.calc_zc(signal, settings.win, settings.hop, True),
        fenwy.num_zerocrossings(signal),
    )
    if (streamed.energy.tobytes(), streamed.zcr.tobytes(), streamed.zero_crossings) != (
        whole[0].tobytes(), whole[1].tobytes(), whole[2],
    ):
        sys.exit("the streamed analysis differs from one call on the whole signal")


def timed(command: list[str], env: dict[str, str]) -> tuple[float, int]:
    """Wall seconds and peak resident kilobytes of one run of ``command``.

    GNU time reports the peak: a child of this process would start from this
    process's own peak, which the exactness check has made large.
    """
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        finished = subprocess.run(
            [GNU_TIME, "-f", "%M", "-o", report.name, *command],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
        )
        elapsed = time.perf_counter() - start
        if finished.returncode != 0:
            sys.exit(f"{' '.join(command)} failed with status {finished.returncode}")
        return elapsed, int(report.read().split()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="3 minutes, 3 runs each, nothing written")
    options = parser.parse_args()
    if shutil.which("sox") is None:
        sys.exit("sox is needed to compare with: apt-get install sox")
    if not os.access(GNU_TIME, os.X_OK):
        sys.exit("GNU time measures the peak memory: apt-get install time")
    seconds, runs = (180, 3) if options.quick else (1800, 5)

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "long.wav"
        make_recording(path, seconds)
        check_exact(path)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        commands = {
            "sox": ["sox", str(path), "-n", "stats"],
            "ostrel": [sys.executable, "-m", "ostrel", str(path)],
        }
        for command in commands.values():
            timed(command, env)
        measured: dict[str, list[tuple[float, int]]] = {name: [] for name in commands}
        for _ in range(runs):
            for name, command in commands.items():
                measured[name].append(timed(command, env))
        size = path.stat().st_size

    medians = {name: statistics.median(t for t, _ in runs_of) for name, runs_of in measured.items()}
    peaks = {name: max(kb for _, kb in runs_of) / 1024 for name, runs_of in measured.items()}
    ratio = medians["ostrel"] / medians["sox"]
    lines = [
        f"# One long recording: `python -m ostrel FILE` against `sox FILE -n stats`",
        "",
        f"{datetime.date.today()}, {platform.python_implementation()} {platform.python_version()}, "
        f"numpy {np.__version__}, {os.cpu_count()} cores; {seconds // 60} minutes of 48 kHz stereo "
        f"16-bit WAV ({size / 1e6:.0f} MB), page cache warm, median of {runs} alternated runs.",
        "",
        "| command | median s | runs s | peak memory MB |",
        "| --- | ---: | --- | ---: |",
    ]
    for name, runs_of in measured.items():
        times = ", ".join(f"{t:.3f}" for t, _ in runs_of)
        lines.append(f"| {' '.join(commands_shown(name))} | {medians[name]:.3f} | {times} | {peaks[name]:.0f} |")
    lines += ["", f"ostrel / sox: **{ratio:.2f}** of the time."]
    print("\n".join(lines))
    if not options.quick:
        write_report(HERE / "long_file.md", "\n".join(lines))


def commands_shown(name: str) -> list[str]:
    return ["sox", "FILE", "-n", "stats"] if name == "sox" else ["python", "-m", "ostrel", "FILE"]


if __name__ == "__main__":
    main()
