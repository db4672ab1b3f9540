from typing import Any

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Buffer

def count(x: NDArray[Any] | Buffer, /) -> int: ...
def rates(x: NDArray[Any] | Buffer, win: int, hop: int, pad: int, out: NDArray[np.float64], /) -> None: ...
