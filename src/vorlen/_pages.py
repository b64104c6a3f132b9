"""The page each worker shares with its parent, keyed by the worker's
request queue.

A handle makes the page before it starts its worker. A forked worker finds
it here under the same queue object; a worker started in a fresh
interpreter (spawn, forkserver) gets the page's descriptor with its process
object, which carries an offer of it while it starts, and registers it here
under its own copy of the queue before its loop runs. The page says which
request the worker runs and until when its time limit lasts, so that the
parent can interrupt exactly that request, tell a request that ignores its
interrupt from one that is still waiting in the queue, and cancel requests
whose caller gave up on them before they started.
"""
import os
import weakref
from multiprocessing.queues import Queue
from typing import Any

# request queue -> the capsule that keeps the worker's page mapped
pages: weakref.WeakKeyDictionary[Queue[Any], object] = weakref.WeakKeyDictionary()

# The attribute of a process object that carries the offer while it starts.
_OFFER = "_vorlen_page"


class PageOffer:
    """The descriptor of a worker's page, owned until the worker has
    started; pickled with the process object, it hands the worker a copy."""

    __slots__ = ("qi", "fd")

    def __init__(self, qi: Queue[Any], fd: int) -> None:
        self.qi = qi
        self.fd = fd

    def __reduce__(self) -> tuple[Any, ...]:
        from multiprocessing import reduction
        return (_adopt, (self.qi, reduction.DupFd(self.fd)))

    def close(self) -> None:
        if self.fd >= 0:
            fd, self.fd = self.fd, -1
            os.close(fd)


def offer(process: object, qi: Queue[Any], fd: int) -> None:
    """Attaches the page behind `fd` (which the offer now owns) to the
    process object about to start the worker of `qi`."""
    page_offer = PageOffer(qi, fd)
    try:
        setattr(process, _OFFER, page_offer)
    except Exception:
        page_offer.close()  # a process object that takes no attributes


def forget(process: object) -> None:
    """Drops the offer once the worker has started (or failed to)."""
    page_offer = getattr(process, _OFFER, None)
    if isinstance(page_offer, PageOffer):
        page_offer.close()
        try:
            delattr(process, _OFFER)
        except Exception:
            pass


def _adopt(qi: Queue[Any], dupfd: Any) -> None:
    from vorlen import _control
    _control.adopt_page(qi, dupfd.detach())
