"""``python -m ostrel`` end to end, and its ``main(argv)`` in-process."""

import contextlib
import csv
import io
import json
import os
import platform
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from pathlib import Path

from ostrel import fenwy
from ostrel.analysis import Settings
from ostrel.cli import main
from ostrel.cli.demo import DEMO_RATE, demo_signal
from test_analysis import zero_positive_reference
from test_cli_audio import MONO_16_BIT, expected_signal, random_ints, with_sizes, write_riff, write_wav


def run_cli(*args, cwd=None, prelude=None, env=None):
    """The command in a fresh interpreter; ``prelude`` runs first (e.g. to hide a module)."""
    if prelude is None:
        command = [sys.executable, "-m", "ostrel", *map(str, args)]
    else:
        runner = f"{prelude}; import runpy, sys; sys.argv = ['ostrel'] + sys.argv[1:]; runpy.run_module('ostrel', run_name='__main__')"
        command = [sys.executable, "-c", runner, *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=env, timeout=60)


def reference(signal, rate, win=2048, hop=512, centered=True, threshold=0.1, zero_positive=True):
    """What the library itself gives for the signal, and each frame's centre time; the
    zero-crossing rate by the command line's rule, a zero counting as positive unless told otherwise."""
    energy = fenwy.calc_energy(signal, win, hop, centered)
    zcr = zero_positive_reference(signal, win, hop, centered) if zero_positive else fenwy.calc_zc(signal, win, hop, centered)
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


def crossings(signal, zero_positive=True):
    """Zero crossings of the whole signal by either rule."""
    if zero_positive:
        return int(np.count_nonzero((signal[:-1] < 0) != (signal[1:] < 0)))
    return int(fenwy.num_zerocrossings(signal))


@pytest.mark.parametrize(
    ("argv", "zero_positive", "rule"),
    [
        ([], True, "a zero counting as positive"),
        (["--zero-positive"], True, "a zero counting as positive"),  # the default, still accepted
        (["--zero-breaks"], False, "a zero breaking a crossing"),
    ],
    ids=["default", "zero-positive", "zero-breaks"],
)
def test_demo_summary_reports_the_demo_signal(argv, zero_positive, rule):
    result = run_cli(*argv)
    assert (result.returncode, result.stderr) == (0, "")
    signal, rate = demo_signal()
    times, energy, zcr, peaks = reference(signal, rate, zero_positive=zero_positive)
    lines = result.stdout.splitlines()
    assert lines[0] == "demo signal (built in)"
    assert lines[1:5] == [
        "  format           synthesised float64, mono",
        f"  duration         {len(signal) / rate:.3f} s ({len(signal)} samples)",
        f"  sample rate      {DEMO_RATE} Hz",
        f"  frames           {len(energy)} (window 2048, hop 512 samples, centred)",
    ]
    db = 10 * np.log10(np.array([energy.mean(), energy.max()]))
    hz = zcr * rate
    assert lines[5:12] == [
        f"  energy           min {energy.min():.6g}  mean {energy.mean():.6g}  max {energy.max():.6g}",
        f"  energy dBFS      min -inf  dB of mean {db[0]:.4g}  max {db[1]:.4g}",
        f"  zero-crossing    min {zcr.min():.6g}  mean {zcr.mean():.6g}  max {zcr.max():.6g}",
        f"  zero crossings/s min {hz.min():.6g}  mean {hz.mean():.6g}  max {hz.max():.6g}",
        f"  zero crossings   {crossings(signal, zero_positive)} in the whole signal, {rule}",
        "  energy peaks     3 (above 0.1 of the strongest)",
        "  strongest peaks  time s     energy     dBFS",
    ]
    listed = [float(line.split()[0]) for line in lines[12:]]
    listed_energy = [float(line.split()[1]) for line in lines[12:]]
    strongest = peaks[np.argsort(-energy[peaks], kind="stable")]
    assert [line.split()[2] for line in lines[12:]] == [f"{10 * np.log10(e):.4g}" for e in energy[strongest]]
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
    assert lines[-2:] == [
        f"                   {times[f]:8.3f}  {energy[f]:<10.6g}  {10 * np.log10(energy[f]):.4g}" for f in strongest
    ]


OPTION_SETS = {
    "defaults": ([], dict()),
    "not-centred": (["--no-center", "--win", "512", "--hop", "128"], dict(win=512, hop=128, centered=False)),
    "odd-window": (["--win", "301", "--hop", "77", "--threshold", "0.5"], dict(win=301, hop=77, threshold=0.5)),
    "every-maximum": (["--threshold", "0"], dict(threshold=0.0)),
    "threshold-one": (["--threshold", "1"], dict(threshold=1.0)),
    "zero-breaks": (["--zero-breaks"], dict(zero_positive=False)),
}


@pytest.mark.parametrize("options", list(OPTION_SETS))
def test_csv_holds_the_library_results_exactly(wav, tmp_path, options):
    path, signal, rate, _ = wav
    argv, settings = OPTION_SETS[options]
    out = tmp_path / "frames.csv"
    assert main([str(path), "--csv", str(out), *argv]) == 0
    times, energy, zcr, peaks = reference(signal, rate, **settings)

    rows = list(csv.reader(out.open()))
    assert rows[0] == ["time_s", "energy", "energy_db", "zcr", "zcr_hz", "peak", "zero_positive"]
    assert {row[6] for row in rows[1:]} == {str(int(settings.get("zero_positive", True)))}
    table = np.array([[float(v) for v in row] for row in rows[1:]])
    np.testing.assert_array_equal(table[:, 0], times)
    np.testing.assert_array_equal(table[:, 1], energy)
    np.testing.assert_array_equal(table[:, 2], 10 * np.log10(energy))
    np.testing.assert_array_equal(table[:, 3], zcr)
    np.testing.assert_array_equal(table[:, 4], zcr * rate)
    assert np.flatnonzero(table[:, 5]).tolist() == peaks.tolist()
    assert {row[5] for row in rows[1:]} <= {"0", "1"}


