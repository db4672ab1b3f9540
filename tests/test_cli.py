"""``python -m ostrel`` end to end, and its ``main(argv)`` in-process."""

import csv
import json
import re
import struct
import subprocess
import sys

import numpy as np
import pytest

from ostrel import fenwy
from ostrel.cli import main
from ostrel.cli.demo import DEMO_RATE, demo_signal
from test_cli_audio import expected_signal, random_ints, write_riff, write_wav


def run_cli(*args, cwd=None, prelude=None):
    """The command in a fresh interpreter; ``prelude`` runs first (e.g. to hide a module)."""
    if prelude is None:
        command = [sys.executable, "-m", "ostrel", *map(str, args)]
    else:
        runner = f"{prelude}; import runpy, sys; sys.argv = ['ostrel'] + sys.argv[1:]; runpy.run_module('ostrel', run_name='__main__')"
        command = [sys.executable, "-c", runner, *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, timeout=60)


def reference(signal, rate, win=2048, hop=512, centered=True, threshold=0.1):
    """What the library itself gives for the signal, and each frame's centre time."""
    energy = fenwy.calc_energy(signal, win, hop, centered)
    zcr = fenwy.calc_zc(signal, win, hop, centered)
    offset = 0 if centered else win // 2
    times = (np.arange(len(energy)) * hop + offset) / rate
    return times, energy, zcr, fenwy.find_peaks(energy, threshold or None)


# Three files as the command meets them: (sample width, channels, rate).
WAV_KINDS = {"16-bit-mono": (2, 1, 8000), "24-bit-stereo": (3, 2, 16000), "8-bit-mono": (1, 1, 11025)}


@pytest.fixture(params=list(WAV_KINDS))
def wav(request, tmp_path):
    """A written WAV file and the float signal it holds."""
    width, channels, rate = WAV_KINDS[request.param]
    # A decaying chirp with noise: several energy peaks of differing height.
    t = np.arange(rate) / rate
    shape = np.sin(2 * np.pi * (50 + 400 * t) * t) * (0.2 + 0.8 * np.abs(np.sin(7 * t)))
    full = (1 << (8 * width - 1)) - 1
    ints = np.round(np.outer(shape, np.linspace(1.0, 0.5, channels)) * full).astype(np.int64)
    ints += random_ints(width, rate, channels, seed=1) // 64
    ints = np.clip(ints, -full - 1, full)
    path = write_wav(tmp_path / f"{request.param}.wav", ints, width, rate)
    return path, expected_signal(ints, width), rate, channels


def test_demo_summary_reports_the_demo_signal():
    result = run_cli()
    assert (result.returncode, result.stderr) == (0, "")
    signal, rate = demo_signal()
    times, energy, zcr, peaks = reference(signal, rate)
    lines = result.stdout.splitlines()
    assert lines[0] == "demo signal (built in)"
    assert lines[1:5] == [
        "  format           synthesised float64, mono",
        f"  duration         {len(signal) / rate:.3f} s ({len(signal)} samples)",
        f"  sample rate      {DEMO_RATE} Hz",
        f"  frames           {len(energy)} (window 2048, hop 512 samples, centred)",
    ]
    assert lines[5] == f"  energy           min {energy.min():.6g}  mean {energy.mean():.6g}  max {energy.max():.6g}"
    assert lines[6] == f"  zero-crossing    min {zcr.min():.6g}  mean {zcr.mean():.6g}  max {zcr.max():.6g}"
    assert lines[7] == f"  zero crossings   {fenwy.num_zerocrossings(signal)} in the whole signal"
    assert lines[8] == "  energy peaks     3 (above 0.1 of the strongest)"
    assert lines[9] == "  strongest peaks  time s     energy"
    listed = [float(line.split()[0]) for line in lines[10:]]
    listed_energy = [float(line.split()[1]) for line in lines[10:]]
    # One peak per tone burst, loudest first; the quiet noise gives none.
    assert len(listed) == 3 and listed_energy == sorted(listed_energy, reverse=True)
    assert [round(t, 3) for t in times[peaks]] == listed
    assert 0.25 < listed[0] < 0.85 and 1.0 < listed[1] < 1.6 and 1.75 < listed[2] < 2.35


