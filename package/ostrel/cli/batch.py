"""Many files: finding them, analysing them here, in worker processes or on a
Dask cluster, and showing progress as they finish."""

from __future__ import annotations

import dataclasses
import functools
import logging
import queue
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import CancelledError, Future
from pathlib import Path
from typing import Any, Protocol, TypeVar

from ..analysis import Analysis, Settings, analyse_file
from ..analysis.audio import AUDIO_EXTRA_HINT, STDIN, readable_extensions, soundfile_module
from .errors import InputError, MachineError
from .pool import WorkerLost, WorkerPool, start_method

# What one file gives: its analysis, or the message saying why it has none.
Outcome = Analysis | InputError

T = TypeVar("T")
# Wraps the stream of finished files (in the order they finish) to show progress.
Progress = Callable[[Iterable[T], int], Iterable[T]]

# How long --dask waits for the scheduler before calling it unreachable.
DASK_CONNECT_SECONDS = 3
# How often a wait on a cluster looks at its workers.
IDLE_CHECK_SECONDS = 1.0
# How long --dask waits, by default, while the cluster has no worker at all.
NO_WORKER_SECONDS = 30.0
# Files started beyond the last one handed on, per worker: enough to keep the
# workers busy, few enough that a slow file holds back bounded memory.
AHEAD_PER_WORKER = 4
# A task on a cluster costs milliseconds of its own: files go to it in
# batches, about this many per worker, of at most MAX_BATCH files so that
# progress still moves and the results under way stay few. Two batches per
# worker are under way or waiting ahead of the next one to report.
BATCHES_PER_WORKER = 4
MAX_BATCH = 16
BATCHES_AHEAD_PER_WORKER = 2


def expand_inputs(inputs: Sequence[str]) -> list[Path]:
    """Files as given, and every audio file under each folder, sorted, without repeats.

    Folders are scanned for every extension soundfile reads, or for ``.wav``
    without it. A missing path is kept, so that reading it reports it in its
    turn; only the bare ``-`` stands for stdin, a file named so is given as
    ``./-``. A file named twice, or also found in a folder given, comes once,
    in its first place.
    """
    extensions = readable_extensions()
    paths: list[Path] = []
    for name in inputs:
        path = Path(name)
        if name != STDIN and path.is_dir():
            found = sorted(p for p in path.rglob("*") if p.suffix.lower() in extensions and p.is_file())
            if not found:
                raise InputError(_nothing_found(path))
            paths.extend(found)
        elif name != STDIN and str(path) == STDIN:
            # "./-" is a file named "-": the path alone, normalised, would read as stdin.
            paths.append(path.absolute())
        else:
            paths.append(path)
    return list(dict.fromkeys(paths))


def _nothing_found(folder: Path) -> str:
    if soundfile_module() is None:
        return f"{folder}: folder has no .wav files (other formats need soundfile: {AUDIO_EXTRA_HINT})"
    return f"{folder}: folder has no audio files that ostrel reads"


def _outcome(path: Path, settings: Settings) -> Outcome:
    # Worker processes hand back the error as a value, so that one bad file
    # neither stops the others nor reaches the parent as a traceback.
    try:
        return analyse_file(path, settings)
    except InputError as error:
        return error


def _outcomes(paths: Sequence[Path], settings: Settings) -> list[Outcome]:
    return [_outcome(path, settings) for path in paths]


def analyse_files(
    paths: Sequence[Path],
    settings: Settings,
    jobs: int = 1,
    progress: Progress[Any] | None = None,
    dask_address: str | None = None,
    no_worker_seconds: float = NO_WORKER_SECONDS,
) -> Iterator[Outcome]:
    """The outcome of each path, in input order, as soon as it and those before it are done.

    Files are analysed here (``jobs`` 1), in ``jobs`` worker processes, or on
    the Dask scheduler at ``dask_address``; the outcomes are the same. The
    iterator is lazy: workers start with the iteration and are ended when it
    ends, is closed, or is interrupted. A cluster that has had no worker for
    ``no_worker_seconds`` ends it with :class:`MachineError`.
    """
    if dask_address is not None:
        return _on_cluster(paths, settings, dask_address, progress, no_worker_seconds)
    if jobs > 1 and len(paths) > 1:
        return _in_processes(paths, settings, min(jobs, len(paths)), progress, start_method())
    outcomes = (_outcome(path, settings) for path in paths)
    return iter(progress(outcomes, len(paths))) if progress else outcomes


class _Future(Protocol):
    """What the process pool's futures and Dask's have in common."""

    def add_done_callback(self, fn: Callable[[Any], object], /) -> None: ...

    def result(self, timeout: float | None = None) -> Any: ...


