"""``with`` forms of the worker handle and the pool: ``vorlen.worker`` and
``vorlen.pool``. Leaving the block, by an exception or not, kills the
workers and reaps their processes, so that none is left behind."""
from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import vorlen

if TYPE_CHECKING:
    import vorlen.corvane
    import vorlen.tamsel

# How long leaving the block waits for each killed worker to be reaped. A
# killed process ends at once unless the kernel holds it (in the middle of
# a read from a dead network file system, say); past this it is left to
# multiprocessing, which reaps it at its next look at its children.
REAP_SECONDS = 5.0


@contextlib.contextmanager
def worker(name: str | None = None) -> Iterator[vorlen.tamsel.Tamsel]:
    """A started worker handle, ``vorlen.tamsel.Tamsel(name)``, for the
    ``with`` block; its worker is killed and reaped when the block is left.

    ``name`` becomes the worker's process title (``None`` leaves it alone)::

        with vorlen.worker("loader") as w:
            w.blocked_put("import numpy as np")
            answer = w.blocked_put("xreturn(n=np.arange(4).sum())")
    """
    from vorlen.tamsel import Tamsel

    handle = Tamsel(name)
    try:
        yield handle
    finally:
        _end([handle.proc], handle.kill)


@contextlib.contextmanager
def pool(n: int, name_pref: str = "CorvaneingPool") -> Iterator[vorlen.corvane.CorvanePool]:
    """A started pool of ``n`` workers, ``vorlen.corvane.CorvanePool(n,
    name_pref)``, for the ``with`` block; every worker it has when the block
    is left is killed and reaped (workers it replaced earlier, through
    ``init_process``, were killed then).

    The workers are titled ``name_pref + "_" + str(i)``::

        with vorlen.pool(4, name_pref="sweep") as p:
            answers = p.map(["xreturn(x=1)"] * 8)
    """
    from vorlen.corvane import CorvanePool

    workers = CorvanePool(n, name_pref)
    try:
        yield workers
    finally:
        processes = [handle.proc for handle in list(workers.procs.values())]
        _end(processes, workers.kill_all)


def _end(processes: list[Any], kill: Any) -> None:
    """Kills through `kill` (the handle's or pool's own method), then reaps
    each of `processes`; an error of the kill propagates once all are
    reaped."""
    try:
        kill()
    finally:
        for process in processes:
            with contextlib.suppress(ValueError):  # a process object already closed
                if process.is_alive():  # kill() left it: a replaced handle, say
                    process.kill()
                process.join(REAP_SECONDS)
