"""Helpers for the tests of ClusterPool: one LocalCluster of 2 Dask worker
processes on the loopback for the whole module, pools that are always
killed, and checks on the vorlen worker processes themselves."""
import os
import time
from contextlib import contextmanager

import psutil
import pytest

distributed = pytest.importorskip("distributed")

from vorlen.cluster import ClusterPool  # noqa: E402

# Upper bound for any single wait inside a cluster test.
WAIT = 15.0
# A lost Dask worker or vorlen worker must be reported within this time.
PROMPT = 6.0

PID_REQUEST = "import os\nxreturn(pid=os.getpid(), ppid=os.getppid())"
TITLE_REQUEST = "import setproctitle\nxreturn(title=setproctitle.getproctitle())"


@pytest.fixture(scope="module")
def cluster():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address="127.0.0.1:0")
    try:
        yield cluster
    finally:
        cluster.close(timeout=WAIT)


@pytest.fixture(scope="module")
def client(cluster):
    client = distributed.Client(cluster, timeout=WAIT)
    try:
        yield client
    finally:
        client.close(timeout=WAIT)


@pytest.fixture
def make_pool(client):
    """Factory for ClusterPools; every pool it made is killed at test end,
    and the cluster has its 2 Dask workers again for the next test."""
    made = []

    def make(*args, client=client, **kwargs):
        pool = ClusterPool(client, *args, **kwargs)
        made.append(pool)
        return pool

    yield make
    for pool in made:
        try:
            pool.kill_all()
        except Exception:
            pass
    client.wait_for_workers(2, timeout=WAIT)


def worker_pids(pool):
    return [handle.pid for handle in pool.procs.values()]


def alive(pid):
    """Whether process `pid` runs (a zombie does not count)."""
    try:
        return psutil.Process(pid).status() != psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return False


def all_gone(pids, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not any(alive(pid) for pid in pids):
            return True
        time.sleep(0.05)
    return not any(alive(pid) for pid in pids)


def vorlen_keys(client, part):
    """The keys of the scheduler's tasks whose name holds `part` (a pool's
    hosts are tasks named after their workers)."""
    def keys(dask_scheduler):
        return [str(key) for key in dask_scheduler.tasks if part in str(key)]
    return client.run_on_scheduler(keys)


def dask_worker_pids(client):
    """Dask worker address -> its process id."""
    return client.run(os.getpid)


@contextmanager
def within(seconds):
    """Fails the test when the block took longer than `seconds`."""
    started = time.monotonic()
    yield
    took = time.monotonic() - started
    assert took < seconds, f"took {took:.1f} s, more than {seconds} s"
