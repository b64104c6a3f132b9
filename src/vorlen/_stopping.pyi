# Type stubs for vorlen.interrupt, vorlen.run and vorlen.map.
from collections.abc import Iterable
from typing import Protocol

from vorlen.corvane import CorvanePool
from vorlen.tamsel import Answer, Request, Tamsel

# Other handles and pools (a cluster's, say) take part by defining these.
class _Interruptible(Protocol):
    def __vorlen_interrupt__(self) -> None: ...

class _Runner(Protocol):
    def __vorlen_run__(self, w: Request, *, timeout: float | None, grace: float) -> Answer: ...

class _Mapper(Protocol):
    def __vorlen_map__(self, args: Iterable[Request], *, timeout: float | None,
                       grace: float) -> list[Answer]: ...

# Interrupts the request that each worker of `target` runs now; never waits.
def interrupt(target: Tamsel | CorvanePool | _Interruptible) -> None: ...

# The answer to `w`, as blocked_put gives it, interrupted after `timeout`
# seconds; a request still running `grace` seconds after its interrupt
# costs its worker (vorlen.WorkerDiedError).
def run(handle: Tamsel | _Runner, w: Request, *, timeout: float | None = None,
        grace: float = 2.0) -> Answer: ...

# The answers of pool.map(args) in request order, each request limited to
# `timeout` seconds from when its worker starts it.
def map(pool: CorvanePool | _Mapper, args: Iterable[Request], *,
        timeout: float | None = None, grace: float = 2.0) -> list[Answer]: ...
