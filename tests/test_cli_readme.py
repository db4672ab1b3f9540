"""The README's and the guide's Python examples give the output printed beside them,
and the README keeps what a new user looks for on its first screen."""

import doctest
import re
from pathlib import Path

import numpy as np
import pytest

from ostrel import fenwy

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"


# Each page with its examples, and how many it has at least: a page whose
# examples were lost (a fence changed, a block moved) fails here.
@pytest.mark.parametrize(
    ("page", "at_least"),
    [
        ("README.md", 13),
        ("docs/guide/python.md", 16),
        ("docs/guide/segments.md", 11),
        ("docs/guide/functions.md", 16),
    ],
)
def test_examples_run_as_shown(page, at_least):
    path = ROOT / page
    # Fence lines end an example's expected output, as a blank line would.
    text = re.sub(r"^```.*$", "", path.read_text(encoding="utf-8"), flags=re.MULTILINE)
    test = doctest.DocTestParser().get_doctest(text, {"np": np, "fenwy": fenwy}, page, str(path), 0)
    assert len(test.examples) >= at_least
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_the_readme_stays_short_and_leads_to_the_api_segments_and_plots():
    text = README.read_text(encoding="utf-8")
    lines = text.splitlines()
    assert len(lines) <= 250
    # CI runs the second quick-start command as it stands.
    assert "```sh\npip install . && python -m ostrel\npip install '.[test]' && python -m pytest\n```" in text
    first_screen = "\n".join(lines[:20])
    for anchor in ("#the-python-api-in-a-notebook", "#segments-of-sound", "#plots"):
        assert f"]({anchor})" in first_screen
    headings = {line.lstrip("# ").lower() for line in lines if line.startswith("#")}
    assert {"the python api in a notebook", "segments of sound", "plots"} <= headings


def test_every_page_the_readme_links_to_exists():
    links = re.findall(r"\]\(((?:docs)/[^)#]+)\)", README.read_text(encoding="utf-8"))
    assert len(links) >= 15
    assert [link for link in links if not (ROOT / link).exists()] == []
