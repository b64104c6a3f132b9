"""The worker module: the loop every worker process runs (``tamsel_main``),
the object that collects what executed code passes to ``xprint`` and
``xreturn`` (``_HandleContent``), and the handle of one worker process
(``Tamsel``).

A worker keeps one namespace for its whole life. Each request (a source
text, or a list of source texts and dicts) gets exactly one answer,
``[status, printed text, traceback text, returned values]``, with status
``"SUCCESS"`` or ``"EXCEPTION"``. (This text is for readers and editors;
the module itself carries no docstrings.)
"""
import ctypes as ctypes
import mmap as mmap
import multiprocessing
import os as os
import queue as queue
import signal as signal
import time as time
import traceback as traceback
from multiprocessing.process import BaseProcess
from multiprocessing.queues import Queue
from types import FrameType
from typing import Any, NoReturn, Protocol

import numpy
import setproctitle as setproctitle
from vorlen import Answer, Request

# Modules bound at import under other names.
np = numpy
mp = multiprocessing

class _Drainable(Protocol):
    def empty(self) -> bool: ...
    def get(self) -> Any: ...

class _RequestSource(Protocol):
    def get(self, *, timeout: float) -> Any: ...

class _AnswerSink(Protocol):
    def put(self, obj: Any, /) -> Any: ...

def clear_queue(q: _Drainable) -> None:
    """Takes items off ``q`` until ``q.empty()`` is true, and drops them.

    Used on a handle's answer queue: answers are matched to requests by
    order alone, so an answer left unread would be taken for the next
    request's. Answers that arrive after the queue looked empty stay.
    """

def sigint_handler(signum: int, frame: FrameType | None) -> None:
    """The SIGINT handler of a worker process: does nothing, so that Ctrl-C
    in the terminal the worker shares with its parent leaves the worker and
    its request alone (the parent gets it as usual)."""

class _HandleContent:
    """Lives inside a worker: collects what executed code passes to
    ``xprint`` and ``xreturn``. The worker resets it before every request
    and puts its two attributes into the answer."""

    print_content: str
    """The text written through ``xprint`` during the current request."""
    return_content: dict[str, Any]
    """The values passed to ``xreturn`` during the current request."""
    def __init__(self) -> None:
        """Empty: ``print_content`` ``""`` and ``return_content`` ``{}``."""
    def xprint(self, *ws: object, end: str = "\n") -> None:
        """Appends ``str()`` of each item, with no separator, then ``end``,
        to ``print_content``. An item that cannot be turned into text is
        dropped; an error adding ``end`` (``end=None``) propagates."""
    def clear(self) -> None:
        """Resets both attributes to new empty values."""
    def xreturn(self, **kwds: Any) -> None:
        """Adds the keyword values to ``return_content``; a later value
        replaces an earlier one of the same key."""

def tamsel_main(name: str | None, qi: _RequestSource, qo: _AnswerSink) -> NoReturn:
    """The serving loop of a worker process; it never returns.

    Sets the process title to ``name`` (unless it is ``None``), ignores
    SIGINT, then serves forever: takes a request from ``qi``, executes it
    in the worker's one namespace and puts one answer on ``qo``. A source
    text runs as a module body with the namespace as globals; a dict is
    merged into the namespace; other items of a list are skipped. The names
    ``xprint`` and ``xreturn`` are in the namespace for every request. An
    ``Exception`` of the executed code becomes an ``"EXCEPTION"`` answer
    with its formatted traceback; a ``SystemExit`` ends the worker.
    """

class Tamsel:
    """The handle of one worker process, started by the constructor.

    ``qi`` takes requests, ``qo`` gives answers (two
    ``multiprocessing.Queue``), ``proc`` is the worker's
    ``multiprocessing.Process`` running ``tamsel_main``. Kill the worker
    with ``kill()`` when done (or use ``with vorlen.worker() as w:``);
    dropping the handle does not end it, though every worker still alive
    is killed when the program exits.
    """

    qi: Queue[Any]
    """The request queue: ``blocked_put`` puts each request here."""
    qo: Queue[Any]
    """The answer queue: one answer per request, in request order."""
    proc: BaseProcess
    """The worker process (not a daemon, so executed code may start
    processes of its own)."""
    def __init__(self, name: str | None = None) -> None:
        """Creates the two queues and starts the worker process, titled
        ``name`` (``None`` leaves the title alone). If starting fails, what
        was made is cleaned up and the error propagates."""
    def blocked_put(self, w: Request) -> Answer:
        """Sends the request ``w`` and waits for the next answer, which it
        returns unchanged: ``["SUCCESS", printed, "", returned]`` or
        ``["EXCEPTION", printed, traceback, returned]``.

        Raises the pickling error for a request that cannot be sent (before
        anything is sent), and ``vorlen.WorkerDiedError`` when the worker
        dies before it answers (instead of waiting for ever).
        """
    def kill(self) -> None:
        """Kills the worker process if it is alive; does nothing otherwise.
        A handle cannot be restarted: make a new one."""
    def clear_output(self) -> None:
        """Discards the answers waiting on ``qo`` (answers of requests put
        on ``qi`` directly, or of a wait that was interrupted). Answers still
        being computed are not dropped."""