@pytest.mark.parametrize("options", list(OPTION_SETS))
def test_json_holds_the_library_results_exactly(wav, capsys, options):
    path, signal, rate, channels = wav
    argv, settings = OPTION_SETS[options]
    assert main([str(path), "--json", *argv]) == 0
    document = json.loads(capsys.readouterr().out)
    times, energy, zcr, peaks = reference(signal, rate, **settings)
    win, hop = settings.get("win", 2048), settings.get("hop", 512)

    db = 10 * np.log10(energy)
    assert document["frames"] == {
        "time_s": times.tolist(), "energy": energy.tolist(), "energy_db": db.tolist(),
        "zcr": zcr.tolist(), "zcr_hz": (zcr * rate).tolist(),
    }
    assert document["peaks"] == [{"frame": int(f), "time_s": times[f], "energy": energy[f], "energy_db": db[f]} for f in peaks]
    assert (document["channel"], document["error"], document["warnings"]) == (None, None, [])
    assert document["zero_crossings"] == crossings(signal, settings.get("zero_positive", True))
    assert document["zero_positive"] == settings.get("zero_positive", True)
    assert {k: document[k] for k in ("source", "sample_rate", "channels", "samples", "duration_s")} == {
        "source": str(path), "sample_rate": rate, "channels": channels, "samples": rate, "duration_s": 1.0,
    }
    assert (document["win"], document["hop"], document["centered"]) == (win, hop, settings.get("centered", True))
    assert document["threshold"] == settings.get("threshold", 0.1)


# 3 dB keeps some of the peaks; 0 dB, the least rise there is, keeps them all.
@pytest.mark.parametrize(("db", "kept_share"), [(3, "some"), (0, "all")])
def test_zero_positive_and_prominence_options_reach_every_number(wav, capsys, db, kept_share):
    signal_module = pytest.importorskip("scipy.signal")

    path, signal, rate, _ = wav
    assert main([str(path), "--json", "--zero-positive", "--min-prominence-db", str(db), "--win", "256", "--hop", "64"]) == 0
    document = json.loads(capsys.readouterr().out)
    _, energy, _, peaks = reference(signal, rate, 256, 64)
    zcr = zero_positive_reference(signal, 256, 64, True)
    prominent = peaks[signal_module.peak_prominences(10 * np.log10(energy), peaks)[0] >= db]
    assert (document["zero_positive"], document["min_prominence_db"]) == (True, float(db))
    assert document["frames"]["zcr"] == zcr.tolist()
    assert document["zero_crossings"] == np.count_nonzero((signal[:-1] < 0) != (signal[1:] < 0))
    assert [peak["frame"] for peak in document["peaks"]] == prominent.tolist()
    assert (0 < len(prominent) < len(peaks)) if kept_share == "some" else len(prominent) == len(peaks) > 0


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


def _compressed_without_soundfile(tmp_path):
    path = write_riff(tmp_path / "alaw.wav", struct.pack("<HHIIHH", 0x0006, 1, 8000, 8000, 1, 8), b"\x55" * 64)
    return [path], f"{path}: reading A-law WAV (format tag 0x0006) files needs soundfile: pip install 'ostrel[audio]'"


def _empty(tmp_path):
    path = tmp_path / "empty.wav"
    path.write_bytes(b"")
    return [path], f"{path}: file is empty"


def _folder_without_audio(tmp_path):
    (tmp_path / "notes.txt").write_text("no sound")
    return [tmp_path], f"{tmp_path}: folder has no audio files that ostrel reads"


NO_SOUNDFILE = "import sys; sys.modules['soundfile'] = None"
DEMO = "demo signal (built in)"
TOO_BIG = 2**63

def plot_formats():
    from matplotlib.backend_bases import FigureCanvasBase

    return FigureCanvasBase.get_supported_filetypes()


# Every way a run fails: (arguments and message, exit status, code run first).
def listener(reply):
    """The address of a server on 127.0.0.1 that is no Dask scheduler: it
    accepts, sends ``reply`` and then nothing, until the tests end."""
    server = socket.create_server(("127.0.0.1", 0))

    def serve():
        while True:
            connection, _ = server.accept()
            with contextlib.suppress(OSError):
                connection.sendall(reply)
            LISTENER_CONNECTIONS.append(connection)

    threading.Thread(target=serve, daemon=True).start()
    return f"tcp://127.0.0.1:{server.getsockname()[1]}"


# Held open: a closed connection would tell the command at once.
LISTENER_CONNECTIONS = []


