"""Sound segments: where constructed signals have their sound, streamed
exactly as whole, checked settings, and the command line's forms."""

import csv
import json
import tracemalloc
import wave

import numpy as np
import pytest

from ostrel.analysis import (
    InputError, SegmentSettings, SegmentStream, Settings, analyse_file, blocks, find_segments, read_audio,
)
from ostrel.cli import main
from test_cli_audio import write_wav

RATE = 16000


def noise(seconds, level_db, seed=0, smooth=1, rate=RATE):
    """Gaussian noise of ``level_db`` dBFS power; ``smooth`` > 1 low-passes it (fewer crossings)."""
    white = np.random.default_rng(seed).normal(size=round(seconds * rate) + smooth - 1)
    shaped = np.convolve(white, np.ones(smooth), "valid") if smooth > 1 else white
    return shaped / np.sqrt(np.mean(shaped**2)) * 10 ** (level_db / 20)


def tone(seconds, level_db, frequency=440.0, rate=RATE):
    """A sine of ``level_db`` dBFS power."""
    t = np.arange(round(seconds * rate)) / rate
    return np.sqrt(2) * 10 ** (level_db / 20) * np.sin(2 * np.pi * frequency * t)


def vowel(seconds, level_db, pitch=120.0, rate=RATE):
    """Harmonics of a voice, of ``level_db`` dBFS power."""
    t = np.arange(round(seconds * rate)) / rate
    buzz = sum(np.sin(2 * np.pi * pitch * k * t) / k for k in range(1, 20))
    return buzz / np.sqrt(np.mean(buzz**2)) * 10 ** (level_db / 20)


def placed(background, *parts, rate=RATE):
    """``background`` with each (start_s, samples) added at its place."""
    signal = background.copy()
    for start, samples in parts:
        at = round(start * rate)
        signal[at : at + len(samples)] += samples
    return signal


def tones_with_gaps():
    return placed(noise(4, -60), (0.5, tone(0.5, -20)), (1.6, tone(0.4, -26, 700)), (2.3, tone(0.9, -14, 300)))


def hiss_before_vowel():
    # Low-passed noise for a floor of few crossings; the hiss barely louder, but crossing often.
    floor = noise(3, -50, seed=1, smooth=8)
    return placed(floor, (1.0, noise(0.15, -52, seed=2)), (1.15, vowel(0.4, -20)))


def level_ramp(total_db, rate=RATE):
    """Noise and tones faded together by ``total_db`` over 20 s; a tone every 2 s, 25 dB above the noise."""
    gain_db = np.linspace(-70, -70 + total_db, 20 * rate)
    signal = noise(20, 0, seed=3, rate=rate) * 10 ** (gain_db / 20)
    for second in range(1, 20, 2):
        signal = placed(signal, (second, tone(0.5, -70 + total_db * second / 20 + 25, rate=rate)), rate=rate)
    return signal


def hum(seconds, mains, rate=RATE):
    """Mains hum: the mains frequency and six harmonics, and an amplifier's hiss 35 dB down."""
    t = np.arange(round(seconds * rate)) / rate
    buzz = sum(np.sin(2 * np.pi * mains * k * t + k) / k for k in range(1, 8))
    return (buzz + noise(seconds, -35, seed=6, rate=rate)) * 0.05


TONES = [(0.4925, 1.0075), (1.5925, 2.0075), (2.2925, 3.2075)]
# 25 dB above the noise, no tone stands clear of it (29 dB over the floor, which follows the noise
# as it rises): each edge lies at the half hop before the frame that heard it, or after the last.
EVERY_OTHER_SECOND = [((second * RATE - 240) / RATE, (second * RATE + 8240) / RATE) for second in range(1, 20, 2)]

# Each sound's own extent, frame by frame: no gap bridged, no padding.
EXACT = {"min_silence_ms": 10, "pad_ms": 0}

# Signal, settings, segments: each edge within two hops of where its sound starts or ends.
SIGNALS = {
    "tones-with-gaps": (tones_with_gaps, EXACT, TONES),
    # The hiss is 2 dB above the floor (its energy alone says silence), but crosses zero often.
    "hiss-before-vowel": (hiss_before_vowel, EXACT, [(1.0025, 1.5575)]),
    "vowel-alone": (lambda: placed(noise(3, -50, seed=1, smooth=8), (1.15, vowel(0.4, -20))), EXACT, [(1.1325, 1.5575)]),
    "dc-offset": (lambda: tones_with_gaps() + 0.25, EXACT, [(0.475, 1.025), (1.575, 2.025), (2.275, 3.225)]),
    "clipped": (lambda: np.clip(tones_with_gaps() * 30, -1.0, 1.0), EXACT, TONES),
    "quiet-tone-in-digital-silence": (lambda: placed(np.zeros(3 * RATE), (1.0, tone(0.5, -60))), EXACT, [(0.9925, 1.5075)]),
    "digital-silence": (lambda: np.zeros(2 * RATE), EXACT, []),
    # Widened by its fade, a faint sound at either end stops at the signal's edge.
    "faint-tone-from-the-start": (lambda: placed(noise(2, -60), (0.0, tone(1.0, -42))), EXACT, [(0.0, 1.085)]),
    # 201 frames: the last block holds one frame.
    "faint-tone-to-the-end": (lambda: placed(noise(2.01, -60), (1.0, tone(1.01, -42))), EXACT, [(0.905, 2.01)]),
    # The first sample steps up from nothing before it: no sound, however short the shortest.
    "dc-offset-from-the-first-sample": (lambda: noise(2, -60) + 0.25, {**EXACT, "min_sound_ms": 1}, []),
    "noise-alone": (lambda: noise(5, -40, seed=4), EXACT, []),
    # A buzz at 120 Hz is as steady as hum: with no pause it is its own floor unless the floor's window reaches the quiet around it.
    "sound-throughout": (lambda: placed(noise(8, -50, seed=5), (1.0, vowel(6, -20))), {**EXACT, "floor_window_s": 20}, [(0.9925, 7.0075)]),
    # Over steady noise a sound starts however far below louder sound around it (32 dB here).
    "quiet-rumble-after-a-loud-vowel": (
        lambda: placed(noise(4, -75, seed=1), (1.0, vowel(0.5, -20)), (2.0, noise(0.3, -52, seed=9, smooth=8))), EXACT,
        [(0.9925, 1.5075), (1.9925, 2.3075)],
    ),
    # A rumble 50 dB under the vowel before it is not heard, however far above the floor.
    "rumble-far-under-a-loud-vowel": (
        lambda: placed(noise(4, -95, seed=1), (1.0, vowel(0.5, -15)), (1.5, noise(1.0, -66, seed=9, smooth=32))), EXACT,
        [(0.9925, 1.5075)],
    ),
    # Steady sound with no pause is sound, not the floor; steady noise and hum are not.
    "steady-tone-throughout": (lambda: tone(10, -12), EXACT, [(0.0, 10.0)]),
    "tone-after-a-second-of-silence": (lambda: np.concatenate((np.zeros(RATE), tone(9, -12))), EXACT, [(0.9925, 10.0)]),
    "long-tone-between-short-silences": (lambda: placed(np.zeros(14 * RATE), (1.0, tone(12, -20))), EXACT, [(0.9925, 13.0075)]),
    # A codec's faint lead-in and a noisy tail (as decoded MP3 has) do not make the tone a floor.
    "tone-between-a-codec-lead-in-and-tail": (
        lambda: np.concatenate((noise(0.03, -70, seed=8), tone(3, -12), tone(0.02, -16) + noise(0.02, -25, seed=10))), EXACT,
        [(0.0225, 3.05)],
    ),
    "held-vowel-throughout": (lambda: vowel(10, -20, pitch=200), EXACT, [(0.0, 10.0)]),
    "white-noise-only": (lambda: noise(10, -20, seed=7), EXACT, []),
    "hum-50-hz-only": (lambda: hum(10, 50), EXACT, []),
    "hum-60-hz-only": (lambda: hum(10, 60), EXACT, []),
    "fade-in": (lambda: level_ramp(20), EXACT, EVERY_OTHER_SECOND),
    "fade-out": (
        lambda: level_ramp(-20), EXACT,
        [(0.985, 1.515), (2.9925, 3.5075), (4.9925, 5.5075), (6.9925, 7.5075), (8.9925, 9.5075), (10.9925, 11.5075),
         (12.9925, 13.5075), (14.9925, 15.5075), (16.9925, 17.5075), (18.985, 19.515)],
    ),
}


# A stray warning (a median of no frames in a short last block) is a fault too.
@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("case", list(SIGNALS))
def test_segments_of_constructed_signals(case):
    make, settings, expected = SIGNALS[case]
    assert find_segments(make(), RATE, SegmentSettings(**settings)) == expected


@pytest.mark.parametrize(
    "case",
    [
        "steady-tone-throughout", "tone-after-a-second-of-silence", "long-tone-between-short-silences", "hum-60-hz-only",
        "tone-between-a-codec-lead-in-and-tail", "faint-tone-to-the-end",
    ],
)
@pytest.mark.parametrize("size", [777, 16000])
def test_steady_sound_streamed_is_that_of_the_whole_signal(case, size):
    make, settings, expected = SIGNALS[case]
    signal = make()
    assert find_segments([signal[i : i + size] for i in range(0, len(signal), size)], RATE, SegmentSettings(**settings)) == expected


def faint_burst(rate, ms):
    """A loud tone at 0.5-1 s, then ``ms`` of a tone 5 dB over the noise at 1.5 s: heard only by the windows
    it fills the most, so its edges lie inside the hops of the frames that heard it."""
    return placed(
        noise(2, -60, rate=rate), (0.5, tone(0.5, -20, rate=rate)), (1.5, tone(ms / 1000, -55, 1000, rate=rate)), rate=rate
    )


def vibrato(seconds, depth, rate):
    """A tone at 440 Hz whose pitch swings ``depth`` Hz either way five times a second, at -20 dBFS."""
    t = np.arange(round(seconds * rate)) / rate
    phase = 2 * np.pi * np.cumsum(440.0 + depth * np.sin(2 * np.pi * 5.0 * t)) / rate
    return np.sqrt(2) * 0.1 * np.sin(phase)


def tones_apart(rate, level_db=-20.0):
    """Tones at 0.5-0.8 s and 1-1.3 s in noise at -60 dBFS."""
    return placed(noise(2, -60, rate=rate), (0.5, tone(0.3, level_db, rate=rate)), (1.0, tone(0.3, level_db, rate=rate)), rate=rate)


