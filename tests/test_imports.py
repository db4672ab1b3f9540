"""The package's modules import each other in one direction only.

Every import statement counts, including those inside functions (imported
late) and under ``if TYPE_CHECKING`` (read by type checkers): a module that
needs one importing it back has its dependency the wrong way round.
"""

import ast
import textwrap
from pathlib import Path

import pytest

import ostrel

PACKAGE = Path(ostrel.__file__).parent


def module_names(root):
    """Dotted name of every module of the package at ``root`` -> its source file."""
    names = {}
    for path in sorted(root.rglob("*.py")):
        parts = path.relative_to(root.parent).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        names[".".join(parts)] = path
    return names


def imported_modules(name, path, modules):
    """The package's modules that ``name`` imports anywhere in its source.

    A package the importer lies in is left out: it is always imported before
    its modules, so importing from it closes no circle.
    """
    is_package = path.name == "__init__.py"
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = name.split(".")
                anchor = anchor[: len(anchor) - node.level + (1 if is_package else 0)]
                base = ".".join(anchor + ([base] if base else []))
            # ``from package import name`` imports the module package.name when there is one.
            targets = [f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base for alias in node.names]
        else:
            continue
        found.update(target for target in targets if target in modules and not name.startswith(target + "."))
    found.discard(name)
    return found


def import_circles(root):
    """Each circle of imports among the modules under ``root``, as the list of its modules."""
    modules = module_names(root)
    graph = {name: sorted(imported_modules(name, path, modules)) for name, path in modules.items()}
    circles, state = [], {}
    path = []

    def visit(name):
        state[name] = "open"
        path.append(name)
        for target in graph[name]:
            if state.get(target) == "open":
                circles.append(path[path.index(target) :] + [target])
            elif target not in state:
                visit(target)
        path.pop()
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name)
    return circles


def test_the_package_has_no_import_circle():
    circles = import_circles(PACKAGE)
    assert circles == [], "import circles: " + "; ".join(" -> ".join(circle) for circle in circles)


def write_package(root, sources):
    for relative, source in sources.items():
        path = root / "pkg" / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source), encoding="utf-8")
    return root / "pkg"


@pytest.mark.parametrize(
    ("sources", "expected"),
    [
        pytest.param(
            {"__init__.py": "", "a.py": "from .b import B\n", "b.py": "def f():\n    from .a import A\n"},
            [["pkg.a", "pkg.b", "pkg.a"]],
            id="imported-late",
        ),
        pytest.param(
            {
                "__init__.py": "",
                "a.py": "from . import b\n",
                "b.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from .a import A\n",
            },
            [["pkg.a", "pkg.b", "pkg.a"]],
            id="for-type-checkers",
        ),
        pytest.param(
            {
                "__init__.py": "",
                "sub/__init__.py": "from .c import C\n",
                "sub/c.py": "from ..d import D\n",
                "d.py": "import pkg.sub\n",
            },
            [["pkg.d", "pkg.sub", "pkg.sub.c", "pkg.d"]],
            id="through-a-package",
        ),
        pytest.param(
            {"__init__.py": "", "a.py": "from . import b\n", "b.py": "from .c import C\n", "c.py": "import os\n"},
            [],
            id="one-way",
        ),
        pytest.param(
            {"__init__.py": "from .a import A\nVERSION = 1\n", "a.py": "from . import VERSION, b\nfrom pkg import b\n", "b.py": ""},
            [],
            id="from-its-own-package",
        ),
    ],
)
def test_circles_are_found_wherever_the_import_stands(tmp_path, sources, expected):
    assert import_circles(write_package(tmp_path, sources)) == expected
