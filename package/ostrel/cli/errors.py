"""The command line reports :class:`ostrel.analysis.InputError` as one line and status 2."""

from ..analysis.errors import InputError

__all__ = ["InputError"]
