"""vorlen.submit and vorlen.Future: one request at a time, answered as a
future that threads wait for and asyncio awaits.

A submitted request waits in this process until its worker has room (a
worker holds the request it runs and about a millisecond of work queued
behind it), so that a request that has not started can still be cancelled
and a pool's requests go to whichever worker is free first. The answers of
local workers are read by one native thread of the process, the
dispatcher, which resolves each future as its answer arrives (and a thread
blocked in ``result()`` reads its own worker's answers itself while nobody
else does); see ``vorlen/_control`` for the machinery. Pools of other kinds
(``vorlen.cluster.ClusterPool``) are served through their handles' own
calls (``_remote``).
"""
from __future__ import annotations

import concurrent.futures
import functools
import io
import logging
import threading
from collections.abc import Callable, Generator
from multiprocessing.reduction import ForkingPickler
from typing import TYPE_CHECKING, Any

import multiprocessing.process
import multiprocessing.queues

import vorlen
from vorlen import _control
from vorlen._arguments import GRACE, seconds
from vorlen._timed import timed
from vorlen._types import Answer, Request

if TYPE_CHECKING:
    import asyncio

    import vorlen.corvane
    import vorlen.tamsel

_base = concurrent.futures.Future
_LOGGER = logging.getLogger("concurrent.futures")
# The states of concurrent.futures.Future, as it names them.
_PENDING = "PENDING"
_FINISHED = "FINISHED"
_CANCELLED = ("CANCELLED", "CANCELLED_AND_NOTIFIED")
_DONE = (_FINISHED, *_CANCELLED)


