"""vorlen.supervise, and the replacing of a pool's workers while
``vorlen.map`` deals a batch.

A supervised pool gets a worker that ended replaced by the call that
notices (``vorlen.map``: its wait watches every worker of the batch), up to
a number of restarts within a span of time; past that budget the death is
reported as on any pool. A worker that turned a request away because it is
above its memory limit is replaced whether or not the pool is supervised,
and outside the budget: that restart is what the limit promises.
"""
from __future__ import annotations

import collections
import math
import time
import weakref
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import vorlen
from vorlen import _restarting
from vorlen._errors import WorkerDiedError

if TYPE_CHECKING:
    import vorlen.corvane


class _Budget:
    """How many restarts a pool may have within how many seconds, and when
    it had its recent ones."""

    __slots__ = ("restarts", "within", "times")

    def __init__(self, restarts: int, within: float) -> None:
        self.restarts = restarts
        self.within = within
        self.times: collections.deque[float] = collections.deque()

    def spend(self) -> bool:
        """Takes one restart if the budget has one left now."""
        now = time.monotonic()
        while self.times and now - self.times[0] >= self.within:
            self.times.popleft()
        if len(self.times) >= self.restarts:
            return False
        self.times.append(now)
        return True


_budgets: weakref.WeakKeyDictionary[Any, _Budget] = weakref.WeakKeyDictionary()


def supervise(pool: vorlen.corvane.CorvanePool, *, restarts: int = 3,
              within: float = 60.0) -> None:
    """From now on, a worker of `pool` that ends is restarted, with its
    set-up (``vorlen.setup``), by the next call that notices
    (``vorlen.map``, which watches every worker while a batch runs), up to
    `restarts` times within any `within` seconds; past that, a death is
    reported as without supervision, until older restarts fall out of the
    span. ``restarts=0`` ends the supervision.

    The request the worker was running still fails: the batch answers every
    other request and then raises ``vorlen.WorkerDiedError`` for it (its
    ``positions`` and ``answers`` tell), and it is never run again. The
    other requests of the batch that were queued on that worker and had not
    started are sent to the restarted worker. A worker killed for not
    responding to its interrupt is a death like any other.
    """
    if isinstance(restarts, bool) or not isinstance(restarts, int) or restarts < 0:
        raise ValueError(f"supervise() argument 'restarts' must be an int of zero or more, "
                         f"not {restarts!r}")
    if isinstance(within, bool) or not isinstance(within, (int, float)) or \
            math.isnan(within) or within <= 0:
        raise ValueError(f"supervise() argument 'within' must be more than zero seconds, "
                         f"not {within!r}")
    _restarting._procs(pool)  # a pool of local workers
    if restarts == 0:
        _budgets.pop(pool, None)
    else:
        _budgets[pool] = _Budget(restarts, float(within))


def recoverer(pool: Any, handles: list[Any]) -> Callable[[int, WorkerDiedError | None], Any]:
    """What ``vorlen._wire.deal`` calls for a worker of `handles` (the pool's
    handles when the batch began) that ended (`error`) or turned a request
    away above its memory limit (`error` None): the handle now in its
    place, or None to leave it."""
    def recover(index: int, error: WorkerDiedError | None) -> Any:
        old = handles[index]
        procs = _restarting._procs(pool)
        current = list(procs.values())
        slot = next((slot for slot, handle in enumerate(current) if handle is old), None)
        if slot is None:
            # Replaced meanwhile (a restart from a callback of the batch).
            fresh = current[index] if index < len(current) else None
            return fresh if fresh is not None and not _restarting.is_due(fresh) else None
        if error is not None:
            budget = _budgets.get(pool)
            if budget is None:
                return None
            if not budget.spend():
                error.add_note(f"not restarted: vorlen.supervise allows {budget.restarts} "
                               f"restarts within {budget.within:g} s, all taken")
                return None
        return _restarting.restart_slot(pool, slot)
    return recover
