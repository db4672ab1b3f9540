"""Ctrl-C held for a moment, so that what is being done (a document's entry,
a worker's start, the run's end) is done whole; never lost meanwhile."""

from __future__ import annotations

import signal
import threading
from types import FrameType, TracebackType

_MASKS = hasattr(signal, "pthread_sigmask")


class DeferredInterrupt:
    """From :meth:`hold` (or entry) on, a Ctrl-C is kept; :meth:`deliver`
    (or the block's end) lets it act as if pressed then, through whatever
    handled it before, and lets the next one act at once.

    Kept twice over: the signal is blocked in this thread, so that processes
    started meanwhile begin with it blocked too, and in the main thread a
    handler of its own notes a press delivered to any other thread. Nothing
    is ever ignored: ignored from the start (as ``&`` in a script leaves it),
    Ctrl-C stays ignored.
    """

    def __init__(self) -> None:
        self._pressed = False
        self._holding = False
        self._previous: signal.Handlers | object | None = None
        self._mask: set[int | signal.Signals] | None = None

    def hold(self) -> DeferredInterrupt:
        """Keeps Ctrl-C from here on (again, after :meth:`deliver`)."""
        if self._holding:
            return self
        # The handler first: blocking the signal runs one pending, which
        # must then be kept rather than act.
        if threading.current_thread() is threading.main_thread():
            current = signal.getsignal(signal.SIGINT)
            if current is not signal.SIG_IGN and current is not None:
                self._previous = signal.signal(signal.SIGINT, self._keep)
        if _MASKS:
            self._mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        self._holding = True
        return self

    def _keep(self, number: int, frame: FrameType | None) -> None:
        self._pressed = True

    def release(self) -> bool:
        """Ends the hold without acting: whether Ctrl-C was pressed meanwhile."""
        if self._mask is not None:
            # One pending reaches the handler of the hold here.
            signal.pthread_sigmask(signal.SIG_SETMASK, self._mask)
            self._mask = None
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)  # type: ignore[arg-type]
            self._previous = None
        self._holding = False
        pressed, self._pressed = self._pressed, False
        return pressed

    def take(self) -> bool:
        """Whether Ctrl-C was pressed meanwhile, the hold going on; each press is taken once."""
        if self._mask is not None and self._previous is not None:
            # A pending press reaches the handler of the hold as the signal
            # is let through for a moment.
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        pressed, self._pressed = self._pressed, False
        return pressed

    def deliver(self) -> None:
        """Ctrl-C acts at once from here on; one pressed meanwhile acts now."""
        if self.release():
            signal.raise_signal(signal.SIGINT)

    __enter__ = hold

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None) -> None:
        self.deliver()
