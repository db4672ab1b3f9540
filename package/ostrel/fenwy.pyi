# Type information for the compiled module. The module runs on any object
# that supports the operations it uses; these signatures describe the
# intended use instead: one-dimensional numpy arrays of integer or floating
# samples, integer window and hop lengths.
#
# num_zerocrossings hands back numpy's count unconverted (numpy.intp with
# numpy 2.4), and the int 0 for fewer than two samples.

from typing import Any, TypeAlias

import numpy as np
from numpy.typing import NDArray

# Plain lists are not signals: slicing and multiplying them does not do
# element-wise arithmetic.
_Signal: TypeAlias = NDArray[np.integer[Any] | np.floating[Any]]

# Empty: the module carries no doctests.
__test__: dict[str, object]

def calc_num_frames(x_len: int, win_len: int, hop_size: int) -> int:
    """Calculates the number of frames of data resulting when windowing
    a signal of length ``x_len``, using a window size of ``win_len`` and a hop size of ``hop_size``.

    :param x_len: length of signal
    :param win_len: length of window
    :param hop_size: hop size (ie, stride length) between windows

    :returns: (int) number of frames, i.e., or number of hops
    """

def calc_energy(x: _Signal, win_len: int, hop_size: int, centered: bool = True) -> NDArray[np.float64]:
    """Calculate the normalized energy feature for the input signal.

    :param x: the signal
    :param win_len: window length
    :param hop_size: hop size
    :param centered: use a centered window

    :returns: np.array where each value is the normalized energy of the windowed signal using a rectangular window.
    """

def calc_zc(x: _Signal, win_len: int, hop_size: int, centered: bool = True) -> NDArray[np.float64]:
    """Calculate the normalized zero-crossing rate for the input signal. At each hop, count the number
    of zero-crossings in that window and divide by the window length.

    :param x: the signal
    :param win_len: window length
    :param hop_size: hop size
    :param centered: use a centered window

    :returns: np.array where each value is the normalized zc-rate of the windowed signal.
    """

def num_zerocrossings(x: _Signal) -> int | np.intp:
    """Count the number of zero-crossings in the signal ``x``.

    :param x: the signal

    :returns: number of zero crossings (int)
    """

def find_peaks(x: _Signal, thresh: float | None = None) -> NDArray[np.intp]:
    """Finds peaks in 1D vector.

    :param x: 1D input vector
    :param thresh: relative threshold value. Discard peak whose value is lower than (``thresh * max_peak_value``), or don't threshold if ``thresh`` is None
    :returns: np.array of index values of peaks
    """
