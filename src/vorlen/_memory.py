"""vorlen.limit_memory: a limit on a worker's resident memory, kept by the
worker itself.

The limit goes on the page the worker shares with its parent. After each
request the worker compares its resident memory with it: above it, it adds
a warning line to that request's printed text and runs no further request
(each is answered as not run) until it is replaced; ``vorlen.map`` replaces
such a worker of a pool at once, with its set-up, and sends it the requests
the old one turned away. While a request runs, a native thread of the
worker looks every 20 ms and ends the worker when it passes the limit; the
call waiting for that request raises ``vorlen.WorkerDiedError`` saying so.
"""
from __future__ import annotations

from typing import TYPE_CHECKING

import vorlen
from vorlen import _records, _restarting

if TYPE_CHECKING:
    import vorlen.corvane
    import vorlen.tamsel


def limit_memory(target: vorlen.tamsel.Tamsel | vorlen.corvane.CorvanePool, limit: int | None,
                 *, during: bool = True) -> None:
    """Limits the resident memory of the worker of the handle `target`, or
    of every worker of the pool `target`, to `limit` bytes (``None`` lifts
    the limit). A restarted worker keeps its predecessor's limit.

    After a request, a worker above the limit adds a warning line to that
    request's printed text and runs no further request: ``vorlen.map`` and
    ``vorlen.restart`` put a new worker (with its set-up) in its place
    before its next request; a handle's next requests are answered
    ``"EXCEPTION"``, not run, until ``vorlen.restart(handle)`` gives a new
    one.

    `during`: also check while a request runs (every 20 ms, by a native
    thread of the worker) and end the worker as soon as it passes the
    limit, so that the request fails with ``vorlen.WorkerDiedError`` naming
    the limit; false checks only after each request.
    """
    if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int)):
        raise TypeError(f"limit_memory() argument 'limit' must be a number of bytes or None, "
                        f"not {type(limit).__name__}")
    if limit is not None and limit <= 0:
        raise ValueError(f"limit_memory() argument 'limit' must be more than zero, not {limit}")
    if not isinstance(during, bool):
        raise TypeError(f"limit_memory() argument 'during' must be a bool, "
                        f"not {type(during).__name__}")
    if _restarting._is_pool(target):
        handles = list(_restarting._procs(target).values())
    elif _restarting._is_handle(target):
        handles = [target]
    else:
        raise TypeError("limit_memory() argument must be a Tamsel or a CorvanePool, "
                        f"not {type(target).__name__}")
    for handle in handles:
        _records.apply_limit(handle, limit, during)