FAILURES = {
    "missing-file": (lambda tmp: ([tmp / "nope.wav"], f"{tmp / 'nope.wav'}: no such file"), 2, None),
    "not-wav": (_not_audio, 2, None),
    "compressed-wav-without-soundfile": (_compressed_without_soundfile, 2, NO_SOUNDFILE),
    "empty-file": (_empty, 2, None),
    "empty-folder": (_folder_without_audio, 2, None),
    "folder-without-wav": (
        lambda tmp: ([tmp], f"{tmp}: folder has no .wav files (other formats need soundfile: pip install 'ostrel[audio]')"),
        2, NO_SOUNDFILE,
    ),
    "fractional-hop": (
        lambda tmp: (["--hop", "1.5"], "argument --hop: expected a whole number, got '1.5' (see --help)"), 2, None,
    ),
    "huge-window-ms": (
        lambda tmp: (["--win-ms", "1e18"], f"{DEMO}: a window of 1e+18 ms is too long at 22050 Hz (at most {TOO_BIG - 1} samples)"),
        2, None,
    ),
    "overflowing-window-ms": (
        lambda tmp: (["--hop-ms", "1e306"], f"{DEMO}: a hop of 1e+306 ms is too long at 22050 Hz (at most {TOO_BIG - 1} samples)"),
        2, None,
    ),
    "window-beyond-the-native-pass": (
        lambda tmp: (["--win", 2**31, "--hop", 2**31],
                     f"{DEMO}: a window or hop beyond 2147483647 samples is more than ostrel analyses; use a shorter one"),
        2, None,
    ),
    "threshold-word": (lambda tmp: (["--threshold", "high"], "argument --threshold: not a number: 'high' (see --help)"), 2, None),
    "both-windows": (
        lambda tmp: (["--win", "4", "--win-ms", "4"], "argument --win-ms: not allowed with argument --win (see --help)"), 2, None,
    ),
    "both-zero-rules": (
        lambda tmp: (["--zero-positive", "--zero-breaks"],
                     "argument --zero-breaks: not allowed with argument --zero-positive (see --help)"),
        2, None,
    ),
    "unknown-option": (lambda tmp: (["--window"], "unrecognized arguments: --window (see --help)"), 2, None),
    "tiny-window-ms": (
        lambda tmp: (["--win-ms", "0.01"], f"{DEMO}: a window of 0.01 ms is shorter than one sample at 22050 Hz"), 2, None,
    ),
    "stdin-to-workers": (
        lambda tmp: (["-", write_wav(tmp / "x.wav", random_ints(2, 100, 1), 2), "--jobs", "2"],
                     "'-' (stdin) cannot be read by worker processes; leave out --jobs and --dask or give a file"),
        2, None,
    ),
    "segments-and-json-on-stdout": (
        lambda tmp: (["--json", "--segments-csv", "-"], "--json and --segments-csv - both write to stdout; give --segments-csv a file name"),
        2, None,
    ),
    "segments-and-csv-on-stdout": (
        lambda tmp: (["--csv", "-", "--segments-csv", "-"], "--csv - and --segments-csv - both write to stdout; give --segments-csv a file name"),
        2, None,
    ),
    "sound-of-stdin": (
        lambda tmp: (["-", "--sound-wav", tmp / "s.wav"], "--sound-wav reads a file twice, which stdin cannot be; give a file"), 2, None,
    ),
    "two-outputs-on-stdout": (
        lambda tmp: (["--json", "--csv", "-"], "--json and --csv - both write to stdout; give --csv a file name"), 2, None,
    ),
    # Outputs are checked before the first file is read: reading would run out of memory here.
    **{
        f"unwritable-{name}-before-reading": (
            lambda tmp, argv=argv, message=message: ([write_wav(tmp / "a.wav", random_ints(2, 4000, 1), 2), *argv(tmp)], message(tmp)),
            2, "import ostrel.analysis.frames as f; f.FrameStream.feed = lambda *a: (_ for _ in ()).throw(MemoryError())",
        )
        for name, argv, message in [
            ("plot", lambda tmp: ["--plot", tmp / "missing" / "x.png"],
             lambda tmp: f"{tmp / 'missing' / 'x.png'}: cannot write plot: No such file or directory"),
            ("plot-format", lambda tmp: ["--plot", tmp / "x.nosuch"],
             lambda tmp: f"{tmp / 'x.nosuch'}: cannot write plot: Format 'nosuch' is not supported (supported formats: "
             f"{', '.join(sorted(plot_formats()))})"),
            ("plot-folder-under-a-file", lambda tmp: ["--plot", tmp / "a.wav" / "plots"],
             lambda tmp: f"{tmp / 'a.wav' / 'plots'}: cannot make the folder for --plot: Not a directory"),
            ("csv", lambda tmp: ["--csv", tmp / "missing" / "x.csv"],
             lambda tmp: f"{tmp / 'missing' / 'x.csv'}: cannot write CSV: No such file or directory"),
            ("csv-folder", lambda tmp: ["--csv", tmp], lambda tmp: f"{tmp}: cannot write CSV: Is a directory"),
            ("csv-under-a-file", lambda tmp: ["--csv", tmp / "a.wav" / "x.csv"],
             lambda tmp: f"{tmp / 'a.wav' / 'x.csv'}: cannot write CSV: Not a directory"),
            ("segments-csv", lambda tmp: ["--segments-csv", tmp / "missing" / "s.csv"],
             lambda tmp: f"{tmp / 'missing' / 's.csv'}: cannot write segments CSV: No such file or directory"),
            ("sound", lambda tmp: ["--sound-wav", tmp / "missing" / "s.wav"],
             lambda tmp: f"{tmp / 'missing' / 's.wav'}: cannot write sound: No such file or directory"),
            ("labels", lambda tmp: ["--labels", tmp / "missing" / "a.txt"],
             lambda tmp: f"{tmp / 'missing' / 'a.txt'}: cannot write labels: No such file or directory"),
            ("split-under-a-file", lambda tmp: ["--split", tmp / "a.wav" / "parts"],
             lambda tmp: f"{tmp / 'a.wav' / 'parts'}: cannot make the folder for --split: Not a directory"),
        ]
    },
    "out-of-memory": (
        lambda tmp: ([], "out of memory; analyse fewer files at once (--jobs) or use a larger --hop"),
        1, "import ostrel.analysis.frames as f; f.FrameStream.feed = lambda *a: (_ for _ in ()).throw(MemoryError())",
    ),
    # Reading the chunk would reserve 4 GiB: under a memory limit, the file must still be what is blamed.
    "chunk-past-the-end-under-a-memory-limit": (
        lambda tmp: (
            [write_riff(tmp / "list.wav", MONO_16_BIT, None, [(b"LIST", 0xFFFFFFF0, bytes(2000))])],
            f"{tmp / 'list.wav'}: not a valid WAV file (its 'LIST' chunk claims 4294967280 bytes, "
            "the file holds 2000 after its header)",
        ),
        2, "import resource; resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))",
    ),
    "jobs-and-dask": (
        lambda tmp: (["--jobs", "2", "--dask", "tcp://127.0.0.1:9"], "argument --dask: not allowed with argument --jobs/-j (see --help)"),
        2, None,
    ),
    "dask-address-without-port": (
        lambda tmp: (
            [tmp / "a.wav", tmp / "b.wav", "--dask", "localhost"],
            "--dask localhost: missing port number in address 'localhost'; expected tcp://host:port",
        ),
        2, None,
    ),
    "dask-silent-listener": (
        lambda tmp: (
            [tmp / "a.wav", tmp / "b.wav", "--dask", (address := listener(b""))],
            f"no Dask scheduler answers at {address} within 3 s; start one or check the address",
        ),
        2, None,
    ),
    "dask-other-listener": (
        lambda tmp: (
            [tmp / "a.wav", tmp / "b.wav", "--dask", (address := listener(b"HTTP/1.1 400 Bad Request\r\n\r\n" * 4))],
            f"what answers at {address} is not a Dask scheduler; check the address",
        ),
        2, None,
    ),
    "dask-unreachable": (
        lambda tmp: (
            [tmp / "a.wav", tmp / "b.wav", "--dask", "tcp://127.0.0.1:9"],
            "no Dask scheduler answers at tcp://127.0.0.1:9 within 3 s; start one or check the address",
        ),
        2, None,
    ),
}


