"""The README's Python examples give the output printed beside them."""

import doctest
import re
from pathlib import Path

import numpy as np

from ostrel import fenwy

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples_run_as_shown():
    # Fence lines end an example's expected output, as a blank line would.
    text = re.sub(r"^```.*$", "", README.read_text(encoding="utf-8"), flags=re.MULTILINE)
    test = doctest.DocTestParser().get_doctest(text, {"np": np, "fenwy": fenwy}, "README.md", str(README), 0)
    assert len(test.examples) >= 15
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
