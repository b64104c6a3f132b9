"""The envelope of a request with a time limit.

The worker takes the request out and arms its own timer as it starts it, so
the limit counts from then however many requests waited before it. The
token names this request on the page the worker shares with its parent.
"""
import itertools
from typing import Any

_tokens = itertools.count(1)


class TimedRequest:
    """A request with its time limit in seconds and the token that names it
    on its worker's page."""

    __slots__ = ("request", "limit", "token")

    def __init__(self, request: Any, limit: float, token: int) -> None:
        self.request = request
        self.limit = limit
        self.token = token

    def __reduce__(self) -> tuple[Any, ...]:
        return (TimedRequest, (self.request, self.limit, self.token))


def timed(request: Any, limit: float) -> tuple[TimedRequest, int]:
    """(envelope, token) for `request` under a limit of `limit` seconds."""
    token = next(_tokens)
    return TimedRequest(request, limit, token), token
