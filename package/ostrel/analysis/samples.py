"""Numbers given as a signal, as the float64 samples every analysis reads."""

from __future__ import annotations

from typing import Any

import numpy as np

from .audio import Samples

# Integer samples as audio files hold them, and the full scale each is divided
# by, as audio readers do: int16 by 32768; 8-bit PCM is unsigned, centred on 128.
FULL_SCALE = {"int8": (0, 2.0**7), "int16": (0, 2.0**15), "int32": (0, 2.0**31), "uint8": (128, 2.0**7)}


def as_samples(values: Any, who: str) -> Samples:
    """``values`` as float64 samples: an integer PCM array divided by its full
    scale (so that dBFS mean what they say), other numbers as they are."""
    if not isinstance(values, np.ndarray) or values.dtype.kind not in "iu":
        return np.asarray(values, dtype=np.float64)
    scale = FULL_SCALE.get(values.dtype.name)
    if scale is None:
        raise TypeError(
            f"{who} takes integer samples as int8, int16, int32 or uint8 PCM, scaled by their full scale; "
            f"give {values.dtype.name} samples as floats in [-1, 1] (for 16-bit values: x / 32768)"
        )
    offset, full = scale
    return (values.astype(np.float64) - offset) / full if offset else values / full
