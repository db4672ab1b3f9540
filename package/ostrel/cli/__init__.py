"""The command line around :mod:`ostrel.fenwy`: ``python -m ostrel`` or ``ostrel``.

Importing :mod:`ostrel` does not import this subpackage; it loads numpy.
"""

from .main import main

__all__ = ["main"]
