"""Many files: folders, worker processes, the combined CSV and the progress bar."""

import csv
import fcntl
import json
import multiprocessing
import os
import pty
import shutil
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
from concurrent.futures import Future
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

from ostrel.analysis import Analysis, Settings
from ostrel.cli import main
from ostrel.cli import batch
from ostrel.cli.batch import analyse_files, expand_inputs
from ostrel.cli.errors import InputError, MachineError
import presses
from presses import processes_in_session, workers_of
from test_cli import reference, run_cli
from test_cli_audio import expected_signal, random_ints, write_wav


@pytest.fixture
def folder(tmp_path):
    """Three WAV files of different lengths, one in a sub-folder, beside a non-WAV file."""
    root = tmp_path / "sounds"
    (root / "sub").mkdir(parents=True)
    (root / "readme.txt").write_text("not audio")
    signals = {}
    for name, frames, seed in [("b.wav", 6000, 1), ("a.WAV", 9000, 2), ("sub/c.wav", 3000, 3)]:
        ints = random_ints(2, frames, 1, seed) // (seed * 4)
        signals[str(write_wav(root / name, ints, 2))] = expected_signal(ints, 2)
    return root, signals


@pytest.fixture(params=multiprocessing.get_all_start_methods())
def start_method(request, monkeypatch):
    """Each way this Python can start worker processes, for the test and the commands it runs."""
    monkeypatch.setenv("OSTREL_START_METHOD", request.param)
    return request.param


def test_folders_expand_to_every_wav_below_them_sorted(folder, tmp_path):
    root, _ = folder
    extra = tmp_path / "z.wav"
    paths = expand_inputs([str(root), str(extra), str(root / "b.wav")])
    assert paths == [root / "a.WAV", root / "b.wav", root / "sub" / "c.wav", extra]


@pytest.mark.parametrize("names", [["b.wav", "b.wav"], ["sub", "sub/c.wav"]], ids=["file-twice", "folder-and-its-file"])
def test_one_file_named_twice_is_analysed_once_as_one_file(folder, capsys, names):
    root, signals = folder
    assert main([str(root / name) for name in names] + ["--json"]) == 0
    document = json.loads(capsys.readouterr().out)
    path = root / names[-1]
    assert (document["source"], document["frames"]["energy"]) == (str(path), reference(signals[str(path)], 8000)[1].tolist())


def test_options_may_stand_between_paths(folder, capsys):
    root, signals = folder
    assert main([str(root / "b.wav"), "--win", "1024", str(root / "a.WAV"), "--json"]) == 0
    entries = json.loads(capsys.readouterr().out)
    assert [(entry["source"], entry["win"]) for entry in entries] == [(str(root / "b.wav"), 1024), (str(root / "a.WAV"), 1024)]


def test_folders_hold_every_format_soundfile_reads_or_only_wav_without_it(tmp_path, monkeypatch):
    pytest.importorskip("soundfile")
    for name in ("a.flac", "b.OGG", "c.aiff", "d.mp3", "e.w64", "f.wav", "g.txt", "h"):
        (tmp_path / name).write_bytes(b"\0")
    assert [p.name for p in expand_inputs([str(tmp_path)])] == ["a.flac", "b.OGG", "c.aiff", "d.mp3", "e.w64", "f.wav"]
    # None in sys.modules makes ``import soundfile`` raise ImportError.
    monkeypatch.setitem(sys.modules, "soundfile", None)
    assert [p.name for p in expand_inputs([str(tmp_path)])] == ["f.wav"]


def test_worker_processes_give_the_same_results_in_order(folder, tmp_path, start_method):
    root, _ = folder
    bad = tmp_path / "bad.wav"
    bad.write_bytes(b"RIFF\4\0\0\0WAVE")
    paths = expand_inputs([str(root)]) + [bad]
    settings = Settings(win=1024, hop=256)
    serial, parallel = list(analyse_files(paths, settings, jobs=1)), list(analyse_files(paths, settings, jobs=2))

    assert [type(o) for o in parallel] == [Analysis, Analysis, Analysis, InputError]
    assert str(parallel[3]) == str(serial[3]) == f"{bad}: not a valid WAV file (no fmt chunk)"
    for one, other in zip(serial[:3], parallel[:3]):
        assert one.source == other.source
        np.testing.assert_array_equal(one.energy, other.energy)
        np.testing.assert_array_equal(one.zcr, other.zcr)
        np.testing.assert_array_equal(one.peaks, other.peaks)