@pytest.mark.parametrize("case", list(FAILURES))
def test_every_failure_is_one_line_with_its_status(tmp_path, case):
    make, status, prelude = FAILURES[case]
    argv, message = make(tmp_path)
    result = run_cli(*argv, prelude=prelude)
    assert (result.returncode, result.stdout) == (status, "")
    assert result.stderr == f"ostrel: error: {message}\n"


# Options the command line and Settings check alike: (Settings keywords, the
# option as typed, the exception Settings raises, the message both give).
OPTION_CHECKS = {
    "zero-window": (dict(win=0), ["--win", "0"], ValueError, "must be positive, got 0"),
    "negative-hop": (dict(hop=-512), ["--hop", "-512"], ValueError, "must be positive, got -512"),
    "unindexable-window": (dict(win=TOO_BIG), ["--win", TOO_BIG], ValueError, f"must be at most {TOO_BIG - 1}, got {TOO_BIG}"),
    "zero-window-ms": (dict(win_ms=0), ["--win-ms", "0"], ValueError, "must be a positive number, got 0"),
    "infinite-hop-ms": (dict(hop_ms=float("inf")), ["--hop-ms", "inf"], ValueError, "must be a positive number, got inf"),
    "negative-gap": (dict(min_gap_ms=-5), ["--min-gap-ms", "-5"], ValueError, "must be a positive number, got -5"),
    "negative-prominence": (
        dict(min_prominence_db=-3), ["--min-prominence-db", "-3"], ValueError, "must be a number of 0 or more, got -3",
    ),
    "infinite-prominence": (
        dict(min_prominence_db=float("inf")), ["--min-prominence-db", "inf"], ValueError, "must be a number of 0 or more, got inf",
    ),
    "threshold-nan": (dict(threshold=float("nan")), ["--threshold", "nan"], ValueError, "not a number: nan"),
    "threshold-range": (dict(threshold=1.5), ["--threshold", "1.5"], ValueError, "must be between 0 and 1, got 1.5"),
    "negative-threshold": (dict(threshold=-1), ["--threshold", "-1"], ValueError, "must be between 0 and 1, got -1"),
    "unknown-channels": (
        dict(channels="left"), ["--channels", "left"], ValueError, "invalid choice: 'left' (choose from 'mix', 'each')",
    ),
}


@pytest.mark.parametrize("case", list(OPTION_CHECKS))
def test_settings_check_each_option_with_the_command_line_message(capsys, case):
    keywords, argv, kind, message = OPTION_CHECKS[case]
    ((name, _),) = keywords.items()
    with pytest.raises(kind) as raised:
        Settings(**keywords)
    assert str(raised.value) == f"{name}: {message}"
    assert main(list(map(str, argv))) == 2
    assert capsys.readouterr() == ("", f"ostrel: error: argument {argv[0]}: {message} (see --help)\n")


@pytest.mark.parametrize(
    ("keywords", "kind", "message"),
    [
        (dict(win=1.5), TypeError, "win: expected a whole number, got 1.5"),
        (dict(hop=True), TypeError, "hop: expected a whole number, got True"),
        (dict(threshold="high"), TypeError, "threshold: expected a number, got 'high'"),
        (dict(centered="no"), TypeError, "centered: expected True or False, got 'no'"),
        (dict(channels=None), TypeError, "channels: expected one of 'mix', 'each', got None"),
    ],
)
def test_settings_refuse_values_of_the_wrong_type(keywords, kind, message):
    with pytest.raises(kind) as raised:
        Settings(**keywords)
    assert str(raised.value) == message


@pytest.mark.parametrize("argv", [["--json"], ["--csv", "-"], []], ids=["json", "csv", "summary"])
@pytest.mark.parametrize(
    ("target", "status", "stderr"),
    [
        ("full-disk", 1, "ostrel: error: cannot write to stdout: No space left on device\n"),
        # A reader that has what it wants is no failure.
        ("closed-pipe", 0, ""),
    ],
)
def test_a_failing_write_is_one_line_and_status_1_but_a_closed_pipe_ends_quietly(argv, target, status, stderr):
    command = [sys.executable, "-m", "ostrel", *argv]
    if target == "full-disk":
        with open("/dev/full", "w") as full:
            process = subprocess.Popen(command, stdout=full, stderr=subprocess.PIPE, text=True)
    else:
        # The reader goes away before the command has started, as ``| head -0`` would.
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        process.stdout.close()
    _, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (status, stderr)


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
        "--json": "off", "--plot": "no plot", "--jobs": "1", "--dask": "no cluster", "--channels": "mix",
        "--min-gap-ms": "unset", "--plot-db": "linear", "--no-worker-timeout": "30",
        "--min-prominence-db": "unset", "--zero-positive": "on",
        "--zero-breaks": "a zero is positive", "--plot-db-range": "80",
        "--segments": "off", "--segments-csv": "no segments CSV", "--sound-wav": "none", "--split": "none",
        "--labels": "none", "--segment-win-ms": "25", "--segment-hop-ms": "10", "--floor-window-s": "5",
        "--start-db": "4", "--keep-db": "2.5", "--unvoiced-zcr": "1.5", "--min-sound-ms": "50",
        "--min-silence-ms": "300", "--pad-ms": "30", "--max-segment-s": "unset",
    }
    assert set(entries) == set(defaults) | {"-h", "--version"}
    for option, default in defaults.items():
        assert entries[option].endswith(f"(default: {default})"), entries[option]
    assert "PATH audio files or folders to analyse, '-' for stdin (default: the built-in demo signal)" in " ".join(result.stdout.split())


