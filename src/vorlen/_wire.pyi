# Type stubs for vorlen._wire (a C++ extension module used by vorlen.map
# and vorlen.as_completed).
from collections.abc import Callable, Iterable, Iterator
from multiprocessing.process import BaseProcess
from multiprocessing.queues import Queue
from typing import Any

# The next answer on `queue` that belongs to no running call, watching its
# writer (`process`, or None for the one registered as its writer).
def receive(queue: Queue[Any], process: BaseProcess | None) -> Any: ...

# The answers of `requests` on the workers of `handles`, in request order:
# by position (request k to handle k mod n) or, with `balance`, to the
# first free worker, `fixed` requests in flight per worker (0 to follow the
# requests' durations). tokens: each request's time-limit token (0: none);
# a request that ignores its interrupt or limit for `grace` seconds costs
# its worker (WorkerDiedError). report(done, answer) after each answer.
# recover(index, error) is asked for a handle in the place of handles[index]
# when that worker ended (error: its WorkerDiedError) or turned a request
# away above its memory limit (error None); None leaves it out.
def deal(handles: list[Any], requests: list[Any], tokens: list[int], grace: float,
         balance: bool, fixed: int, report: Callable[[int, Any], Any] | None,
         recover: Callable[[int, Any], Any] | None = None) -> list[Any]: ...

# The answers of `queues` as (position, answer) pairs in arrival order;
# timeout in seconds from this call, None for no limit.
def arrivals(queues: Iterable[Any], timeout: float | None) -> Iterator[tuple[int, Any]]: ...