@pytest.mark.parametrize(("argv", "zero_positive"), [([], True), (["--zero-breaks"], False)], ids=["default", "zero-breaks"])
def test_jobs_over_a_folder_print_a_line_per_file_and_one_csv(folder, tmp_path, argv, zero_positive):
    root, signals = folder
    out = tmp_path / "all.csv"
    result = run_cli(root, "--jobs", "2", "--csv", out, "--win", "1024", "--hop", "256", *argv)
    assert (result.returncode, result.stderr) == (0, "")

    lines = result.stdout.splitlines()
    assert [line.split(": ")[0] for line in lines] == [str(root / "a.WAV"), str(root / "b.wav"), str(root / "sub" / "c.wav")]
    rows = list(csv.reader(out.open()))
    assert rows[0] == ["file", "time_s", "energy", "energy_db", "zcr", "zcr_hz", "peak", "zero_positive", "error"]
    for line, (name, signal) in zip(lines, sorted(signals.items(), key=lambda item: item[0].lower())):
        times, energy, zcr, peaks = reference(signal, 8000, 1024, 256, zero_positive=zero_positive)
        assert {row[-1] for row in rows[1:] if row[0] == name} == {""}
        table = np.array([[float(v) for v in row[1:-1]] for row in rows[1:] if row[0] == name])
        expected = [
            times, energy, 10 * np.log10(energy), zcr, zcr * 8000, np.isin(np.arange(len(energy)), peaks),
            np.full(len(energy), zero_positive),
        ]
        np.testing.assert_array_equal(table, np.column_stack(expected))
        strongest = peaks[np.argmax(energy[peaks])]
        assert line == (
            f"{name}: {len(signal) / 8000:.3f} s, 8000 Hz, {len(energy)} frames, "
            f"energy mean {energy.mean():.4g} max {energy.max():.4g} ({10 * np.log10(energy.max()):.4g} dBFS), "
            f"zcr mean {zcr.mean():.4g}{'' if zero_positive else ' (a zero breaking a crossing)'}, "
            f"{len(peaks)} peaks (strongest at {times[strongest]:.3f} s)"
        )
    assert len(rows) == 1 + sum(len(reference(s, 8000, 1024, 256)[1]) for s in signals.values())


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_bad_file_among_many_is_reported_in_every_output_and_the_rest_analysed(folder, tmp_path, jobs):
    root, _ = folder
    (root / "broken.wav").write_text("no")
    message = f"{root / 'broken.wav'}: not a WAV file nor another audio format that soundfile reads"
    result = run_cli(root, "--jobs", jobs, "--json", "--csv", tmp_path / "out.csv")
    assert (result.returncode, result.stderr) == (2, f"ostrel: error: {message}\n")
    documents = json.loads(result.stdout)
    assert [(doc["source"], doc["error"]) for doc in documents] == [
        (str(root / "a.WAV"), None), (str(root / "b.wav"), None),
        (str(root / "broken.wav"), message), (str(root / "sub" / "c.wav"), None),
    ]
    assert documents[2] == {"source": str(root / "broken.wav"), "error": message}
    rows = [row for row in csv.reader((tmp_path / "out.csv").open()) if row[0] == str(root / "broken.wav")]
    assert rows == [[str(root / "broken.wav"), "", "", "", "", "", "", "", message]]


def test_plot_refuses_several_files(folder):
    root, _ = folder
    result = run_cli(root, "--plot", "x.png")
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == "ostrel: error: --plot x.png holds one picture, but 3 files were given; give a folder\n"


def _stderr_through(folder, terminal):
    """Run over the folder with stderr on a pseudo-terminal or a pipe; returns what stderr got."""
    root, _ = folder
    command = [sys.executable, "-m", "ostrel", str(root)]
    if not terminal:
        return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=60).stderr
    main_end, child_end = pty.openpty()
    # A new pseudo-terminal is 0 columns wide, where the bar draws nothing.
    fcntl.ioctl(child_end, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=child_end)
    os.close(child_end)
    chunks = []
    while True:
        try:
            chunk = os.read(main_end, 4096)
        except OSError:  # the child closed its end
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(main_end)
    assert process.wait(timeout=60) == 0
    return b"".join(chunks).decode()


def test_progress_bar_only_on_a_terminal(folder):
    pytest.importorskip("tqdm")
    shown = _stderr_through(folder, terminal=True)
    assert "0/3 [00:00<?, ?file/s]" in shown
    assert _stderr_through(folder, terminal=False) == ""