def tone_with_a_tail(rate, db_per_s):
    """A tone at 0.5-1 s, a tail of noise from 6 dB under it falling ``db_per_s`` for 0.6 s, and another
    tone at 1.6-2.1 s, in noise at -80 dBFS."""
    t = np.arange(round(0.6 * rate)) / rate
    tail = noise(0.6, -26, seed=12, rate=rate) * 10 ** (-db_per_s * t / 20)
    return placed(
        noise(3, -80, rate=rate), (0.5, tone(0.5, -20, rate=rate)), (1.0, tail), (1.6, tone(0.5, -20, 300, rate=rate)), rate=rate
    )


def knock(seconds_each, level_db, seed, rate):
    """A knock: noise at its loudest at once, falling by 1/e every ``seconds_each``, over six of those."""
    t = np.arange(round(6 * seconds_each * rate)) / rate
    burst = np.random.default_rng(seed).normal(size=len(t)) * np.exp(-t / seconds_each)
    return burst / np.abs(burst).max() * 10 ** (level_db / 20)


def after_a_tone(rate, at, sound):
    """A tone at 0.5-1 s and ``sound`` from ``at`` s, in noise at -80 dBFS."""
    return placed(noise(2.5, -80, rate=rate), (0.5, tone(0.5, -20, rate=rate)), (at, sound), rate=rate)


def fading_after_a_pause(rate):
    """A tone at 0.5-1 s, 40 ms of digital silence, then a tone 25 dB quieter fading at 50 dB a second
    for 0.3 s: a soft ending that falls as a room's tail does, but from its own onset."""
    t = np.arange(round(0.3 * rate)) / rate
    fading = tone(0.3, -45, 300, rate=rate) * 10 ** (-50 * t / 20)
    return placed(np.zeros(2 * rate), (0.5, tone(0.5, -20, rate=rate)), (1.04, fading), rate=rate)


def sixteen_bit(signal):
    """``signal`` on the grid of 16-bit samples: a tone whose period is a whole number of samples lands on exact zeros."""
    return np.round(signal * 32768) / 32768


def one_lsb_between_vowels(rate):
    """Loud vowels at 0.5-1 s and 3-3.5 s in digital silence, and between them samples of -1, 0 or +1 LSB."""
    between = np.random.default_rng(rate).integers(-1, 2, 2 * rate) / 32768
    return placed(np.zeros(4 * rate), (0.5, vowel(0.5, -20, rate=rate)), (1.0, between), (3.0, vowel(0.5, -20, rate=rate)), rate=rate)


# Rate, signal, settings, segments: what is said in milliseconds and hertz means the same at every rate.
AT_RATES = {
    # Heard in six frames (60 ms) but lying within 45 ms of them: shorter than the shortest sound.
    "faint-50-ms-burst-at-8-khz": (8000, lambda: faint_burst(8000, 50), EXACT, [(0.4925, 1.0075)]),
    "faint-50-ms-burst-at-48-khz": (48000, lambda: faint_burst(48000, 50), EXACT, [(0.4925, 1.0075)]),
    "faint-55-ms-burst-at-8-khz": (8000, lambda: faint_burst(8000, 55), EXACT, [(0.4925, 1.0075), (1.5025, 1.5575)]),
    # 45 ms is long enough for 45 ms, not for a sample more.
    "faint-burst-as-long-as-the-shortest": (
        8000, lambda: faint_burst(8000, 50), {**EXACT, "min_sound_ms": 45}, [(0.4925, 1.0075), (1.5025, 1.5475)],
    ),
    "faint-burst-a-sample-shorter-than-the-shortest": (
        8000, lambda: faint_burst(8000, 50), {**EXACT, "min_sound_ms": 45.125}, [(0.4925, 1.0075)],
    ),
    # 200 ms apart, bridged; padded by 30 ms.
    "tones-200-ms-apart-at-48-khz": (48000, lambda: tones_apart(48000), {}, [(0.4625, 1.3375)]),
    "tones-200-ms-apart-at-8-khz": (8000, lambda: tones_apart(8000), {}, [(0.4625, 1.3375)]),
    # Apart, each edge clear of the noise (31 dB over it) or, at 28 dB, not: a half hop before the frame that heard it.
    "tones-31-db-over-the-noise-at-48-khz": (48000, lambda: tones_apart(48000, -29.0), EXACT, [(0.4925, 0.8075), (0.9925, 1.3075)]),
    "tones-28-db-over-the-noise-at-8-khz": (8000, lambda: tones_apart(8000, -32.0), EXACT, [(0.485, 0.815), (0.985, 1.315)]),
    # Hum-like steady buzz of 4 s: the floor's 5 s reach the quiet around its middle.
    "buzz-throughout-at-48-khz": (
        48000, lambda: placed(noise(6, -50, seed=5, rate=48000), (1.0, vowel(4, -20, rate=48000)), rate=48000), EXACT,
        [(0.9925, 5.0075)],
    ),
    # Held at 200 Hz, above hum: sound, not the floor.
    "held-vowel-at-48-khz": (48000, lambda: vowel(5, -20, pitch=200, rate=48000), EXACT, [(0.0, 5.0)]),
    # A vibrato within a couple of crossings a frame is steady; one of ±60 Hz is not, and is its own floor.
    "narrow-vibrato-at-8-khz": (8000, lambda: vibrato(4, 20, 8000), EXACT, [(0.0, 4.0)]),
    "wide-vibrato-at-48-khz": (48000, lambda: vibrato(4, 60, 48000), EXACT, []),
    # Widened by its fade, 1 dB a 10 ms frame.
    "faint-tone-from-the-start-at-8-khz": (
        8000, lambda: placed(noise(2, -60, rate=8000), (0.0, tone(1.0, -42, rate=8000)), rate=8000), EXACT, [(0.0, 1.085)],
    ),
    # A voice 4 dB under white noise, found in the low band.
    "vowel-under-hiss-at-48-khz": (
        48000, lambda: placed(noise(3, -40, seed=1, rate=48000), (1.0, vowel(0.5, -44, rate=48000)), rate=48000), EXACT,
        [(0.745, 1.755)],
    ),
    # The floor drifts at 0.5 dB a second whatever the rate.
    "fade-in-at-48-khz": (
        48000, lambda: level_ramp(20, 48000), EXACT,
        [(0.985, 1.515), (2.985, 3.515), (4.965, 5.515), (6.985, 7.515), (8.985, 9.515), (10.985, 11.515),
         (12.985, 13.515), (14.985, 15.515), (16.985, 17.535), (18.985, 19.515)],
    ),
    # A zero counts as positive: the exact zeros of a tone on the 16-bit grid do not break its crossings,
    # which would make it hum and its own floor.
    "16-bit-1-khz-tone-at-48-khz": (48000, lambda: sixteen_bit(tone(2, -9, 1000, rate=48000)), {}, [(0.0, 2.0)]),
    "16-bit-300-hz-tone-at-48-khz": (48000, lambda: sixteen_bit(tone(2, -9, 300, rate=48000)), {}, [(0.0, 2.0)]),
    "16-bit-1-khz-tone-at-16-khz": (16000, lambda: sixteen_bit(tone(2, -9, 1000)), {}, [(0.0, 2.0)]),
    # Over digital silence, whose floor crosses nothing, a dither's crossings are the rate a hiss stands above.
    "one-lsb-dither-between-vowels-at-22-khz": (
        22050, lambda: one_lsb_between_vowels(22050), {}, [(10173 / 22050, 22827 / 22050), (65393 / 22050, 78047 / 22050)],
    ),
    # 4 s of sound cut once into pieces of at most 2.5 s.
    "long-vowel-cut-at-8-khz": (
        8000, lambda: placed(noise(6, -60, rate=8000), (1.0, vowel(4, -20, pitch=200, rate=8000)), rate=8000),
        {"max_segment_s": 2.5}, [(0.9625, 3.3), (3.3, 5.0375)],
    ),
    # Four words bridged into one 10 s segment, cut at every pause (three pieces of at most 4 s would
    # need a cut in the third word, at 7.04 s or later).
    "words-cut-at-their-pauses-at-8-khz": (
        8000,
        lambda: placed(
            noise(12, -60, rate=8000),
            *[(a, vowel(b - a, -20, pitch=p, rate=8000)) for a, b, p in [(1.0, 3.5, 110), (3.7, 6.0, 140), (6.15, 8.9, 120), (9.1, 11.0, 130)]],
            rate=8000,
        ),
        {"max_segment_s": 4}, [(0.9625, 3.54), (3.54, 6.11), (6.11, 8.94), (8.94, 11.0375)],
    ),
    # A room's tail, falling steadily at 100 dB a second: cut 14 dB under the tone, not kept down to 40 dB
    # under it and bridged to the next tone. A fall of 400 dB a second is a sound's own end, kept.
    "tail-of-100-db-a-second-at-8-khz": (8000, lambda: tone_with_a_tail(8000, 100), {}, [(0.4625, 1.1075), (1.5625, 2.1375)]),
    "tail-of-100-db-a-second-at-48-khz": (48000, lambda: tone_with_a_tail(48000, 100), {}, [(0.4625, 1.1075), (1.5625, 2.1375)]),
    "fall-of-400-db-a-second-at-48-khz": (48000, lambda: tone_with_a_tail(48000, 400), {}, [(0.4625, 1.1375), (1.5625, 2.1375)]),
    # Its peak is its own, not the tone's 25 dB above: kept whole.
    "soft-ending-after-a-pause-at-8-khz": (8000, lambda: fading_after_a_pause(8000), {}, [(0.4625, 1.3775)]),
    "soft-ending-after-a-pause-at-48-khz": (48000, lambda: fading_after_a_pause(48000), {}, [(0.4625, 1.3775)]),
    # A knock alone, 300 ms before a tone: not sound, and not bridged to the tone.
    "knock-alone-before-a-tone-at-8-khz": (
        8000, lambda: placed(noise(2.5, -80, rate=8000), (1.0, knock(0.01, -10, 14, 8000)), (1.3, tone(0.5, -20, rate=8000)), rate=8000),
        {}, [(1.2625, 1.8375)],
    ),
    "knock-alone-before-a-tone-at-48-khz": (
        48000, lambda: placed(noise(2.5, -80, rate=48000), (1.0, knock(0.01, -10, 14, 48000)), (1.3, tone(0.5, -20, rate=48000)), rate=48000),
        {}, [(1.2625, 1.8375)],
    ),
    # A short burst 200 ms after a louder sound (a word's last stop released) is not alone: kept.
    "release-after-a-tone-at-48-khz": (48000, lambda: after_a_tone(48000, 1.2, knock(0.01, -30, 14, 48000)), {}, [(0.4625, 1.2775)]),
    # A step of DC for 250 ms crosses zero never: infrasound, not heard.
    "dc-step-after-a-tone-at-8-khz": (8000, lambda: after_a_tone(8000, 1.2, np.full(2000, 0.1)), EXACT, [(0.4925, 1.0075)]),
    "dc-step-after-a-tone-at-48-khz": (48000, lambda: after_a_tone(48000, 1.2, np.full(12000, 0.1)), EXACT, [(0.4925, 1.0075)]),
}


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("case", list(AT_RATES))
def test_segments_at_other_rates_whole_and_streamed(case):
    rate, make, settings, expected = AT_RATES[case]
    signal = make()
    assert find_segments(signal, rate, SegmentSettings(**settings)) == expected
    pieces = [signal[i : i + 4321] for i in range(0, len(signal), 4321)]
    assert find_segments(pieces, rate, SegmentSettings(**settings)) == expected