def _in_input_order(
    batches: Sequence[Sequence[int]],
    submit: Callable[[Sequence[int]], _Future],
    ahead: int,
    progress: Progress[Any] | None,
    idle: Callable[[], None] | None = None,
    pump: Callable[[], None] | None = None,
) -> Iterator[Any]:
    """The outcomes of the indices in ``batches``, in index order.

    ``submit(batch)`` gives a future of the batch's outcomes. Batches are
    submitted while their first index is less than ``ahead`` beyond the last
    outcome handed on; the progress wrapper sees each file as its batch
    finishes, whatever its place. ``idle``, if given, is called about once a
    second while nothing finishes, and may raise to give up. ``pump``, if
    given, settles futures in this thread: it is called until one has.
    """
    count = sum(len(batch) for batch in batches)
    finished: queue.Queue[tuple[int, _Future]] = queue.Queue()
    held: dict[int, Any] = {}
    submitted = handed_on = 0

    def next_finished() -> tuple[int, _Future]:
        if pump is not None:
            while finished.empty():
                pump()
            return finished.get_nowait()
        if idle is None:
            return finished.get()
        while True:
            try:
                return finished.get(timeout=IDLE_CHECK_SECONDS)
            except queue.Empty:
                idle()

    def result(future: _Future) -> Any:
        # A finished task's result lives on its worker: were that worker
        # lost, the task is run again, which waits for a worker too.
        if idle is None:
            return future.result()
        while True:
            try:
                return future.result(timeout=IDLE_CHECK_SECONDS)
            except TimeoutError:
                idle()

    def as_finished() -> Iterator[tuple[int, Any]]:
        nonlocal submitted
        for _ in range(len(batches)):
            while submitted < len(batches) and batches[submitted][0] < handed_on + ahead:
                future = submit(batches[submitted])
                future.add_done_callback(functools.partial(_put_with_index, finished, submitted))
                submitted += 1
            number, future = next_finished()
            yield from zip(batches[number], result(future))

    for index, outcome in progress(as_finished(), count) if progress else as_finished():
        held[index] = outcome
        while handed_on in held:
            yield held.pop(handed_on)
            handed_on += 1


def _put_with_index(finished: queue.Queue[tuple[int, _Future]], index: int, future: _Future) -> None:
    finished.put((index, future))


def _in_processes(
    paths: Sequence[Path], settings: Settings, workers: int, progress: Progress[Any] | None, method: str
) -> Iterator[Outcome]:
    pool = WorkerPool(workers, method)

    def submit(batch: Sequence[int]) -> Future[list[Outcome]]:
        return pool.submit(_outcomes, [paths[index] for index in batch], settings)

    # One file per task: a result may be large, and a task costs little.
    batches = [[index] for index in range(len(paths))]
    try:
        yield from _in_input_order(batches, submit, AHEAD_PER_WORKER * workers, progress, pump=pool.wait)
    except WorkerLost:
        # Almost always the system's out-of-memory killer.
        raise MachineError(f"a worker process was killed (out of memory?); try fewer than {workers} jobs") from None
    finally:
        pool.close()


def _on_cluster(
    paths: Sequence[Path], settings: Settings, address: str, progress: Progress[Any] | None, no_worker_seconds: float
) -> Iterator[Outcome]:
    client = _connect(address)
    from distributed import KilledWorker

    # Workers have working folders of their own: they get absolute paths.
    absolute = [Path.cwd() / path for path in paths]

    def submit(batch: Sequence[int]) -> Any:
        return client.submit(_outcomes, [absolute[index] for index in batch], settings, pure=False)

    try:
        workers = max(1, sum(client.nthreads().values()))
        size = _batch_size(len(paths), workers)
        batches = [range(start, min(start + size, len(paths))) for start in range(0, len(paths), size)]
        idle = _NoWorkerWatch(client, address, no_worker_seconds)
        ahead = max(AHEAD_PER_WORKER * workers, BATCHES_AHEAD_PER_WORKER * workers * size)
        outcomes = _in_input_order(batches, submit, ahead, progress, idle)
        for path, full, outcome in zip(paths, absolute, outcomes):
            yield _as_given(outcome, path, full)
    except (CancelledError, OSError):
        raise MachineError(f"lost the connection to the Dask scheduler at {address}; is it still running?") from None
    except KilledWorker:
        raise MachineError("Dask workers died one after another on the same file (out of memory?)") from None
    except (MachineError, MemoryError):
        raise
    except Exception as error:  # noqa: BLE001 - the cluster's own failure to run the task, raised here
        raise MachineError(
            f"the Dask cluster at {address} could not run ostrel's task ({_root_cause(error)}); "
            "its scheduler and workers need ostrel and the packages it uses, as installed here"
        ) from None
    finally:
        client.close()


