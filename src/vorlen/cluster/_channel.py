"""The caller's side of one cluster worker: its requests on their way, and
the one channel that trades them for outcomes with the worker's host.

Requests are queued by the caller's thread; a pump on the client's event
loop sends them in ``trade`` calls, one call at a time, each with as many
requests as the window allows (``WINDOW`` requests or ``WINDOW_BYTES``
unanswered), and settles the outcomes each call brings back, oldest first.
So a batch of any size costs a few messages per worker and one connection
at a time (two while an interrupt or a kill is on its way).

While a call waits, the channel looks now and then whether the worker's
Dask worker is still there. A call that fails, or a Dask worker that is
gone, fails every request still owed with ``WorkerDiedError``, saying what
was lost: the vorlen worker's host, its Dask worker, the client or the
scheduler.
"""
from __future__ import annotations

import asyncio
import concurrent.futures
import threading
from collections import deque
from collections.abc import Coroutine
from queue import SimpleQueue
from typing import TYPE_CHECKING, Any, TypeVar

import distributed
from distributed.actor import ProxyRPC
from distributed.protocol.serialize import to_serialize

from vorlen import Answer
from vorlen._errors import WorkerDiedError
from vorlen.cluster._parcel import Bundle, Parcel, Raised
from vorlen.cluster._roster import WATCH_INTERVAL, Roster

if TYPE_CHECKING:
    from vorlen.cluster._answers import AnswerStream

T = TypeVar("T")

# Requests in flight per worker (sent to its host and not yet answered), and
# the bytes they may hold there; a single larger request still goes alone.
WINDOW = 1024
WINDOW_BYTES = 32 << 20


class Pending:
    """One request on its way, until its outcome is taken: what is sent,
    and once it is in, the answer (plain, or a Parcel), a Raised or a
    WorkerDiedError; and who is told when it is in."""

    __slots__ = ("item", "size", "outcome", "done", "channel", "stream", "arrivals",
                 "position")

    def __init__(self, item: tuple[Any, float | None, float | None], size: int,
                 channel: Channel, stream: AnswerStream | None,
                 arrivals: SimpleQueue[Pending] | None, position: int) -> None:
        self.item: tuple[Any, float | None, float | None] | None = item
        self.size = size
        self.outcome: Any = None
        self.done = False
        self.channel = channel
        self.stream = stream
        self.arrivals = arrivals
        self.position = position

    def answer(self) -> Answer:
        """The answer, unpickled here; raises what the request raised in
        place of an answer."""
        outcome = self.outcome
        kind = type(outcome)
        if kind is Raised:
            raise outcome.error()
        if isinstance(outcome, WorkerDiedError):
            raise copied(outcome)
        answer: Answer = outcome.open() if kind is Parcel else outcome
        return answer

    def answered(self) -> bool:
        """Whether it is in with an answer rather than an error."""
        return self.done and type(self.outcome) in (list, Parcel)


def event_loop(client: distributed.Client) -> asyncio.AbstractEventLoop:
    """The asyncio loop under the client's event loop."""
    tornado_loop: Any = client.loop
    loop: asyncio.AbstractEventLoop = tornado_loop.asyncio_loop
    return loop


def copied(error: WorkerDiedError) -> WorkerDiedError:
    """A new error like `error`, for one more raise of it (raising the same
    object again would pile up its tracebacks)."""
    copy = WorkerDiedError(error.pid, error.exitcode, error.detail)
    copy.__cause__ = error.__cause__
    return copy


