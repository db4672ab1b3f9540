"""Reading audio: a whole file, or its samples block by block, mixed down or per channel.

PCM WAV needs nothing beyond numpy; every other format, compressed and float
WAV included, goes through the optional ``soundfile`` package (extra
``audio``). Samples become float64 in [-1, 1]: PCM is divided by its full
scale, 2 ** (bits - 1).
"""

from __future__ import annotations

import io
import queue
import struct
import sys
import threading
from collections.abc import Callable, Generator, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from types import TracebackType
from typing import Any, Protocol

import numpy as np
from numpy.typing import NDArray

from .. import _pcm
from .errors import InputError
from .settings import Channels, checked_channels

AUDIO_EXTRA_HINT = "pip install 'ostrel[audio]'"
STDIN = "-"
# Samples read at a time: a few megabytes however long the file is.
READ_SIZE = 1 << 16
# Values a block holds at most (frames × channels), whoever reads it: files of
# more than eight channels get fewer frames a block, so that memory does not
# grow with their number, nor with a number a broken header claims.
BLOCK_VALUES = 8 * READ_SIZE

_PCM = 0x0001
_IEEE_FLOAT = 0x0003
_EXTENSIBLE = 0xFFFE
# Compressed WAV encodings a user may meet, named in messages: the bare tag says little.
_COMPRESSED_NAMES = {
    0x0002: "MS ADPCM", 0x0006: "A-law", 0x0007: "µ-law", 0x0011: "IMA ADPCM", 0x0031: "GSM 6.10", 0x0055: "MP3",
}
# A data size that streaming writers put in the header: "up to the end".
_UNKNOWN_SIZE = 0xFFFFFFFF
# The largest size some streaming writers dare put there (just under 2 GiB):
# a guess made before the length was known, not a length.
_GUESSED_SIZE = 0x7FFFF000
# Of a fmt chunk, the bytes that tell the format: the extensible form's
# sub-format tag ends at byte 26.
_FMT_READ = 40

# First bytes of containers that need soundfile; they name the format in the
# message when it is missing.
_OTHER_CONTAINERS = ((b"fLaC", "FLAC"), (b"OggS", "Ogg"), (b"FORM", "AIFF"))

# File extensions of the formats soundfile may report as readable.
_EXTENSIONS = {
    "AIFF": (".aif", ".aiff", ".aifc"), "AU": (".au", ".snd"), "AVR": (".avr",), "CAF": (".caf",),
    "FLAC": (".flac",), "HTK": (".htk",), "SVX": (".svx", ".8svx"), "MAT4": (".mat",), "MAT5": (".mat",),
    "MPC2K": (".mpc",), "MP3": (".mp3",), "OGG": (".ogg", ".oga", ".opus"), "PAF": (".paf",),
    "PVF": (".pvf",), "RF64": (".rf64",), "SD2": (".sd2",), "SDS": (".sds",), "IRCAM": (".sf", ".ircam"),
    "VOC": (".voc",), "W64": (".w64",), "WAV": (".wav", ".wave"), "NIST": (".nist", ".sph"),
    "WAVEX": (".wav",), "WVE": (".wve",), "XI": (".xi",),
}

Samples = NDArray[np.float64]


@dataclass(frozen=True)
class Audio:
    """A decoded file: its samples and what they were made from.

    ``samples`` is one-dimensional (the mean of the channels) when read with
    ``channels="mix"`` and shaped (samples, channels) with ``"each"``.
    ``warnings`` holds one-line notes such as a truncated file.
    """

    samples: Samples
    sample_rate: int
    channels: int
    encoding: str
    warnings: tuple[str, ...] = ()


def soundfile_module() -> Any | None:
    try:
        import soundfile  # type: ignore[import-untyped]
    except ImportError:
        return None
    return soundfile


def readable_extensions() -> frozenset[str]:
    """Lower-case extensions that folders are scanned for: every format soundfile reads, or WAV."""
    soundfile = soundfile_module()
    if soundfile is None:
        return frozenset({".wav"})
    formats = soundfile.available_formats()
    return frozenset(extension for name in formats for extension in _EXTENSIONS.get(name, ()))


