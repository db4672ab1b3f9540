"""Reading audio files for the command line: exact samples and one-line errors."""

import contextlib
import io
import re
import struct
import sys
import threading
import tracemalloc
import wave
from pathlib import Path

import numpy as np
import pytest

from ostrel import _pcm
from ostrel.analysis import analyse_file, blocks, read_audio
from ostrel.analysis.audio import STDIN, open_decoder, streamed_blocks
from ostrel.cli.errors import InputError

EXTENSIBLE_PCM_GUID = bytes.fromhex("0100000000001000800000aa00389b71")
MONO_16_BIT = struct.pack("<HHIIHH", 1, 1, 8000, 16000, 2, 16)


def pcm_bytes(ints: np.ndarray, width: int) -> bytes:
    """Interleaved little-endian PCM as WAV stores it (8-bit unsigned, wider signed)."""
    flat = np.asarray(ints, dtype=np.int64).reshape(-1)
    if width == 1:
        return (flat + 128).astype(np.uint8).tobytes()
    if width == 3:
        return b"".join(int(v).to_bytes(3, "little", signed=True) for v in flat)
    return flat.astype(f"<i{width}").tobytes()


def write_wav(path: Path, ints: np.ndarray, width: int, rate: int = 8000) -> Path:
    """Write integer samples, shaped (frames,) or (frames, channels), with ``wave``."""
    ints = np.asarray(ints)
    ints = ints[:, None] if ints.ndim == 1 else ints
    with wave.open(str(path), "wb") as writer:
        writer.setnchannels(ints.shape[1])
        writer.setsampwidth(width)
        writer.setframerate(rate)
        writer.writeframes(pcm_bytes(ints, width))
    return path


def write_riff(path: Path, fmt: bytes | None, data: bytes | None, others=()) -> Path:
    """A RIFF/WAVE file from a raw fmt chunk body and data; None leaves a chunk out.

    ``others``, (id, size claimed, body) each, come between fmt and data.
    """
    body = b"WAVE"
    if fmt is not None:
        body += struct.pack("<4sI", b"fmt ", len(fmt)) + fmt
    for chunk_id, size, content in others:
        body += struct.pack("<4sI", chunk_id, size) + content
    if data is not None:
        body += struct.pack("<4sI", b"data", len(data)) + data
    path.write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)
    return path


def with_sizes(path: Path, riff: int | None = None, data: int | None = None) -> Path:
    """The RIFF and data sizes of a 44-byte header, as a streaming writer may leave them; None keeps one."""
    content = bytearray(path.read_bytes())
    for offset, size in ((4, riff), (40, data)):
        if size is not None:
            struct.pack_into("<I", content, offset, size)
    path.write_bytes(content)
    return path


def random_ints(width: int, frames: int, channels: int, seed: int = 0) -> np.ndarray:
    """Random full-range samples, with both extremes of the width included."""
    low, high = -(1 << (8 * width - 1)), (1 << (8 * width - 1)) - 1
    ints = np.random.default_rng(seed).integers(low, high, size=(frames, channels), endpoint=True)
    ints[0, 0], ints[1, -1] = low, high
    return ints


def expected_signal(ints: np.ndarray, width: int) -> np.ndarray:
    """Full scale is 2 ** (bits - 1); channels are averaged."""
    scaled = np.asarray(ints).astype(np.float64) / 2.0 ** (8 * width - 1)
    return scaled.mean(axis=1) if scaled.ndim == 2 and scaled.shape[1] > 1 else scaled.reshape(-1)


def streamed(path, channels):
    """The samples as a streamed run reads them, in blocks of 7, copied out of their reused buffers."""
    decoder = open_decoder(path)
    try:
        with contextlib.closing(streamed_blocks(decoder, channels, 7)) as blocks:
            return np.concatenate([block.copy() for block in blocks])
    finally:
        decoder.close()


