"""Stretches of a file's sound written as sound files in the file's own
sample format: 16-bit stays 16-bit, float stays float.

PCM WAV is written here; every other format (float WAV, FLAC, Ogg, the
others soundfile writes) through soundfile, which the names of those
formats need.
"""

from __future__ import annotations

import struct
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..analysis import blocks
from ..analysis.audio import _EXTENSIONS, AUDIO_EXTRA_HINT, soundfile_module
from .errors import InputError, WriteError
from .files import NewFile

# Samples read at a time while copying the sound out of a file.
COPY_BLOCK = 1 << 16
# A WAV file's sizes are 32-bit.
WAV_LIMIT = 2**32 - 1 - 36
# PCM WAV written here, by its bits: 8-bit WAV is unsigned.
_OWN_PCM = {"PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}
_PCM_BITS = {**_OWN_PCM, "PCM_S8": 8}
# The same samples under another name, where a format has only one of them.
_SAME_SAMPLES = {"PCM_U8": "PCM_S8", "PCM_S8": "PCM_U8"}

Spans = Sequence[tuple[int, int]]


@dataclass(frozen=True)
class SoundFormat:
    """A file format and its sample format, as soundfile names them (``"WAV"``, ``"PCM_16"``)."""

    container: str
    subtype: str

    @property
    def own(self) -> bool:
        return self.container == "WAV" and self.subtype in _OWN_PCM


def container_of(path: Path) -> str | None:
    """The format a file name asks for, if this installation writes it."""
    suffix = path.suffix.lower()
    soundfile = soundfile_module()
    if soundfile is None:
        return "WAV" if suffix in (".wav", ".wave") else None
    available = soundfile.available_formats()
    # WAV before WAVEX, which shares its extension; RAW has none to go by.
    return next((name for name, suffixes in _EXTENSIONS.items() if suffix in suffixes and name in available), None)


def check_sound_name(path: Path, option: str) -> None:
    """Refuse, before any input is read, a file name whose format cannot be written."""
    if _writable(path):
        return
    if soundfile_module() is None and path.suffix:
        raise InputError(f"{path}: {option} writes only .wav without soundfile; name it .wav or {AUDIO_EXTRA_HINT}")
    shown = f"a {path.suffix} file" if path.suffix else "a name without an extension"
    *others, last = writable_suffixes()
    raise InputError(f"{path}: {option} cannot write {shown}; name it {', '.join(others)} or {last}")


def writable_suffixes() -> list[str]:
    """Every extension of a format this installation writes, by the rule the writer follows."""
    suffixes = sorted({suffix for names in _EXTENSIONS.values() for suffix in names} | {".wav"})
    return [suffix for suffix in suffixes if _writable(Path(f"sound{suffix}"))]


def _writable(path: Path) -> bool:
    container = container_of(path)
    # libsndfile puts SD2's resource fork, which describes the samples, in a file "._<name>" beside it; written
    # through a stream it has no name, so an empty "._" lands in the working folder and nothing reads the file back.
    if container is None or container == "SD2":
        return False
    if path.suffix.lower() == ".opus":
        # Any format but WAV means soundfile is there; Opus came later than Ogg itself.
        soundfile: Any = soundfile_module()
        return bool(soundfile.check_format("OGG", "OPUS"))
    return True


def input_format(encoding: str) -> tuple[str, str]:
    """The container and sample format of a file as its reader describes it."""
    if encoding.endswith("-bit PCM WAV"):  # read here, not by soundfile
        bits = int(encoding.split("-")[0])
        return "WAV", "PCM_U8" if bits == 8 else f"PCM_{bits}"
    container, _, subtype = encoding.partition(" ")
    return container, subtype


def output_format(container: str, encoding: str, suffix: str = "") -> SoundFormat:
    """``container`` with the sample format of the input described by ``encoding``, or the nearest it holds.

    Float input for a format without floats is written as 24-bit PCM, lossy
    input as the format's usual samples (16-bit PCM for WAV); a name ending
    in ``.opus`` is Opus in Ogg, not Vorbis.
    """
    if container == "OGG" and suffix.lower() == ".opus":
        return SoundFormat(container, "OPUS")
    subtype = input_format(encoding)[1]
    soundfile = soundfile_module()
    if soundfile is None:
        return SoundFormat(container, subtype)
    held = soundfile.available_subtypes(container)
    for candidate in (subtype, _SAME_SAMPLES.get(subtype, subtype)):
        if candidate in held and soundfile.check_format(container, candidate):
            return SoundFormat(container, candidate)
    if subtype in ("FLOAT", "DOUBLE") and "PCM_24" in held:
        return SoundFormat(container, "PCM_24")
    return SoundFormat(container, soundfile.default_subtype(container))


def written_suffix(source: str, encoding: str) -> str:
    """The extension of a file written in the input's own format: the input's, if it can be written."""
    suffix = Path(source).suffix
    container = container_of(Path(source))
    return suffix if container is not None and container == input_format(encoding)[0] else ".wav"


def pcm_integers(samples: NDArray[np.float64], bits: int) -> NDArray[np.int64]:
    """Samples in [-1, 1] as ``bits``-bit integers, rounded; beyond full scale, clipped to it
    (+1.0 is one step below 2 ** (bits - 1), which the bits do not hold)."""
    full = 2.0 ** (bits - 1)
    finite = np.nan_to_num(samples, nan=0.0, posinf=1.0, neginf=-1.0)
    return np.round(np.clip(finite, -1.0, 1.0 - 1.0 / full) * full).astype(np.int64)


class SoundWriter:
    """One sound file of ``frames`` frames being written to ``new_file`` in ``form``."""

    def __init__(self, new_file: NewFile, form: SoundFormat, sample_rate: int, channels: int, frames: int) -> None:
        self.new_file, self.form, self.channels = new_file, form, channels
        self.handle: Any = None
        try:
            self._begin(sample_rate, frames)
        except BaseException:
            new_file.discard()
            raise

    def _begin(self, sample_rate: int, frames: int) -> None:
        new_file, form, channels = self.new_file, self.form, self.channels
        if form.own:
            self.bits = _OWN_PCM[form.subtype]
            data = frames * channels * (self.bits // 8)
            if data > WAV_LIMIT:
                raise WriteError(f"{new_file.target}: the sound is more than a WAV file holds (4 GiB); name it .rf64 or .w64")
            self._guarded(lambda: new_file.stream.write(_wav_header(sample_rate, channels, self.bits, frames)))
        else:
            # Only a format soundfile reported can come here.
            soundfile: Any = soundfile_module()
            self.handle = self._guarded(lambda: soundfile.SoundFile(
                new_file.stream, "w", sample_rate, channels, form.subtype, format=form.container
            ))

    def write(self, piece: NDArray[np.float64]) -> None:
        if self.handle is None:
            self._guarded(lambda: self.new_file.stream.write(_pcm_bytes(piece, self.bits)))
        else:
            self._guarded(lambda: self.handle.write(_soundfile_samples(piece, self.form.subtype)))

    def close(self) -> None:
        if self.handle is not None:
            self._guarded(self.handle.close)
        self.new_file.commit()

    def _guarded(self, step: Callable[[], Any]) -> Any:
        try:
            return step()
        except OSError as error:
            raise self.new_file.failure(error) from None
        except (RuntimeError, TypeError, ValueError) as error:  # soundfile's own errors derive from these
            reason = getattr(error, "error_string", None) or error
            raise WriteError(f"{self.new_file.target}: cannot write {self.new_file.what}: {reason}") from None


def _wav_header(sample_rate: int, channels: int, bits: int, frames: int) -> bytes:
    width = bits // 8
    data = frames * channels * width
    return (
        b"RIFF" + struct.pack("<I", 36 + data) + b"WAVE"
        + b"fmt " + struct.pack("<IHHIIHH", 16, 1, channels, sample_rate, sample_rate * channels * width, channels * width, bits)
        + b"data" + struct.pack("<I", data)
    )


def _pcm_bytes(piece: NDArray[np.float64], bits: int) -> bytes:
    values = pcm_integers(piece, bits)
    if bits == 8:
        return (values + 128).astype(np.uint8).tobytes()
    if bits == 24:
        return values.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
    return values.astype(f"<i{bits // 8}").tobytes()


def _soundfile_samples(piece: NDArray[np.float64], subtype: str) -> NDArray[Any]:
    if subtype in ("FLOAT", "DOUBLE"):
        return piece
    bits = _PCM_BITS.get(subtype)
    if bits is None:  # an encoder (Vorbis, MP3, µ-law): floats within full scale
        return np.clip(np.nan_to_num(piece), -1.0, 1.0)
    # soundfile takes 32-bit integers and keeps their top bits.
    return (pcm_integers(piece, bits) << (32 - bits)).astype(np.int32)


def copy_spans(source: str, spans: Spans, groups: Sequence[int], open_writer: Callable[[int], SoundWriter]) -> None:
    """Copy each span of samples of ``source`` (every channel), in order, to the writer of its group.

    Spans of one group follow one another; a group's writer is opened at
    its first span and closed after its last, so one file is open at a time.
    """
    writer: SoundWriter | None = None
    last = {group: index for index, group in enumerate(groups)}
    done = 0
    try:
        for index, piece, ends in _kept(source, spans):
            if writer is None:
                writer = open_writer(groups[index])
            writer.write(piece)
            if ends:
                done += 1
                if last[groups[index]] == index:
                    writer.close()
                    writer = None
        if done < len(spans):
            raise WriteError(f"{source}: the file is shorter than when it was analysed; run again")
    finally:
        if writer is not None:
            writer.new_file.discard()


def _kept(source: str, spans: Spans) -> Iterator[tuple[int, NDArray[np.float64], bool]]:
    """The samples (samples × channels) of ``source`` inside each span, block
    by block: the span's index, the samples, and whether they end the span."""
    at, span = 0, 0
    for block in blocks(source, COPY_BLOCK, channels="each"):
        end = at + len(block)
        while span < len(spans) and spans[span][0] < end:
            start, stop = spans[span]
            piece = block[max(0, start - at) : max(0, min(stop, end) - at)]
            if len(piece):
                yield span, piece, stop <= end
            if stop > end:
                break
            span += 1
        at = end
