"""Frame-wise analysis of audio and other one-dimensional signals.

The functions live in the extension module :mod:`ostrel.fenwy`; importing
this package alone stays light and does not import numpy.
"""

__version__ = "0.1.0"
__all__ = ["__version__"]
