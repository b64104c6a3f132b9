"""The hosting side of a cluster worker: a Dask actor that owns one vorlen
worker process on the Dask worker's machine.

Requests and answers go through the worker's queues on the Dask worker's
event loop, as a ``CorvanePool`` sends and reads them, so a request costs no
thread switch here. Calls to one actor may overtake each other between the
caller and the Dask worker, so every request carries its number and waits
here for its turn; answers come back in the order requests were sent.

The vorlen worker never outlives what owns it:
- the actor's key released (the pool killed, the client closed or gone): a
  watch thread of the Dask worker process kills the process;
- the Dask worker process ending normally: it is killed there as every
  vorlen worker is when the process that started it ends;
- the Dask worker process killed: the vorlen worker ends itself, as every
  vorlen worker does when its parent process dies.
"""
from __future__ import annotations

import asyncio
import contextlib
import multiprocessing
import socket
import threading
import time
import warnings
from collections import deque
from typing import Any

import distributed

import vorlen
import vorlen.corvane
import vorlen.tamsel
from vorlen._errors import WorkerDiedError

# How often the watch thread looks for hosts whose actor was released.
WATCH_INTERVAL = 0.25
# Upper bound for reaping a killed vorlen worker.
REAP_TIMEOUT = 5.0

# Serialises the temporary changes to process-wide multiprocessing settings.
_start_lock = threading.Lock()

# Every host of this process whose vorlen worker may still be alive.
_hosts: set[TamselHost] = set()
_hosts_lock = threading.Lock()
_watch_thread: threading.Thread | None = None


@contextlib.contextmanager
def _starting_owned_child():
    """Lets this thread start a vorlen worker process that is forked and not
    a daemon, whatever this Dask worker process's own settings are.

    Dask worker processes started by a nanny are daemonic by default
    (``distributed.worker.daemon``), and multiprocessing refuses to start
    children from a daemonic process because it would not wait for them at
    exit. Here the flag is lifted only while the child starts; the child is
    then tied to this process's life (killed when this process ends, by the
    watch below when its actor is released, and by its own watch on its
    parent), so nothing is left waiting or running. The child is forked
    even where the start method is spawn (as in Dask workers started by a
    nanny): it starts in milliseconds instead of importing everything again,
    including the main module of the program that started the Dask worker,
    and it only runs the worker loop.
    """
    me = multiprocessing.current_process()
    with _start_lock:
        method = multiprocessing.get_start_method(allow_none=True)
        daemonic = me.daemon
        if method != "fork":
            multiprocessing.set_start_method("fork", force=True)
        if daemonic:
            me.daemon = False
        try:
            with warnings.catch_warnings():
                # The fork is safe here: the child only runs the worker loop.
                warnings.filterwarnings("ignore", "This process .* is multi-threaded",
                                        DeprecationWarning)
                yield
        finally:
            if daemonic:
                me.daemon = True
            if method != "fork":
                multiprocessing.set_start_method(method, force=True)


def start_tamsel(name: str) -> vorlen.tamsel.Tamsel:
    """Starts a vorlen worker titled `name`, a child of this process."""
    with _starting_owned_child():
        return vorlen.tamsel.Tamsel(name)


def _watch_released_hosts() -> None:
    while True:
        time.sleep(WATCH_INTERVAL)
        with _hosts_lock:
            hosts = list(_hosts)
        for host in hosts:
            if host.released():
                host.kill()


def _register(host: TamselHost) -> None:
    global _watch_thread
    with _hosts_lock:
        _hosts.add(host)
        if _watch_thread is None:
            _watch_thread = threading.Thread(
                target=_watch_released_hosts, name="vorlen-host-watch", daemon=True)
            _watch_thread.start()


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


class _Sent:
    """A request sent to the worker: where its answer goes and, for one sent
    with a grace period, how long it may run (its time limit plus the grace,
    or only the grace once it was interrupted) before its worker is killed."""

    __slots__ = ("answer", "limit", "grace", "timer")

    def __init__(self, answer: asyncio.Future, limit: float | None = None,
                 grace: float | None = None) -> None:
        self.answer = answer
        self.limit = limit
        self.grace = grace
        self.timer: asyncio.TimerHandle | None = None

    def stop_timer(self) -> None:
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None


def _settle(future: asyncio.Future, answer: Any) -> None:
    if not future.done():
        future.set_result(answer)


