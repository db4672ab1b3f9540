"""Local worker processes: one task at a time each, their results read by the
caller's own thread, and every worker ended at once when the caller stops.

Built on multiprocessing's public parts (processes, pipes, waiting on them)
rather than on an executor, whose shutdown waits on threads and pipes of
its own: a worker ended in the middle of a large result would leave them
waiting for the rest.
"""

from __future__ import annotations

import collections
import contextlib
import multiprocessing
import os
import signal
import sys
from collections.abc import Callable
from concurrent.futures import Future
from multiprocessing.connection import Connection, wait
from typing import Any

from .errors import InputError
from .interrupts import DeferredInterrupt

# Chooses how worker processes start (fork, forkserver or spawn), for this
# machine's needs or to test each.
START_METHOD_VARIABLE = "OSTREL_START_METHOD"
# How long a worker asked to end may take before it is killed.
END_SECONDS = 2.0


class WorkerLost(Exception):
    """A worker process ended while the pool still had it."""


def start_method() -> str:
    """How worker processes start: forkserver where the system has it, else spawn.

    A forked worker would inherit whatever lock another thread of the caller
    held at the fork (a read-ahead thread, a progress bar's monitor, a
    notebook's own), and Python warns of it; forkserver forks workers from a
    server that has no such threads, and is what Python itself moves to.
    Chosen here rather than taken from Python, so that every version starts
    and ends workers alike. ``OSTREL_START_METHOD`` names another.
    """
    available = multiprocessing.get_all_start_methods()
    chosen = os.environ.get(START_METHOD_VARIABLE, "")
    if not chosen:
        return "forkserver" if "forkserver" in available else "spawn"
    if chosen not in available:
        raise InputError(f"{START_METHOD_VARIABLE}={chosen}: not a start method here; use one of {', '.join(available)}")
    return chosen


def _serve(tasks: Connection, results: Connection) -> None:
    # Ctrl-C reaches the whole process group; the parent alone answers it,
    # by ending the workers. A worker starts with it blocked (the parent
    # blocks it as it starts one): a press meanwhile is pending, and
    # discarded here as the signal becomes ignored.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    with contextlib.suppress(EOFError):  # the parent is gone: nothing to do
        while (task := tasks.recv()) is not None:
            function, args = task
            try:
                outcome: tuple[bool, Any] = (True, function(*args))
            except Exception as error:  # noqa: BLE001 - raised again in the parent
                outcome = (False, error)
            results.send(outcome)


def _helpers_started(context: Any) -> None:
    """Starts the resource tracker that spawned and forkserver workers use,
    then blocks Ctrl-C in this thread again: starting the tracker unblocks
    it, whatever was blocked before, and a worker started then would begin
    with Ctrl-C free to end it."""
    if context.get_start_method() == "fork" or not hasattr(signal, "pthread_sigmask"):
        return
    from multiprocessing import resource_tracker

    resource_tracker.ensure_running()
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})


class _Worker:
    def __init__(self, context: Any) -> None:
        _helpers_started(context)
        task_reader, self.tasks = context.Pipe(duplex=False)
        self.results, result_writer = context.Pipe(duplex=False)
        self.process = context.Process(target=_serve, args=(task_reader, result_writer), daemon=True)
        self.process.start()
        # Only the worker may hold its ends: a worker that dies then reads
        # as the end of its result pipe, even in the middle of a message.
        task_reader.close()
        result_writer.close()
        self.task: Future[Any] | None = None


class WorkerPool:
    """Up to ``size`` worker processes, started as tasks arrive.

    Nothing happens behind the caller's back: :meth:`wait` reads what
    finished and settles its future; :meth:`close` ends every worker.
    """

    def __init__(self, size: int, method: str) -> None:
        self._context = multiprocessing.get_context(method)
        self._size = size
        self._workers: list[_Worker] = []
        self._waiting: collections.deque[tuple[Future[Any], tuple[Any, ...]]] = collections.deque()

    def submit(self, function: Callable[..., Any], *args: Any) -> Future[Any]:
        future: Future[Any] = Future()
        self._waiting.append((future, (function, args)))
        self._hand_out()
        return future

    def _hand_out(self) -> None:
        while self._waiting:
            worker = next((worker for worker in self._workers if worker.task is None), None)
            if worker is None:
                if len(self._workers) == self._size:
                    return
                # Held until the worker is known to close(): one started
                # but not yet kept would outlive the run. Started meanwhile,
                # it begins with Ctrl-C blocked.
                with DeferredInterrupt():
                    self._workers.append(_Worker(self._context))
                worker = self._workers[-1]
            worker.task, task = self._waiting.popleft()
            try:
                worker.tasks.send(task)
            except OSError:
                raise WorkerLost from None

    def wait(self) -> None:
        """Blocks until a task finishes, and settles its future; raises
        :class:`WorkerLost` if a worker ended instead."""
        by_pipe = {worker.results: worker for worker in self._workers}
        by_sentinel = {worker.process.sentinel: worker for worker in self._workers}
        ready = wait([*by_pipe, *by_sentinel])
        for pipe in (item for item in ready if item in by_pipe):
            self._settle(by_pipe[pipe])
        for sentinel in (item for item in ready if item in by_sentinel):
            # Its last result, if any, is read first: a worker ends only when told or killed.
            if not by_sentinel[sentinel].results.poll():
                raise WorkerLost
        self._hand_out()

    def _settle(self, worker: _Worker) -> None:
        try:
            succeeded, value = worker.results.recv()
        except (EOFError, OSError):  # died, perhaps in the middle of a message
            raise WorkerLost from None
        future, worker.task = worker.task, None
        assert future is not None
        if succeeded:
            future.set_result(value)
        else:
            future.set_exception(value)

    def close(self) -> None:
        """Ends every worker now: idle ones are told to, busy ones terminated, none awaited for long."""
        with DeferredInterrupt():
            for worker in self._workers:
                if worker.task is None and worker.process.is_alive():
                    with contextlib.suppress(OSError):
                        worker.tasks.send(None)
                else:
                    worker.process.terminate()
            for worker in self._workers:
                worker.process.join(END_SECONDS)
                if worker.process.exitcode is None:
                    worker.process.kill()
                    worker.process.join()
                worker.tasks.close()
                worker.results.close()
                worker.process.close()
            self._workers.clear()


def end_helper_processes() -> None:
    """Ends and reaps the forkserver and resource tracker started for workers.

    Python leaves them to end on their own after this process, as orphans
    of whatever adopts them; under an init that reaps no one (a container's)
    they stay behind as zombies. Only for a process that owns every use of
    multiprocessing, as the command does: the tracker forgets what it tracks.
    Their ``_stop`` is private, hence looked up with care.
    """
    with DeferredInterrupt():
        for module, name in [("forkserver", "_forkserver"), ("resource_tracker", "_resource_tracker")]:
            loaded = sys.modules.get(f"multiprocessing.{module}")
            stop = getattr(getattr(loaded, name, None), "_stop", None)
            if stop is not None:
                stop()
