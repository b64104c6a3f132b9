"""Helpers for the pool tests: a per-test sweep of worker processes, fake
handles that need no process, and a few requests that report on a worker."""
import multiprocessing as mp
import threading
import time
import types
from contextlib import contextmanager

import pytest

import vorlen.corvane as corvane
from support import WAIT, FakeQueue

PID_REQUEST = "import os\nxreturn(pid=os.getpid())"
TITLE_REQUEST = "import setproctitle\nxreturn(title=setproctitle.getproctitle())"


@pytest.fixture(autouse=True)
def reap_workers():
    """Kills and reaps every worker process that the test started, whether
    or not the test got as far as killing it itself."""
    before = {p.pid for p in mp.active_children()}
    yield
    started = [p for p in mp.active_children() if p.pid not in before]
    for proc in started:
        if proc.is_alive():
            proc.kill()
    for proc in started:
        proc.join(WAIT)


@contextmanager
def pool_of(*args, **kwargs):
    """A CorvanePool whose current workers are killed when the block ends."""
    pool = corvane.CorvanePool(*args, **kwargs)
    try:
        yield pool
    finally:
        kill_handles(pool)


def kill_handles(pool):
    procs = pool.__dict__.get("procs")
    if isinstance(procs, dict):
        for handle in list(procs.values()):
            proc = getattr(handle, "proc", None)
            if isinstance(proc, mp.process.BaseProcess) and not proc._closed and proc.is_alive():
                proc.kill()


def processes(pool):
    """The process objects of the pool's workers, in dealing order."""
    return [handle.proc for handle in pool.procs.values()]


def wait_dead(procs, timeout=WAIT):
    """Reaps the given processes; True when all of them have ended."""
    deadline = time.monotonic() + timeout
    for proc in procs:
        proc.join(max(0.0, deadline - time.monotonic()))
    return all(proc.exitcode is not None for proc in procs)


def titles(pool):
    """The process title of every worker, asked of the worker itself."""
    answers = pool.map([TITLE_REQUEST] * len(pool.procs))
    return [answer[3]["title"] for answer in answers]


def answered_pids(pool, count):
    """The pid of the worker that answered each of `count` requests."""
    return [answer[3]["pid"] for answer in pool.map([PID_REQUEST] * count)]


def wait_answers(queue, count, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while queue.qsize() < count and time.monotonic() < deadline:
        time.sleep(0.01)
    return queue.qsize() >= count


@contextmanager
def unblock_after(queues, seconds, marker="UNBLOCKED"):
    """If the block is still running after `seconds`, puts `marker` on each
    queue, so that a wait that should have ended by itself ends anyway and
    the test fails instead of hanging."""
    timer = threading.Timer(seconds, lambda: [q.put(marker) for q in queues])
    timer.start()
    try:
        yield
    finally:
        timer.cancel()


class FakeHandle:
    """Handle-like object without a process; records the calls it gets."""

    next_pid = 10_000

    def __init__(self, name=None, log=None):
        self.name = name
        self.log = log if log is not None else []
        self.qi = FakeQueue()
        self.qo = FakeQueue()
        FakeHandle.next_pid += 1
        self.proc = types.SimpleNamespace(pid=FakeHandle.next_pid)

    def kill(self):
        self.log.append(("kill", self.proc.pid))

    def clear_output(self):
        self.log.append(("clear_output", self.proc.pid))


def fake_worker_module(log=None):
    """A stand-in for the worker module whose Tamsel builds FakeHandles."""
    made = []

    def make(name=None):
        handle = FakeHandle(name, log)
        made.append(handle)
        return handle

    return types.SimpleNamespace(Tamsel=make, made=made)
