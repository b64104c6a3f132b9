"""Exceptions raised by the handles and pools besides their own answers."""
from __future__ import annotations

import reprlib
from typing import Any

# How much of a request an error message shows.
_SHORT = reprlib.Repr(maxstring=160, maxother=160, maxlist=4, maxlevel=2)


class WorkerDiedError(RuntimeError):
    """A worker process ended while its caller was waiting for an answer.

    ``pid`` and ``exitcode`` name the process (``None`` when its process
    object can no longer tell); ``name`` is the name it was started with
    (its process title, ``name_pref_i`` in a pool). ``cause`` says how it
    ended, in words: ``"exit code 3"``, ``"killed by signal 11
    (SIGSEGV)"``, a SIGKILL that vorlen did not send (the kernel's
    out-of-memory killer is the likely sender), or the memory limit it
    passed (``vorlen.limit_memory``). ``detail``, when given, says why it
    ended or where it ran (a worker killed because it did not respond to an
    interrupt, the host of a remote worker) and replaces the usual opening
    of the message.

    ``request`` is the request the worker was running when it ended, as its
    caller sent it, and ``position`` its position in its batch; both are
    ``None`` when the request running was none of the call's (the worker
    was between requests, or ran one sent earlier or put on its queue
    directly) or cannot be told (``position`` alone is known when a batch
    sent without waiting is collected).

    When a batch raises it (``CorvanePool.map``, ``reduce``, ``vorlen.map``),
    ``positions`` lists the positions in the batch of the requests that were
    on the dead worker without an answer (the one it was running first), and
    ``answers`` holds the batch's answers taken so far, ``None`` where an
    answer is missing; both are ``None`` otherwise.
    """

    def __init__(self, pid: int | None, exitcode: int | None, detail: object = None, *,
                 positions: list[int] | None = None, answers: list[Any] | None = None,
                 position: int | None = None, request: Any = None, cause: str | None = None,
                 name: object = None) -> None:
        super().__init__(pid, exitcode)
        self.pid = pid
        self.exitcode = exitcode
        self.detail = detail
        self.positions = positions
        self.answers = answers
        self.position = position
        self.request = request
        self.cause = cause
        self.name = name

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (type(self), self.pid, self.exitcode, self.detail,
                           self.positions, self.answers, self.position, self.request,
                           self.cause, self.name))

    def __str__(self) -> str:
        if self.detail is not None:
            text = str(self.detail)
        else:
            named = f" ({self.name})" if isinstance(self.name, str) else ""
            text = f"worker process {self.pid}{named} ended before it answered"
            if self.cause is not None:
                text += f": {self.cause}"
            elif self.exitcode is not None:
                text += f": exit code {self.exitcode}"
        if self.position is not None:
            text += f"; it was running the request at position {self.position} of the batch"
            if self.request is not None:
                text += f": {_SHORT.repr(self.request)}"
        elif self.request is not None:
            text += f"; it was running the request {_SHORT.repr(self.request)}"
        return text


class SetupError(RuntimeError):
    """A set-up request (``vorlen.setup``) failed, or left its worker above
    its memory limit: when it first ran, or when a restarted worker ran it
    again (``vorlen.restart``, and the restarts of ``vorlen.supervise`` and
    ``vorlen.limit_memory``).

    ``answer`` is the worker's answer to it (``"EXCEPTION"`` with its
    traceback, or its answer with the memory warning), ``request`` the
    set-up request, and ``answers`` every worker's answer when it ran on a
    whole pool (``None`` otherwise). Nothing was recorded, and a restarted
    worker whose set-up failed was killed: its slot keeps the worker it had.
    """

    def __init__(self, message: str, *, answer: Any = None, request: Any = None,
                 answers: list[Any] | None = None) -> None:
        super().__init__(message)
        self.answer = answer
        self.request = request
        self.answers = answers

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild_setup, (type(self), str(self), self.answer, self.request, self.answers))


def worker_ended(process: object, pid: int | None, exitcode: int | None,
                 detail: object) -> WorkerDiedError:
    """The WorkerDiedError for the worker `process`, which has ended: with
    its name and how it ended (called by the extension modules)."""
    from vorlen import _exits, _liveness

    name = None
    try:
        name = _liveness.names.get(process)  # type: ignore[call-overload]
        if detail is None:
            detail = _liveness.kill_reasons.get(process)  # type: ignore[call-overload]
    except TypeError:  # not a process object
        pass
    return WorkerDiedError(pid, exitcode, detail, cause=_exits.cause(process, exitcode),
                           name=name)


def _rebuild(cls: type[WorkerDiedError], pid: int | None, exitcode: int | None, detail: object,
             positions: list[int] | None, answers: list[Any] | None, position: int | None = None,
             request: Any = None, cause: str | None = None,
             name: object = None) -> WorkerDiedError:
    return cls(pid, exitcode, detail, positions=positions, answers=answers, position=position,
               request=request, cause=cause, name=name)


def _rebuild_setup(cls: type[SetupError], message: str, answer: Any, request: Any,
                   answers: list[Any] | None) -> SetupError:
    return cls(message, answer=answer, request=request, answers=answers)
