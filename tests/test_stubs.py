"""The type stub shipped beside ostrel.fenwy: mypy accepts typical use and
rejects misuse, and the stub agrees with the compiled module."""

import ast
import inspect
import sys
import types
import typing
from pathlib import Path

import numpy as np
import pytest
from mypy import api as mypy_api
from mypy import stubtest
from numpy.typing import NDArray

import ostrel.fenwy

EXAMPLE = Path(__file__).with_name("typing_example.py")
FUNCTIONS = ["calc_num_frames", "calc_energy", "calc_zc", "num_zerocrossings", "find_peaks"]

# The stub that belongs to the module under test, wherever it was imported
# from (an in-place build or an installed wheel).
STUB = Path(ostrel.fenwy.__file__).with_name("fenwy.pyi")


@pytest.fixture(scope="module")
def stub_functions():
    tree = ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.fixture(scope="module")
def mypy_config(tmp_path_factory):
    """A config of our own, so no project or user config changes the checks.

    mypy finds an installed package on its own; an in-place build has to be
    put on its search path (and mypy refuses site-packages there)."""
    work = tmp_path_factory.mktemp("mypy")
    lines = ["[mypy]", f"cache_dir = {work / 'cache'}"]
    package_root = STUB.parent.parent
    if package_root.name not in ("site-packages", "dist-packages"):
        lines.append(f"mypy_path = {package_root}")
    config = work / "mypy.ini"
    config.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return config


def run_mypy(config, path):
    return mypy_api.run(["--strict", "--config-file", str(config), "--python-executable", sys.executable, str(path)])


def test_stub_is_shipped_beside_the_module():
    assert STUB.is_file()
    assert STUB.with_name("py.typed").is_file()


def test_typical_use_passes_strict_checking(mypy_config):
    assert run_mypy(mypy_config, EXAMPLE) == ("Success: no issues found in 1 source file\n", "", 0)


# Misuse, one statement per line after the preamble: (statement, error code,
# exact message or None where the message spells out numpy's own types,
# which change between numpy releases).
MISUSE = {
    "str window": ('fenwy.calc_num_frames(100, "4", 2)', "arg-type",
                   'Argument 2 to "calc_num_frames" has incompatible type "str"; expected "int"'),
    "float window": ("fenwy.calc_energy(signal, 64.0, 16)", "arg-type",
                     'Argument 2 to "calc_energy" has incompatible type "float"; expected "int"'),
    "float hop by keyword": ("fenwy.calc_zc(signal, 64, hop_size=0.5)", "arg-type",
                             'Argument "hop_size" to "calc_zc" has incompatible type "float"; expected "int"'),
    "str thresh": ('fenwy.find_peaks(signal, thresh="0.5")', "arg-type",
                   'Argument "thresh" to "find_peaks" has incompatible type "str"; expected "float | None"'),
    "list signal": ("fenwy.num_zerocrossings([1.0, -1.0])", "arg-type", None),
    "complex signal": ("fenwy.find_peaks(phasors)", "arg-type", None),
    "peaks as str": ("label: str = fenwy.find_peaks(signal)", "assignment", None),
    "energy as indices": ("indices: NDArray[np.intp] = fenwy.calc_energy(signal, 64, 16)", "assignment", None),
    "count as str": ("count: str = fenwy.num_zerocrossings(signal)", "assignment", None),
    "frames as str": ("frames: str = fenwy.calc_num_frames(100, 4, 2)", "assignment",
                      'Incompatible types in assignment (expression has type "int", variable has type "str")'),
    "fifth argument": ("fenwy.calc_energy(signal, 64, 16, True, 1)", "call-arg",
                       'Too many arguments for "calc_energy"'),
    "misspelt keyword": ("fenwy.find_peaks(signal, threshold=0.5)", "call-arg",
                         'Unexpected keyword argument "threshold" for "find_peaks"; did you mean "thresh"?'),
    "missing hop": ("fenwy.calc_zc(signal, 64)", "call-arg",
                    'Missing positional argument "hop_size" in call to "calc_zc"'),
    "unknown function": ("fenwy.calc_rms(signal)", "attr-defined", 'Module has no attribute "calc_rms"'),
}
MISUSE_PREAMBLE = [
    "import numpy as np",
    "from numpy.typing import NDArray",
    "from ostrel import fenwy",
    "signal = np.zeros(100)",
    "phasors: NDArray[np.complex128] = np.zeros(3, dtype=np.complex128)",
]


def misuse_line(case):
    return len(MISUSE_PREAMBLE) + list(MISUSE).index(case) + 1


@pytest.fixture(scope="module")
def misuse_errors(mypy_config, tmp_path_factory):
    """mypy's errors for the misuse file, by line: one run for every case."""
    path = tmp_path_factory.mktemp("misuse") / "misuse.py"
    path.write_text("\n".join(MISUSE_PREAMBLE + [statement for statement, _, _ in MISUSE.values()]) + "\n")
    stdout, stderr, status = run_mypy(mypy_config, path)
    assert (stderr, status) == ("", 1)
    errors = {}
    for line in stdout.splitlines():
        location, kind, rest = line.partition(": error: ")
        if not kind:
            continue
        message, _, code = rest.rpartition("  [")
        errors.setdefault(int(location.rsplit(":", 1)[1]), []).append((message, code.rstrip("]")))
    assert stdout.endswith(f"Found {sum(map(len, errors.values()))} errors in 1 file (checked 1 source file)\n")
    return errors


