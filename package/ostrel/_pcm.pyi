import numpy as np
from numpy.typing import NDArray
from typing_extensions import Buffer

def decode(raw: Buffer, width: int, channels: int, out: NDArray[np.float64], mix: bool, /) -> int: ...
