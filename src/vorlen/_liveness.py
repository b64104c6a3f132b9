"""The worker processes that handles started, and what follows from them.

- Which worker process writes each answer queue that a handle created:
  waiting for an answer on such a queue also watches that process, so a
  worker that dies does not leave its caller waiting for ever.
- Which worker process reads each request queue: large arrays sent on it
  travel through shared memory when that process may open it.
- Which workers this process started: when this process ends (interpreter
  exit, or the end of a multiprocessing child), the ones still alive are
  killed before multiprocessing would wait for them (workers serve until
  killed, so that wait would never end).
- The name each worker was started with (a restarted worker takes it
  over), and which workers this package killed (a worker killed by SIGKILL
  that is not among them was killed by someone else: most likely the
  kernel, for want of memory).
"""
import multiprocessing.process
import multiprocessing.queues
import multiprocessing.util
import os
import weakref
from collections.abc import Callable
from typing import Any, cast

Process = multiprocessing.process.BaseProcess
Queue = multiprocessing.queues.Queue

# answer queue -> the worker process writing to it
writers: weakref.WeakKeyDictionary[Queue[Any], Process] = weakref.WeakKeyDictionary()

# request queue -> a weak reference to the worker process reading it:
# large arrays sent on it go into shared memory that this process may open.
# (Weak: _started holds qi for as long as the process lives.)
readers: weakref.WeakKeyDictionary[Queue[Any], weakref.ref[Process]] = \
    weakref.WeakKeyDictionary()

# worker process -> its request queue qi, or None when that is not a real
# multiprocessing queue. multiprocessing keeps every started child
# referenced until it has been reaped, so a worker cannot drop out of here
# while it runs. (Not qo: writers holds the process for as long as qo
# lives, and a reference back to qo would keep both alive for ever.)
_started: weakref.WeakKeyDictionary[Process, Queue[Any] | None] = weakref.WeakKeyDictionary()
# worker process -> the name its handle gave it (its process title)
names: weakref.WeakKeyDictionary[Process, object] = weakref.WeakKeyDictionary()

# The worker processes this package killed (or was about to kill).
killed: weakref.WeakSet[Process] = weakref.WeakSet()
# Why it was killed, when that is more than being stopped: whichever thread
# first sees it gone reports this, not only the one that killed it.
kill_reasons: weakref.WeakKeyDictionary[Process, str] = weakref.WeakKeyDictionary()

_exit_handler_installed_in: int | None = None  # the pid of the process that installed it
# Above the priority of a queue's own exit finalizer (10), which stops the
# queue's sending thread.
_EXIT_PRIORITY = 100

# How long the exit handler waits to reap each killed worker.
_REAP_SECONDS = 1.0


def register(process: object, qi: object, qo: object, name: object = None) -> None:
    """Notes a worker process that a handle has just started with its
    request queue qi, its answer queue qo and the name it was given."""
    if not isinstance(process, multiprocessing.process.BaseProcess):
        return
    real_qi = qi if type(qi) is multiprocessing.queues.Queue else None
    _started[process] = real_qi
    names[process] = name
    _install_exit_handler()
    if type(qo) is multiprocessing.queues.Queue:
        writers[qo] = process
    if real_qi is not None:
        readers[real_qi] = weakref.ref(process)


def note_killed(process: object, reason: str | None = None) -> None:
    """Notes that this package is about to kill `process` (a worker process
    object; anything else is left alone), and why."""
    # By its type alone: an object that only claims to be a process runs no
    # code of its own here.
    if issubclass(type(process), multiprocessing.process.BaseProcess):
        killed.add(cast(Process, process))
        if reason is not None:
            kill_reasons[cast(Process, process)] = reason


def was_killed(process: object) -> bool:
    """Whether this package killed `process` (see note_killed)."""
    try:
        return process in killed
    except TypeError:  # not a process object: none was noted
        return False


def request_queue(process: object) -> Queue[Any] | None:
    """The request queue of the worker `process`, as its handle registered
    it (None for a process no handle of this process started)."""
    if not issubclass(type(process), multiprocessing.process.BaseProcess):
        return None
    return _started.get(cast(Process, process))


def _install_exit_handler() -> None:
    global _exit_handler_installed_in
    if _exit_handler_installed_in != os.getpid():
        # multiprocessing's exit handler runs its exit finalizers before it
        # waits for the children, this one first of them. It runs at
        # interpreter exit, and also when a multiprocessing child ends (a
        # worker whose executed code started workers of its own): such a
        # child runs no atexit handlers and drops the finalizers of its
        # parent, so each process installs its own.
        multiprocessing.util.Finalize(None, _kill_workers_at_exit, exitpriority=_EXIT_PRIORITY)
        _exit_handler_installed_in = os.getpid()


def _kill_workers_at_exit() -> None:
    ours = [(process, qi) for process, qi in _snapshot()
            if getattr(process, "_parent_pid", None) == os.getpid()]
    for process, _ in ours:
        note_killed(process)
        _ignore_errors(process.kill)
    for process, qi in ours:
        _ignore_errors(process.join, _REAP_SECONDS)
        # A request still held by the queue's sending thread would make
        # multiprocessing wait for that thread at exit, and with the worker
        # gone nothing reads it.
        if qi is not None:
            _ignore_errors(qi.cancel_join_thread)


def _snapshot() -> list[tuple[Process, Queue[Any] | None]]:
    # A thread that still runs (a daemon) may register a worker meanwhile,
    # which ends the iteration over the registry.
    for _ in range(100):
        try:
            return list(_started.items())
        except RuntimeError:
            pass
    return []


def _ignore_errors(action: Callable[..., object], *args: object) -> None:
    try:
        action(*args)
    except Exception:  # a process object already closed, never started, ...
        pass