@pytest.mark.parametrize("rate", [11025, 22050, 44100])
def test_a_steady_tone_is_one_segment_and_noise_none_at_any_rate(rate):
    # At 11025 and 22050 Hz the last block holds three frames, two of them reaching past the end.
    t = np.arange(10 * rate) / rate
    assert find_segments(0.35 * np.sin(2 * np.pi * 440 * t), rate) == [(0.0, 10.0)]
    assert find_segments(np.random.default_rng(rate).normal(0, 0.1, 10 * rate), rate) == []


def syllable(rng, pitch):
    """A voiced syllable: a buzz gliding in pitch through two formants, rising and falling."""
    t = np.arange(round(rng.uniform(0.12, 0.25) * RATE)) / RATE
    phase = 2 * np.pi * np.cumsum(pitch * (1 + 0.1 * np.sin(np.pi * t / t[-1]))) / RATE
    buzz = sum(np.sin(k * phase) / k for k in range(1, 30) if k * pitch * 1.1 < RATE / 2)
    f = np.fft.rfftfreq(len(t), 1 / RATE)
    f1, f2 = rng.uniform(300, 800), rng.uniform(900, 2500)
    gain = 1 / (1 + ((f - f1) / 120) ** 2) + 0.5 / (1 + ((f - f2) / 200) ** 2)
    return np.fft.irfft(np.fft.rfft(buzz) * gain, len(t)) * np.abs(np.sin(np.pi * t / t[-1])) ** 0.7


def utterance(rng, pitch, words):
    """Words of one to three syllables (some after a hiss), 50 to 150 ms of digital silence between words,
    at 0 dB power over its sounding samples."""
    parts = []
    for _ in range(words):
        for _ in range(rng.integers(1, 4)):
            if rng.random() < 0.3:
                hiss = np.diff(rng.normal(size=round(rng.uniform(0.05, 0.12) * RATE) + 1)) * 0.15
                parts.append(hiss * np.hanning(len(hiss)))
            parts.append(syllable(rng, pitch * rng.uniform(0.8, 1.25)))
        parts.append(np.zeros(round(rng.uniform(0.05, 0.15) * RATE)))
    speech = np.concatenate(parts[:-1])
    return speech / np.sqrt(np.mean(speech[np.abs(speech) > 1e-3 * np.abs(speech).max()] ** 2))


def talk(seed, levels_db, pauses_s, pitch=150.0, lead_s=1.0):
    """Utterances at ``levels_db`` (power of their sounding part), ``pauses_s`` of digital silence between
    them and ``lead_s`` before the first and after the last; the signal and where each utterance lies, in s."""
    rng = np.random.default_rng(seed)
    spoken = [utterance(rng, pitch, int(rng.integers(3, 6))) * 10 ** (level / 20) for level in levels_db]
    parts, spans, at = [np.zeros(round(lead_s * RATE))], [], round(lead_s * RATE)
    for words, pause in zip(spoken, [*pauses_s, lead_s]):
        spans.append((at / RATE, (at + len(words)) / RATE))
        parts += [words, np.zeros(round(pause * RATE))]
        at += len(words) + round(pause * RATE)
    return np.concatenate(parts), spans


def dithered(signal, seed):
    """16-bit samples with triangular dither: digital silence becomes a faint hiss."""
    rng = np.random.default_rng(seed)
    return np.round(signal * 32767 + rng.uniform(-1, 1, len(signal)) + rng.uniform(-1, 1, len(signal))) / 32767


def chord(seconds, level_db, root=220.0):
    """A sustained major chord of three notes with their harmonics, fading in and out over 50 ms."""
    t = np.arange(round(seconds * RATE)) / RATE
    notes = sum(np.sin(2 * np.pi * root * ratio * k * t) / k**2 for ratio in (1.0, 1.26, 1.5) for k in range(1, 6))
    fade = np.minimum(1.0, np.minimum(t, t[-1] - t) / 0.05)
    return notes / np.sqrt(np.mean(notes**2)) * 10 ** (level_db / 20) * fade


def reverberant(signal, seconds_to_60_db, seed):
    """``signal`` in a room: convolved with noise decaying by 60 dB over ``seconds_to_60_db``."""
    t = np.arange(round(seconds_to_60_db * RATE)) / RATE
    response = np.random.default_rng(seed).normal(size=len(t)) * 10 ** (-3 * t / seconds_to_60_db)
    response[0] = 1.0 / 0.02
    wet = np.convolve(signal, response)[: len(signal)]
    return wet / np.sqrt(np.mean(wet**2)) * np.sqrt(np.mean(signal**2))


def loud_high_voice(seed, dither):
    """Loud speech at a high pitch (peaks near full scale), digital silence or dither between."""
    signal, _ = talk(seed, [-12.0, -12.0, -12.0], [0.35, 0.8], pitch=330.0)
    signal *= 0.8 / np.abs(signal).max()
    return dithered(signal, seed) if dither else signal


def quiet_between_loud(seed):
    """An utterance 15 dB under the two around it, in white noise 10 dB under the loud ones."""
    signal, _ = talk(seed, [-20.0, -35.0, -20.0], [0.6, 0.6])
    return signal + noise(len(signal) / RATE, -30.0, seed=seed)


def wandering(seconds, level_db, seed):
    """Noise whose level wanders by up to ±6 dB every 0.3 s, as a crowd's murmur does."""
    steps = np.random.default_rng(seed).uniform(-6, 6, int(seconds / 0.3) + 2)
    gain_db = np.interp(np.arange(round(seconds * RATE)) / RATE / 0.3, np.arange(len(steps)), steps)
    return noise(seconds, level_db, seed=seed) * 10 ** (gain_db / 20)


def quiet_among_loud_in_wandering_noise(seed):
    """An utterance 25 dB under the two around it, 20 dB over noise whose level wanders."""
    signal, _ = talk(seed, [-15.0, -40.0, -15.0], [0.6, 0.6])
    return signal + wandering(len(signal) / RATE, -60.0, seed)


def voiced_without_gaps(rng, syllables, level_db):
    """Syllables one after another, no digital silence between them, at ``level_db`` dBFS power."""
    voiced = np.concatenate([syllable(rng, 150.0 * rng.uniform(0.8, 1.25)) for _ in range(syllables)])
    return voiced / np.sqrt(np.mean(voiced**2)) * 10 ** (level_db / 20)


def quiet_end_before_loud(seed):
    """A soft utterance whose last 60 ms (18 dB under it, 30 ms of digital silence before) come 0.35 s
    before an utterance 25 dB louder: too far under that one to start sound of their own."""
    rng = np.random.default_rng(seed)
    soft, loud = voiced_without_gaps(rng, 18, -40.0), voiced_without_gaps(rng, 18, -15.0)
    silence = [np.zeros(round(seconds * RATE)) for seconds in (0.3, 0.03, 0.35, 0.5)]
    return np.concatenate((silence[0], soft, silence[1], vowel(0.06, -58.0), silence[2], loud, silence[3]))


def music_between_utterances(seed):
    signal, spans = talk(seed, [-20.0, -20.0], [3.0])
    return placed(signal + noise(len(signal) / RATE, -60.0, seed=seed), (spans[0][1] + 0.8, chord(1.4, -24.0)))


# Utterances and what keeps them whole: each segment an utterance (its word gaps bridged, 30 ms of
# padding either side), or a sound apart from them. Where each utterance lies is in the comment.
UTTERANCES = {
    # Utterances at 1-3.443, 3.793-4.908 and 5.708-7.879 s, peaks at -1.9 dBFS: 0.35 s apart, more
    # than the shortest pause that splits. Each segment starts a half hop and the padding early. The
    # second's last window holds its last samples, the last one just below zero: beside digital silence
    # it crosses zero once (a zero counts as positive), and is kept as the unvoiced end of the sound.
    "loud-high-voice-in-digital-silence": (
        lambda: loud_high_voice(31, dither=False), [(0.9625, 3.4775), (3.7625, 4.9475), (5.6725, 7.9175)],
    ),
    "loud-high-voice-with-dither": (
        lambda: loud_high_voice(31, dither=True), [(0.9725, 3.4775), (3.7625, 4.9375), (5.6725, 7.9075)],
    ),
    # 1-2.93, 3.53-4.96 and 5.56-7.711 s, the middle one 5 dB under the noise: its last word (from
    # 4.72 s), the quietest, is lost in it.
    "utterance-15-db-under-its-neighbours": (
        lambda: quiet_between_loud(33), [(0.865, 3.065), (3.495, 4.655), (5.435, 7.835)],
    ),
    # 1-3.212, 3.812-5.129 and 5.729-7.785 s: the middle one starts though the noise varies and louder
    # sound is near; its onset is under the noise. The noise swells after the last, which keeps it.
    "utterance-25-db-under-its-neighbours-in-wandering-noise": (
        lambda: quiet_among_loud_in_wandering_noise(41), [(0.9725, 3.2475), (3.8025, 5.1475), (5.7025, 8.1675)],
    ),
    # 0.3-3.3225 s, its end 3.3525-3.4125 s, and 3.7625-7.2171 s: the end goes on from the soft
    # utterance across its 30 ms of silence, not lost for not starting.
    "quiet-end-of-an-utterance-before-a-louder-one": (
        lambda: quiet_end_before_loud(43), [(0.2625, 3.4475), (3.7325, 7.2475)],
    ),
    # 1-2.695 and 5.695-7.33 s; the chord (3.495-4.895 s) is sound of its own, apart from both.
    "chord-between-utterances": (
        lambda: music_between_utterances(35), [(0.9725, 2.7275), (3.4725, 4.9275), (5.6625, 7.3675)],
    ),
    # The loud voice in a room of 0.4 s: a tail lasts until 40 dB under the loudest sound, about
    # 0.4 s with the padding, and fills the 0.35 s between the first two utterances.
    "reverberant-voice": (
        lambda: reverberant(loud_high_voice(31, dither=False), 0.4, seed=37), [(0.9625, 5.3075), (5.6725, 8.2875)],
    ),
    # 1-3.588 and 4.088-6.047 s in a room of 0.6 s: each tail is cut where it falls steadily, so the
    # 0.5 s between them is not bridged, and the last ends 100 ms after the voice, not 600 ms.
    "utterances-apart-in-a-reverberant-room": (
        lambda: reverberant(talk(45, [-20.0, -20.0], [0.5])[0], 0.6, seed=38), [(0.9625, 3.6275), (4.0625, 6.1475)],
    ),
}


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("case", list(UTTERANCES))
def test_utterances_are_whole_segments(case):
    make, expected = UTTERANCES[case]
    signal = make()
    assert find_segments(signal, RATE) == expected
    pieces = [signal[i : i + 4321] for i in range(0, len(signal), 4321)]
    assert find_segments(pieces, RATE) == expected


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
# In two words, in the pause between utterances, at the first and the last sample.
@pytest.mark.parametrize("at", [1.5, 2.1, 3.6, 0.0, -1 / RATE])
def test_one_sample_not_a_number_changes_nothing_around_it(bad, at):
    signal = loud_high_voice(31, dither=True)
    spoiled = signal.copy()
    spoiled[round(at * RATE)] = bad
    for settings in (SegmentSettings(), SegmentSettings(**EXACT)):
        expected = find_segments(signal, RATE, settings)
        assert find_segments(spoiled, RATE, settings) == expected
        assert find_segments([spoiled[i : i + 1000] for i in range(0, len(spoiled), 1000)], RATE, settings) == expected


