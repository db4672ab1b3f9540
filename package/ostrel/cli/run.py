"""One run of the command: parse, analyse through :mod:`ostrel.analysis`, report."""

from __future__ import annotations

import argparse
import contextlib
import sys
from pathlib import Path
from typing import Any

from ..analysis import Analysis, SegmentSettings, Settings, analyse
from ..analysis.audio import STDIN
from .args import build_parser
from .batch import Outcome, analyse_files, expand_inputs, terminal_progress
from .errors import OUT_OF_MEMORY, InputError, MachineError, OutputError, ReaderGone
from .interrupts import DeferredInterrupt
from .output import STDOUT, CsvRows, Output, dump_json, error_entry, format_lines, format_summary
from .places import check_writable
from .plot import PlotTarget
from .segments import SegmentRows, SoundTarget


def run(argv: list[str], interrupt: DeferredInterrupt) -> int:
    """The run's status; ``interrupt`` holds Ctrl-C until the run is ready for it."""
    options = build_parser().parse_intermixed_args(argv)
    if options.json and options.csv == "-":
        raise InputError("--json and --csv - both write to stdout; give --csv a file name")
    _check_segment_options(options)
    # Every output place is checked before the first input is read.
    for option, what in ((options.csv, "CSV"), (options.segments_csv, "segments CSV")):
        if option and option != STDOUT:
            check_writable(Path(option), what)
    settings = Settings(
        win=options.win,
        hop=options.hop,
        win_ms=options.win_ms,
        hop_ms=options.hop_ms,
        centered=options.centered,
        threshold=options.threshold,
        min_gap_ms=options.min_gap_ms,
        channels=options.channels,
        envelope=options.plot is not None,
        zero_positive=options.zero_positive,
        min_prominence_db=options.min_prominence_db,
        segments=SegmentSettings() if options.segments else None,
    )
    if not options.paths:
        from .demo import demo_signal

        plot = PlotTarget.from_option(options.plot, 1, options.plot_db, options.plot_db_range)
        sound = SoundTarget.from_option(options.sound_wav, 1)
        signal, rate = demo_signal()
        demo = analyse(signal, rate, settings, "demo signal (built in)", encoding="synthesised float64")
        return _report_one(demo, options, plot, sound, interrupt)

    paths = expand_inputs(options.paths)
    if options.sound_wav and Path(STDIN) in paths:
        raise InputError("--sound-wav reads a file twice, which stdin cannot be; give a file")
    if (options.jobs > 1 or options.dask) and Path(STDIN) in paths:
        # Worker processes get no stdin of their own: it would read as empty.
        raise InputError("'-' (stdin) cannot be read by worker processes; leave out --jobs and --dask or give a file")
    plot = PlotTarget.from_option(options.plot, len(paths), options.plot_db, options.plot_db_range)
    sound = SoundTarget.from_option(options.sound_wav, len(paths))
    if len(paths) == 1:
        # One file: its errors are the run's errors.
        return _report_one(None, options, plot, sound, interrupt, paths[0], settings)
    return _report_many(paths, settings, options, plot, sound, interrupt)


def _report_one(
    analysis: Analysis | None, options: argparse.Namespace, plot: PlotTarget | None, sound: SoundTarget | None,
    interrupt: DeferredInterrupt, path: Path | None = None, settings: Settings | None = None,
) -> int:
    # Nothing is written before the analysis: Ctrl-C may end it at once.
    interrupt.deliver()
    if analysis is None:
        assert path is not None and settings is not None
        analysis = _analyse_one(path, settings, options.dask)
    _warn(analysis)
    if sound is not None:
        # Before any output: a sound that cannot be written leaves no half-reported run.
        sound.write(analysis)
    stdout = Output.stdout()
    with DeferredInterrupt():
        csv_output = Output.open(options.csv, "CSV") if options.csv else None
        if csv_output is not None:
            CsvRows(csv_output, with_file=False, with_channel=analysis.tracks[0].channel is not None).add(analysis)
            csv_output.close()
        if options.segments_csv:
            segments_output = Output.open(options.segments_csv, "segments CSV")
            SegmentRows(segments_output, with_error=False).add(analysis)
            segments_output.close()
        if options.json:
            entries = analysis.to_json()
            stdout.write(dump_json(entries, single=len(entries) == 1 and entries[0]["channel"] is None) + "\n")
        elif "-" not in (options.csv, options.segments_csv):
            stdout.write(format_summary(analysis, options.top) + "\n")
    if plot is not None:
        plot.draw(analysis)
    stdout.close()
    return 0


