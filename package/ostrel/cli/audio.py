"""Reading audio files into one float64 channel in [-1, 1].

PCM WAV needs nothing beyond the standard library's ``wave``; every other
format goes through the optional ``soundfile`` package (extra ``audio``).
"""

from __future__ import annotations

import struct
import wave
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .errors import InputError

AUDIO_EXTRA_HINT = "pip install 'ostrel[audio]'"

_PCM = 0x0001
_IEEE_FLOAT = 0x0003
_EXTENSIBLE = 0xFFFE

# First bytes of containers that soundfile reads and ``wave`` does not; used
# only to name the format in the message when soundfile is missing.
_OTHER_CONTAINERS = (
    (b"fLaC", "FLAC"),
    (b"OggS", "Ogg"),
    (b"FORM", "AIFF"),
)


@dataclass(frozen=True)
class Audio:
    """A decoded file: the mono mix-down and what it was made from."""

    samples: np.ndarray
    sample_rate: int
    channels: int
    encoding: str


def read_audio(path: str | Path) -> Audio:
    """Read ``path`` and mix it down to one float64 channel.

    Raises :class:`InputError` with a one-line message for anything that
    cannot be analysed: a missing or unreadable file, an empty one, one that
    is not audio, a compressed WAV, or a file without samples.
    """
    path = Path(path)
    try:
        with path.open("rb") as stream:
            head = stream.read(12)
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{path}: is a folder, not a file") from None
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror or error}") from None
    if not head:
        raise InputError(f"{path}: file is empty")

    if head[:4] == b"RIFF" and head[8:12] == b"WAVE":
        audio = _read_wav(path)
    else:
        audio = _read_other(path, head)
    if audio.samples.size == 0:
        raise InputError(f"{path}: contains no samples")
    return audio


def decode_pcm(raw: bytes, sample_width: int, channels: int) -> np.ndarray:
    """Little-endian PCM bytes to a (frames, channels) float64 array in [-1, 1).

    8-bit WAV is unsigned around 128, wider widths are two's complement;
    each width is divided by its full scale, 2 ** (bits - 1). A trailing
    partial frame (a truncated file) is dropped.
    """
    frame_bytes = sample_width * channels
    raw = raw[: len(raw) // frame_bytes * frame_bytes]
    if sample_width == 1:
        ints = np.frombuffer(raw, dtype=np.uint8).astype(np.int16) - 128
    elif sample_width == 2:
        ints = np.frombuffer(raw, dtype="<i2")
    elif sample_width == 3:
        octets = np.frombuffer(raw, dtype=np.uint8).reshape(-1, 3).astype(np.int32)
        ints = octets[:, 0] | (octets[:, 1] << 8) | (octets[:, 2] << 16)
        ints = np.where(ints >= 1 << 23, ints - (1 << 24), ints)
    elif sample_width == 4:
        ints = np.frombuffer(raw, dtype="<i4")
    else:
        raise ValueError(f"unsupported sample width {sample_width}")
    scaled = ints.astype(np.float64) / float(1 << (8 * sample_width - 1))
    return scaled.reshape(-1, channels)


def mix_down(frames: np.ndarray) -> np.ndarray:
    """The mean over channels; a single channel is returned as it is."""
    if frames.shape[1] == 1:
        return frames[:, 0].copy()
    return frames.mean(axis=1)


def _read_wav(path: Path) -> Audio:
    try:
        with wave.open(str(path), "rb") as reader:
            channels = reader.getnchannels()
            width = reader.getsampwidth()
            rate = reader.getframerate()
            raw = reader.readframes(reader.getnframes())
    except (wave.Error, EOFError, struct.error):
        return _read_wav_other_format(path)
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror or error}") from None
    return _pcm_audio(path, raw, width, channels, rate)


def _pcm_audio(path: Path, raw: bytes, width: int, channels: int, rate: int) -> Audio:
    if channels < 1 or rate < 1:
        raise InputError(f"{path}: invalid WAV header ({channels} channels, {rate} Hz)")
    if width not in (1, 2, 3, 4):
        raise InputError(f"{path}: {8 * width}-bit PCM WAV is not supported (8, 16, 24 or 32 bits are)")
    samples = mix_down(decode_pcm(raw, width, channels))
    return Audio(samples, rate, channels, f"{8 * width}-bit PCM WAV")


def _read_wav_other_format(path: Path) -> Audio:
    """A WAV that ``wave`` refused: extensible PCM, float, compressed or broken."""
    chunks = _riff_chunks(path)
    fmt = chunks.get(b"fmt ")
    if fmt is None:
        raise InputError(f"{path}: not a valid WAV file (no fmt chunk)")
    if len(fmt) < 16:
        raise InputError(f"{path}: not a valid WAV file (fmt chunk too short)")
    tag, channels, rate, _, _, bits = struct.unpack_from("<HHIIHH", fmt)
    if tag == _EXTENSIBLE and len(fmt) >= 26:
        # The real format tag is the first two bytes of the sub-format GUID.
        (tag,) = struct.unpack_from("<H", fmt, 24)
    if tag == _PCM:
        # Multichannel and 24-bit files often use the extensible header,
        # which this Python's ``wave`` rejects although the data is plain PCM.
        data = chunks.get(b"data")
        if data is None:
            raise InputError(f"{path}: not a valid WAV file (no data chunk)")
        return _pcm_audio(path, data, (bits + 7) // 8, channels, rate)
    if tag == _IEEE_FLOAT:
        return _read_with_soundfile(path, f"{bits}-bit float WAV")
    raise InputError(f"{path}: compressed WAV (format tag 0x{tag:04x}) is not supported; convert it to PCM")


def _riff_chunks(path: Path) -> dict[bytes, bytes]:
    """The top-level chunks of a RIFF file, by id; a truncated last chunk is kept short."""
    chunks: dict[bytes, bytes] = {}
    with path.open("rb") as stream:
        stream.seek(12)
        while True:
            header = stream.read(8)
            if len(header) < 8:
                return chunks
            chunk_id, size = struct.unpack("<4sI", header)
            chunks.setdefault(chunk_id, stream.read(size))
            if size % 2:
                stream.seek(1, 1)


def _read_other(path: Path, head: bytes) -> Audio:
    for magic, name in _OTHER_CONTAINERS:
        if head.startswith(magic):
            return _read_with_soundfile(path, name)
    try:
        import soundfile  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        raise InputError(
            f"{path}: not a WAV file (other audio formats need soundfile: {AUDIO_EXTRA_HINT})"
        ) from None
    return _read_with_soundfile(path, None)


def _read_with_soundfile(path: Path, kind: str | None) -> Audio:
    try:
        import soundfile
    except ImportError:
        raise InputError(f"{path}: reading {kind} files needs soundfile: {AUDIO_EXTRA_HINT}") from None
    try:
        frames, rate = soundfile.read(str(path), dtype="float64", always_2d=True)
        info = soundfile.info(str(path))
    except Exception as error:  # soundfile raises its own error types and RuntimeError
        if kind is None:
            raise InputError(f"{path}: not a WAV file nor another audio format that soundfile reads") from None
        raise InputError(f"{path}: cannot read {kind} file: {error}") from None
    return Audio(mix_down(frames), int(rate), frames.shape[1], f"{info.format} {info.subtype}")
