"""The kinds of failure the command line reports as one line."""

from ..analysis.errors import InputError


class MachineError(Exception):
    """A failure of the machine, not of the input (a worker killed, a cluster
    lost): status 1."""

    exit_status = 1


class OutputError(MachineError):
    """A failure of the machine while writing (a full disk, a closed pipe): status 1."""


__all__ = ["InputError", "MachineError", "OutputError"]
