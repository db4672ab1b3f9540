import gc
import os
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest

# The plain-Python model beside the tests.
sys.path.insert(0, str(Path(__file__).parent))

# The commands the tests run see what a user's shell gives them by default:
# stdout buffered when it is a pipe, workers started as ostrel chooses. A
# test that depends on another value sets it.
for variable in ("PYTHONUNBUFFERED", "OSTREL_START_METHOD"):
    os.environ.pop(variable, None)


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


# One part of a cluster in a process of its own, so that a test can kill it:
# a scheduler (no argument) or a worker of one thread (the scheduler's
# address). Its address on stdout, the end on stdin's end.
CLUSTER_PART = """
import asyncio
import sys
from distributed import Scheduler, Worker

async def main():
    if len(sys.argv) > 1:
        part = Worker(sys.argv[1], nthreads=1, host="127.0.0.1")
    else:
        part = Scheduler(host="127.0.0.1", port=0, dashboard_address=None)
    async with part:
        print(part.address, flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)

asyncio.run(main())
"""

# Put before a part's code: importing ostrel then fails as where it is not installed.
WITHOUT_OSTREL = """
import sys

class NoOstrel:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == "ostrel":
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

sys.meta_path.insert(0, NoOstrel())
"""


@pytest.fixture
def own_cluster(tmp_path):
    """Starts a scheduler, and workers on request, that the test may kill:
    ``own_cluster()`` gives (address, process) of a scheduler,
    ``own_cluster(address)`` of a worker; ``without_ostrel=True`` starts one
    that cannot import ostrel. All are ended after the test."""
    processes = []

    def start(*scheduler, without_ostrel=False):
        # A part whose environment lacks ostrel, as on a cluster set up apart.
        code = (WITHOUT_OSTREL if without_ostrel else "") + CLUSTER_PART
        with (tmp_path / "cluster.log").open("a") as stderr:
            process = subprocess.Popen(
                [sys.executable, "-c", code, *scheduler],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr, text=True,
            )
        processes.append(process)
        ready, _, _ = select.select([process.stdout], [], [], 60)
        address = process.stdout.readline().strip() if ready else ""
        assert address.startswith("tcp://127.0.0.1:"), (tmp_path / "cluster.log").read_text()
        return address, process

    yield start
    for process in processes:
        process.kill()
        process.wait()
