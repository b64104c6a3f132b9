"""vorlen.map: a pool's batch with the options the pool's own map lacks."""
from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

from vorlen import _progress
from vorlen._balance import BalancedBatch
from vorlen._completion import as_completed


if TYPE_CHECKING:
    from vorlen.corvane import CorvanePool
    from vorlen.tamsel import Answer, Request


def map(pool: CorvanePool, args: Iterable[Request], *, timeout: float | None = None,
        balance: bool = False,
        progress: bool | Callable[[int, int], Any] = False) -> list[Answer]:
    """The answers to the requests of ``args`` on ``pool``, in request order.

    ``balance``: false deals request k to worker k mod N, exactly as
    ``pool.map(args)`` does (right when each worker holds its own state);
    true sends each request to whichever worker becomes free first, keeping
    only a few requests in flight per worker (for requests that may run on
    any worker, such as after the same set-up was sent to every worker).

    ``progress``: true shows a bar of answered against total requests, with
    the count of failed answers, on standard error (its notebook form under
    Jupyter); a callable is called as ``progress(done, total)`` after each
    answer instead; false prints nothing.

    ``timeout``: a time limit per request; not available yet, so anything
    but None raises NotImplementedError.

    A worker that dies raises ``vorlen.WorkerDiedError``.
    """
    if timeout is not None:
        raise NotImplementedError(
            "vorlen.map: per-request time limits (timeout) are not available yet")
    requests = list(args)
    report = _progress.reporter(progress, len(requests))
    try:
        if balance:
            return BalancedBatch(pool, requests, report).run()
        if report is None:
            return pool.map(requests)
        return _collect_as_they_come(pool.map(requests, block=False), report)
    finally:
        if report is not None:
            report.close()


def _collect_as_they_come(queues: list[Any], report: Any) -> list[Any]:
    answers: list[Any] = [None] * len(queues)
    for done, (index, answer) in enumerate(as_completed(queues), 1):
        answers[index] = answer
        report.answered(done, answer)
    return answers
