"""Ctrl-C pressed at a chosen moment of a run over many files, and what the
run must leave: status 130 and one line at once, whole documents naming
every file, no process behind. Used by the suite for a few moments and by
``tools/check-interrupts`` for many presses at each.
"""

import csv
import io
import json
import os
import re
import selectors
import signal
import subprocess
import sys
import time
import wave
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

# Where a press falls: as the interpreter starts and ostrel imports, once
# the first worker exists, within the stream of results (after a given
# byte of it), within the last entry, and once the whole document is out.
MOMENTS = ("start-up", "pool-start", "result", "last-write", "exit")
# Run in the caller's process ("here") or by workers started each way.
METHODS = ("here", *__import__("multiprocessing").get_all_start_methods())
INTERRUPTED = "ostrel: interrupted\n"
NOT_ANALYSED = "not analysed: interrupted"


def processes_in_session(session):
    """(pid, state) of every process whose session is ``session``, read from /proc."""
    return [(pid, state) for pid, state, _, _ in _processes_in_session(session)]


def _processes_in_session(session):
    found = []
    for entry in Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text()
            command = (entry / "cmdline").read_bytes()
        except (OSError, ValueError):
            continue
        fields = stat.rsplit(")", 1)[1].split()
        if entry.name.isdigit() and int(fields[3]) == session:
            found.append((int(entry.name), fields[0], int(fields[1]), command))
    return found


def workers_of(command):
    """The worker processes of the command started in a session of its own:
    its children, or those of its forkserver, but not the forkserver or the
    resource tracker themselves."""
    found = _processes_in_session(command)
    helpers = {pid for pid, _, parent, line in found if parent == command and b"multiprocessing." in line and b"spawn_main" not in line}
    return [pid for pid, _, parent, _ in found if parent in helpers or (parent == command and pid not in helpers)]


def write_files(folder, count, seconds, rate=8000):
    """``count`` mono 16-bit WAVs of noise, ``seconds`` long each, named in order."""
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(count)
    paths = []
    for index in range(count):
        path = folder / f"{index:03d}.wav"
        with wave.open(str(path), "wb") as out:
            out.setnchannels(1)
            out.setsampwidth(2)
            out.setframerate(rate)
            out.writeframes(rng.integers(-3000, 3000, int(seconds * rate), dtype="<i2").tobytes())
        paths.append(path)
    return paths


def command(folder, method, rows):
    """The run a press interrupts: every file to JSON on stdout and a CSV file."""
    jobs = [] if method == "here" else ["--jobs", "2"]
    return [sys.executable, "-m", "ostrel", str(folder), *jobs, "--json", "--csv", str(rows), "--win", "16", "--hop", "4"]


def environment(method):
    env = {key: value for key, value in os.environ.items() if key not in ("PYTHONUNBUFFERED", "OSTREL_START_METHOD")}
    if method != "here":
        env["OSTREL_START_METHOD"] = method
    return env


@dataclass
class Run:
    """What one pressed run left."""

    status: int | None
    stdout: bytes
    stderr: str
    rows: str
    # From the press to the end of the process (None: not pressed, or still running).
    seconds: float | None
    left: list = field(default_factory=list)
    pressed: bool = True


def press(folder, method, moment, rows, full, at=0.0, deadline=60.0, lag=0.0):
    """Runs the command over ``folder`` and presses Ctrl-C (to its whole
    process group, as a terminal does) at ``moment``: ``at`` seconds after
    the start for "start-up", after byte ``at`` of stdout for "result";
    ``full`` is what a run left alone writes. The reader keeps reading,
    waiting ``lag`` seconds after each read."""
    if rows.exists():
        rows.unlink()
    started = time.monotonic()
    process = subprocess.Popen(
        command(folder, method, rows), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=environment(method), start_new_session=True,
    )
    out, err = bytearray(), bytearray()
    pressed_at = None
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    selector.register(process.stderr, selectors.EVENT_READ)
    open_streams = 2
    try:
        while open_streams:
            if pressed_at is None and _due(process.pid, moment, out, started, full, at):
                os.killpg(process.pid, signal.SIGINT)
                pressed_at = time.monotonic()
            if time.monotonic() - started > deadline:
                break
            polling = moment in ("start-up", "pool-start") and pressed_at is None
            for key, _ in selector.select(0.005 if polling else 0.5):
                chunk = os.read(key.fd, 1 << 16)
                if not chunk:
                    selector.unregister(key.fileobj)
                    open_streams -= 1
                elif key.fileobj is process.stdout:
                    out += chunk
                    if lag:
                        time.sleep(lag)
                else:
                    err += chunk
        try:
            status = process.wait(max(0.1, deadline - (time.monotonic() - started)))
        except subprocess.TimeoutExpired:
            status = None
        ended = time.monotonic()
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        selector.close()
        process.stdout.close()
        process.stderr.close()
    # Workers ending on their own may take a moment after the command.
    left = processes_in_session(process.pid) if Path("/proc").exists() else []
    for _ in range(20):
        if not left:
            break
        time.sleep(0.05)
        left = processes_in_session(process.pid)
    for pid, _ in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    return Run(
        status, bytes(out), err.decode(errors="replace"), rows.read_text() if rows.exists() else "",
        None if pressed_at is None or status is None else ended - pressed_at, left, pressed_at is not None,
    )


