"""The README's and the guide's Python examples give the output printed beside them,
and the README keeps what a new user looks for on its first screen."""

import csv
import doctest
import re
import subprocess
import sys
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


def test_the_segments_guides_python_script_cuts_the_pieces_of_split(tmp_path, capsys):
    """The script that cuts a folder from Python writes the samples and times of `--split`."""
    soundfile = pytest.importorskip("soundfile")
    from ostrel.cli import main
    from test_segments import RATE, noise, placed, tone

    guide = (ROOT / "docs" / "guide" / "segments.md").read_text(encoding="utf-8")
    section = guide[guide.index("### From Python") :]
    start = section.index("```python\n") + len("```python\n")
    script = section[start : section.index("```\n", start)]
    (tmp_path / "cut.py").write_text(script, encoding="utf-8")
    recordings = tmp_path / "recordings"
    recordings.mkdir()
    # The second tone crosses a block of the file reader; 24-bit stereo must come out exact too.
    signal = placed(noise(6.0, -60), (1.0, tone(1.0, -12)), (3.5, tone(1.0, -12, 330)))
    soundfile.write(recordings / "a.wav", signal, RATE, subtype="PCM_16")
    soundfile.write(recordings / "b.wav", np.stack([signal, signal[::-1]], axis=1), RATE, subtype="PCM_24")

    ran = subprocess.run([sys.executable, "cut.py"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert (ran.returncode, ran.stderr) == (0, "")
    assert main([str(recordings), "--split", str(tmp_path / "split")]) == 0
    capsys.readouterr()

    def manifest(folder):
        with open(folder / "manifest.csv", newline="") as file:
            return [(row["source"], row["n"], row["start_s"], row["end_s"], row["path"]) for row in csv.DictReader(file)]

    ours, theirs = manifest(tmp_path / "utterances"), manifest(tmp_path / "split")
    assert [Path(row[0]).name for row in ours] == ["a.wav", "a.wav", "b.wav", "b.wav"]
    assert [row[1:4] for row in ours] == [row[1:4] for row in theirs]
    for mine, split in zip(ours, theirs):
        piece = soundfile.read(tmp_path / "utterances" / mine[4], dtype="int32")[0]
        expected = soundfile.read(tmp_path / "split" / split[4], dtype="int32")[0]
        assert piece.tobytes() == expected.tobytes()
