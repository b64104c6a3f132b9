"""ClusterPool: a CorvanePool whose workers live on a Dask cluster."""
from __future__ import annotations

import uuid
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

import vorlen
import vorlen.corvane
from vorlen._arguments import GRACE
from vorlen._progress import reporter
from vorlen.cluster._answers import AnswerStream
from vorlen.cluster._handle import ClusterHandle, checked_limits
from vorlen.cluster._host import TamselHost

if TYPE_CHECKING:
    from distributed import Client


class ClusterPool:
    """``N`` vorlen workers spread evenly over a Dask cluster's workers.

    Worker i is started by Dask worker i mod W (the cluster's workers, or
    those named in ``workers``, in that order) and is titled
    ``name_pref + "_" + str(i)``. ``procs`` maps ``(Dask worker address,
    pid)`` to each worker's handle, in start order, which is the order
    requests are dealt in. The operations mean what they mean on a
    ``CorvanePool``.
    """

    def __init__(self, client: Client, N: int, name_pref: str = "ClusterPool", *,
                 workers: Sequence[str] | None = None) -> None:
        self.client = client
        self.N = N
        self.name_pref = name_pref
        self.workers = None if workers is None else list(workers)
        self.procs: dict[tuple[str, int], ClusterHandle] = {}
        self.init_process()

    def __repr__(self) -> str:
        return f"<ClusterPool {self.name_pref}: {len(self.procs)} workers>"

    def init_process(self) -> None:
        """Kills the pool's workers, if any, and starts ``N`` new ones."""
        if self.procs:
            self.kill_all()
        places = self._places()
        run = uuid.uuid4().hex[:8]
        futures = []
        try:
            for index in range(self.N):
                name = self.name_pref + "_" + str(index)
                address = places[index % len(places)]
                futures.append((name, self.client.submit(
                    TamselHost, name, actor=True, workers=[address],
                    allow_other_workers=False, pure=False,
                    key=f"vorlen-{name}-{run}")))
            for name, future in futures:
                handle = ClusterHandle(self.client, future, name)
                self.procs[(handle.address, handle.pid)] = handle
        except BaseException:
            for _, future in futures:
                future.release()
            self.kill_all()
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
        """Kills every worker (all at once) and empties ``procs``."""
        handles = list(self.procs.values())
        pending = [handle.begin_kill() for handle in handles]
        for handle, kill in zip(handles, pending):
            handle.finish_kill(kill)
        self.procs = {}

    def clear_output(self) -> None:
        for handle in list(self.procs.values()):
            handle.clear_output()

    def map(self, args: Iterable[Any], block: bool = True) -> list[Any]:
        """Request k to worker k mod N, all sent before any answer is read.

        With ``block`` true, the answers in request order; with ``block``
        false, one answer stream per request (that of its worker), which
        ``vorlen.corvane.reduce`` and ``vorlen.as_completed`` take.
        """
        return self._deal(args, block)

    def __vorlen_map__(self, args: Iterable[Any], *, timeout: float | None = None,
                       grace: float = GRACE, progress: Any = False,
                       **options: Any) -> list[Any]:
        """vorlen.map(pool, args, timeout=..., grace=..., progress=...) on
        this pool: each request limited to `timeout` seconds from when its
        worker starts it, the answers reported as they come."""
        if options:
            raise NotImplementedError(
                "vorlen.map on a ClusterPool deals by position only; not available: "
                + ", ".join(options))
        limits = checked_limits(timeout, grace, "map")
        requests = list(args)
        report = reporter(progress, len(requests))
        if report is None:
            return self._deal(requests, True, limits)
        try:
            streams = self._deal(requests, False, limits)
            answers: list[Any] = [None] * len(streams)
            for done, (index, answer) in enumerate(vorlen.as_completed(streams), 1):
                answers[index] = answer
                report.answered(done, answer)
            return answers
        finally:
            report.close()

    def __vorlen_interrupt__(self) -> None:
        """vorlen.interrupt(pool): interrupts what every worker runs now."""
        handles = list(self.procs.values())
        pending = [handle.begin_interrupt() for handle in handles]
        for handle, interrupt in zip(handles, pending):
            handle.finish_interrupt(interrupt)

    def _deal(self, args: Iterable[Any], block: bool, limits: tuple = ()) -> list[Any]:
        handles = list(self.procs.values())
        streams = [AnswerStream(handle) for handle in handles]
        dealt = []
        for position, request in enumerate(args):
            slot = position % len(handles)
            handles[slot].send(request, streams[slot], *limits)
            dealt.append(streams[slot])
        if not block:
            return dealt
        return vorlen.corvane.reduce(dealt)
