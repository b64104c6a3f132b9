"""The worker processes that handles started, and what follows from them.

- Which worker process writes each answer queue that a handle created:
  waiting for an answer on such a queue also watches that process, so a
  worker that dies does not leave its caller waiting for ever.
- Which workers this process started: at interpreter exit the ones still
  alive are killed, before multiprocessing's own exit handler would wait
  for them (workers serve until killed, so that wait would never end).
"""
import atexit
import multiprocessing.process
import multiprocessing.queues
import multiprocessing.util
import os
import threading
import weakref

# answer queue -> the worker process writing to it
writers = weakref.WeakKeyDictionary()

# worker process -> its request queue qi, or None when that is not a real
# multiprocessing queue. multiprocessing keeps every started child
# referenced until it has been reaped, so a worker cannot drop out of here
# while it runs. (Not qo: writers holds the process for as long as qo
# lives, and a reference back to qo would keep both alive for ever.)
_started = weakref.WeakKeyDictionary()
_lock = threading.Lock()
_exit_handler_installed = False

# How long the exit handler waits to reap each killed worker.
_REAP_SECONDS = 1.0


def register(process, qi, qo):
    """Notes a worker process that a handle has just started with its
    request queue qi and its answer queue qo."""
    if not isinstance(process, multiprocessing.process.BaseProcess):
        return
    real_qi = qi if type(qi) is multiprocessing.queues.Queue else None
    with _lock:
        _started[process] = real_qi
        _install_exit_handler()
    if type(qo) is multiprocessing.queues.Queue:
        writers[qo] = process


def _install_exit_handler():
    global _exit_handler_installed
    if not _exit_handler_installed:
        # atexit runs its handlers last registered first: registered after
        # multiprocessing.util (imported above) registered its own, this one
        # runs before multiprocessing joins its children.
        atexit.register(_kill_workers_at_exit)
        _exit_handler_installed = True


def _kill_workers_at_exit():
    # A daemon thread may have been stopped while it held the lock.
    locked = _lock.acquire(timeout=1.0)
    try:
        started = list(_started.items())
    finally:
        if locked:
            _lock.release()
    ours = [(process, qi) for process, qi in started
            if getattr(process, "_parent_pid", None) == os.getpid()]
    for process, _ in ours:
        _ignore_errors(process.kill)
    for process, qi in ours:
        _ignore_errors(process.join, _REAP_SECONDS)
        # A request still held by the queue's sending thread would make
        # multiprocessing wait for that thread at exit, and with the worker
        # gone nothing reads it.
        if qi is not None:
            _ignore_errors(qi.cancel_join_thread)


def _ignore_errors(action, *args):
    try:
        action(*args)
    except Exception:  # a process object already closed, never started, ...
        pass
