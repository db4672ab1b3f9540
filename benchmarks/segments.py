"""Sound segments against the detectors people use for it, on a labelled set
built here, side by side in one run.

    PYTHONPATH=package python benchmarks/segments.py                # report half; writes segments.md
    PYTHONPATH=package python benchmarks/segments.py --half tune    # tuning half; prints, writes nothing
    PYTHONPATH=package python benchmarks/segments.py --quick        # a third of the report half; writes nothing
    PYTHONPATH=package python benchmarks/segments.py --half tune --quick --only ostrel --only "webrtcvad mode 1"
    PYTHONPATH=package python benchmarks/segments.py --half tune --only ostrel --condition clean   # scores and recall only

The set: files of three to five utterances, each utterance at its own level
(the file's, ±15 dB), pauses of 0.08 to 4 s (even on a log scale) and 0.3 to
1 s of digital silence before and after, each file at its own rate from 8 to
48 kHz. Speech from espeak-ng in several languages, flite and festival (its
diphone, HTS and unit voices in the tuning half, its English HTS voice in
the report half), each half's voices its own (those installed; with none,
synthetic vowels and hisses), at least nine files, one per voice, and about
a third of the utterances from the recorded voice prompts of alsa-utils
(/usr/share/sounds/alsa), the halves taking different prompts. Conditions:
clean (digital silence between utterances), reverberant (a room of 0.3 to
0.8 s), telephone band (300 to 3400 Hz), and noise of nine kinds (white,
brown, pink from 20 Hz up, a fan's rush and blade tone, mains hum with
harmonics, music of chords and a drum's pulse made here, babble of other
voices, noise whose level wanders by ±12 dB, knocks and clicks) at 20, 10, 5
and 0 dB, the SNR being that of the speech's active frames. The tuning half
and the report half differ in seed, voices and prompts. A peer that reads
only some rates (webrtcvad, silero-vad) gets the signal resampled to 16 kHz,
untimed.

Two truths. Frame-level: the 10 ms frames of the clean speech within 40 dB
of the loudest of their utterance. Utterance-level: each utterance whole,
from its first such frame to its last, its word gaps included. Each
detector's segments mark the frames whose midpoint they cover; scores are
the frame-level F1 of the sound class, pooled over the files of each
condition, and, in the clean condition, the recall of the speech: the
utterance-level truth but for the pauses of 0.3 s or more within an
utterance (those the frame-level truth leaves out). Times are in process,
seconds of detecting per hour of audio (silero-vad on one torch thread, as
the others run on one core). The first call of each detector is made before
timing: librosa compiles on its first.

    apt-get install espeak-ng flite festival festvox-us-slt-hts alsa-utils sox
    apt-get install festvox-kallpc16k festvox-kdlpc16k festvox-italp16k festvox-itapc16k festvox-ca-ona-hts \
        festvox-ru   # the tuning half's festival voices
    pip install librosa auditok webrtcvad-wheels silero-vad   # or: pip install 'ostrel[bench-segments]'
    pip install torch==2.13.0

The peers (librosa, auditok, webrtcvad-wheels, silero-vad with torch) are the
benchmark's own: ostrel never needs them; a peer that is not installed is
left out of the tables.
"""

from __future__ import annotations

import argparse
import datetime
import io
import platform
import shutil
import subprocess
import sys
import tempfile
import time
import wave
from collections.abc import Callable
from pathlib import Path

import numpy as np

from ostrel.analysis import SegmentSettings, find_segments
from report_file import write_report

