"""The shapes of what the functions take and give: requests, batches and
answers (re-exported as ``vorlen.Answer``, ``vorlen.Request`` and
``vorlen.Batch``)."""
from collections.abc import Iterable, Iterator
from typing import Any, Protocol, TypeAlias, TypeVar

_Item = TypeVar("_Item", covariant=True)

# One answer per request, always a list of four elements:
#   [status, printed text, error text, returned values]
#   status:          "SUCCESS" or "EXCEPTION"
#   printed text:    str, everything the request passed to xprint
#   error text:      str, "" on success, else the formatted traceback
#   returned values: dict[str, Any], the keywords given to xreturn
Answer: TypeAlias = list[Any]

# A request: one source text, or an iterable whose str items are executed in
# order and whose dict items are merged into the worker's namespace (any
# other item is skipped).
Request: TypeAlias = str | Iterable[str | dict[str, Any]]


class Collected(Protocol[_Item]):
    """A sized collection that can be read more than once (a list, a tuple,
    ...), and not a ``str``: a str is a collection of one-character strings,
    each of them a request, but what it means as a batch is one request.
    str's own ``__contains__`` takes only strings, so it does not match the
    one here."""

    def __iter__(self) -> Iterator[_Item]: ...
    def __len__(self) -> int: ...
    def __contains__(self, item: object, /) -> bool: ...


# A batch of requests as vorlen.map takes it: a collection of requests, or an
# iterator over them (read once), never a single str.
Batch: TypeAlias = Collected[Request] | Iterator[Request]
