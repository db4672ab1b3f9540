"""Sound segments against the detectors people use for it, on a labelled set
built here, side by side in one run.

    PYTHONPATH=package python benchmarks/segments.py          # writes segments.md
    PYTHONPATH=package python benchmarks/segments.py --quick  # a third of the set; writes nothing

The set: sentences spoken by espeak-ng (several voices and rates, when it is
installed; otherwise synthetic vowels and hisses) with pauses of 0.2 to 2 s,
each file at its own level, 16 kHz. Noise of four kinds (white, pink from 20 Hz up, mains
hum with harmonics, babble made of other voices' speech) is added at SNRs of
30, 20, 10, 5 and 0 dB, the SNR being that of the speech's active frames.
Truth: the 10 ms frames of the clean speech within 40 dB of its loudest frame.
Each detector's segments mark the frames whose midpoint they cover; scores
are the frame-level F1 of the sound class, pooled over the files of each
noise kind and SNR, and the median distance of each true onset and offset
(of runs of sound frames joined over gaps under 300 ms) to the nearest one
detected. Times are in process, seconds of detecting per hour of audio
(silero-vad on one torch thread, as the others run on one core). The first
call of each detector is made before timing: librosa compiles on its first.

    pip install librosa auditok webrtcvad-wheels silero-vad torch   # or: pip install 'ostrel[bench-segments]'

The defaults of ostrel's segments were tuned on sets made the same way but
from other seeds (8 and 12 files); this run's set is new to them.

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
import time
import wave
from collections.abc import Callable
from pathlib import Path

import numpy as np

from ostrel.analysis import find_segments

HERE = Path(__file__).resolve().parent
RATE = 16000
FRAME = RATE // 100  # 10 ms truth frames
TRUTH_DB = 40.0
SNRS = (30, 20, 10, 5, 0)
NOISES = ("white", "pink", "hum", "babble")
VOICES = ("en-us", "en-gb", "en+f3", "en+m3", "en-gb-scotland", "en+f4")
BABBLE_VOICES = ("en-029", "en+m5", "en+f2", "en-gb-x-rp")
SENTENCES = (
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
)

Segments = list[tuple[float, float]]
Detector = Callable[[np.ndarray], Segments]


# The set --------------------------------------------------------------------


def speak(text: str, voice: str, rate: int) -> np.ndarray:
    """One utterance at 16 kHz, float64, trimmed of the silence espeak-ng adds around it."""
    speech = subprocess.run(
        ["espeak-ng", "--stdout", "-v", voice, "-s", str(rate), text], check=True, capture_output=True
    ).stdout
    converted = subprocess.run(
        # No dither (-D): the set is then the same in every run.
        ["sox", "-D", "-t", "wav", "-", "-t", "wav", "-r", str(RATE), "-b", "16", "-"], input=speech, check=True,
        capture_output=True,
    ).stdout
    with wave.open(io.BytesIO(converted)) as reader:
        samples = np.frombuffer(reader.readframes(reader.getnframes()), dtype="<i2") / 32768.0
    loud = np.flatnonzero(np.abs(samples) > 1e-3)
    return samples[loud[0] : loud[-1] + 1] if len(loud) else samples


def synthetic_utterance(rng: np.random.Generator) -> np.ndarray:
    """Without espeak-ng: syllables of a hiss (unvoiced) and a buzz with formants (voiced)."""
    parts = []
    for _ in range(rng.integers(4, 9)):
        hiss = rng.normal(0, 0.03, int(RATE * rng.uniform(0.05, 0.12)))
        hiss = np.diff(hiss, prepend=0.0)  # high frequencies, as in /s/
        pitch = rng.uniform(90, 220)
        t = np.arange(int(RATE * rng.uniform(0.12, 0.3))) / RATE
        buzz = sum(np.sin(2 * np.pi * pitch * k * t) / k for k in range(1, 15)) * np.hanning(len(t)) * 0.3
        parts += [hiss, buzz, np.zeros(int(RATE * rng.uniform(0.0, 0.08)))]
    return np.concatenate(parts)


def make_clean(rng: np.random.Generator, count: int, espeak: bool) -> list[np.ndarray]:
    """Files of three to five utterances with pauses between, each file at its own level."""
    files = []
    for index in range(count):
        voice = VOICES[index % len(VOICES)]
        rate = (130, 170, 210)[index % 3]
        pieces = [np.zeros(int(RATE * rng.uniform(0.3, 1.0)))]
        for _ in range(rng.integers(3, 6)):
            sentence = SENTENCES[rng.integers(len(SENTENCES))]
            pieces.append(speak(sentence, voice, rate) if espeak else synthetic_utterance(rng))
            pieces.append(np.zeros(int(RATE * rng.uniform(0.2, 2.0))))
        clean = np.concatenate(pieces)
        level = 10 ** (rng.uniform(-30, -3) / 20)  # peak level, -30 to -3 dBFS
        files.append(clean * (level / np.abs(clean).max()))
    return files


def truth_frames(clean: np.ndarray) -> np.ndarray:
    frames = len(clean) // FRAME
    energy = (clean[: frames * FRAME].reshape(frames, FRAME) ** 2).mean(axis=1)
    return energy > energy.max() * 10 ** (-TRUTH_DB / 10)


def make_noise(kind: str, length: int, rng: np.random.Generator, babble_source: np.ndarray) -> np.ndarray:
    if kind == "white":
        return rng.normal(0, 1, length)
    if kind == "pink":
        spectrum = np.fft.rfft(rng.normal(0, 1, length))
        frequencies = np.fft.rfftfreq(length, 1 / RATE)
        # 1/f power over the audible band: flat below 20 Hz, or the slow swell
        # of the infrasound would be most of the noise.
        spectrum /= np.sqrt(np.maximum(frequencies, 20.0))
        return np.fft.irfft(spectrum, length)
    if kind == "hum":
        t = np.arange(length) / RATE
        base = rng.choice((50.0, 60.0))
        hum = sum(np.sin(2 * np.pi * base * k * t + rng.uniform(0, 6.3)) / k for k in range(1, 8))
        return hum + rng.normal(0, 0.02, length)  # and the hiss of the amplifier
    start = rng.integers(len(babble_source) - length) if len(babble_source) > length else 0
    return np.resize(babble_source[start:], length)


def make_babble(rng: np.random.Generator, espeak: bool, seconds: float) -> np.ndarray:
    """Four other voices talking at once, without pauses."""
    length = int(RATE * seconds)
    total = np.zeros(length)
    for voice in BABBLE_VOICES:
        talk = []
        while sum(map(len, talk)) < length:
            sentence = SENTENCES[rng.integers(len(SENTENCES))]
            talk.append(speak(sentence, voice, 170) if espeak else synthetic_utterance(rng))
        stream = np.concatenate(talk)[:length]
        total += stream / np.sqrt(np.mean(stream**2))
    return total


def noisy(clean: np.ndarray, truth: np.ndarray, noise: np.ndarray, snr: float) -> np.ndarray:
    active = clean[: len(truth) * FRAME].reshape(len(truth), FRAME)[truth]
    speech_power = np.mean(active**2)
    noise = noise * np.sqrt(speech_power / np.mean(noise**2) / 10 ** (snr / 10))
    return np.clip(clean + noise, -1.0, 32767 / 32768)


# The detectors ----------------------------------------------------------------


def to_pcm(signal: np.ndarray) -> bytes:
    return (np.round(signal * 32767)).astype("<i2").tobytes()


def detectors() -> dict[str, tuple[Detector, Callable[[np.ndarray], object]]]:
    """Each detector's function of the signal, and how it first takes it (as PCM, say): untimed."""
    found: dict[str, tuple[Detector, Callable[[np.ndarray], object]]] = {}
    same = lambda signal: signal  # noqa: E731
    found["ostrel"] = (lambda signal: find_segments(signal, RATE), same)
    try:
        import librosa
    except ImportError:
        pass
    else:
        for top_db in (60, 30, 20):
            found[f"librosa split top_db={top_db}"] = (
                lambda signal, top_db=top_db: [(a / RATE, b / RATE) for a, b in librosa.effects.split(signal, top_db=top_db)],
                lambda signal: signal.astype(np.float32),
            )
    try:
        import auditok
    except ImportError:
        pass
    else:
        found["auditok split"] = (
            lambda pcm: [
                (region.start, region.end)
                for region in auditok.split(pcm, sampling_rate=RATE, sample_width=2, channels=1)
            ],
            to_pcm,
        )
    try:
        import webrtcvad
    except ImportError:
        pass
    else:
        for mode in (0, 1, 2, 3):
            found[f"webrtcvad mode {mode}"] = (lambda pcm, mode=mode: webrtc(pcm, webrtcvad.Vad(mode)), to_pcm)
    try:
        import torch
        from silero_vad import get_speech_timestamps, load_silero_vad
    except ImportError:
        pass
    else:
        torch.set_num_threads(1)
        model = load_silero_vad()
        found["silero-vad"] = (
            lambda tensor: [
                (span["start"] / RATE, span["end"] / RATE)
                for span in get_speech_timestamps(tensor, model, sampling_rate=RATE)
            ],
            lambda signal: torch.from_numpy(signal.astype(np.float32)),
        )
    return found


