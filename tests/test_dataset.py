"""Files cut from recordings by the command line: the sound alone in the
input's own format, one file per segment with a manifest, label tracks,
each written whole or not at all and never over an input."""

import csv
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from ostrel.analysis import SegmentSettings, find_segments
from ostrel.cli import main
from test_cli_audio import write_wav
from test_segments import RATE, noise, placed, tone

soundfile = pytest.importorskip("soundfile")


def tones(seconds=6.0):
    """Two tones over faint noise: from 1 to 2 s and from 3.5 to 4.5 s (this one across the 65,536-sample block)."""
    return placed(noise(seconds, -60), (1.0, tone(1.0, -12)), (3.5, tone(1.0, -12, 330)))


def segments_of(path, **settings):
    return find_segments(str(path), settings=SegmentSettings(**settings))


def kept(samples, spans):
    return np.concatenate([samples[round(start * RATE) : round(end * RATE)] for start, end in spans])


@pytest.fixture
def recordings(tmp_path):
    """The same sound as 16-bit PCM WAV (written here), float WAV, 24-bit FLAC and 8-bit WAV."""
    signal = tones()
    ints = np.round(signal * 32767).astype(np.int64)
    write_wav(tmp_path / "pcm16.wav", ints, 2, RATE)
    soundfile.write(tmp_path / "float.wav", signal, RATE, subtype="FLOAT")
    soundfile.write(tmp_path / "pcm24.flac", signal, RATE, subtype="PCM_24")
    soundfile.write(tmp_path / "pcm8.wav", signal, RATE, subtype="PCM_U8")
    return tmp_path


@pytest.mark.parametrize(
    ("source", "target", "form"),
    [
        ("pcm16.wav", "s.wav", ("WAV", "PCM_16")),
        ("float.wav", "s.wav", ("WAV", "FLOAT")),
        ("pcm24.flac", "s.flac", ("FLAC", "PCM_24")),
        ("pcm24.flac", "s.wav", ("WAV", "PCM_24")),
        ("pcm8.wav", "s.wav", ("WAV", "PCM_U8")),
        ("pcm16.wav", "s.flac", ("FLAC", "PCM_16")),
        # FLAC holds no floats: the most bits it has.
        ("float.wav", "s.flac", ("FLAC", "PCM_24")),
    ],
)
def test_sound_wav_keeps_the_inputs_sample_format_and_samples(recordings, capsys, source, target, form):
    path = recordings / source
    assert main([str(path), "--sound-wav", str(recordings / target)]) == 0
    info = soundfile.info(recordings / target)
    assert (info.format, info.subtype, info.samplerate, info.channels) == (*form, RATE, 1)
    expected = kept(soundfile.read(path)[0], segments_of(path))
    if form[1] == "PCM_24" and source == "float.wav":
        expected = np.round(np.clip(expected, -1, 1 - 2**-23) * 2**23) / 2**23
    assert np.array_equal(soundfile.read(recordings / target)[0], expected)
    # The block boundary at 65,536 samples lies inside the second tone: its samples are whole.
    assert info.frames == len(expected) > 65536 - 3.5 * RATE


def test_full_scale_float_is_clipped_below_the_top_of_integer_samples(tmp_path, capsys):
    # +1.0 is one step more than 24 bits hold: clipped to the largest, not wrapped to the most negative.
    signal = np.clip(tones() * 8, -1.0, 1.0)
    soundfile.write(tmp_path / "loud.wav", signal, RATE, subtype="FLOAT")
    assert (signal == 1.0).sum() > 1000
    assert main([str(tmp_path / "loud.wav"), "--sound-wav", str(tmp_path / "s.flac")]) == 0
    written = soundfile.read(tmp_path / "s.flac", dtype="int32")[0] >> 8
    expected = kept(soundfile.read(tmp_path / "loud.wav")[0], segments_of(tmp_path / "loud.wav"))
    assert written.max() == 2**23 - 1 and written.min() == -(2**23)
    assert np.array_equal(written, np.round(np.clip(expected, -1, 1 - 2**-23) * 2**23))


@pytest.mark.parametrize("inputs", [1, 2])
def test_sound_wav_onto_a_folder_names_a_file_per_input_inside_it(recordings, capsys, inputs):
    # A folder whose name has a dot is still the folder it is.
    folder = recordings / "sounds.v2"
    folder.mkdir()
    paths = [recordings / "pcm16.wav", recordings / "pcm24.flac"][:inputs]
    assert main([*map(str, paths), "--sound-wav", str(folder)]) == 0
    assert sorted(p.name for p in folder.iterdir()) == ["pcm16.wav.sound.wav", "pcm24.flac.sound.flac"][:inputs]
    # A name without an extension is a folder too.
    assert main([str(paths[0]), "--sound-wav", str(recordings / "made")]) == 0
    assert [p.name for p in (recordings / "made").iterdir()] == ["pcm16.wav.sound.wav"]


