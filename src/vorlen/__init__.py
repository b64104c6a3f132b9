"""Long-lived Python worker processes with persistent namespaces, driven by
source text.

``vorlen.tamsel`` holds the worker loop and the handle ``Tamsel``;
``vorlen.corvane`` holds the pools. ``vorlen.worker`` and ``vorlen.pool``
give a handle or a pool for a ``with`` block that ends its workers.
``vorlen.interrupt`` stops the request a worker runs without losing the
worker; ``vorlen.run`` runs one request with a time limit; ``vorlen.map``
runs a pool's batch with time limits, dealing to the first free worker and
a progress bar; ``vorlen.as_completed`` gives the answers of a non-blocking
batch as they arrive; ``vorlen.submit`` sends one request and returns a
``vorlen.Future`` of its answer, for threads and asyncio alike.
``vorlen.restart`` replaces a worker that died, replaying the set-up that
``vorlen.setup`` recorded; ``vorlen.supervise`` has a pool's dead workers
replaced by itself, and ``vorlen.limit_memory`` limits a worker's memory.
``vorlen.cluster`` has the pool on a Dask cluster.
"""
import importlib
import types
from typing import TYPE_CHECKING

from vorlen._version import __version__
from vorlen._errors import SetupError, WorkerDiedError
from vorlen._types import Answer, Batch, Request
from vorlen._completion import as_completed
from vorlen._contexts import pool, worker
from vorlen._mapping import map
from vorlen._stopping import interrupt, run
from vorlen._restarting import restart
from vorlen._setups import setup
from vorlen._supervision import supervise
from vorlen._memory import limit_memory
from vorlen._futures import Future, submit

__all__ = ["Answer", "Batch", "Future", "Request", "SetupError", "WorkerDiedError",
           "__version__", "as_completed", "interrupt", "limit_memory", "map", "pool", "restart",
           "run", "setup", "submit", "supervise", "worker"]

# Submodules that the package does not import itself (the worker module
# loads numpy; the cluster needs Dask): loaded when first named as an
# attribute, so that vorlen.tamsel.Tamsel in an annotation resolves for
# typing.get_type_hints.
_LAZY_SUBMODULES = frozenset({"tamsel", "corvane", "cluster"})


if not TYPE_CHECKING:  # a type checker would take any name of the package for a module
    def __getattr__(name: str) -> types.ModuleType:
        if name in _LAZY_SUBMODULES:
            return importlib.import_module(f"vorlen.{name}")
        raise AttributeError(f"module 'vorlen' has no attribute {name!r}")
