"""What the analysis of a file is asked to compute."""

from __future__ import annotations

import math
import numbers
import operator
import sys
from collections.abc import Mapping
from dataclasses import dataclass, fields
from typing import Any, Literal, get_args

from .errors import InputError

DEFAULT_WIN = 2048
DEFAULT_HOP = 512
DEFAULT_THRESHOLD = 0.1
# numpy indexes arrays with intp: no window or hop beyond it can be framed.
LARGEST_SIZE = sys.maxsize

Channels = Literal["mix", "each"]
CHANNEL_CHOICES: tuple[str, ...] = get_args(Channels)
# How a two-dimensional signal lies: (samples, channels), as soundfile reads
# it, or (channels, samples), as librosa's load(mono=False) gives it.
Layout = Literal["channels_last", "channels_first"]
LAYOUT_CHOICES: tuple[str, ...] = get_args(Layout)


# The checks of each option, shared by Settings and the command line, which
# puts "argument --win: " before the same message. ``shown`` is the value as
# the user gave it: the command line's text says more (1e999, not inf).


def check_size(value: int) -> int:
    """A window or hop in samples: a whole number from 1 to what numpy can index."""
    if value <= 0:
        raise ValueError(f"must be positive, got {value}")
    if value > LARGEST_SIZE:
        raise ValueError(f"must be at most {LARGEST_SIZE}, got {value}")
    return value


def check_duration(value: float, shown: object) -> float:
    """A length in milliseconds: a positive finite number."""
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"must be a positive number, got {shown}")
    return value


def check_padding(value: float, shown: object) -> float:
    """A length in milliseconds that may be nothing: a finite number of at least 0."""
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"must be a number of at least 0, got {shown}")
    return value


def check_threshold(value: float, shown: object) -> float:
    """A fraction of the strongest peak, 0 to 1."""
    if not math.isfinite(value):
        raise ValueError(f"not a number: {shown}")
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"must be between 0 and 1, got {shown}")
    return value


def check_decibels(value: float, shown: object) -> float:
    """A level difference in dB: a positive finite number."""
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"must be a positive number of dB, got {shown}")
    return value


def check_at_most(value: float, shown: object, most: float, unit: str) -> float:
    """A duration that must also stay sane: beyond ``most`` it costs time or memory and means nothing."""
    if value > most:
        raise ValueError(f"must be at most {most:g} {unit}, got {shown}")
    return value


def check_ratio(value: float, shown: object) -> float:
    """A factor of at least 1."""
    if not math.isfinite(value) or value < 1:
        raise ValueError(f"must be a number of at least 1, got {shown}")
    return value


def check_channels(value: str) -> str:
    return _check_choice(value, CHANNEL_CHOICES)


def check_prominence(value: float, shown: object) -> float:
    """A rise in dB: a number of 0 or more (0 keeps every peak)."""
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"must be a number of 0 or more, got {shown}")
    return value


def _check_choice(value: str, choices: tuple[str, ...]) -> str:
    if value not in choices:
        raise ValueError(f"invalid choice: {value!r} (choose from {', '.join(map(repr, choices))})")
    return value


def checked_sample_rate(value: Any) -> int:
    """A sample rate in Hz: a positive whole number; the message names ``sample_rate``."""
    try:
        return check_size(_whole(value))
    except (TypeError, ValueError) as error:
        raise type(error)(f"sample_rate: {error}") from None


def checked_channels(value: Any) -> Channels:
    """``"mix"`` or ``"each"``; the message names ``channels``."""
    try:
        return _choice(value)  # type: ignore[return-value]
    except (TypeError, ValueError) as error:
        raise type(error)(f"channels: {error}") from None