class Future(concurrent.futures.Future[Answer]):
    """The answer to one request sent with ``vorlen.submit``.

    A ``concurrent.futures.Future``: ``result(timeout)`` gives the
    four-element answer (an ``"EXCEPTION"`` answer is a result, as
    everywhere in vorlen); ``exception()`` is ``vorlen.WorkerDiedError``
    when the worker died before it answered; ``add_done_callback``,
    ``concurrent.futures.wait`` and ``concurrent.futures.as_completed``
    work as with any future. In a running asyncio event loop it can be
    awaited: ``answer = await vorlen.submit(pool, text)``; cancelling the
    awaiting task cancels the request, or interrupts it if it has started.

    ``cancel()`` succeeds while the request has not started: it then never
    runs. ``vorlen.interrupt(future)`` stops it while it runs.

    Callbacks added with ``add_done_callback`` run in the thread that read
    the answer (the dispatcher, or a thread waiting in ``result()``); one
    must not wait there for another vorlen future that is not done
    (``RuntimeError``), as that thread would wait for itself.
    """

    # The base class's lock and condition are made only when a thread has
    # to wait: a future that is resolved before anyone waits for it (the
    # common case) never needs them. A resolver sets the state first and
    # looks at _waited after; a waiter sets _waited (making the condition)
    # first and looks at the state after, under the condition: either the
    # waiter sees the new state, or the resolver sees _waited and notifies
    # under the condition. The dispatcher resolves a future that nobody
    # waits for and that has no callbacks by setting its attributes (no
    # Python code runs meanwhile), else through set_result.

    def __init__(self) -> None:
        self._waited = False  # whether the condition was made
        self._state = _PENDING
        self._result: Any = None
        self._exception: BaseException | None = None
        self._waiters: list[Any] = []
        self._done_callbacks: list[Any] = []
        # The request as the dispatcher tracks it (local workers), or its
        # place with the handles of another kind of pool.
        self._ticket: Any = None
        self._remote: Any = None

    @property
    def _condition(self) -> threading.Condition:  # type: ignore[override]
        made: threading.Condition | None = self.__dict__.get("_made_condition")
        if made is None:
            self._waited = True
            made = self.__dict__.setdefault("_made_condition", threading.Condition())
        return made

    def __repr__(self) -> str:
        return "<vorlen." + super().__repr__()[1:]

    def cancel(self) -> bool:
        """Cancels the request if its worker has not started it (it then
        never runs) and returns True; returns False once it has started or
        is done (a cancelled future stays cancelled: True)."""
        if self._state in _DONE:
            return self._state != _FINISHED
        if self._ticket is not None:
            if not _control.cancel(self._ticket):
                return False
        elif self._remote is not None and not self._remote.cancel(self):
            return False
        return self._settle_cancelled()

    def cancelled(self) -> bool:
        """Whether the request was cancelled (it never ran)."""
        return self._state in _CANCELLED

    def done(self) -> bool:
        """Whether the future has its answer, or was cancelled."""
        return self._state in _DONE

    def running(self) -> bool:
        """Whether the worker runs the request at this moment."""
        if self._state in _DONE:
            return False
        if self._ticket is not None:
            return bool(_control.running(self._ticket))
        return self._remote is not None and self._remote.running(self)

    def result(self, timeout: float | None = None) -> Answer:
        """The request's answer, ``[status, printed, traceback, returned]``,
        waiting at most ``timeout`` seconds (``None``: no limit) for it.
        Raises ``TimeoutError`` when it has not come by then,
        ``concurrent.futures.CancelledError`` when the request was
        cancelled, and ``vorlen.WorkerDiedError`` when its worker died."""
        if self._state not in _DONE and self._ticket is not None:
            _control.wait(self._ticket, timeout)
        if self._state == _FINISHED and self._exception is None:
            answer: Answer = self._result
            return answer
        return _base.result(self, 0 if self._state in _DONE else timeout)

    def exception(self, timeout: float | None = None) -> BaseException | None:
        """The exception that stands for the answer (``vorlen.WorkerDiedError``
        when the worker died before it answered), or None when the request
        answered; waits as ``result`` does."""
        if self._state not in _DONE and self._ticket is not None:
            _control.wait(self._ticket, timeout)
        if self._state == _FINISHED:
            return self._exception
        return _base.exception(self, 0 if self._state in _DONE else timeout)

    def add_done_callback(self, fn: Callable[[concurrent.futures.Future[Answer]], object]) -> None:
        """Calls ``fn(future)`` once the future is done: at once if it is,
        else in the thread that resolves it."""
        self._done_callbacks.append(fn)
        if self._state in _DONE:
            # Whoever takes it out of the list calls it: this thread, or a
            # resolver that is going through the list right now.
            try:
                self._done_callbacks.remove(fn)
            except ValueError:
                return
            try:
                fn(self)
            except Exception:
                _LOGGER.exception("exception calling callback for %r", self)

    def set_result(self, result: Answer) -> None:
        """Resolves the future with its answer (the dispatcher calls it)."""
        if self._waited:
            _base.set_result(self, result)
            return
        if self._state in _DONE:
            raise concurrent.futures.InvalidStateError(f"{self._state}: {self!r}")
        self._result = result
        self._settled()

    def set_exception(self, exception: BaseException | None) -> None:
        """Resolves the future with an exception (the dispatcher calls it
        when the worker died)."""
        if self._waited:
            _base.set_exception(self, exception)
            return
        if self._state in _DONE:
            raise concurrent.futures.InvalidStateError(f"{self._state}: {self!r}")
        self._exception = exception
        self._settled()

    def _settled(self) -> None:
        self._state = _FINISHED
        if self._waited:
            # A thread came to wait meanwhile: it is told under the condition.
            with self._condition:
                for waiter in self._waiters:
                    if self._exception is None:
                        waiter.add_result(self)
                    else:
                        waiter.add_exception(self)
                self._condition.notify_all()
        self._invoke_callbacks()

    def _invoke_callbacks(self) -> None:
        callbacks = self._done_callbacks
        while callbacks:
            try:
                fn = callbacks.pop(0)
            except IndexError:  # taken by add_done_callback meanwhile
                return
            try:
                fn(self)
            except Exception:
                _LOGGER.exception("exception calling callback for %r", self)

    def __await__(self) -> Generator[Any, None, Answer]:
        """``await future`` in a running event loop: the answer, without
        blocking the loop. Cancelling the awaiting task cancels the request,
        or interrupts it if it has started."""
        import asyncio  # not at import of the package: it costs its time
        if self._state not in _DONE:
            loop = asyncio.get_running_loop()
            waiter = loop.create_future()
            self.add_done_callback(functools.partial(_wake, loop, waiter))
            try:
                yield from waiter
            except asyncio.CancelledError:
                self._stop()
                raise
        if self._state in _CANCELLED:
            raise asyncio.CancelledError()
        return self.result(0)

    def _stop(self) -> None:
        """Cancels the request, or interrupts it if it has started."""
        if not self.cancel():
            interrupt(self)

    def _settle_cancelled(self) -> bool:
        """Ends the future as cancelled, and tells those waiting for it
        (concurrent.futures.wait and as_completed count a future as done
        once they have been told)."""
        if not _base.cancel(self):
            return self._state in _CANCELLED
        self.set_running_or_notify_cancel()
        return True


def _wake(loop: asyncio.AbstractEventLoop, waiter: asyncio.Future[Any],
          future: concurrent.futures.Future[Any]) -> None:
    try:
        loop.call_soon_threadsafe(_settle_waiter, waiter)
    except RuntimeError:  # the loop was closed meanwhile: nobody awaits
        pass


