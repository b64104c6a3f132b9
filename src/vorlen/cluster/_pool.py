"""ClusterPool: a CorvanePool whose workers live on a Dask cluster."""
from __future__ import annotations

import asyncio
import contextlib
import threading
import uuid
from collections.abc import Awaitable, Callable, Iterator, Sequence
from queue import Empty, SimpleQueue
from types import TracebackType
from typing import Any, Literal, TypeAlias, overload

import distributed

from vorlen import Answer, Request, WorkerDiedError
from vorlen._arguments import GRACE
from vorlen._progress import reporter
from vorlen.cluster._answers import AnswerStream
from vorlen.cluster._channel import Pending, event_loop
from vorlen.cluster._handle import RUN_TIMEOUT, UNLIMITED, ClusterHandle, Limits, checked_limits
from vorlen.cluster._host import TamselHost
from vorlen.cluster._roster import WATCH_INTERVAL, Roster

# A batch: any iterable of requests but a str (which would be one request
# per character). The annotation names the usual kinds, which a str is not.
Batch: TypeAlias = list[Request] | tuple[Request, ...] | Iterator[Request]


def _batch(args: Any, function: str) -> list[Any]:
    if isinstance(args, str):
        raise TypeError(f"{function}() takes a batch of requests, not a str "
                        "(put a single request in a list)")
    return list(args)


