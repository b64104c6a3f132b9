"""Exceptions raised by the handles and pools besides their own answers."""
from typing import Any


class WorkerDiedError(RuntimeError):
    """A worker process ended while its caller was waiting for an answer.

    ``pid`` and ``exitcode`` name the process (``None`` when its process
    object can no longer tell); ``detail``, when given, says why it ended or
    where it ran (a worker killed because it did not respond to an
    interrupt, the host of a remote worker) and replaces the usual message.

    When a batch raises it (``CorvanePool.map``, ``reduce``, ``vorlen.map``),
    ``positions`` lists the positions in the batch of the requests that were
    on the dead worker without an answer (the one it was running first), and
    ``answers`` holds the batch's answers taken so far, ``None`` where an
    answer is missing; both are ``None`` otherwise.
    """

    def __init__(self, pid: int | None, exitcode: int | None, detail: object = None, *,
                 positions: list[int] | None = None,
                 answers: list[Any] | None = None) -> None:
        super().__init__(pid, exitcode)
        self.pid = pid
        self.exitcode = exitcode
        self.detail = detail
        self.positions = positions
        self.answers = answers

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (type(self), self.pid, self.exitcode, self.detail,
                           self.positions, self.answers))

    def __str__(self) -> str:
        if self.detail is not None:
            return str(self.detail)
        return (f"worker process {self.pid} ended with exit code {self.exitcode} "
                "before it answered")


def _rebuild(cls: type[WorkerDiedError], pid: int | None, exitcode: int | None, detail: object,
             positions: list[int] | None, answers: list[Any] | None) -> WorkerDiedError:
    return cls(pid, exitcode, detail, positions=positions, answers=answers)