HERE = Path(__file__).resolve().parent
# Each file's own rate, from these in turn: ostrel and the peers meet narrowband to full-band recordings.
# Each is a whole number of 10 ms truth frames' samples.
RATES = (8000, 16000, 44100, 24000, 48000, 12000, 32000)
TRUTH_DB = 40.0
SNRS = (20, 10, 5, 0)
NOISES = ("white", "brown", "pink", "fan", "hum", "music", "babble", "nonstationary", "transients")
CONDITIONS = [("clean", None), ("reverberant", None), ("telephone", None)] + [(kind, snr) for kind in NOISES for snr in SNRS]
# The real voice prompts Debian's alsa-utils installs: one speaker, the halves take different words.
PROMPTS = Path("/usr/share/sounds/alsa")
# Per half: its seed, its voices (engine, voice, language) and its prompts; the halves share none.
HALVES = {
    "tune": (
        20261208,
        [("espeak-ng", "en-us", "en"), ("espeak-ng", "de", "de"), ("espeak-ng", "fr", "fr"), ("espeak-ng", "en+m3", "en"),
         ("espeak-ng", "it+f4", "it"), ("flite", "kal", "en"), ("festival", "kal_diphone", "en"),
         ("festival", "lp_diphone", "it"), ("espeak-ng", "en-us+klatt4", "en"), ("festival", "ked_diphone", "en"),
         ("flite", "kal16", "en"), ("festival", "pc_diphone", "it"), ("festival", "upc_ca_ona_hts", "ca"),
         ("festival", "msu_ru_nsh_clunits", "ru")],
        ("Front_Left", "Front_Right", "Rear_Center", "Side_Left"),
    ),
    "report": (
        31031,
        [("espeak-ng", "en-gb", "en"), ("espeak-ng", "es", "es"), ("espeak-ng", "en+f3", "en"), ("espeak-ng", "de+f2", "de"),
         ("espeak-ng", "pt", "pt"), ("flite", "slt", "en"), ("flite", "rms", "en"), ("flite", "awb", "en"),
         ("festival", "cmu_us_slt_arctic_hts", "en")],
        ("Front_Center", "Rear_Left", "Rear_Right", "Side_Right"),
    ),
}
# The share of utterances taken from the recorded prompts, where they are installed.
PROMPT_SHARE = 0.35
BABBLE_VOICES = ("en-029", "en+m5", "en+f2", "en-gb-x-rp")
SENTENCES = {
    "en": (
        "The quick brown fox jumps over the lazy dog.",
        "She sells sea shells by the sea shore.",
        "Fresh fish is served every Friday at six.",
        "How much wood would a woodchuck chuck?",
        "Please hand me the scissors and the thread.",
        "Several small steps finally reached the summit.",
        "His theory faced serious objections from the staff.",
        "We watched the sunset from the harbour wall.",
        "Thin sheets of frost covered the field at dawn.",
        "Yesterday the station was quiet and empty.",
    ),
    "de": (
        "Der schnelle braune Fuchs springt über den faulen Hund.",
        "Am Montag fahren wir mit dem Zug nach Hamburg.",
        "Im Garten blühen im Frühling die ersten Tulpen.",
    ),
    "fr": (
        "Le petit chat dort sur le canapé depuis ce matin.",
        "Nous irons au marché demain avec nos amis.",
        "La pluie tombe doucement sur les toits de la ville.",
    ),
    "es": (
        "El perro corre por el parque cada mañana.",
        "Mañana vamos a visitar a mis abuelos en el campo.",
        "La biblioteca cierra a las ocho de la tarde.",
    ),
    "it": (
        "Il treno per Milano parte alle sette e mezza.",
        "Domani andiamo al mare con tutta la famiglia.",
        "La nonna prepara la pasta ogni domenica.",
    ),
    "ca": (
        "El gos corre pel parc cada matí.",
        "Demà anirem a veure els avis al poble.",
        "La biblioteca tanca a les vuit del vespre.",
    ),
    "ru": (
        "Поезд отправляется в семь часов утра.",
        "Завтра мы поедем к бабушке в деревню.",
        "Дождь шёл всю ночь над старым городом.",
    ),
    "pt": (
        "O menino comprou pão fresco na padaria da esquina.",
        "Amanhã vamos viajar para o interior de carro.",
        "A chuva caiu forte durante toda a noite.",
    ),
}

Segments = list[tuple[float, float]]
Detector = Callable[[object, int], Segments]
Prepare = Callable[[np.ndarray, int], tuple[object, int]]
# A file: its rate, the clean signal, its frame-level truth and its utterance-level truth (per 10 ms frame).
File = tuple[int, np.ndarray, np.ndarray, np.ndarray]


# The set --------------------------------------------------------------------


def converted(audio: bytes, rate: int, kind: str = "wav") -> np.ndarray:
    """Audio a synthesizer or a file gave, as mono float64 at ``rate``."""
    wav = subprocess.run(
        # No dither (-D): the set is then the same in every run.
        ["sox", "-D", "-t", kind, "-", "-t", "wav", "-c", "1", "-r", str(rate), "-b", "16", "-"], input=audio, check=True,
        capture_output=True,
    ).stdout
    with wave.open(io.BytesIO(wav)) as reader:
        return np.frombuffer(reader.readframes(reader.getnframes()), dtype="<i2") / 32768.0


def trimmed(samples: np.ndarray) -> np.ndarray:
    """Without the silence (or, in a recording, the room's quiet) around the voice."""
    loud = np.flatnonzero(np.abs(samples) > max(1e-3, 0.01 * np.abs(samples).max()))
    return samples[loud[0] : loud[-1] + 1] if len(loud) else samples


