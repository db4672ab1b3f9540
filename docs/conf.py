"""Sphinx settings for ostrel's documentation; tools/build-docs builds it with warnings as errors."""

import ast
from pathlib import Path

import ostrel

project = "ostrel"
release = version = ostrel.__version__
author = "the ostrel developers"
copyright = "the ostrel developers"

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "examples/README.txt", "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip"]
suppress_warnings = ["myst.header"]
myst_heading_anchors = 3

html_theme = "alabaster"
html_theme_options = {"description": "Frame-wise signal analysis for audio", "fixed_sidebar": True}
html_static_path: list[str] = []

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# The extension's functions carry the specified docstrings; their types live in the stub.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_validation_checks: set[str] = set()

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    # Every example draws its picture at build time, from signals it makes itself.
    "abort_on_example_error": True,
    "matplotlib_animations": False,
}


def _stub_signatures() -> dict[str, tuple[str, str]]:
    """The signature and return annotation of each function in ostrel.fenwy's stub."""
    stub = Path(ostrel.__file__).with_name("fenwy.pyi")
    found = {}
    for node in ast.parse(stub.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.FunctionDef):
            arguments = ast.unparse(node.args).replace("_Signal", "NDArray[integer | floating]")
            found[f"ostrel.fenwy.{node.name}"] = (f"({arguments})", ast.unparse(node.returns) if node.returns else "")
    return found


STUB_SIGNATURES = _stub_signatures()


def _signature_from_stub(app, what, name, obj, options, signature, return_annotation):
    return STUB_SIGNATURES.get(name, (signature, return_annotation))


def setup(app):
    app.connect("autodoc-process-signature", _signature_from_stub)