@pytest.mark.parametrize(
    ("raw", "width", "channels", "out", "mix", "error", "message"),
    [
        (b"", 5, 1, np.empty(1), True, ValueError, "decode() needs a width of 1 to 4 bytes and 1 to 65535 channels, got 5 and 1"),
        (b"", 2, 65536, np.empty(1), True, ValueError, "decode() needs a width of 1 to 4 bytes and 1 to 65535 channels, got 2 and 65536"),
        (bytearray(8), 2, 1, np.empty(3), True, ValueError, "decode() needs room for 4 values, the buffer holds 3"),
        # Every channel of the 4 frames, not one value a frame; a view, so that a fault writes into memory it owns.
        (bytes(16), 2, 2, np.empty(8)[:4], False, ValueError, "decode() needs room for 8 values, the buffer holds 4"),
        (b"", 2, 1, np.empty(1, np.float32), True, TypeError, "decode() writes into a buffer of native float64 only"),
        (b"", 2, 1, np.empty(4)[::2], True, ValueError, "ndarray is not C-contiguous"),
    ],
)
def test_the_native_decoder_refuses_what_it_cannot_fill_and_keeps_its_arguments(raw, width, channels, out, mix, error, message):
    counts = sys.getrefcount(raw), sys.getrefcount(out)
    with pytest.raises(error) as raised:
        _pcm.decode(raw, width, channels, out, mix)
    assert (str(raised.value), (sys.getrefcount(raw), sys.getrefcount(out))) == (message, counts)


class FailingDecoder:
    """Three frames a block, then the given failure; or no samples at all."""

    source, channels, warnings = "stub.wav", 1, []

    def __init__(self, blocks, failure):
        self.blocks, self.failure = blocks, failure

    def read_into(self, out, mix):
        if not self.blocks:
            if self.failure is None:
                return 0
            raise self.failure
        self.blocks -= 1
        out[:3] = [self.blocks, 0.5, -0.5]
        return 3


@pytest.mark.parametrize(
    ("blocks", "failure", "raised"),
    [
        (2, InputError("stub.wav: cannot read: Input/output error"), "stub.wav: cannot read: Input/output error"),
        (0, MemoryError(), ""),
        (0, None, "stub.wav: contains no samples"),
    ],
)
def test_a_failure_of_the_reading_thread_reaches_the_reader_after_the_blocks_before_it(blocks, failure, raised):
    before = threading.active_count()
    seen = []
    with pytest.raises(type(failure) if failure else InputError) as error:
        for block in streamed_blocks(FailingDecoder(blocks, failure), "mix"):
            seen.append(block.tolist())
    assert (str(error.value), seen) == (raised, [[1.0, 0.5, -0.5], [0.0, 0.5, -0.5]][:blocks])
    assert threading.active_count() == before


@pytest.mark.parametrize(
    ("width", "channels"),
    [(1, 1), (1, 3), (2, 1), (2, 2), (3, 2), (3, 1), (4, 1), (4, 3), (2, 5)],
)
def test_pcm_wav_is_scaled_and_mixed_down_exactly(tmp_path, width, channels):
    ints = random_ints(width, 300, channels)
    audio = read_audio(write_wav(tmp_path / "x.wav", ints, width, rate=11025))

    np.testing.assert_array_equal(audio.samples, expected_signal(ints, width))
    assert audio.samples.dtype == np.float64
    assert (audio.sample_rate, audio.channels, audio.encoding) == (11025, channels, f"{8 * width}-bit PCM WAV")
    assert audio.samples.min() >= -1.0 and audio.samples.max() < 1.0
    # The reused buffers of a streamed run, mixed in the same pass as they are decoded.
    assert streamed(tmp_path / "x.wav", "mix").tobytes() == expected_signal(ints, width).tobytes()
    assert streamed(tmp_path / "x.wav", "each").tobytes() == (ints / 2.0 ** (8 * width - 1)).tobytes()


