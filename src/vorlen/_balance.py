"""Dealing a batch to whichever worker becomes free first.

The loop itself (wait on every worker at once, take an answer, send the
next request to the worker that gave it) runs in C++, in
``vorlen._wire.deal``, which also chooses how many requests each worker
holds at a time; this module prepares its arguments and keeps the time
limits' watch: while the batch runs, ``deal`` asks it now and then whether
a worker ignores the interrupt of the request it runs (its time limit, or a
``vorlen.interrupt`` from another thread) for longer than the grace period,
and such a worker is killed and ``WorkerDiedError`` raised.
"""
import multiprocessing.process

from vorlen import _control, _wire

# A fixed number of requests in flight per worker instead of the one
# derived from the requests' durations (set by the benchmark to compare).
FIXED_IN_FLIGHT = 0


class BalancedBatch:
    """One batch dealt over a pool's workers by who is free first; answers
    in request order. `requests` are what goes on the workers' queues (time
    limits already wrapped around them), `tokens` name each request on its
    worker's control page (0: no time limit)."""

    def __init__(self, pool, requests, tokens, grace, report):
        self.pool = pool
        self.requests = requests
        self.tokens = tokens
        self.grace = grace
        self.report = report
        self.workers = []

    def run(self):
        answers = [None] * len(self.requests)
        if not self.requests:
            return answers
        self.workers = [_worker(handle) for handle in list(self.pool.procs.values())]
        self.pool.clear_output()
        report = None if self.report is None else self.report.answered
        _wire.deal(self.workers, self.requests, answers, FIXED_IN_FLIGHT, self.check, report)
        return answers

    def check(self, running):
        """For each worker running a request of the batch, kills it (raising
        WorkerDiedError) if that request is overdue; the seconds until one
        may next be overdue, or None when no worker can tell."""
        soonest = None
        for (qi, _, process, _, _), position in zip(self.workers, running):
            if position is None:
                continue
            wait = _control.escalate(qi, process, self.tokens[position], self.grace)
            if wait is not None and (soonest is None or wait < soonest):
                soonest = wait
        return soonest


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