@pytest.mark.parametrize(
    "disabled, stderr",
    [
        (None, ""),
        ("popcnt,AVX2", ""),
        ("SSE9", "RuntimeWarning: OSTREL_DISABLE_CPU_FEATURES: ignored unknown CPU feature names SSE9 (known: AVX2, POPCNT)\n"),
    ],
)
def test_version_names_the_versions_and_the_cpu_features_in_use(disabled, stderr):
    env = {key: value for key, value in os.environ.items() if key != "OSTREL_DISABLE_CPU_FEATURES"}
    if disabled is not None:
        env["OSTREL_DISABLE_CPU_FEATURES"] = disabled
    result = run_cli("--version", env=env)
    assert result.returncode == 0
    # The warning's place is the import machinery's, which varies by version.
    assert re.sub(r"^.*?:\d+: ", "", result.stderr) == stderr
    from ostrel import __version__, _cpu

    uses = {
        "used": "disabled by OSTREL_DISABLE_CPU_FEATURES" if disabled == "popcnt,AVX2" else "used",
        "unavailable": "not on this machine",
    }
    assert result.stdout.splitlines() == [
        f"ostrel {__version__}",
        f"Python {platform.python_version()} (CPython)",
        f"numpy {np.__version__}",
        "CPU features of the kernels: " + ", ".join(f"{name} ({uses[use]})" for name, use in cpu_uses(_cpu)),
    ]


def cpu_uses(report):
    # In this process the variable may be set (the portable run of the suite):
    # what the processor has is what was not unavailable.
    return [(name, "unavailable" if use == "unavailable" else "used") for name, use in report.features()]


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


