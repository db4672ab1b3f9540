"""Frame-wise analysis of audio and other one-dimensional signals.

The functions live in the extension module :mod:`ostrel.fenwy`; the analysis
of signals and files in :mod:`ostrel.analysis`, whose names are also
available here. Importing this package alone stays light: numpy is imported
on the first use of one of them.
"""

__version__ = "0.1.0"

# Names of ostrel.analysis that ``ostrel.<name>`` hands out, imported on first use.
_ANALYSIS_NAMES = frozenset(
    {
        "Analysis", "InputError", "SegmentSettings", "Settings", "Track", "analyse", "analyse_file", "blocks",
        "find_segments", "read_audio",
    }
)

__all__ = ["__version__", "analysis", *sorted(_ANALYSIS_NAMES)]


# Annotated without typing, whose import would lengthen the moment before
# the command holds Ctrl-C; the stub gives each name its type.
def __getattr__(name: str) -> object:
    if name == "analysis" or name in _ANALYSIS_NAMES:
        import importlib

        module = importlib.import_module("ostrel.analysis")
        return module if name == "analysis" else getattr(module, name)
    raise AttributeError(f"module 'ostrel' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
