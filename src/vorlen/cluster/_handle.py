"""ClusterHandle: the caller's side of one vorlen worker on a Dask worker."""
from __future__ import annotations

from queue import SimpleQueue
from typing import Any

import distributed

from vorlen import Answer, Request
from vorlen._arguments import seconds
from vorlen.cluster._answers import AnswerStream
from vorlen.cluster._channel import Channel, Pending
from vorlen.cluster._parcel import carried
from vorlen.cluster._roster import ASK_TIMEOUT, WATCH_INTERVAL, Roster

# Upper bound for Dask to place the host and for it to start its worker.
START_TIMEOUT = 120.0
# Upper bound for the host to reply to an interrupt or a kill, and for the
# caller to see that call end (the last look for its Dask worker included).
CALL_TIMEOUT = 10.0
RUN_TIMEOUT = CALL_TIMEOUT + WATCH_INTERVAL + ASK_TIMEOUT + 1.0

# A request's time limit (None: none) and the grace after an interrupt
# before its worker is killed (None: never, as for blocked_put).
Limits = tuple[float | None, float | None]
UNLIMITED: Limits = (None, None)


def checked_limits(timeout: Any, grace: Any, function: str) -> Limits:
    """The limits of vorlen.run or vorlen.map, checked as they check them."""
    limit = None if timeout is None else seconds(timeout, "timeout", function)
    return limit, seconds(grace, "grace", function, allow_zero=True)


class ClusterHandle:
    """One vorlen worker hosted by a Dask actor, with the operations of a
    ``Tamsel`` handle: ``blocked_put``, ``clear_output`` and ``kill``.

    ``name`` is its process title, ``pid`` its process id on ``hostname``,
    ``address`` the Dask worker that started it and owns it. Made by
    ``ClusterPool``, from the Dask future of its host.
    """

    def __init__(self, client: distributed.Client, future: distributed.Future[Any], name: str,
                 address: str, roster: Roster) -> None:
        self.name = name
        self._killed = False
        error = future.exception(timeout=START_TIMEOUT)
        if error is not None:
            raise error
        channel = self._channel = Channel(
            client, future, address, roster, f"vorlen worker {name} on Dask worker {address}")
        described = channel.run(channel.watched(channel.call("describe"), START_TIMEOUT),
                                START_TIMEOUT + CALL_TIMEOUT)
        self.pid: int = described["pid"]
        self.hostname: str = described["hostname"]
        self.address: str = described["address"]
        channel.pid = self.pid
        channel.label = (f"vorlen worker {name} (pid {self.pid}) on host {self.hostname}, "
                         f"Dask worker {self.address}")

    def __repr__(self) -> str:
        return (f"<ClusterHandle {self.name}: pid {self.pid} on {self.hostname}, "
                f"Dask worker {self.address}>")

    def blocked_put(self, w: Request) -> Answer:
        """Sends request `w` and waits for its answer."""
        stream = self._stream()
        self._send(w, stream)
        return stream.get()

    def clear_output(self) -> None:
        """Kept for the handle's interface. Every answer here goes to the
        request it answers, never to a later one by order, so there is never
        an answer left waiting to discard."""

    def kill(self) -> None:
        """Kills the worker if it is alive and lets Dask forget its host;
        does nothing otherwise. Requests still owed raise WorkerDiedError."""
        try:
            self._channel.run(self._killing(), RUN_TIMEOUT)
        except (TimeoutError, RuntimeError):
            self._abandon()

    def __vorlen_run__(self, w: Request, *, timeout: float | None, grace: float) -> Answer:
        """vorlen.run(handle, w, timeout=..., grace=...) on this handle."""
        limits = checked_limits(timeout, grace, "run")
        stream = self._stream()
        self._send(w, stream, limits=limits)
        return stream.get()

    def __vorlen_interrupt__(self) -> None:
        """vorlen.interrupt(handle): interrupts the request the worker runs."""
        try:
            self._channel.run(self._interrupting(), RUN_TIMEOUT)
        except (TimeoutError, RuntimeError):
            pass   # nothing can be reached to interrupt

    # ---- for the pool ------------------------------------------------------

    def _stream(self) -> AnswerStream:
        """A new stream for this worker's answers of one batch."""
        return AnswerStream(self._channel, self.name)

    def _send(self, w: Any, stream: AnswerStream | None = None,
             arrivals: SimpleQueue[Pending] | None = None, position: int = 0,
             limits: Limits = UNLIMITED) -> Pending:
        """Sends request `w` (pickled here, so that a request that cannot be
        pickled raises here); its answer comes out of `stream`, and its
        arrival is put on `arrivals`."""
        carrier, size = carried(w)
        pending = Pending((carrier, *limits), size, self._channel, stream, arrivals, position)
        self._channel.send(pending)
        return pending

    async def _interrupting(self) -> None:
        """Interrupts what the worker runs, if it is still there."""
        channel = self._channel
        if channel.lost is not None or self._killed:
            return
        try:
            await channel.watched(channel.call("interrupt"), CALL_TIMEOUT)
        except Exception:
            pass   # a worker that is gone runs nothing to interrupt

    async def _killing(self) -> None:
        """Kills the worker and lets Dask forget its host."""
        if self._killed:
            return
        self._killed = True
        channel = self._channel
        try:
            if channel.reachable:
                await channel.watched(channel.call("kill"), CALL_TIMEOUT)
        except Exception:
            # The host is gone; its worker ended with it, or ends once Dask
            # forgets the host.
            pass
        finally:
            channel.fail("killed by its handle", None, reachable=False)

    def _abandon(self) -> None:
        """Gives the worker up without reaching its host (the client's event
        loop is closed or stuck): Dask forgets the host, which then kills
        its worker."""
        self._killed = True
        self._channel.fail("killed by its handle", None, reachable=False)
