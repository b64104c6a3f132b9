# Type stubs for vorlen._control (a C++ extension module used by
# vorlen.interrupt, vorlen.run and vorlen.map, and holding the ledger that
# matches every answer to its request).
from multiprocessing.process import BaseProcess
from multiprocessing.queues import Queue
from typing import Any

SIGNAL: int

def interrupt_worker(qi: Queue[Any], process: BaseProcess) -> None: ...
# Puts `w` on handle.qi and returns its own answer, killing the worker
# (WorkerDiedError) when the request it runs ignores its interrupt or time
# limit (token, 0 for none) for `grace` seconds.
def request(handle: Any, w: Any, token: int, grace: float) -> Any: ...
# A worker started in a fresh interpreter maps the page its parent made.
def adopt_page(qi: Queue[Any], fd: int) -> None: ...
# The message pickled in `payload`, noting its tag for this thread.
def _tagged_loads(tag: int, payload: bytes) -> Any: ...
# (serial, started, memory limit, memory state, memory seen) of the page of
# the worker serving `qi`, or None without one.
def page_state(qi: Queue[Any]) -> tuple[int, int, int, int, int] | None: ...
# Writes a memory limit (bytes, 0 for none) on that page; False without one.
def limit_memory(qi: Queue[Any], limit: int, during: bool) -> bool: ...

# vorlen.submit's machinery. A ticket is a submitted request as its future
# tracks it (an object of the module's own type, not a name of it).
# Sends `request` for `future` to the worker of handles[0] (pool None) or to
# the first free worker among `handles` (those of `pool`); its ticket.
def submit(handles: list[Any], pool: Any, future: Any, request: Any, token: int,
           grace: float) -> object | None: ...
# True when the request will never run (it had not started).
def cancel(ticket: object) -> bool: ...
# Interrupts the request if its worker runs it now; whether it did.
def interrupt_ticket(ticket: object) -> bool: ...
# Whether the ticket's worker runs its request now.
def running(ticket: object) -> bool: ...
# Waits for the ticket's answer in this thread while nobody else reads its
# worker's answers (returns early otherwise, or at the time-out).
def wait(ticket: object, timeout: float | None) -> None: ...
# Whether this is the thread that resolves the futures.
def in_dispatcher() -> bool: ...
