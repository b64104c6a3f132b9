"""Exceptions raised by the handles and pools besides their own answers."""


class WorkerDiedError(RuntimeError):
    """A worker process ended while its caller was waiting for an answer.

    ``pid`` and ``exitcode`` name the process; ``detail``, when given, says
    why it ended or where it ran (a worker killed because it did not respond
    to an interrupt, the host of a remote worker) and replaces the usual
    message.
    """

    def __init__(self, pid, exitcode, detail=None, *, positions=None, answers=None):
        super().__init__(pid, exitcode)
        self.pid = pid
        self.exitcode = exitcode
        self.detail = detail
        self.positions = positions
        self.answers = answers

    def __reduce__(self):
        return (type(self), (self.pid, self.exitcode, self.detail))

    def __str__(self):
        if self.detail is not None:
            return str(self.detail)
        return (f"worker process {self.pid} ended with exit code {self.exitcode} "
                "before it answered")