class ClusterPool:
    """``N`` vorlen workers spread evenly over a Dask cluster's workers.

    Worker i is started by Dask worker i mod W (the cluster's workers,
    sorted by address, or those named in ``workers``, in that order) and is
    titled ``name_pref + "_" + str(i)``. ``procs`` maps ``(Dask worker
    address, pid)`` to each worker's handle, in start order, which is the
    order requests are dealt in. The operations mean what they mean on a
    ``CorvanePool``; ``with ClusterPool(...) as pool:`` kills the workers
    when the block ends.

    ``client`` must be a synchronous ``distributed.Client``. While the pool
    lives, its Dask workers hold its actors, so they cannot be retired
    (``retire_workers``, adaptive scaling) until the pool is killed.
    """

    def __init__(self, client: distributed.Client, N: int, name_pref: str = "ClusterPool", *,
                 workers: str | Sequence[str] | None = None) -> None:
        if getattr(client, "asynchronous", False):
            raise TypeError("ClusterPool needs a synchronous distributed.Client, "
                            "not one made with asynchronous=True")
        self.client = client
        self.N = N
        self.name_pref = name_pref
        self.workers = None if workers is None else (
            [workers] if isinstance(workers, str) else list(workers))
        self.procs: dict[tuple[str, int], ClusterHandle] = {}
        self._roster = Roster(client)
        # Threads with a call of this pool in progress.
        self._callers: set[int] = set()
        self.init_process()

    def __repr__(self) -> str:
        return f"<ClusterPool {self.name_pref}: {len(self.procs)} workers>"

    def __enter__(self) -> ClusterPool:
        """The pool itself, for ``with ClusterPool(...) as pool:``."""
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        """Kills the workers, however the block ended."""
        self.kill_all()

    def init_process(self) -> None:
        """Kills the pool's workers, if any, and starts ``N`` new ones."""
        with self._exclusive("init_process"):
            if self.procs:
                self._kill_all()
            places = self._places()
            run = uuid.uuid4().hex[:8]
            futures = []
            try:
                for index in range(self.N):
                    name = self.name_pref + "_" + str(index)
                    address = places[index % len(places)]
                    futures.append((name, address, self.client.submit(
                        TamselHost, name, actor=True, workers=[address],
                        allow_other_workers=False, pure=False,
                        key=f"vorlen-{name}-{run}")))
                for name, address, future in futures:
                    handle = ClusterHandle(self.client, future, name, address, self._roster)
                    self.procs[(handle.address, handle.pid)] = handle
            except BaseException:
                self._kill_all()
                for _, _, future in futures:
                    future.release()
                raise

    def _places(self) -> list[str]:
        """The addresses of the Dask workers to start workers on, in order."""
        known = self.client.scheduler_info(n_workers=-1)["workers"]
        if self.workers is None:
            places = sorted(known)
        else:
            by_name = {str(info.get("name")): address for address, info in known.items()}
            places = []
            for wanted in self.workers:
                address = wanted if wanted in known else by_name.get(str(wanted))
                if address is None:
                    raise ValueError(f"no Dask worker named or at {wanted!r}")
                places.append(address)
        if not places and self.N > 0:
            raise ValueError("the Dask cluster has no workers")
        return places

    def kill_all(self) -> None:
        """Kills every worker (all at once), lets Dask forget their hosts
        and empties ``procs``."""
        with self._exclusive("kill_all"):
            self._kill_all()

    def _kill_all(self) -> None:
        handles = list(self.procs.values())
        self.procs = {}
        if handles and not self._on_loop(
                lambda: asyncio.gather(*[handle._killing() for handle in handles])):
            for handle in handles:
                handle._abandon()

    def clear_output(self) -> None:
        """Kept for the pool's interface: there is never an answer left
        waiting to discard (see ``ClusterHandle.clear_output``)."""

    @overload
    def map(self, args: Batch, block: Literal[True] = ...) -> list[Answer]: ...

    @overload
    def map(self, args: Batch, block: Literal[False]) -> list[AnswerStream]: ...

    @overload
    def map(self, args: Batch, block: bool) -> list[Answer] | list[AnswerStream]: ...

    def map(self, args: Batch, block: bool = True) -> list[Answer] | list[AnswerStream]:
        """Request k to worker k mod N, all sent before any answer is read.

        With ``block`` true, the answers in request order; with ``block``
        false, one answer stream per request (that of its worker), which
        ``vorlen.corvane.reduce`` and ``vorlen.as_completed`` take. A str is
        refused (TypeError): it is one request, not a batch. A batch that
        meets a dead worker raises ``vorlen.WorkerDiedError`` with
        ``positions`` (that worker's requests of the batch left unanswered,
        the one it ran first) and ``answers`` (those already in, None for
        the others).
        """
        requests = _batch(args, "map")
        with self._exclusive("map"):
            if not block:
                return self._streams(requests)
            return self._collect(self._deal(requests))

    def __vorlen_map__(self, args: Batch, *, timeout: float | None = None,
                       grace: float = GRACE,
                       progress: bool | Callable[[int, int], Any] = False,
                       **options: Any) -> list[Answer]:
        """vorlen.map(pool, args, timeout=..., grace=..., progress=...) on
        this pool: each request limited to `timeout` seconds from when its
        worker starts it, the answers reported as they come."""
        if options:
            raise NotImplementedError(
                "vorlen.map on a ClusterPool deals by position only; not available: "
                + ", ".join(options))
        limits = checked_limits(timeout, grace, "map")
        requests = _batch(args, "map")
        with self._exclusive("vorlen.map"):
            report = reporter(progress, len(requests))
            try:
                if report is None:
                    return self._collect(self._deal(requests, limits))
                arrivals: SimpleQueue[Pending] = SimpleQueue()
                pendings = self._deal(requests, limits, arrivals)
                return self._collect_arrivals(pendings, arrivals, report.answered)
            finally:
                if report is not None:
                    report.close()

    def __vorlen_interrupt__(self) -> None:
        """vorlen.interrupt(pool): interrupts what every worker runs now,
        skipping workers that are gone."""
        handles = list(self.procs.values())
        if handles:
            self._on_loop(lambda: asyncio.gather(*[handle._interrupting() for handle in handles]))

    # ---- dealing and collecting ------------------------------------------

    def _streams(self, requests: list[Any]) -> list[AnswerStream]:
        handles = list(self.procs.values())
        streams = [handle._stream() for handle in handles]
        dealt = []
        for position, request in enumerate(requests):
            slot = position % len(handles)
            handles[slot]._send(request, streams[slot], position=position)
            dealt.append(streams[slot])
        return dealt

    def _deal(self, requests: list[Any], limits: Limits = UNLIMITED,
              arrivals: SimpleQueue[Pending] | None = None) -> list[Pending]:
        handles = list(self.procs.values())
        pendings: list[Pending] = []
        for position, request in enumerate(requests):
            handle = handles[position % len(handles)]
            try:
                pendings.append(handle._send(request, None, arrivals, position, limits))
            except WorkerDiedError as error:
                positions = list(range(position, len(requests), len(handles)))
                raise _batch_error(error, positions, pendings, len(requests)) from None
        return pendings

    def _collect(self, pendings: list[Pending]) -> list[Answer]:
        """The answers in request order."""
        answers: list[Any] = [None] * len(pendings)
        for pending in pendings:
            pending.channel.wait(pending)
            answers[pending.position] = self._answer(pending, pendings, answers)
        return answers

    def _collect_arrivals(self, pendings: list[Pending], arrivals: SimpleQueue[Pending],
                          answered: Callable[[int, Any], Any]) -> list[Answer]:
        """The answers, taken as they come; `answered(done, answer)` after each."""
        answers: list[Any] = [None] * len(pendings)
        channels = {id(pending.channel): pending.channel for pending in pendings}
        for done in range(1, len(pendings) + 1):
            while True:
                try:
                    pending = arrivals.get(timeout=WATCH_INTERVAL)
                    break
                except Empty:
                    for channel in channels.values():
                        channel.check_client()
            answers[pending.position] = answer = self._answer(pending, pendings, answers)
            answered(done, answer)
        return answers

    def _answer(self, pending: Pending, pendings: list[Pending], answers: list[Any]) -> Any:
        try:
            return pending.answer()
        except WorkerDiedError as error:
            positions = [other.position for other in pendings[pending.position:]
                         if other.channel is pending.channel]
            raise _batch_error(error, positions, pendings, len(pendings), answers) from None

    # ---- the pool's own calls ----------------------------------------------

    @contextlib.contextmanager
    def _exclusive(self, what: str) -> Iterator[None]:
        """Refuses a call on this pool while another runs in the same thread
        (from a progress callback or a signal handler); the other goes on."""
        me = threading.get_ident()
        if me in self._callers:
            raise RuntimeError(f"ClusterPool.{what}() called while another call on this "
                               "pool is in progress in the same thread")
        self._callers.add(me)
        try:
            yield
        finally:
            self._callers.discard(me)

    def _on_loop(self, make: Callable[[], Awaitable[Any]]) -> bool:
        """Runs what `make` makes on the client's event loop and waits for
        it; false when it could not run to its end."""
        async def run() -> None:
            await make()

        coroutine = run()
        try:
            future = asyncio.run_coroutine_threadsafe(coroutine, event_loop(self.client))
        except RuntimeError:
            coroutine.close()
            return False   # the client's event loop is closed
        try:
            future.result(RUN_TIMEOUT)
        except TimeoutError:
            future.cancel()
            return False
        return True


def _batch_error(error: WorkerDiedError, positions: list[int], pendings: list[Pending],
                 total: int, answers: list[Any] | None = None) -> WorkerDiedError:
    """`error` with what the caller of a batch of `total` requests needs to
    go on: the `positions` of the dead worker's requests left unanswered,
    and every answer already in (those collected, `answers`, and those of
    `pendings` that have come)."""
    collected: list[Any] = [None] * total if answers is None else list(answers)
    for pending in pendings:
        if collected[pending.position] is None and pending.answered():
            try:
                collected[pending.position] = pending.answer()
            except Exception:
                pass   # an answer that cannot be read here stays missing
    batch_error = WorkerDiedError(error.pid, error.exitcode, error.detail,
                                  positions=positions, answers=collected)
    batch_error.__cause__ = error.__cause__
    return batch_error
