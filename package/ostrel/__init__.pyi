from ostrel import analysis as analysis
from ostrel.analysis import Analysis as Analysis
from ostrel.analysis import InputError as InputError
from ostrel.analysis import SegmentSettings as SegmentSettings
from ostrel.analysis import Settings as Settings
from ostrel.analysis import Track as Track
from ostrel.analysis import analyse as analyse
from ostrel.analysis import analyse_file as analyse_file
from ostrel.analysis import blocks as blocks
from ostrel.analysis import find_segments as find_segments
from ostrel.analysis import read_audio as read_audio

__version__: str
__all__: list[str]