@pytest.mark.parametrize(
    ("width", "value", "channels", "scaled"),
    [
        (1, -128, 1, -1.0), (1, 127, 1, 127 / 128), (3, -1, 1, -1 / 2**23), (3, 2**23 - 1, 1, 1 - 2**-23),
        # Channel sums beyond 32 bits, mixed as they are decoded.
        (3, 2**23 - 1, 300, 1 - 2**-23), (3, -(2**23), 300, -1.0), (4, 2**31 - 1, 3, 1 - 2**-31),
    ],
)
def test_extremes_and_sign_of_odd_widths(tmp_path, width, value, channels, scaled):
    path = write_wav(tmp_path / "x.wav", np.array([[value] * channels, [0] * channels]), width)
    assert read_audio(path).samples.tolist() == [scaled, 0.0]
    assert streamed(path, "mix").tolist() == [scaled, 0.0]


def test_extensible_header_with_pcm_data_is_read(tmp_path):
    ints = random_ints(3, 200, 2, seed=3)
    fmt = struct.pack("<HHIIHHHHI", 0xFFFE, 2, 48000, 48000 * 6, 6, 24, 22, 24, 0x3) + EXTENSIBLE_PCM_GUID
    audio = read_audio(write_riff(tmp_path / "ext.wav", fmt, pcm_bytes(ints, 3)))
    np.testing.assert_array_equal(audio.samples, expected_signal(ints, 3))
    assert (audio.sample_rate, audio.channels, audio.encoding) == (48000, 2, "24-bit PCM WAV")


def test_closing_the_streamed_blocks_early_stops_the_reading_thread():
    before = threading.active_count()
    reading = streamed_blocks(FailingDecoder(5, None), "mix")
    first = next(reading).tolist()
    # Closed from another thread, so that a reader left waiting fails the test rather than hangs it.
    closing = threading.Thread(target=reading.close, daemon=True)
    closing.start()
    closing.join(10)
    assert (first, closing.is_alive(), threading.active_count()) == ([4.0, 0.5, -0.5], False, before)


def test_truncated_last_frame_is_dropped(tmp_path):
    path = write_wav(tmp_path / "x.wav", np.array([[1000, -1000], [2000, -2000]]), 2)
    with path.open("ab") as stream:
        stream.write(b"\x01\x02\x03")
    assert read_audio(path).samples.tolist() == [0.0, 0.0]


@pytest.mark.parametrize(
    ("name", "subtype", "ints", "scale", "encoding"),
    [
        ("x.flac", "PCM_16", np.array([-32768, 5, 32767, -7], dtype=np.int16), 32768.0, "FLAC PCM_16"),
        ("x.wav", "FLOAT", None, None, "WAV FLOAT"),
        # Compressed WAV (scale 0): soundfile decodes it; its own reading is the reference.
        ("a.wav", "ALAW", np.array([-32768, 5, 32767, -7, 1000], dtype=np.int16), 0, "WAV ALAW"),
        ("u.wav", "ULAW", np.array([-32768, 5, 32767, -7, 1000], dtype=np.int16), 0, "WAV ULAW"),
        ("i.wav", "IMA_ADPCM", np.arange(-20000, 20000, 37, dtype=np.int16), 0, "WAV IMA_ADPCM"),
    ],
)
def test_other_formats_go_through_soundfile(tmp_path, name, subtype, ints, scale, encoding):
    soundfile = pytest.importorskip("soundfile")
    path = tmp_path / name
    if ints is None:
        data = np.array([[0.5, -0.25], [0.125, 1.0], [-1.0, 0.0]], dtype=np.float32)
        expected = data.astype(np.float64).mean(axis=1)
    else:
        data, expected = ints, ints.astype(np.float64) / (scale or 1)
    soundfile.write(str(path), data, 16000, subtype=subtype)
    if scale == 0:
        expected = soundfile.read(str(path), dtype="float64")[0]
    audio = read_audio(path)
    np.testing.assert_array_equal(audio.samples, expected)
    assert (audio.sample_rate, audio.encoding) == (16000, encoding)
    assert streamed(path, "mix").tobytes() == np.asarray(expected, dtype=np.float64).tobytes()
    assert streamed(path, "each").tobytes() == soundfile.read(str(path), dtype="float64", always_2d=True)[0].tobytes()


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda p: p, "{p}: no such file"),
        (lambda p: (p.write_bytes(b""), p)[1], "{p}: file is empty"),
        (lambda p: (p.write_text("just some text, no audio at all"), p)[1],
         "{p}: not a WAV file nor another audio format that soundfile reads"),
        (lambda p: write_wav(p, np.zeros(0, dtype=np.int16), 2), "{p}: contains no samples"),
        (lambda p: write_riff(p, None, b"\0\0"), "{p}: not a valid WAV file (no fmt chunk)"),
        (lambda p: write_riff(p, b"\1\0", b"\0\0"), "{p}: not a valid WAV file (fmt chunk too short)"),
        (
            lambda p: write_riff(p, struct.pack("<HHIIHH", 1, 1, 8000, 16000, 2, 16), None),
            "{p}: not a valid WAV file (no data chunk)",
        ),
        (lambda p: (p.mkdir(), p)[1], "{p}: is a folder, not a file"),
        (
            lambda p: write_riff(p, MONO_16_BIT, None, [(b"LIST", 0xFFFFFFF0, bytes(2000))]),
            "{p}: not a valid WAV file (its 'LIST' chunk claims 4294967280 bytes, the file holds 2000 after its header)",
        ),
    ],
    ids=["missing", "empty", "not-audio", "no-samples", "no-fmt", "short-fmt", "no-data", "folder", "chunk-past-the-end"],
)
def test_bad_files_raise_one_line_input_errors(tmp_path, make, message):
    pytest.importorskip("soundfile")
    path = make(tmp_path / "in.wav")
    with pytest.raises(InputError) as raised:
        read_audio(path)
    assert str(raised.value) == message.format(p=path)


