"""``python -m ostrel``: analyse the demo signal, one file, or many.

Everything heavy is imported inside :func:`main`, once Ctrl-C is held, so
that a press at any moment, numpy's import included, ends in one line and
status 130.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from .interrupts import DeferredInterrupt

INTERRUPTED_STATUS = 130
MACHINE_FAILURE_STATUS = 1


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status.

    Ctrl-C is held from the first line (imports included) until the run has
    opened its documents, and again from the run's end until the status is
    settled: a press at any moment ends the run, with status 130, unless it
    had already failed. Run as the process's command (no ``argv``), the hold
    outlasts the return, so that a press as the interpreter exits, which
    can no longer change the status, prints no traceback either.
    """
    interrupt = DeferredInterrupt().hold()
    try:
        status = _guarded(sys.argv[1:] if argv is None else list(argv), interrupt)
        interrupt.hold()
    except KeyboardInterrupt:
        interrupt.hold()
        status = INTERRUPTED_STATUS
    # Loaded only if worker processes ran.
    pool = sys.modules.get("ostrel.cli.pool")
    if pool is not None:
        pool.end_helper_processes()
    pressed = interrupt.take() if argv is None else interrupt.release()
    if status == INTERRUPTED_STATUS or (pressed and status == 0):
        _say("interrupted")
        return INTERRUPTED_STATUS
    return status


def _guarded(argv: list[str], interrupt: DeferredInterrupt) -> int:
    # numpy's BLAS starts a thread per core as it is imported, which costs a
    # short run a good part of its time; the command line does no linear
    # algebra. Set before numpy is first imported; a value given wins.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    from .errors import OUT_OF_MEMORY, InputError, MachineError, OutputError, ReaderGone
    from .run import run

    try:
        return run(argv, interrupt)
    except (InputError, ReaderGone, MachineError, MemoryError) as error:
        # The failure is reported in one line: a Ctrl-C meanwhile waits.
        interrupt.hold()
        if isinstance(error, ReaderGone):
            _discard_stdout()
            return ReaderGone.exit_status
        if isinstance(error, MemoryError):
            _say(f"error: {OUT_OF_MEMORY}")
            return MACHINE_FAILURE_STATUS
        _say(f"error: {error}")
        if isinstance(error, OutputError):
            _discard_stdout()
        return error.exit_status


def _say(text: str) -> None:
    try:
        print(f"ostrel: {text}", file=sys.stderr, flush=True)
    except OSError:
        pass  # stderr itself is gone: the status has to tell


def _discard_stdout() -> None:
    # What stdout still buffers would fail again at exit, as a second report.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass
