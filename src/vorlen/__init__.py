"""Long-lived Python worker processes with persistent namespaces.

``vorlen.tamsel`` holds the worker loop and the handle ``Tamsel``;
``vorlen.corvane`` holds the pools.
"""
from vorlen._errors import WorkerDiedError

__all__ = ["WorkerDiedError"]
