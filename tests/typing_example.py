"""Typical use of ostrel.fenwy and ostrel.dask; must pass ``mypy --strict``
against the stub and the annotations."""

import dask.array as da
import numpy as np
from numpy.typing import NDArray

from ostrel import dask as odask
from ostrel import fenwy


def features(signal: NDArray[np.float64], win_len: int = 512) -> tuple[NDArray[np.float64], NDArray[np.float64], int]:
    hop_size = win_len // 4
    energy: NDArray[np.float64] = fenwy.calc_energy(signal, win_len, hop_size)
    rate: NDArray[np.float64] = fenwy.calc_zc(signal, win_len, hop_size=hop_size, centered=False)
    frames: int = fenwy.calc_num_frames(len(signal), win_len, hop_size)
    return energy, rate, frames


def crossings_per_sample(samples: NDArray[np.int16]) -> float:
    return int(fenwy.num_zerocrossings(samples)) / len(samples)


def strongest_peaks(signal: NDArray[np.float64], thresh: float | None = 0.5) -> list[int]:
    peaks: NDArray[np.intp] = fenwy.find_peaks(signal, thresh)
    everywhere = fenwy.find_peaks(x=signal)
    return [int(i) for i in peaks if i in everywhere]


def integer_energy(samples: NDArray[np.int64]) -> float:
    return float(fenwy.calc_energy(samples, 4, 2, True).sum())


def file_summary(path: str) -> tuple[int, float, list[float]]:
    import ostrel
    from ostrel.analysis import Analysis, Settings, analyse_file

    result: Analysis = analyse_file(path, Settings(win_ms=25.0, hop_ms=10.0, channels="each"))
    lazily: Analysis = ostrel.analyse([0.5, -0.25] * 50, 8000, ostrel.Settings(win=10, hop=5))
    loudest = [float(track.energy.max()) for track in result.tracks]
    return result.num_frames + lazily.num_frames, result.duration, loudest


def sound_spans(path: str) -> list[tuple[float, float]]:
    import ostrel

    spans: list[tuple[float, float]] = ostrel.find_segments(path, settings=ostrel.SegmentSettings(start_db=6.0))
    return spans + ostrel.find_segments([0.0] * 100, 8000)


def lazy_features(x: da.Array) -> tuple[da.Array, da.Array, da.Array, da.Array]:
    energy = odask.calc_energy(x, 512, 128)
    rate = odask.calc_zc(x, 512, hop_size=128, centered=False)
    return energy, rate, odask.num_zerocrossings(x), odask.find_peaks(energy, thresh=0.5)
