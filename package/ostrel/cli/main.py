"""``python -m ostrel``: analyse the demo signal, one file, or many."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

import numpy as np

from .analysis import Analysis, Settings, analyse
from .args import build_parser
from .batch import analyse_files, expand_inputs, terminal_progress
from .errors import InputError, MachineError
from .output import dump_json, format_line, format_summary, write_csv


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        return _run(sys.argv[1:] if argv is None else list(argv))
    except InputError as error:
        print(f"ostrel: error: {error}", file=sys.stderr)
        return InputError.exit_status
    except KeyboardInterrupt:
        print("ostrel: interrupted", file=sys.stderr)
        return 130
    except MachineError as error:
        print(f"ostrel: error: {error}", file=sys.stderr)
        return MachineError.exit_status
    except BrokenPipeError:
        # The reader went away (e.g. ``| head``); nothing left to say.
        sys.stderr.close()
        return 1


def _run(argv: list[str]) -> int:
    options = build_parser().parse_args(argv)
    settings = Settings(
        win=options.win,
        hop=options.hop,
        win_ms=options.win_ms,
        hop_ms=options.hop_ms,
        centered=options.centered,
        threshold=options.threshold,
    )
    if options.plot:
        from .plot import require_matplotlib

        require_matplotlib()

    if not options.paths:
        from .demo import demo_signal

        signal, rate = demo_signal()
        analysis = analyse(signal, rate, settings, "demo signal (built in)", encoding="synthesised float64")
        _report([analysis], options, single=True)
        if options.plot:
            _plot(analysis, signal, options.plot)
        return 0

    paths = expand_inputs(options.paths)
    if options.plot and len(paths) > 1:
        raise InputError(f"--plot draws one signal, but {len(paths)} files were given")
    if len(paths) == 1:
        # One file: its errors are the run's errors, and the plot needs its samples.
        from .audio import read_audio

        audio = read_audio(paths[0])
        analysis = analyse(
            audio.samples, audio.sample_rate, settings, str(paths[0]), audio.channels, audio.encoding
        )
        _report([analysis], options, single=True)
        if options.plot:
            _plot(analysis, audio.samples, options.plot)
        return 0

    outcomes = list(
        analyse_files(paths, settings, options.jobs, terminal_progress(len(paths)), dask_address=options.dask)
    )
    analyses = [outcome for outcome in outcomes if isinstance(outcome, Analysis)]
    for outcome in outcomes:
        if isinstance(outcome, InputError):
            print(f"ostrel: error: {outcome}", file=sys.stderr)
    _report(analyses, options, single=False)
    return 0 if len(analyses) == len(outcomes) else InputError.exit_status


def _report(analyses: list[Analysis], options: argparse.Namespace, single: bool) -> None:
    if options.csv:
        write_csv(analyses, options.csv, with_file=not single)
    if options.json:
        print(dump_json(analyses, single))
    elif single:
        print(format_summary(analyses[0], options.top))
    else:
        for analysis in analyses:
            print(format_line(analysis))


def _plot(analysis: Analysis, signal: np.ndarray, path: str) -> None:
    from .plot import plot_analysis

    plot_analysis(analysis, signal, path)
