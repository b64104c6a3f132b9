"""Long-lived Python worker processes with persistent namespaces.

``vorlen.tamsel`` holds the worker loop and the handle ``Tamsel``;
``vorlen.corvane`` holds the pools. ``vorlen.interrupt`` stops the request
a worker runs without losing the worker; ``vorlen.run`` runs one request
with a time limit; ``vorlen.map`` runs a pool's batch with time limits,
dealing to the first free worker and a progress bar; ``vorlen.as_completed``
gives the answers of a non-blocking batch as they arrive.
"""
from collections.abc import Iterable
from typing import Any, TypeAlias

from vorlen._errors import WorkerDiedError
from vorlen._completion import as_completed
from vorlen._mapping import map
from vorlen._stopping import interrupt, run

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

__all__ = ["Answer", "Request", "WorkerDiedError", "as_completed", "interrupt", "map", "run"]
