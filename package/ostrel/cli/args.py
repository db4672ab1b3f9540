"""Command-line options."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable
from typing import NoReturn, TypeVar

from ..analysis.settings import (
    CHANNEL_CHOICES, DEFAULT_HOP, DEFAULT_THRESHOLD, DEFAULT_WIN, SegmentSettings, check_channels, check_duration,
    check_prominence, check_segment_field, check_size, check_threshold,
)
from .batch import NO_WORKER_SECONDS
from .plot import DEFAULT_DB_RANGE
from .errors import InputError
from .version import VersionAction

T = TypeVar("T")

DESCRIPTION = """\
Frame-wise analysis of audio: short-time energy, zero-crossing rate and energy
peaks. With no PATH, analyses a built-in demo signal. A PATH is an audio file
(PCM WAV of 8, 16, 24 or 32 bits, mono or multichannel; with the 'audio'
extra also FLAC, Ogg, AIFF, MP3, float and compressed WAV and the other
formats soundfile reads), '-' for a file on stdin ('./-' for a file named -),
or a folder, of which every audio file below it is analysed (only .wav
without the 'audio' extra). A file named twice, or also found in a folder
given, is analysed once; if that leaves one file, the output is that of one
file (--json: a single object, not a list)."""

EPILOG = """\
Window and hop are given either in samples (--win, --hop) or in milliseconds
(--win-ms, --hop-ms, converted per file at its sample rate). With centring,
win // 2 zeros are put in front of the signal, so that frame m is centred on
sample m * hop. Energy is each frame's sum of squares divided by the window
length; the zero-crossing rate is its count of sign changes divided by the
window length; both divide by the window length for short last frames too.
A sign change is a pair of neighbouring samples of which exactly one is
below zero: a zero counts as positive, as audio tools count it. With
--zero-breaks a sign change is a pair whose product is negative, the rule of
ostrel.fenwy: an exact zero breaks a crossing (a tone whose period is a whole
number of samples may then show few).

Energy peaks are picked in three steps, in this order: the frames with
strictly more energy than both neighbours and, with a threshold t > 0, more
than t times the highest such frame; with --min-prominence-db DB, of those
the ones whose prominence on the dB curve is at least DB (how far the peak
rises above the higher of the lowest points between it and higher ground on
each side; silence is -inf dB, so a sound between silences always passes);
with --min-gap-ms, of peaks closer than that only the stronger. Energy in
dB is 10*log10(energy) relative to full scale; the zero crossings per second
are the rate times the sample rate (a pure tone of f Hz gives 2f).

Each file is analysed by two threads: one reads and decodes the next block
while the other analyses the current one. --jobs N runs N processes of two
threads each, one file per process at a time.

Every failure prints one line on stderr: status 2 for bad input, 1 for a
failure of the machine or the cluster (out of memory, a full disk, a lost
scheduler), 130 when interrupted. A run that ends early still leaves whole
JSON and CSV documents, each file not analysed listed with an error. Every
file written (CSV, plot, sound, pieces, labels) appears whole or not at all,
never over an input; a file whose own outputs cannot be written is that
file's error, and the run ends with status 1. When
the reader of stdout closes it (as head does), the run ends quietly; a --csv
file still lists the files not analysed."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not the usage block: scripts and people both read it faster.
        raise InputError(f"{message} (see --help)")


def _program_name() -> str:
    if os.path.basename(sys.argv[0]) == "__main__.py":
        return "python -m ostrel"
    return "ostrel"


def _checked(check: Callable[..., T], *arguments: object) -> T:
    try:
        return check(*arguments)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    return _checked(check_size, value)


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


def positive_float(text: str) -> float:
    return _checked(check_duration, _number(text), text)