PEAK_RSS_OF_CHILD = """\
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def _peak_rss_kb(*args):
    """The peak resident memory of one run of the command, measured by a parent of its own."""
    command = [sys.executable, "-c", PEAK_RSS_OF_CHILD, sys.executable, "-m", "ostrel", *map(str, args)]
    return int(subprocess.run(command, capture_output=True, text=True, check=True, timeout=120).stdout)


@pytest.mark.parametrize("output", [["--json"], ["--csv", "frames.csv"]], ids=["json", "csv"])
def test_a_long_file_is_analysed_in_bounded_memory_and_exactly(tmp_path, output):
    rate, seconds = 48000, 150
    ints = np.random.default_rng(3).integers(-8000, 8000, size=(rate * seconds, 2), dtype=np.int16)
    ints[:, 1] //= 2
    long_file = write_wav(tmp_path / "long.wav", ints, 2, rate)
    short_file = write_wav(tmp_path / "short.wav", ints[:rate], 2, rate)
    output = [tmp_path / part if part.endswith(".csv") else part for part in output]

    # Decoding the whole file at once needs more than 170 MB for its float64
    # channels and their mix-down; read in blocks it needs nearly nothing.
    baseline = _peak_rss_kb(short_file, *output)
    grown = _peak_rss_kb(long_file, *output) - baseline
    assert grown < 60_000, f"{grown} KB more for 150 s than for 1 s"
    if output[0] == "--csv":
        energy = reference(expected_signal(ints, 2), rate)[1]
        rows = list(csv.reader(output[1].open()))[1:]
        assert [float(row[1]) for row in rows] == energy.tolist()


def test_many_channels_are_read_in_blocks_of_bounded_memory(tmp_path):
    # 128 channels: a block of the usual 65,536 frames would hold 64 MB of float64.
    ints = np.random.default_rng(6).integers(-8000, 8000, size=(2 * 65536, 128), dtype=np.int16)
    many = write_wav(tmp_path / "many.wav", ints, 2, 8000)
    few = write_wav(tmp_path / "few.wav", ints[:100], 2, 8000)
    grown = _peak_rss_kb(many, "--channels", "each") - _peak_rss_kb(few, "--channels", "each")
    assert grown < 60_000, f"{grown} KB more for 131,072 frames than for 100"


def test_long_file_frames_equal_the_library_on_the_whole_mix(tmp_path, capsys):
    rate = 48000
    ints = np.random.default_rng(4).integers(-20000, 20000, size=(rate * 20, 2), dtype=np.int16)
    path = write_wav(tmp_path / "long.wav", ints, 2, rate)
    assert main([str(path), "--win", "999", "--hop", "301", "--json"]) == 0
    document = json.loads(capsys.readouterr().out)
    _, energy, zcr, peaks = reference(expected_signal(ints, 2), rate, 999, 301)
    assert (document["frames"]["energy"], document["frames"]["zcr"]) == (energy.tolist(), zcr.tolist())
    assert [peak["frame"] for peak in document["peaks"]] == peaks.tolist()


def test_uncentred_frames_are_timed_at_the_middle_sample_of_odd_windows(tmp_path, capsys):
    path = write_wav(tmp_path / "x.wav", random_ints(2, 20, 1), 2, rate=8000)
    assert main([str(path), "--no-center", "--win", "5", "--hop", "3", "--json"]) == 0
    # Frame m holds samples 3m to 3m + 4; its middle one is 3m + 2.
    assert json.loads(capsys.readouterr().out)["frames"]["time_s"] == [2 / 8000, 5 / 8000, 8 / 8000, 11 / 8000, 14 / 8000, 17 / 8000]


@pytest.mark.parametrize(("via", "reads"), [("-", "stdin"), ("/dev/stdin", "stdin"), ("./-", "the file -")])
def test_a_file_piped_to_stdin(tmp_path, via, reads):
    ints = random_ints(2, 6000, 2, seed=9)
    path = write_wav(tmp_path / "x.wav", ints, 2)
    # Only the bare "-" is stdin: "./-" is this other file, named "-".
    other = random_ints(2, 3000, 1, seed=10)
    write_wav(tmp_path / "-", other, 2)
    with path.open("rb") as source:
        feeder = subprocess.Popen(["cat"], stdin=source, stdout=subprocess.PIPE)
        result = subprocess.run(
            [sys.executable, "-m", "ostrel", via, "--json"], stdin=feeder.stdout, capture_output=True, text=True,
            timeout=60, cwd=tmp_path,
        )
        feeder.wait()
    assert (result.returncode, result.stderr) == (0, "")
    document = json.loads(result.stdout)
    if reads == "stdin":
        assert (document["source"], document["samples"]) == (via, 6000)
        assert document["frames"]["energy"] == reference(expected_signal(ints, 2), 8000)[1].tolist()
    else:
        assert (document["source"], document["samples"]) == (str(tmp_path.resolve() / "-"), 3000)
        assert document["frames"]["energy"] == reference(expected_signal(other, 2), 8000)[1].tolist()


@pytest.mark.skipif(shutil.which("sox") is None, reason="needs sox")
def test_a_wav_streamed_with_a_guessed_size_is_whole_not_truncated(tmp_path):
    path = write_wav(tmp_path / "in.wav", random_ints(2, 8000, 1, seed=13), 2)
    # After an effect sox cannot know the length: on a pipe, its header holds a guess.
    streamed = subprocess.run(["sox", path, "-t", "wav", "-", "speed", "1.1"], capture_output=True, check=True).stdout
    assert struct.unpack_from("<I", streamed, 40) == (0x7FFFF000,)
    saved = tmp_path / "saved.wav"
    saved.write_bytes(streamed[:40] + struct.pack("<I", len(streamed) - 44) + streamed[44:])
    piped = subprocess.run(
        [sys.executable, "-m", "ostrel", "-", "--json"], input=streamed, capture_output=True, timeout=60,
    )
    whole = run_cli(saved, "--json")
    assert (piped.returncode, piped.stderr, whole.returncode, whole.stderr) == (0, b"", 0, "")
    assert {**json.loads(piped.stdout), "source": None} == {**json.loads(whole.stdout), "source": None}


@pytest.mark.parametrize(
    ("data_size", "warning"),
    [
        (None, "ostrel: warning: {p}: file is truncated: the header promises 3000 samples, it holds 2000; analysed as far as it goes\n"),
        # Unknown: a file still being written ends where it ends for now.
        (0xFFFFFFFF, ""),
    ],
)
def test_a_truncated_wav_is_analysed_as_far_as_it_goes_with_a_warning(tmp_path, data_size, warning):
    ints = random_ints(2, 3000, 1, seed=2)
    path = with_sizes(write_wav(tmp_path / "x.wav", ints, 2), data=data_size)
    path.write_bytes(path.read_bytes()[: 44 + 2 * 2000 + 1])  # 2000 samples and half of one more
    result = run_cli(path, "--csv", "-")
    assert (result.returncode, result.stderr) == (0, warning.format(p=path))
    energy = [float(row[1]) for row in list(csv.reader(result.stdout.splitlines()))[1:]]
    assert energy == reference(expected_signal(ints[:2000], 2), 8000)[1].tolist()


def test_json_is_strict_with_null_for_nan_and_infinities(tmp_path):
    soundfile = pytest.importorskip("soundfile")
    samples = np.zeros(3000)
    samples[1500] = np.nan
    soundfile.write(str(tmp_path / "f.wav"), samples, 8000, subtype="DOUBLE")
    result = run_cli(tmp_path / "f.wav", "--json", "--win", "512", "--hop", "256")
    assert result.returncode == 0

    def refuse(constant):
        raise ValueError(f"not strict JSON: {constant}")

    document = json.loads(result.stdout, parse_constant=refuse)
    energy, energy_db = document["frames"]["energy"], document["frames"]["energy_db"]
    # The frames around the NaN sample are NaN; the silent ones are 0, or -inf dB.
    assert energy == [None if 1500 in range(256 * m - 256, 256 * m + 256) else 0.0 for m in range(len(energy))]
    assert energy_db == [None] * len(energy)


def test_each_channel_in_summary_csv_and_json(tmp_path, capsys):
    left = random_ints(2, 4000, 1, seed=6)[:, 0] // 2
    path = write_wav(tmp_path / "anti.wav", np.column_stack([left, -left]), 2)
    out = tmp_path / "rows.csv"
    assert main([str(path), "--channels", "each", "--csv", str(out), "--json"]) == 0
    entries = json.loads(capsys.readouterr().out)
    rows = list(csv.reader(out.open()))
    assert rows[0] == ["channel", "time_s", "energy", "energy_db", "zcr", "zcr_hz", "peak", "zero_positive"]
    for channel, column in ((1, left), (2, -left)):
        _, energy, zcr, peaks = reference(column / 32768.0, 8000)
        entry = entries[channel - 1]
        assert (entry["channel"], entry["frames"]["energy"], entry["frames"]["zcr"]) == (channel, energy.tolist(), zcr.tolist())
        assert [float(row[2]) for row in rows[1:] if row[0] == str(channel)] == energy.tolist()
    assert main([str(path), "--channels", "each", "--top", "1"]) == 0
    summary = capsys.readouterr().out.splitlines()
    assert summary[1] == "  format           16-bit PCM WAV, 2 channels, each on its own"
    assert [summary.index(f"  channel {c}") for c in (1, 2)] == [5, 14]


def test_each_channel_of_a_mono_file_is_a_list_of_one_entry(tmp_path, capsys):
    ints = random_ints(2, 4000, 1, seed=7)
    path = write_wav(tmp_path / "mono.wav", ints, 2)
    assert main([str(path), "--channels", "each", "--json"]) == 0
    (entry,) = json.loads(capsys.readouterr().out)
    assert (entry["channel"], entry["channels"]) == (1, 1)
    assert entry["frames"]["energy"] == reference(expected_signal(ints, 2), 8000)[1].tolist()


@pytest.mark.parametrize("argv", [[], ["--channels", "each"]], ids=["mix", "each"])
def test_csv_on_stdout_is_the_rows_and_nothing_else(tmp_path, capsys, argv):
    ints = random_ints(2, 3000, 1, seed=11)
    path = write_wav(tmp_path / "x.wav", ints, 2)
    assert main([str(path), "--csv", "-", "--win", "256", "--hop", "128", *argv]) == 0
    times, energy, zcr, peaks = reference(expected_signal(ints, 2), 8000, 256, 128)
    channel = ["1"] if argv else []
    header = ",".join((["channel"] if argv else []) + ["time_s", "energy", "energy_db", "zcr", "zcr_hz", "peak", "zero_positive"])
    rows = [
        ",".join(channel + [repr(t), repr(e), repr(float(10 * np.log10(e))), repr(z), repr(z * 8000), str(int(m in peaks)), "1"])
        for m, (t, e, z) in enumerate(zip(times.tolist(), energy.tolist(), zcr.tolist()))
    ]
    assert capsys.readouterr() == ("\r\n".join([header, *rows]) + "\r\n", "")


def test_plot_folder_gets_one_png_per_input(tmp_path):
    pytest.importorskip("matplotlib")
    (tmp_path / "in").mkdir()
    for name in ("a.wav", "b.wav"):
        write_wav(tmp_path / "in" / name, random_ints(2, 4000, 1), 2)
    result = run_cli(tmp_path / "in", "--plot", tmp_path / "pictures", "--plot-db", "--min-gap-ms", "100")
    assert (result.returncode, result.stderr) == (0, "")
    assert sorted(p.name for p in (tmp_path / "pictures").iterdir()) == ["a.wav.png", "b.wav.png"]
    assert _png_size(tmp_path / "pictures" / "a.wav.png") == (1000, 700)
    # Files that differ only in their extension, one name met twice, and stdin.
    (tmp_path / "in" / "sub").mkdir()
    inputs = [tmp_path / "in" / "a.wav", tmp_path / "in" / "a.wave", tmp_path / "in" / "sub" / "a.wav", "-"]
    for path in inputs[1:3]:
        write_wav(path, random_ints(2, 4000, 1), 2)
    with (tmp_path / "in" / "b.wav").open("rb") as stdin:
        result = subprocess.run(
            [sys.executable, "-m", "ostrel", *map(str, inputs), "--plot", str(tmp_path / "more")],
            stdin=stdin, capture_output=True, text=True, timeout=60,
        )
    assert (result.returncode, result.stderr) == (0, "")
    assert sorted(p.name for p in (tmp_path / "more").iterdir()) == ["a.wav-2.png", "a.wav.png", "a.wave.png", "stdin.png"]


def _energy_axes_as_drawn(monkeypatch, tmp_path, result):
    """The dB plot's energy axes, its legend's and its own box, and the top of
    each channel's highest peak marker, in pixels as saved."""
    from matplotlib.figure import Figure

    from ostrel.cli.plot import plot_analysis

    drawn = []
    save = Figure.savefig

    def save_and_measure(figure, *args, **kwargs):
        save(figure, *args, **kwargs)
        # As drawn: the figure is closed after.
        renderer = figure.canvas.get_renderer()
        energy_axes = figure.axes[1]
        tops = [
            energy_axes.transData.transform((0, max(marks.get_ydata())))[1] + marks.get_markersize() / 2 * figure.dpi / 72
            for marks in energy_axes.lines[1::2]
        ]
        drawn.append((energy_axes, energy_axes.get_legend().get_window_extent(renderer), energy_axes.get_window_extent(renderer), tops))

    monkeypatch.setattr(Figure, "savefig", save_and_measure)
    plot_analysis(result, tmp_path / "x.png", db=True)
    (measured,) = drawn
    return measured


