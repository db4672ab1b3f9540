"""What a user computes from Python: read audio, analyse a signal or a file.

    >>> from ostrel import analysis
    >>> result = analysis.analyse_file("speech.wav", analysis.Settings(win=1024, hop=256))  # doctest: +SKIP
    >>> result.energy, result.peaks, result.times                                        # doctest: +SKIP

The command line prints exactly these results; every number comes from the
functions of :mod:`ostrel.fenwy`.
"""

from .audio import Audio, Blocks, blocks, read_audio, readable_extensions
from .errors import InputError
from .frames import analyse, analyse_file, frame_count, keep_apart
from .result import ROW_COLUMNS, Analysis, Envelope, Track, decibels
from .segments import SegmentStream, find_segments
from .settings import DEFAULT_HOP, DEFAULT_THRESHOLD, DEFAULT_WIN, Channels, Layout, SegmentSettings, Settings

__all__ = [
    "DEFAULT_HOP", "DEFAULT_THRESHOLD", "DEFAULT_WIN", "ROW_COLUMNS", "Analysis", "Audio", "Blocks", "Channels",
    "Envelope", "InputError", "Layout", "SegmentSettings", "SegmentStream", "Settings", "Track", "analyse",
    "analyse_file", "blocks", "decibels", "find_segments", "frame_count", "keep_apart", "read_audio",
    "readable_extensions",
]