def test_chunks_other_than_fmt_and_data_are_skipped_unread(tmp_path, monkeypatch):
    ints = random_ints(2, 1000, 1, seed=6)
    junk = [(b"JUNK", 1 << 20, bytes(1 << 20)), (b"LIST", 3, b"abc\0")]
    path = write_riff(tmp_path / "x.wav", MONO_16_BIT, pcm_bytes(ints, 2), junk)
    taken = []

    class Counted(io.BufferedReader):
        def read(self, size=-1):
            data = super().read(size)
            taken.append(len(data))
            return data

        def readinto(self, buffer):
            count = super().readinto(buffer)
            taken.append(count)
            return count

    monkeypatch.setattr(Path, "open", lambda self, *args, **kwargs: Counted(io.FileIO(self, "rb")))
    assert read_audio(path).samples.tolist() == expected_signal(ints, 2).tolist()
    # Every byte but the bodies of the skipped chunks (and the odd one's pad byte).
    assert sum(taken) == path.stat().st_size - (1 << 20) - 4


def test_unreadable_file(tmp_path, monkeypatch):
    path = write_wav(tmp_path / "x.wav", np.ones(4), 2)

    def refuse(self, *args, **kwargs):
        raise PermissionError(13, "Permission denied", str(self))

    monkeypatch.setattr(Path, "open", refuse)
    with pytest.raises(InputError, match=r"^.*x\.wav: cannot read: Permission denied$"):
        read_audio(path)


