"""Shared fixtures: worker handles that are always killed, and a last sweep
that kills any worker process still alive when the session ends (workers are
not daemons, so one left behind would keep the test process from exiting)."""
import multiprocessing as mp

import pytest

import vorlen.tamsel as tamsel
from support import WAIT, stop_process


def pytest_configure(config):
    # Workers are forked while queue feeder threads run in this process; the
    # workers never rely on those threads.
    config.addinivalue_line(
        "filterwarnings",
        "ignore:This process .* is multi-threaded, use of fork:DeprecationWarning")


def pytest_collection_modifyitems(config, items):
    # The tests that start Dask run last (in every pytest-xdist worker alike,
    # which collect the same order): its threads stay alive in the test
    # process, and under the sanitizers (whose allocator has no fork
    # handler) a worker forked while one of them allocates never answers.
    items.sort(key=lambda item: item.path.name.startswith("test_cluster"))


@pytest.fixture(scope="session", autouse=True)
def _kill_leftover_workers():
    yield
    leftovers = mp.active_children()
    for proc in leftovers:
        if proc.is_alive():
            proc.kill()
    for proc in leftovers:
        proc.join(WAIT)


@pytest.fixture
def make_handle():
    """Factory for Tamsel handles; every handle it made is killed at test end."""
    made = []

    def make(*args, **kwargs):
        handle = tamsel.Tamsel(*args, **kwargs)
        made.append(handle)
        return handle

    yield make
    for handle in made:
        proc = handle.__dict__.get("proc")
        if proc is not None:
            stop_process(proc)


@pytest.fixture
def handle(make_handle):
    """One unnamed worker handle."""
    return make_handle()


@pytest.fixture
def start_worker():
    """Starts tamsel_main in a real process with two fresh queues; returns
    (qi, qo, proc). Every process started is killed at test end."""
    started = []

    def start(name=None):
        qi, qo = mp.Queue(), mp.Queue()
        proc = mp.Process(target=tamsel.tamsel_main, args=(name, qi, qo))
        proc.start()
        started.append(proc)
        return qi, qo, proc

    yield start
    for proc in started:
        stop_process(proc)
