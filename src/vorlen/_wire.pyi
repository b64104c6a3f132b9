# Type stubs for vorlen._wire (a C++ extension module used by vorlen.map
# and vorlen.as_completed).
from collections.abc import Callable, Iterable, Iterator
from multiprocessing.process import BaseProcess
from multiprocessing.queues import Queue
from typing import Any

def receive(queue: Queue[Any], process: BaseProcess | None) -> Any: ...

# workers: (qi, qo, process, reader fd, sentinel fd) per worker; answers is
# filled in place, one slot per request; fixed: requests in flight per
# worker, 0 to follow the requests' durations; check(running) is called when
# due, with the position each worker runs (or None), and answers the seconds
# until it is due again (None: never); report(done, answer) after each answer.
def deal(workers: list[tuple[Queue[Any], Queue[Any], BaseProcess, int, int]],
         requests: list[Any], answers: list[Any], fixed: int,
         check: Callable[[list[int | None]], float | None] | None,
         report: Callable[[int, Any], Any] | None) -> None: ...

# The answers of `queues` as (position, answer) pairs in arrival order;
# timeout in seconds from this call, None for no limit.
def arrivals(queues: Iterable[Any], timeout: float | None) -> Iterator[tuple[int, Any]]: ...
