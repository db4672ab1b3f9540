"""Analyse a large collection of WAV files with Dask.

    pip install 'ostrel[dask]'
    python examples/dask_batch.py FOLDER_OR_FILE ... [--scheduler processes] [--csv summary.csv]

Each file becomes one row: its rate, length, frame count, energy and
zero-crossing statistics and its energy peaks. Files are spread over a
``dask.bag``; the functions of ``ostrel.fenwy`` pickle by reference (by
module and name), so every scheduler, including worker processes and a
``dask.distributed`` cluster, can run them.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import dask.bag as db

from ostrel import fenwy
from ostrel.analysis import read_audio
from ostrel.cli.errors import InputError

COLUMNS = (
    "file", "sample_rate", "samples", "frames", "energy_mean", "energy_max",
    "zcr_mean", "peaks", "strongest_peak_s", "error",
)


def summarise(path: str, win: int = 2048, hop: int = 512, threshold: float = 0.1) -> dict[str, Any]:
    """One file's row; a file that cannot be read gives a row with only ``error`` set."""
    try:
        audio = read_audio(path)
    except InputError as error:
        return {"file": path, "error": str(error)}
    energy = fenwy.calc_energy(audio.samples, win, hop)
    zcr = fenwy.calc_zc(audio.samples, win, hop)
    peaks = fenwy.find_peaks(energy, threshold)
    # Centred frames: frame m is centred on sample m * hop.
    strongest = peaks[energy[peaks].argmax()] * hop / audio.sample_rate if len(peaks) else None
    return {
        "file": path,
        "sample_rate": audio.sample_rate,
        "samples": len(audio.samples),
        "frames": len(energy),
        "energy_mean": float(energy.mean()) if len(energy) else None,
        "energy_max": float(energy.max()) if len(energy) else None,
        "zcr_mean": float(zcr.mean()) if len(zcr) else None,
        "peaks": len(peaks),
        "strongest_peak_s": strongest,
        "error": None,
    }


def wav_files(inputs: Sequence[str]) -> list[str]:
    """Files as given and every ``.wav`` below each folder."""
    paths: list[str] = []
    for name in inputs:
        path = Path(name)
        if path.is_dir():
            paths += sorted(str(p) for p in path.rglob("*") if p.suffix.lower() == ".wav")
        else:
            paths.append(name)
    return paths


def analyse_collection(
    paths: Sequence[str],
    win: int = 2048,
    hop: int = 512,
    threshold: float = 0.1,
    scheduler: str = "processes",
    files_per_partition: int = 100,
) -> list[dict[str, Any]]:
    """Rows for ``paths``, in their order, computed by Dask."""
    partitions = max(1, -(-len(paths) // files_per_partition))
    bag = db.from_sequence(paths, npartitions=partitions)
    return bag.map(summarise, win=win, hop=hop, threshold=threshold).compute(scheduler=scheduler)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="+", help="WAV files or folders")
    parser.add_argument("--win", type=int, default=2048)
    parser.add_argument("--hop", type=int, default=512)
    parser.add_argument("--threshold", type=float, default=0.1)
    parser.add_argument("--scheduler", default="processes", help="threads, processes or synchronous")
    parser.add_argument("--csv", help="write the rows here instead of stdout")
    options = parser.parse_args(argv)

    rows = analyse_collection(
        wav_files(options.inputs), options.win, options.hop, options.threshold, options.scheduler
    )
    output = open(options.csv, "w", newline="") if options.csv else contextlib.nullcontext(sys.stdout)
    with output as stream:
        writer = csv.DictWriter(stream, COLUMNS)
        writer.writeheader()
        writer.writerows(rows)
    return 1 if any(row["error"] for row in rows) else 0


if __name__ == "__main__":
    raise SystemExit(main())
