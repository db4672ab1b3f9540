"""The kinds of failure the command line reports as one line."""

from ..analysis.errors import InputError


# What the command says when memory runs out, wherever it does.
OUT_OF_MEMORY = "out of memory; analyse fewer files at once (--jobs) or use a larger --hop"


class MachineError(Exception):
    """A failure of the machine, not of the input (a worker killed, a cluster
    lost): status 1."""

    exit_status = 1


class OutputError(MachineError):
    """A failure of the machine while writing (a full disk, a closed file): status 1."""


class WriteError(MachineError):
    """A file's own output (its sound, plot, pieces, labels) that could not be
    written: that file's error in a run of many, status 1."""


class ReaderGone(Exception):
    """Whoever read stdout closed it, as ``head`` does once it has enough:
    the run ends quietly, status 0."""

    exit_status = 0


__all__ = ["OUT_OF_MEMORY", "InputError", "MachineError", "OutputError", "ReaderGone", "WriteError"]
