"""Exceptions raised by the handles and pools besides their own answers."""


class WorkerDiedError(RuntimeError):
    """A worker process ended while its caller was waiting for an answer."""

    def __init__(self, pid, exitcode):
        super().__init__(pid, exitcode)
        self.pid = pid
        self.exitcode = exitcode

    def __str__(self):
        return (f"worker process {self.pid} ended with exit code {self.exitcode} "
                "before it answered")