class TamselHost:
    """One vorlen worker named ``name``, started on the Dask worker that
    creates this actor, and the requests on their way to it."""

    def __init__(self, name: str) -> None:
        worker = distributed.get_worker()
        self._actors = worker.state.actors
        self._key = worker.get_current_task()
        self._loop = worker.loop.asyncio_loop
        self.address = worker.address
        self.hostname = socket.gethostname()
        self.name = name
        self._killed = False
        self._unresponsive = False
        self._tamsel = start_tamsel(name)
        self.pid = self._tamsel.proc.pid
        self._sender = _Sender(self._tamsel)
        # Number of the next request to send, and the later ones that came
        # early, each waiting for its turn.
        self._next = 0
        self._turns: dict[int, asyncio.Future] = {}
        # Requests sent, oldest first: the worker answers in this order, and
        # runs the oldest now.
        self._answers: deque[_Sent] = deque()
        self._failure: WorkerDiedError | None = None
        _register(self)
        self._loop.call_soon_threadsafe(self._watch_worker)

    def describe(self) -> dict[str, Any]:
        return {"pid": self.pid, "hostname": self.hostname, "address": self.address}

    async def request(self, number: int, w: Any) -> Any:
        """The answer to request ``w``, number ``number`` of this worker."""
        return await self._send(number, w, _Sent(self._loop.create_future()))

    async def request_limited(self, number: int, w: Any, limit: float | None,
                              grace: float) -> Any:
        """As ``request``, where the worker interrupts the request after
        ``limit`` seconds (None: no limit), and kills the worker when the
        request has not answered ``grace`` seconds after an interrupt."""
        if limit is not None:
            from vorlen._timed import timed
            w, _ = timed(w, limit)
        return await self._send(number, w, _Sent(self._loop.create_future(), limit, grace))

    def interrupt(self) -> None:
        """Interrupts the request the worker runs now, as vorlen.interrupt
        does for a local worker."""
        vorlen.interrupt(self._tamsel)
        self._loop.call_soon_threadsafe(self._interrupted)

    async def _send(self, number: int, w: Any, sent: _Sent) -> Any:
        if number != self._next and self._failure is None:
            turn = self._loop.create_future()
            self._turns[number] = turn
            await turn
        if self._failure is not None:
            raise self._failure
        try:
            vorlen.corvane.CorvanePool.map(self._sender, (w,), False)
        finally:
            self._next = number + 1
            turn = self._turns.pop(self._next, None)
            if turn is not None:
                _settle(turn, None)
        self._answers.append(sent)
        if len(self._answers) == 1:
            self._running(sent)
        return await sent.answer

    def kill(self) -> None:
        """Kills the vorlen worker (if alive) and reaps it; waiting and later
        requests then fail with WorkerDiedError. Callable from any thread."""
        with _hosts_lock:
            _hosts.discard(self)
        self._killed = True
        self._tamsel.kill()
        self._tamsel.proc.join(REAP_TIMEOUT)

    def released(self) -> bool:
        """Whether Dask no longer holds this actor (its key was released).
        The key is there from the start of the actor's creation."""
        return self._key not in self._actors

    # ---- on the Dask worker's event loop ---------------------------------

    def _watch_worker(self) -> None:
        if self._failure is None:
            self._loop.add_reader(self._tamsel.qo._reader.fileno(), self._take_answers)
            self._loop.add_reader(self._tamsel.proc.sentinel, self._worker_ended)

    def _take_answers(self) -> None:
        """Hands each answer that is in to the oldest request sent."""
        qo = self._tamsel.qo
        while True:
            try:
                answer = vorlen.corvane.reduce((qo,))[0]
            except WorkerDiedError:
                self._worker_ended()
                return
            if self._answers:
                self._answered(answer)
            if not qo._reader.poll():
                return

    def _answered(self, answer: Any) -> None:
        sent = self._answers.popleft()
        sent.stop_timer()
        _settle(sent.answer, answer)
        if self._answers:
            self._running(self._answers[0])

    def _running(self, sent: _Sent) -> None:
        """`sent` is what the worker runs from now on."""
        if sent.limit is not None:
            sent.timer = self._loop.call_later(sent.limit + sent.grace, self._no_response, sent)

    def _interrupted(self) -> None:
        if self._answers and self._answers[0].grace is not None:
            sent = self._answers[0]
            if sent.timer is None or sent.timer.when() > self._loop.time() + sent.grace:
                sent.stop_timer()
                sent.timer = self._loop.call_later(sent.grace, self._no_response, sent)

    def _no_response(self, sent: _Sent) -> None:
        if self._answers and self._answers[0] is sent and self._failure is None:
            self._unresponsive = True
            self._tamsel.kill()

    def _worker_ended(self) -> None:
        """Hands over the answers the worker sent before it ended, then
        fails every other request."""
        if self._failure is not None:
            return
        qo = self._tamsel.qo
        while self._answers:
            try:
                answer = vorlen.corvane.reduce((qo,))[0]
            except WorkerDiedError:
                break
            self._answered(answer)
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
        self._loop.remove_reader(self._tamsel.qo._reader.fileno())
        self._loop.remove_reader(self._tamsel.proc.sentinel)
        for sent in self._answers:
            sent.stop_timer()
        waiting = [sent.answer for sent in self._answers] + list(self._turns.values())
        self._answers.clear()
        self._turns.clear()
        for future in waiting:
            if not future.done():
                future.set_exception(self._failure)