@pytest.mark.parametrize("case", list(MISUSE))
def test_misuse_is_reported(misuse_errors, case):
    _, code, message = MISUSE[case]
    [(reported, reported_code)] = misuse_errors[misuse_line(case)]
    assert reported_code == code
    if message is not None:
        assert reported == message


def test_misuse_file_has_no_other_errors(misuse_errors):
    assert sorted(misuse_errors) == [misuse_line(case) for case in MISUSE]


def test_stub_declares_exactly_the_runtime_functions(stub_functions):
    runtime = {name for name, value in vars(ostrel.fenwy).items() if callable(value) and not name.startswith("_")}
    assert sorted(stub_functions) == sorted(runtime) == sorted(FUNCTIONS)


def stub_parameters(node):
    """(name, kind, default) per parameter of a stub function, as inspect names them."""
    arguments = node.args
    kind = inspect.Parameter
    ordered = [(a, kind.POSITIONAL_ONLY) for a in arguments.posonlyargs]
    ordered += [(a, kind.POSITIONAL_OR_KEYWORD) for a in arguments.args]
    defaults = [kind.empty] * (len(ordered) - len(arguments.defaults))
    defaults += [ast.literal_eval(d) for d in arguments.defaults]
    if arguments.vararg:
        ordered.append((arguments.vararg, kind.VAR_POSITIONAL))
        defaults.append(kind.empty)
    ordered += [(a, kind.KEYWORD_ONLY) for a in arguments.kwonlyargs]
    defaults += [kind.empty if d is None else ast.literal_eval(d) for d in arguments.kw_defaults]
    if arguments.kwarg:
        ordered.append((arguments.kwarg, kind.VAR_KEYWORD))
        defaults.append(kind.empty)
    return [(a.arg, k, d) for (a, k), d in zip(ordered, defaults)]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_signature_matches_runtime(stub_functions, name):
    runtime = inspect.signature(getattr(ostrel.fenwy, name)).parameters.values()
    assert stub_parameters(stub_functions[name]) == [(p.name, p.kind, p.default) for p in runtime]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_docstring_matches_runtime(stub_functions, name):
    assert ast.get_docstring(stub_functions[name], clean=False) == getattr(ostrel.fenwy, name).__doc__


def test_stubtest_finds_no_disagreement(mypy_config, capsys):
    options = stubtest.parse_options(["ostrel.fenwy", "--mypy-config-file", str(mypy_config)])
    status = stubtest.test_stubs(options)
    assert (status, capsys.readouterr().out) == (0, "Success: no issues found in 1 module\n")


def conforms(value, annotation):
    """Whether a runtime value has the type a stub annotation names; the
    stub uses only classes, unions and NDArray of a scalar type."""
    if typing.get_origin(annotation) is types.UnionType:
        return any(conforms(value, member) for member in typing.get_args(annotation))
    if typing.get_origin(annotation) is NDArray:
        # numpy 2.5 on: a type alias whose one argument is the scalar type.
        (scalar,) = typing.get_args(annotation)
        return isinstance(value, np.ndarray) and value.dtype.type is scalar
    if typing.get_origin(annotation) is np.ndarray:
        (scalar,) = typing.get_args(typing.get_args(annotation)[1])
        return isinstance(value, np.ndarray) and value.dtype.type is scalar
    return type(value) is annotation


FLOATS = np.array([0.5, -1.0, 2.0, 2.0, -3.0, 4.0, 1.0])
INTS = np.array([3, -1, 2, 5, -2, 0, 1], dtype=np.int16)


RETURN_CASES = {
    "frame count": ("calc_num_frames", (10, 4, 2)),
    "frame count clamped": ("calc_num_frames", (2, 40, 2)),
    "energy": ("calc_energy", (FLOATS, 4, 2)),
    "energy of integers": ("calc_energy", (INTS, 4, 2, False)),
    "energy without frames": ("calc_energy", (FLOATS[:2], 8, 4, False)),
    "rate": ("calc_zc", (FLOATS, 4, 2)),
    "rate of integers": ("calc_zc", (INTS, 3, 1, False)),
    "rate without frames": ("calc_zc", (FLOATS[:2], 8, 4, False)),
    "crossings": ("num_zerocrossings", (FLOATS,)),
    "crossings of integers": ("num_zerocrossings", (INTS,)),
    "crossings of one sample": ("num_zerocrossings", (FLOATS[:1],)),
    "peaks": ("find_peaks", (FLOATS,)),
    "peaks of integers above threshold": ("find_peaks", (INTS, 0.5)),
    "threshold without candidates": ("find_peaks", (np.arange(5.0), 0.5)),
    "peaks of two samples": ("find_peaks", (FLOATS[:2],)),
}


@pytest.mark.parametrize("case", list(RETURN_CASES))
def test_runtime_results_have_the_stub_return_types(stub_functions, case):
    name, args = RETURN_CASES[case]
    annotation = eval(ast.unparse(stub_functions[name].returns), {"np": np, "NDArray": NDArray})
    result = getattr(ostrel.fenwy, name)(*args)
    assert conforms(result, annotation), (type(result), getattr(result, "dtype", None), annotation)
