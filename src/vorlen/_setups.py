"""vorlen.setup: a request that brings a worker to its working state, run
now on every worker and recorded, so that a worker that replaces one of
them runs it too before anything else."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, overload

import vorlen
from vorlen import _records, _restarting
from vorlen._types import Answer, Request

if TYPE_CHECKING:
    import vorlen.corvane
    import vorlen.tamsel


@overload
def setup(target: vorlen.tamsel.Tamsel, request: Request) -> Answer: ...
@overload
def setup(target: vorlen.corvane.CorvanePool, request: Request) -> list[Answer]: ...


def setup(target: Any, request: Any) -> Any:
    """Runs `request` on the worker of the handle `target`, or on every
    worker of the pool `target` at once, and records it for those workers:
    a worker that ``vorlen.restart`` (or the restarts of
    ``vorlen.supervise`` and ``vorlen.limit_memory``) puts in the place of
    one of them runs the recorded set-ups, in the order they were recorded,
    before any other request.

    Returns the answer (a handle) or the answers in slot order (a pool),
    all ``"SUCCESS"``. When a worker answers ``"EXCEPTION"`` (or is left
    above its memory limit), ``vorlen.SetupError`` is raised with that
    answer (and ``answers``, every worker's) and nothing is recorded; what
    the request did on the workers where it succeeded stays done.

    Set-ups are recorded per worker: a pool's workers started afresh by
    ``init_process`` have none.
    """
    if _restarting._is_pool(target):
        handles = list(_restarting._procs(target).values())
        answers = vorlen.map(target, [request] * len(handles))
        # A worker restarted meanwhile ran it too (it had not started on the
        # one it replaced).
        handles = list(_restarting._procs(target).values())
        for slot, (handle, answer) in enumerate(zip(handles, answers)):
            _restarting.check_setup(handle, request, answer,
                                    f"the set-up request on worker {slot}", answers)
        for handle in handles:
            _records.of(handle).setups.append(request)
        return answers
    if _restarting._is_handle(target):
        answer = vorlen.run(target, request)
        _restarting.check_setup(target, request, answer, "the set-up request")
        _records.of(target).setups.append(request)
        return answer
    raise TypeError("setup() argument must be a Tamsel or a CorvanePool, "
                    f"not {type(target).__name__}")