@pytest.mark.parametrize(
    ("name", "content", "message"),
    [
        ("x.flac", b"fLaC\0\0\0\x22" + b"\0" * 40, "{p}: reading FLAC files needs soundfile: pip install 'ostrel[audio]'"),
        ("x.ogg", b"OggS" + b"\0" * 40, "{p}: reading Ogg files needs soundfile: pip install 'ostrel[audio]'"),
        ("x.aiff", b"FORM\0\0\0\x04AIFF", "{p}: reading AIFF files needs soundfile: pip install 'ostrel[audio]'"),
        ("x.txt", b"plain text", "{p}: not a WAV file (other audio formats need soundfile: pip install 'ostrel[audio]')"),
        # WAV headers as (format tag, bits per sample): the message names the encoding.
        ("f.wav", (0x0003, 32), "{p}: reading 32-bit float WAV files needs soundfile: pip install 'ostrel[audio]'"),
        (
            "u.wav", (0x0007, 8),
            "{p}: reading µ-law WAV (format tag 0x0007) files needs soundfile: pip install 'ostrel[audio]'",
        ),
        (
            "x.wav", (0x1234, 8),
            "{p}: reading compressed WAV (format tag 0x1234) files needs soundfile: pip install 'ostrel[audio]'",
        ),
    ],
)
def test_without_soundfile_the_message_names_the_extra(tmp_path, monkeypatch, name, content, message):
    path = tmp_path / name
    if isinstance(content, tuple):
        tag, bits = content
        write_riff(path, struct.pack("<HHIIHH", tag, 1, 8000, 8000 * bits // 8, bits // 8, bits), b"\0" * 12)
    else:
        path.write_bytes(content)
    # None in sys.modules makes ``import soundfile`` raise ImportError.
    monkeypatch.setitem(sys.modules, "soundfile", None)
    with pytest.raises(InputError) as raised:
        read_audio(path)
    assert str(raised.value) == message.format(p=path)


class StillBeingWritten(io.BytesIO):
    """A file whose writer adds ``step`` more bytes each time a read finds its end, so that reads end mid-frame."""

    def __init__(self, content: bytes, step: int) -> None:
        super().__init__(content)
        self.written, self.step = 44 + step, step

    def readinto(self, buffer):
        with memoryview(buffer) as whole, whole[: max(0, self.written - self.tell())] as allowed:
            count = super().readinto(allowed)
        if not count:
            self.written += self.step
        return count

    def seek(self, offset, whence=io.SEEK_SET):
        # Its end is as far as the writer has got.
        if whence == io.SEEK_END:
            offset, whence = self.written + offset, io.SEEK_SET
        return super().seek(offset, whence)


@pytest.mark.parametrize("step", [1000, 7])
def test_a_read_ending_mid_frame_keeps_the_partial_frame_for_the_next(tmp_path, monkeypatch, step):
    ints = random_ints(3, 500, 2, seed=11)
    path = with_sizes(write_wav(tmp_path / "x.wav", ints, 3), data=0xFFFFFFFF)
    content = path.read_bytes()
    monkeypatch.setattr(Path, "open", lambda self, *args, **kwargs: StillBeingWritten(content, step))
    audio = read_audio(path, channels="each")
    assert (audio.samples.tobytes(), audio.warnings) == ((ints / 2.0**23).tobytes(), ())
    assert streamed(path, "mix").tobytes() == expected_signal(ints, 3).tobytes()


def outcomes_and_peak(readers):
    """What each reader gives (an InputError's message for a failure), and the most memory any of them took."""
    outcomes = []
    tracemalloc.start()
    try:
        for reader in readers:
            try:
                outcomes.append(reader())
            except InputError as error:
                outcomes.append(str(error))
        return outcomes, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("held", [65535 * 2 + 500, 131000])
def test_a_header_claiming_65535_channels_is_read_in_bounded_memory(tmp_path, held):
    fmt = struct.pack("<HHIIHH", 1, 65535, 8000, 8000 * 131070, 131070 & 0xFFFF, 16)
    data = (np.arange(held // 2, dtype=np.int64) % 2001 - 1000).astype("<i2").tobytes() + bytes(held % 2)
    path = with_sizes(write_riff(tmp_path / "x.wav", fmt, data), data=0xFFFFFFFF)
    frame = np.frombuffer(data[: 65535 * 2], dtype="<i2") / 32768.0
    outcomes, peak = outcomes_and_peak([
        lambda: read_audio(path).samples.tolist(), lambda: read_audio(path, "each").samples.tobytes(),
        lambda: [block.tolist() for block in blocks(path)], lambda: analyse_file(path).num_samples,
    ])
    if held < 131070:
        assert outcomes == [f"{path}: contains no samples"] * 4
    else:
        mixed = [np.add.reduce(frame) / 65535]
        assert outcomes == [mixed, frame.tobytes(), [mixed], 1]
    assert peak < 32 << 20


def test_many_channels_through_soundfile_are_read_in_bounded_memory(tmp_path):
    soundfile = pytest.importorskip("soundfile")
    # Eighths: their sums are exact in any order, so the mix is the mean however it is taken.
    data = (np.random.default_rng(14).integers(-8, 8, size=(4000, 1024)) / 8).astype(np.float32)
    soundfile.write(str(tmp_path / "x.wav"), data, 8000, subtype="FLOAT")
    mixed = data.astype(np.float64).mean(axis=1).tobytes()
    outcomes, peak = outcomes_and_peak([
        lambda: read_audio(tmp_path / "x.wav").samples.tobytes(),
        lambda: np.concatenate(list(blocks(tmp_path / "x.wav"))).tobytes(),
    ])
    # A read of every channel of the whole file at once takes 32 MB.
    assert (outcomes, peak < 24 << 20) == ([mixed, mixed], True)


LIST_CHUNK = b"LIST\x04\x00\x00\x00abcd"


# A header's sizes (None: the true ones) over 100,000 16-bit samples, of
# which the file holds ``held`` and then ``after``; whether it comes through
# a pipe; the samples read, and those the header is taken to promise: a
# promise not kept is a truncated file, a streaming writer's guess is not.
@pytest.mark.parametrize(
    ("riff", "data", "held", "after", "piped", "read", "promised"),
    [
        (None, None, 100000, b"", False, 100000, 100000),
        (None, None, 70000, b"", False, 70000, 100000),
        (None, None, 70000, b"", True, 70000, 100000),
        (None, 0xFFFFFFFF, 70000, b"", False, 70000, None),
        (0xFFFFFFFF, 0xFFFFFFFF, 70000, b"", True, 70000, None),
        (0x7FFFF024, 0x7FFFF000, 70000, b"", True, 70000, None),
        (0x7FFFF024, 0x7FFFF000, 70000, b"", False, 70000, None),
        (0x80000024, 0x80000000, 70000, b"", True, 70000, None),
        (0x80000024, 0x80000000, 70000, b"", False, 70000, 0x40000000),
        (36, 0, 70000, b"", True, 70000, None),
        (0, 0, 70000, b"", False, 70000, None),
        (0, None, 70000, b"", False, 70000, None),
        (0xFFFFFFFF, None, 70000, b"", False, 70000, None),
        (36 + 2 * 70000, None, 70000, b"", False, 70000, None),
        (36 + 2 * 100000 + len(LIST_CHUNK), None, 100000, LIST_CHUNK, False, 100000, 100000),
        (36 + 2 * 100000 + len(LIST_CHUNK), None, 100000, LIST_CHUNK, True, 100000, 100000),
        (36 + 2 * 100000 + len(LIST_CHUNK), 0, 100000, LIST_CHUNK, False, 0, 0),
    ],
    ids=[
        "whole", "truncated", "truncated-pipe", "unknown", "unknown-pipe", "guess-pipe", "guess-saved",
        "large-pipe", "large-file", "zero-pipe", "zero-unknown-riff", "riff-zero", "riff-unknown", "riff-short",
        "chunk-after", "chunk-after-pipe", "empty-then-chunk",
    ],
)
def test_only_a_size_the_header_means_makes_a_file_truncated(
    tmp_path, monkeypatch, riff, data, held, after, piped, read, promised
):
    ints = random_ints(2, 100000, 1, seed=12)
    path = with_sizes(write_wav(tmp_path / "x.wav", ints, 2), riff, data)
    path.write_bytes(path.read_bytes()[: 44 + 2 * held] + after)
    source = STDIN if piped else str(path)

    def fresh():
        if piped:
            monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(path.read_bytes())))
        return source

    cut = promised is not None and held < promised
    warnings = (
        (f"{source}: file is truncated: the header promises {promised} samples, it holds {held}; analysed as far as it goes",)
        if cut else ()
    )
    with blocks(fresh()) as opened:
        assert opened.promised == promised
    if read == 0:
        with pytest.raises(InputError, match=f"^{re.escape(source)}: contains no samples$"):
            read_audio(fresh())
        return
    audio = read_audio(fresh())
    assert (audio.samples.tobytes(), audio.warnings) == (expected_signal(ints[:read], 2).tobytes(), warnings)
    result = analyse_file(fresh())
    assert (result.num_samples, result.warnings) == (read, warnings)
