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