def test_demo_shows_silence_tones_and_noise_in_the_rate():
    signal, rate = demo_signal()
    times, _, zcr, _ = reference(signal, rate)

    def rate_at(second):
        return zcr[np.argmin(np.abs(times - second))]

    assert rate_at(0.05) == 0.0 and rate_at(3.8) == 0.0
    assert 0.0 < rate_at(0.55) < rate_at(1.3) < rate_at(2.05) < 0.1 < 0.4 < rate_at(2.9)


def test_summary_of_a_wav_file(wav):
    path, signal, rate, channels = wav
    result = run_cli(path, "--top", "2")
    assert (result.returncode, result.stderr) == (0, "")
    times, energy, _, peaks = reference(signal, rate)
    lines = result.stdout.splitlines()
    width = {1: 8, 2: 16, 3: 24}[WAV_KINDS[path.stem][0]]
    mixed = "mono" if channels == 1 else "2 channels mixed to mono"
    assert lines[:5] == [
        str(path),
        f"  format           {width}-bit PCM WAV, {mixed}",
        f"  duration         1.000 s ({rate} samples)",
        f"  sample rate      {rate} Hz",
        f"  frames           {len(energy)} (window 2048, hop 512 samples, centred)",
    ]
    strongest = peaks[np.argsort(-energy[peaks], kind="stable")][:2]
    assert lines[-2:] == [f"                   {times[f]:8.3f}  {energy[f]:.6g}" for f in strongest]


OPTION_SETS = {
    "defaults": ([], dict()),
    "not-centred": (["--no-center", "--win", "512", "--hop", "128"], dict(win=512, hop=128, centered=False)),
    "odd-window": (["--win", "301", "--hop", "77", "--threshold", "0.5"], dict(win=301, hop=77, threshold=0.5)),
    "every-maximum": (["--threshold", "0"], dict(threshold=0.0)),
}


@pytest.mark.parametrize("options", list(OPTION_SETS))
def test_csv_holds_the_library_results_exactly(wav, tmp_path, options):
    path, signal, rate, _ = wav
    argv, settings = OPTION_SETS[options]
    out = tmp_path / "frames.csv"
    assert main([str(path), "--csv", str(out), *argv]) == 0
    times, energy, zcr, peaks = reference(signal, rate, **settings)

    rows = list(csv.reader(out.open()))
    assert rows[0] == ["time_s", "energy", "zcr", "peak"]
    table = np.array([[float(v) for v in row] for row in rows[1:]])
    np.testing.assert_array_equal(table[:, 0], times)
    np.testing.assert_array_equal(table[:, 1], energy)
    np.testing.assert_array_equal(table[:, 2], zcr)
    assert np.flatnonzero(table[:, 3]).tolist() == peaks.tolist()
    assert {row[3] for row in rows[1:]} <= {"0", "1"}


@pytest.mark.parametrize("options", list(OPTION_SETS))
def test_json_holds_the_library_results_exactly(wav, capsys, options):
    path, signal, rate, channels = wav
    argv, settings = OPTION_SETS[options]
    assert main([str(path), "--json", *argv]) == 0
    document = json.loads(capsys.readouterr().out)
    times, energy, zcr, peaks = reference(signal, rate, **settings)
    win, hop = settings.get("win", 2048), settings.get("hop", 512)

    assert document["frames"] == {"time_s": times.tolist(), "energy": energy.tolist(), "zcr": zcr.tolist()}
    assert document["peaks"] == [{"frame": int(f), "time_s": times[f], "energy": energy[f]} for f in peaks]
    assert document["zero_crossings"] == fenwy.num_zerocrossings(signal)
    assert {k: document[k] for k in ("source", "sample_rate", "channels", "samples", "duration_s")} == {
        "source": str(path), "sample_rate": rate, "channels": channels, "samples": rate, "duration_s": 1.0,
    }
    assert (document["win"], document["hop"], document["centered"]) == (win, hop, settings.get("centered", True))
    assert document["threshold"] == settings.get("threshold", 0.1)