@pytest.mark.parametrize(
    ("option", "name", "written"),
    [
        ("--sound-wav", "sound.wav", "pcm16.wav.sound.wav"),
        ("--sound-wav", "cleaned.v2", "pcm16.wav.sound.wav"),
        ("--labels", "labels.v1", "pcm16.wav.labels.txt"),
        ("--labels", "labels.txt", "pcm16.wav.labels.txt"),
        ("--plot", "plots.v1", "pcm16.wav.png"),
        ("--plot", "plot.png", "pcm16.wav.png"),
    ],
)
def test_a_name_ending_in_a_separator_is_a_folder_made_for_the_files(recordings, capsys, option, name, written):
    if option == "--plot":
        pytest.importorskip("matplotlib")
    assert main([str(recordings / "pcm16.wav"), option, str(recordings / name) + os.sep]) == 0
    assert [p.name for p in (recordings / name).iterdir()] == [written]


@pytest.mark.parametrize("alias", ["same", "dot", "hard-link", "symlink"])
def test_an_output_over_an_input_is_refused_before_anything_is_read(recordings, alias):
    path = recordings / "pcm16.wav"
    before = path.read_bytes()
    target = {"same": path, "dot": recordings / "." / "pcm16.wav", "hard-link": recordings / "link.wav", "symlink": recordings / "sym.wav"}[alias]
    if alias == "hard-link":
        os.link(path, target)
    elif alias == "symlink":
        target.symlink_to(path)
    for option in ("--sound-wav", "--labels", "--csv", "--segments-csv"):
        result = subprocess.run(
            [sys.executable, "-m", "ostrel", str(path), option, str(target)], capture_output=True, text=True, timeout=60
        )
        assert (result.returncode, result.stdout) == (2, "")
        assert result.stderr == f"ostrel: error: {target}: {option} would write over an input of the run; give another name\n"
        assert path.read_bytes() == before


def refused_sound_name(name, cwd):
    """The refusal of ``--sound-wav name`` before reading, and the extensions it offers instead."""
    # The input is missing: the name is refused before it would be found so.
    result = subprocess.run(
        [sys.executable, "-m", "ostrel", "missing.wav", "--sound-wav", name], capture_output=True, text=True, timeout=60, cwd=cwd
    )
    assert (result.returncode, result.stdout) == (2, "")
    line, _, offered = result.stderr.partition("; name it ")
    assert offered.endswith("\n") and offered.count(" or ") == 1
    return line, offered[:-1].replace(" or ", ", ").split(", ")


@pytest.mark.parametrize(("name", "message"), [("x.txt", "x.txt: --sound-wav cannot write a .txt file"), ("x.png", "x.png: --sound-wav cannot write a .png file")])
def test_a_sound_name_that_cannot_be_written_is_refused_before_reading(tmp_path, name, message):
    line, offered = refused_sound_name(name, tmp_path)
    assert line == f"ostrel: error: {message}"
    assert offered == sorted(offered) and {".wav", ".flac", ".ogg", ".aiff"} <= set(offered)
    # MP3 is offered where this libsndfile writes it, as it is then written.
    assert (".mp3" in offered) == ("MP3" in soundfile.available_formats())
    assert sorted(os.listdir(tmp_path)) == []


def test_every_extension_a_refused_sound_name_offers_is_written(tmp_path, capsys):
    write_wav(tmp_path / "a.wav", np.round(tones() * 32767).astype(np.int64), 2, RATE)
    _, offered = refused_sound_name("x.txt", tmp_path)
    for suffix in offered:
        assert main([str(tmp_path / "a.wav"), "--sound-wav", str(tmp_path / f"s{suffix}")]) == 0, suffix
        assert soundfile.info(tmp_path / f"s{suffix}").frames > 0


