"""Sound segments against the detectors people use for it, on a labelled set
built here, side by side in one run.

    PYTHONPATH=package python benchmarks/segments.py                # report half; writes segments.md
    PYTHONPATH=package python benchmarks/segments.py --half tune    # tuning half; prints, writes nothing
    PYTHONPATH=package python benchmarks/segments.py --quick        # a third of the report half; writes nothing

The set: files of three to five utterances, each utterance at its own level
(the file's, ±15 dB), pauses of 0.08 to 4 s (even on a log scale) and 0.3 to
1 s of digital silence before and after, 16 kHz. Speech from espeak-ng in
four languages and, in the report half, from flite (when they are
installed; otherwise synthetic vowels and hisses). Conditions: clean (digital
silence between utterances), reverberant (a room of 0.3 to 0.8 s), telephone
band (300 to 3400 Hz), and noise of five kinds (white, brown, pink from 20 Hz
up, mains hum with harmonics, babble of other voices) at 20, 10, 5 and 0 dB,
the SNR being that of the speech's active frames. The tuning half and the
report half differ in seed and in voices.

Two truths. Frame-level: the 10 ms frames of the clean speech within 40 dB
of the loudest of their utterance. Utterance-level: each utterance whole,
from its first such frame to its last, its word gaps included. Each
detector's segments mark the frames whose midpoint they cover; scores are
the frame-level F1 of the sound class, pooled over the files of each
condition, and, in the clean condition, the recall of the utterance-level
truth (speech kept, pauses of 0.3 s or more left out). Times are in process,
seconds of detecting per hour of audio (silero-vad on one torch thread, as
the others run on one core). The first call of each detector is made before
timing: librosa compiles on its first.

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
import time
import wave
from collections.abc import Callable
from pathlib import Path

import numpy as np

from ostrel.analysis import SegmentSettings, find_segments

HERE = Path(__file__).resolve().parent
RATE = 16000
FRAME = RATE // 100  # 10 ms truth frames
TRUTH_DB = 40.0
SNRS = (20, 10, 5, 0)
NOISES = ("white", "brown", "pink", "hum", "babble")
CONDITIONS = [("clean", None), ("reverberant", None), ("telephone", None)] + [(kind, snr) for kind in NOISES for snr in SNRS]
# Per half: its seed and its voices, (engine, voice, language); the halves share none.
HALVES = {
    "tune": (20261208, [("espeak-ng", "en-us", "en"), ("espeak-ng", "de", "de"), ("espeak-ng", "fr", "fr"), ("espeak-ng", "en+m3", "en")]),
    "report": (
        31031,
        [("espeak-ng", "en-gb", "en"), ("espeak-ng", "es", "es"), ("espeak-ng", "en+f3", "en"), ("espeak-ng", "de+f2", "de"),
         ("flite", "slt", "en"), ("flite", "rms", "en"), ("flite", "awb", "en"), ("flite", "kal16", "en")],
    ),
}
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
}

Segments = list[tuple[float, float]]
Detector = Callable[[np.ndarray], Segments]


# The set --------------------------------------------------------------------


def speak(text: str, engine: str, voice: str, rate: int) -> np.ndarray:
    """One utterance at 16 kHz, float64, trimmed of the silence the synthesizer adds around it."""
    if engine == "flite":
        command = ["flite", "-voice", voice, "--setf", f"duration_stretch={170 / rate:.2f}", "-t", text, "-o", "/dev/stdout"]
    else:
        command = ["espeak-ng", "--stdout", "-v", voice, "-s", str(rate), text]
    speech = subprocess.run(command, check=True, capture_output=True).stdout
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
    """Without a synthesizer: syllables of a hiss (unvoiced) and a buzz with formants (voiced)."""
    parts = []
    for _ in range(rng.integers(4, 9)):
        hiss = rng.normal(0, 0.03, int(RATE * rng.uniform(0.05, 0.12)))
        hiss = np.diff(hiss, prepend=0.0)  # high frequencies, as in /s/
        pitch = rng.uniform(90, 220)
        t = np.arange(int(RATE * rng.uniform(0.12, 0.3))) / RATE
        buzz = sum(np.sin(2 * np.pi * pitch * k * t) / k for k in range(1, 15)) * np.hanning(len(t)) * 0.3
        parts += [hiss, buzz, np.zeros(int(RATE * rng.uniform(0.0, 0.08)))]
    return np.concatenate(parts)


def speaks(engine: str) -> bool:
    return shutil.which(engine) is not None and shutil.which("sox") is not None


def make_clean(
    rng: np.random.Generator, count: int, voices: list[tuple[str, str, str]]
) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    """Files of three to five utterances: the clean signal, its frame-level truth and its utterance-level truth."""
    files = []
    voices = [voice for voice in voices if speaks(voice[0])]
    for index in range(count):
        engine, voice, language = voices[index % len(voices)] if voices else ("", "", "en")
        rate = (130, 170, 210)[index % 3]
        pieces = [np.zeros(int(RATE * rng.uniform(0.3, 1.0)))]
        for number in range(rng.integers(3, 6)):
            if number:
                pieces.append(np.zeros(int(RATE * np.exp(rng.uniform(np.log(0.08), np.log(4.0))))))
            sentence = SENTENCES[language][rng.integers(len(SENTENCES[language]))]
            spoken = speak(sentence, engine, voice, rate) if voices else synthetic_utterance(rng)
            pieces.append(spoken / np.abs(spoken).max() * 10 ** (rng.uniform(-15, 15) / 20))
        pieces.append(np.zeros(int(RATE * rng.uniform(0.3, 1.0))))
        level = 10 ** (rng.uniform(-30, -3) / 20)  # the loudest utterance's peak, -30 to -3 dBFS
        loudest = max(np.abs(piece).max() for piece in pieces[1::2])
        pieces = [piece * (level / loudest) for piece in pieces]
        frames, spans = truth_frames(pieces)
        files.append((np.concatenate(pieces), frames, spans))
    return files


def truth_frames(pieces: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    """Frames within TRUTH_DB of their utterance's loudest, and each utterance from its first such frame to its last."""
    signal = np.concatenate(pieces)
    count = len(signal) // FRAME
    energy = (signal[: count * FRAME].reshape(count, FRAME) ** 2).mean(axis=1)
    frames, spans = np.zeros(count, dtype=bool), np.zeros(count, dtype=bool)
    at = len(pieces[0])
    for index, piece in enumerate(pieces[1:-1]):
        if index % 2 == 0:
            first, end = at // FRAME, min(count, -(-(at + len(piece)) // FRAME))
            heard = energy[first:end] > energy[first:end].max() * 10 ** (-TRUTH_DB / 10)
            frames[first:end] |= heard
            sounding = np.flatnonzero(heard)
            spans[first + sounding[0] : first + sounding[-1] + 1] = True
        at += len(piece)
    return frames, spans