def speak(text: str, engine: str, voice: str, speed: int, rate: int) -> np.ndarray:
    """One utterance at ``rate``, float64, trimmed of the silence the synthesizer adds around it."""
    if engine == "festival":
        with tempfile.NamedTemporaryFile(suffix=".wav") as out:
            subprocess.run(
                ["text2wave", "-eval", f"(voice_{voice})", "-eval", f"(Parameter.set 'Duration_Stretch {170 / speed:.2f})",
                 "-o", out.name], input=text.encode(), check=True, capture_output=True,
            )
            return trimmed(converted(Path(out.name).read_bytes(), rate))
    if engine == "flite":
        command = ["flite", "-voice", voice, "--setf", f"duration_stretch={170 / speed:.2f}", "-t", text, "-o", "/dev/stdout"]
    else:
        command = ["espeak-ng", "--stdout", "-v", voice, "-s", str(speed), text]
    return trimmed(converted(subprocess.run(command, check=True, capture_output=True).stdout, rate))


def prompt(name: str, rate: int) -> np.ndarray:
    return trimmed(converted((PROMPTS / f"{name}.wav").read_bytes(), rate))


def synthetic_utterance(rng: np.random.Generator, rate: int) -> np.ndarray:
    """Without a synthesizer: syllables of a hiss (unvoiced) and a buzz with formants (voiced)."""
    parts = []
    for _ in range(rng.integers(4, 9)):
        hiss = rng.normal(0, 0.03, int(rate * rng.uniform(0.05, 0.12)))
        hiss = np.diff(hiss, prepend=0.0)  # high frequencies, as in /s/
        pitch = rng.uniform(90, 220)
        t = np.arange(int(rate * rng.uniform(0.12, 0.3))) / rate
        buzz = sum(np.sin(2 * np.pi * pitch * k * t) / k for k in range(1, 15) if pitch * k < rate / 2) * np.hanning(len(t)) * 0.3
        parts += [hiss, buzz, np.zeros(int(rate * rng.uniform(0.0, 0.08)))]
    return np.concatenate(parts)


def speaks(engine: str) -> bool:
    program = "text2wave" if engine == "festival" else engine
    return shutil.which(program) is not None and shutil.which("sox") is not None


def prompts_of(half: str) -> tuple[str, ...]:
    names = HALVES[half][2]
    return names if shutil.which("sox") and all((PROMPTS / f"{name}.wav").exists() for name in names) else ()


