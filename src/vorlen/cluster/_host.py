"""The hosting side of a cluster worker: a Dask actor that owns one vorlen
worker process on the Dask worker's machine (``_owned`` ties the worker's
life to it).

The caller talks to its host over one channel of ``trade`` calls, one at a
time: each brings the caller's next requests (numbered, so that none is
lost or taken twice) and takes back the outcomes that are in, in request
order, after waiting for at least one when any is owed. Requests go to the
vorlen worker through its queues on the Dask worker's event loop, as a
``CorvanePool`` sends them, a few ahead of the one it runs, and its answers
are read there as they come, so nothing here switches threads.

Whatever belongs to one request stays with it: a request the host cannot
unpickle goes on to the worker to be unpickled there (it fails there as it
would locally, or runs), one that cannot be sent to the worker and an
answer that cannot be read here each become an error raised in the caller
for that request alone, and the answers after it keep their places.
"""
from __future__ import annotations

import asyncio
import socket
from collections import deque
from multiprocessing.connection import Connection
from typing import Any

import distributed

import vorlen
import vorlen.corvane
import vorlen.tamsel
from vorlen._errors import WorkerDiedError
from vorlen._timed import timed
from vorlen.cluster import _owned
from vorlen.cluster._parcel import Bundle, Parcel, Raised, Unopened, carried

# Requests sent to the vorlen worker ahead of its answers: enough that it
# never waits for the event loop between two short requests, few enough
# that its queue's pipe seldom fills (a full pipe makes the queue send
# through its thread from then on).
AHEAD = 32
# Upper bound for a killed vorlen worker to end.
REAP_TIMEOUT = 5.0

# CorvanePool.map, called on a stand-in pool of one worker (_Sender).
_pool_map: Any = vorlen.corvane.CorvanePool.map


class _Sender:
    """Stands for a pool of this one worker, so that ``CorvanePool.map``
    sends a request the way a pool does (straight into the queue's pipe
    when it has room, through the queue's thread otherwise) without waiting
    for the answer."""

    __slots__ = ("procs",)

    def __init__(self, handle: vorlen.tamsel.Tamsel) -> None:
        self.procs = {handle.proc.pid: handle}

    def clear_output(self) -> None:
        """Answers are read as they come; none is ever left to discard."""


class _Request:
    """A request on the host, from its arrival to its outcome: what goes to
    the worker, and for one sent with a grace period, how long it may run
    (its time limit plus the grace, or only the grace once it was
    interrupted) before its worker is killed."""

    __slots__ = ("message", "limit", "grace", "timer", "outcome")

    def __init__(self, limit: float | None, grace: float | None) -> None:
        self.message: Any = None
        self.limit = limit
        self.grace = grace
        self.timer: asyncio.TimerHandle | None = None
        # The answer (plain, or a Parcel) or a Raised, once known.
        self.outcome: Any = None

    def stop_timer(self) -> None:
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None


def _message(request: Any, limit: float | None) -> Any:
    """What goes to the worker for `request`."""
    if type(request) is Parcel:
        try:
            request = request.open()
        except BaseException:
            # Whatever unpickling raises belongs to the request: the worker
            # meets it again and answers it.
            request = Unopened(request)
    if limit is not None:
        request, _ = timed(request, limit)
    return request


def _outgoing(answer: Any) -> Any:
    try:
        return carried(answer)[0]
    except BaseException as error:
        return Raised.of(error)


