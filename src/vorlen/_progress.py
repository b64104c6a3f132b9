"""Progress of a batch: a bar on standard error, or a caller's function."""
from __future__ import annotations

import importlib
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from tqdm.notebook import tqdm_notebook
    from tqdm.std import tqdm


class Reporter(Protocol):
    """What a batch tells of its progress: each answer as it is taken (the
    count taken so far with it), then the end of the batch."""

    def answered(self, done: int, answer: Any) -> None: ...
    def close(self) -> None: ...


def is_failure(answer: Any) -> bool:
    return type(answer) is list and len(answer) > 0 and answer[0] == "EXCEPTION"


class _Bar:
    """A tqdm bar of answered against total requests, with the count of
    failed answers. Under Jupyter it is tqdm's notebook widget when
    ipywidgets is there, else tqdm's text form (which a notebook shows as
    it comes, without the warning that tqdm's automatic choice gives when
    it falls back). A batch with failed answers ends in the widget's error
    state, not in its green success state."""

    def __init__(self, total: int) -> None:
        self.failed = 0
        options: dict[str, Any] = dict(total=total, file=sys.stderr, unit="answer",
                                       desc="vorlen.map", postfix="failed=0")
        self.widget: tqdm_notebook[Any] | None = None
        self.bar: tqdm[Any]
        if _in_notebook() and _has_widgets():
            from tqdm.notebook import tqdm_notebook

            self.bar = self.widget = tqdm_notebook(**options)
        else:
            from tqdm.std import tqdm

            self.bar = tqdm(**options)

    def answered(self, done: int, answer: Any) -> None:
        if is_failure(answer):
            self.failed += 1
            self.bar.set_postfix_str(f"failed={self.failed}", refresh=False)
        self.bar.update(1)

    def close(self) -> None:
        if self.failed and self.widget is not None:
            # The widget keeps this state when it is closed.
            self.widget.disp(bar_style="danger")
        self.bar.close()


def _in_notebook() -> bool:
    """Whether this process is a Jupyter kernel (IPython's kernel app is
    running), as tqdm's automatic choice tells it."""
    ipython = sys.modules.get("IPython")
    if ipython is None:
        return False
    try:
        shell = ipython.get_ipython()
        return shell is not None and "IPKernelApp" in shell.config
    except Exception:  # an IPython that does not look like one
        return False


def _has_widgets() -> bool:
    """Whether tqdm's notebook form has the ipywidgets it draws with."""
    try:
        notebook = importlib.import_module("tqdm.notebook")
    except ImportError:
        return False
    return getattr(notebook, "IProgress", None) is not None


class _Callback:
    """Calls ``function(done, total)`` after each answer."""

    def __init__(self, function: Callable[[int, int], Any], total: int) -> None:
        self.function = function
        self.total = total

    def answered(self, done: int, answer: Any) -> None:
        self.function(done, self.total)

    def close(self) -> None:
        pass


def reporter(progress: bool | Callable[[int, int], Any] | None, total: int) -> Reporter | None:
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