def make_clean(rng: np.random.Generator, count: int, half: str) -> list[File]:
    """Files of three to five utterances, each file at its own rate: the clean signal and its two truths."""
    files = []
    voices = [voice for voice in HALVES[half][1] if speaks(voice[0])]
    prompts = prompts_of(half)
    for index in range(count):
        rate = RATES[index % len(RATES)]
        engine, voice, language = voices[index % len(voices)] if voices else ("", "", "en")
        speed = (130, 170, 210)[index % 3]
        pieces = [np.zeros(int(rate * rng.uniform(0.3, 1.0)))]
        for number in range(rng.integers(3, 6)):
            if number:
                pieces.append(np.zeros(int(rate * np.exp(rng.uniform(np.log(0.08), np.log(4.0))))))
            sentence = SENTENCES[language][rng.integers(len(SENTENCES[language]))]
            if prompts and rng.random() < PROMPT_SHARE:
                spoken = prompt(prompts[rng.integers(len(prompts))], rate)
            else:
                spoken = speak(sentence, engine, voice, speed, rate) if voices else synthetic_utterance(rng, rate)
            pieces.append(spoken / np.abs(spoken).max() * 10 ** (rng.uniform(-15, 15) / 20))
        pieces.append(np.zeros(int(rate * rng.uniform(0.3, 1.0))))
        level = 10 ** (rng.uniform(-30, -3) / 20)  # the loudest utterance's peak, -30 to -3 dBFS
        loudest = max(np.abs(piece).max() for piece in pieces[1::2])
        pieces = [piece * (level / loudest) for piece in pieces]
        frames, spans = truth_frames(pieces, rate // 100)
        files.append((rate, np.concatenate(pieces), frames, spans))
    return files


def truth_frames(pieces: list[np.ndarray], frame: int) -> tuple[np.ndarray, np.ndarray]:
    """Frames within TRUTH_DB of their utterance's loudest, and each utterance from its first such frame to its last."""
    signal = np.concatenate(pieces)
    count = len(signal) // frame
    energy = (signal[: count * frame].reshape(count, frame) ** 2).mean(axis=1)
    frames, spans = np.zeros(count, dtype=bool), np.zeros(count, dtype=bool)
    at = len(pieces[0])
    for index, piece in enumerate(pieces[1:-1]):
        if index % 2 == 0:
            first, end = at // frame, min(count, -(-(at + len(piece)) // frame))
            heard = energy[first:end] > energy[first:end].max() * 10 ** (-TRUTH_DB / 10)
            frames[first:end] |= heard
            sounding = np.flatnonzero(heard)
            spans[first + sounding[0] : first + sounding[-1] + 1] = True
        at += len(piece)
    return frames, spans


def resampled(signal: np.ndarray, rate: int, to: int) -> np.ndarray:
    """``signal`` at rate ``to``: its spectrum cut or padded (the band above the lower Nyquist left out)."""
    if rate == to:
        return signal
    length = round(len(signal) * to / rate)
    spectrum = np.fft.rfft(signal)
    kept = min(len(spectrum), length // 2 + 1)
    return np.fft.irfft(spectrum[:kept], length) * (length / len(signal))


def in_room(clean: np.ndarray, rate: int, rng: np.random.Generator) -> np.ndarray:
    """Convolved with noise decaying by 60 dB in 0.3 to 0.8 s, the direct sound strongest."""
    seconds = rng.uniform(0.3, 0.8)
    t = np.arange(int(rate * seconds)) / rate
    response = rng.normal(0, 0.05 * np.sqrt(16000 / rate), len(t)) * 10 ** (-3 * t / seconds)
    response[0] = 1.0
    wet = np.fft.irfft(np.fft.rfft(clean, 2 * len(clean)) * np.fft.rfft(response, 2 * len(clean)))[: len(clean)]
    return np.clip(wet * np.abs(clean).max() / np.abs(wet).max(), -1.0, 32767 / 32768)


def band(signal: np.ndarray, rate: int, low: float, high: float) -> np.ndarray:
    spectrum = np.fft.rfft(signal)
    frequencies = np.fft.rfftfreq(len(signal), 1 / rate)
    spectrum[(frequencies < low) | (frequencies > high)] = 0
    return np.fft.irfft(spectrum, len(signal))


def shaped(rng: np.random.Generator, length: int, rate: int, gain: Callable[[np.ndarray], np.ndarray]) -> np.ndarray:
    """Gaussian noise whose amplitude spectrum is ``gain`` of the frequency."""
    spectrum = np.fft.rfft(rng.normal(0, 1, length))
    return np.fft.irfft(spectrum * gain(np.fft.rfftfreq(length, 1 / rate)), length)


def music(length: int, rate: int, rng: np.random.Generator) -> np.ndarray:
    """Chords of harmonic tones, each struck and decaying, over a drum's pulse: a kick on the beat, a hat between."""
    out = np.zeros(length)
    at = 0
    while at < length:
        notes = int(rate * rng.uniform(0.4, 1.6))
        t = np.arange(notes) / rate
        root = 110.0 * 2 ** (rng.integers(0, 24) / 12)
        third = 4 if rng.random() < 0.6 else 3
        decay = rng.uniform(0.3, 1.5)
        envelope = np.minimum(1.0, t / 0.02) * np.exp(-t / decay)
        chord = sum(
            np.sin(2 * np.pi * root * 2 ** (step / 12) * k * t + rng.uniform(0, 6.3)) / k**1.5
            for step in (0, third, 7, 12) for k in range(1, 7) if root * 2 ** (step / 12) * k < rate / 2
        )
        out[at : at + notes] += (chord * envelope)[: length - at]
        at += notes
    beat = 60.0 / rng.uniform(80, 140)
    drums = np.zeros(length)
    kick_t = np.arange(int(0.25 * rate)) / rate
    kick = np.sin(2 * np.pi * (50 * kick_t + 60 * 0.03 * (1 - np.exp(-kick_t / 0.03)))) * np.exp(-kick_t / 0.08)
    hat_t = np.arange(int(0.06 * rate)) / rate
    for index in range(int(length / rate / beat * 2) + 1):
        start = int(index * beat / 2 * rate)
        hit = kick * 3.0 if index % 2 == 0 else np.diff(rng.normal(0, 1, len(hat_t) + 1)) * np.exp(-hat_t / 0.015)
        drums[start : start + len(hit)] += hit[: max(0, length - start)]
    return out / np.sqrt(np.mean(out**2)) + 0.5 * drums / np.sqrt(np.mean(drums**2) + 1e-30)


def make_noise(kind: str, length: int, rate: int, rng: np.random.Generator, babble: np.ndarray) -> np.ndarray:
    if kind == "white":
        return rng.normal(0, 1, length)
    if kind == "brown":
        # Rumble, without the drift below 10 Hz.
        return shaped(rng, length, rate, lambda f: 1.0 / np.maximum(f, 10.0))
    if kind == "pink":
        # 1/f power over the audible band: flat below 20 Hz, or the slow swell
        # of the infrasound would be most of the noise.
        return shaped(rng, length, rate, lambda f: 1.0 / np.sqrt(np.maximum(f, 20.0)))
    if kind == "fan":
        # Air rushing (broad, falling above a few hundred hertz) and the blades' tone and its harmonics, wavering.
        t = np.arange(length) / rate
        blade = rng.uniform(60, 200)
        rush = shaped(rng, length, rate, lambda f: 1.0 / np.sqrt(1.0 + (f / rng.uniform(200, 600)) ** 2))
        wobble = 1.0 + 0.2 * np.sin(2 * np.pi * rng.uniform(0.5, 3) * t)
        tone = sum(np.sin(2 * np.pi * blade * k * t + rng.uniform(0, 6.3)) / k for k in range(1, 5))
        return rush / np.std(rush) + 0.4 * tone * wobble
    if kind == "hum":
        t = np.arange(length) / rate
        base = rng.choice((50.0, 60.0))
        hum = sum(np.sin(2 * np.pi * base * k * t + rng.uniform(0, 6.3)) / k for k in range(1, 8))
        return hum + rng.normal(0, 0.02, length)  # and the hiss of the amplifier
    if kind == "music":
        return music(length, rate, rng)
    if kind == "nonstationary":
        # Passing traffic, a crowd coming and going: pink-ish noise whose level wanders over ±12 dB within seconds.
        knots = rng.uniform(-12, 12, int(length / rate / 0.7) + 2)
        level_db = np.interp(np.arange(length) / rate / 0.7, np.arange(len(knots)), knots)
        return shaped(rng, length, rate, lambda f: 1.0 / np.maximum(f, 100.0) ** 0.7) * 10 ** (level_db / 20)
    if kind == "transients":
        # Knocks, clicks and a door: decaying bursts at random moments, ±10 dB, over a faint hiss.
        out = rng.normal(0, 0.02, length)
        at = int(rate * rng.exponential(0.7))
        while at < length:
            hold = rng.uniform(0.005, 0.06)
            burst_t = np.arange(int(rate * hold * 6)) / rate
            burst = rng.normal(0, 1, len(burst_t)) * np.exp(-burst_t / hold)
            burst = np.diff(burst, prepend=0.0) if rng.random() < 0.5 else np.cumsum(burst) / np.sqrt(rate / 1000)
            out[at : at + len(burst)] += (burst * 10 ** (rng.uniform(-10, 10) / 20))[: length - at]
            at += int(rate * rng.exponential(0.7)) + len(burst)
        return out
    source = babble[rate]
    start = rng.integers(len(source) - length) if len(source) > length else 0
    return np.resize(source[start:], length)


def make_babble(rng: np.random.Generator, seconds: float) -> dict[int, np.ndarray]:
    """Four other voices talking at once, without pauses, at each rate of the set."""
    length = int(16000 * seconds)
    total = np.zeros(length)
    for voice in BABBLE_VOICES:
        talk = []
        while sum(map(len, talk)) < length:
            sentence = SENTENCES["en"][rng.integers(len(SENTENCES["en"]))]
            talk.append(speak(sentence, "espeak-ng", voice, 170, 16000) if speaks("espeak-ng") else synthetic_utterance(rng, 16000))
        stream = np.concatenate(talk)[:length]
        total += stream / np.sqrt(np.mean(stream**2))
    return {rate: resampled(total, 16000, rate) for rate in RATES}


def condition(
    name: str, snr: int | None, file: File, rng: np.random.Generator, babble: dict[int, np.ndarray]
) -> np.ndarray:
    rate, clean, truth, _ = file
    if name == "clean":
        return clean
    if name == "reverberant":
        return in_room(clean, rate, rng)
    if name == "telephone":
        return band(clean, rate, 300.0, min(3400.0, rate / 2))
    return noisy(clean, truth, rate, make_noise(name, len(clean), rate, rng, babble), snr)


def noisy(clean: np.ndarray, truth: np.ndarray, rate: int, noise: np.ndarray, snr: float) -> np.ndarray:
    frame = rate // 100
    active = clean[: len(truth) * frame].reshape(len(truth), frame)[truth]
    speech_power = np.mean(active**2)
    noise = noise * np.sqrt(speech_power / np.mean(noise**2) / 10 ** (snr / 10))
    return np.clip(clean + noise, -1.0, 32767 / 32768)


# The detectors ----------------------------------------------------------------


def to_pcm(signal: np.ndarray) -> bytes:
    return (np.round(signal * 32767)).astype("<i2").tobytes()


def at_rates(rates: tuple[int, ...], convert: Callable[[np.ndarray], object]) -> Prepare:
    """A peer that reads only ``rates`` gets the signal resampled to 16 kHz (untimed, as its reading is)."""

    def prepare(signal: np.ndarray, rate: int) -> tuple[object, int]:
        if rate not in rates:
            signal, rate = resampled(signal, rate, 16000), 16000
        return convert(signal), rate

    return prepare


def detectors() -> dict[str, tuple[Detector, Prepare]]:
    """Each detector's function of the signal and its rate, and how it first takes them (as PCM, say): untimed."""
    found: dict[str, tuple[Detector, Prepare]] = {}
    same = lambda signal, rate: (signal, rate)  # noqa: E731
    found["ostrel"] = (lambda signal, rate: find_segments(signal, rate), same)
    exact = SegmentSettings(min_silence_ms=10, pad_ms=0)
    found["ostrel frame-exact"] = (lambda signal, rate: find_segments(signal, rate, exact), same)
    try:
        import librosa
    except ImportError:
        pass
    else:
        for top_db in (60, 30, 20):
            found[f"librosa split top_db={top_db}"] = (
                lambda signal, rate, top_db=top_db: [(a / rate, b / rate) for a, b in librosa.effects.split(signal, top_db=top_db)],
                lambda signal, rate: (signal.astype(np.float32), rate),
            )
    try:
        import auditok
    except ImportError:
        pass
    else:
        found["auditok split"] = (
            lambda pcm, rate: [
                (region.start, region.end) for region in auditok.split(pcm, sampling_rate=rate, sample_width=2, channels=1)
            ],
            lambda signal, rate: (to_pcm(signal), rate),
        )
    try:
        import webrtcvad
    except ImportError:
        pass
    else:
        webrtc_rates = at_rates((8000, 16000, 32000, 48000), to_pcm)
        for mode in (0, 1, 2, 3):
            found[f"webrtcvad mode {mode}"] = (lambda pcm, rate, mode=mode: webrtc(pcm, rate, webrtcvad.Vad(mode)), webrtc_rates)
            found[f"webrtcvad mode {mode}, 300 ms"] = (
                lambda pcm, rate, mode=mode: bridged(webrtc(pcm, rate, webrtcvad.Vad(mode))), webrtc_rates,
            )
    try:
        import torch
        from silero_vad import get_speech_timestamps, load_silero_vad
    except ImportError:
        pass
    else:
        torch.set_num_threads(1)
        model = load_silero_vad()
        found["silero-vad"] = (
            lambda tensor, rate: [
                (span["start"] / rate, span["end"] / rate)
                for span in get_speech_timestamps(tensor, model, sampling_rate=rate)
            ],
            # It takes 8 kHz, 16 kHz and its multiples (which it decimates itself).
            at_rates((8000, 16000, 32000, 48000), lambda signal: torch.from_numpy(signal.astype(np.float32))),
        )
    return found


def webrtc(pcm: bytes, rate: int, vad: object) -> Segments:
    step = 2 * (rate // 100)  # 10 ms of 16-bit samples
    spans: Segments = []
    for index in range(len(pcm) // step):
        if vad.is_speech(pcm[index * step : (index + 1) * step], rate):  # type: ignore[attr-defined]
            start = index / 100
            if spans and spans[-1][1] == start:
                spans[-1] = (spans[-1][0], start + 0.01)
            else:
                spans.append((start, start + 0.01))
    return spans


def bridged(spans: Segments, gap: float = 0.3) -> Segments:
    """The usual smoothing of a frame classifier's output: gaps under ``gap`` seconds joined."""
    joined: Segments = []
    for start, end in spans:
        if joined and start - joined[-1][1] < gap:
            joined[-1] = (joined[-1][0], end)
        else:
            joined.append((start, end))
    return joined


# Scores -----------------------------------------------------------------------


def frames_of(segments: Segments, count: int) -> np.ndarray:
    """Frames whose midpoint a segment covers."""
    middles = (np.arange(count) + 0.5) / 100
    marked = np.zeros(count, dtype=bool)
    for start, end in segments:
        marked |= (middles >= start) & (middles < end)
    return marked


# Pauses within an utterance this long or longer are not speech to keep: 0.3 s, in 10 ms frames.
LONG_PAUSE_FRAMES = 30


def speech_to_keep(frames: np.ndarray, utterances: np.ndarray) -> np.ndarray:
    """The utterance-level truth without the pauses of LONG_PAUSE_FRAMES or more
    within an utterance: the runs of frames the frame-level truth leaves out."""
    inside = utterances & ~frames
    edges = np.diff(np.concatenate(([0], inside.astype(np.int8), [0])))
    kept = utterances.copy()
    for start, end in zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)):
        if end - start >= LONG_PAUSE_FRAMES:
            kept[start:end] = False
    return kept


def f1(truth: np.ndarray, found: np.ndarray) -> float:
    hits = np.count_nonzero(truth & found)
    precision = hits / max(1, np.count_nonzero(found))
    recall = hits / max(1, np.count_nonzero(truth))
    return 0.0 if hits == 0 else 2 * precision * recall / (precision + recall)


# The run ----------------------------------------------------------------------


GROUPS = ["clean", "reverberant", "telephone", *NOISES]
TRUTHS = ("utterance", "frame")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--half", choices=list(HALVES), default="report", help="which half of the set (default: %(default)s)")
    parser.add_argument("--quick", action="store_true", help="a third of the set; print, write nothing")
    parser.add_argument("--files", type=int, help="files per condition (default: one per voice of the half, at least 9)")
    parser.add_argument(
        "--condition", choices=GROUPS, action="append",
        help="only the conditions of this kind, e.g. clean (repeatable), of the same set; print the scores, write nothing",
    )
    parser.add_argument(
        "--only", metavar="PREFIX", action="append", help="only the detectors whose name starts so (repeatable); print, write nothing",
    )
    options = parser.parse_args()
    files_wanted = options.files or max(9, len([voice for voice in HALVES[options.half][1] if speaks(voice[0])]))
    count = max(3, files_wanted // 3) if options.quick else files_wanted
    seed = HALVES[options.half][0]
    rng = np.random.default_rng(seed)
    files = make_clean(rng, count, options.half)
    babble = make_babble(rng, max(len(clean) / rate for rate, clean, _, _ in files) + 5)
    found = detectors()
    if options.only:
        found = {name: entry for name, entry in found.items() if name.startswith(tuple(options.only))}
    names = list(found)
    rate, clean, frames, _ = files[0]
    # Noise of its own for the first calls: the set's stays the same whichever detectors run.
    first_noise = make_noise("white", len(clean), rate, np.random.default_rng(seed + 1), babble)
    for detect, prepare in found.values():
        # Untimed: the first call of some peers compiles or loads what later calls reuse.
        detect(*prepare(noisy(clean, frames, rate, first_noise, 10), rate))
    # Per detector, truth and condition: F1; per detector: the recall of the speech in the clean files.
    scores: dict[tuple[str, str, str], float] = {}
    recall: dict[str, float] = {}
    seconds = dict.fromkeys(names, 0.0)
    audio_seconds = 0.0
    for kind, snr in CONDITIONS:
        label = kind if snr is None else f"{kind} {snr} dB"
        marked: dict[str, list[np.ndarray]] = {name: [] for name in names}
        for file in files:
            rate, frames = file[0], file[2]
            signal = condition(kind, snr, file, rng, babble)
            if options.condition and kind not in options.condition:
                continue  # made all the same: the conditions run are then those of the whole set
            audio_seconds += len(signal) / rate
            for name in names:
                detect, prepare = found[name]
                given, given_rate = prepare(signal, rate)
                began = time.perf_counter()
                segments = detect(given, given_rate)
                seconds[name] += time.perf_counter() - began
                marked[name].append(frames_of(segments, len(frames)))
        if options.condition and kind not in options.condition:
            continue
        truths = {"frame": np.concatenate([f[2] for f in files]), "utterance": np.concatenate([f[3] for f in files])}
        for name in names:
            found_all = np.concatenate(marked[name])
            for truth in TRUTHS:
                scores[name, truth, label] = f1(truths[truth], found_all)
            if kind == "clean":
                speech = speech_to_keep(truths["frame"], truths["utterance"])
                recall[name] = np.count_nonzero(found_all & speech) / np.count_nonzero(speech)
        print(f"{label}: " + ", ".join(f"{n} {scores[n, 'utterance', label]:.3f}" for n in names), file=sys.stderr)
    if options.condition:
        for name in names:
            run = [label for detector, truth, label in scores if detector == name and truth == "frame"]
            cells = [f"{label} {scores[name, 'utterance', label]:.3f}/{scores[name, 'frame', label]:.3f}" for label in run]
            kept = f"; clean recall {recall[name]:.4f}" if name in recall else ""
            print(f"{name}: F1 utterance/frame truth: " + ", ".join(cells) + kept)
        return
    report = render(names, scores, recall, seconds, audio_seconds, count, options.half, files)
    print(report)
    if options.half == "report" and not options.quick and not options.only:
        write_report(HERE / "segments.md", report)


def labels_of(group: str) -> list[str]:
    return [group] if group not in NOISES else [f"{group} {snr} dB" for snr in SNRS]


def render(
    names: list[str], scores: dict[tuple[str, str, str], float], recall: dict[str, float], seconds: dict[str, float],
    audio_seconds: float, count: int, half: str, files: list[File],
) -> str:
    voices = [voice for voice in HALVES[half][1] if speaks(voice[0])]
    spoken = ", ".join(f"{engine} {voice}" for engine, voice, _ in voices) if voices else "synthetic syllables"
    if prompts_of(half):
        spoken += f"; about {PROMPT_SHARE:.0%} of the utterances the recorded prompts " + ", ".join(prompts_of(half))
    rates = ", ".join(f"{rate / 1000:g}" for rate in sorted({file[0] for file in files}))
    lines = [
        "# Sound segments against other detectors",
        "",
        f"Run {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC on {platform.machine()}, "
        f"Python {platform.python_version()}; `python benchmarks/segments.py --half {half}`.",
        "",
        f"Set ({half} half): {count} files per condition ({spoken}; utterance levels ±15 dB within a file, pauses of "
        f"0.08 to 4 s), at {rates} kHz; {audio_seconds / len(CONDITIONS):.0f} s of audio per condition, {len(CONDITIONS)} conditions. "
        "Every detector with its defaults unless named otherwise; `ostrel frame-exact` is `min_silence_ms=10, pad_ms=0`; "
        "`webrtcvad mode N, 300 ms` joins gaps under 300 ms.",
        "",
    ]
    for truth in TRUTHS:
        share = np.mean(np.concatenate([files_truth for files_truth in (f[2] if truth == "frame" else f[3] for f in files)]))
        lines += [
            f"## F1, {truth}-level truth",
            "",
            f"Mean over each group's conditions (the noises over their SNRs), and over all {len(CONDITIONS)}. "
            f"{share:.2f} of the frames are sound: calling every frame sound scores {2 * share / (1 + share):.3f}.",
            "",
            table_head("detector", [*GROUPS, "all"]),
        ]
        for name in names:
            cells = [np.mean([scores[name, truth, label] for label in labels_of(group)]) for group in GROUPS]
            overall = np.mean([scores[name, truth, label] for group in GROUPS for label in labels_of(group)])
            lines.append(f"| {name} | " + " | ".join(f"{cell:.3f}" for cell in cells) + f" | {overall:.3f} |")
        lines += ["", f"### By SNR ({truth}-level truth, mean over the noise kinds)", "", table_head("detector", [f"{s} dB" for s in SNRS])]
        for name in names:
            cells = [np.mean([scores[name, truth, f"{kind} {snr} dB"] for kind in NOISES]) for snr in SNRS]
            lines.append(f"| {name} | " + " | ".join(f"{cell:.3f}" for cell in cells) + " |")
        lines.append("")
    lines += [
        "## Clean speech kept",
        "",
        "In the clean condition, the share of the speech in segments: each utterance from its first frame to its "
        "last, its pauses of 0.3 s or more left out.",
        "",
        table_head("detector", ["recall"]),
    ]
    lines += [f"| {name} | {recall[name]:.4f} |" for name in names]
    lines += ["", "## Time, in process", "", table_head("detector", ["s per hour of audio", "× ostrel"])]
    for name in names:
        per_hour = seconds[name] / audio_seconds * 3600
        lines.append(f"| {name} | {per_hour:.2f} | {seconds[name] / seconds.get('ostrel', np.nan):.1f} |")
    lines += target_lines(names, scores, recall, seconds)
    lines.append("")
    return "\n".join(lines)


def target_lines(
    names: list[str], scores: dict[tuple[str, str, str], float], recall: dict[str, float], seconds: dict[str, float]
) -> list[str]:
    """ostrel's defaults against the target: the mean F1 at least silero-vad's and the best webrtcvad variant's under
    both truths, no group below the best webrtcvad variant, clean recall 0.99, at most twice webrtcvad's time."""
    variants = [name for name in names if name.startswith("webrtcvad")]
    if not variants or "silero-vad" not in names:
        return []

    def mean(name: str, truth: str, groups: list[str]) -> float:
        return float(np.mean([scores[name, truth, label] for group in groups for label in labels_of(group)]))

    lines = ["", "## ostrel against the target", "", "ostrel's defaults less the target; negative: not met.", ""]
    lines.append(table_head("truth", ["all, vs silero-vad", "all, vs best webrtcvad", *GROUPS]))
    for truth in TRUTHS:
        ours = mean("ostrel", truth, GROUPS)
        cells = [ours - mean("silero-vad", truth, GROUPS), ours - max(mean(name, truth, GROUPS) for name in variants)]
        cells += [mean("ostrel", truth, [group]) - max(mean(name, truth, [group]) for name in variants) for group in GROUPS]
        lines.append(f"| {truth} | " + " | ".join(f"{cell:+.3f}" for cell in cells) + " |")
    fastest = min(seconds[name] for name in variants)
    lines += [
        "",
        f"Clean speech kept: {recall['ostrel']:.4f} (target 0.99). Time: {seconds['ostrel'] / fastest:.1f} times "
        "the fastest webrtcvad variant's (target at most 2).",
    ]
    return lines


def table_head(first: str, columns: list[str]) -> str:
    return f"| {first} | " + " | ".join(columns) + " |\n|---|" + "---|" * len(columns)


if __name__ == "__main__":
    main()
