# Type stubs for vorlen.interrupt and vorlen.run (vorlen.map carries its
# annotations in vorlen/_mapping.py).
from typing import Protocol

from vorlen.corvane import CorvanePool
from vorlen import Answer, Future, Request
from vorlen.tamsel import Tamsel

# Other handles and pools (a cluster's, say) take part by defining these.
class _Interruptible(Protocol):
    def __vorlen_interrupt__(self) -> None: ...

class _Runner(Protocol):
    def __vorlen_run__(self, w: Request, *, timeout: float | None, grace: float) -> Answer: ...

# Interrupts the request that each worker of `target` runs now (of a
# Future: that request only, if it runs now); never waits.
def interrupt(target: Tamsel | CorvanePool | Future | _Interruptible) -> None: ...

# The answer to `w`, as blocked_put gives it, interrupted after `timeout`
# seconds; a request still running `grace` seconds after its interrupt
# costs its worker (vorlen.WorkerDiedError).
def run(handle: Tamsel | _Runner, w: Request, *, timeout: float | None = None,
        grace: float = 2.0) -> Answer: ...
