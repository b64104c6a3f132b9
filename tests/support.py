"""Helpers shared by the tests: bounded waits and queue-like stand-ins, also
the scripted queues that run the worker loop inside the test process, and
what a process holds of shared memory."""
import os
import time

import pytest

# Upper bound for any single wait on a queue or a process inside a test.
WAIT = 10.0

# A request that no interrupt reaches: it blocks every signal, then waits.
DEAF = ("import signal, time\n"
        "signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())\n"
        "time.sleep(60)")

# What the stand-in queues hand out once their prepared items are gone.
ANSWER = ["SUCCESS", "", "", {}]


@pytest.fixture(scope="module", autouse=True)
def low_threshold():
    """Arrays of a few KiB already go through shared memory (autouse in the
    modules that import it)."""
    before = os.environ.get("VORLEN_SHM_THRESHOLD")
    os.environ["VORLEN_SHM_THRESHOLD"] = "4K"
    yield
    if before is None:
        del os.environ["VORLEN_SHM_THRESHOLD"]
    else:
        os.environ["VORLEN_SHM_THRESHOLD"] = before


def stop_process(proc, timeout=WAIT):
    """Kills `proc` if it is still running and reaps it."""
    try:
        alive = proc.is_alive()
    except ValueError:  # closed: it has ended and been reaped
        return
    if alive:
        proc.kill()
    proc.join(timeout)


def wait_for(predicate, timeout=WAIT, interval=0.01):
    """Polls `predicate` until it is true; False if it never became true."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return bool(predicate())


def wait_for_items(q, count, timeout=WAIT):
    """Waits until the multiprocessing queue `q` holds `count` items."""
    return wait_for(lambda: q.qsize() >= count, timeout)


class FakeQueue:
    """Queue-like object without a pipe: get() hands out the prepared items
    in order and then ANSWER, empty() is true once the prepared items are
    gone, put() drops what it is given."""

    def __init__(self, items=()):
        self.items = list(items)

    def put(self, item):
        pass

    def get(self, *args, **kwargs):
        return self.items.pop(0) if self.items else ANSWER

    def empty(self):
        return not self.items


class EndLoop(BaseException):
    """Raised by ScriptedInput once its steps are used up: the worker loop
    does not handle it, so a run ends exactly after its script."""


class Raise:
    """A scripted step: qi.get raises `exc` instead of returning a request."""

    def __init__(self, exc):
        self.exc = exc


class ScriptedInput:
    """Input stand-in for the worker loop: hands out its steps, then raises
    EndLoop."""

    def __init__(self, steps):
        self.steps = list(steps)
        self.calls = []

    def get(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if not self.steps:
            raise EndLoop
        step = self.steps.pop(0)
        if isinstance(step, Raise):
            raise step.exc
        return step


class AnswerList:
    """Output stand-in for the worker loop; the first `failures` puts raise."""

    def __init__(self, failures=0):
        self.answers = []
        self.failures = failures

    def put(self, answer):
        if self.failures:
            self.failures -= 1
            raise RuntimeError("put refused")
        self.answers.append(answer)


# ---- what a process holds of shared memory ---------------------------------

def descriptors(pid="self"):
    """This (or another) process's open descriptors and what they point to."""
    found = {}
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            found[fd] = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            pass
    return found


def segment_descriptors(pid="self"):
    """The descriptors of shared-memory segments a process holds."""
    return [t for t in descriptors(pid).values() if "vorlen-array" in t]


def segment_mappings(pid="self"):
    """The mappings of shared-memory segments a process holds."""
    with open(f"/proc/{pid}/maps") as maps:
        return [line for line in maps if "vorlen-array" in line]


def shared_rss_kib(pid="self"):
    """The shared memory a process has mapped and touched (RssShmem), KiB."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("RssShmem:"):
                return int(line.split()[1])
    return 0


def holds_no_segment(pid="self", rss_kib=None, slack_kib=4096):
    """Whether a process holds no segment (descriptor or mapping) and, given
    its shared RSS from before, is back within `slack_kib` of it. A process
    that has ended holds nothing."""
    try:
        return (not segment_descriptors(pid) and not segment_mappings(pid) and
                (rss_kib is None or shared_rss_kib(pid) <= rss_kib + slack_kib))
    except FileNotFoundError:
        return True
