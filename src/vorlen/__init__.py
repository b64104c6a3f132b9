"""Long-lived Python worker processes with persistent namespaces.

``vorlen.tamsel`` holds the worker loop and the handle ``Tamsel``;
``vorlen.corvane`` holds the pools. ``vorlen.interrupt`` stops the request
a worker runs without losing the worker; ``vorlen.run`` and ``vorlen.map``
run requests with time limits.
"""
from vorlen._errors import WorkerDiedError
from vorlen._stopping import interrupt, map, run

__all__ = ["WorkerDiedError", "interrupt", "map", "run"]
