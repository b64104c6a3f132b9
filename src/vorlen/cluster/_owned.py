"""Vorlen worker processes owned by a Dask worker process.

A host's vorlen worker never outlives what owns it:
- the host's actor released (the pool killed, the client closed or gone):
  a watch thread of the Dask worker process kills the vorlen worker;
- the Dask worker process ending normally: it is killed there as every
  vorlen worker is when the process that started it ends;
- the Dask worker process killed: the vorlen worker ends itself, as every
  vorlen worker does when its parent process dies.
"""
from __future__ import annotations

import contextlib
import multiprocessing
import threading
import time
import warnings
from collections.abc import Iterator
from typing import Protocol

import vorlen.tamsel

# How often the watch thread looks for hosts whose actor was released.
WATCH_INTERVAL = 0.25

# Serialises the temporary changes to process-wide multiprocessing settings.
_start_lock = threading.Lock()


class Owner(Protocol):
    """What owns a vorlen worker: a host, as the watch sees it."""

    def released(self) -> bool: ...

    def kill_now(self) -> None: ...


# Every owner in this process whose vorlen worker may still be alive.
_owners: set[Owner] = set()
_owners_lock = threading.Lock()
_watch_thread: threading.Thread | None = None


@contextlib.contextmanager
def _starting_owned_child() -> Iterator[None]:
    """Lets this thread start a vorlen worker process that is forked and not
    a daemon, whatever this Dask worker process's own settings are.

    Dask worker processes started by a nanny are daemonic by default
    (``distributed.worker.daemon``), and multiprocessing refuses to start
    children from a daemonic process because it would not wait for them at
    exit. Here the flag is lifted only while the child starts; the child is
    then tied to this process's life (killed when this process ends, by the
    watch below when its actor is released, and by its own watch on its
    parent), so nothing is left waiting or running. The child is forked
    even where the start method is spawn (as in Dask workers started by a
    nanny): it starts in milliseconds instead of importing everything again,
    including the main module of the program that started the Dask worker,
    and it only runs the worker loop.
    """
    me = multiprocessing.current_process()
    with _start_lock:
        method = multiprocessing.get_start_method(allow_none=True)
        daemonic = me.daemon
        if method != "fork":
            multiprocessing.set_start_method("fork", force=True)
        if daemonic:
            me.daemon = False
        try:
            with warnings.catch_warnings():
                # The fork is safe here: the child only runs the worker loop.
                warnings.filterwarnings("ignore", "This process .* is multi-threaded",
                                        DeprecationWarning)
                yield
        finally:
            if daemonic:
                me.daemon = True
            if method != "fork":
                multiprocessing.set_start_method(method, force=True)


def start_tamsel(name: str) -> vorlen.tamsel.Tamsel:
    """Starts a vorlen worker titled `name`, a child of this process."""
    with _starting_owned_child():
        return vorlen.tamsel.Tamsel(name)


def _watch_released() -> None:
    while True:
        time.sleep(WATCH_INTERVAL)
        with _owners_lock:
            owners = list(_owners)
        for owner in owners:
            if owner.released():
                owner.kill_now()


def register(owner: Owner) -> None:
    """Kills `owner`'s worker once its actor is released."""
    global _watch_thread
    with _owners_lock:
        _owners.add(owner)
        if _watch_thread is None:
            _watch_thread = threading.Thread(
                target=_watch_released, name="vorlen-host-watch", daemon=True)
            _watch_thread.start()


def unregister(owner: Owner) -> None:
    with _owners_lock:
        _owners.discard(owner)