def run_cli_in(cwd, *args):
    return subprocess.run([sys.executable, "-m", "ostrel", *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=120)


def _files_under(folder):
    return {path.relative_to(folder): path.read_bytes() for path in sorted(folder.rglob("*")) if path.is_file()}


@pytest.mark.parametrize(
    "output",
    [["--csv", "rows.csv"], ["--json"], ["--json", "--segments"], ["--segments-csv", "rows.csv"],
     ["--split", "out/parts", "--labels", "out/labels"]],
)
def test_on_a_dask_cluster_output_and_status_equal_the_local_run(folder, dask_scheduler, tmp_path, output):
    root, _ = folder
    (root / "broken.wav").write_text("no")
    truncated = write_wav(root / "cut.wav", random_ints(2, 3000, 1, 4), 2)
    truncated.write_bytes(truncated.read_bytes()[: 44 + 2 * 2000])
    if "--split" in output:
        # Sound to cut: two bursts of a tone in silence.
        burst = np.round(np.sin(np.arange(2000) * 0.3) * 8000).astype(np.int64)
        write_wav(root / "tone.wav", np.concatenate((np.zeros(4000, np.int64), burst, np.zeros(4000, np.int64), burst, np.zeros(4000, np.int64))), 2)
    # Relative paths: the workers have working folders of their own.
    relative = root.relative_to(tmp_path)
    local = run_cli_in(tmp_path, relative, *output)
    local_csv = (tmp_path / "rows.csv").read_text() if "rows.csv" in output else None
    # The files cut out, their manifest and labels: the same from the cluster.
    local_files = _files_under(tmp_path / "out") if "--split" in output else None
    if local_files is not None:
        manifest = (tmp_path / "out" / "parts" / "manifest.csv").read_text().splitlines()
        assert manifest[0] == "source,n,start_s,end_s,path,error"
        assert [row.split(",")[:2] for row in manifest if "tone" in row] == [[str(relative / "tone.wav"), "1"], [str(relative / "tone.wav"), "2"]]
        shutil.rmtree(tmp_path / "out")
    remote = run_cli_in(tmp_path, relative, "--dask", dask_scheduler, *output)
    if local_files is not None:
        assert _files_under(tmp_path / "out") == local_files

    assert (remote.returncode, remote.stdout, remote.stderr) == (local.returncode, local.stdout, local.stderr)
    assert local.returncode == 2
    # Noise alone has no sound to cut.
    silent = "ostrel: warning: {}: no sound found; no piece written to out/parts\n" if "--split" in output else ""
    assert local.stderr == (
        silent.format(relative / "a.WAV") + silent.format(relative / "b.wav")
        + f"ostrel: error: {relative / 'broken.wav'}: not a WAV file nor another audio format that soundfile reads\n"
        f"ostrel: warning: {relative / 'cut.wav'}: file is truncated: the header promises 3000 samples, it holds 2000; "
        "analysed as far as it goes\n" + silent.format(relative / "cut.wav") + silent.format(relative / "sub" / "c.wav")
    )
    assert len(local.stdout.splitlines()) == (1 if "--json" in output else 5 if "--split" in output else 4)
    if local_csv is not None:
        assert (tmp_path / "rows.csv").read_text() == local_csv


@pytest.mark.parametrize("where", ["processes", "cluster"])
def test_outcomes_come_in_input_order_though_the_first_file_finishes_last(folder, tmp_path, request, where):
    root, _ = folder
    # A pipe as the first file: its worker waits until the others are done.
    late = tmp_path / "late.wav"
    os.mkfifo(late)
    paths = [late, *expand_inputs([str(root)])]
    seen, opened_by = [], []

    def open_late(by):
        # Opened and closed for writing: the waiting worker reads an empty file.
        if not opened_by:
            opened_by.append(by)
            late.write_bytes(b"")

    def progress(finished, total):
        for item in finished:
            seen.append(item)
            if len(seen) == total - 1:
                threading.Thread(target=open_late, args=("progress",), daemon=True).start()
            yield item

    # Were the progress fed in input order, it would never see the others
    # first: then the pipe is opened anyway, later, and the test fails.
    fallback = threading.Timer(20, open_late, args=("timeout",))
    fallback.daemon = True
    fallback.start()
    address = request.getfixturevalue("dask_client_address") if where == "cluster" else None
    try:
        outcomes = list(analyse_files(paths, Settings(), jobs=2, progress=progress, dask_address=address))
    finally:
        fallback.cancel()

    assert opened_by == ["progress"]
    assert len(seen) == len(paths)
    assert str(outcomes[0]) == f"{late}: file is empty"
    assert [outcome.source for outcome in outcomes[1:]] == [str(path) for path in paths[1:]]


def test_files_are_started_at_most_the_given_count_beyond_the_last_outcome_handed_on():
    started = []

    def submit(batch):
        started.append(batch[0])
        future = Future()
        future.set_result([f"outcome {batch[0]}"])
        return future

    outcomes = batch._in_input_order([[index] for index in range(20)], submit, 8, None)
    assert (next(outcomes), started) == ("outcome 0", list(range(8)))
    assert (list(outcomes), started) == ([f"outcome {index}" for index in range(1, 20)], list(range(20)))


def test_workers_that_come_and_go_within_the_timeout_do_not_end_a_cluster_run(monkeypatch):
    cluster = SimpleNamespace(now=0.0, workers={})
    cluster.nthreads = lambda callback_timeout: cluster.workers
    monkeypatch.setattr(batch, "time", SimpleNamespace(monotonic=lambda: cluster.now))
    watch = batch._NoWorkerWatch(cluster, "tcp://127.0.0.1:8786", 10)
    # (seconds, workers): none for 6 s, one, then none again for 9 s.
    for cluster.now, cluster.workers in [(0, {}), (6, {"w": 1}), (12, {}), (21, {})]:
        watch()
    cluster.now = 22
    with pytest.raises(MachineError) as raised:
        watch()
    assert str(raised.value) == (
        "the Dask cluster at tcp://127.0.0.1:8786 has had no worker for 10 s; "
        "start workers, or wait longer with --no-worker-timeout"
    )


def interrupt(command):
    """Ctrl-C as a terminal sends it: to the whole process group."""
    os.killpg(command, signal.SIGINT)


def kill_a_worker(command):
    """As the system's out-of-memory killer ends a process."""
    os.kill(workers_of(command)[0], signal.SIGKILL)


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads processes from /proc")
@pytest.mark.parametrize(
    ("stop", "status", "message"),
    [
        (interrupt, 130, "interrupted"),
        (kill_a_worker, 1, "ostrel: error: a worker process was killed (out of memory?); try fewer than 2 jobs\n"),
    ],
)
def test_a_jobs_run_ends_at_once_in_one_line_and_leaves_no_worker(folder, tmp_path, start_method, stop, status, message):
    root, _ = folder
    # A pipe nobody writes keeps one worker busy for good.
    stuck = tmp_path / "stuck.wav"
    os.mkfifo(stuck)
    process = subprocess.Popen(
        [sys.executable, "-m", "ostrel", str(root), str(stuck), "--jobs", "2"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )
    deadline = time.monotonic() + 60
    while len(workers_of(process.pid)) < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert len(workers_of(process.pid)) == 2
    time.sleep(0.5)

    stopped = time.monotonic()
    stop(process.pid)
    stdout, stderr = process.communicate(timeout=30)
    ended = time.monotonic() - stopped

    assert process.returncode == status
    # Lines are streamed in input order: whole lines of the files before the stuck one, at most.
    assert all(line.startswith(f"{root}{os.sep}") for line in stdout.splitlines())
    assert stdout == "" or stdout.endswith("\n")
    assert stderr.count("\n") == 1 and message in stderr, stderr
    # At once, not after the stuck file: generous for a busy machine, where
    # ending three processes can take a second or more.
    assert ended < 10
    assert processes_in_session(process.pid) == []


# A pool of one worker used once and ended, then the command's last step; the
# process's children left, zombies included.
POOL_AND_HELPERS_ENDED = """
import os, sys
from pathlib import Path
from ostrel.cli.pool import WorkerPool, end_helper_processes
pool = WorkerPool(1, sys.argv[1])
future = pool.submit(os.getpid)
pool.wait()
pool.close()
end_helper_processes()
children = []
for entry in Path("/proc").iterdir():
    try:
        if entry.name.isdigit() and int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1]) == os.getpid():
            children.append(int(entry.name))
    except OSError:
        pass
print(future.result() != os.getpid(), children)
"""


# Worker processes in trouble, each scenario in a process of its own (a
# session of its own too) under the start method named by its argument.
POOL_SCENARIOS = {
    # Ctrl-C to the whole group while a worker still starts: it must not die of it.
    "ctrl-c-while-a-worker-starts": """
import os, signal, sys
from ostrel.cli.pool import WorkerPool
signal.signal(signal.SIGINT, lambda *_: print("parent interrupted"))
pool = WorkerPool(1, sys.argv[1])
future = pool.submit(os.getpid)
os.killpg(0, signal.SIGINT)
pool.wait()
pool.close()
print(future.result() != os.getpid())
""",
    # A pool made in a thread other than the main one (which cannot change
    # the parent's handlers), Ctrl-C to its worker in the middle of a task:
    # the worker ignores it and the task ends. It waits on a pipe, which
    # it has opened once the writer's open returns.
    "ctrl-c-to-a-worker-mid-task": """
import os, signal, sys, tempfile, threading
from pathlib import Path
from ostrel.cli.pool import WorkerPool
def run():
    pool = WorkerPool(1, sys.argv[1])
    with tempfile.TemporaryDirectory() as folder:
        fifo = Path(folder, "task")
        os.mkfifo(fifo)
        future = pool.submit(Path.read_text, fifo)
        with fifo.open("w") as writer:
            os.kill(pool._workers[0].process.pid, signal.SIGINT)
            writer.write("done")
        pool.wait()
        pool.close()
    print(future.result() == "done")
thread = threading.Thread(target=run)
thread.start()
thread.join()
""",
    # A worker killed in the middle of sending a result larger than a pipe holds.
    "killed-while-sending": """
import os, signal, sys
from ostrel.cli.pool import WorkerLost, WorkerPool
pool = WorkerPool(1, sys.argv[1])
worker = pool.submit(os.getpid)
pool.wait()
pool.submit(bytes, 50_000_000)
while not pool._workers[0].results.poll(0.01):
    pass
os.kill(worker.result(), signal.SIGKILL)
try:
    pool.wait()
except WorkerLost:
    pool.close()
    print(True)
""",
}


@pytest.mark.parametrize("scenario", POOL_SCENARIOS.values(), ids=POOL_SCENARIOS.keys())
def test_workers_in_trouble_end_as_they_should(start_method, scenario):
    process = subprocess.run(
        [sys.executable, "-c", scenario, start_method], capture_output=True, text=True, timeout=60, start_new_session=True
    )
    assert (process.stdout.splitlines()[-1:], process.stderr) == (["True"], "")


@pytest.mark.parametrize(
    ("available", "variable", "chosen"),
    [
        (["fork", "spawn", "forkserver"], "", "forkserver"),
        (["spawn", "fork"], "", "spawn"),
        (["spawn"], "", "spawn"),
        (["fork", "spawn", "forkserver"], "fork", "fork"),
        (["spawn", "fork"], "forkserver", InputError("OSTREL_START_METHOD=forkserver: not a start method here; use one of spawn, fork")),
    ],
    ids=["forkserver-where-there-is-one", "else-spawn-not-fork", "spawn-alone", "chosen", "chosen-but-missing"],
)
def test_workers_start_by_forkserver_else_by_spawn_unless_chosen(monkeypatch, available, variable, chosen):
    from ostrel.cli import pool

    # A forked worker would inherit locks other threads of the caller held.
    monkeypatch.setattr(multiprocessing, "get_all_start_methods", lambda: available)
    monkeypatch.setenv("OSTREL_START_METHOD", variable)
    if isinstance(chosen, InputError):
        with pytest.raises(InputError) as raised:
            pool.start_method()
        assert str(raised.value) == str(chosen)
    else:
        assert pool.start_method() == chosen


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads processes from /proc")
def test_the_command_ends_and_reaps_the_helpers_of_its_workers(start_method):
    # Left to end on their own, the forkserver and the resource tracker
    # outlive the command, where nothing may reap them.
    result = subprocess.run([sys.executable, "-c", POOL_AND_HELPERS_ENDED, start_method], capture_output=True, text=True, timeout=60)
    assert (result.stdout, result.stderr) == ("True []\n", "")


def wait_until(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "waited in vain"
        time.sleep(0.02)


def documents_name_every_file(stdout_path, csv_path, paths, reason):
    """The JSON and CSV left by a run ended early are whole: every analysed
    file first, then each file not analysed with ``not analysed: reason``."""
    message = f"not analysed: {reason}"
    entries = json.loads(stdout_path.read_text())
    assert [entry["source"] for entry in entries] == [str(path) for path in paths]
    analysed = sum(entry["error"] is None for entry in entries)
    assert [entry["error"] for entry in entries[analysed:]] == [message] * (len(paths) - analysed)
    assert csv_names_every_file(csv_path, paths, reason) == analysed
    return analysed


def csv_names_every_file(csv_path, paths, reason):
    """The CSV left by a run ended early is whole: the rows of every analysed
    file first, then a row for each file not analysed; how many were."""
    message = f"not analysed: {reason}"
    rows = list(csv.reader(csv_path.open()))
    assert all(len(row) == len(rows[0]) for row in rows)
    errors = [row for row in rows[1:] if row[-1]]
    analysed = len(paths) - len(errors)
    assert errors == [[str(path), "", "", "", "", "", "", "", message] for path in paths[analysed:]]
    assert list(dict.fromkeys(row[0] for row in rows[1:] if not row[-1])) == [str(path) for path in paths[:analysed]]
    return analysed


@pytest.mark.parametrize("output", [["--json"], []], ids=["json", "lines"])
@pytest.mark.parametrize(
    "method", [None, *multiprocessing.get_all_start_methods()], ids=lambda method: f"jobs-2-{method}" if method else "here"
)
def test_a_reader_closing_stdout_ends_quietly_with_the_csv_file_naming_the_files_not_analysed(tmp_path, monkeypatch, output, method):
    paths = [write_wav(tmp_path / f"{index}.wav", random_ints(2, 40000, 1, index), 2) for index in range(4)]
    rows, segments = tmp_path / "rows.csv", tmp_path / "segments.csv"
    if method:
        monkeypatch.setenv("OSTREL_START_METHOD", method)
    process = subprocess.Popen(
        [sys.executable, "-m", "ostrel", *map(str, paths), "--csv", str(rows), "--segments-csv", str(segments),
         "--win", "16", "--hop", "4", *output]
        + (["--jobs", "2"] if method else []),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )
    # The reader takes a little and goes, as head does.
    process.stdout.read(10)
    process.stdout.close()
    _, stderr = process.communicate(timeout=60)
    assert (process.returncode, stderr) == (0, "")
    analysed = csv_names_every_file(rows, paths, "the reader of stdout closed it")
    assert analysed < len(paths)
    # The segments CSV too names every file not analysed.
    assert [row for row in list(csv.reader(segments.open()))[1:] if row[-1]] == [
        [str(path), "", "", "", "not analysed: the reader of stdout closed it"] for path in paths[analysed:]
    ]
    if Path("/proc/self/stat").exists():
        assert processes_in_session(process.pid) == []


@pytest.mark.parametrize("count", [1, 3], ids=["one-file", "many-files"])
def test_a_csv_pipe_whose_reader_goes_is_a_failure_not_the_end_of_stdout(tmp_path, count):
    paths = [write_wav(tmp_path / f"{index}.wav", random_ints(2, 40000, 1, index), 2) for index in range(count)]
    rows = tmp_path / "rows.csv"
    os.mkfifo(rows)

    def read_a_little():
        with rows.open("rb") as reader:
            reader.read(10)

    reader = threading.Thread(target=read_a_little, daemon=True)
    reader.start()
    # Far more rows than a pipe holds: the command writes on after the reader
    # has gone. Development mode reports, as 3.14 does by default, a file
    # that fails again as it is collected.
    result = run_cli(*paths, "--csv", rows, "--win", "16", "--hop", "4", env={**os.environ, "PYTHONDEVMODE": "1"})
    reader.join(60)
    assert (result.returncode, result.stderr) == (1, f"ostrel: error: cannot write to {rows}: Broken pipe\n")


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads processes from /proc")
def test_interrupts_while_large_results_flow_end_at_once_with_whole_output(tmp_path, start_method):
    # Results of about 700 kB each, ten pipe buffers: a worker ended in the
    # middle of sending one leaves half a message in the pool's result pipe.
    paths = [write_wav(tmp_path / f"{index:02d}.wav", random_ints(2, 352_800, 1, 7), 2, rate=44100) for index in range(32)]
    # More names for the same files: a run long enough to be interrupted
    # however fast reading becomes.
    for copy in range(1, 16):
        for path in paths[:32]:
            link = path.with_suffix(f".{copy}.wav")
            os.link(path, link)
            paths.append(link)
    rng = np.random.default_rng(3)
    # The lines of the summary; JSON and CSV are pressed at chosen moments below.
    for attempt in range(2):
        out, rows = tmp_path / "out", tmp_path / "rows.csv"
        documents = []
        with out.open("w") as stdout:
            process = subprocess.Popen(
                [sys.executable, "-m", "ostrel", *map(str, paths), "--jobs", "2", "--win", "32", "--hop", "8", *documents],
                stdout=stdout, stderr=subprocess.PIPE, text=True, start_new_session=True,
            )
        wait_until(lambda: len(workers_of(process.pid)) == 2)
        time.sleep(rng.uniform(0.1, 0.5))
        interrupt(process.pid)
        try:
            _, stderr = process.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            pytest.fail(f"attempt {attempt}: still running 15 s after Ctrl-C")
        assert (process.returncode, stderr) == (130, "ostrel: interrupted\n"), attempt
        text = out.read_text()
        assert text == "" or text.endswith(" s)\n"), attempt
        lines = text.splitlines()
        assert [line.split(": ")[0] for line in lines] == [str(path) for path in paths[: len(lines)]], attempt
        assert len(lines) < len(paths), attempt
        assert processes_in_session(process.pid) == []


@pytest.fixture(scope="module")
def pressed_run(tmp_path_factory):
    """Six files whose JSON entries (about 360 kB each) outgrow a pipe's
    buffer, and what a run left alone writes of them."""
    folder = tmp_path_factory.mktemp("pressed")
    paths = presses.write_files(folder / "sounds", 6, 2.0)
    return folder / "sounds", paths, presses.reference(folder / "sounds", "here", folder / "rows.csv")


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads processes from /proc")
@pytest.mark.parametrize(
    ("method", "moment"),
    [(method, moment) for method in presses.METHODS for moment in presses.MOMENTS[1:] if (method, moment) != ("here", "pool-start")],
)
def test_ctrl_c_at_each_moment_ends_at_once_with_whole_documents(pressed_run, tmp_path, method, moment):
    # Pressed once the first worker exists, in the middle of the stream of
    # results, within the last entry, and once the whole document is out;
    # the reader keeps reading. (tools/check-interrupts presses many times.)
    folder, paths, full = pressed_run
    run = presses.press(folder, method, moment, tmp_path / "rows.csv", full, at=full.size // 2)
    assert presses.problems(run, paths, moment, full) == []
    if moment != "exit":
        # Only once the whole document is out may the press find the status settled (0).
        assert (run.status, run.stderr) == (130, "ostrel: interrupted\n")
    # Generous for a busy machine: a lost press waits for the whole run.
    assert run.seconds < 10


# Preludes that press Ctrl-C (a SIGINT to the command itself) at a chosen early moment.
CTRL_C = "import os, signal; ctrl_c = lambda: os.kill(os.getpid(), signal.SIGINT)"
EARLY_MOMENTS = {
    "importing": (
        "import importlib.abc, sys\n"
        "class CtrlC(importlib.abc.MetaPathFinder):\n"
        "    def find_spec(self, name, path, target=None):\n"
        "        if name == 'ostrel.cli.run': ctrl_c()\n"
        "sys.meta_path.insert(0, CtrlC())"
    ),
    "importing-numpy": (
        "import importlib.abc, sys\n"
        "class CtrlC(importlib.abc.MetaPathFinder):\n"
        "    def find_spec(self, name, path, target=None):\n"
        "        if name == 'numpy': ctrl_c()\n"
        "sys.meta_path.insert(0, CtrlC())"
    ),
    "finding-files": (
        "import ostrel.cli.run as run; real = run.expand_inputs; "
        "run.expand_inputs = lambda inputs: (ctrl_c(), real(inputs))[1]"
    ),
    "opening-the-csv": (
        "from ostrel.cli.output import Output; real = Output.open.__func__; "
        "Output.open = classmethod(lambda cls, *args: (real(cls, *args), ctrl_c())[0])"
    ),
    "starting-workers": (
        "from ostrel.cli.pool import WorkerPool; real = WorkerPool.submit; "
        "WorkerPool.submit = lambda self, *args: (real(self, *args), ctrl_c())[0]"
    ),
    "awaiting-results": (
        "from ostrel.cli.pool import WorkerPool; real = WorkerPool.wait; "
        "WorkerPool.wait = lambda self: (ctrl_c(), real(self))[1]"
    ),
}


@pytest.mark.parametrize("moment", EARLY_MOMENTS.values(), ids=EARLY_MOMENTS.keys())
def test_ctrl_c_before_the_first_file_is_done_leaves_whole_documents_naming_every_file(folder, tmp_path, start_method, moment):
    root, signals = folder
    paths = [Path(path) for path in sorted(signals, key=str.lower)]
    rows = tmp_path / "rows.csv"
    result = run_cli(root, "--jobs", "2", "--json", "--csv", rows, prelude=f"{CTRL_C}\n{moment}")
    assert (result.returncode, result.stderr) == (130, "ostrel: interrupted\n")
    (tmp_path / "out.json").write_text(result.stdout)
    assert documents_name_every_file(tmp_path / "out.json", rows, paths, "interrupted") == 0


def run_on_a_cluster_to_be_stopped(tmp_path, own_cluster, stop, *options):
    """A run over five files, the third a pipe, on a cluster of one worker:
    stopped (a part killed) once the worker waits on the pipe."""
    paths = [write_wav(tmp_path / f"{name}.wav", random_ints(2, 800, 1, 5), 2) for name in "ab"]
    stuck = tmp_path / "stuck.wav"
    os.mkfifo(stuck)
    paths += [stuck] + [write_wav(tmp_path / f"{name}.wav", random_ints(2, 800, 1, 6), 2) for name in "cd"]
    scheduler = own_cluster()
    worker = own_cluster(scheduler[0])
    out, rows = tmp_path / "out.json", tmp_path / "rows.csv"
    with out.open("w") as stdout:
        process = subprocess.Popen(
            [sys.executable, "-m", "ostrel", *map(str, paths), "--dask", scheduler[0], "--json", "--csv", str(rows), *options],
            stdout=stdout, stderr=subprocess.PIPE, text=True,
        )
    # Opening a pipe for writing without blocking succeeds once a reader has it.
    writer = []

    def reader_waits():
        try:
            writer.append(os.open(stuck, os.O_WRONLY | os.O_NONBLOCK))
        except OSError:
            return False
        return True

    try:
        wait_until(reader_waits)
        stop(scheduler[1], worker[1])
        _, stderr = process.communicate(timeout=30)
    finally:
        process.kill()
        for fd in writer:
            os.close(fd)
    return process.returncode, stderr, out, rows, paths, scheduler[0]


@pytest.mark.parametrize(
    ("stop", "options", "message"),
    [
        (
            lambda scheduler, worker: scheduler.kill(), [],
            "lost the connection to the Dask scheduler at {address}; is it still running?",
        ),
        (
            lambda scheduler, worker: worker.kill(), ["--no-worker-timeout", "1"],
            "the Dask cluster at {address} has had no worker for 1 s; start workers, or wait longer with --no-worker-timeout",
        ),
    ],
    ids=["scheduler-lost", "every-worker-lost"],
)
def test_a_cluster_lost_ends_in_one_line_with_whole_documents_naming_the_files_not_analysed(tmp_path, own_cluster, stop, options, message):
    status, stderr, out, rows, paths, address = run_on_a_cluster_to_be_stopped(tmp_path, own_cluster, stop, *options)
    message = message.format(address=address)
    assert (status, stderr) == (1, f"ostrel: error: {message}\n")
    # The files before the pipe, unless their results were still on the way.
    assert documents_name_every_file(out, rows, paths, message) <= 2


def test_running_out_of_memory_midway_leaves_whole_documents_naming_the_files_not_analysed(folder, tmp_path):
    root, signals = folder
    paths = sorted(signals)
    # The second file's analysis needs more memory than there is.
    prelude = (
        "import ostrel.cli.batch as b; real = b.analyse_file; "
        "b.analyse_file = lambda p, s: real(p, s) if p.name != 'b.wav' else bytearray(1 << 62); "
        "import runpy, sys; sys.argv = ['ostrel'] + sys.argv[1:]; runpy.run_module('ostrel', run_name='__main__')"
    )
    out, rows = tmp_path / "out.json", tmp_path / "rows.csv"
    with out.open("w") as stdout:
        process = subprocess.run(
            [sys.executable, "-c", prelude, *paths, "--json", "--csv", str(rows)],
            stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=60,
        )
    message = "out of memory; analyse fewer files at once (--jobs) or use a larger --hop"
    assert (process.returncode, process.stderr) == (1, f"ostrel: error: {message}\n")
    assert documents_name_every_file(out, rows, [Path(path) for path in paths], message) == 1


def test_a_scheduler_without_ostrel_ends_in_one_line_with_whole_documents(tmp_path, own_cluster):
    paths = [write_wav(tmp_path / f"{name}.wav", random_ints(2, 800, 1, 5), 2) for name in "ab"]
    scheduler = own_cluster(without_ostrel=True)
    own_cluster(scheduler[0])
    out, rows = tmp_path / "out.json", tmp_path / "rows.csv"
    with out.open("w") as stdout:
        process = subprocess.run(
            [sys.executable, "-m", "ostrel", *map(str, paths), "--dask", scheduler[0], "--json", "--csv", str(rows)],
            stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=120,
        )
    message = (
        f"the Dask cluster at {scheduler[0]} could not run ostrel's task (ModuleNotFoundError: No module named "
        "'ostrel'); its scheduler and workers need ostrel and the packages it uses, as installed here"
    )
    assert (process.returncode, process.stderr) == (1, f"ostrel: error: {message}\n")
    assert documents_name_every_file(out, rows, paths, message) == 0


def test_a_cluster_gets_files_in_batches_and_progress_sees_each_file(dask_client_address, tmp_path):
    from distributed import Client, get_task_stream

    paths = [write_wav(tmp_path / f"{index:02d}.wav", random_ints(2, 400, 1, index), 2) for index in range(40)]
    seen = []

    def progress(finished, total):
        for item in finished:
            seen.append(item[0])
            yield item

    with Client(dask_client_address, set_as_default=False) as client, get_task_stream(client) as stream:
        outcomes = list(analyse_files(paths, Settings(win=64, hop=16), progress=progress, dask_address=dask_client_address))
    assert [outcome.source for outcome in outcomes] == [str(path) for path in paths]
    assert sorted(seen) == list(range(40))
    # Two workers, four batches each: 40 files in 8 tasks of 5.
    assert len([task for task in stream.data if task["key"].startswith("_outcomes-")]) == 8


@pytest.mark.parametrize(("at_start", "raised"), [(signal.default_int_handler, True), (signal.SIG_IGN, False)])
def test_ctrl_c_while_a_file_is_reported_waits_for_its_end_unless_ignored_from_the_start(at_start, raised):
    from ostrel.cli.interrupts import DeferredInterrupt

    # A command started with Ctrl-C ignored (as "&" in a script does) ignores it for every file count.
    previous = signal.signal(signal.SIGINT, at_start)
    reported, interrupted = [], False
    try:
        try:
            with DeferredInterrupt():
                os.kill(os.getpid(), signal.SIGINT)
                reported.append(True)
        except KeyboardInterrupt:
            interrupted = True
        assert (interrupted, reported, signal.getsignal(signal.SIGINT)) == (raised, [True], at_start)
    finally:
        signal.signal(signal.SIGINT, previous)
