"""A collection of audio files analysed with dask.bag: one JSON line per file.

    pip install 'ostrel[dask,audio]'
    python examples/dask_batch.py FILE ...

The analysis is the command line's own (``ostrel.analysis.analyse_file``);
this script only spreads the files over worker processes.
"""

import json
import sys

import dask.bag as db

from ostrel.analysis import InputError, Settings, analyse_file


def summarise(path, settings=Settings()):
    try:
        result = analyse_file(path, settings)  # read in blocks: any length
    except InputError as error:
        return {"file": path, "error": str(error)}
    strongest = result.track.strongest_peaks(1)
    return {
        "file": path,
        "frames": result.num_frames,
        "zero_crossings": int(result.zero_crossings),
        "peaks": len(result.peaks),
        "strongest_peak_s": float(result.times[strongest[0]]) if len(strongest) else None,
    }


if __name__ == "__main__":  # worker processes import this module: run only here
    paths = sys.argv[1:]
    bag = db.from_sequence(paths, npartitions=max(1, len(paths) // 100))
    rows = bag.map(summarise).compute(scheduler="processes")
    for row in rows:
        print(json.dumps(row))
    sys.exit(1 if any("error" in row for row in rows) else 0)
