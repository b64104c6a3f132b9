"""The pool of vorlen workers on a Dask cluster: ``ClusterPool``.

Each worker is a real vorlen worker process on a Dask worker's machine,
started and owned by that Dask worker; requests and answers are those of a
local ``CorvanePool``. ``ClusterPool.map`` returns answers, or with
``block=False`` one ``AnswerStream`` per request; ``ClusterHandle`` is one
worker of the pool. Needs Dask's ``distributed`` (the extra ``cluster``).
"""
import importlib.util

if importlib.util.find_spec("distributed") is None:
    raise ImportError("vorlen.cluster needs Dask's distributed package: "
                      'pip install "vorlen[cluster]"', name="distributed")

from vorlen.cluster._answers import AnswerStream
from vorlen.cluster._handle import ClusterHandle
from vorlen.cluster._pool import ClusterPool

__all__ = ["AnswerStream", "ClusterHandle", "ClusterPool"]
