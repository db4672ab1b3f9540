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


@pytest.fixture(scope="session")
def dask_scheduler():
    """The address of a real Dask scheduler on 127.0.0.1 with two worker
    processes, started for the first test that asks and kept for the rest."""
    from distributed import LocalCluster

    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster:
        yield cluster.scheduler_address
