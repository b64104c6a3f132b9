# Type stubs for the worker module vorlen.tamsel (a C++ extension module).
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

def clear_queue(q: _Drainable) -> None: ...
def sigint_handler(signum: int, frame: FrameType | None) -> None: ...

# Lives inside a worker: collects what executed code passes to xprint and
# xreturn; reset before every request.
class _HandleContent:
    print_content: str
    return_content: dict[str, Any]
    def __init__(self) -> None: ...
    def xprint(self, *ws: object, end: str = "\n") -> None: ...
    def clear(self) -> None: ...
    def xreturn(self, **kwds: Any) -> None: ...

# The serving loop of a worker process; it never returns.
def tamsel_main(name: str | None, qi: _RequestSource, qo: _AnswerSink) -> NoReturn: ...

# Parent-side handle of one worker process; the worker starts in __init__.
class Tamsel:
    qi: Queue[Any]
    qo: Queue[Any]
    proc: BaseProcess
    def __init__(self, name: str | None = None) -> None: ...
    # Sends one request and waits for its answer. Raises the pickling error
    # for a request that cannot be sent, and vorlen.WorkerDiedError when the
    # worker dies before it answers.
    def blocked_put(self, w: Request) -> Answer: ...
    def kill(self) -> None: ...
    def clear_output(self) -> None: ...
