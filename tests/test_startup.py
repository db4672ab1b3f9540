"""Loading the module: re-import, reload, the one-interpreter rule and the
numpy import. Each case runs in a fresh interpreter, since loading happens
once per process."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


def run_python(source):
    """Runs the source in a new interpreter (same environment, so the same
    PYTHONPATH) and returns what it printed last, decoded from JSON."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout.strip().splitlines()[-1])


def test_reimport_gives_the_same_module():
    result = run_python(
        """
        import json, sys
        import numpy
        import ostrel.fenwy as first
        count = first.calc_num_frames
        first.marker = "kept"
        del sys.modules["ostrel.fenwy"]
        import ostrel.fenwy as second
        print(json.dumps({
            "same": second is first,
            "registered": sys.modules["ostrel.fenwy"] is first,
            "np": second.np is numpy,
            "function kept": second.calc_num_frames is count,
            "namespace kept": getattr(second, "marker", None),
            "works": second.calc_num_frames(10, 4, 2),
        }))
        """
    )
    assert result == {
        "same": True,
        "registered": True,
        "np": True,
        "function kept": True,
        "namespace kept": "kept",
        "works": 4,
    }


def test_import_is_silent_with_warnings_as_errors():
    # The module is built for the interpreter running it, whichever version
    # that is: no version warning.
    completed = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import ostrel.fenwy; print(ostrel.fenwy.calc_num_frames(10, 4, 2))"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (completed.returncode, completed.stdout, completed.stderr) == (0, "4\n", "")


def test_reload_gives_the_same_module():
    result = run_python(
        """
        import importlib, json
        import numpy
        import ostrel.fenwy as module
        energy = module.calc_energy
        module.np = "rebound"
        reloaded = importlib.reload(module)
        rebound = reloaded.np
        module.np = numpy
        print(json.dumps({
            "same": reloaded is module,
            "np left alone": rebound,
            "function kept": reloaded.calc_energy is energy,
            "works": reloaded.calc_num_frames(11, 4, 2),
        }))
        """
    )
    assert result == {"same": True, "np left alone": "rebound", "function kept": True, "works": 5}


# Runs source in a new sub-interpreter and gives its failure as "Type: message",
# or None: 3.13 renamed the module and reports failures instead of raising.
# A legacy sub-interpreter shares the main one's GIL; an isolated one has its
# own from 3.12 on, and the interpreter itself refuses every extension that
# does not declare support for that.
IN_SUBINTERPRETER = """
import re, sys
if sys.version_info >= (3, 13):
    import _interpreters

    def run_in_subinterpreter(source, isolated):
        interp = _interpreters.create("isolated" if isolated else "legacy")
        try:
            failure = _interpreters.run_string(interp, source)
        finally:
            _interpreters.destroy(interp)
        return None if failure is None else f"{failure.type.__name__}: {failure.msg}"
else:
    import _xxsubinterpreters as _interpreters

    def run_in_subinterpreter(source, isolated):
        interp = _interpreters.create(isolated=isolated)
        try:
            _interpreters.run_string(interp, source)
        except _interpreters.RunFailedError as error:
            return re.sub(r"^<class '(\\w+)'>", r"\\1", str(error))
        finally:
            _interpreters.destroy(interp)
        return None
"""
REFUSED_BY_THE_INTERPRETER = "ImportError: module ostrel.fenwy does not support loading in subinterpreters"


@pytest.mark.parametrize("isolated", [False, True], ids=["legacy", "isolated"])
def test_second_interpreter_is_refused(isolated):
    result = run_python(
        IN_SUBINTERPRETER
        + """
import json
import ostrel.fenwy
messages = [run_in_subinterpreter("import ostrel.fenwy", ISOLATED) for attempt in range(2)]
print(json.dumps({"messages": messages, "works": ostrel.fenwy.calc_num_frames(10, 4, 2)}))
""".replace("ISOLATED", repr(isolated))
    )
    refused_by_the_interpreter = isolated and sys.version_info >= (3, 12)
    expected = REFUSED_BY_THE_INTERPRETER if refused_by_the_interpreter else f"ImportError: {INTERPRETER_CHANGE}"
    assert result["messages"] == [expected] * 2
    assert result["works"] == 4


def test_first_interpreter_keeps_the_module():
    # a sub-interpreter that loads the module first owns it; the main
    # interpreter is then the second one and is refused
    result = run_python(
        IN_SUBINTERPRETER
        + """
import json
failure = run_in_subinterpreter("import warnings; warnings.simplefilter('ignore'); import ostrel.fenwy", False)
try:
    import ostrel.fenwy
except ImportError as exc:
    outcome = [failure, type(exc).__name__, str(exc)]
else:
    outcome = None
print(json.dumps(outcome))
"""
    )
    assert result == [None, "ImportError", INTERPRETER_CHANGE]


def test_loaded_numpy_module_is_used():
    # whatever sys.modules holds under "numpy" (and is not still being
    # imported) becomes the global np
    result = run_python(
        """
        import json, sys, types
        stand_in = types.ModuleType("numpy")
        stand_in.ceil = lambda q: 99
        sys.modules["numpy"] = stand_in
        import ostrel.fenwy
        print(json.dumps({"np": ostrel.fenwy.np is stand_in, "count": ostrel.fenwy.calc_num_frames(10, 4, 2)}))
        """
    )
    assert result == {"np": True, "count": 99}