@pytest.mark.parametrize(
    ("rate", "argv", "win", "hop"),
    [
        (8000, ["--win-ms", "32", "--hop-ms", "8"], 256, 64),
        (44100, ["--win-ms", "25", "--hop-ms", "10"], 1102, 441),  # 1102.5 rounds to even
        (11025, ["--win-ms", "100", "--hop", "300"], 1102, 300),
    ],
)
def test_milliseconds_become_samples_at_the_file_rate(tmp_path, capsys, rate, argv, win, hop):
    ints = random_ints(2, rate // 2, 1, seed=4)
    path = write_wav(tmp_path / "x.wav", ints, 2, rate)
    assert main([str(path), "--json", *argv]) == 0
    document = json.loads(capsys.readouterr().out)
    _, energy, _, _ = reference(expected_signal(ints, 2), rate, win, hop)
    assert (document["win"], document["hop"]) == (win, hop)
    assert document["frames"]["energy"] == energy.tolist()


def test_signal_shorter_than_any_frame(tmp_path, capsys):
    path = write_wav(tmp_path / "x.wav", np.array([300, -300, 300]), 2)
    assert main([str(path)]) == 0
    out = capsys.readouterr().out
    assert "  frames           0 (window 2048, hop 512 samples, centred)\n" in out
    assert "  energy           no frames\n" in out
    assert "  energy peaks     0 (above 0.1 of the strongest)\n" in out


def _not_audio(tmp_path):
    path = tmp_path / "notes.wav"
    path.write_text("these are notes, not sound")
    return [path], f"{path}: not a WAV file nor another audio format that soundfile reads"


def _compressed(tmp_path):
    path = write_riff(tmp_path / "alaw.wav", struct.pack("<HHIIHH", 0x0006, 1, 8000, 8000, 1, 8), b"\x55" * 64)
    return [path], f"{path}: compressed WAV (format tag 0x0006) is not supported; convert it to PCM"


def _empty(tmp_path):
    path = tmp_path / "empty.wav"
    path.write_bytes(b"")
    return [path], f"{path}: file is empty"


BAD_INPUTS = {
    "missing-file": lambda tmp: ([tmp / "nope.wav"], f"{tmp / 'nope.wav'}: no such file"),
    "not-wav": _not_audio,
    "compressed-wav": _compressed,
    "empty-file": _empty,
    "empty-folder": lambda tmp: ([tmp], f"{tmp}: folder has no .wav files"),
    "zero-window": lambda tmp: (["--win", "0"], "argument --win: must be positive, got 0 (see --help)"),
    "negative-hop": lambda tmp: (["--hop", "-512"], "argument --hop: must be positive, got -512 (see --help)"),
    "fractional-hop": lambda tmp: (["--hop", "1.5"], "argument --hop: expected a whole number, got '1.5' (see --help)"),
    "zero-window-ms": lambda tmp: (["--win-ms", "0"], "argument --win-ms: must be a positive number, got '0' (see --help)"),
    "threshold-word": lambda tmp: (["--threshold", "high"], "argument --threshold: not a number: 'high' (see --help)"),
    "threshold-nan": lambda tmp: (["--threshold", "nan"], "argument --threshold: not a number: 'nan' (see --help)"),
    "threshold-range": lambda tmp: (["--threshold", "1.5"], "argument --threshold: must be between 0 and 1, got '1.5' (see --help)"),
    "both-windows": lambda tmp: (["--win", "4", "--win-ms", "4"], "argument --win-ms: not allowed with argument --win (see --help)"),
    "unknown-option": lambda tmp: (["--window"], "unrecognized arguments: --window (see --help)"),
    "tiny-window-ms": lambda tmp: (["--win-ms", "0.01"], "a window of 0.01 ms is shorter than one sample at 22050 Hz"),
    "jobs-and-dask": lambda tmp: (["--jobs", "2", "--dask", "tcp://127.0.0.1:9"], "argument --dask: not allowed with argument --jobs/-j (see --help)"),
    "dask-address-without-port": lambda tmp: (
        [tmp / "a.wav", tmp / "b.wav", "--dask", "localhost"],
        "--dask localhost: missing port number in address 'localhost'; expected tcp://host:port",
    ),
    "dask-unreachable": lambda tmp: (
        [tmp / "a.wav", tmp / "b.wav", "--dask", "tcp://127.0.0.1:9"],
        "no Dask scheduler answers at tcp://127.0.0.1:9 within 3 s; start one or check the address",
    ),
}


@pytest.mark.parametrize("case", list(BAD_INPUTS))
def test_bad_input_is_one_line_and_status_2(tmp_path, case):
    argv, message = BAD_INPUTS[case](tmp_path)
    result = run_cli(*argv)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"ostrel: error: {message}\n"


def test_help_documents_every_option_with_its_default():
    result = run_cli("--help")
    assert (result.returncode, result.stderr) == (0, "")
    # Each option's entry runs from its line to the next option's, joined up.
    entries = {}
    for block in re.split(r"\n(?=  -)", result.stdout.split("\noptions:\n")[1].split("\n\n")[0]):
        entries[block.split()[0].rstrip(",")] = " ".join(block.split())
    defaults = {
        "--win": "2048", "--win-ms": "unset", "--hop": "512", "--hop-ms": "unset",
        "--no-center": "centred", "--threshold": "0.1", "--top": "5", "--csv": "no CSV",
        "--json": "off", "--plot": "no plot", "--jobs": "1", "--dask": "no cluster",
    }
    assert set(entries) == set(defaults) | {"-h", "--version"}
    for option, default in defaults.items():
        assert entries[option].endswith(f"(default: {default})"), entries[option]
    assert "PATH audio files or folders to analyse (default: the built-in demo signal)" in " ".join(result.stdout.split())


def _png_size(path):
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


def test_plot_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    path = write_wav(tmp_path / "x.wav", random_ints(2, 4000, 1), 2)
    result = run_cli(path, "--plot", tmp_path / "out.png")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith(f"{path}\n")
    assert _png_size(tmp_path / "out.png") == (1000, 700)


def test_plot_without_matplotlib_says_how_to_install_it(tmp_path):
    path = write_wav(tmp_path / "x.wav", random_ints(2, 4000, 1), 2)
    result = run_cli(path, "--plot", tmp_path / "out.png", prelude="import sys; sys.modules['matplotlib'] = None")
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == "ostrel: error: --plot needs matplotlib: pip install 'ostrel[plot]'\n"
    assert not (tmp_path / "out.png").exists()


@pytest.mark.parametrize(
    ("target", "message"),
    [
        ("out.nosuchformat", "{p}: cannot write plot: Format 'nosuchformat' is not supported"),
        ("missing/out.png", "{p}: cannot write plot: No such file or directory"),
    ],
)
def test_plot_to_a_bad_path(tmp_path, capsys, target, message):
    pytest.importorskip("matplotlib")
    target = tmp_path / target
    assert main(["--plot", str(target)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"ostrel: error: {message.format(p=target)}"), err
    assert err.count("\n") == 1


def test_csv_to_a_missing_folder(tmp_path, capsys):
    target = tmp_path / "missing" / "out.csv"
    assert main(["--csv", str(target)]) == 2
    assert capsys.readouterr().err == f"ostrel: error: {target}: cannot write CSV: No such file or directory\n"


def test_importing_the_package_stays_light():
    code = "import sys, ostrel; print(sorted(m for m in ('dask', 'numpy', 'ostrel.cli', 'ostrel.fenwy') if m in sys.modules))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "[]\n")
