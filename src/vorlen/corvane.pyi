# Type stubs for the pool module vorlen.corvane (a C++ extension module).
from collections.abc import Callable, Collection, Iterable
from multiprocessing.queues import Queue
from typing import Any, ClassVar, Literal, Protocol, overload

import vorlen.tamsel
from vorlen import Answer, Request

# The worker module, under the name the pool uses for it.
cs = vorlen.tamsel

class _AnswerSource(Protocol):
    def get(self) -> Any: ...

# One answer from each element of `red`, in order. Waiting on a queue that
# a Tamsel handle made raises vorlen.WorkerDiedError when its worker dies.
def reduce(red: Iterable[_AnswerSource]) -> list[Answer]: ...

class CorvanePool:
    N: int
    # process id -> handle, in start order (the order requests are dealt in)
    procs: dict[int, cs.Tamsel]
    name_pref: str
    def __init__(self, N: int, name_pref: str = "CorvaneingPool") -> None: ...
    def init_process(self) -> None: ...
    def kill_all(self) -> None: ...
    def clear_output(self) -> None: ...
    # block true: the answers in request order; block false: one output
    # queue per request, to be collected later with reduce().
    # `args` is iterated twice, once to send and once to collect, so it must
    # be a collection (list, tuple, ...). A one-shot iterator (a generator)
    # sends its requests but gets [] back: their answers are discarded by
    # the next map or clear_output.
    @overload
    def map(self, args: Collection[Request], block: Literal[True] = True) -> list[Answer]: ...
    @overload
    def map(self, args: Collection[Request], block: Literal[False]) -> list[Queue[Any]]: ...
    @overload
    def map(self, args: Collection[Request], block: bool) -> list[Answer] | list[Queue[Any]]: ...

class CorvaneNoRep:
    # The holder object that carries the shared pool as its attribute CNR.
    builtin: ClassVar[Any]
    @staticmethod
    def set(builtin: Any) -> None: ...
    # A plain function in the class, called through the class:
    # CorvaneNoRep.init_process(n). Returns the shared pool (restarted when n
    # differs from its N), or None on the call that creates it and stores it
    # as builtin.CNR.
    init_process: ClassVar[Callable[[int], CorvanePool | None]]
