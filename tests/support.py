"""Helpers shared by the tests: bounded waits and queue-like stand-ins."""
import time

# Upper bound for any single wait on a queue or a process inside a test.
WAIT = 10.0

# A request that no interrupt reaches: it blocks every signal, then waits.
DEAF = ("import signal, time\n"
        "signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())\n"
        "time.sleep(60)")

# What the stand-in queues hand out once their prepared items are gone.
ANSWER = ["SUCCESS", "", "", {}]


def stop_process(proc, timeout=WAIT):
    """Kills `proc` if it is still running and reaps it."""
    if proc.is_alive():
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
