"""Stopping a running request without losing its worker: vorlen.interrupt,
and the time limits of vorlen.run (those of vorlen.map are in _mapping).

A worker is interrupted with a real-time signal (SIGRTMIN + 6) sent to its
main thread; the request it runs at that moment ends with KeyboardInterrupt
and gets its failure answer, and the worker goes on with its namespace.
Other pools and handles take part through methods of their own class:
``__vorlen_interrupt__(self)``, ``__vorlen_run__(self, w, *, timeout,
grace)`` and ``__vorlen_map__(self, args, *, timeout, grace)``; when the
target's class defines one, these functions call it instead.
"""
from vorlen import _control
from vorlen._arguments import GRACE as _GRACE, seconds as _seconds
from vorlen._timed import timed
from vorlen._futures import Future as _Future, interrupt as _interrupt_future

# vorlen.tamsel.Tamsel once a call has needed it: importing the package
# must not load the worker module (nor numpy).
_Tamsel = None


def interrupt(target):
    """Interrupts the request that the worker of the handle `target` (or
    every worker of the pool `target`) is running now. The request ends
    with KeyboardInterrupt and answers "EXCEPTION"; an idle worker, and a
    request that has finished by the time the interrupt arrives, are left
    alone, and requests waiting in the queue run as usual. With a
    vorlen.Future, only that future's request is interrupted, if it runs
    now. Never waits."""
    if isinstance(target, _Future):
        _interrupt_future(target)
        return
    hook = getattr(type(target), "__vorlen_interrupt__", None)
    if hook is not None:
        hook(target)
        return
    for handle in _handles_of(target):
        _control.interrupt_worker(handle.qi, handle.proc)


def run(handle, w, *, timeout=None, grace=_GRACE):
    """The answer to request `w` on the handle, as ``handle.blocked_put(w)``
    gives it. With `timeout`, the request is interrupted once it has run
    for that many seconds, and its answer's traceback ends with the limit
    it exceeded. A request that has not answered `grace` seconds after its
    interrupt (from its limit or from vorlen.interrupt) gets its worker
    killed, and WorkerDiedError is raised."""
    if type(handle) is _Tamsel and timeout is None and grace is _GRACE:
        return _control.request(handle, w, 0, _GRACE)  # the common case, quickly
    return _run(handle, w, timeout, grace)


def _run(handle, w, timeout, grace):
    global _Tamsel
    if _Tamsel is None:
        from vorlen.tamsel import Tamsel as _Tamsel
    hook = getattr(type(handle), "__vorlen_run__", None)
    if hook is not None:
        return hook(handle, w, timeout=timeout, grace=grace)
    grace = _seconds(grace, "grace", "run", allow_zero=True)
    if timeout is None:
        return _control.request(handle, w, 0, grace)
    envelope, token = timed(w, _seconds(timeout, "timeout", "run"))
    return _control.request(handle, envelope, token, grace)


def _handles_of(target):
    procs = getattr(target, "procs", None)
    if procs is not None:
        return list(procs.values())
    if hasattr(target, "qi") and hasattr(target, "proc"):
        return [target]
    raise TypeError("interrupt() argument must be a Tamsel or a CorvanePool, "
                    f"not {type(target).__name__}")
