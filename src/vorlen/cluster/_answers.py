"""The answers a cluster worker owes for one batch, taken in request order.

``ClusterPool.map(args, block=False)`` returns, for request k, the answer
stream of the worker that got it, as ``CorvanePool.map`` returns that
worker's output queue: each ``get()`` gives that worker's next answer of the
batch. So ``vorlen.corvane.reduce`` of the list gives the answers in request
order, and ``vorlen.as_completed`` can wait on all the streams at once
through ``vorlen_ready_fd()``.
"""
from __future__ import annotations

import collections
import os
import weakref
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from distributed.actor import BaseActorFuture

    from vorlen.cluster._handle import ClusterHandle


class AnswerStream:
    """The pending answers of one worker for one batch, oldest first."""

    __slots__ = ("_handle", "_pending", "_ready_fd", "_armed", "__weakref__")

    def __init__(self, handle: ClusterHandle) -> None:
        self._handle = handle
        self._pending: collections.deque[BaseActorFuture] = collections.deque()
        self._ready_fd: int | None = None
        # The future whose end the ready descriptor is waiting for.
        self._armed: BaseActorFuture | None = None

    def __repr__(self) -> str:
        return f"<AnswerStream of {self._handle.name}: {len(self._pending)} pending>"

    def add(self, future: BaseActorFuture) -> None:
        self._pending.append(future)
        if self._ready_fd is not None and self._armed is None:
            self._arm()

    def get(self) -> Any:
        """The worker's next answer; raises vorlen.WorkerDiedError when the
        worker, or the Dask worker under it, is gone before it answered."""
        if not self._pending:
            raise RuntimeError(f"no answer pending from {self._handle.name}")
        future = self._pending.popleft()
        if self._ready_fd is not None:
            self._rearm()
        return self._handle._collect(future)

    def vorlen_ready_fd(self) -> int:
        """A descriptor that is readable while the next answer is in (or
        its worker is gone), for waiting on many streams at once."""
        if self._ready_fd is None:
            fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
            self._ready_fd = fd
            weakref.finalize(self, os.close, fd)
            self._arm()
        return self._ready_fd

    def _rearm(self) -> None:
        try:
            os.eventfd_read(self._ready_fd)
        except BlockingIOError:
            pass
        self._armed = None
        self._arm()

    def _arm(self) -> None:
        if not self._pending:
            return
        future = self._armed = self._pending[0]
        self._handle._client.loop.add_callback(self._signal_when_over, future)

    async def _signal_when_over(self, future: BaseActorFuture) -> None:
        try:
            await self._handle._outcome(future)
        except BaseException:
            pass
        if self._armed is future and self._ready_fd is not None:
            os.eventfd_write(self._ready_fd, 1)
