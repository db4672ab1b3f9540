"""The command line around :mod:`ostrel.analysis`: ``python -m ostrel`` or ``ostrel``.

Importing :mod:`ostrel` does not import this subpackage; importing it stays
light too, so that an interrupt at any moment of the command is one line.
"""

from .main import main

__all__ = ["main"]
