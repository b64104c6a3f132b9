"""What travels between the caller and a cluster worker's host.

Requests and answers are pickled one by one, each into a ``Parcel`` that
is opened only where and when it is needed: one that cannot be pickled
fails in the caller, one that cannot be unpickled fails for that request or
answer alone, never for the message that carried it with others. Dask only
ever carries ``Bundle``s of parcels and plain data, which it cannot fail to
send.

A parcel is pickled as a local queue pickles (its reducers, the caller's
recursion limit), with protocol 5 so that large buffers (arrays) travel
beside the pickle as Dask frames without a copy. Objects keep what a local
queue keeps: the same object twice in a message stays one object, and a
``PickleBuffer`` arrives as a ``PickleBuffer``, read-only when it was.
"""
from __future__ import annotations

import io
import pickle
from collections.abc import Iterable
from multiprocessing.reduction import ForkingPickler
from typing import Any

from distributed.protocol.serialize import dask_deserialize, dask_serialize

# Types whose values pickle and unpickle anywhere, whatever is imported.
_ATOMS = (int, float, bool, type(None))
_TEXTS = (str, bytes)
# How far plain_size() looks into a container before it packs the value
# instead, and what it counts for each value besides its text.
_PLAIN_DEPTH = 3
_PLAIN_ITEMS = 64
_ITEM_BYTES = 8


def plain_size(value: Any, depth: int = _PLAIN_DEPTH) -> int | None:
    """About how many bytes `value` takes when it is made of builtins only
    (atoms, texts, and small lists, tuples and str-keyed dicts of them),
    which need no parcel: they cannot fail to pickle or to unpickle. None
    for any other value."""
    kind = type(value)
    if kind in _TEXTS:
        return len(value) + _ITEM_BYTES
    if kind in _ATOMS:
        return _ITEM_BYTES
    if depth == 0 or kind not in (list, tuple, dict) or len(value) > _PLAIN_ITEMS:
        return None
    total = _ITEM_BYTES
    if kind is dict:
        for key, item in value.items():
            size = plain_size(item, depth - 1) if type(key) is str else None
            if size is None:
                return None
            total += size + len(key)
        return total
    for item in value:
        size = plain_size(item, depth - 1)
        if size is None:
            return None
        total += size
    return total


class Parcel:
    """One object pickled, with its large buffers beside the pickle;
    `strided` when PickleBuffers over strided memory went as references
    beside it (see _StridedCopies)."""

    __slots__ = ("data", "buffers", "strided")

    def __init__(self, data: bytes, buffers: list[Any], strided: bool = False) -> None:
        self.data = data
        self.buffers = buffers
        self.strided = strided

    def __reduce__(self) -> tuple[Any, ...]:
        # Buffers as PickleBuffers, so that the carrier's pickling sends
        # them out of band.
        return (Parcel, (self.data, [pickle.PickleBuffer(b) for b in self.buffers],
                         self.strided))

    def nbytes(self) -> int:
        return len(self.data) + sum(memoryview(b).nbytes for b in self.buffers)

    def open(self) -> Any:
        """The object, unpickled here."""
        # Each buffer is handed back as a PickleBuffer: a PickleBuffer sent
        # comes back as one (read-only ones stay read-only), and arrays are
        # made over it as over any buffer.
        buffers = [pickle.PickleBuffer(b) for b in self.buffers]
        if self.strided:
            return _References(io.BytesIO(self.data), buffers=buffers).load()
        return pickle.loads(self.data, buffers=buffers)


def pack(value: Any) -> Parcel:
    """`value` in a parcel; raises what pickling it for a local queue
    raises."""
    try:
        return _pickled(value, ForkingPickler)
    except pickle.PicklingError:
        # Perhaps a PickleBuffer over strided memory, which pickling
        # refuses; if not, the same error is raised again.
        return _pickled(value, _StridedCopies)


def _pickled(value: Any, pickler: type[pickle.Pickler]) -> Parcel:
    buffers: list[pickle.PickleBuffer] = []
    data = io.BytesIO()
    pickler(data, 5, True, buffers.append).dump(value)
    return Parcel(data.getvalue(), buffers, pickler is _StridedCopies)


