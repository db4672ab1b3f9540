"""Ctrl-C kept for a moment, so that what is being written is written whole."""

from __future__ import annotations

import signal
import threading
from types import FrameType, TracebackType


class DeferredInterrupt:
    """From entry on, Ctrl-C is caught and kept; :meth:`deliver` (or the
    block's end) raises it, and lets the next one act at once.

    Ignored from the start (as ``&`` in a script leaves it), Ctrl-C stays
    ignored; outside the main thread nothing is caught.
    """

    def __init__(self) -> None:
        self._caught = False
        self._previous: signal.Handlers | object | None = None

    def __enter__(self) -> DeferredInterrupt:
        if threading.current_thread() is threading.main_thread() and signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
            self._previous = signal.signal(signal.SIGINT, self._catch)
        return self

    def _catch(self, number: int, frame: FrameType | None) -> None:
        self._caught = True

    def deliver(self) -> None:
        """Ctrl-C acts at once from here on; one caught before is raised now."""
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)  # type: ignore[arg-type]
            self._previous = None
        if self._caught:
            self._caught = False
            raise KeyboardInterrupt

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None) -> None:
        self.deliver()
