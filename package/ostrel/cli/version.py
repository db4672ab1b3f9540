"""``--version``: the versions that decide results, and the CPU paths the
kernels take in this process, for bug reports and for checking that
``OSTREL_DISABLE_CPU_FEATURES`` took effect."""

from __future__ import annotations

import argparse
import platform
from collections.abc import Sequence
from typing import Any, NoReturn

from .. import __version__

_USES = {
    "used": "used",
    "disabled": "disabled by OSTREL_DISABLE_CPU_FEATURES",
    "unavailable": "not on this machine",
}


def version_report() -> str:
    import numpy

    # Importing the module fixes its choice of paths, and warns about unknown names.
    from .. import _cpu, fenwy  # noqa: F401

    paths = ", ".join(f"{name} ({_USES[use]})" for name, use in _cpu.features())
    return "\n".join([
        f"ostrel {__version__}",
        f"Python {platform.python_version()} ({platform.python_implementation()})",
        f"numpy {numpy.__version__}",
        f"CPU features of the kernels: {paths}",
    ])


class VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        print(version_report(), flush=True)
        parser.exit()
