"""One run of the command: parse, analyse through :mod:`ostrel.analysis`, report."""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..analysis import Analysis, SegmentSettings, Settings, analyse
from ..analysis.audio import STDIN
from .args import SEGMENT_OPTIONS, build_parser, option_of
from .batch import Outcome, analyse_files, expand_inputs, terminal_progress
from .dataset import MANIFEST_NAME, LabelTarget, ManifestRows, Piece, SplitTarget
from .errors import OUT_OF_MEMORY, InputError, MachineError, OutputError, ReaderGone, WriteError
from .files import discard_unfinished, protect_inputs, refuse_input
from .interrupts import DeferredInterrupt
from .output import STDOUT, CsvRows, Output, dump_json, error_entry, format_lines, format_summary
from .places import check_writable, names_folder, refuse_shared
from .plot import PlotTarget
from .segments import SegmentRows, SoundTarget, refuse_stdin


@dataclass
class _OwnFiles:
    """The files each input gets of its own: its plot, its sound, its pieces, its labels."""

    plot: PlotTarget | None
    sound: SoundTarget | None
    split: SplitTarget | None
    labels: LabelTarget | None

    def write(self, analysis: Analysis) -> tuple[list[Piece], list[str]]:
        """The pieces written, and what the summary says of files not written."""
        notes = []
        if self.sound is not None and self.sound.write(analysis) is None:
            notes.append(f"  {'sound file':<17}none written: no sound found")
        pieces = self.split.write(analysis) if self.split is not None else []
        if self.split is not None and not pieces:
            notes.append(f"  {'pieces':<17}none written: no sound found")
        if self.labels is not None:
            self.labels.write(analysis)
        if self.plot is not None:
            self.plot.draw(analysis)
        return pieces, notes


def run(argv: list[str], interrupt: DeferredInterrupt) -> int:
    """The run's status; ``interrupt`` holds Ctrl-C until the run is ready for it."""
    try:
        return _run(argv, interrupt)
    finally:
        # A run ended by a failure leaves no file half written.
        discard_unfinished()


def _run(argv: list[str], interrupt: DeferredInterrupt) -> int:
    options = build_parser().parse_intermixed_args(argv)
    if options.json and options.csv == "-":
        raise InputError("--json and --csv - both write to stdout; give --csv a file name")
    _check_segment_options(options)
    _refuse_folder_tables(options)
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
        segments=_segment_settings(options) if options.segments else None,
    )
    if not options.paths:
        from .demo import demo_signal

        for option, given in (("--sound-wav", options.sound_wav), ("--split", options.split)):
            if given:
                raise InputError(f"{option} copies the sound out of a file; give one")
        own = _own_files(options, 1)
        _check_tables(options)
        signal, rate = demo_signal()
        demo = analyse(signal, rate, settings, "demo signal (built in)", encoding="synthesised float64")
        return _report_one(demo, options, own, interrupt)

    paths = expand_inputs(options.paths)
    for option, given in (("--sound-wav", options.sound_wav), ("--split", options.split)):
        if given and Path(STDIN) in paths:
            raise refuse_stdin(option)
    if (options.jobs > 1 or options.dask) and Path(STDIN) in paths:
        # Worker processes get no stdin of their own: it would read as empty.
        raise InputError("'-' (stdin) cannot be read by worker processes; leave out --jobs and --dask or give a file")
    # No output may replace an input, by whatever name it is given.
    protect_inputs(paths)
    for option, given in (("--csv", options.csv), ("--segments-csv", options.segments_csv), ("--plot", options.plot)):
        if given and given != STDOUT:
            refuse_input(Path(given), option)
    own = _own_files(options, len(paths))
    _check_tables(options)
    if len(paths) == 1:
        # One file: its errors are the run's errors.
        return _report_one(None, options, own, interrupt, paths[0], settings)
    return _report_many(paths, settings, options, own, interrupt)