def _due(pid, moment, out, started, full, at):
    if moment == "start-up":
        return time.monotonic() - started >= at
    if moment == "pool-start":
        return bool(workers_of(pid))
    if moment == "result":
        return len(out) >= at
    if moment == "last-write":
        return len(out) > full.last_entry_at
    return len(out) >= full.size


@dataclass
class Reference:
    """What a run left alone writes."""

    document: bytes
    rows: str

    @property
    def size(self):
        return len(self.document)

    @property
    def last_entry_at(self):
        return self.document.rindex(b', {"source"')


def reference(folder, method, rows):
    result = subprocess.run(command(folder, method, rows), capture_output=True, env=environment(method), timeout=600)
    assert (result.returncode, result.stderr) == (0, b""), result.stderr
    return Reference(result.stdout, rows.read_text())


def problems(run, paths, moment, full):
    """What is wrong with what a pressed run left (``full``: a run left
    alone); none if it ended as it must."""
    """What is wrong with what a pressed run left; none if it ended as it must."""
    found = []
    if not run.pressed:
        return ["not pressed: the run ended first"]
    if run.status is None:
        return ["still running at the deadline"]
    if moment == "start-up" and before_the_command(run):
        return [BEFORE_THE_COMMAND]
    if run.status < 0:
        found.append(f"died by signal {-run.status}" + (" with a traceback" if "Traceback" in run.stderr else ""))
    elif "Traceback" in run.stderr:
        found.append("traceback")
    # Only once the whole document is out may the press come too late to count.
    finished = moment == "exit" and (run.status, run.stderr) == (0, "")
    if run.status == 0 and not finished:
        found.append("lost: status 0")
    elif run.status >= 0 and not finished and (run.status, run.stderr) != (130, INTERRUPTED):
        found.append(f"status {run.status}, stderr {run.stderr!r}")
    if run.status < 0:
        return found
    found += _json_problems(run.stdout, paths, full.document)
    found += _csv_problems(run.rows, paths, full.rows)
    if run.left:
        found.append(f"left {len(run.left)} processes")
    return found


# Pressed as the interpreter starts, before ostrel's command has run a line:
# Python's own start-up (its handler not yet set, or site's imports, or
# runpy's import of the command) ends by the signal or with a traceback.
BEFORE_THE_COMMAND = "pressed before the command's first line"


def before_the_command(run):
    ended_by_python = run.status == -signal.SIGINT or "KeyboardInterrupt" in run.stderr
    return ended_by_python and not re.search(r'cli.main\.py", line \d+, in main\n', run.stderr) and not run.stdout


def _json_problems(stdout, paths, full_document):
    try:
        entries = json.loads(stdout)
    except ValueError:
        return ["JSON does not parse" if stdout else "no JSON"]
    if [entry.get("source") for entry in entries] != [str(path) for path in paths]:
        return ["JSON does not name every file in order"]
    analysed = sum(entry["error"] is None for entry in entries)
    if any(entry["error"] != NOT_ANALYSED for entry in entries[analysed:]):
        return ["JSON: a file not analysed among the analysed"]
    if entries[:analysed] != json.loads(full_document)[:analysed]:
        return ["JSON: an analysed entry differs from an undisturbed run's"]
    return []


def _csv_problems(text, paths, full):
    rows = list(csv.reader(io.StringIO(text)))
    if not rows or any(len(row) != len(rows[0]) for row in rows):
        return ["CSV rows of unequal length" if rows else "no CSV"]
    errors = [row for row in rows[1:] if row[-1]]
    analysed = len(paths) - len(errors)
    # A file not analysed has its name and the error, every column between them empty.
    if errors != [[str(path), *[""] * (len(rows[0]) - 2), NOT_ANALYSED] for path in paths[analysed:]]:
        return ["CSV does not name every file not analysed"]
    if rows[: len(rows) - len(errors)] != list(csv.reader(io.StringIO(full)))[: len(rows) - len(errors)]:
        return ["CSV: the analysed files' rows differ from an undisturbed run's"]
    if list(dict.fromkeys(row[0] for row in rows[1:] if not row[-1])) != [str(path) for path in paths[:analysed]]:
        return ["CSV: the analysed files' rows are not whole"]
    return []