def test_plot_keeps_room_above_the_strongest_peak_when_the_floor_lies_far_below(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from ostrel.analysis import analyse

    # Steady noise: its levels span a dB or so, the floor lies 10 dB and more below.
    noise = np.random.default_rng(5).uniform(-1, 1, 16000)
    result = analyse(noise, 8000, Settings(win=256, hop=128, centered=False, envelope=True))
    _, _, axes_box, tops = _energy_axes_as_drawn(monkeypatch, tmp_path, result)
    assert max(tops) <= axes_box.y1


def test_plot_marks_sit_where_they_hide_nothing_and_say_what_they_are(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from ostrel.analysis import analyse, decibels

    # Two channels, each loud where the other is digital silence, the first
    # with its strongest frame at the top of the axes.
    t = np.arange(8000) / 8000
    left = np.where(t < 0.5, np.sin(2 * np.pi * 300 * t) * (1 + t), 0.0)
    right = np.where(t >= 0.5, 0.1 * np.sin(2 * np.pi * 210 * t), 0.0)
    result = analyse(np.column_stack([left, right]), 8000, Settings(win=256, hop=128, envelope=True))
    energy_axes, legend_box, axes_box, tops = _energy_axes_as_drawn(monkeypatch, tmp_path, result)
    legend = energy_axes.get_legend()
    assert legend_box.x0 >= axes_box.x1
    # Above the strongest peak, room for its whole marker.
    assert max(tops) <= axes_box.y1
    counts = [len(track.peaks) for track in result.tracks]
    assert [text.get_text() for text in legend.get_texts()] == [
        "channel 1", f"channel 1 peaks ({counts[0]})", "channel 1 peak threshold (0.1 \u00d7 strongest)",
        "channel 2", f"channel 2 peaks ({counts[1]})", "channel 2 peak threshold (0.1 \u00d7 strongest)",
        "channel 1 digital silence (\u2212inf dB)", "channel 2 digital silence (\u2212inf dB)",
    ]
    curves, peaks = energy_axes.lines[0::2], energy_axes.lines[1::2]
    assert [(line.get_color(), line.get_marker(), line.get_clip_on()) for line in peaks] == [("C0", "v", False), ("C1", "o", False)]
    # The floor: 10 dB below the quietest sound, on a multiple of 10.
    quietest = min(decibels(track.energy[track.energy > 0]).min() for track in result.tracks)
    floor = energy_axes.get_ylim()[0]
    assert floor == np.floor(quietest / 10) * 10 - 10
    for track, curve, marks in zip(result.tracks, curves, peaks):
        levels = decibels(track.energy)
        assert marks.get_ydata().tolist() == levels[track.peaks].tolist()
        # Silence lies on the floor; the rest is drawn as it is.
        assert curve.get_ydata().tolist() == np.where(track.energy == 0, floor, levels).tolist()


@pytest.mark.parametrize(
    ("channels", "layout", "legend"),
    [
        (1, None, ["mono", "energy peaks (1)", "peak threshold (0.1 \u00d7 strongest)"]),
        (2, None, ["mix of 2 channels", "energy peaks (1)", "peak threshold (0.1 \u00d7 strongest)"]),
        (2, "each", None),
    ],
    ids=["mono", "mix", "each"],
)
def test_plot_names_what_it_draws_and_floors_the_db_axis_below_the_strongest_frame(tmp_path, monkeypatch, channels, layout, legend):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from ostrel.analysis import analyse
    from ostrel.cli.plot import plot_analysis

    # A burst whose frames fade 100 dB: the axis reaches 80 dB below the strongest.
    t = np.arange(8000) / 8000
    tone = np.sin(2 * np.pi * 500 * t) * 10 ** (-5 * t)
    signal = tone if channels == 1 or layout is None else np.column_stack([tone, 0.5 * tone])
    result = analyse(signal, 8000, Settings(win=400, hop=160, envelope=True, channels=layout or "mix"), channels=channels)
    figures = []
    monkeypatch.setattr(Figure, "savefig", lambda figure, *a, **k: figures.append(figure))
    plot_analysis(result, tmp_path / "x.png", db=True, db_range=80)
    (figure,) = figures
    wave_axes, energy_axes, zcr_axes = figure.axes[:3]
    assert figure._suptitle.get_text() == "signal: window 400 samples (50 ms), hop 160 samples (20 ms), centred"
    strongest = 10 * np.log10(max(track.energy.max() for track in result.tracks))
    assert energy_axes.get_ylim()[0] == strongest - 80
    if legend is not None:
        # Frames quieter than the floor lie on it, over a band the legend names.
        texts = [text.get_text() for text in energy_axes.get_legend().get_texts()]
        assert texts == [*legend, "over 80 dB below the strongest"]
    # The rate's second axis is in crossings per second.
    figure.draw_without_rendering()
    (hertz,) = zcr_axes.child_axes
    assert hertz.get_ylabel() == "crossings/s (Hz)"
    assert hertz.get_ylim() == pytest.approx(tuple(limit * 8000 for limit in zcr_axes.get_ylim()))
    if layout == "each":
        # Each channel in a lane of its own: the second wholly below the first.
        first, second = (collection.get_paths()[0].vertices[:, 1] for collection in wave_axes.collections[:2]) if wave_axes.collections else (line.get_ydata() for line in wave_axes.lines[:2])
        assert max(second) < min(first)
        assert [label.get_text() for label in wave_axes.get_yticklabels()] == ["ch 1", "ch 2"]


def _waits_on_stdin(pid):
    # Newer kernels name the wait anon_pipe_read.
    return Path(f"/proc/{pid}/wchan").read_text().endswith("pipe_read")


def _has_read_16_mb(pid):
    return int(Path(f"/proc/{pid}/io").read_text().split("rchar: ")[1].split()[0]) > 16 << 20


def _an_hour_of_silence(folder):
    """A 48 kHz stereo 16-bit WAV of an hour, its samples a hole in the file: nothing to write."""
    size = 3600 * 48000 * 4
    path = write_riff(folder / "hour.wav", struct.pack("<HHIIHH", 1, 2, 48000, 192000, 4, 16), b"")
    path.write_bytes(with_sizes(path, riff=36 + size, data=size).read_bytes())
    with path.open("r+b") as stream:
        stream.truncate(44 + size)
    return path


@pytest.mark.parametrize(
    ("make", "ready"),
    # Ctrl-C while the command waits for a file on stdin, and while it reads ahead in a long file.
    [(lambda folder: "-", _waits_on_stdin), (_an_hour_of_silence, _has_read_16_mb)],
    ids=["waiting-for-stdin", "reading-ahead"],
)
def test_interrupt_ends_the_run_with_one_line_and_status_130(tmp_path, make, ready):
    # Ctrl-C reaches the whole process group.
    process = subprocess.Popen(
        [sys.executable, "-m", "ostrel", str(make(tmp_path))], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, start_new_session=True, text=True,
    )
    try:
        deadline = time.monotonic() + 30
        while not ready(process.pid) and time.monotonic() < deadline:
            time.sleep(0.01)
        os.killpg(process.pid, signal.SIGINT)
        out, err = process.communicate(timeout=10)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    assert (process.returncode, out, err) == (130, "", "ostrel: interrupted\n")


@pytest.mark.parametrize(
    ("samples", "segments", "words"),
    [
        ([0, 0, 0], None, "0 peaks"),
        ([0, 1, 0], None, "1 peak (strongest at 0.010 s)"),
        ([0, 1, 0, 1, 0], None, "2 peaks (strongest at 0.010 s)"),
        ([0, 0, 0], (), "0 peaks, 0 sound segments (0.000 s)"),
        ([0, 1, 0], ((0.0, 0.02),), "1 peak (strongest at 0.010 s), 1 sound segment (0.020 s)"),
        ([0, 1, 0], ((0.0, 0.01), (0.02, 0.03)), "1 peak (strongest at 0.010 s), 2 sound segments (0.020 s)"),
    ],
)
def test_the_line_of_a_file_counts_peaks_and_segments_in_words_that_agree(samples, segments, words):
    from dataclasses import replace

    from ostrel.analysis import analyse
    from ostrel.cli.output import format_lines

    result = analyse(np.array(samples, dtype=float), 100, Settings(win=1, hop=1, centered=False, threshold=0.0))
    result = replace(result, tracks=[replace(track, segments=segments) for track in result.tracks])
    (line,) = format_lines(result)
    assert line.endswith(f", {words}")


class _ShortWrites(io.RawIOBase):
    """A pipe as a signal leaves it: each write takes a few bytes, or none if it would block."""

    def __init__(self, taken):
        self.taken, self.received = taken, bytearray()

    def writable(self):
        return True

    def write(self, data):
        count = self.taken.pop(0) if self.taken else 3
        self.received += bytes(data[:count]) if count else b""
        return count


@pytest.mark.parametrize(
    ("taken", "received", "error"),
    [
        ([], "entrée, 1\r\n" * 3, None),
        ([0, 2, None], "en", "cannot write to stdout: Resource temporarily unavailable"),
    ],
    ids=["short-writes-completed", "would-block-is-a-failure"],
)
def test_an_unbuffered_stdout_gets_every_byte_of_what_is_written(taken, received, error):
    from ostrel.cli.errors import OutputError
    from ostrel.cli.output import Output

    # As python -u makes it: a text layer straight over the file, which on
    # its own would drop what a short write leaves.
    raw = _ShortWrites(taken)
    output = Output(io.TextIOWrapper(raw, encoding="utf-8", newline="\n", write_through=True), "stdout")
    try:
        for _ in range(3):
            output.write("entrée, 1\r\n")
    except OutputError as failure:
        assert str(failure) == error
    else:
        assert error is None
    assert raw.received.decode() == received
