"""Dealing a batch to whichever worker becomes free first.

The loop itself (wait on every worker at once, take an answer, send the
next request to the worker that gave it) runs in C++, in
``vorlen._wire.deal``, which also chooses how many requests each worker
holds at a time; this module prepares its arguments.
"""
import multiprocessing.process

from vorlen import _wire

# A fixed number of requests in flight per worker instead of the one
# derived from the requests' durations (set by the benchmark to compare).
FIXED_IN_FLIGHT = 0


class BalancedBatch:
    """One batch dealt over a pool's workers by who is free first; answers
    in request order.

    Two places take per-request machinery: ``prepare`` (None, or a function
    of a request's position returning what goes on the worker's queue, for
    example the request wrapped with a time limit) and ``check`` (None, or a
    function called after every wait, and at least every ``tick`` seconds
    when ``tick`` is set).
    """

    def __init__(self, pool, requests, report):
        self.pool = pool
        self.requests = requests
        self.report = report
        self.prepare = None
        self.check = None
        self.tick = None

    def run(self):
        answers = [None] * len(self.requests)
        if not self.requests:
            return answers
        workers = [_worker(handle) for handle in list(self.pool.procs.values())]
        self.pool.clear_output()
        report = None if self.report is None else self.report.answered
        _wire.deal(workers, self.requests, answers, FIXED_IN_FLIGHT,
                   self.prepare, self.check, self.tick, report)
        return answers


def _worker(handle):
    """(qi, qo, process, reader, sentinel) of one local worker handle."""
    try:
        qi, qo, process = handle.qi, handle.qo, handle.proc
        if not isinstance(process, multiprocessing.process.BaseProcess):
            raise AttributeError("sentinel")
        sentinel = process.sentinel
        reader = qo._reader.fileno()
    except (AttributeError, ValueError, OSError):
        raise TypeError(f"balance=True needs a pool of local worker handles (Tamsel), "
                        f"not {type(handle).__name__!r}") from None
    return (qi, qo, process, reader, sentinel)