def checked_layout(value: Any) -> Layout | None:
    """``"channels_last"``, ``"channels_first"`` or None (channels last, refusing more channels than samples)."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"layout: expected one of {', '.join(map(repr, LAYOUT_CHOICES))}, got {value!r}")
    try:
        return _check_choice(value, LAYOUT_CHOICES)  # type: ignore[return-value]
    except ValueError as error:
        raise ValueError(f"layout: {error}") from None


def _whole(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"expected a whole number, got {value!r}")
    return operator.index(value)


def _real(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"expected a number, got {value!r}")
    return float(value)


def _flag(value: Any) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"expected True or False, got {value!r}")
    return value


def _choice(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"expected one of {', '.join(map(repr, CHANNEL_CHOICES))}, got {value!r}")
    return check_channels(value)


# Each field's check: its value as Settings keeps it, or TypeError / ValueError.
_CHECKS = {
    "win": lambda value: None if value is None else check_size(_whole(value)),
    "hop": lambda value: None if value is None else check_size(_whole(value)),
    "win_ms": lambda value: None if value is None else check_duration(_real(value), value),
    "hop_ms": lambda value: None if value is None else check_duration(_real(value), value),
    "centered": _flag,
    "threshold": lambda value: check_threshold(_real(value), value),
    "min_gap_ms": lambda value: None if value is None else check_duration(_real(value), value),
    "channels": _choice,
    "envelope": _flag,
    "zero_positive": _flag,
    "min_prominence_db": lambda value: None if value is None else check_prominence(_real(value), value),
    "segments": lambda value: _segment_settings(value),
}

# A length given in samples and in milliseconds at once: the command line's
# words for the same refusal.
_EXCLUSIVE = (("win", "win_ms"), ("hop", "hop_ms"))


@dataclass(frozen=True)
class Settings:
    """Framing, peak and channel options.

    The window and hop are given in samples (``win``, ``hop``; 2048 and 512
    when neither they nor the milliseconds are set) or in milliseconds
    (``win_ms``, ``hop_ms``), not both; milliseconds become samples per file,
    since files differ in rate. Energy peaks are the frames of more energy
    than both neighbours and above ``threshold`` times the strongest; of
    those, ``min_prominence_db`` keeps the ones that rise at least that many
    dB above the higher of the lowest points between them and higher ground
    on either side (silence is -inf dB); then ``min_gap_ms`` keeps, of peaks
    closer than that, only the stronger. ``channels`` is ``"mix"`` (the mean
    of the channels) or ``"each"`` (every channel on its own).
    ``zero_positive`` (the default, as audio tools count) takes a sample of
    exactly zero as positive in the zero crossings, so that a zero does not
    break a crossing; ``False`` gives the rule of ``ostrel.fenwy``, where a
    crossing is a pair whose product is negative and a zero breaks it.
    ``envelope`` keeps the signal's min/max envelope for a plot.
    ``segments``, when set (SegmentSettings or a mapping of its fields), also
    finds each track's sound segments.

    Every value is checked here, with the command line's messages: a bad one
    raises ``TypeError`` (not a number, not a bool) or ``ValueError`` (out of
    range), such as ``ValueError("threshold: must be between 0 and 1, got 1.5")``.
    """

    win: int | None = None
    hop: int | None = None
    win_ms: float | None = None
    hop_ms: float | None = None
    centered: bool = True
    threshold: float = DEFAULT_THRESHOLD
    min_gap_ms: float | None = None
    channels: Channels = "mix"
    envelope: bool = False
    zero_positive: bool = True
    min_prominence_db: float | None = None
    segments: SegmentSettings | None = None

    def __post_init__(self) -> None:
        for field in fields(self):
            try:
                checked = _CHECKS[field.name](getattr(self, field.name))
            except (TypeError, ValueError) as error:
                raise type(error)(f"{field.name}: {error}") from None
            # Frozen: numpy integers and floats are kept as Python's own.
            object.__setattr__(self, field.name, checked)
        for samples, milliseconds in _EXCLUSIVE:
            if getattr(self, samples) is not None and getattr(self, milliseconds) is not None:
                raise ValueError(f"{milliseconds}: not allowed with {samples}; give one of them")

    @classmethod
    def of(cls, settings: Settings | Mapping[str, Any]) -> Settings:
        """``settings`` itself, or Settings made of a mapping of its field names."""
        if isinstance(settings, Settings):
            return settings
        if isinstance(settings, SegmentSettings):
            raise TypeError("settings: expected Settings, got SegmentSettings; give Settings(segments=...)")
        return cls(**_known_names(cls, settings))

    def frame_sizes(self, sample_rate: int) -> tuple[int, int]:
        """Window and hop in samples at ``sample_rate``; one-line errors for sizes out of range."""
        win = _ms_to_samples(self.win_ms, sample_rate, "window") if self.win_ms is not None else self.win or DEFAULT_WIN
        hop = _ms_to_samples(self.hop_ms, sample_rate, "hop") if self.hop_ms is not None else self.hop or DEFAULT_HOP
        for size, what in ((win, "window"), (hop, "hop")):
            if not 1 <= size <= LARGEST_SIZE:
                raise InputError(f"a {what} of {size} samples is out of range (1 to {LARGEST_SIZE})")
        return win, hop


# The longest each segment duration may be: a floor window beyond ten
# minutes costs time in proportion and follows no drift; a frame beyond a
# second is no longer short-time; a sound or a silence beyond an hour, or a
# piece beyond a day, describes no recording.
SEGMENT_LIMITS = {
    "win_ms": (1000.0, "ms"), "hop_ms": (1000.0, "ms"), "floor_window_s": (600.0, "s"),
    "min_sound_ms": (3_600_000.0, "ms"), "min_silence_ms": (3_600_000.0, "ms"), "pad_ms": (3_600_000.0, "ms"),
    "max_segment_s": (86_400.0, "s"),
}


def _segment_duration(name: str) -> Any:
    most, unit = SEGMENT_LIMITS[name]
    return lambda value: check_at_most(check_duration(_real(value), value), value, most, unit)


# Sound segments: each field's check, as for Settings.
_SEGMENT_CHECKS = {
    "win_ms": _segment_duration("win_ms"),
    "hop_ms": _segment_duration("hop_ms"),
    "floor_window_s": _segment_duration("floor_window_s"),
    "start_db": lambda value: check_decibels(_real(value), value),
    "keep_db": lambda value: check_decibels(_real(value), value),
    "unvoiced_zcr": lambda value: check_ratio(_real(value), value),
    "min_sound_ms": _segment_duration("min_sound_ms"),
    "min_silence_ms": _segment_duration("min_silence_ms"),
    "pad_ms": lambda value: check_at_most(check_padding(_real(value), value), value, *SEGMENT_LIMITS["pad_ms"]),
    "max_segment_s": lambda value: None if value is None else _segment_duration("max_segment_s")(value),
}


def check_segment_field(name: str, value: float, shown: object) -> float:
    """One field of SegmentSettings, checked as SegmentSettings checks it, with ``shown`` in the message."""
    check = _SEGMENT_CHECKS[name]
    try:
        check(value)
    except ValueError as error:
        raise ValueError(str(error).replace(f"got {value}", f"got {shown}")) from None
    return value


@dataclass(frozen=True)
class SegmentSettings:
    """How sound is told from silence; the defaults suit speech and most recordings.

    Frames of ``win_ms`` every ``hop_ms``. The noise floor is the level of the
    quietest frames within ``floor_window_s`` seconds around each frame, so it
    follows a floor that drifts; steady periodic sound (a tone, a held
    vowel) is never taken for the floor, hum below 150 Hz is. Sound starts where a frame is ``start_db``
    above the floor and lasts while frames stay ``keep_db`` above it; frames
    next to sound whose zero-crossing rate is ``unvoiced_zcr`` times the
    floor's (hiss, fricatives) and whose energy is above the floor count as
    sound too (over digital silence, which crosses nothing, a faint noise of
    the block's own, a dither, gives the rate). Gaps shorter than
    ``min_silence_ms`` are bridged, then sounds shorter than ``min_sound_ms``
    dropped, and each segment is widened by ``pad_ms`` on either side
    (segments the padding makes meet are joined).
    The defaults keep utterances whole: a pause under 300 ms (between words,
    at a comma, a stop's closure) does not split a segment. For the
    frame-exact extent of each sound, take ``min_silence_ms=10, pad_ms=0``.
    With ``max_segment_s``, a segment longer than that is cut at its
    quietest frames into pieces none longer (a speech recogniser takes
    about 30 s at most).

    Every duration has an upper bound too (``floor_window_s`` at most 600 s,
    the frames at most 1000 ms). Every value is checked with the command line's messages, such as
    ``ValueError("start_db: must be a positive number of dB, got -3")``.
    """

    win_ms: float = 25.0
    hop_ms: float = 10.0
    floor_window_s: float = 5.0
    start_db: float = 4.0
    keep_db: float = 2.5
    unvoiced_zcr: float = 1.5
    min_sound_ms: float = 50.0
    min_silence_ms: float = 300.0
    pad_ms: float = 30.0
    max_segment_s: float | None = None

    def __post_init__(self) -> None:
        for field in fields(self):
            try:
                checked = _SEGMENT_CHECKS[field.name](getattr(self, field.name))
            except (TypeError, ValueError) as error:
                raise type(error)(f"{field.name}: {error}") from None
            object.__setattr__(self, field.name, checked)
        if self.keep_db > self.start_db:
            raise ValueError(f"keep_db: must be at most start_db ({self.start_db:g}), got {self.keep_db:g}")

    @classmethod
    def of(cls, settings: SegmentSettings | Mapping[str, Any] | None) -> SegmentSettings:
        """``settings`` itself, the defaults for None, or SegmentSettings made of a mapping of its field names."""
        if settings is None:
            return cls()
        if isinstance(settings, SegmentSettings):
            return settings
        if isinstance(settings, Settings):
            raise TypeError(
                "settings: expected SegmentSettings, got Settings (the analysis's); "
                "give Settings(...).segments or SegmentSettings(...)"
            )
        return cls(**_known_names(cls, settings))


def _known_names(kind: type, settings: object) -> Mapping[str, Any]:
    """A mapping of ``kind``'s field names, refused with one line otherwise."""
    if not isinstance(settings, Mapping):
        raise TypeError(f"settings: expected {kind.__name__} or a mapping of them, got {type(settings).__name__}")
    names = [field.name for field in fields(kind)]
    unknown = [key for key in settings if key not in names]
    if unknown:
        raise TypeError(f"settings: unknown name {unknown[0]!r} (known: {', '.join(names)})")
    return settings


def _segment_settings(value: Any) -> SegmentSettings | None:
    # A mapping of its fields, as Settings itself may be given (settings read from JSON).
    if isinstance(value, Mapping) and not isinstance(value, Settings):
        return SegmentSettings(**_known_names(SegmentSettings, value))
    if value is not None and not isinstance(value, SegmentSettings):
        raise TypeError(f"expected SegmentSettings, a mapping of its fields, or None, got {value!r}")
    return value


def _ms_to_samples(ms: float, sample_rate: int, what: str) -> int:
    exact = ms * sample_rate / 1000.0
    if not math.isfinite(exact) or exact > LARGEST_SIZE:
        raise InputError(f"a {what} of {ms:g} ms is too long at {sample_rate} Hz (at most {LARGEST_SIZE} samples)")
    samples = round(exact)
    if samples < 1:
        raise InputError(f"a {what} of {ms:g} ms is shorter than one sample at {sample_rate} Hz")
    return samples
