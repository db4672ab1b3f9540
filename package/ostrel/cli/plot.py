"""The PNG picture: waveform, energy with its peaks, zero-crossing rate."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from .analysis import Analysis
from .errors import InputError

PLOT_EXTRA_HINT = "pip install 'ostrel[plot]'"


def require_matplotlib() -> None:
    """Fail before any analysis, not after it, when matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise InputError(f"--plot needs matplotlib: {PLOT_EXTRA_HINT}") from None


def plot_analysis(analysis: Analysis, signal: np.ndarray, path: str | Path) -> None:
    require_matplotlib()
    import matplotlib

    # No display is needed or wanted: the picture only goes to a file.
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    seconds = np.arange(len(signal)) / analysis.sample_rate
    figure, (wave_axes, energy_axes, zcr_axes) = plt.subplots(3, 1, sharex=True, figsize=(10, 7), layout="constrained")
    try:
        figure.suptitle(
            f"{analysis.source}: window {analysis.win}, hop {analysis.hop} samples"
            f"{', centred' if analysis.centered else ''}"
        )
        wave_axes.plot(seconds, signal, linewidth=0.4, color="tab:gray")
        wave_axes.set_ylabel("amplitude")

        energy_axes.plot(analysis.times, analysis.energy, color="tab:blue")
        energy_axes.plot(
            analysis.times[analysis.peaks],
            analysis.energy[analysis.peaks],
            "v",
            color="tab:red",
            label=f"energy peaks ({len(analysis.peaks)})",
        )
        energy_axes.set_ylabel("energy")
        energy_axes.legend(loc="upper right")

        zcr_axes.plot(analysis.times, analysis.zcr, color="tab:green")
        zcr_axes.set_ylabel("zero-crossing rate")
        zcr_axes.set_xlabel("time (s)")
        for axes in (wave_axes, energy_axes, zcr_axes):
            axes.grid(alpha=0.3)
        try:
            figure.savefig(path, dpi=100)
        except OSError as error:
            raise InputError(f"{path}: cannot write plot: {error.strerror or error}") from None
        except ValueError as error:  # an unknown file extension
            raise InputError(f"{path}: cannot write plot: {error}") from None
    finally:
        plt.close(figure)
