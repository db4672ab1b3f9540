"""examples/dask_batch.py, run as a user would, over WAV files written here."""

import json
import subprocess
import sys
from pathlib import Path

from test_cli import reference
from test_cli_audio import expected_signal, random_ints, write_wav

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "dask_batch.py"


def test_the_guide_shows_the_example_as_it_runs():
    guide = (ROOT / "docs" / "guide" / "dask.md").read_text()
    code = EXAMPLE.read_text()
    body = code[code.index("import json"):]
    assert f"```python\n{body}```" in guide


def test_dask_example_over_files_in_worker_processes(tmp_path):
    signals = {}
    for name, width, channels, frames in [("one.wav", 2, 1, 5000), ("two.wav", 3, 2, 7000), ("three.wav", 1, 1, 4000)]:
        ints = random_ints(width, frames, channels, seed=frames) // 3
        signals[str(write_wav(tmp_path / name, ints, width, rate=8000))] = expected_signal(ints, width)
    broken = tmp_path / "zz-broken.wav"
    broken.write_bytes(b"")
    paths = [*signals, str(broken)]

    result = subprocess.run([sys.executable, str(EXAMPLE), *paths], capture_output=True, text=True, timeout=120)

    # The broken file is a row with an error, which makes the status 1.
    assert (result.returncode, result.stderr) == (1, "")
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    assert [row["file"] for row in rows] == paths
    for row in rows[:3]:
        signal = signals[row["file"]]
        times, energy, _, peaks = reference(signal, 8000)
        strongest = times[peaks[energy[peaks].argmax()]] if len(peaks) else None
        assert row == {
            "file": row["file"], "frames": len(energy), "zero_crossings": int(((signal[:-1] < 0) != (signal[1:] < 0)).sum()),
            "peaks": len(peaks), "strongest_peak_s": strongest,
        }
    assert rows[3] == {"file": str(broken), "error": f"{broken}: file is empty"}
