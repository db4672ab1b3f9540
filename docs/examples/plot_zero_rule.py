"""
Two rules for a zero crossing
=============================

A 1 kHz tone sampled at 48 kHz, as a 16-bit file holds it, lands on an
exact zero every 24 samples. Counted as positive, as audio tools count it
(the default of :mod:`ostrel.analysis` and the command line), a zero keeps
every crossing: 2,000 a second. By the rule of :mod:`ostrel.fenwy`, where a
crossing is a pair whose product is negative, every zero breaks one and the
tone shows none (``zero_positive=False``, ``--zero-breaks``).
"""

import matplotlib.pyplot as plt
import numpy as np

from ostrel.analysis import Settings, analyse

rate = 48000
tone = np.round(np.sin(2 * np.pi * 1000 * np.arange(rate) / rate) * 32767) / 32768
# The same with a little dither: fewer exact zeros, yet the product rule still loses many crossings.
noisy = tone + np.round(np.random.default_rng(0).normal(0, 1, rate)) / 32768

figure, axes = plt.subplots(figsize=(8, 3.5), layout="constrained")
for signal, name in [(tone, "tone"), (noisy, "tone with dither")]:
    for zero_positive, style in [(True, "-"), (False, "--")]:
        result = analyse(signal, rate, Settings(win=1024, hop=256, zero_positive=zero_positive))
        rule = "a zero is positive" if zero_positive else "a zero breaks a crossing"
        axes.plot(result.times, result.zcr * rate, style, label=f"{name}, {rule}")
        print(f"{name}, {rule}: {result.zero_crossings} crossings")
axes.set_xlabel("time (s)")
axes.set_ylabel("zero crossings / s")
axes.set_ylim(-100, 2300)
axes.legend(fontsize="small", loc="lower right", bbox_to_anchor=(1, 0.06))
plt.show()