def _root_cause(error: BaseException) -> str:
    # The scheduler wraps what failed in a message of many lines; the cause says it in one.
    while error.__cause__ is not None:
        error = error.__cause__
    return f"{type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}".rstrip(": ")


def _batch_size(count: int, workers: int) -> int:
    return max(1, min(MAX_BATCH, count // (BATCHES_PER_WORKER * workers)))


class _NoWorkerWatch:
    """Gives up once the cluster has had no worker for ``seconds``: tasks
    wait for workers silently, and all of them may be gone for good."""

    def __init__(self, client: Any, address: str, seconds: float) -> None:
        self.client, self.address, self.seconds = client, address, seconds
        self.since: float | None = None

    def __call__(self) -> None:
        try:
            workers = self.client.nthreads(callback_timeout=IDLE_CHECK_SECONDS)
        except (OSError, TimeoutError):
            return  # a lost scheduler is reported where its futures fail
        if workers:
            self.since = None
            return
        now = time.monotonic()
        if self.since is None:
            self.since = now
        elif now - self.since >= self.seconds:
            raise MachineError(
                f"the Dask cluster at {self.address} has had no worker for {self.seconds:g} s; "
                "start workers, or wait longer with --no-worker-timeout"
            )


def _connect(address: str) -> Any:
    try:
        from distributed import Client
        from distributed.comm.addressing import get_address_host_port
    except ImportError:
        raise InputError("--dask needs the 'dask' extra: pip install 'ostrel[dask]'") from None
    # A malformed address is refused before a client exists: a client that
    # failed to start would linger until the interpreter's exit.
    try:
        get_address_host_port(address)
    except ValueError as error:
        raise InputError(f"--dask {address}: {error}; expected tcp://host:port") from None
    # distributed logs its reconnection attempts on stderr, and the waits
    # given up on a lost cluster end as asyncio's "never retrieved" notes;
    # a failure is reported once, in one line, where the outcomes are
    # collected. distributed's configuration gives some loggers levels of
    # their own.
    for name in ["distributed", "asyncio", *logging.root.manager.loggerDict]:
        if name.startswith(("distributed", "asyncio")):
            logging.getLogger(name).setLevel(logging.CRITICAL)
    _probe(address)
    try:
        return Client(address, timeout=f"{DASK_CONNECT_SECONDS}s", set_as_default=False)  # type: ignore[no-untyped-call]
    except OSError:
        raise InputError(_unanswered(address)) from None


def _probe(address: str) -> None:
    """Refuse an address where no Dask peer completes the greeting in time.

    A client waits for good on a listener that never answers, and reads
    other bytes as absurd message lengths (a MemoryError); one greeting,
    bounded as a whole, tells both apart from a scheduler.
    """
    import asyncio

    from distributed.comm import connect

    async def greet() -> None:
        comm = await asyncio.wait_for(connect(address, timeout=DASK_CONNECT_SECONDS), DASK_CONNECT_SECONDS)
        await comm.close()

    try:
        asyncio.run(greet())
    except (OSError, asyncio.TimeoutError):
        raise InputError(_unanswered(address)) from None
    except Exception:  # noqa: BLE001 - whatever the peer's bytes made of the greeting
        raise InputError(f"what answers at {address} is not a Dask scheduler; check the address") from None


def _unanswered(address: str) -> str:
    return f"no Dask scheduler answers at {address} within {DASK_CONNECT_SECONDS} s; start one or check the address"


def _as_given(outcome: Outcome, path: Path, absolute: Path) -> Outcome:
    """The outcome under the path as given, as a run here reports it."""
    if path == absolute:
        return outcome
    if isinstance(outcome, InputError):
        return InputError(_named_as_given(str(outcome), path, absolute))
    warnings = tuple(_named_as_given(warning, path, absolute) for warning in outcome.warnings)
    return dataclasses.replace(outcome, source=str(path), warnings=warnings)


def _named_as_given(message: str, path: Path, absolute: Path) -> str:
    if message.startswith(f"{absolute}:"):
        return f"{path}{message.removeprefix(str(absolute))}"
    return message


def terminal_progress(count: int) -> Progress[Any] | None:
    """A tqdm bar on stderr for several files when stderr is a terminal and tqdm is installed."""
    if count < 2 or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None

    def bar(finished: Iterable[T], total: int) -> Iterable[T]:
        shown: Iterable[T] = tqdm(finished, total=total, unit="file", file=sys.stderr, leave=False)
        return shown

    return bar
