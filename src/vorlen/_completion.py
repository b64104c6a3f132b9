"""as_completed: the answers of a non-blocking batch as they arrive.

The waiting itself is in C++ (``vorlen._wire.arrivals``): one poll() over
every queue's pipe and every worker's sentinel, its array kept for the whole
iteration, so that collecting a batch this way costs about what ``reduce``
costs. The iterator is advanced by one caller at a time: advancing it from
inside its own wait (a source's get(), a signal handler) or from another
thread while it waits raises ValueError.

Foreign answer sources (another kind of pool, a remote worker) take part
through one method: ``vorlen_ready_fd()``, returning a descriptor (an int,
or an object with ``fileno()``) that is readable whenever the object's
``get()`` will return its next answer without waiting long, or raise (for
example ``WorkerDiedError``). Any wait primitive can be turned into one with
a pipe or an eventfd that a callback writes to.
"""
from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

from vorlen import _wire
from vorlen._types import Answer


def as_completed(queues: Iterable[Any], *,
                 timeout: float | None = None) -> Iterator[tuple[int, Answer]]:
    """Yields ``(index, answer)`` for the queues of ``queues`` (the list that
    ``CorvanePool.map(args, block=False)`` returns) in the order the answers
    arrive, waiting on all the queues at once.

    ``index`` is the position in ``queues``: the request's position in the
    batch; a queue that stands at several positions (one worker's requests)
    gives its answers to them in order. ``timeout`` (seconds) bounds the
    whole iteration, counted from this call: once it has run out and no
    answer is ready, ``TimeoutError`` is raised. A worker that has died with
    requests unanswered raises ``vorlen.WorkerDiedError`` once the answers it
    sent are taken.
    """
    return _wire.arrivals(queues, timeout)
