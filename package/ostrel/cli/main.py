"""``python -m ostrel``: analyse the demo signal, one file, or many.

Everything heavy is imported inside :func:`main`, so that Ctrl-C at any
moment, numpy's import included, ends in one line and status 130.
"""

from __future__ import annotations

import os
import signal
import sys
from collections.abc import Sequence

INTERRUPTED_STATUS = 130
MACHINE_FAILURE_STATUS = 1


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        return _guarded(sys.argv[1:] if argv is None else list(argv))
    except KeyboardInterrupt:
        # A second Ctrl-C must not interrupt the report of the first.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        _say("interrupted")
        return INTERRUPTED_STATUS
    finally:
        # Loaded only if worker processes ran.
        pool = sys.modules.get("ostrel.cli.pool")
        if pool is not None:
            pool.end_helper_processes()


def _guarded(argv: list[str]) -> int:
    # numpy's BLAS starts a thread per core as it is imported, which costs a
    # short run a good part of its time; the command line does no linear
    # algebra. Set before numpy is first imported; a value given wins.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    from .errors import OUT_OF_MEMORY, InputError, MachineError, OutputError, ReaderGone
    from .interrupts import DeferredInterrupt

    try:
        # Until the run has opened its documents, Ctrl-C waits: then it can
        # still close them, naming every file as not analysed.
        with DeferredInterrupt() as interrupt:
            from .run import run

            return run(argv, interrupt)
    except InputError as error:
        _say(f"error: {error}")
        return InputError.exit_status
    except ReaderGone:
        _discard_stdout()
        return ReaderGone.exit_status
    except OutputError as error:
        _say(f"error: {error}")
        _discard_stdout()
        return OutputError.exit_status
    except MachineError as error:
        _say(f"error: {error}")
        return MachineError.exit_status
    except MemoryError:
        _say(f"error: {OUT_OF_MEMORY}")
        return MACHINE_FAILURE_STATUS


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
