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
from vorlen import Answer
from vorlen.cluster._channel import Channel, Pending


class AnswerStream:
    """The pending answers of one cluster worker for one batch, oldest
    first."""

    __slots__ = ("_channel", "_name", "_pending", "_ready_fd", "__weakref__")

    def __init__(self, channel: Channel, name: str) -> None:
        self._channel = channel
        self._name = name
        self._pending: collections.deque[Pending] = collections.deque()
        self._ready_fd: int | None = None

    def __repr__(self) -> str:
        return f"<AnswerStream of {self._name}: {len(self._pending)} pending>"

    def get(self) -> Answer:
        """The worker's next answer of the batch, waiting for it.

        Raises what the request raised in place of an answer (an answer
        that cannot be unpickled here, a request that could not be sent),
        and ``vorlen.WorkerDiedError`` when the worker, or what connects to
        it, is gone before it answered. A wait interrupted by a signal
        handler leaves the answer in place for the next ``get()``.
        """
        if not self._pending:
            raise RuntimeError(f"no answer pending from {self._name}")
        pending = self._pending[0]
        self._channel.wait(pending)
        self._take(pending)
        return pending.answer()

    def vorlen_ready_fd(self) -> int:
        """A descriptor that is readable while the next answer is in (or
        its worker is gone), for waiting on many streams at once."""
        if self._ready_fd is None:
            fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
            weakref.finalize(self, os.close, fd)
            with self._channel.lock():
                self._ready_fd = fd
                if self._pending and self._pending[0].done:
                    os.eventfd_write(fd, 1)
        return self._ready_fd

    # ---- called by the channel, under its lock --------------------------

    def _queue(self, pending: Pending) -> None:
        self._pending.append(pending)

    def _settled(self, pending: Pending) -> None:
        if self._ready_fd is not None and self._pending and self._pending[0] is pending:
            os.eventfd_write(self._ready_fd, 1)

    def _take(self, pending: Pending) -> None:
        with self._channel.lock():
            if self._pending and self._pending[0] is pending:
                self._pending.popleft()
            if self._ready_fd is not None:
                try:
                    os.eventfd_read(self._ready_fd)
                except BlockingIOError:
                    pass
                if self._pending and self._pending[0].done:
                    os.eventfd_write(self._ready_fd, 1)