def test_failed_numpy_import_and_retry():
    result = run_python(
        """
        import json, sys, traceback
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy":
                    raise ImportError("numpy refused")
        sys.meta_path.insert(0, Refuse())
        try:
            import ostrel.fenwy
        except ImportError as exc:
            entries = traceback.extract_tb(exc.__traceback__)
            failure = {
                "message": str(exc),
                "records": [[e.filename, e.lineno, e.name] for e in entries if e.name == "init ostrel.fenwy"],
                "module files": sorted({e.filename for e in entries if "ostrel" in e.filename}),
            }
        else:
            failure = None
        del sys.meta_path[0]
        import numpy
        import ostrel.fenwy
        print(json.dumps({
            "failure": failure,
            "np": ostrel.fenwy.np is numpy,
            "works": ostrel.fenwy.calc_num_frames(10, 4, 2),
        }))
        """
    )
    assert result == {
        "failure": {
            "message": "numpy refused",
            "records": [["package/ostrel/fenwy.py", 1, "init ostrel.fenwy"]],
            "module files": ["package/ostrel/fenwy.py"],
        },
        "np": True,
        "works": 4,
    }


def test_numpy_entry_that_drops_itself_while_checked():
    # Reading __spec__ removes the entry from sys.modules: the module must
    # still hold the object it checked, not a freed one.
    result = run_python(
        """
        import json, sys

        class DropsItself:
            @property
            def __spec__(self):
                del sys.modules["numpy"]
                return None

        stand_in = DropsItself()
        sys.modules["numpy"] = stand_in
        del stand_in
        import ostrel.fenwy as fenwy
        print(json.dumps({"np": type(fenwy.np).__name__, "alive": repr(fenwy.np).startswith("<__main__.DropsItself")}))
        """
    )
    assert result == {"np": "DropsItself", "alive": True}


def test_numpy_spec_failure_other_than_a_missing_attribute_fails_the_import():
    result = run_python(
        """
        import json, sys, traceback

        class Broken:
            @property
            def __spec__(self):
                raise KeyError("spec")

        sys.modules["numpy"] = Broken()
        try:
            import ostrel.fenwy
        except KeyError as error:
            entries = [(e.filename, e.lineno, e.name) for e in traceback.extract_tb(error.__traceback__)]
            print(json.dumps({"records": [e for e in entries if e[0] == "package/ostrel/fenwy.py"]}))
        """
    )
    assert result == {"records": [["package/ostrel/fenwy.py", 1, "init ostrel.fenwy"]]}


def test_failed_imports_do_not_accumulate_references():
    # Each failed start-up leaves the module state to the next attempt; only
    # the one reference the state keeps may remain.
    result = run_python(
        """
        import builtins, json, sys

        class Unimportable:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy":
                    raise ImportError("no numpy here")
                return None

        sys.modules.pop("numpy", None)
        sys.meta_path.insert(0, Unimportable())
        before = sys.getrefcount(builtins), sys.getrefcount(range)
        failures = 0
        for attempt in range(5):
            try:
                import ostrel.fenwy
            except ImportError:
                failures += 1
        grown = sys.getrefcount(builtins) - before[0], sys.getrefcount(range) - before[1]
        print(json.dumps({"failures": failures, "grown": list(grown)}))
        """
    )
    # range is immortal from 3.12 on: its count no longer moves.
    assert result == {"failures": 5, "grown": [1, 1 if sys.version_info < (3, 12) else 0]}


def test_functions_calling_each_other_endlessly_raise_recursion_error():
    # A cycle made only of the module's own functions (no Python frame in
    # between) must end in RecursionError, not overflow the C stack.
    result = run_python(
        """
        import functools, json, re, types
        import ostrel.fenwy as fenwy

        def message(call):
            try:
                call()
            except RecursionError as error:
                # How much C stack the cycle used (3.14 on) depends on
                # the size of its frames.
                return re.sub(r"\\d+", "N", str(error))

        fenwy.np = types.SimpleNamespace(ceil=functools.partial(fenwy.calc_num_frames, 1, 1))
        # The interpreter's own cycle of C calls, none of them in Python:
        # a cache wrapper calling a partial that calls the wrapper.
        inner = functools.partial(int)
        wrapper = functools.lru_cache(maxsize=None)(inner)
        inner.__setstate__((wrapper, (), None, None))
        print(json.dumps({"module": message(lambda: fenwy.calc_num_frames(1, 1, 1)), "interpreter": message(wrapper)}))
        """
    )
    assert result["module"] == result["interpreter"]
    assert result["module"].endswith(" while calling a Python object")


CPU_REPORT = """
import json, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import ostrel.fenwy
    import ostrel._cpu
print(json.dumps({
    "warnings": [[w.category.__name__, str(w.message)] for w in caught],
    "features": dict(ostrel._cpu.features()),
    "works": int(ostrel.fenwy.num_zerocrossings(ostrel.fenwy.np.arange(-70.5, 70.0))),
}))
"""