class _StridedCopies(ForkingPickler):
    """Pickles a PickleBuffer over strided memory as a reference to its
    contiguous copy (read-only when it was), which arrives as a PickleBuffer
    over that copy, as through a local queue."""

    def persistent_id(self, obj: Any) -> Any:
        if type(obj) is pickle.PickleBuffer:
            view = memoryview(obj)
            if not view.contiguous:
                copy = view.tobytes() if view.readonly else bytearray(view.tobytes())
                return pickle.PickleBuffer(copy)
        return None


class _References(pickle.Unpickler):
    def persistent_load(self, pid: Any) -> Any:
        return pid


def carried(value: Any) -> tuple[Any, int]:
    """What carries `value` (the value itself when it is plain, else its
    parcel), and about how many bytes that takes."""
    size = plain_size(value)
    if size is not None:
        return value, size
    parcel = pack(value)
    return parcel, parcel.nbytes()


class Raised:
    """An exception to raise in the caller instead of an answer."""

    __slots__ = ("parcel",)

    def __init__(self, parcel: Parcel) -> None:
        self.parcel = parcel

    def __reduce__(self) -> tuple[Any, ...]:
        return (Raised, (self.parcel,))

    @classmethod
    def of(cls, error: BaseException) -> Raised:
        """`error` on its way to the caller; one that cannot be pickled is
        replaced by a RuntimeError with its type and message."""
        try:
            return cls(pack(error))
        except Exception:
            return cls(pack(RuntimeError(f"{type(error).__name__}: {error}")))

    def error(self) -> BaseException:
        try:
            error = self.parcel.open()
        except Exception as failure:
            return failure
        if isinstance(error, BaseException):
            return error
        return TypeError(f"an error was expected, not {type(error).__name__}")


class Bundle:
    """Several requests or answers in one Dask message.

    Dask sends it through the serializer below, which pickles it with
    protocol 5 whatever the connection's own protocol (connections through
    the scheduler pickle with 4), so that buffers travel as frames.
    """

    __slots__ = ("items",)

    def __init__(self, items: Iterable[Any]) -> None:
        self.items = list(items)


def _dump_bundle(bundle: Bundle) -> tuple[dict[str, Any], list[Any]]:
    buffers: list[pickle.PickleBuffer] = []
    data = pickle.dumps(bundle.items, protocol=5, buffer_callback=buffers.append)
    views = [buffer.raw() for buffer in buffers]
    return {"writeable": [not view.readonly for view in views]}, [data, *views]


def _load_bundle(header: dict[str, Any], frames: list[Any]) -> Bundle:
    data, *buffers = frames
    views = []
    for buffer, writeable in zip(buffers, header["writeable"]):
        view = memoryview(buffer)
        if writeable and view.readonly:
            view = memoryview(bytearray(view))   # a frame that was decompressed
        elif not writeable and not view.readonly:
            view = view.toreadonly()
        views.append(view)
    return Bundle(pickle.loads(data, buffers=views))


dask_serialize.register(Bundle)(_dump_bundle)
dask_deserialize.register(Bundle)(_load_bundle)


class Unopened:
    """A request its host could not unpickle, handed on to the vorlen
    worker, which unpickles it itself: it then fails there as it would
    have failed locally (an EXCEPTION answer), or runs, when the worker has
    what was missing."""

    __slots__ = ("parcel",)

    def __init__(self, parcel: Parcel) -> None:
        self.parcel = parcel

    def __reduce__(self) -> tuple[Any, ...]:
        # In band: the local queue pickles with protocol 4.
        parcel = self.parcel
        views = [memoryview(b) for b in parcel.buffers]
        return (reopened, (parcel.data, [bytes(view) for view in views],
                           [view.readonly for view in views], parcel.strided))


def reopened(data: bytes, buffers: list[bytes], readonly: list[bool], strided: bool) -> Any:
    """The request an Unopened carried, unpickled in the vorlen worker."""
    views = [memoryview(b) if flag else memoryview(bytearray(b))
             for b, flag in zip(buffers, readonly)]
    return Parcel(data, views, strided).open()