class TamselHost:
    """One vorlen worker named ``name``, started on the Dask worker that
    creates this actor, and the requests of its caller."""

    def __init__(self, name: str) -> None:
        worker = distributed.get_worker()
        self._actors = worker.state.actors
        self._key = worker.get_current_task()
        tornado_loop: Any = worker.loop
        self._loop: asyncio.AbstractEventLoop = tornado_loop.asyncio_loop
        self.address = worker.address
        self.hostname = socket.gethostname()
        self.name = name
        self._killed = False
        self._unresponsive = False
        self._tamsel = _owned.start_tamsel(name)
        self.pid = self._tamsel.proc.pid
        self._sender = _Sender(self._tamsel)
        # The answer queue's end of its pipe, watched on the event loop.
        self._answers: Connection = getattr(self._tamsel.qo, "_reader")
        # Number of the next request expected from the caller.
        self._received = 0
        # Every request whose outcome the caller has not taken, oldest first.
        self._owed: deque[_Request] = deque()
        # Requests not yet sent to the worker, and those sent and not yet
        # answered (the worker runs the oldest).
        self._queued: deque[_Request] = deque()
        self._sent: deque[_Request] = deque()
        # Set while a trade waits for the oldest outcome.
        self._wakeup: asyncio.Future[None] | None = None
        self._failure: WorkerDiedError | None = None
        self._ended = asyncio.Event()
        _owned.register(self)
        self._loop.call_soon_threadsafe(self._watch_worker)

    # ---- called by the caller ---------------------------------------------

    async def describe(self) -> dict[str, Any]:
        """Where the vorlen worker runs: its pid, host and Dask worker."""
        return {"pid": self.pid, "hostname": self.hostname, "address": self.address}

    async def trade(self, first: int, requests: Bundle) -> Bundle:
        """Takes the caller's next requests, numbered from `first`, each a
        ``(request, limit, grace)``: the worker interrupts the request after
        `limit` seconds (None: no limit), and is killed when the request has
        not answered `grace` seconds after an interrupt (None: never).
        Returns the outcomes that are in, oldest first, after waiting for
        at least one when any is owed."""
        if first != self._received:
            raise ValueError(f"request {first} arrived where {self._received} was due")
        for request, limit, grace in requests.items:
            self._accept(request, limit, grace)
        self._feed()
        if self._owed and self._owed[0].outcome is None:
            wakeup = self._wakeup = self._loop.create_future()
            try:
                await wakeup
            finally:
                self._wakeup = None
        return Bundle(self._outcomes())

    async def interrupt(self) -> None:
        """Interrupts the request the worker runs now, as vorlen.interrupt
        does for a local worker."""
        if self._failure is None:
            vorlen.interrupt(self._tamsel)
            self._interrupted()

    async def kill(self) -> None:
        """Kills the vorlen worker (if alive) and waits for it to end;
        requests still owed then fail with WorkerDiedError."""
        _owned.unregister(self)
        self._killed = True
        self._tamsel.kill()
        try:
            await asyncio.wait_for(self._ended.wait(), REAP_TIMEOUT)
        except TimeoutError:
            pass

    # ---- called by the watch of released hosts (another thread) -----------

    def released(self) -> bool:
        """Whether Dask no longer holds this actor (its key was released).
        The key is there from the start of the actor's creation."""
        return self._key not in self._actors

    def kill_now(self) -> None:
        """Kills the vorlen worker and reaps it, from any thread."""
        _owned.unregister(self)
        self._killed = True
        self._tamsel.kill()
        self._tamsel.proc.join(REAP_TIMEOUT)

    # ---- on the Dask worker's event loop ---------------------------------

    def _watch_worker(self) -> None:
        if self._failure is None:
            self._loop.add_reader(self._answers.fileno(), self._take_answers)
            self._loop.add_reader(self._tamsel.proc.sentinel, self._worker_ended)

    def _accept(self, request: Any, limit: float | None, grace: float | None) -> None:
        self._received += 1
        entry = _Request(limit, grace)
        self._owed.append(entry)
        if self._failure is not None:
            entry.outcome = Raised.of(self._failure)
            return
        entry.message = _message(request, limit)
        self._queued.append(entry)

    def _feed(self) -> None:
        """Sends queued requests until AHEAD of them are unanswered."""
        while self._queued and len(self._sent) < AHEAD and self._failure is None:
            entry = self._queued[0]
            try:
                _pool_map(self._sender, (entry.message,), False)
            except BaseException as error:
                if not self._tamsel.proc.is_alive():
                    self._worker_ended()
                    return
                # Nothing was sent: what pickling raised belongs to the request.
                self._queued.popleft()
                entry.message = None
                self._settle(entry, Raised.of(error))
                continue
            self._queued.popleft()
            entry.message = None
            self._sent.append(entry)
            if len(self._sent) == 1:
                self._running(entry)

    def _take_answers(self) -> None:
        """Hands each answer that is in to the oldest request sent."""
        while True:
            outcome = self._read_answer()
            if outcome is None:
                self._worker_ended()
                return
            if self._sent:
                self._answered(outcome)
            if not self._answers.poll():
                break
        self._feed()

    def _read_answer(self) -> Any:
        """The next answer's outcome, or None when the worker is gone."""
        try:
            answer = vorlen.corvane.reduce((self._tamsel.qo,))[0]
        except WorkerDiedError:
            return None
        except Exception as error:
            # The answer was taken off the queue whole, but cannot be read
            # here (a class only the worker has): its caller gets the error.
            return Raised.of(error)
        return _outgoing(answer)

    def _answered(self, outcome: Any) -> None:
        entry = self._sent.popleft()
        entry.stop_timer()
        self._settle(entry, outcome)
        if self._sent:
            self._running(self._sent[0])

    def _settle(self, entry: _Request, outcome: Any) -> None:
        entry.outcome = outcome
        wakeup = self._wakeup
        if wakeup is not None and not wakeup.done() and self._owed[0].outcome is not None:
            wakeup.set_result(None)

    def _outcomes(self) -> list[Any]:
        """Takes the outcomes that are in, up to the first still owed."""
        owed = self._owed
        outcomes = []
        while owed and owed[0].outcome is not None:
            outcomes.append(owed.popleft().outcome)
        return outcomes

    def _running(self, entry: _Request) -> None:
        """`entry` is what the worker runs from now on."""
        if entry.limit is not None and entry.grace is not None:
            entry.timer = self._loop.call_later(
                entry.limit + entry.grace, self._no_response, entry)

    def _interrupted(self) -> None:
        entry = self._sent[0] if self._sent else None
        grace = None if entry is None else entry.grace
        if entry is not None and grace is not None:
            if entry.timer is None or entry.timer.when() > self._loop.time() + grace:
                entry.stop_timer()
                entry.timer = self._loop.call_later(grace, self._no_response, entry)

    def _no_response(self, entry: _Request) -> None:
        if self._sent and self._sent[0] is entry and self._failure is None:
            self._unresponsive = True
            self._tamsel.kill()

    def _worker_ended(self) -> None:
        """Hands over the answers the worker sent before it ended, then
        fails every other request."""
        if self._failure is not None:
            return
        while self._sent:
            outcome = self._read_answer()
            if outcome is None:
                break
            self._answered(outcome)
        exitcode = self._tamsel.proc.exitcode
        if self._unresponsive:
            how = "did not respond to the interrupt and was killed"
        else:
            how = "was killed" if self._killed else "ended"
        self._failure = WorkerDiedError(
            self.pid, exitcode,
            f"vorlen worker {self.name} (pid {self.pid}) on host {self.hostname}, "
            f"Dask worker {self.address}, {how} (exit code {exitcode}) "
            "before it answered")
        self._loop.remove_reader(self._answers.fileno())
        self._loop.remove_reader(self._tamsel.proc.sentinel)
        failed = Raised.of(self._failure)
        for entry in (*self._sent, *self._queued):
            entry.stop_timer()
            entry.message = None
            self._settle(entry, failed)
        self._sent.clear()
        self._queued.clear()
        self._ended.set()