def speech_like(seconds, seed):
    """Syllables of voice and hiss at varied levels and pauses, over noise that drifts."""
    rng = np.random.default_rng(seed)
    # Falling: the quietest noise lies ahead, at the far end of the look-ahead.
    signal = noise(seconds, -55, seed=seed) * np.linspace(3.0, 1.0, round(seconds * RATE))
    at = 0.3
    while at < seconds - 1:
        length = rng.uniform(0.05, 0.4)
        part = vowel(length, rng.uniform(-35, -10), rng.uniform(90, 250)) if rng.random() < 0.7 else noise(length, -40, seed=seed + 1)
        signal = placed(signal, (at, part))
        at += length + rng.choice([0.0, 0.05, rng.uniform(0.2, 1.5)])
    return signal


@pytest.mark.parametrize(("size", "rising"), [(1, False), (159, False), (160, False), (4000, False), (16000, False), (77777, False), (4000, True)])
def test_streamed_segments_equal_those_of_the_whole_signal(size, rising):
    signal = speech_like(12, seed=size % 7)
    if rising:
        # Noise that rises: the quietest block lies at the far end of the look-back.
        signal = signal[::-1].copy()
    assert len(find_segments(signal, RATE, SegmentSettings(**EXACT))) > 5
    if size == 1:
        signal = signal[: 2 * RATE]  # sample by sample: two seconds are enough
    pieces = [signal[i : i + size] for i in range(0, len(signal), size)]
    for settings in (SegmentSettings(**EXACT), SegmentSettings()):
        assert find_segments(pieces, RATE, settings) == find_segments(signal, RATE, settings)


@pytest.mark.parametrize("lead_s", [0.0, 0.13, 0.29, 0.41, 0.57, 0.73, 0.86])
@pytest.mark.parametrize("size", [1601, 65536])
# A tone and its tail, cut: one segment a second; a tone and a soft ending: one; a knock alone: none.
@pytest.mark.parametrize(("sound", "count"), [("tail", 200), ("soft ending", 200), ("knock", 0)])
def test_tails_and_knocks_across_batches_streamed_as_whole(lead_s, size, sound, count):
    # More than one batch of frames, a sound every second: one crosses from one batch to the next.
    tail = noise(0.6, -26, seed=12) * 10 ** (-100 * np.arange(round(0.6 * RATE)) / RATE / 20)
    fading = tone(0.3, -45, 300) * 10 ** (-50 * np.arange(round(0.3 * RATE)) / RATE / 20)
    parts = {
        "tail": [(0.0, tone(0.3, -20)), (0.3, tail)],
        "soft ending": [(0.0, tone(0.3, -20)), (0.34, fading)],
        "knock": [(0.3, knock(0.01, -10, 14, RATE))],
    }[sound]
    once = placed(noise(1, -80, seed=13), *parts)[:RATE]
    signal = np.concatenate((noise(1 + lead_s, -80, seed=15), np.tile(once, 200)))
    whole = find_segments(signal, RATE)
    assert len(whole) == count
    assert find_segments([signal[i : i + size] for i in range(0, len(signal), size)], RATE) == whole


