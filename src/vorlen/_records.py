"""What a worker hands on to the worker that replaces it: the set-up
requests recorded for it (``vorlen.setup``) and its memory limit
(``vorlen.limit_memory``).

A record is kept per worker, keyed by its request queue (a handle carries
nothing of its own), and goes with the queue. A worker of a pool gets the
set-ups recorded for the whole pool and those recorded for it alone, in the
order they were recorded; a restarted worker takes over its predecessor's
record.
"""
from __future__ import annotations

import weakref
from typing import Any

from vorlen import _control


class Record:
    """The set-up requests of one worker, in order, and its memory limit
    (bytes, or None) with whether it is also checked while a request
    runs."""

    __slots__ = ("setups", "memory_limit", "during")

    def __init__(self) -> None:
        self.setups: list[Any] = []
        self.memory_limit: int | None = None
        self.during = True


# request queue -> the record of the worker that reads it
_records: weakref.WeakKeyDictionary[Any, Record] = weakref.WeakKeyDictionary()


def find(handle: Any) -> Record | None:
    """The record of the worker of `handle`, if it has one."""
    return _records.get(handle.qi)


def of(handle: Any) -> Record:
    """The record of the worker of `handle`, made if it has none."""
    record = _records.get(handle.qi)
    if record is None:
        record = _records[handle.qi] = Record()
    return record


def apply_limit(handle: Any, limit: int | None, during: bool) -> None:
    """Writes the memory limit on the worker's page and records it."""
    if not _control.limit_memory(handle.qi, limit or 0, during):
        raise TypeError("limit_memory() needs workers started by vorlen.tamsel.Tamsel with "
                        "their own queues")
    record = of(handle)
    record.memory_limit = limit
    record.during = during


def hand_on(old: Record, fresh_handle: Any) -> Record:
    """Gives the worker of `fresh_handle` what `old` recorded: its memory
    limit now, its set-ups to be replayed by the caller."""
    record = of(fresh_handle)
    record.setups = list(old.setups)
    if old.memory_limit is not None:
        apply_limit(fresh_handle, old.memory_limit, old.during)
    return record
