"""
Energy, peaks and zero-crossing rate of the demo signal
========================================================

The built-in demo signal (what ``python -m ostrel`` analyses with no file)
holds three tone bursts of falling loudness and rising pitch, quiet noise
and silence. Its energy has one peak per burst; the noise barely shows in
the energy but stands out in the zero-crossing rate.
"""

import matplotlib.pyplot as plt

from ostrel.analysis import Settings, analyse
from ostrel.cli.demo import demo_signal

signal, rate = demo_signal()
result = analyse(signal, rate, Settings(win=2048, hop=512))

figure, (energy_axes, zcr_axes) = plt.subplots(2, 1, sharex=True, figsize=(8, 5), layout="constrained")
energy_axes.plot(result.times, result.energy, label="energy")
energy_axes.plot(result.times[result.peaks], result.energy[result.peaks], "v", label="peaks")
energy_axes.set_ylabel("energy")
energy_axes.legend()
zcr_axes.plot(result.times, result.zcr * rate, color="tab:green")
zcr_axes.set_ylabel("zero crossings / s")
zcr_axes.set_xlabel("time (s)")
plt.show()

# %%
# The same numbers as the command line's summary:
print(f"{result.num_frames} frames, {len(result.peaks)} peaks at {result.times[result.peaks].round(3)} s")
