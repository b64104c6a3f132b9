"""ClusterHandle: the caller's side of one vorlen worker on a Dask worker."""
from __future__ import annotations

import asyncio
import itertools
import pickle
from typing import TYPE_CHECKING, Any

from vorlen._arguments import seconds
from vorlen._errors import WorkerDiedError
from vorlen.cluster._answers import AnswerStream

if TYPE_CHECKING:
    from distributed import Client, Future
    from distributed.actor import BaseActorFuture

# While an answer is awaited, how often the Dask worker is looked for among
# the scheduler's workers (a worker that went silently is noticed this way).
WATCH_INTERVAL = 1.0
# Upper bound for the hosting side to kill and reap its worker.
KILL_TIMEOUT = 10.0
# Upper bound for Dask to place the host and for it to start its worker.
START_TIMEOUT = 120.0


def _out_of_band(buffer: pickle.PickleBuffer) -> None:
    """Leaves large buffers out of the pickling check (nothing is copied)."""
    return None


def checked_limits(timeout: Any, grace: Any, function: str) -> tuple:
    """The arguments of a limited send, checked as vorlen.run and vorlen.map
    check them."""
    limit = None if timeout is None else seconds(timeout, "timeout", function)
    return True, limit, seconds(grace, "grace", function, allow_zero=True)


def check_picklable(w: Any) -> None:
    """Raises the error that pickling `w` raises, as sending it to a local
    worker would. Large buffers (arrays) are only referenced, not copied;
    Dask itself sends them as separate frames."""
    if type(w) is not str:
        pickle.dumps(w, protocol=5, buffer_callback=_out_of_band)


class ClusterHandle:
    """One vorlen worker hosted by a Dask actor, with the operations of a
    ``Tamsel`` handle: ``blocked_put``, ``clear_output`` and ``kill``.

    ``name`` is its process title, ``pid`` its process id on ``hostname``,
    ``address`` the Dask worker that started it and owns it.
    """

    def __init__(self, client: Client, actor_future: Future, name: str) -> None:
        self._client = client
        self._actor_future: Future | None = actor_future
        self._actor = actor_future.result(timeout=START_TIMEOUT)
        self.name = name
        described = self._actor.describe().result(timeout=START_TIMEOUT)
        self.pid: int = described["pid"]
        self.hostname: str = described["hostname"]
        self.address: str = described["address"]
        self._numbers = itertools.count()
        # Set once the worker is known to be gone: every later wait raises it.
        self._lost: WorkerDiedError | None = None

    def __repr__(self) -> str:
        return (f"<ClusterHandle {self.name}: pid {self.pid} on {self.hostname}, "
                f"Dask worker {self.address}>")

    def blocked_put(self, w: Any) -> Any:
        """Sends request `w` and waits for its answer."""
        stream = AnswerStream(self)
        self.send(w, stream)
        return stream.get()

    def send(self, w: Any, stream: AnswerStream, limited: bool = False,
             limit: float | None = None, grace: float | None = None) -> None:
        """Sends request `w`; its answer will come out of `stream`. With
        `limited`, the worker interrupts it after `limit` seconds (None: no
        limit) and is killed when it has not answered `grace` seconds after
        an interrupt, as vorlen.run does locally."""
        if self._lost is not None:
            raise self._lost
        check_picklable(w)
        number = next(self._numbers)
        if limited:
            stream.add(self._actor.request_limited(number, w, limit, grace))
        else:
            stream.add(self._actor.request(number, w))

    def __vorlen_run__(self, w: Any, *, timeout: float | None, grace: float) -> Any:
        """vorlen.run(handle, w, timeout=..., grace=...) on this handle."""
        stream = AnswerStream(self)
        self.send(w, stream, *checked_limits(timeout, grace, "run"))
        return stream.get()

    def __vorlen_interrupt__(self) -> None:
        """vorlen.interrupt(handle): interrupts the request the worker runs."""
        self.finish_interrupt(self.begin_interrupt())

    def begin_interrupt(self) -> BaseActorFuture | None:
        return None if self._lost is not None else self._actor.interrupt()

    def finish_interrupt(self, pending: BaseActorFuture | None) -> None:
        if pending is not None:
            try:
                self._collect(pending)
            except WorkerDiedError:
                pass   # a worker that is gone runs nothing to interrupt

    def clear_output(self) -> None:
        """Kept for the handle's interface. Every answer here goes to the
        request it answers, never to a later one by order, so there is never
        an answer left waiting to discard."""

    def kill(self) -> None:
        """Kills the worker if it is alive; does nothing otherwise."""
        self.finish_kill(self.begin_kill())

    def begin_kill(self) -> BaseActorFuture | None:
        if self._actor_future is None:
            return None
        try:
            return self._actor.kill()
        except Exception:
            return None

    def finish_kill(self, pending: BaseActorFuture | None) -> None:
        if self._actor_future is None:
            return
        try:
            if pending is not None:
                pending.result(timeout=KILL_TIMEOUT)
        except Exception:
            # The Dask worker is gone, and the kernel ended the worker with it.
            pass
        finally:
            self._mark_lost("killed by its handle", None)
            self._release()

    # ---- waiting for answers --------------------------------------------

    def _collect(self, future: BaseActorFuture) -> Any:
        """The outcome of an actor call, with losses as WorkerDiedError."""
        if self._lost is None:
            try:
                return future.result(timeout=WATCH_INTERVAL)
            except TimeoutError:
                pass
            except WorkerDiedError:
                raise
            except (OSError, RuntimeError, asyncio.CancelledError) as error:
                raise self._mark_lost("its Dask worker was lost", error) from error
        return self._client.sync(self._outcome, future)

    async def _outcome(self, future: BaseActorFuture) -> Any:
        """Awaits an actor call on the client's loop, looking now and then
        whether its Dask worker is still there. An answer that is in is
        returned even after the worker was found lost."""
        task = asyncio.ensure_future(future)
        try:
            while True:
                if future.done() or self._lost is None:
                    done, _ = await asyncio.wait([task], timeout=WATCH_INTERVAL)
                    if done:
                        try:
                            return task.result()
                        except WorkerDiedError:
                            raise
                        except (OSError, RuntimeError, asyncio.CancelledError) as error:
                            raise self._mark_lost("its Dask worker was lost", error) from error
                if self._lost is not None:
                    raise self._lost
                if not await self._dask_worker_present():
                    raise self._mark_lost("its Dask worker left the cluster", None)
        finally:
            task.cancel()

    async def _dask_worker_present(self) -> bool:
        if self._client.status != "running":
            return False
        try:
            info = await self._client.scheduler.identity(n_workers=-1)
        except OSError:
            return False
        return self.address in info.get("workers", {})

    def _mark_lost(self, how: str, cause: BaseException | None) -> WorkerDiedError:
        if self._lost is None:
            reason = "" if cause is None else f": {type(cause).__name__}: {cause}"
            self._lost = WorkerDiedError(
                self.pid, None,
                f"vorlen worker {self.name} (pid {self.pid}) on host {self.hostname}, "
                f"Dask worker {self.address}: {how}{reason}")
            self._release()
        return self._lost

    def _release(self) -> None:
        """Lets Dask drop the actor (its host then kills the worker, if it
        still runs)."""
        actor_future, self._actor_future = self._actor_future, None
        if actor_future is not None:
            try:
                actor_future.release()
            except Exception:
                pass
