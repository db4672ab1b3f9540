"""The two kinds of failure the command line reports as one line."""

from ..analysis.errors import InputError


class OutputError(Exception):
    """A failure of the machine while writing (a full disk, a closed pipe): status 1."""

    exit_status = 1


__all__ = ["InputError", "OutputError"]
