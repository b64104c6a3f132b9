"""vorlen.submit on pools and handles of other kinds (a ``ClusterPool``, a
handle whose queues are not a local worker's): each request runs through
its handle's own ``vorlen.run``, from a thread of this process that serves
that handle while requests wait for it (the handle's own client does the
waiting on the network). A request waits here until one of the target's
handles is free, so that it can be cancelled until then; interrupting it
interrupts its handle, which runs nothing else of the target meanwhile.
"""
from __future__ import annotations

import collections
import threading
import weakref
from typing import TYPE_CHECKING, Any

import vorlen

if TYPE_CHECKING:
    from vorlen._futures import Future

_lock = threading.Lock()


class _Waiting:
    """The submitted requests of one target not yet taken by a handle, and
    the handles serving it."""

    def __init__(self) -> None:
        self.requests: collections.deque[tuple[Future, Any, float | None, float]] = \
            collections.deque()
        self.cancelled: set[int] = set()     # ids of waiting futures cancelled
        self.taken: dict[int, Any] = {}      # id of a future -> the handle running it
        self.serving: set[int] = set()       # ids of the handles with a thread here

    def cancel(self, future: Future) -> bool:
        with _lock:
            if any(item[0] is future for item in self.requests):
                self.cancelled.add(id(future))
                return True
            return False

    def running(self, future: Future) -> bool:
        with _lock:
            return id(future) in self.taken

    def interrupt(self, future: Future) -> None:
        with _lock:
            handle = self.taken.get(id(future))
        if handle is not None:
            vorlen.interrupt(handle)


# target -> its waiting requests (targets that take no weak reference are
# kept by id, for as long as they have requests)
_waiting: weakref.WeakKeyDictionary[Any, _Waiting] = weakref.WeakKeyDictionary()
_waiting_by_id: dict[int, tuple[Any, _Waiting]] = {}


def _waiting_of(target: Any) -> _Waiting:
    try:
        found = _waiting.get(target)
        if found is None:
            found = _waiting[target] = _Waiting()
        return found
    except TypeError:
        pair = _waiting_by_id.get(id(target))
        if pair is None or pair[0] is not target:
            pair = _waiting_by_id[id(target)] = (target, _Waiting())
        return pair[1]


def submit(target: Any, handles: list[Any], future: Future, request: Any,
           limit: float | None, grace: float) -> None:
    """Queues `request` for `target`; a free handle of `handles` runs it."""
    waiting = _waiting_of(target)
    future._remote = waiting
    starting = []
    with _lock:
        waiting.requests.append((future, request, limit, grace))
        for handle in handles:
            if id(handle) not in waiting.serving:
                waiting.serving.add(id(handle))
                starting.append(handle)
    for handle in starting:
        threading.Thread(target=_serve, args=(waiting, handle),
                         name=f"vorlen.submit {getattr(handle, 'name', '')}",
                         daemon=True).start()


def _next(waiting: _Waiting, handle: Any) -> tuple[Future, Any, float | None, float] | None:
    with _lock:
        while waiting.requests:
            item = waiting.requests.popleft()
            if id(item[0]) in waiting.cancelled:
                waiting.cancelled.discard(id(item[0]))
                continue
            waiting.taken[id(item[0])] = handle
            return item
        waiting.serving.discard(id(handle))
        return None


def _serve(waiting: _Waiting, handle: Any) -> None:
    while (item := _next(waiting, handle)) is not None:
        future, request, limit, grace = item
        try:
            answer = vorlen.run(handle, request, timeout=limit, grace=grace)
        except BaseException as error:  # the future carries it, as a worker's death
            outcome: tuple[str, Any] = ("set_exception", error)
        else:
            outcome = ("set_result", answer)
        with _lock:
            waiting.taken.pop(id(future), None)
        if not future.done():
            getattr(future, outcome[0])(outcome[1])