def in_room(clean: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """Convolved with noise decaying by 60 dB in 0.3 to 0.8 s, the direct sound strongest."""
    seconds = rng.uniform(0.3, 0.8)
    t = np.arange(int(RATE * seconds)) / RATE
    response = rng.normal(0, 0.05, len(t)) * 10 ** (-3 * t / seconds)
    response[0] = 1.0
    wet = np.fft.irfft(np.fft.rfft(clean, 2 * len(clean)) * np.fft.rfft(response, 2 * len(clean)))[: len(clean)]
    return np.clip(wet * np.abs(clean).max() / np.abs(wet).max(), -1.0, 32767 / 32768)


def telephone(clean: np.ndarray) -> np.ndarray:
    spectrum = np.fft.rfft(clean)
    frequencies = np.fft.rfftfreq(len(clean), 1 / RATE)
    spectrum[(frequencies < 300) | (frequencies > 3400)] = 0
    return np.fft.irfft(spectrum, len(clean))


def make_noise(kind: str, length: int, rng: np.random.Generator, babble_source: np.ndarray) -> np.ndarray:
    if kind == "white":
        return rng.normal(0, 1, length)
    if kind == "brown":
        brown = np.cumsum(rng.normal(0, 1, length))
        return brown - np.convolve(brown, np.ones(1601) / 1601, "same")  # rumble, without the drift below 10 Hz
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


def make_babble(rng: np.random.Generator, seconds: float) -> np.ndarray:
    """Four other voices talking at once, without pauses."""
    length = int(RATE * seconds)
    total = np.zeros(length)
    for voice in BABBLE_VOICES:
        talk = []
        while sum(map(len, talk)) < length:
            sentence = SENTENCES["en"][rng.integers(len(SENTENCES["en"]))]
            talk.append(speak(sentence, "espeak-ng", voice, 170) if speaks("espeak-ng") else synthetic_utterance(rng))
        stream = np.concatenate(talk)[:length]
        total += stream / np.sqrt(np.mean(stream**2))
    return total


def condition(
    name: str, snr: int | None, clean: np.ndarray, truth: np.ndarray, rng: np.random.Generator, babble: np.ndarray
) -> np.ndarray:
    if name == "clean":
        return clean
    if name == "reverberant":
        return in_room(clean, rng)
    if name == "telephone":
        return telephone(clean)
    return noisy(clean, truth, make_noise(name, len(clean), rng, babble), snr)


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
    exact = SegmentSettings(min_silence_ms=10, pad_ms=0)
    found["ostrel frame-exact"] = (lambda signal: find_segments(signal, RATE, exact), same)
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
            found[f"webrtcvad mode {mode}, 300 ms"] = (lambda pcm, mode=mode: bridged(webrtc(pcm, webrtcvad.Vad(mode))), to_pcm)
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
    parser.add_argument("--files", type=int, default=9, help="files per condition (default: %(default)s)")
    options = parser.parse_args()
    count = max(3, options.files // 3) if options.quick else options.files
    seed, voices = HALVES[options.half]
    rng = np.random.default_rng(seed)
    files = make_clean(rng, count, voices)
    babble = make_babble(rng, max(len(clean) for clean, _, _ in files) / RATE + 5)
    found = detectors()
    names = list(found)
    for detect, prepare in found.values():
        # Untimed: the first call of some peers compiles or loads what later calls reuse.
        detect(prepare(noisy(files[0][0], files[0][1], make_noise("white", len(files[0][0]), rng, babble), 10)))
    # Per detector, truth and condition: F1; per detector: the recall of whole utterances in the clean files.
    scores: dict[tuple[str, str, str], float] = {}
    recall: dict[str, float] = {}
    seconds = dict.fromkeys(names, 0.0)
    audio_seconds = 0.0
    for kind, snr in CONDITIONS:
        label = kind if snr is None else f"{kind} {snr} dB"
        marked: dict[str, list[np.ndarray]] = {name: [] for name in names}
        for clean, frames, spans in files:
            signal = condition(kind, snr, clean, frames, rng, babble)
            audio_seconds += len(signal) / RATE
            for name in names:
                detect, prepare = found[name]
                given = prepare(signal)
                began = time.perf_counter()
                segments = detect(given)
                seconds[name] += time.perf_counter() - began
                marked[name].append(frames_of(segments, len(frames)))
        truths = {"frame": np.concatenate([f for _, f, _ in files]), "utterance": np.concatenate([u for _, _, u in files])}
        for name in names:
            found_all = np.concatenate(marked[name])
            for truth in TRUTHS:
                scores[name, truth, label] = f1(truths[truth], found_all)
            if kind == "clean":
                recall[name] = np.count_nonzero(found_all & truths["utterance"]) / np.count_nonzero(truths["utterance"])
        print(f"{label}: " + ", ".join(f"{n} {scores[n, 'utterance', label]:.3f}" for n in names), file=sys.stderr)
    report = render(names, scores, recall, seconds, audio_seconds, count, options.half, files)
    print(report)
    if options.half == "report" and not options.quick:
        (HERE / "segments.md").write_text(report, encoding="utf-8")


def labels_of(group: str) -> list[str]:
    return [group] if group not in NOISES else [f"{group} {snr} dB" for snr in SNRS]


def render(
    names: list[str], scores: dict[tuple[str, str, str], float], recall: dict[str, float], seconds: dict[str, float],
    audio_seconds: float, count: int, half: str, files: list[tuple[np.ndarray, np.ndarray, np.ndarray]],
) -> str:
    voices = [voice for voice in HALVES[half][1] if speaks(voice[0])]
    spoken = ", ".join(f"{engine} {voice}" for engine, voice, _ in voices) if voices else "synthetic syllables"
    lines = [
        "# Sound segments against other detectors",
        "",
        f"Run {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC on {platform.machine()}, "
        f"Python {platform.python_version()}; `python benchmarks/segments.py --half {half}`.",
        "",
        f"Set ({half} half): {count} files per condition ({spoken}; utterance levels ±15 dB within a file, pauses of "
        f"0.08 to 4 s), 16 kHz; {audio_seconds / len(CONDITIONS):.0f} s of audio per condition, {len(CONDITIONS)} conditions. "
        "Every detector with its defaults unless named otherwise; `ostrel frame-exact` is `min_silence_ms=10, pad_ms=0`; "
        "`webrtcvad mode N, 300 ms` joins gaps under 300 ms.",
        "",
    ]
    for truth in TRUTHS:
        share = np.mean(np.concatenate([files_truth for files_truth in (f[1] if truth == "frame" else f[2] for f in files)]))
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
        "In the clean condition, the share of the utterance-level truth in segments: the speech frames, pauses of "
        "0.3 s or more left out.",
        "",
        table_head("detector", ["recall"]),
    ]
    lines += [f"| {name} | {recall[name]:.4f} |" for name in names]
    lines += ["", "## Time, in process", "", table_head("detector", ["s per hour of audio", "× ostrel"])]
    for name in names:
        per_hour = seconds[name] / audio_seconds * 3600
        lines.append(f"| {name} | {per_hour:.2f} | {seconds[name] / seconds['ostrel']:.1f} |")
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