class Channel:
    """Requests to one host and their outcomes; ``future`` is the Dask
    future that holds the host, ``label`` names the vorlen worker in error
    messages."""

    def __init__(self, client: distributed.Client, future: distributed.Future[Any], address: str,
                 roster: Roster, label: str) -> None:
        self.client = client
        self.key = future.key
        self._future: distributed.Future[Any] | None = future
        self.address = address
        self.label = label
        self.pid: int | None = None
        self._roster = roster
        self._loop = event_loop(client)
        self._condition = threading.Condition(threading.RLock())
        self._unsent: deque[Pending] = deque()
        self._in_flight: deque[Pending] = deque()
        self._in_flight_bytes = 0
        # Requests handed to the host so far: the number of the next one.
        self._numbered = 0
        self._pumping = False
        # Set once the worker is given up: every later request raises it.
        self.lost: WorkerDiedError | None = None
        self._reachable = True

    def lock(self) -> threading.Condition:
        """What guards the channel's requests and their streams."""
        return self._condition

    # ---- the caller's thread -------------------------------------------------

    def send(self, pending: Pending) -> None:
        """Queues `pending` for sending; raises WorkerDiedError at once when
        the worker is already given up."""
        with self._condition:
            if self.lost is not None:
                raise copied(self.lost)
            if pending.stream is not None:
                pending.stream._queue(pending)
            self._unsent.append(pending)
            if self._pumping:
                return
            self._pumping = True
        try:
            self._loop.call_soon_threadsafe(self._start_pump)
        except RuntimeError as error:
            # The client's event loop is closed.
            self.fail("the client was closed", error, reachable=False)

    def wait(self, pending: Pending) -> None:
        """Waits until `pending` is in (its outcome, or the worker lost)."""
        with self._condition:
            while not pending.done:
                self._condition.wait(WATCH_INTERVAL)
                if not pending.done:
                    self.check_client()

    def check_client(self) -> None:
        """Gives the worker up when its client was closed: no call of it
        will end any more."""
        if self.client.status in ("closing", "closed") and self.lost is None:
            self.fail("the client was closed", None, reachable=False)

    def run(self, coroutine: Coroutine[Any, Any, T], timeout: float) -> T:
        """Runs `coroutine` on the client's event loop and waits for it."""
        try:
            future = asyncio.run_coroutine_threadsafe(coroutine, self._loop)
        except RuntimeError:
            coroutine.close()   # the client's event loop is closed
            raise
        try:
            return future.result(timeout)
        except concurrent.futures.TimeoutError:
            future.cancel()
            raise TimeoutError(f"{self.label}: no reply after {timeout:g} s") from None

    # ---- the client's event loop ------------------------------------------

    def _start_pump(self) -> None:
        asyncio.ensure_future(self._pump())

    async def _pump(self) -> None:
        try:
            while True:
                with self._condition:
                    first = self._numbered
                    chunk = self._take_chunk()
                    if self.lost is not None or (not chunk and not self._in_flight):
                        self._pumping = False
                        return
                reply = await self.watched(self.call("trade", first, Bundle(chunk)))
                with self._condition:
                    self._settle(reply.items)
        except asyncio.CancelledError:
            self.fail("the client was closed", None, reachable=False)
            raise
        except BaseException as error:
            await self.failed(error)
            if not isinstance(error, Exception):
                raise

    def _take_chunk(self) -> list[Any]:
        """Moves the next requests the window allows to those in flight."""
        chunk = []
        unsent, in_flight = self._unsent, self._in_flight
        while unsent and (not in_flight or (
                len(in_flight) < WINDOW
                and self._in_flight_bytes + unsent[0].size <= WINDOW_BYTES)):
            pending = unsent.popleft()
            in_flight.append(pending)
            self._in_flight_bytes += pending.size
            chunk.append(pending.item)
            pending.item = None
        self._numbered += len(chunk)
        return chunk

    def _settle(self, outcomes: list[Any]) -> None:
        """The outcomes of the oldest requests in flight, in order."""
        if self.lost is not None:
            return
        in_flight = self._in_flight
        for outcome in outcomes:
            pending = in_flight.popleft()
            self._in_flight_bytes -= pending.size
            self._deliver(pending, outcome)
        self._condition.notify_all()

    def _deliver(self, pending: Pending, outcome: Any) -> None:
        pending.outcome = outcome
        pending.done = True
        if pending.arrivals is not None:
            pending.arrivals.put(pending)
        if pending.stream is not None:
            pending.stream._settled(pending)

    async def call(self, function: str, *args: Any) -> Any:
        """Calls the host's method `function`, as a Dask actor call goes
        (straight to the Dask worker, or through the scheduler when the
        client does not talk to workers directly)."""
        client = self.client
        rpc: Any
        if client.direct_to_workers:
            rpc = client.rpc(self.address)
        else:
            rpc = ProxyRPC(client.scheduler, self.address)
        reply = await rpc.actor_execute(
            function=function, actor=self.key,
            args=[to_serialize(arg) for arg in args], kwargs={})
        if reply["status"] == "OK":
            return reply["result"]
        raise reply["exception"]

    async def watched(self, call: Coroutine[Any, Any, T], timeout: float | None = None) -> T:
        """Awaits `call`, looking now and then whether the Dask worker is
        still there; raises ConnectionError when it is not, TimeoutError
        after `timeout` seconds."""
        task = asyncio.ensure_future(call)
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        try:
            while True:
                wait = WATCH_INTERVAL if deadline is None else min(
                    WATCH_INTERVAL, max(deadline - loop.time(), 0))
                done, _ = await asyncio.wait([task], timeout=wait)
                if done:
                    return task.result()
                if deadline is not None and loop.time() >= deadline:
                    raise TimeoutError(f"no reply after {timeout:g} s")
                if not await self._roster.present(self.address):
                    raise ConnectionError("the Dask worker is no longer in the cluster")
        finally:
            task.cancel()

    async def failed(self, cause: BaseException) -> None:
        """Gives the worker up after a call to it failed with `cause`."""
        try:
            how, reachable = await self._roster.loss(self.address)
        except Exception:
            how, reachable = "the call to its host failed", True
        self.fail(how, cause, reachable)

    # ---- either thread ---------------------------------------------------

    def fail(self, how: str, cause: BaseException | None, reachable: bool) -> None:
        """Gives the worker up: every request still owed, and every later
        one, raises WorkerDiedError saying `how`."""
        with self._condition:
            if self.lost is not None:
                return
            # The first line of the cause: Dask's errors may quote whole tracebacks.
            text = str(cause).strip().partition("\n")[0] if cause is not None else ""
            reason = "" if cause is None else f" ({type(cause).__name__}: {text})"
            self.lost = WorkerDiedError(self.pid, None, f"{self.label}: {how}{reason}")
            self.lost.__cause__ = cause
            self._reachable = reachable
            owed = [*self._in_flight, *self._unsent]
            self._in_flight.clear()
            self._unsent.clear()
            self._in_flight_bytes = 0
            for pending in owed:
                pending.item = None
                self._deliver(pending, self.lost)
            self._condition.notify_all()
        self.release()

    def release(self) -> None:
        """Lets Dask forget the host; it then kills its worker, if that
        still runs, and its Dask worker may retire."""
        future, self._future = self._future, None
        if future is not None:
            try:
                future.release()
            except Exception:
                pass   # the client is closed: it holds nothing any more

    @property
    def reachable(self) -> bool:
        """Whether the host may still be reached (for a kill)."""
        return self._reachable