def webrtc(pcm: bytes, vad: object) -> Segments:
    step = 2 * FRAME  # 10 ms of 16-bit samples
    spans: Segments = []
    for index in range(len(pcm) // step):
        if vad.is_speech(pcm[index * step : (index + 1) * step], RATE):  # type: ignore[attr-defined]
            start = index / 100
            if spans and spans[-1][1] == start:
                spans[-1] = (spans[-1][0], start + 0.01)
            else:
                spans.append((start, start + 0.01))
    return spans


# Scores -----------------------------------------------------------------------


def frames_of(segments: Segments, count: int) -> np.ndarray:
    """Frames whose midpoint a segment covers."""
    middles = (np.arange(count) + 0.5) / 100
    marked = np.zeros(count, dtype=bool)
    for start, end in segments:
        marked |= (middles >= start) & (middles < end)
    return marked


def boundaries(frames: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Onsets and offsets (frame indices) of runs of sound joined over gaps under 300 ms."""
    edges = np.diff(np.concatenate(([0], frames.astype(np.int8), [0])))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    keep = np.concatenate(([True], starts[1:] - ends[:-1] >= 30)) if len(starts) else np.empty(0, dtype=bool)
    last = np.concatenate((keep[1:], [True])) if len(starts) else keep
    return starts[keep], ends[last]


def boundary_errors(truth: np.ndarray, found: np.ndarray) -> list[float]:
    """Milliseconds from each true onset and offset to the nearest one found (none found: the file's length)."""
    errors = []
    for true, seen in zip(boundaries(truth), boundaries(found)):
        for edge in true:
            errors.append(10.0 * (np.abs(seen - edge).min() if len(seen) else len(truth)))
    return errors


def f1(truth: np.ndarray, found: np.ndarray) -> float:
    hits = np.count_nonzero(truth & found)
    precision = hits / max(1, np.count_nonzero(found))
    recall = hits / max(1, np.count_nonzero(truth))
    return 0.0 if hits == 0 else 2 * precision * recall / (precision + recall)


# The run ----------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a third of the set; print, write nothing")
    parser.add_argument("--files", type=int, default=12, help="files per noise kind (default: %(default)s)")
    options = parser.parse_args()
    count = max(3, options.files // 3) if options.quick else options.files
    espeak = shutil.which("espeak-ng") is not None and shutil.which("sox") is not None
    rng = np.random.default_rng(20261208)
    clean_files = make_clean(rng, count, espeak)
    truths = [truth_frames(clean) for clean in clean_files]
    babble = make_babble(rng, espeak, max(len(c) for c in clean_files) / RATE + 5)
    found = detectors()
    names = list(found)
    for detect, prepare in found.values():
        # Untimed: the first call of some peers compiles or loads what later calls reuse.
        detect(prepare(noisy(clean_files[0], truths[0], make_noise("white", len(clean_files[0]), rng, babble), 10)))
    scores: dict[tuple[str, str, int], tuple[float, float]] = {}
    seconds = dict.fromkeys(names, 0.0)
    audio_seconds = 0.0
    for kind in NOISES:
        for snr in SNRS:
            pooled_truth, pooled = [], {name: [] for name in names}
            errors: dict[str, list[float]] = {name: [] for name in names}
            for clean, truth in zip(clean_files, truths):
                signal = noisy(clean, truth, make_noise(kind, len(clean), rng, babble), snr)
                audio_seconds += len(signal) / RATE
                pooled_truth.append(truth)
                for name in names:
                    detect, prepare = found[name]
                    given = prepare(signal)
                    began = time.perf_counter()
                    segments = detect(given)
                    seconds[name] += time.perf_counter() - began
                    marked = frames_of(segments, len(truth))
                    pooled[name].append(marked)
                    errors[name] += boundary_errors(truth, marked)
            truth_all = np.concatenate(pooled_truth)
            for name in names:
                scores[name, kind, snr] = (f1(truth_all, np.concatenate(pooled[name])), float(np.median(errors[name])))
            print(f"{kind} {snr} dB: " + ", ".join(f"{n} {scores[n, kind, snr][0]:.3f}" for n in names), file=sys.stderr)
    report = render(names, scores, seconds, audio_seconds, count, espeak, truths)
    print(report)
    if not options.quick:
        (HERE / "segments.md").write_text(report, encoding="utf-8")


def render(
    names: list[str], scores: dict[tuple[str, str, int], tuple[float, float]], seconds: dict[str, float],
    audio_seconds: float, count: int, espeak: bool, truths: list[np.ndarray],
) -> str:
    share = np.mean(np.concatenate(truths))
    lines = [
        "# Sound segments against other detectors",
        "",
        f"Run {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC on {platform.machine()}, "
        f"Python {platform.python_version()}; `python benchmarks/segments.py`.",
        "",
        f"Set: {count} files per noise kind ({'espeak-ng speech' if espeak else 'synthetic syllables'}, "
        f"{len(VOICES)} voices, 3 rates, pauses of 0.2 to 2 s, peak levels -30 to -3 dBFS), 16 kHz; "
        f"{audio_seconds / len(NOISES) / len(SNRS):.0f} s of audio per noise kind and SNR. "
        f"Truth: 10 ms frames within {TRUTH_DB:g} dB of the clean speech's loudest; {share:.2f} of the frames "
        f"are sound, so calling everything sound scores F1 {2 * share / (1 + share):.2f}. Every detector with its defaults "
        "unless named otherwise.",
        "",
    ]
    for kind in NOISES:
        lines += [f"## F1 of the sound frames, {kind} noise", "", table_head("detector", [f"{s} dB" for s in SNRS])]
        for name in names:
            lines.append(f"| {name} | " + " | ".join(f"{scores[name, kind, snr][0]:.3f}" for snr in SNRS) + " |")
        lines.append("")
    lines += ["## F1 over all four noise kinds (mean)", "", table_head("detector", [f"{s} dB" for s in SNRS])]
    for name in names:
        means = [np.mean([scores[name, kind, snr][0] for kind in NOISES]) for snr in SNRS]
        lines.append(f"| {name} | " + " | ".join(f"{value:.3f}" for value in means) + " |")
    lines += target_lines(names, scores)
    lines += ["", "## Median boundary error, ms (mean over the noise kinds)", "", table_head("detector", [f"{s} dB" for s in SNRS])]
    for name in names:
        means = [np.mean([scores[name, kind, snr][1] for kind in NOISES]) for snr in SNRS]
        lines.append(f"| {name} | " + " | ".join(f"{value:.0f}" for value in means) + " |")
    lines += ["", "## Time, in process", "", table_head("detector", ["s per hour of audio", "× ostrel"])]
    for name in names:
        per_hour = seconds[name] / audio_seconds * 3600
        lines.append(f"| {name} | {per_hour:.2f} | {seconds[name] / seconds['ostrel']:.1f} |")
    lines.append("")
    return "\n".join(lines)


def target_lines(names: list[str], scores: dict[tuple[str, str, int], tuple[float, float]]) -> list[str]:
    """ostrel's F1 less the target: webrtcvad's best mode + 0.02, and at 10 dB and above silero-vad's too."""
    modes = [name for name in names if name.startswith("webrtcvad")]
    if not modes or "silero-vad" not in names:
        return []
    lines = [
        "", "## ostrel against the target", "",
        "F1 of ostrel less the target: the best webrtcvad mode's F1 + 0.02 at every SNR, and at least "
        "silero-vad's at 10 dB and above. Negative: not met.", "",
        table_head("noise", [f"{s} dB" for s in SNRS]),
    ]
    for kind in NOISES:
        cells = []
        for snr in SNRS:
            target = max(scores[mode, kind, snr][0] for mode in modes) + 0.02
            if snr >= 10:
                target = max(target, scores["silero-vad", kind, snr][0])
            gap = scores["ostrel", kind, snr][0] - target
            cells.append(f"{gap:+.3f}" + ("" if gap >= 0 else " (not met)"))
        lines.append(f"| {kind} | " + " | ".join(cells) + " |")
    return lines


def table_head(first: str, columns: list[str]) -> str:
    return f"| {first} | " + " | ".join(columns) + " |\n|---|" + "---|" * len(columns)


if __name__ == "__main__":
    main()
