import sys
from pathlib import Path

import pytest

# The plain-Python model beside the tests.
sys.path.insert(0, str(Path(__file__).parent))


@pytest.fixture
def fenwy():
    import ostrel.fenwy

    return ostrel.fenwy


@pytest.fixture
def restore_globals(fenwy):
    """Lets a test rebind or delete module globals; puts them back after."""
    namespace = vars(fenwy)
    saved = dict(namespace)
    yield namespace
    for key in list(namespace):
        if key not in saved:
            del namespace[key]
    namespace.update(saved)