def _analyse_one(path: Path, settings: Settings, dask_address: str | None) -> Analysis:
    # The same dispatch as for many files: on a cluster even one file is read by a worker.
    (outcome,) = analyse_files([path], settings, dask_address=dask_address)
    if isinstance(outcome, InputError):
        raise outcome
    return outcome


def _report_many(
    paths: list[Path], settings: Settings, options: argparse.Namespace, plot: PlotTarget | None,
    sound: SoundTarget | None, interrupt: DeferredInterrupt,
) -> int:
    stdout = Output.stdout()
    csv_output = Output.open(options.csv, "CSV") if options.csv else None
    rows = CsvRows(csv_output, with_file=True, with_channel=settings.channels == "each") if csv_output else None
    segments_output = Output.open(options.segments_csv, "segments CSV") if options.segments_csv else None
    segment_rows = SegmentRows(segments_output, with_error=True) if segments_output else None
    json_started = False
    # Files reported, and of those the ones the CSV holds: it is written first.
    failed = reported = in_csv = 0

    def add_json(entries: list[dict[str, Any]]) -> None:
        nonlocal json_started
        for entry in entries:
            stdout.write(("[" if not json_started else ", ") + dump_json([entry], single=True))
            json_started = True

    def add_error(path: Path, message: str) -> None:
        nonlocal in_csv
        if rows is not None:
            rows.add_error(str(path), message)
        if segment_rows is not None:
            segment_rows.add_error(str(path), message)
        in_csv += 1
        if options.json:
            add_json([error_entry(str(path), message)])

    def finish() -> None:
        if options.json:
            stdout.write(("]" if json_started else "[]") + "\n")
        if csv_output is not None:
            csv_output.close()
        if segments_output is not None:
            segments_output.close()
        stdout.close()

    def report(path: Path, outcome: Outcome) -> None:
        nonlocal failed, in_csv
        if isinstance(outcome, InputError):
            failed += 1
            print(f"ostrel: error: {outcome}", file=sys.stderr, flush=True)
            add_error(path, str(outcome))
        else:
            _warn(outcome)
            if rows is not None:
                rows.add(outcome)
            if segment_rows is not None:
                segment_rows.add(outcome)
            in_csv += 1
            if options.json:
                add_json(outcome.to_json())
            elif "-" not in (options.csv, options.segments_csv):
                stdout.write("".join(line + "\n" for line in format_lines(outcome)))
            if plot is not None:
                plot.draw(outcome)
            if sound is not None:
                sound.write(outcome)
        # A streaming tool: each file's lines and rows reach their readers as it is done.
        stdout.flush()
        for output in (csv_output, segments_output):
            if output is not None:
                output.flush()

    outcomes = analyse_files(
        paths, settings, options.jobs, terminal_progress(len(paths)), dask_address=options.dask,
        no_worker_seconds=options.no_worker_timeout,
    )
    try:
        # The documents are open: from here on Ctrl-C leaves them whole.
        interrupt.deliver()
        with contextlib.closing(outcomes):  # type: ignore[type-var]
            for path, outcome in zip(paths, outcomes):
                with DeferredInterrupt():
                    report(path, outcome)
                    reported += 1
    except ReaderGone:
        # stdout is gone, a CSV file is not: it stays whole and names what it lacks.
        for table, output, option in ((rows, csv_output, options.csv), (segment_rows, segments_output, options.segments_csv)):
            if table is not None and output is not None and option != "-":
                with DeferredInterrupt():
                    for path in paths[in_csv:]:
                        table.add_error(str(path), "not analysed: the reader of stdout closed it")
                    output.close()
        raise
    except (MachineError, MemoryError, KeyboardInterrupt) as error:
        if isinstance(error, OutputError):
            raise
        # The documents stay whole, and name every file a rerun must pick up.
        reason = str(error)
        if isinstance(error, KeyboardInterrupt):
            reason = "interrupted"
        elif isinstance(error, MemoryError):
            reason = OUT_OF_MEMORY
        with DeferredInterrupt():
            for path in paths[reported:]:
                add_error(path, f"not analysed: {reason}")
            finish()
        raise
    with DeferredInterrupt():
        finish()
    return InputError.exit_status if failed else 0


def _check_segment_options(options: argparse.Namespace) -> None:
    if options.segments_csv == "-" and (options.json or options.csv == "-"):
        other = "--json" if options.json else "--csv -"
        raise InputError(f"{other} and --segments-csv - both write to stdout; give --segments-csv a file name")
    # The segments CSV and the sound need the segments found.
    options.segments = options.segments or bool(options.segments_csv) or bool(options.sound_wav)


def _warn(analysis: Analysis) -> None:
    for warning in analysis.warnings:
        print(f"ostrel: warning: {warning}", file=sys.stderr, flush=True)