def cpu_report(disabled):
    env = {key: value for key, value in os.environ.items() if key != "OSTREL_DISABLE_CPU_FEATURES"}
    if disabled is not None:
        env["OSTREL_DISABLE_CPU_FEATURES"] = disabled
    completed = subprocess.run([sys.executable, "-c", CPU_REPORT], capture_output=True, text=True, env=env, timeout=120)
    assert (completed.returncode, completed.stderr) == (0, "")
    return json.loads(completed.stdout)


# Calls reaching every place where the kernels choose a twin: frames of
# crossings and a whole signal's pairs, maxima judged, kept above a threshold
# and written out, short energy frames, float32 block sums, and the NaN
# search of the samples between centred float32 frames.
TWINS_REPORT = """
import json
import numpy as np
import ostrel.fenwy as fenwy
import ostrel._cpu
x = np.sin(np.arange(1000.0) * 0.3)
fenwy.calc_zc(x, 32, 8)
fenwy.num_zerocrossings(x)
fenwy.find_peaks(x, 0.5)
fenwy.find_peaks(x)
fenwy.calc_energy(x, 4, 2)
x32 = np.sin(np.arange(100_000.0) * 0.3).astype(np.float32)
fenwy.calc_energy(x32, 2048, 512)
fenwy.calc_zc(x32, 2, 5000)
print(json.dumps({"features": dict(ostrel._cpu.features()), "twins": ostrel._cpu.twins()}))
"""
# The features each place's featured twin needs.
TWIN_FEATURES = {
    "crossing_bits": {"AVX2", "POPCNT"},
    "pair_count": {"AVX2"},
    "maxima_judge": {"AVX2"},
    "maxima_above": {"AVX2"},
    "maxima_count": {"POPCNT"},
    "maxima_write": {"POPCNT"},
    "short_energy": {"AVX2"},
    "block_sums": {"AVX2"},
    "nan_search": {"AVX2"},
}


def twins_report(script, disabled):
    """What ``script`` prints, run with ``disabled`` features; skipped where no feature could be chosen."""
    env = {key: value for key, value in os.environ.items() if key != "OSTREL_DISABLE_CPU_FEATURES"}
    if disabled is not None:
        env["OSTREL_DISABLE_CPU_FEATURES"] = disabled
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert (completed.returncode, completed.stderr) == (0, "")
    report = json.loads(completed.stdout)
    if set(report["features"].values()) == {"unavailable"}:
        pytest.skip("no optional CPU feature on this processor or in this build: the portable twins are the only ones")
    return report


@pytest.mark.parametrize("disabled", [None, "AVX2", "POPCNT", "avx2,popcnt"])
def test_the_kernels_run_the_twins_the_features_allow(disabled):
    report = twins_report(TWINS_REPORT, disabled)
    used = {name for name, use in report["features"].items() if use == "used"}
    assert report["twins"] == {
        place: "featured" if needs <= used else "portable" for place, needs in TWIN_FEATURES.items()
    }


# The segment finder alone: its float64 energy sums run only in ostrel._segments' kernels, whose
# record is its own.
SEGMENT_TWINS_REPORT = """
import json
import numpy as np
import ostrel._cpu
from ostrel.analysis import find_segments
find_segments(np.sin(np.arange(100_000.0) * 0.3), 8000)
print(json.dumps({"features": dict(ostrel._cpu.features()), "twins": ostrel._cpu.twins()}))
"""


@pytest.mark.parametrize("disabled", [None, "AVX2"])
def test_the_segment_measurements_twins_are_in_the_record(disabled):
    report = twins_report(SEGMENT_TWINS_REPORT, disabled)
    featured = report["features"]["AVX2"] == "used"
    assert report["twins"]["block_sums"] == ("featured" if featured else "portable")


@pytest.mark.parametrize(
    "disabled, names, unknown",
    [
        ("", [], None),
        ("AVX2", ["AVX2"], None),
        ("POPCNT", ["POPCNT"], None),
        (" avx2 ,popcnt,", ["AVX2", "POPCNT"], None),
        ("AVX2 Popcnt", ["AVX2", "POPCNT"], None),
        ("AVX2,AVX512F,,neon", ["AVX2"], "AVX512F, neon"),
        ("AVX", [], "AVX"),
    ],
)
def test_cpu_features_named_in_the_variable_are_switched_off(disabled, names, unknown):
    plain = cpu_report(None)
    assert plain["warnings"] == []
    assert set(plain["features"]) == {"AVX2", "POPCNT"}
    # Only a feature the processor has can be switched off.
    expected = {
        name: "disabled" if name in names and use == "used" else use for name, use in plain["features"].items()
    }
    warnings = [] if unknown is None else [[
        "RuntimeWarning",
        f"OSTREL_DISABLE_CPU_FEATURES: ignored unknown CPU feature names {unknown} (known: AVX2, POPCNT)",
    ]]
    assert cpu_report(disabled) == {"warnings": warnings, "features": expected, "works": 1}

