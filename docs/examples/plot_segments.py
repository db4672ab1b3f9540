"""
Where the sound is
==================

:func:`ostrel.analysis.find_segments` tells sound from silence with a noise
floor it learns from the signal itself. Here three tones over noise at
-60 dBFS, at -13, -43 and -23 dBFS, and a click too short to count as sound
(the default ``min_sound_ms`` is 50 ms).
"""

import matplotlib.pyplot as plt
import numpy as np

from ostrel import analysis

rate = 16000
rng = np.random.default_rng(1)
signal = rng.normal(0, 0.001, 6 * rate)
signal[int(3.5 * rate) : int(3.5 * rate) + 160] += 0.2  # a click of 10 ms
t = np.arange(rate // 2) / rate
for start, level, pitch in [(0.5, 0.3, 220), (2.0, 0.01, 330), (4.5, 0.1, 440)]:
    first = int(start * rate)
    signal[first : first + len(t)] += level * np.sin(2 * np.pi * pitch * t)

segments = analysis.find_segments(signal, rate)
print(segments)

figure, axes = plt.subplots(figsize=(8, 3), layout="constrained")
axes.plot(np.arange(len(signal)) / rate, signal, linewidth=0.5, color="tab:blue")
for start, end in segments:
    axes.axvspan(start, end, color="tab:orange", alpha=0.3)
axes.set_xlabel("time (s)")
axes.set_ylabel("amplitude")
axes.set_title(f"{len(segments)} segments of sound")
plt.show()