def test_without_soundfile_only_wav_is_written(tmp_path):
    write_wav(tmp_path / "a.wav", np.round(tones() * 32767).astype(np.int64), 2, RATE)
    hide = "import sys; sys.modules['soundfile'] = None"
    command = f"{hide}; import runpy; sys.argv = ['ostrel'] + sys.argv[1:]; runpy.run_module('ostrel', run_name='__main__')"
    result = subprocess.run([sys.executable, "-c", command, "a.wav", "--sound-wav", "s.flac"], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (
        2, "ostrel: error: s.flac: --sound-wav writes only .wav without soundfile; name it .wav or pip install 'ostrel[audio]'\n"
    )
    result = subprocess.run([sys.executable, "-c", command, "a.wav", "--sound-wav", "s.wav"], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert result.returncode == 0
    assert np.array_equal(soundfile.read(tmp_path / "s.wav", dtype="int16")[0], soundfile.read(tmp_path / "a.wav", dtype="int16")[0][
        np.concatenate([np.arange(round(s * RATE), round(e * RATE)) for s, e in segments_of(tmp_path / "a.wav")])
    ])


@pytest.mark.parametrize(
    ("option", "target", "warning", "note"),
    [
        ("--sound-wav", "s.wav", "{} not written", "sound file       none written: no sound found"),
        ("--split", "parts", "no piece written to {}", "pieces           none written: no sound found"),
    ],
)
def test_nothing_found_writes_no_file_and_says_so(tmp_path, capsys, option, target, warning, note):
    write_wav(tmp_path / "quiet.wav", np.round(noise(3, -40) * 32767).astype(np.int64), 2, RATE)
    assert main([str(tmp_path / "quiet.wav"), option, str(tmp_path / target)]) == 0
    captured = capsys.readouterr()
    assert captured.err == f"ostrel: warning: {tmp_path / 'quiet.wav'}: no sound found; {warning.format(tmp_path / target)}\n"
    assert captured.out.splitlines()[-2:] == ["  sound segments   0, 0.000 s of sound (0.0 % of the signal)", f"  {note}"]
    if option == "--sound-wav":
        assert not (tmp_path / target).exists()
        return
    # Every row of the manifest names a piece: a file without sound has none, with one file or several.
    assert os.listdir(tmp_path / target) == ["manifest.csv"]
    assert (tmp_path / target / "manifest.csv").read_bytes() == b"source,n,start_s,end_s,path\r\n"
    write_wav(tmp_path / "loud.wav", np.round(tones() * 32767).astype(np.int64), 2, RATE)
    assert main([str(tmp_path / "quiet.wav"), str(tmp_path / "loud.wav"), option, str(tmp_path / target)]) == 0
    assert capsys.readouterr().err == f"ostrel: warning: {tmp_path / 'quiet.wav'}: no sound found; {warning.format(tmp_path / target)}\n"
    with open(tmp_path / target / "manifest.csv", newline="") as table:
        assert [row[0] for row in csv.reader(table)] == ["source", str(tmp_path / "loud.wav"), str(tmp_path / "loud.wav")]


def test_a_sound_file_that_cannot_be_written_is_that_files_error(recordings):
    for name in ("a", "b", "c"):
        (recordings / f"{name}.wav").write_bytes((recordings / "pcm16.wav").read_bytes())
    (recordings / "snd" / "b.wav.sound.wav").mkdir(parents=True)
    result = subprocess.run(
        [sys.executable, "-m", "ostrel", "a.wav", "b.wav", "c.wav", "--json", "--sound-wav", "snd", "--segments-csv", "s.csv"],
        capture_output=True, text=True, timeout=120, cwd=recordings,
    )
    message = "snd/b.wav.sound.wav: cannot write sound: Is a directory"
    assert (result.returncode, result.stderr) == (1, f"ostrel: error: {message}\n")
    entries = json.loads(result.stdout)
    assert [(entry["source"], entry.get("error")) for entry in entries] == [("a.wav", None), ("b.wav", message), ("c.wav", None)]
    with open(recordings / "s.csv", newline="") as table:
        rows = list(csv.reader(table))
    assert [row[0] for row in rows[1:]] == ["a.wav", "a.wav", "b.wav", "c.wav", "c.wav"]
    assert rows[3] == ["b.wav", "", "", "", message]
    assert sorted(p.name for p in (recordings / "snd").iterdir()) == ["a.wav.sound.wav", "b.wav.sound.wav", "c.wav.sound.wav"]


def test_a_full_disk_is_status_1_and_one_line(recordings):
    result = subprocess.run(
        [sys.executable, "-m", "ostrel", "pcm16.wav", "--sound-wav", "/dev/full"], capture_output=True, text=True, timeout=60, cwd=recordings
    )
    assert (result.returncode, result.stdout, result.stderr) == (1, "", "ostrel: error: /dev/full: cannot write sound: No space left on device\n")


INTERRUPTED_WRITE = """
import os, signal, sys
from ostrel.cli import sound
write = sound.SoundWriter.write
def interrupted(self, piece):
    write(self, piece)
    os.kill(os.getpid(), signal.SIGINT)
sound.SoundWriter.write = interrupted
from ostrel.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("existing", [False, True])
@pytest.mark.parametrize("option", ["--sound-wav", "--split"])
def test_ctrl_c_while_writing_leaves_no_part_and_the_old_file_as_it_was(recordings, option, existing):
    target = recordings / ("s.wav" if option == "--sound-wav" else "parts")
    if existing and option == "--sound-wav":
        target.write_bytes(b"old")
    result = subprocess.run(
        [sys.executable, "-c", INTERRUPTED_WRITE, "pcm16.wav", option, target.name], capture_output=True, text=True, timeout=60, cwd=recordings
    )
    assert (result.returncode, result.stdout, result.stderr) == (130, "", "ostrel: interrupted\n")
    if option == "--sound-wav":
        assert sorted(os.listdir(recordings)) == sorted(["float.wav", "pcm16.wav", "pcm24.flac", "pcm8.wav"] + (["s.wav"] if existing else []))
        if existing:
            assert target.read_bytes() == b"old"
    else:
        assert os.listdir(target) == []


def test_split_writes_each_segment_in_the_inputs_format_and_a_manifest(recordings, capsys):
    paths = [recordings / "pcm16.wav", recordings / "pcm24.flac"]
    folder = recordings / "parts"
    assert main([*map(str, paths), "--split", str(folder), "--max-segment-s", "0.6"]) == 0
    with open(folder / "manifest.csv", newline="") as table:
        rows = list(csv.reader(table))
    assert rows[0] == ["source", "n", "start_s", "end_s", "path", "error"]
    expected = []
    for path in paths:
        spans = segments_of(path, max_segment_s=0.6)
        assert len(spans) == 4 and max(end - start for start, end in spans) <= 0.6
        for n, (start, end) in enumerate(spans, 1):
            start_ms, end_ms = (round(round(time * RATE) * 1000 / RATE) for time in (start, end))
            name = f"{path.stem}.{n:04d}.{start_ms}-{end_ms}{path.suffix}"
            expected.append([str(path), str(n), repr(start), repr(end), name, ""])
            info = soundfile.info(folder / name)
            assert (info.format, info.subtype) == (("WAV", "PCM_16") if path.suffix == ".wav" else ("FLAC", "PCM_24"))
            assert np.array_equal(soundfile.read(folder / name)[0], kept(soundfile.read(path)[0], [(start, end)]))
    assert rows[1:] == expected
    assert sorted(p.name for p in folder.iterdir()) == sorted([row[4] for row in expected] + ["manifest.csv"])
    # Worker processes give the very same files.
    again = recordings / "parts-jobs"
    assert main([*map(str, paths), "--split", str(again), "--max-segment-s", "0.6", "--jobs", "2"]) == 0
    for name in os.listdir(folder):
        assert (again / name).read_bytes() == (folder / name).read_bytes()


def test_split_of_one_file_has_no_error_column_and_a_bad_file_has_its_row(recordings, capsys):
    folder = recordings / "parts"
    # A CSV may go into the folder --split makes.
    assert main([str(recordings / "pcm16.wav"), "--split", str(folder), "--csv", str(folder / "frames.csv")]) == 0
    assert (folder / "frames.csv").read_text().startswith("time_s,energy,energy_db,zcr,zcr_hz,peak,zero_positive\n0.0,")
    with open(folder / "manifest.csv", newline="") as table:
        assert [row[:2] for row in csv.reader(table)] == [["source", "n"], [str(recordings / "pcm16.wav"), "1"], [str(recordings / "pcm16.wav"), "2"]]
    (recordings / "broken.wav").write_bytes(b"nonsense")
    assert main([str(recordings / "broken.wav"), str(recordings / "pcm16.wav"), "--split", str(folder)]) == 2
    with open(folder / "manifest.csv", newline="") as table:
        rows = list(csv.reader(table))
    assert rows[1][:5] == [str(recordings / "broken.wav"), "", "", "", ""] and rows[1][5]
    assert len(rows) == 4


def test_labels_are_a_track_per_file_of_start_end_and_number(recordings, capsys):
    path = recordings / "pcm16.wav"
    # A file replaced keeps its permissions.
    (recordings / "a.txt").write_text("old\n")
    (recordings / "a.txt").chmod(0o640)
    assert main([str(path), "--labels", str(recordings / "a.txt")]) == 0
    assert (recordings / "a.txt").stat().st_mode & 0o777 == 0o640
    spans = segments_of(path)
    assert (recordings / "a.txt").read_text() == "".join(f"{start:.6f}\t{end:.6f}\t{n}\n" for n, (start, end) in enumerate(spans, 1))
    assert (recordings / "a.txt").read_text().splitlines() == ["0.962500\t2.037500\t1", "3.462500\t4.537500\t2"]
    assert main([str(path), str(recordings / "pcm24.flac"), "--labels", str(recordings / "labels")]) == 0
    assert sorted(p.name for p in (recordings / "labels").iterdir()) == ["pcm16.wav.labels.txt", "pcm24.flac.labels.txt"]
    assert (recordings / "labels" / "pcm16.wav.labels.txt").read_text() == (recordings / "a.txt").read_text()


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--floor-window-s", "1e7"], "argument --floor-window-s: must be at most 600 s, got 1e7 (see --help)"),
        (["--min-silence-ms", "-5"], "argument --min-silence-ms: must be a positive number, got -5 (see --help)"),
        (["--pad-ms", "-1"], "argument --pad-ms: must be a number of at least 0, got -1 (see --help)"),
        (["--start-db", "0"], "argument --start-db: must be a positive number of dB, got 0 (see --help)"),
        (["--unvoiced-zcr", "x"], "argument --unvoiced-zcr: expected a number, got 'x' (see --help)"),
        (["--max-segment-s", "inf"], "argument --max-segment-s: must be a positive number, got inf (see --help)"),
        (["--keep-db", "6"], "argument --keep-db: must be at most --start-db (4), got 6 (see --help)"),
        # Two outputs of one place: the later would silently replace the earlier.
        (["--csv", "f.csv", "--segments-csv", "f.csv"], "--csv and --segments-csv both write to f.csv; give --segments-csv another name"),
        (["--labels", "out.txt", "--segments-csv", "./out.txt"], "--segments-csv and --labels both write to out.txt; give --labels another name"),
        (["--split", "sp/", "--csv", "sp/manifest.csv"], "--split and --csv both write to sp/manifest.csv; give --csv another name"),
        (["--split", "sp", "--labels", "sp//manifest.csv"], "--split and --labels both write to sp/manifest.csv; give --labels another name"),
        (["--csv", "sp", "--split", "sp"], "--split and --csv both write to sp; give --csv another name"),
        (["--sound-wav", "s.wav", "--labels", "no/../s.wav"], "--labels and --sound-wav both write to no/../s.wav; give --sound-wav another name"),
        (["--segments-csv", "s.csv", "--sound-wav", "s.csv/"], "--segments-csv and --sound-wav both write to s.csv; give --sound-wav another name"),
        # A name ending in a separator is a folder, which a table cannot be.
        (["--split", "sp/", "--csv", "c.v1/"], "c.v1/: cannot write CSV: Is a directory"),
        (["--segments-csv", "s.csv" + os.sep], f"s.csv{os.sep}: cannot write segments CSV: Is a directory"),
    ],
)
def test_segment_options_are_checked_with_the_apis_words(tmp_path, argv, message):
    result = subprocess.run([sys.executable, "-m", "ostrel", "missing.wav", *argv], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"ostrel: error: {message}\n")
    # Refused before any folder is made.
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("alias", ["hard-link", "symlink"])
def test_two_outputs_of_one_file_by_two_names_are_refused_and_a_device_takes_both(recordings, capsys, alias):
    (recordings / "a.csv").write_text("old\n")
    if alias == "hard-link":
        os.link(recordings / "a.csv", recordings / "b.csv")
    else:
        (recordings / "b.csv").symlink_to(recordings / "a.csv")
    path = str(recordings / "pcm16.wav")
    assert main([path, "--csv", str(recordings / "a.csv"), "--segments-csv", str(recordings / "b.csv")]) == 2
    assert capsys.readouterr().err == (
        f"ostrel: error: --csv and --segments-csv both write to {recordings / 'a.csv'}; give --segments-csv another name\n"
    )
    assert (recordings / "a.csv").read_text() == "old\n"
    assert main([path, "--csv", os.devnull, "--segments-csv", os.devnull, "--labels", os.devnull]) == 0


def test_every_segment_setting_reaches_the_segments(recordings, capsys):
    path = recordings / "pcm16.wav"
    values = dict(win_ms=30.0, hop_ms=5.0, floor_window_s=3.0, start_db=8.0, keep_db=4.0, unvoiced_zcr=2.0,
                  min_sound_ms=80.0, min_silence_ms=1500.0, pad_ms=20.0, max_segment_s=1.5)
    argv = []
    for name, value in values.items():
        option = {"win_ms": "--segment-win-ms", "hop_ms": "--segment-hop-ms"}.get(name, "--" + name.replace("_", "-"))
        argv += [option, str(value)]
    assert main([str(path), *argv, "--segments-csv", "-"]) == 0
    rows = list(csv.reader(capsys.readouterr().out.splitlines()))[1:]
    assert [(float(row[2]), float(row[3])) for row in rows] == segments_of(path, **values)
    # The gap of 1.5 s between the tones is bridged, then the whole cut into pieces of at most 1.5 s.
    assert len(rows) == 3


@pytest.mark.parametrize(("name", "form"), [("s.mp3", ("MP3", "MPEG_LAYER_III")), ("s.ogg", ("OGG", "VORBIS")), ("s.opus", ("OGG", "OPUS"))])
def test_a_lossy_format_is_written_as_its_name_says_or_refused_before_reading(recordings, name, form):
    if form[0] not in soundfile.available_formats() or not soundfile.check_format(*form):
        result = subprocess.run([sys.executable, "-m", "ostrel", "missing.wav", "--sound-wav", name], capture_output=True, text=True, timeout=60, cwd=recordings)
        line, offered = refused_sound_name(name, recordings)
        assert (line, name[1:] in offered) == (f"ostrel: error: {name}: --sound-wav cannot write a {name[1:]} file", False)
        return
    result = subprocess.run([sys.executable, "-m", "ostrel", "pcm16.wav", "--sound-wav", name], capture_output=True, text=True, timeout=60, cwd=recordings)
    assert (result.returncode, result.stderr) == (0, "")
    info = soundfile.info(recordings / name)
    assert (info.format, info.subtype, info.samplerate) == (*form, RATE)
    # Lossy, but the sound is there: as loud as the tones kept, within a dB.
    decoded = soundfile.read(recordings / name)[0]
    expected = kept(soundfile.read(recordings / "pcm16.wav")[0], segments_of(recordings / "pcm16.wav"))
    assert 10 * np.log10(np.mean(decoded**2) / np.mean(expected**2)) == pytest.approx(0, abs=1)


def test_a_run_that_fails_leaves_the_files_it_would_replace_as_they_were(recordings):
    # stdout on a full disk ends a run of many files with its tables unfinished: neither replaces the old one.
    for name in ("rows.csv", "segments.csv"):
        (recordings / name).write_text("old\n")
    with open("/dev/full", "w") as full:
        result = subprocess.run(
            [sys.executable, "-m", "ostrel", "pcm16.wav", "pcm24.flac", "--json", "--csv", "rows.csv", "--segments-csv", "segments.csv"],
            stdout=full, stderr=subprocess.PIPE, text=True, timeout=60, cwd=recordings,
        )
    assert (result.returncode, result.stderr) == (1, "ostrel: error: cannot write to stdout: No space left on device\n")
    assert [(recordings / name).read_text() for name in ("rows.csv", "segments.csv")] == ["old\n", "old\n"]
    assert not [name for name in os.listdir(recordings) if name.endswith(".part")]


def test_a_file_named_in_a_folder_that_is_an_input_is_that_files_error(recordings):
    # The second input is where the first one's sound would go.
    (recordings / "pcm16.wav.sound.wav").write_bytes((recordings / "pcm16.wav").read_bytes())
    before = (recordings / "pcm16.wav.sound.wav").read_bytes()
    result = subprocess.run(
        [sys.executable, "-m", "ostrel", "pcm16.wav", "pcm16.wav.sound.wav", "--sound-wav", "."],
        capture_output=True, text=True, timeout=60, cwd=recordings,
    )
    message = "pcm16.wav.sound.wav: cannot write sound: it is an input of the run"
    assert (result.returncode, result.stderr) == (1, f"ostrel: error: {message}\n")
    # The file whose sound was refused has its error instead of its line; the other one its line.
    assert [line.split(": ")[0] for line in result.stdout.splitlines()] == ["pcm16.wav.sound.wav"]
    assert (recordings / "pcm16.wav.sound.wav").read_bytes() == before
    assert (recordings / "pcm16.wav.sound.wav.sound.wav").exists()
