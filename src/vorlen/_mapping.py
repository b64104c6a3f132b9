"""vorlen.map: a pool's batch with time limits, dealing to the first free
worker, and a progress report."""
from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import multiprocessing.process
import multiprocessing.queues

import vorlen
from vorlen import _balance, _progress, _supervision, _wire
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
    Either way every worker is watched while the batch runs.

    When the call ends early (an exception: Ctrl-C, a progress callable that
    raised, a dead worker), its requests that have not started never run,
    the running ones are interrupted, and their answers never reach a later
    call. A dead worker raises ``vorlen.WorkerDiedError`` whose
    ``positions`` and ``answers`` tell what was lost and what was done, and
    ``position`` and ``request`` which request it was running.

    A worker that ends on a pool under ``vorlen.supervise``, or that is
    above its memory limit (``vorlen.limit_memory``), is replaced while the
    batch runs: the requests on it that had not started go to the new
    worker, and the batch raises ``vorlen.WorkerDiedError`` for those that
    had (never run twice) once every other request is answered.

    ``progress``: true shows a bar of answered against total requests, with
    the count of failed answers, on standard error (its notebook form under
    Jupyter); a callable is called as ``progress(done, total)`` after each
    answer instead; false prints nothing.

    A pool whose class defines ``__vorlen_map__(self, args, *, timeout,
    grace, **options)`` runs the batch itself; ``balance`` and ``progress``
    reach it as options only when they are set.
    """
    if isinstance(args, (str, bytes)):
        raise TypeError(f"map() argument 'args' must be an iterable of requests, not a "
                        f"{type(args).__name__} (a single source text is one request: "
                        "pass [text])")
    if not isinstance(balance, bool):
        raise TypeError(f"map() argument 'balance' must be a bool, not {type(balance).__name__}")
    hook = getattr(type(pool), "__vorlen_map__", None)
    if hook is not None:
        options = {name: value for name, value in (("balance", balance), ("progress", progress))
                   if value}
        answers: list[Answer] = hook(pool, args, timeout=timeout, grace=grace, **options)
        return answers
    grace = seconds(grace, "grace", "map", allow_zero=True)
    limit = None if timeout is None else seconds(timeout, "timeout", "map")
    requests = list(args)
    report = _progress.reporter(progress, len(requests))
    try:
        tokens = _with_limits(requests, limit)
        handles = list(pool.procs.values())
        local = all(_is_local(handle) for handle in handles)
        if balance and not local and requests:
            raise TypeError("balance=True needs a pool of local worker handles (Tamsel)")
        answered = None if report is None else report.answered
        if not local:
            return _in_order(pool, requests, answered)
        pool.clear_output()
        handles = list(pool.procs.values())
        recover = _supervision.recoverer(pool, handles) if type(pool.procs) is dict else None
        return _wire.deal(handles, requests, tokens, grace, balance,
                          _balance.FIXED_IN_FLIGHT, answered, recover)
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


def _is_local(handle: Any) -> bool:
    """Whether `handle` is a worker handle of this process, with its own
    queues and process: one that vorlen._wire.deal can watch."""
    return (type(getattr(handle, "qi", None)) is multiprocessing.queues.Queue
            and type(getattr(handle, "qo", None)) is multiprocessing.queues.Queue
            and isinstance(getattr(handle, "proc", None), multiprocessing.process.BaseProcess))


def _in_order(pool: Any, requests: list[Any], answered: Any) -> list[Any]:
    """pool.map's dealing for pools of other handles: the answers read in
    request order (no watch of time limits' grace periods)."""
    queues = pool.map(requests, block=False)
    answers = []
    for position, queue in enumerate(queues):
        answers.append(_wire.receive(queue, None))
        if answered is not None:
            answered(position + 1, answers[-1])
    return answers
