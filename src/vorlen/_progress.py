"""Progress of a batch: a bar on standard error, or a caller's function."""
import sys


def is_failure(answer):
    return type(answer) is list and len(answer) > 0 and answer[0] == "EXCEPTION"


class _Bar:
    """A tqdm bar of answered against total requests, with the count of
    failed answers; tqdm picks its notebook form under Jupyter."""

    def __init__(self, total):
        from tqdm.auto import tqdm  # type: ignore[import-untyped]

        self.failed = 0
        self.bar = tqdm(total=total, file=sys.stderr, unit="answer", desc="vorlen.map",
                        postfix="failed=0")

    def answered(self, done, answer):
        if is_failure(answer):
            self.failed += 1
            self.bar.set_postfix_str(f"failed={self.failed}", refresh=False)
        self.bar.update(1)

    def close(self):
        self.bar.close()


class _Callback:
    """Calls ``function(done, total)`` after each answer."""

    def __init__(self, function, total):
        self.function = function
        self.total = total

    def answered(self, done, answer):
        self.function(done, self.total)

    def close(self):
        pass


def reporter(progress, total):
    """What reports the progress of a batch of `total` requests: None for
    no report (progress None or False), a bar for True, else the callable."""
    if progress is None or progress is False:
        return None
    if progress is True:
        return _Bar(total)
    if callable(progress):
        return _Callback(progress, total)
    raise TypeError(f"progress must be a bool or a callable taking (done, total), "
                    f"not {type(progress).__name__!r}")
