"""The pool module: ``CorvanePool`` keeps N workers (``vorlen.tamsel.Tamsel``
handles) and deals a batch of requests over them by position;
``reduce`` collects the answers of a batch sent without waiting;
``CorvaneNoRep`` keeps one shared pool on a holder object, so that set-up
code that runs again gets the running pool back.

(This text is for readers and editors; the module itself carries no
docstrings.)
"""
from collections.abc import Callable, Iterable
from multiprocessing.queues import Queue
from typing import Any, ClassVar, Literal, Protocol, overload

import vorlen.tamsel
from vorlen import Answer, Request
from vorlen._types import Collected

# The worker module, under the name the pool uses for it.
cs = vorlen.tamsel

class _AnswerSource(Protocol):
    def get(self) -> Any: ...

def reduce(red: Iterable[_AnswerSource]) -> list[Answer]:
    """One item from each element of ``red`` (``get()`` called in order),
    in a new list: the answers of ``CorvanePool.map(args, block=False)`` in
    request order.

    Waiting on a queue that a ``Tamsel`` handle made raises
    ``vorlen.WorkerDiedError`` when its worker dies. Nothing is caught: an
    error of a ``get`` propagates at once, and the answers already taken are
    lost with the unfinished list.
    """

class CorvanePool:
    """A fixed number of worker processes, each behind a ``Tamsel`` handle,
    started by the constructor. Request k of a batch goes to worker k mod
    N. Kill the workers with ``kill_all()`` when done (or use ``with
    vorlen.pool(n) as pool:``)."""

    N: int
    """The number of workers that ``init_process`` starts."""
    procs: dict[int, cs.Tamsel]
    """Process id -> handle, in start order (the order requests are dealt
    in)."""
    name_pref: str
    """Worker i is titled ``name_pref + "_" + str(i)``."""
    def __init__(self, N: int, name_pref: str = "CorvaneingPool") -> None:
        """Starts ``N`` workers titled ``name_pref + "_" + str(i)``. If a
        start fails, the workers already started are killed before the error
        propagates."""
    def init_process(self) -> None:
        """Kills the pool's workers and starts ``N`` new ones (set ``N``
        first to resize the pool)."""
    def kill_all(self) -> None:
        """Kills every worker and empties ``procs``."""
    def clear_output(self) -> None:
        """Discards the answers waiting on every worker's answer queue."""
    # `args` is iterated twice, once to send and once to collect, so it must
    # be a collection (list, tuple, ...), and not a str.
    @overload
    def map(self, args: Collected[Request], block: Literal[True] = True) -> list[Answer]:
        """Sends request k of ``args`` to worker k mod N and returns the
        answers in request order (see the overload with ``block=False``)."""
    @overload
    def map(self, args: Collected[Request], block: Literal[False]) -> list[Queue[Any]]:
        """Sends request k of ``args`` to worker k mod N and returns at once
        with the answer queue of each request's worker, one per request;
        ``reduce`` of that list later gives the answers in request order."""
    @overload
    def map(self, args: Collected[Request], block: bool) -> list[Answer] | list[Queue[Any]]:
        """A batch over the pool: first discards the answers waiting on
        every worker, then puts request k on the queue of worker k mod N,
        all of them before any answer is read.

        ``block`` true: waits and returns the answers in request order.
        ``block`` false: returns one answer queue per request; ``reduce`` of
        that list gives the answers. ``args`` is read twice (to send, then
        to collect), so a one-shot iterator sends its requests but gets
        ``[]`` back. A request that cannot be pickled raises in the caller
        at that request of the batch.
        """

class CorvaneNoRep:
    """One shared pool kept on a holder object that outlives the code which
    sets it up (a notebook cell run again, say): ``set(holder)`` once, then
    ``init_process(n)`` gives the running pool back instead of starting
    new workers."""

    builtin: ClassVar[Any]
    """The holder object registered by ``set``; the pool is its attribute
    ``CNR``."""
    @staticmethod
    def set(builtin: Any) -> None:
        """Registers ``builtin`` (any object that takes attributes) as the
        holder of the shared pool."""
    init_process: ClassVar[Callable[[int], CorvanePool | None]]
    """Called through the class: ``CorvaneNoRep.init_process(n)``. With no
    pool on the holder yet, it starts one with ``n`` workers, stores it as
    ``holder.CNR`` and returns ``None``; later calls return that pool,
    restarting its workers only when ``n`` differs from its ``N``. Workers
    are never checked for being alive, and nothing here kills them."""