def test_the_difference_carries_its_last_sample_across_pieces():
    # A DC offset stepping at every piece's edge: its sound lies in the first
    # difference alone, at the samples where one piece meets the next.
    signal = np.full(3 * RATE, 0.5)
    signal[RATE : 2 * RATE] += np.where(np.arange(RATE) // 160 % 2, -0.01, 0.01)
    whole = find_segments(signal, RATE)
    assert whole != []
    assert find_segments([signal[i : i + 160] for i in range(0, len(signal), 160)], RATE) == whole


@pytest.mark.parametrize(
    ("rate", "sizes"),
    # 25 ms and 10 ms: 275.625 and 110.25 samples at 11025 Hz, 1102.5 (to even) and 441 at 44100 Hz.
    [(16000, (400, 160)), (11025, (276, 110)), (22050, (551, 220)), (44100, (1102, 441)), (8000, (200, 80)), (48000, (1200, 480))],
)
def test_segment_frames_are_the_nearest_whole_samples(rate, sizes):
    from ostrel.analysis.segments import SegmentStream

    stream = SegmentStream(rate)
    assert (stream.win, stream.hop) == sizes


@pytest.mark.parametrize(("size", "overlap"), [(1000, 0), (4096, 1536)])
def test_segments_of_a_file_its_blocks_and_its_analysis_agree(tmp_path, size, overlap):
    ints = np.round(speech_like(8, seed=11) * 32767).astype(np.int64)
    path = write_wav(tmp_path / "speech.wav", ints, 2, RATE)
    signal = ints / 32768.0
    whole = find_segments(signal, RATE)
    assert find_segments(path, RATE) == whole
    assert find_segments(str(path)) == whole
    assert find_segments(blocks(path, size, overlap)) == whole
    pieces = [signal[max(0, i - overlap) : i + size] for i in range(0, len(signal), size)]
    assert find_segments(pieces, RATE, overlap=overlap) == whole
    analysed = analyse_file(path, Settings(segments=SegmentSettings()))
    assert analysed.track.segments == tuple(whole)
    stereo = write_wav(tmp_path / "stereo.wav", np.column_stack((ints, ints // 4)), 2, RATE)
    each = analyse_file(stereo, Settings(segments=SegmentSettings(), channels="each"))
    assert [track.segments for track in each.tracks] == [tuple(whole), tuple(find_segments(ints // 4 / 32768.0, RATE))]


def test_a_long_stream_takes_bounded_memory():
    minute = speech_like(60, seed=3)

    def stream(minutes):
        for _ in range(minutes):
            for start in range(0, len(minute), 65536):
                yield minute[start : start + 65536]

    peaks = []
    for minutes in (2, 20):
        tracemalloc.start()
        segments = find_segments(stream(minutes), RATE)
        peaks.append(tracemalloc.get_traced_memory()[1])
        tracemalloc.stop()
        assert segments[-1][1] > (minutes - 1) * 60
    # Ten times the signal, not more memory: the segments list is all that grows.
    assert peaks[1] < peaks[0] * 1.5 < 8_000_000


@pytest.mark.parametrize(
    ("keywords", "kind", "message"),
    [
        (dict(start_db=0), ValueError, "start_db: must be a positive number of dB, got 0"),
        (dict(keep_db=float("nan")), ValueError, "keep_db: must be a positive number of dB, got nan"),
        (dict(keep_db=8.0, start_db=6.0), ValueError, "keep_db: must be at most start_db (6), got 8"),
        (dict(unvoiced_zcr=0.5), ValueError, "unvoiced_zcr: must be a number of at least 1, got 0.5"),
        (dict(unvoiced_zcr=float("inf")), ValueError, "unvoiced_zcr: must be a number of at least 1, got inf"),
        (dict(min_silence_ms=-1), ValueError, "min_silence_ms: must be a positive number, got -1"),
        (dict(floor_window_s=float("inf")), ValueError, "floor_window_s: must be a positive number, got inf"),
        (dict(pad_ms=-1), ValueError, "pad_ms: must be a number of at least 0, got -1"),
        (dict(pad_ms=float("nan")), ValueError, "pad_ms: must be a number of at least 0, got nan"),
        (dict(pad_ms=3_600_001), ValueError, "pad_ms: must be at most 3.6e+06 ms, got 3600001"),
        (dict(win_ms="25"), TypeError, "win_ms: expected a number, got '25'"),
        (dict(hop_ms=True), TypeError, "hop_ms: expected a number, got True"),
        # Every duration has a ceiling: a floor window of 1e7 s took a minute on 2 s of sound.
        (dict(floor_window_s=1e7), ValueError, "floor_window_s: must be at most 600 s, got 10000000.0"),
        (dict(win_ms=1000.5), ValueError, "win_ms: must be at most 1000 ms, got 1000.5"),
        (dict(hop_ms=2000), ValueError, "hop_ms: must be at most 1000 ms, got 2000"),
        (dict(min_sound_ms=1e300), ValueError, "min_sound_ms: must be at most 3.6e+06 ms, got 1e+300"),
        (dict(min_silence_ms=3_600_001), ValueError, "min_silence_ms: must be at most 3.6e+06 ms, got 3600001"),
        (dict(max_segment_s=0), ValueError, "max_segment_s: must be a positive number, got 0"),
        (dict(max_segment_s=86_401), ValueError, "max_segment_s: must be at most 86400 s, got 86401"),
        (dict(max_segment_s="30"), TypeError, "max_segment_s: expected a number, got '30'"),
    ],
)
def test_segment_settings_are_checked_with_one_line(keywords, kind, message):
    with pytest.raises(kind) as raised:
        SegmentSettings(**keywords)
    assert str(raised.value) == message


@pytest.mark.parametrize("keywords", [
    dict(unvoiced_zcr=1), dict(keep_db=6.0, start_db=6.0), dict(start_db=1e-9, keep_db=1e-9), dict(pad_ms=0),
    dict(floor_window_s=600, win_ms=1000, hop_ms=1000, min_sound_ms=3_600_000, min_silence_ms=3_600_000,
         pad_ms=3_600_000, max_segment_s=86_400),
])
def test_segment_settings_at_their_bounds_are_taken(keywords):
    settings = SegmentSettings(**keywords)
    assert {name: getattr(settings, name) for name in keywords} == keywords


@pytest.mark.parametrize(
    ("call", "kind", "message"),
    [
        (lambda tmp: Settings(segments=True), TypeError, "segments: expected SegmentSettings, a mapping of its fields, or None, got True"),
        (lambda tmp: Settings(segments={"start": 3}), TypeError, "segments: settings: unknown name 'start' (known: win_ms, hop_ms, "
         "floor_window_s, start_db, keep_db, unvoiced_zcr, min_sound_ms, min_silence_ms, pad_ms, max_segment_s)"),
        (lambda tmp: Settings(segments={"start_db": -3}), ValueError, "segments: start_db: must be a positive number of dB, got -3"),
        (lambda tmp: find_segments(np.zeros(10)), TypeError, "find_segments() needs the sample_rate of a signal that is not a file or blocks()"),
        (lambda tmp: find_segments(np.zeros((10, 2)), RATE), ValueError, "find_segments() takes a one-dimensional signal, got 2 dimensions; "
         "mix the channels first (signal.mean(axis=1) for samples × channels) or pass the file's path"),
        (lambda tmp: find_segments([np.zeros(10), np.zeros((10, 2))], RATE), ValueError, "find_segments() takes one-dimensional blocks, got 2 "
         "dimensions; mix each block's channels first (block.mean(axis=1) for samples × channels) or pass the file's path"),
        # A file's rate is in its header: another one given would put every segment at the wrong time.
        (lambda tmp: find_segments(write_wav(tmp / "s.wav", np.zeros(100, dtype=np.int64), 2, RATE), 2 * RATE), ValueError,
         lambda tmp: f"find_segments() got sample_rate=32000 for {tmp / 's.wav'}, which is 16000 Hz; leave sample_rate out for a file"),
        (lambda tmp: find_segments(str(write_wav(tmp / "s.wav", np.zeros(100, dtype=np.int64), 2, RATE)), np.int64(8000)), ValueError,
         lambda tmp: f"find_segments() got sample_rate=8000 for {tmp / 's.wav'}, which is 16000 Hz; leave sample_rate out for a file"),
        (lambda tmp: find_segments(blocks(write_wav(tmp / "s.wav", np.zeros(100, dtype=np.int64), 2, RATE), 50), 44100), ValueError,
         lambda tmp: f"find_segments() got sample_rate=44100 for {tmp / 's.wav'}, which is 16000 Hz; leave sample_rate out for a file"),
        (lambda tmp: find_segments(np.zeros(10), 40, SegmentSettings(hop_ms=10)), InputError, "a segment hop of 10 ms is shorter than one sample at 40 Hz"),
        (lambda tmp: find_segments(blocks(write_wav(tmp / "s.wav", np.zeros((100, 2), dtype=np.int64), 2, RATE), 50, channels="each")),
         ValueError, "find_segments() takes the blocks of one channel or of the mix-down"),
        (lambda tmp: SegmentStream(RATE).feed(np.zeros((10, 2))), ValueError, "SegmentStream.feed() takes one-dimensional pieces, got 2 "
         "dimensions; mix the channels first (piece.mean(axis=1) for samples × channels)"),
        (lambda tmp: SegmentStream(RATE).feed(np.zeros(10, np.int64)), TypeError,
         "SegmentStream.feed() takes integer samples as int8, int16, int32 or uint8 PCM, scaled by their full scale; "
         "give int64 samples as floats in [-1, 1] (for 16-bit values: x / 32768)"),
    ],
)
def test_what_find_segments_cannot_take_is_one_line(tmp_path, call, kind, message):
    with pytest.raises(kind) as raised:
        call(tmp_path)
    assert str(raised.value) == (message(tmp_path) if callable(message) else message)


def test_a_files_own_rate_given_is_taken(tmp_path):
    path = write_wav(tmp_path / "s.wav", np.round(placed(noise(2, -60), (0.5, tone(0.5, -12))) * 32767).astype(np.int64), 2, RATE)
    expected = find_segments(path)
    assert len(expected) == 1
    assert find_segments(path, RATE) == find_segments(blocks(path, 4000), RATE) == expected


@pytest.mark.parametrize("rate", [np.float32(44100), 8000.5, 2**63, "8000", float("nan"), 1e300, 0, -16000, True])
@pytest.mark.parametrize("where", ["signal", "blocks", "stream", "file"])
def test_a_bad_rate_is_refused_with_the_words_analyse_uses(rate, where):
    from ostrel.analysis import SegmentStream, analyse

    # The words of the running numpy's reprs, as analyse gives them.
    with pytest.raises((TypeError, ValueError)) as expected:
        analyse(np.zeros(100), rate)
    calls = {
        "signal": lambda: find_segments(np.zeros(100), rate),
        "blocks": lambda: find_segments([np.zeros(50), np.zeros(50)], rate),
        "stream": lambda: SegmentStream(rate),
        # Refused as a rate before the file is looked for.
        "file": lambda: find_segments("missing.wav", rate),
    }
    with pytest.raises(type(expected.value)) as raised:
        calls[where]()
    assert str(raised.value) == str(expected.value)


@pytest.mark.parametrize(
    ("settings", "kind", "message"),
    [
        (Settings(), TypeError,
         "settings: expected SegmentSettings, got Settings (the analysis's); give Settings(...).segments or SegmentSettings(...)"),
        ({"min_sound": 600}, TypeError, "settings: unknown name 'min_sound' (known: win_ms, hop_ms, floor_window_s, start_db, "
         "keep_db, unvoiced_zcr, min_sound_ms, min_silence_ms, pad_ms, max_segment_s)"),
        ({"floor_window_s": 1e7}, ValueError, "floor_window_s: must be at most 600 s, got 10000000.0"),
        ([("min_sound_ms", 600)], TypeError, "settings: expected SegmentSettings or a mapping of them, got list"),
    ],
)
def test_segment_settings_given_wrong_are_one_line(settings, kind, message):
    with pytest.raises(kind) as raised:
        find_segments(np.zeros(100), RATE, settings)
    assert str(raised.value) == message


def test_settings_and_segment_settings_are_not_taken_for_each_other():
    from ostrel.analysis import analyse

    with pytest.raises(TypeError) as raised:
        analyse(np.zeros(100), RATE, SegmentSettings())
    assert str(raised.value) == "settings: expected Settings, got SegmentSettings; give Settings(segments=...)"


@pytest.mark.filterwarnings("error")
def test_segment_settings_as_a_mapping_and_nan_samples_are_taken_quietly():
    signal = tones_with_gaps()
    longer = find_segments(signal, RATE, SegmentSettings(min_sound_ms=600))
    assert find_segments(signal, RATE, {"min_sound_ms": 600}) == longer != TONES
    from ostrel.analysis import analyse

    assert analyse(signal, RATE, {"segments": {"min_sound_ms": 600}}).tracks[0].segments == tuple(longer)
    broken = signal.copy()
    broken[100] = np.nan
    # NaN frames are judged as no sound, streamed as whole; numpy says nothing of them.
    assert find_segments(broken, RATE) == find_segments([broken[:7000], broken[7000:]], RATE)


@pytest.mark.parametrize(
    ("dtype", "scale", "offset"),
    [(np.int16, 2.0**15, 0), (np.int32, 2.0**31, 0), (np.int8, 2.0**7, 0), (np.uint8, 2.0**7, 128)],
)
def test_integer_samples_are_scaled_by_their_full_scale(dtype, scale, offset):
    from ostrel.analysis import analyse

    # As scipy.io.wavfile.read gives a file: the same sound at the type's own scale.
    floats = np.round(tones_with_gaps() * (scale / 2)) / scale
    ints = (floats * scale + offset).astype(dtype)
    settings = Settings(segments=SegmentSettings())
    as_ints, as_floats = analyse(ints, RATE, settings).to_json()[0], analyse(floats, RATE, settings).to_json()[0]
    assert as_ints == as_floats
    assert find_segments(ints, RATE) == find_segments(floats, RATE)
    # Blocks of integers too, and a stream fed them.
    assert analyse([ints[:20000], ints[20000:]], RATE, settings).to_json()[0] == as_floats
    assert streamed_samples(ints[:20000], ints[20000:]) == streamed_samples(floats)


def streamed_samples(*pieces):
    stream = SegmentStream(RATE)
    for piece in pieces:
        stream.feed(piece)
    return stream.finish(), stream.fed


@pytest.mark.parametrize("dtype", [np.float32, ">f8", ">f4"])
def test_a_stream_takes_float_pieces_of_any_width_and_byte_order(dtype):
    samples = tones_with_gaps().astype(dtype)
    segments, fed = streamed_samples(samples[:12345], samples[12345:])
    assert (segments, fed) == streamed_samples(samples.astype(np.float64))
    assert segments and fed == len(samples)


def test_a_piece_refused_is_not_counted():
    stream = SegmentStream(RATE)
    stream.feed(np.zeros(100))
    with pytest.raises(ValueError):
        stream.feed(np.zeros((10, 2)))
    assert stream.fed == 100


@pytest.mark.parametrize(("rate", "keywords"), [(192000, {"win_ms": 1000, "hop_ms": 1000}), (10**8, {})])
def test_long_frames_need_no_memory_out_of_proportion_to_the_signal(rate, keywords):
    tracemalloc.start()
    find_segments(np.zeros(1000), rate, keywords)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    # The frames' own buffers, not a probe of twenty of them several times over.
    assert peak < 3 * 8 * (rate * max(keywords.get("win_ms", 25), 25) // 1000) + 2_000_000


@pytest.mark.parametrize("dtype", [np.int64, np.uint16, np.uint32, np.uint64])
def test_integers_of_no_audio_scale_are_refused_with_what_to_do(dtype):
    from ostrel.analysis import analyse

    name = np.dtype(dtype).name
    message = (
        "takes integer samples as int8, int16, int32 or uint8 PCM, scaled by their full scale; "
        f"give {name} samples as floats in [-1, 1] (for 16-bit values: x / 32768)"
    )
    for who, call in (("analyse()", lambda: analyse(np.zeros(100, dtype), RATE)), ("find_segments()", lambda: find_segments(np.zeros(100, dtype), RATE))):
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == f"{who} {message}"
    # A list of whole numbers is numbers, as it always was.
    assert analyse([0, 1, 0, -1] * 100, RATE).to_json() == analyse(np.array([0.0, 1, 0, -1] * 100), RATE).to_json()


@pytest.mark.parametrize(
    ("start", "end", "energy", "longest", "around", "expected"),
    [
        # Short enough: as it is.
        (0, 100, [5.0] * 11, 100, 0, [(0, 100)]),
        # Two pieces needed: the quietest frame where each side is at least a quarter (frames at 10 * m).
        (0, 120, [9, 9, 9, 1, 9, 9, 0, 9, 9, 9, 9, 9, 9], 100, 0, [(0, 60), (60, 120)]),
        # The quietest frame of all lies too close to the start: a sliver it would make.
        (0, 120, [9, 0, 9, 5, 9, 9, 9, 9, 9, 9, 9, 9, 9], 100, 0, [(0, 30), (30, 120)]),
        # Quiet padding at both edges: two slivers of it and a piece between are not the plan.
        (0, 120, [9, 0] + [9] * 9 + [0, 9], 100, 0, [(0, 30), (30, 120)]),
        # Three pieces: each cut leaves what follows short enough for the pieces still to come.
        (0, 250, [9] * 9 + [1] + [9] * 8 + [2] + [9] * 7, 100, 0, [(0, 90), (90, 180), (180, 250)]),
        # Equals: the earliest; NaN frames are never the quietest.
        (0, 120, [9, 9, 9, 9, 1, np.nan, 1, 9, 9, 9, 9, 9, 9], 100, 0, [(0, 40), (40, 120)]),
        # No frame centred where a cut may fall: the middle of that stretch.
        (0, 120, [np.nan] * 13, 100, 0, [(0, 60), (60, 120)]),
        (5, 125, [9, 9, 9, 9, 9, 9, 1, 9, 9, 9, 9, 9, 9], 100, 0, [(5, 60), (60, 125)]),
        # A closure (the quietest frame, at 60) first: cut there, a greedy cut falls in the words at 150
        # and 250; planned over the whole segment, the pauses at 90, 180 and 270 take all three.
        (0, 350, [9] * 6 + [0] + [9] * 2 + [1] + [9] * 8 + [1] + [9] * 8 + [1] + [9] * 8, 100, 0,
         [(0, 90), (90, 180), (180, 270), (270, 350)]),
        # Three pieces would be cut in words at 100 and 200: one more piece, and every cut is at a pause.
        (0, 300, [9] * 8 + [0] + [9] * 8 + [0] + [9] * 7 + [0] + [9] * 5, 100, 0,
         [(0, 80), (80, 170), (170, 250), (250, 300)]),
        # The forced cut at 100 is within 3 dB of the pauses: not worth a piece more. A pause 4 dB quieter is.
        (0, 200, [9] * 6 + [0.9] + [9] * 3 + [1.0] + [9] * 2 + [0.9] + [9] * 7, 100, 0, [(0, 100), (100, 200)]),
        (0, 200, [9] * 6 + [0.4] + [9] * 3 + [1.0] + [9] * 2 + [0.4] + [9] * 7, 100, 0, [(0, 60), (60, 130), (130, 200)]),
        # Digital silence and -110 dBFS are as quiet: no piece more for the difference.
        (0, 200, [9] * 6 + [0] + [9] * 3 + [1e-11] + [9] * 2 + [0] + [9] * 7, 100, 0, [(0, 100), (100, 200)]),
        # The loudest cut is forced to 5 (no pause in 180-250): the other one still finds the pause at 90.
        (0, 280, [5] * 9 + [0] + [5] * 19, 100, 0, [(0, 90), (90, 180), (180, 280)]),
        # A frame's level is the loudest within ``around`` of it: the three quiet frames of a pause
        # win over the single one of a closure.
        (0, 120, [9, 9, 9, 9, 0, 9, 1, 1, 1, 9, 9, 9, 9], 100, 0, [(0, 40), (40, 120)]),
        (0, 120, [9, 9, 9, 9, 0, 9, 1, 1, 1, 9, 9, 9, 9], 100, 1, [(0, 70), (70, 120)]),
        # Beyond the last frame (the end of the signal) there is nothing loud: frame 9's level is 2.
        (0, 120, [9] * 8 + [2, 1], 100, 1, [(0, 90), (90, 120)]),
        # Pieces shorter than a frame's hop: of equal length.
        (0, 25, [0.0] * 3, 7, 0, [(0, 6), (6, 12), (12, 18), (18, 25)]),
    ],
)
def test_a_long_segment_is_cut_at_its_quietest_frames(start, end, energy, longest, around, expected):
    from ostrel.analysis.cutting import cut_at_quietest

    assert cut_at_quietest(start, end, np.array(energy, dtype=float), 10, longest, around) == expected


@pytest.mark.parametrize("around", [0, 1])
def test_a_long_segment_is_cut_as_the_best_of_all_plans(around):
    # Every plan of whole-number energies tried (sums exact): the loudest cut least, up to the slack or
    # silence; then the fewest pieces, the least sum, the earliest cuts.
    from itertools import combinations

    from ostrel.analysis.cutting import LEVEL_SLACK_DB, SILENT_LEVEL, cut_at_quietest

    rng = np.random.default_rng(around)
    for _ in range(150):
        # At most 13 frames where a cut may fall: every plan can be tried.
        start, longest = int(rng.integers(0, 15)), int(rng.integers(30, 61))
        end = start + int(rng.integers(longest + 1, 2.2 * longest))
        energy = rng.choice([0.0, 1.0, 2.0, 3.0, 9.0], size=end // 10 + 2, p=[0.05, 0.1, 0.1, 0.05, 0.7])
        level = [energy[max(0, m - around) : m + around + 1].max() for m in range(len(energy))]
        frames = [m for m in range(len(energy)) if start < m * 10 < end]
        plans = []
        for cuts in range(1, len(frames) + 1):
            for chosen in combinations(frames, cuts):
                bounds = [start, *(m * 10 for m in chosen), end]
                if all(longest // 4 <= b - a <= longest for a, b in zip(bounds, bounds[1:])):
                    plans.append(([level[m] for m in chosen], bounds))
        loudest = max(min(max(levels) for levels, _ in plans), SILENT_LEVEL) * 10 ** (LEVEL_SLACK_DB / 10)
        _, _, bounds = min((len(levels), sum(levels), bounds) for levels, bounds in plans if max(levels) <= loudest)
        case = (start, end, energy.tolist(), longest)
        assert cut_at_quietest(start, end, energy, 10, longest, around) == list(zip(bounds, bounds[1:])), case


@pytest.mark.parametrize("size", [777, None])
def test_max_segment_s_cuts_long_sound_into_pieces_none_longer(size):
    # Speech-like sound with short pauses, bridged into one long segment, cut again at the pauses.
    signal = speech_like(12, seed=31)
    settings = SegmentSettings(min_silence_ms=2000)
    whole = find_segments(signal, RATE, settings)
    pieces = signal if size is None else [signal[i : i + size] for i in range(0, len(signal), size)]
    cut = find_segments(pieces, RATE, SegmentSettings(min_silence_ms=2000, max_segment_s=2.5))
    assert max(end - start for start, end in cut) <= 2.5
    assert len(cut) > len(whole)
    # The pieces tile the segments found without the limit, no sample lost or added.
    joined = []
    for start, end in cut:
        if joined and joined[-1][1] == start:
            joined[-1] = (joined[-1][0], end)
        else:
            joined.append((start, end))
    assert joined == whole
    # Each cut is at a frame quieter than most of its piece.
    energy = np.convolve(signal**2, np.ones(400) / 400, "same")
    for (_, cut_at), (next_start, _) in zip(cut, cut[1:]):
        if cut_at == next_start:
            assert energy[round(cut_at * RATE)] < np.median(energy[round(whole[0][0] * RATE) : round(whole[-1][1] * RATE)])


@pytest.fixture
def speech_files(tmp_path):
    """Two 16-bit files of speech-like sound and the float signals they hold (stereo: its channels)."""
    mono = np.round(speech_like(6, seed=21) * 32767).astype(np.int64)
    stereo = np.column_stack((mono, np.round(speech_like(6, seed=22) * 32767).astype(np.int64)))
    return {
        "mono": (write_wav(tmp_path / "mono.wav", mono, 2, RATE), mono),
        "stereo": (write_wav(tmp_path / "stereo.wav", stereo, 2, RATE), stereo),
    }


def as_lists(segments):
    return [list(span) for span in segments]


def test_summary_counts_the_segments_and_lists_the_first(speech_files, capsys):
    path, ints = speech_files["mono"]
    expected = find_segments(ints / 32768.0, RATE)
    assert len(expected) > 1
    assert main([str(path), "--segments", "--top", "1"]) == 0
    lines = capsys.readouterr().out.splitlines()
    total = sum(end - start for start, end in expected)
    at = lines.index(f"  sound segments   {len(expected)}, {total:.3f} s of sound ({100 * total / 6:.1f} % of the signal)")
    assert lines[at + 1 :] == [
        f"                   {expected[0][0]:8.3f} - {expected[0][1]:8.3f} s",
        f"                   ... {len(expected) - 1} more",
    ]
    # All of them shown: nothing more to say.
    assert main([str(path), "--segments", "--top", str(len(expected))]) == 0
    assert capsys.readouterr().out.splitlines()[-1] == f"                   {expected[-1][0]:8.3f} - {expected[-1][1]:8.3f} s"


@pytest.mark.parametrize("channels", ["mix", "each"])
def test_json_and_csv_hold_the_segments_of_each_file_or_channel(speech_files, tmp_path, capsys, channels):
    paths = [speech_files["mono"][0], speech_files["stereo"][0]]
    table = tmp_path / "segments.csv"
    assert main([*map(str, paths), "--segments-csv", str(table), "--json", "--channels", channels]) == 0
    entries = json.loads(capsys.readouterr().out)
    stereo = speech_files["stereo"][1] / 32768.0
    signals = [("mono", None, speech_files["mono"][1] / 32768.0)]
    if channels == "mix":
        signals.append(("stereo", None, stereo.mean(axis=1)))
    else:
        signals += [("stereo", 1, stereo[:, 0]), ("stereo", 2, stereo[:, 1])]
    expected = [(f"{name}.wav", channel, find_segments(signal, RATE)) for name, channel, signal in signals]
    mono_channel = None if channels == "mix" else 1
    expected[0] = (expected[0][0], mono_channel, expected[0][2])
    assert [(entry["source"].rsplit("/", 1)[1], entry["channel"], entry["segments"]) for entry in entries] == [
        (name, channel, as_lists(segments)) for name, channel, segments in expected
    ]
    with table.open(newline="") as rows:
        assert list(csv.reader(rows)) == [["source", "channel", "start_s", "end_s", "error"]] + [
            [str(paths[0] if name == "mono.wav" else paths[1]), "" if channel is None else str(channel), repr(start), repr(end), ""]
            for name, channel, segments in expected
            for start, end in segments
        ]


def test_segments_csv_on_stdout_alone_and_the_same_from_worker_processes(speech_files, capsys):
    paths = [str(speech_files["mono"][0]), str(speech_files["stereo"][0])]
    assert main([paths[0], "--segments-csv", "-"]) == 0
    one = capsys.readouterr().out.splitlines()
    expected = find_segments(speech_files["mono"][1] / 32768.0, RATE)
    assert one == ["source,channel,start_s,end_s"] + [f"{paths[0]},,{start!r},{end!r}" for start, end in expected]
    # Several files: stdout holds the table alone, not the lines of each file too.
    assert main([*paths, "--segments-csv", "-"]) == 0
    mixed = find_segments(speech_files["stereo"][1].mean(axis=1) / 32768.0, RATE)
    assert capsys.readouterr().out.splitlines() == ["source,channel,start_s,end_s,error"] + [
        f"{path},,{start!r},{end!r}," for path, segments in zip(paths, (expected, mixed)) for start, end in segments
    ]
    # A file not analysed has its row there too.
    broken = speech_files["mono"][0].with_name("broken.wav")
    broken.write_bytes(b"nonsense")
    assert main([paths[0], str(broken), "--segments-csv", "-"]) == 2
    # The reader's own words, which differ with soundfile installed or not.
    with pytest.raises(InputError) as refused:
        read_audio(broken)
    assert capsys.readouterr().out.splitlines()[-1] == f"{broken},,,,{refused.value}"
    assert main([*paths, "--segments", "--json"]) == 0
    here = capsys.readouterr().out
    assert main([*paths, "--segments", "--json", "--jobs", "2"]) == 0
    assert capsys.readouterr().out == here


def test_sound_wav_holds_the_samples_of_the_segments_and_no_others(speech_files, tmp_path, capsys):
    path, ints = speech_files["stereo"]
    target = tmp_path / "sound.wav"
    assert main([str(path), "--sound-wav", str(target)]) == 0
    segments = find_segments(ints.mean(axis=1) / 32768.0, RATE)
    kept = np.concatenate([ints[round(start * RATE) : round(end * RATE)] for start, end in segments])
    # 16-bit in, 16-bit out: the very samples.
    with wave.open(str(target)) as sound:
        assert (sound.getnchannels(), sound.getsampwidth(), sound.getframerate()) == (2, 2, RATE)
        written = np.frombuffer(sound.readframes(sound.getnframes()), dtype="<i2").reshape(-1, 2)
    assert np.array_equal(written, kept)
    # Bytes a second and a frame, which players trust and the reader above does not check.
    assert np.frombuffer(target.read_bytes()[28:34], dtype="<u4", count=1).tolist() == [RATE * 2 * 2]
    assert target.read_bytes()[32:34] == (2 * 2).to_bytes(2, "little")
    # Several files: one per input, named after it, in the folder given.
    folder = tmp_path / "sounds"
    assert main([str(path), str(speech_files["mono"][0]), "--sound-wav", str(folder)]) == 0
    assert sorted(p.name for p in folder.iterdir()) == ["mono.wav.sound.wav", "stereo.wav.sound.wav"]
    assert (folder / "stereo.wav.sound.wav").read_bytes() == target.read_bytes()


def test_plot_shades_the_segments_of_each_channel_behind_the_waveform(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from ostrel.analysis import analyse
    from ostrel.cli.plot import plot_analysis

    signal = np.column_stack((tones_with_gaps(), placed(noise(4, -60, seed=9), (1.0, tone(1.0, -20)))))
    result = analyse(signal, RATE, Settings(channels="each", envelope=True, segments=SegmentSettings(**EXACT)))
    shaded = []
    monkeypatch.setattr(Figure, "savefig", lambda figure, *args, **kwargs: shaded.extend(
        (collection.get_label(), collection.get_facecolor()[0][:3].tolist(),
         [(path.vertices[:, 0].min(), path.vertices[:, 0].max()) for path in collection.get_paths()])
        for collection in figure.axes[0].collections if collection.get_label().startswith(("channel 1 sound", "channel 2 sound"))
    ))
    plot_analysis(result, tmp_path / "x.png")
    from matplotlib.colors import to_rgb

    assert shaded == [
        ("channel 1 sound (3 segments)", list(to_rgb("C0")), [pytest.approx(span) for span in TONES]),
        ("channel 2 sound (1 segment)", list(to_rgb("C1")), [pytest.approx(span) for span in find_segments(signal[:, 1], RATE, SegmentSettings(**EXACT))]),
    ]


@pytest.mark.parametrize(
    ("runs", "expected"),
    [
        # A gap of exactly min_silence is silence; one frame less is bridged.
        ([(0, 5), (8, 12)], [(0, 5), (8, 12)]),
        ([(0, 5), (7, 12)], [(0, 12)]),
        # Short runs are all kept: how long a sound is, its placed edges tell.
        ([(0, 3), (10, 14)], [(0, 3), (10, 14)]),
        # 2 dB short of the span: widened by 2 frames at 1 dB a frame, then bridged.
        ([(10, 15, 24.5), (20, 24, 24.5)], [(8, 26)]),
        # A run with no start goes on from a started one less than two frames before it, and only so.
        ([(0, 5), (6, 8, 26.5, False)], [(0, 8)]),
        ([(0, 5), (7, 9, 26.5, False)], [(0, 5)]),
        ([(0, 2, 26.5, False), (3, 6)], [(3, 6)]),
        # Measured from the started run: a chain of runs with no start ends with the first.
        ([(0, 5), (6, 8, 26.5, False), (9, 10, 26.5, False)], [(0, 8)]),
        # Measured between the frames heard: widened by a frame (1 dB short of the span), it reaches no
        # further back, and once kept it is widened as any run.
        ([(0, 5), (7, 9, 25.5, False)], [(0, 5)]),
        ([(0, 5), (6, 8, 25.5, False)], [(0, 9)]),
    ],
)
def test_runs_are_widened_bridged_and_dropped_at_their_exact_bounds(runs, expected):
    from ostrel.analysis.segments import SPAN_DB, _Merger

    merger = _Merger(gap=3, goes_on=2, slope_db=1.0, clear_db=np.inf)
    for first, end, *rest in runs:
        merger.add(first, end, rest[0] if rest else SPAN_DB, rest[1] if len(rest) == 2 else True)
    assert [(first, end) for first, end, *_ in merger.finish()] == expected


@pytest.mark.parametrize(
    ("runs", "expected"),
    [
        ([(0, 5, 30.0)], [(0, 5, True, True)]),
        ([(0, 5, 29.9)], [(0, 5, False, False)]),
        # Each edge of runs bridged is clear as the run it comes from.
        ([(0, 5, 30.0), (7, 12, 26.5)], [(0, 12, True, False)]),
        ([(0, 5, 26.5), (7, 12, 30.0)], [(0, 12, False, True)]),
        # A widened run's edge is not clear, however loud the run it is joined to.
        ([(10, 15, 24.5), (19, 24, 30.0)], [(8, 24, False, True)]),
        ([(10, 15, 40.0), (17, 20, 24.5)], [(10, 22, True, False)]),
    ],
)
def test_an_edge_is_clear_as_the_run_it_comes_from(runs, expected):
    from ostrel.analysis.segments import _Merger

    merger = _Merger(gap=3, goes_on=2, slope_db=1.0, clear_db=30.0)
    for run in runs:
        merger.add(*run, started=True)
    assert merger.finish() == expected


@pytest.mark.parametrize(
    ("channels", "expected"),
    [
        ([[(0.0, 1.0)], [(0.25, 0.5), (0.75, 1.5)]], [(0, 24000)]),
        ([[(0.0, 0.5)], [(0.4, 0.75)], [(1.0, 9.0)]], [(0, 12000), (16000, 32000)]),
        # Pieces of one long segment cut apart touch, and stay apart.
        ([[(0.0, 0.5), (0.5, 0.75)]], [(0, 8000), (8000, 12000)]),
    ],
)
def test_the_sound_kept_is_the_union_of_the_channels_segments(channels, expected):
    from types import SimpleNamespace

    from ostrel.cli.segments import sample_spans

    tracks = [SimpleNamespace(segments=tuple(segments)) for segments in channels]
    assert sample_spans(SimpleNamespace(sample_rate=RATE, num_samples=2 * RATE, tracks=tracks)) == expected


@pytest.mark.parametrize("size", [1, 2, 7, 20, 1000])
def test_runs_across_pieces_keep_their_start_strength_and_peak(size):
    from ostrel.analysis.segments import _Runs

    rng = np.random.default_rng(size)
    candidate = rng.random(1000) < 0.8
    strong = rng.random(1000) < 0.05
    height = rng.normal(20, 10, 1000)
    whole = _Runs()
    expected = whole.feed(candidate, strong, height, 0) + whole.finish(1000)
    runs = _Runs()
    found = []
    for start in range(0, 1000, size):
        found += runs.feed(candidate[start : start + size], strong[start : start + size], height[start : start + size], start)
    assert found + runs.finish(1000) == expected
    # Each run: candidates throughout, its highest frame, whether a strong frame is in it.
    edges = np.flatnonzero(np.diff(np.concatenate(([0], candidate.astype(int), [0]))))
    assert expected == [
        (start, end, float(height[start:end].max()), bool(strong[start:end].any()))
        for start, end in zip(edges[0::2], edges[1::2])
    ]


def measured(measures, pieces):
    """Every frame of ``measures`` fed ``pieces``, taken as they come and at the end."""
    rows = []
    for piece in pieces:
        measures.feed(piece)
        rows.append(np.empty((measures.pending(), 4)))
        measures.take(rows[-1])
    measures.finish()
    rows.append(np.empty((measures.pending(), 4)))
    measures.take(rows[-1])
    return np.concatenate(rows)


def spoiled(x, rng):
    x = x.copy()
    x[rng.integers(0, len(x), 4)] = [np.nan, np.inf, -np.inf, np.nan]
    return x


# Signals for the native measurements: each stresses one of their steps.
MEASURE_SIGNALS = {
    "noise": lambda rng, n: rng.normal(size=n) * 0.1,
    "silence": lambda rng, n: np.zeros(n),
    "silence-then-sound": lambda rng, n: np.concatenate((np.zeros(n // 2), rng.normal(size=n - n // 2))),
    "nan-and-infinities": lambda rng, n: spoiled(rng.normal(size=n), rng),
    "all-nan": lambda rng, n: np.full(n, np.nan),
    "int16-scaled": lambda rng, n: np.round(rng.normal(size=n) * 3000) / 32768,
    # A zero of either sign counts as positive: between signs, it crosses on one side of it only.
    "signed-zeros": lambda rng, n: rng.choice([-1.0, -0.0, 0.0, 1.0], n) * rng.random(n),
    # Products that underflow to zero cross nothing; squares that overflow are infinite.
    "subnormal": lambda rng, n: rng.choice([-1.0, 1.0], n) * 5e-324 * rng.integers(1, 4, n),
    "huge": lambda rng, n: rng.choice([-1.0, 1.0], n) * 1e200 * rng.random(n),
    "magnitudes": lambda rng, n: rng.choice([-1.0, 1.0], n) * np.ldexp(1.0 + rng.random(n), rng.integers(-30, 30, n)),
    "dc-offset": lambda rng, n: 0.5 + rng.normal(size=n) * 1e-9,
}


@pytest.mark.parametrize("rate", [8000, 11025, 16000, 22050, 44100, 48000])
@pytest.mark.parametrize("case", list(MEASURE_SIGNALS))
def test_native_measurements_are_numpys_to_the_bit_whatever_the_pieces(rate, case):
    from ostrel._segments import Measures
    from ostrel.analysis.segments import LOW_BAND_HZ, LOW_SPAN_WINDOWS, NumpyMeasures, frame_sizes

    win, hop = frame_sizes(SegmentSettings(), rate)
    low_block = max(1, round(rate / LOW_BAND_HZ))
    rng = np.random.default_rng([rate, len(case)])
    signal = MEASURE_SIGNALS[case](rng, round(0.6 * rate) + 13)
    with np.errstate(all="ignore"):
        reference = measured(NumpyMeasures(win, hop, low_block), [signal])
    assert len(reference) == -(-(len(signal) + win // 2 - win + hop) // hop)
    for size in (hop - 1, win + 1, 4097, 9000, len(signal)):
        pieces = [signal[i : i + size] for i in range(0, len(signal), size)]
        native = measured(Measures(win, hop, low_block, LOW_SPAN_WINDOWS * win), pieces)
        assert native.view(np.uint64).tolist() == reference.view(np.uint64).tolist(), size


@pytest.mark.parametrize("seed", range(6))
def test_native_measurements_of_any_frames_are_numpys_to_the_bit(seed):
    # Windows of one sample up, hops longer than windows, low-band blocks longer than four windows,
    # signals shorter than a window or empty, cut anywhere.
    from ostrel._segments import Measures
    from ostrel.analysis.segments import NumpyMeasures

    rng = np.random.default_rng(seed)
    for case in range(40):
        win, hop, block = (int(v) for v in rng.integers(1, [300, 200, 90]))
        if case % 4 == 0:
            # A low-band block longer than four windows: the short window ends last.
            win = max(1, block // 5)
        long_span = 4 * win
        signal = MEASURE_SIGNALS[list(MEASURE_SIGNALS)[int(rng.integers(len(MEASURE_SIGNALS)))]](rng, int(rng.integers(0, 2500)))
        with np.errstate(all="ignore"):
            reference = measured(NumpyMeasures(win, hop, block), [signal] if len(signal) else [])
        cuts = np.sort(rng.integers(0, len(signal) + 1, int(rng.integers(0, 6))))
        pieces = [piece for piece in np.split(signal, cuts) if len(piece)]
        native = measured(Measures(win, hop, block, long_span), pieces)
        assert native.view(np.uint64).tolist() == reference.view(np.uint64).tolist(), (win, hop, block, len(signal))
        with np.errstate(all="ignore"):
            streamed = measured(NumpyMeasures(win, hop, block), pieces)
        assert streamed.view(np.uint64).tolist() == reference.view(np.uint64).tolist(), (win, hop, block, len(signal))


@pytest.mark.parametrize("rate", [8000, 16000, 44100, 48000, 96000])
def test_the_native_measurements_are_taken_at_every_rate(rate):
    # numpy's sums on this build are those the native ones reproduce: no rate falls back to the slow path.
    from ostrel._segments import Measures
    from ostrel.analysis.segments import SegmentStream

    assert type(SegmentStream(rate).measures) is Measures


def test_segments_of_the_native_and_numpy_measurements_are_the_same(monkeypatch):
    from ostrel.analysis import segments

    signals = [speech_like(20, seed=5), loud_high_voice(31, dither=True), spoiled(speech_like(6, seed=2), np.random.default_rng(0))]
    settings = [SegmentSettings(), SegmentSettings(**EXACT), SegmentSettings(max_segment_s=0.5)]
    native = [[find_segments(x, RATE, s) for s in settings] for x in signals]
    monkeypatch.setattr(segments, "frame_measures", lambda win, hop, rate: segments.NumpyMeasures(win, hop, max(1, round(rate / segments.LOW_BAND_HZ))))
    assert [[find_segments(x, RATE, s) for s in settings] for x in signals] == native
    assert all(native) and len(native[0][1]) > 5


NOT_FLOAT64_PIECE = "Measures.feed() takes a one-dimensional float64 buffer, got format '{}' in {} dimensions"


@pytest.mark.parametrize(
    ("call", "kind", "message"),
    [
        (lambda m: m.feed(np.zeros((2, 3))), TypeError, NOT_FLOAT64_PIECE.format("d", 2)),
        (lambda m: m.feed(np.zeros(3, np.float32)), TypeError, NOT_FLOAT64_PIECE.format("f", 1)),
        (lambda m: m.feed(b"abc"), TypeError, NOT_FLOAT64_PIECE.format("B", 1)),
        (lambda m: m.feed(3.0), TypeError, "a bytes-like object is required, not 'float'"),
        (lambda m: m.feed(), TypeError, "feed() takes 1 positional argument (0 given)"),
        (lambda m: m.take(np.empty((1, 4))), ValueError, "Measures.take(): 1 frames asked for, 0 measured"),
        (lambda m: m.take(np.empty((0, 3))), TypeError, "Measures.take() writes into a float64 buffer of shape (n, 4) only"),
        (lambda m: m.take(np.empty((0, 4), np.float32)), TypeError, "Measures.take() writes into a float64 buffer of shape (n, 4) only"),
        (lambda m: m.take(np.empty((4, 8))[:, ::2]), ValueError, "ndarray is not C-contiguous"),
        (lambda m: (m.finish(), m.feed(np.zeros(3))), ValueError, "Measures.feed(): the signal has already finished"),
        (lambda m: (m.finish(), m.finish()), ValueError, "Measures.finish(): the signal has already finished"),
    ],
    ids=["piece-2d", "piece-float32", "piece-bytes", "piece-not-a-buffer", "no-piece", "take-more-than-measured",
         "take-three-columns", "take-float32", "take-not-contiguous", "feed-after-finish", "finish-twice"],
)
def test_native_measurements_refuse_with_one_line_and_keep_references(call, kind, message):
    import sys

    from ostrel._segments import Measures

    measures = Measures(400, 160, 20, 1600)
    before = sys.getrefcount(measures)
    with pytest.raises(kind) as raised:
        call(measures)
    assert str(raised.value) == message
    del raised  # its traceback holds the call's frame
    assert sys.getrefcount(measures) == before


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((0, 160, 20, 1600), "Measures() needs a positive window, hop, low block and long span, got 0, 160, 20, 1600"),
        ((400, 160, 20, -1), "Measures() needs a positive window, hop, low block and long span, got 400, 160, 20, -1"),
        ((400, 2**40 + 1, 20, 1600), "Measures() takes frames and blocks of at most 2**40 samples"),
    ],
)
def test_native_measurements_of_impossible_frames_are_refused(args, message):
    from ostrel._segments import Measures

    with pytest.raises(ValueError) as raised:
        Measures(*args)
    assert str(raised.value) == message


def test_native_measurements_keep_the_references_of_what_they_read_and_fill():
    import sys

    from ostrel._segments import Measures

    piece, out = np.linspace(-1.0, 1.0, 5000), np.empty((0, 4))
    counts = (sys.getrefcount(piece), sys.getrefcount(out))
    measures = Measures(400, 160, 20, 1600)
    assert measures.feed(piece) is True
    out = np.empty((measures.pending(), 4))
    counts = (counts[0], sys.getrefcount(out))
    assert measures.take(out) is None
    assert (sys.getrefcount(piece), sys.getrefcount(out)) == counts
    assert measures.feed(np.array([np.nan])) is False
    assert measures.pending() == 0


@pytest.mark.parametrize("width", [1, 2, 5, 19, 20])
@pytest.mark.parametrize("kind", ["noise", "with-nan", "with-infinities", "signed-zeros", "ties"])
def test_the_block_median_is_numpys_to_the_bit(width, kind):
    from ostrel.analysis.segments import median

    rng = np.random.default_rng(width)
    values = rng.normal(size=(50, width)) * 30.0
    if kind == "with-nan":
        values[rng.integers(0, 50, 10), rng.integers(0, width, 10)] = np.nan
    elif kind == "with-infinities":
        values[rng.integers(0, 50, 20), rng.integers(0, width, 20)] = rng.choice([np.inf, -np.inf], 20)
    elif kind == "signed-zeros":
        values = np.where(rng.random(values.shape) < 0.5, -0.0, 0.0)
    elif kind == "ties":
        values = np.round(values / 30.0)
    expected = np.median(values, axis=1)
    assert median(values).view(np.uint64).tolist() == expected.view(np.uint64).tolist()