def _own_files(options: argparse.Namespace, inputs: int) -> _OwnFiles:
    """Every file output checked, and its folder made, before the first input is read."""
    _refuse_shared_places(options, inputs)
    return _OwnFiles(
        plot=PlotTarget.from_option(options.plot, inputs, options.plot_db, options.plot_db_range),
        sound=SoundTarget.from_option(options.sound_wav, inputs),
        split=SplitTarget.from_option(options.split),
        labels=LabelTarget.from_option(options.labels, inputs),
    )


def _refuse_shared_places(options: argparse.Namespace, inputs: int) -> None:
    # In order of precedence: the manifest's name is fixed, the others can be changed.
    places = []
    if options.split:
        places += [("--split", Path(options.split), True), ("--split", Path(options.split) / MANIFEST_NAME, False)]
    for option, given in (("--csv", options.csv), ("--segments-csv", options.segments_csv)):
        if given and given != STDOUT:
            places.append((option, Path(given), names_folder(given)))
    folders = (
        ("--labels", options.labels, lambda given: LabelTarget.is_folder(given, inputs)),
        ("--sound-wav", options.sound_wav, lambda given: SoundTarget.is_folder(given, inputs)),
        ("--plot", options.plot, PlotTarget.is_folder),
    )
    for option, given, is_folder in folders:
        if given:
            places.append((option, Path(given), is_folder(given)))
    refuse_shared(places)


def _check_tables(options: argparse.Namespace) -> None:
    # After the folders of the other outputs are made: a table may go into one of them.
    for option, what in _TABLES:
        given = getattr(options, option)
        if given and given != STDOUT:
            check_writable(Path(given), what)


def _refuse_folder_tables(options: argparse.Namespace) -> None:
    # A name ending in a separator is a folder, which a table cannot be (Path would drop the separator).
    for option, what in _TABLES:
        given = getattr(options, option)
        if given and names_folder(given):
            raise InputError(f"{given}: cannot write {what}: {os.strerror(errno.EISDIR)}")


_TABLES = (("csv", "CSV"), ("segments_csv", "segments CSV"))


def _report_one(
    analysis: Analysis | None, options: argparse.Namespace, own: _OwnFiles, interrupt: DeferredInterrupt,
    path: Path | None = None, settings: Settings | None = None,
) -> int:
    # Nothing is written before the analysis: Ctrl-C may end it at once.
    interrupt.deliver()
    if analysis is None:
        assert path is not None and settings is not None
        analysis = _analyse_one(path, settings, options.dask)
    _warn(analysis)
    # Before any output: a file that cannot be written leaves no half-reported run.
    pieces, notes = own.write(analysis)
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
        if own.split is not None:
            manifest = Output.open(str(own.split.folder / MANIFEST_NAME), "manifest")
            ManifestRows(manifest, with_error=False).add(analysis.source, pieces)
            manifest.close()
        if options.json:
            entries = analysis.to_json()
            stdout.write(dump_json(entries, single=len(entries) == 1 and entries[0]["channel"] is None) + "\n")
        elif "-" not in (options.csv, options.segments_csv):
            stdout.write("".join(line + "\n" for line in [format_summary(analysis, options.top), *notes]))
    stdout.close()
    return 0


def _analyse_one(path: Path, settings: Settings, dask_address: str | None) -> Analysis:
    # The same dispatch as for many files: on a cluster even one file is read by a worker.
    (outcome,) = analyse_files([path], settings, dask_address=dask_address)
    if isinstance(outcome, InputError):
        raise outcome
    return outcome


