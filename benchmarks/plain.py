"""The five functions of ostrel.fenwy written in plain Python, as the
benchmark's baseline: the same numpy calls in the same order, with the same
frame-count clamp, float64 promotion of integer arrays and empty result for
a threshold without candidates, so both give bit-identical results."""

import numpy as np


def _as_float_if_integer(a):
    if isinstance(a, np.ndarray) and a.dtype.kind in "iu":
        return a.astype(float)
    return a


def calc_num_frames(x_len, win_len, hop_size):
    M = int(np.ceil((x_len - win_len + hop_size) / hop_size))
    return M if M >= 0 else 0


def calc_energy(x, win_len, hop_size, centered=True):
    if centered:
        x = np.concatenate((np.zeros(win_len // 2), x))
    M = calc_num_frames(len(x), win_len, hop_size)
    energy = np.empty(M)
    for m in range(M):
        win = x[m * hop_size:m * hop_size + win_len]
        samples = _as_float_if_integer(win)
        energy[m] = np.sum(samples * samples) / win_len
    return energy


def num_zerocrossings(x):
    if len(x) < 2:
        return 0
    x0 = x[:-1]
    x1 = x[1:]
    return np.count_nonzero(_as_float_if_integer(x0) * _as_float_if_integer(x1) < 0)


def calc_zc(x, win_len, hop_size, centered=True):
    if centered:
        x = np.concatenate((np.zeros(win_len // 2), x))
    M = calc_num_frames(len(x), win_len, hop_size)
    zc = np.empty(M)
    for f in range(M):
        win = x[f * hop_size:f * hop_size + win_len]
        zc[f] = num_zerocrossings(win) / float(win_len)
    return zc


def find_peaks(x, thresh=None):
    x0 = x[:-2]
    x1 = x[1:-1]
    x2 = x[2:]
    peak_bools = np.logical_and(x0 < x1, x1 > x2)
    values = x1[peak_bools]
    if thresh and not (isinstance(values, np.ndarray) and values.size == 0):
        th = np.max(values) * thresh
        peak_bools = np.logical_and(peak_bools, x1 > th)
    return np.nonzero(peak_bools)[0] + 1