def _most_frames(channels: int) -> int:
    """Frames a block holds at most: :data:`BLOCK_VALUES` values, and at least one frame."""
    return max(1, BLOCK_VALUES // channels)


def mix_down(frames: Samples, out: Samples | None = None) -> Samples:
    """The channels summed left to right and divided by their number, sample by sample.

    Each sample's mean depends on that sample's channels alone, so blocks
    mix to exactly what the whole file does. ``out``, when given, receives
    the result (in place: no temporaries).
    """
    mixed = np.empty(len(frames)) if out is None else out
    np.copyto(mixed, frames[:, 0])
    for channel in range(1, frames.shape[1]):
        np.add(mixed, frames[:, channel], out=mixed)
    if frames.shape[1] > 1:
        np.true_divide(mixed, frames.shape[1], out=mixed)
    return mixed


class Decoder(Protocol):
    """An open file: its facts, and its samples as float64 in [-1, 1], a block at a time."""

    source: str
    sample_rate: int
    channels: int
    encoding: str
    promised: int | None  # samples the header announces, when it does
    warnings: list[str]

    def read(self, count: int) -> Samples:
        """Up to ``count`` frames as a new (frames, channels) array; none at the end."""
        ...

    def read_into(self, out: Samples, mix: bool) -> int:
        """Up to ``len(out)`` frames into ``out``: one value a frame (``mix``, the mean of
        the channels as :func:`mix_down` gives it) or (frames, channels); how many."""
        ...

    def close(self) -> None: ...


@dataclass
class _PcmDecoder:
    source: str
    stream: io.BufferedIOBase
    sample_rate: int
    channels: int
    width: int
    remaining: int | None  # bytes of the data chunk still to read; None: up to the end
    # Whether the header's data size is the data's length, so that a file
    # ending sooner is truncated (not so for a streaming writer's guess).
    meant: bool = True
    encoding: str = ""
    warnings: list[str] = field(default_factory=list)
    read_so_far: int = 0
    # The file's bytes land here, block after block, rather than in new objects.
    raw: bytearray = field(default_factory=bytearray)
    # Bytes of a frame that a read ended inside, kept at the start of ``raw``
    # for the next read: a file still being written may end mid-frame for now.
    partial: int = 0

    def __post_init__(self) -> None:
        self.encoding = f"{8 * self.width}-bit PCM WAV"
        frame = self.width * self.channels
        self.promised = self.remaining // frame if self.meant and self.remaining is not None else None

    def read(self, count: int) -> Samples:
        count = min(count, _most_frames(self.channels))
        if self.remaining is not None:
            # No more room than the data chunk can still fill.
            count = min(count, -(-(self.partial + self.remaining) // (self.width * self.channels)))
        frames = np.empty((count, self.channels))
        return frames[: self.read_into(frames, mix=False)]

    def read_into(self, out: Samples, mix: bool) -> int:
        frame = self.width * self.channels
        wanted = max(0, len(out) * frame - self.partial)
        if self.remaining is not None:
            wanted = min(wanted, self.remaining)
        end = self.partial + wanted
        if len(self.raw) < end:
            self.raw = self.raw[: self.partial] + bytearray(end - self.partial)
        with memoryview(self.raw) as whole:
            with whole[self.partial : end] as buffer:
                got = _read_into(self.stream, buffer, self.source)
            filled = self.partial + got
            with whole[:filled] as data:
                count: int = _pcm.decode(data, self.width, self.channels, out, mix)
            decoded = count * frame
            whole[: filled - decoded] = whole[decoded:filled]
        self.partial = filled - decoded
        self.read_so_far += count
        if self.remaining is not None:
            self.remaining -= got
            if got < wanted and self.meant:
                self._truncated()
        return count

    def _truncated(self) -> None:
        # Nothing more will come: say once how far the file goes.
        self.remaining = 0
        self.warnings.append(
            f"{self.source}: file is truncated: the header promises {self.promised} samples, "
            f"it holds {self.read_so_far}; analysed as far as it goes"
        )

    def close(self) -> None:
        self.stream.close()


@dataclass
class _SoundfileDecoder:
    source: str
    handle: Any
    kind: str
    warnings: list[str] = field(default_factory=list)
    # All channels of a block, before they are mixed down.
    frames: Samples = field(default_factory=lambda: np.empty((0, 1)))

    def __post_init__(self) -> None:
        self.sample_rate = int(self.handle.samplerate)
        self.channels = int(self.handle.channels)
        self.encoding = f"{self.handle.format} {self.handle.subtype}"
        # Some codecs only estimate their length: nothing is planned on it.
        self.promised: int | None = None

    def read(self, count: int) -> Samples:
        count = min(count, _most_frames(self.channels))
        return self._decoded(lambda: self.handle.read(count, dtype="float64", always_2d=True))

    def read_into(self, out: Samples, mix: bool) -> int:
        if not mix:
            return len(self._decoded(lambda: self.handle.read(len(out), out=out)))
        if len(self.frames) < len(out):
            self.frames = np.empty((len(out), self.channels))
        frames = self._decoded(lambda: self.handle.read(len(out), out=self.frames[: len(out)]))
        mix_down(frames, out[: len(frames)])
        return len(frames)

    def _decoded(self, read: Callable[[], Samples]) -> Samples:
        try:
            return read()
        except Exception as error:  # soundfile raises its own error types and RuntimeError
            raise InputError(f"{self.source}: cannot decode {self.kind}: {_soundfile_reason(error)}") from None

    def close(self) -> None:
        self.handle.close()


def _soundfile_reason(error: Exception) -> str:
    # Its message starts with the repr of our file object; the reason is what helps.
    return str(getattr(error, "error_string", None) or error)


def _read_into(stream: io.BufferedIOBase, buffer: memoryview, source: str) -> int:
    """Bytes read into ``buffer``: all of it, or fewer only at the end (pipes return short reads)."""
    got = 0
    try:
        while got < len(buffer):
            with buffer[got:] as rest:
                count = stream.readinto(rest)
            if not count:
                break
            got += count
    except OSError as error:
        raise InputError(f"{source}: cannot read: {error.strerror or error}") from None
    return got


def _read_fully(stream: io.BufferedIOBase, count: int, source: str) -> bytes:
    """Up to ``count`` bytes; fewer only at the end."""
    buffer = bytearray(count)
    with memoryview(buffer) as whole:
        got = _read_into(stream, whole, source)
    del buffer[got:]
    return bytes(buffer)


def _open_stream(path: str | Path) -> tuple[io.BufferedIOBase, bool]:
    """The file's bytes, and whether they were streamed: stdin and pipes are
    read whole, since decoders need to seek."""
    name = str(path)
    if name == STDIN:
        return io.BytesIO(sys.stdin.buffer.read()), True
    try:
        stream = Path(path).open("rb")  # noqa: SIM115 - the decoder owns and closes it
    except FileNotFoundError:
        raise InputError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{name}: is a folder, not a file") from None
    except OSError as error:
        raise InputError(f"{name}: cannot read: {error.strerror or error}") from None
    if stream.seekable():
        return stream, False
    with stream:
        try:
            return io.BytesIO(stream.read()), True
        except OSError as error:
            raise InputError(f"{name}: cannot read: {error.strerror or error}") from None


def open_decoder(path: str | Path) -> Decoder:
    """Open ``path`` (``"-"``: stdin) for reading; one-line :class:`InputError` for anything unreadable."""
    name = str(path)
    stream, streamed = _open_stream(path)
    try:
        head = _read_fully(stream, 12, name)
        if not head:
            raise InputError(f"{name}: file is empty")
        if head[:4] == b"RIFF" and head[8:12] == b"WAVE":
            (riff_size,) = struct.unpack_from("<I", head, 4)
            return _open_wav(name, stream, riff_size, streamed)
        for magic, kind in _OTHER_CONTAINERS:
            if head.startswith(magic):
                return _open_with_soundfile(name, stream, kind)
        if soundfile_module() is None:
            raise InputError(f"{name}: not a WAV file (other audio formats need soundfile: {AUDIO_EXTRA_HINT})")
        return _open_with_soundfile(name, stream, None)
    except BaseException:
        stream.close()
        raise


def _open_wav(name: str, stream: io.BufferedIOBase, riff_size: int, streamed: bool) -> Decoder:
    fmt, data_size = _find_wav_chunks(name, stream)
    tag, channels, rate, _, _, bits = struct.unpack_from("<HHIIHH", fmt)
    if tag == _EXTENSIBLE and len(fmt) >= 26:
        # The real format tag is the first two bytes of the sub-format GUID.
        (tag,) = struct.unpack_from("<H", fmt, 24)
    if tag != _PCM:
        kind = f"{bits}-bit float WAV" if tag == _IEEE_FLOAT else _compressed_kind(tag)
        stream.seek(0)
        return _open_with_soundfile(name, stream, kind)
    if channels < 1 or rate < 1:
        raise InputError(f"{name}: invalid WAV header ({channels} channels, {rate} Hz)")
    width = (bits + 7) // 8
    if width not in (1, 2, 3, 4):
        raise InputError(f"{name}: {bits}-bit PCM WAV is not supported (8, 16, 24 or 32 bits are)")
    remaining, meant = _data_extent(data_size, riff_size, stream.tell(), streamed)
    return _PcmDecoder(name, stream, rate, channels, width, remaining, meant)


def _data_extent(size: int, riff_size: int, start: int, streamed: bool) -> tuple[int | None, bool]:
    """The most bytes of samples to read (None: up to the end), and whether the
    header means that size, so that a file ending sooner is truncated.

    A writer that streams cannot come back to fill in the sizes: it leaves
    "unknown", zero or a large guess there. A data size the RIFF size does
    not account for is not meant either, but still ends the samples.
    """
    if size == _UNKNOWN_SIZE:
        return None, False
    riff_unknown = riff_size in (0, _UNKNOWN_SIZE)
    if size == 0 and (riff_unknown or 8 + riff_size <= start):
        # Nothing says the chunk is empty on purpose: its samples run to the end.
        return None, False
    guessed = size == _GUESSED_SIZE or (streamed and size > _GUESSED_SIZE)
    agrees = not riff_unknown and 8 + riff_size >= start + size
    return size, agrees and not guessed


def _compressed_kind(tag: int) -> str:
    name = _COMPRESSED_NAMES.get(tag)
    return f"{name} WAV (format tag 0x{tag:04x})" if name else f"compressed WAV (format tag 0x{tag:04x})"


def _find_wav_chunks(name: str, stream: io.BufferedIOBase) -> tuple[bytes, int]:
    """The fmt chunk's body and the data chunk's size, the stream left at the first data byte.

    Other chunks are skipped, not read, however large they claim to be; one
    that claims more than the file holds is a broken file.
    """
    here = stream.tell()
    file_size = stream.seek(0, io.SEEK_END)
    stream.seek(here)
    fmt: bytes | None = None
    while True:
        header = _read_fully(stream, 8, name)
        if len(header) < 8:
            if fmt is None:
                raise InputError(f"{name}: not a valid WAV file (no fmt chunk)")
            raise InputError(f"{name}: not a valid WAV file (no data chunk)")
        chunk_id, size = struct.unpack("<4sI", header)
        if chunk_id == b"data":
            if fmt is None:
                raise InputError(f"{name}: not a valid WAV file (no fmt chunk)")
            return fmt, size
        start = stream.tell()
        if size > file_size - start:
            label = chunk_id.decode("latin-1")
            raise InputError(
                f"{name}: not a valid WAV file (its {label!r} chunk claims {size} bytes, "
                f"the file holds {file_size - start} after its header)"
            )
        if chunk_id == b"fmt ":
            fmt = _read_fully(stream, min(size, _FMT_READ), name)
            if len(fmt) < 16:
                raise InputError(f"{name}: not a valid WAV file (fmt chunk too short)")
        # Chunks are padded to an even size.
        stream.seek(start + size + size % 2)


def _open_with_soundfile(name: str, stream: io.BufferedIOBase, kind: str | None) -> Decoder:
    soundfile = soundfile_module()
    if soundfile is None:
        raise InputError(f"{name}: reading {kind} files needs soundfile: {AUDIO_EXTRA_HINT}")
    stream.seek(0)
    try:
        handle = soundfile.SoundFile(stream)
    except Exception as error:  # soundfile raises its own error types and RuntimeError
        if kind is None:
            raise InputError(f"{name}: not a WAV file nor another audio format that soundfile reads") from None
        raise InputError(f"{name}: cannot read {kind} file: {_soundfile_reason(error)}") from None
    return _SoundfileDecoder(name, handle, kind or "audio")


def decoded_blocks(decoder: Decoder, channels: Channels, size: int = READ_SIZE) -> Iterator[Samples]:
    """Consecutive blocks of the file, mixed down (one-dimensional) or per channel (two)."""
    total = 0
    while True:
        frames = decoder.read(size)
        if len(frames) == 0:
            break
        total += len(frames)
        yield _channels(frames, channels)
    if total == 0:
        raise InputError(f"{decoder.source}: contains no samples")


def streamed_blocks(decoder: Decoder, channels: Channels, size: int = READ_SIZE) -> Generator[Samples, None, None]:
    """The blocks of :func:`decoded_blocks`, read ahead by a second thread into buffers that are reused.

    While one block is analysed, the thread reads and decodes the next (the
    decoder and numpy release the GIL meanwhile). A block is valid until the
    next one is asked for: whoever keeps samples longer copies them. Close
    the iterator before the decoder, so that the thread is done with it.
    """
    mix = channels == "mix"
    size = min(size, _most_frames(decoder.channels))
    free: queue.SimpleQueue[Samples | None] = queue.SimpleQueue()
    done: queue.SimpleQueue[tuple[Samples, int] | BaseException] = queue.SimpleQueue()
    # Two buffers: one analysed, one being filled.
    for _ in range(2):
        free.put(np.empty(size if mix else (size, decoder.channels)))

    def read_ahead() -> None:
        try:
            while (buffer := free.get()) is not None:
                count = decoder.read_into(buffer, mix)
                done.put((buffer, count))
                if count == 0:
                    return
        except BaseException as error:  # handed to the reader, in its place in the order
            done.put(error)

    thread = threading.Thread(target=read_ahead, name=f"ostrel: reading {decoder.source}", daemon=True)
    thread.start()
    try:
        total = 0
        while True:
            item = done.get()
            if isinstance(item, BaseException):
                raise item
            buffer, count = item
            if count == 0:
                break
            total += count
            yield buffer[:count]
            free.put(buffer)
        if total == 0:
            raise InputError(f"{decoder.source}: contains no samples")
    finally:
        free.put(None)
        thread.join()


def _channels(frames: Samples, channels: Channels) -> Samples:
    return mix_down(frames) if channels == "mix" and len(frames) else frames


class Blocks:
    """A file's samples as blocks of ``size`` samples, each overlapping the one before by ``overlap``.

    Iterating yields float64 arrays: one-dimensional with ``channels="mix"``,
    (samples, channels) with ``"each"``; the last block may be shorter. The
    file is opened at once, so its facts are known before the first block
    and a bad file fails here; it is closed when the blocks run out or on
    :meth:`close`.
    """

    def __init__(self, path: str | Path, size: int, overlap: int = 0, channels: Channels = "mix") -> None:
        if not 0 <= overlap < size:
            raise ValueError(f"overlap must be at least 0 and less than size, got size {size} and overlap {overlap}")
        if channels not in ("mix", "each"):
            raise ValueError(f"channels must be 'mix' or 'each', got {channels!r}")
        self.size, self.overlap, self.channels_read = size, overlap, channels
        self._decoder = open_decoder(path)
        self._used = False
        self.source = self._decoder.source
        self.sample_rate = self._decoder.sample_rate
        self.channels = self._decoder.channels
        self.encoding = self._decoder.encoding
        self.promised = self._decoder.promised

    @property
    def warnings(self) -> tuple[str, ...]:
        return tuple(self._decoder.warnings)

    def __iter__(self) -> Iterator[Samples]:
        if self._used:
            raise RuntimeError(f"{self.source}: blocks can be read once")
        self._used = True
        try:
            kept: list[Samples] = []  # the end of the block before, which the next repeats
            first = True
            while True:
                parts, have, fresh = list(kept), sum(map(len, kept)), 0
                # Reads are bounded by values, so a block may take several.
                while have < self.size and len(piece := self._read(self.size - have)):
                    parts.append(piece)
                    have, fresh = have + len(piece), fresh + 1
                if not fresh:
                    if first:
                        raise InputError(f"{self.source}: contains no samples")
                    return
                first = False
                block = parts[0] if len(parts) == 1 else np.concatenate(parts)
                yield block
                if have < self.size:
                    return
                kept = [block[self.size - self.overlap :].copy()] if self.overlap else []
        finally:
            self.close()

    def _read(self, count: int) -> Samples:
        return _channels(self._decoder.read(count), self.channels_read)

    def close(self) -> None:
        self._decoder.close()

    def __enter__(self) -> Blocks:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, trace: TracebackType | None) -> None:
        self.close()


def blocks(path: str | Path, size: int = READ_SIZE, overlap: int = 0, *, channels: Channels = "mix") -> Blocks:
    """``path`` as overlapping blocks; see :class:`Blocks`."""
    return Blocks(path, size, overlap, channels)


def read_audio(path: str | Path, channels: Channels = "mix") -> Audio:
    """Read the whole of ``path`` (``"-"``: stdin): mixed down to one float64 channel, or every channel.

    Raises :class:`InputError` with a one-line message for anything that
    cannot be analysed: a missing or unreadable file, an empty one, one that
    is not audio, a format that needs soundfile when it is missing, or a file
    without samples; ``TypeError`` or ``ValueError`` for ``channels`` other
    than ``"mix"`` or ``"each"``.
    """
    channels = checked_channels(channels)
    decoder = open_decoder(path)
    try:
        pieces = list(decoded_blocks(decoder, channels))
    finally:
        decoder.close()
    return Audio(np.concatenate(pieces), decoder.sample_rate, decoder.channels, decoder.encoding, tuple(decoder.warnings))