def _settle_waiter(waiter: asyncio.Future[Any]) -> None:
    if not waiter.done():
        waiter.set_result(None)


def interrupt(future: Future) -> None:
    """Interrupts the request of ``future`` if its worker runs it now;
    nothing else is touched."""
    if future._ticket is not None:
        _control.interrupt_ticket(future._ticket)
    elif future._remote is not None:
        future._remote.interrupt(future)


# vorlen.tamsel.Tamsel once a call has needed it: importing the package
# must not load the worker module (nor numpy).
_Tamsel: Any = type("_NotLoaded", (), {})


def submit(target: vorlen.tamsel.Tamsel | vorlen.corvane.CorvanePool | Any, request: Request,
           *, timeout: float | None = None, grace: float = GRACE) -> Future:
    """Sends ``request`` and returns at once a ``vorlen.Future`` of its
    answer.

    ``target`` is a worker handle (``Tamsel``: the request runs there, after
    the requests submitted to it before) or a pool (``CorvanePool``,
    ``vorlen.cluster.ClusterPool``: the request runs on the first worker
    that is free). Requests wait in this process until their worker has
    room, so a worker never holds more than the request it runs and a few
    queued behind it.

    ``timeout`` limits the request to that many seconds from when its
    worker starts it; past it the request is interrupted and its answer's
    traceback names the limit. A request that has not answered ``grace``
    seconds after its interrupt (its limit, or ``vorlen.interrupt``) costs
    its worker: it is killed, and the futures of the requests it held fail
    with ``vorlen.WorkerDiedError``.

    While a worker has submitted requests in flight, the other calls on it
    (``blocked_put``, ``map``, ``reduce``, ``clear_output``, ``vorlen.run``,
    ``vorlen.map``) raise ``RuntimeError``: wait for the futures first. A
    request that cannot be pickled raises here, before anything is sent.
    """
    if type(target) is _Tamsel and type(request) is str and timeout is None and grace is GRACE:
        # The common case, quickly: a worker's handle, a source text.
        future = Future()
        future._ticket = _control.submit([target], None, future, request, 0, GRACE)
        if future._ticket is not None:
            return future
    return _submit(target, request, timeout, grace)


def _submit(target: Any, request: Any, timeout: float | None, grace: float) -> Future:
    limit = None if timeout is None else seconds(timeout, "timeout", "submit")
    if grace is not GRACE:
        grace = seconds(grace, "grace", "submit", allow_zero=True)
    if isinstance(request, bytes):
        raise TypeError("submit() argument 'request' must be a str or an iterable of "
                        "str and dict items, not bytes")
    handles, pool = _workers_of(target)
    future = Future()
    if type(request) is not str:
        _check_picklable(request)
    if all(_is_local(handle) for handle in handles):
        sent: Any = request
        token = 0
        if limit is not None:
            sent, token = timed(request, limit)
        future._ticket = _control.submit(handles, pool, future, sent, token, grace)
        if future._ticket is not None:
            return future
    from vorlen import _remote
    _remote.submit(target, handles, future, request, limit, grace)
    return future


def _workers_of(target: Any) -> tuple[list[Any], Any]:
    """The handles a request for `target` may go to, and the pool they
    form (None for a single handle)."""
    global _Tamsel
    if _Tamsel.__name__ == "_NotLoaded":
        from vorlen.tamsel import Tamsel
        _Tamsel = Tamsel
    if type(target) is _Tamsel:
        return [target], None
    procs = getattr(target, "procs", None)
    if isinstance(procs, dict):
        return list(procs.values()), target
    if hasattr(target, "qi") and hasattr(target, "proc") or hasattr(target, "blocked_put"):
        return [target], None
    raise TypeError("submit() argument 'target' must be a Tamsel or a pool (CorvanePool, "
                    f"ClusterPool), not {type(target).__name__}")


def _is_local(handle: Any) -> bool:
    """Whether `handle` is a worker handle of this process, with its own
    queues and process: one whose answers the dispatcher can read."""
    return (type(getattr(handle, "qi", None)) is multiprocessing.queues.Queue
            and type(getattr(handle, "qo", None)) is multiprocessing.queues.Queue
            and isinstance(getattr(handle, "proc", None), multiprocessing.process.BaseProcess))


def _drop_buffer(buffer: Any) -> None:
    """Leaves large buffers out of the pickling check (nothing is copied)."""
    return None


def _check_picklable(request: Any) -> None:
    """Raises the error that sending `request` would raise, before anything
    is sent."""
    ForkingPickler(io.BytesIO(), 5, True, _drop_buffer).dump(request)
