"""vorlen.map: a pool's batch with time limits, dealing to the first free
worker, and a progress report."""
from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import vorlen
from vorlen import _control, _progress
from vorlen._balance import BalancedBatch
from vorlen._arguments import GRACE, seconds
from vorlen._timed import timed
from vorlen._types import Answer, Batch

if TYPE_CHECKING:
    import vorlen.corvane


def map(pool: vorlen.corvane.CorvanePool | Any, args: Batch, *, timeout: float | None = None,
        grace: float = GRACE, balance: bool = False,
        progress: bool | Callable[[int, int], Any] = False) -> list[Answer]:
    """The answers to the requests of ``args`` on ``pool``, in request order.

    ``timeout`` limits each request separately, counted from when its worker
    starts it; a request past its limit gets the time-limit answer while the
    others run as usual. A request that has not answered ``grace`` seconds
    after its interrupt (its limit, or ``vorlen.interrupt``) costs its
    worker: it is killed and ``vorlen.WorkerDiedError`` raised.

    ``balance``: false deals request k to worker k mod N, exactly as
    ``pool.map(args)`` does (right when each worker holds its own state);
    true sends each request to whichever worker becomes free first, keeping
    only a few requests in flight per worker (for requests that may run on
    any worker, such as after the same set-up was sent to every worker).

    ``progress``: true shows a bar of answered against total requests, with
    the count of failed answers, on standard error (its notebook form under
    Jupyter); a callable is called as ``progress(done, total)`` after each
    answer instead; false prints nothing.

    A pool whose class defines ``__vorlen_map__(self, args, *, timeout,
    grace, **options)`` runs the batch itself; ``balance`` and ``progress``
    reach it as options only when they are set.
    """
    hook = getattr(type(pool), "__vorlen_map__", None)
    if hook is not None:
        options = {name: value for name, value in (("balance", balance), ("progress", progress))
                   if value}
        return hook(pool, args, timeout=timeout, grace=grace, **options)
    grace = seconds(grace, "grace", "map", allow_zero=True)
    limit = None if timeout is None else seconds(timeout, "timeout", "map")
    requests = list(args)
    report = _progress.reporter(progress, len(requests))
    try:
        tokens = _with_limits(requests, limit)
        if balance:
            return BalancedBatch(pool, requests, tokens, grace, report).run()
        return _dealt_by_position(pool, requests, tokens, grace, report)
    finally:
        if report is not None:
            report.close()


def _with_limits(requests: list[Any], limit: float | None) -> list[int]:
    """Wraps each request with its time limit, in place; the token that
    names each on its worker's page (0 for all when there is no limit)."""
    tokens = [0] * len(requests)
    if limit is not None:
        for position, request in enumerate(requests):
            requests[position], tokens[position] = timed(request, limit)
    return tokens


def _dealt_by_position(pool: Any, requests: list[Any], tokens: list[int], grace: float,
                       report: Any) -> list[Any]:
    """pool.map's dealing; the answers read in request order, each watched
    for a request that ignores its interrupt."""
    pool.map(requests, block=False)
    handles = list(pool.procs.values())
    answers = []
    for position, token in enumerate(tokens):
        answer = _control.wait_answer(handles[position % len(handles)], token, grace)
        answers.append(answer)
        if report is not None:
            report.answered(position + 1, answer)
    return answers