def _report_many(
    paths: list[Path], settings: Settings, options: argparse.Namespace, own: _OwnFiles, interrupt: DeferredInterrupt,
) -> int:
    stdout = Output.stdout()
    csv_output = Output.open(options.csv, "CSV") if options.csv else None
    rows = CsvRows(csv_output, with_file=True, with_channel=settings.channels == "each") if csv_output else None
    segments_output = Output.open(options.segments_csv, "segments CSV") if options.segments_csv else None
    segment_rows = SegmentRows(segments_output, with_error=True) if segments_output else None
    manifest = Output.open(str(own.split.folder / MANIFEST_NAME), "manifest") if own.split else None
    manifest_rows = ManifestRows(manifest, with_error=True) if manifest else None
    json_started = False
    # Files reported, and of those the ones the CSV holds: it is written first.
    failed = unwritten = reported = in_csv = 0

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
        if manifest_rows is not None:
            manifest_rows.add_error(str(path), message)
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
        if manifest is not None:
            manifest.close()
        stdout.close()

    def report(path: Path, outcome: Outcome | WriteError, pieces: list[Piece]) -> None:
        nonlocal failed, unwritten, in_csv
        if isinstance(outcome, (InputError, WriteError)):
            failed += isinstance(outcome, InputError)
            unwritten += isinstance(outcome, WriteError)
            print(f"ostrel: error: {outcome}", file=sys.stderr, flush=True)
            add_error(path, str(outcome))
        else:
            if rows is not None:
                rows.add(outcome)
            if segment_rows is not None:
                segment_rows.add(outcome)
            if manifest_rows is not None:
                manifest_rows.add(outcome.source, pieces)
            in_csv += 1
            if options.json:
                add_json(outcome.to_json())
            elif "-" not in (options.csv, options.segments_csv):
                stdout.write("".join(line + "\n" for line in format_lines(outcome)))
        # A streaming tool: each file's lines and rows reach their readers as it is done.
        stdout.flush()
        for output in (csv_output, segments_output, manifest):
            if output is not None:
                output.flush()

    def own_files(outcome: Outcome) -> tuple[Outcome | WriteError, list[Piece]]:
        # A file whose own files cannot be written is that file's failure; the run goes on.
        if isinstance(outcome, InputError):
            return outcome, []
        # What the input itself gives cause for first, as with one file: then what of its own files is not written.
        _warn(outcome)
        try:
            return outcome, own.write(outcome)[0]
        except WriteError as error:
            return error, []

    outcomes = analyse_files(
        paths, settings, options.jobs, terminal_progress(len(paths)), dask_address=options.dask,
        no_worker_seconds=options.no_worker_timeout,
    )
    try:
        # The documents are open: from here on Ctrl-C leaves them whole.
        interrupt.deliver()
        with contextlib.closing(outcomes):  # type: ignore[type-var]
            for path, outcome in zip(paths, outcomes):
                # Ctrl-C ends a file's own files at once: they are left out whole, and the file is not reported.
                written, pieces = own_files(outcome)
                with DeferredInterrupt():
                    report(path, written, pieces)
                    reported += 1
    except ReaderGone:
        # stdout is gone, a CSV file is not: it stays whole and names what it lacks.
        tables = (
            (rows, csv_output, options.csv), (segment_rows, segments_output, options.segments_csv),
            (manifest_rows, manifest, "manifest"),
        )
        for table, output, option in tables:
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
    # A file not written is the machine's failure, and says more than bad input.
    return WriteError.exit_status if unwritten else InputError.exit_status if failed else 0


def _check_segment_options(options: argparse.Namespace) -> None:
    if options.segments_csv == "-" and (options.json or options.csv == "-"):
        other = "--json" if options.json else "--csv -"
        raise InputError(f"{other} and --segments-csv - both write to stdout; give --segments-csv a file name")
    # The segments CSV, the sound, pieces and labels, and every segment setting need the segments found.
    given = [getattr(options, f"segment_{name}") is not None for name, *_ in SEGMENT_OPTIONS]
    outputs = (options.segments_csv, options.sound_wav, options.split, options.labels)
    options.segments = options.segments or any(map(bool, outputs)) or any(given)


def _segment_settings(options: argparse.Namespace) -> SegmentSettings:
    given = {name: getattr(options, f"segment_{name}") for name, *_ in SEGMENT_OPTIONS}
    try:
        return SegmentSettings(**{name: value for name, value in given.items() if value is not None})
    except ValueError as error:
        # Checks between fields (keep_db at most start_db): in the options' own words.
        name, _, message = str(error).partition(": ")
        for field, *_ in SEGMENT_OPTIONS:
            message = message.replace(field, option_of(field))
        raise InputError(f"argument {option_of(name)}: {message} (see --help)") from None


def _warn(analysis: Analysis) -> None:
    for warning in analysis.warnings:
        print(f"ostrel: warning: {warning}", file=sys.stderr, flush=True)
