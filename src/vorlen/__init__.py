"""Long-lived Python worker processes with persistent namespaces.

``vorlen.tamsel`` holds the worker loop and the handle ``Tamsel``;
``vorlen.corvane`` holds the pools. ``vorlen.interrupt`` stops the request
a worker runs without losing the worker; ``vorlen.run`` runs one request
with a time limit; ``vorlen.map`` runs a pool's batch with time limits,
dealing to the first free worker and a progress bar; ``vorlen.as_completed``
gives the answers of a non-blocking batch as they arrive.
"""
from vorlen._errors import WorkerDiedError
from vorlen._completion import as_completed
from vorlen._mapping import map
from vorlen._stopping import interrupt, run

__all__ = ["WorkerDiedError", "as_completed", "interrupt", "map", "run"]
