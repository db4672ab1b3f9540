"""examples/dask_batch.py, run as a user would, over WAV files written here."""

import csv
import subprocess
import sys
from pathlib import Path

import numpy as np

from test_cli import reference
from test_cli_audio import expected_signal, random_ints, write_wav

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "dask_batch.py"


def test_dask_example_over_a_folder_in_worker_processes(tmp_path):
    root = tmp_path / "collection"
    (root / "deeper").mkdir(parents=True)
    signals = {}
    for name, width, channels, frames in [("one.wav", 2, 1, 5000), ("two.wav", 3, 2, 7000), ("deeper/three.wav", 1, 1, 4000)]:
        ints = random_ints(width, frames, channels, seed=frames) // 3
        signals[str(write_wav(root / name, ints, width, rate=8000))] = expected_signal(ints, width)
    (root / "zz-broken.wav").write_bytes(b"")
    out = tmp_path / "rows.csv"

    result = subprocess.run(
        [sys.executable, str(EXAMPLE), str(root), "--scheduler", "processes", "--csv", str(out),
         "--win", "1024", "--hop", "256", "--threshold", "0.2"],
        capture_output=True, text=True, timeout=120,
    )
    # The broken file is a row with an error, which makes the status 1.
    assert (result.returncode, result.stdout) == (1, "")

    rows = list(csv.DictReader(out.open()))
    assert [row["file"] for row in rows] == [
        str(root / "deeper" / "three.wav"), str(root / "one.wav"), str(root / "two.wav"), str(root / "zz-broken.wav"),
    ]
    for row in rows[:3]:
        signal = signals[row["file"]]
        times, energy, zcr, peaks = reference(signal, 8000, 1024, 256, threshold=0.2)
        assert {key: row[key] for key in ("sample_rate", "samples", "frames", "peaks", "error")} == {
            "sample_rate": "8000", "samples": str(len(signal)), "frames": str(len(energy)),
            "peaks": str(len(peaks)), "error": "",
        }
        assert float(row["energy_mean"]) == energy.mean()
        assert float(row["energy_max"]) == energy.max()
        assert float(row["zcr_mean"]) == zcr.mean()
        assert float(row["strongest_peak_s"]) == times[peaks[np.argmax(energy[peaks])]]
    assert rows[3]["error"] == f"{root / 'zz-broken.wav'}: file is empty"
    assert rows[3]["frames"] == ""
