import gc
import select
import subprocess
import sys
import time
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


# A scheduler and two worker processes; the address on stdout, the end on
# stdin's end.
CLUSTER = """
import sys
from distributed import LocalCluster

with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None) as cluster:
    print(cluster.scheduler_address, flush=True)
    sys.stdin.read()
"""


@pytest.fixture(scope="session")
def dask_scheduler(tmp_path_factory):
    """The address of a real Dask scheduler on 127.0.0.1 with two worker
    processes, started for the first test that asks and kept for the rest.

    It runs in a process of its own: its threads beside the tests would
    change the reference counts that other tests measure."""
    log = tmp_path_factory.mktemp("dask") / "cluster.log"
    with log.open("w") as stderr:
        process = subprocess.Popen([sys.executable, "-c", CLUSTER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr, text=True)
    try:
        # The address comes in one write; a cluster that never starts fails here.
        ready, _, _ = select.select([process.stdout], [], [], 120)
        address = process.stdout.readline().strip() if ready else ""
        assert address.startswith("tcp://127.0.0.1:"), log.read_text()
        yield address
    finally:
        process.stdin.close()
        try:
            process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@pytest.fixture
def dask_client_address(dask_scheduler):
    """The scheduler's address, for a client in the test process itself.

    A client leaves garbage in cycles (its coroutines, futures, timeouts)
    whose collection runs code in distributed's threads; collected here and
    given time to settle, it cannot change a later test's reference counts."""
    yield dask_scheduler
    gc.collect()
    time.sleep(1)