def threshold(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    return _checked(check_threshold, value, text)


def decibels(text: str) -> float:
    return _checked(check_prominence, _number(text), text)


def channels(text: str) -> str:
    return _checked(check_channels, text)


def _segment_field(name: str) -> Callable[[str], float]:
    def parse(text: str) -> float:
        return _checked(check_segment_field, name, _number(text), text)

    return parse


# Each field of SegmentSettings as an option: its name, what it holds and its unit.
SEGMENT_OPTIONS = (
    ("win_ms", "--segment-win-ms", "MS", "window of the segment frames in milliseconds"),
    ("hop_ms", "--segment-hop-ms", "MS", "hop of the segment frames in milliseconds"),
    ("floor_window_s", "--floor-window-s", "S", "seconds around each frame whose quietest frames give the noise floor; "
     "longer for sound without pauses (at most 600)"),
    ("start_db", "--start-db", "DB", "sound starts this far above the floor"),
    ("keep_db", "--keep-db", "DB", "sound lasts while frames stay this far above the floor (at most --start-db)"),
    ("unvoiced_zcr", "--unvoiced-zcr", "R", "frames next to sound crossing zero R times as often as the floor are sound (hiss)"),
    ("min_sound_ms", "--min-sound-ms", "MS", "sounds shorter than this are dropped"),
    ("min_silence_ms", "--min-silence-ms", "MS", "gaps shorter than this are bridged; longer keeps words apart"),
    ("pad_ms", "--pad-ms", "MS", "each segment widened by this on either side; 0 with --min-silence-ms 10 gives "
     "each sound's own extent"),
    ("max_segment_s", "--max-segment-s", "S", "a segment longer than S is cut at its quietest frames into pieces none "
     "longer (speech recognisers take about 30 s)"),
)


def option_of(name: str) -> str:
    """The command-line option of a SegmentSettings field."""
    return next(option for field, option, *_ in SEGMENT_OPTIONS if field == name)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=_program_name(),
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "paths",
        nargs="*",
        metavar="PATH",
        help="audio files or folders to analyse, '-' for stdin (default: the built-in demo signal)",
    )
    # Window and hop: each in samples or, instead, in milliseconds.
    for option, meaning, default in (("win", "window length", DEFAULT_WIN), ("hop", "hop size", DEFAULT_HOP)):
        group = parser.add_mutually_exclusive_group()
        group.add_argument(
            f"--{option}", type=positive_int, metavar="N",
            help=f"{meaning} in samples (default: {default})",
        )
        group.add_argument(
            f"--{option}-ms", type=positive_float, metavar="MS",
            help=f"{meaning} in milliseconds, instead of --{option} (default: unset)",
        )
    parser.add_argument(
        "--no-center", dest="centered", action="store_false",
        help="do not pad win // 2 zeros in front; frames start at sample 0 (default: centred)",
    )
    parser.add_argument(
        "--threshold", type=threshold, default=DEFAULT_THRESHOLD, metavar="T",
        help="keep energy peaks above T times the strongest one, 0 <= T <= 1; "
        "0 keeps every local maximum (default: %(default)s)",
    )
    parser.add_argument(
        "--top", type=positive_int, default=5, metavar="N",
        help="how many of the strongest peaks the summary lists (default: %(default)s)",
    )
    parser.add_argument(
        "--csv", metavar="FILE",
        help="write one row per frame (time_s, energy, energy_db, zcr, zcr_hz, peak) to FILE, "
        "'-' for stdout; with several files a leading 'file' and a trailing 'error' column, "
        "with --channels each a 'channel' column (default: no CSV)",
    )
    parser.add_argument(
        "--json", action="store_true",
        help="print the full results as strict JSON instead of the summary: one object, or a "
        "list of them for several files or channels; NaN and infinities are null (default: off)",
    )
    parser.add_argument(
        "--channels", type=channels, default="mix", metavar="|".join(CHANNEL_CHOICES),
        help="'mix' analyses the mean of the channels, 'each' every channel on its own "
        "(default: %(default)s)",
    )
    parser.add_argument(
        "--min-gap-ms", type=positive_float, metavar="MS",
        help="of energy peaks closer than MS, keep only the stronger (ties: the earlier) "
        "(default: unset)",
    )
    parser.add_argument(
        "--min-prominence-db", type=decibels, metavar="DB",
        help="keep only energy peaks that rise at least DB above their surroundings on the dB curve; "
        "applied after --threshold and before --min-gap-ms (default: unset)",
    )
    zero_rule = parser.add_mutually_exclusive_group()
    zero_rule.add_argument(
        "--zero-positive", action="store_true", default=True,
        help="count a sample of exactly zero as positive in the zero crossings, so that a zero does "
        "not break a crossing, as audio tools count; kept for scripts that give it (default: on)",
    )
    zero_rule.add_argument(
        "--zero-breaks", action="store_false", dest="zero_positive",
        help="count a sign change only where two neighbouring samples' product is negative, so that "
        "an exact zero breaks a crossing: the rule of ostrel.fenwy (default: a zero is positive)",
    )
    parser.add_argument(
        "--plot", metavar="PATH",
        help="draw waveform, energy with its peaks and zero-crossing rate to PATH, a PNG file, "
        "or, when PATH is a folder, ends in / or has no extension, one PNG per input inside that folder, "
        "named after the input's file name (a.wav.png); "
        "needs the 'plot' extra (default: no plot)",
    )
    parser.add_argument(
        "--plot-db", action="store_true",
        help="draw the energy in dB in the plot (default: linear)",
    )
    parser.add_argument(
        "--plot-db-range", type=positive_float, default=DEFAULT_DB_RANGE, metavar="DB",
        help="with --plot-db, how far below the strongest frame the axis reaches; quieter frames "
        "are drawn at its floor (default: %(default)g)",
    )
    # Sound segments: their own block of options.
    parser.add_argument(
        "--segments", action="store_true",
        help="find the segments of sound (silence left out) of each file or channel: their count, "
        "total and first few in the summary, \"segments\": [[start_s, end_s], ...] in the JSON "
        "(default: off)",
    )
    parser.add_argument(
        "--segments-csv", metavar="FILE",
        help="write one row per segment (source, channel, start_s, end_s; channel empty for the "
        "mix-down; with several files an 'error' column) to FILE, '-' for stdout; implies --segments "
        "(default: no segments CSV)",
    )
    parser.add_argument(
        "--sound-wav", metavar="PATH",
        help="write the sound alone, its segments one after another with every channel, to PATH in the "
        "input's sample format (16-bit stays 16-bit, float stays float), a WAV file or, with soundfile, "
        "the format its name says (.flac, .ogg); with several files or when PATH is a folder, ends in / or has no "
        "extension, <name>.sound.<ext> inside that folder; no sound, no file; implies --segments (default: none)",
    )
    parser.add_argument(
        "--split", metavar="DIR",
        help="write each segment to a file of its own in DIR, <name>.<n>.<start_ms>-<end_ms>.<ext> in the "
        "input's format, and DIR/manifest.csv (source,n,start_s,end_s,path; with several files an "
        "'error' column); implies --segments (default: none)",
    )
    parser.add_argument(
        "--labels", metavar="PATH",
        help="write the segments as a label track (start<TAB>end<TAB>n a line, as audio editors import) to "
        "PATH, or, with several files or when PATH is a folder, ends in / or has no extension, <name>.labels.txt "
        "inside that folder; implies --segments (default: none)",
    )
    defaults = SegmentSettings()
    for name, option, metavar, meaning in SEGMENT_OPTIONS:
        default = getattr(defaults, name)
        parser.add_argument(
            option, dest=f"segment_{name}", type=_segment_field(name), metavar=metavar,
            help=f"{meaning}; implies --segments (default: {'unset' if default is None else format(default, 'g')})",
        )
    # Who analyses several files: N local worker processes or a Dask cluster.
    workers = parser.add_mutually_exclusive_group()
    workers.add_argument(
        "--jobs", "-j", type=positive_int, default=1, metavar="N",
        help="analyse several files in N worker processes, each of two threads (default: %(default)s)",
    )
    workers.add_argument(
        "--dask", metavar="ADDRESS",
        help="analyse several files on the Dask scheduler at ADDRESS (tcp://host:8786); "
        "its workers read the files, so the paths must be visible to them; needs the "
        "'dask' extra (default: no cluster)",
    )
    parser.add_argument(
        "--no-worker-timeout", type=positive_float, default=NO_WORKER_SECONDS, metavar="S",
        help="with --dask, give up once the cluster has had no worker for S seconds "
        "(default: %(default)g)",
    )
    parser.add_argument(
        "--version", action=VersionAction,
        help="show the versions of ostrel, Python and numpy and the CPU features the kernels use, and exit",
    )
    return parser
