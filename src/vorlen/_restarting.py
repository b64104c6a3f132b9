"""vorlen.restart: a new worker in the place of one that ended (or is to be
replaced), with its set-up replayed, the other workers untouched.

A pool's ``procs`` keeps one entry per slot, in slot order, which is the
order ``init_process`` started them in and the order requests are dealt
in: worker i is titled ``name_pref_i`` and gets request k when k mod N is
i. A restarted worker takes its slot's place in that order: ``procs`` is
rebuilt in place with the new worker's pid where the old one's stood, so
that every entry is still keyed by its worker's pid and the dealing order
and the names stay as they were.
"""
from __future__ import annotations

import contextlib
import multiprocessing.process
import multiprocessing.queues
import os
from typing import TYPE_CHECKING, Any, overload

import vorlen
from vorlen import _control, _exits, _records
from vorlen._errors import SetupError
from vorlen._types import Answer

if TYPE_CHECKING:
    import vorlen.corvane
    import vorlen.tamsel

# How long a restart waits for the worker it killed to be reaped.
REAP_SECONDS = 5.0


@overload
def restart(target: vorlen.tamsel.Tamsel, worker: None = None) -> vorlen.tamsel.Tamsel: ...
@overload
def restart(target: vorlen.corvane.CorvanePool,
            worker: int | vorlen.tamsel.Tamsel) -> vorlen.tamsel.Tamsel: ...
@overload
def restart(target: vorlen.corvane.CorvanePool,
            worker: None = None) -> list[vorlen.tamsel.Tamsel]: ...


def restart(target: Any, worker: Any = None) -> Any:
    """Starts a new worker in the place of one that ended, killing it first
    if it is still alive, and replays on it the set-up requests recorded by
    ``vorlen.setup`` (in order, before anything else) and its memory limit.

    On a pool: ``worker`` is the slot (an index into ``procs``, in dealing
    order) or the handle to replace; the new worker gets that slot's place
    in ``procs`` and its name (``name_pref + "_" + str(i)``), and the new
    handle is returned. The other workers and their namespaces are
    untouched. With ``worker`` None, every worker of the pool that has ended
    or is above its memory limit is restarted, and the list of new handles
    (in slot order) is returned.

    On a handle (``worker`` None): a handle stays bound to its process, so
    the old handle keeps its dead worker and a new handle, started with the
    same name, is returned.

    A set-up request that fails on the new worker (or leaves it above its
    memory limit) raises ``vorlen.SetupError`` with its answer; the new
    worker is then killed and the slot keeps the worker it had.
    """
    hook = getattr(type(target), "__vorlen_restart__", None)
    if hook is not None:
        return hook(target, worker)
    if _is_pool(target):
        if worker is None:
            return [restart_slot(target, slot) for slot in due_slots(target)]
        return restart_slot(target, slot_of(target, worker))
    if _is_handle(target):
        if worker is not None:
            raise TypeError("restart() of a handle takes no worker")
        return _replacement(target, _name_of(target), type(target))
    raise TypeError("restart() argument must be a Tamsel or a CorvanePool, "
                    f"not {type(target).__name__}")


def _is_pool(target: Any) -> bool:
    return hasattr(target, "procs") and hasattr(target, "name_pref")


def _is_handle(target: Any) -> bool:
    if not all(hasattr(target, name) for name in ("qi", "qo", "proc")):
        return False
    if not is_local(target):
        raise TypeError(f"a local worker handle (Tamsel) is needed, not {type(target).__name__}")
    return True


def _procs(pool: Any) -> dict[Any, Any]:
    """The pool's procs, a dict of local worker handles (Tamsel)."""
    procs = pool.procs
    if type(procs) is not dict:
        raise TypeError(f"the pool's procs must be a dict, not {type(procs).__name__}")
    for handle in procs.values():
        if not is_local(handle):
            raise TypeError(f"a pool of local worker handles (Tamsel) is needed, not of "
                            f"{type(handle).__name__}")
    return procs


def is_local(handle: Any) -> bool:
    """Whether `handle` is a worker handle of this process, with its own
    queues and process (one whose worker has a page)."""
    return (type(getattr(handle, "qi", None)) is multiprocessing.queues.Queue
            and type(getattr(handle, "qo", None)) is multiprocessing.queues.Queue
            and isinstance(getattr(handle, "proc", None), multiprocessing.process.BaseProcess))


def slot_of(pool: Any, worker: Any) -> int:
    """The slot of `worker` (an index, or a handle of the pool) in `pool`."""
    handles = list(_procs(pool).values())
    if isinstance(worker, int) and not isinstance(worker, bool):
        if not 0 <= worker < len(handles):
            raise IndexError(f"the pool has no worker {worker} (it has {len(handles)})")
        return worker
    for slot, handle in enumerate(handles):
        if handle is worker:
            return slot
    if _is_handle(worker):
        raise ValueError("that handle is not a worker of this pool")
    raise TypeError("restart() argument 'worker' must be an index or a handle of the pool, "
                    f"not {type(worker).__name__}")


def due_slots(pool: Any) -> list[int]:
    """The slots whose worker has ended or is above its memory limit."""
    return [slot for slot, handle in enumerate(_procs(pool).values()) if is_due(handle)]


def is_due(handle: Any) -> bool:
    """Whether the worker of `handle` has ended, or runs nothing more
    because it is above its memory limit."""
    try:
        if not handle.proc.is_alive():
            return True
    except ValueError:  # a closed process object: its process has ended
        return True
    state = _control.page_state(handle.qi)
    return state is not None and state[3] == _exits.RETIRED


def restart_slot(pool: Any, slot: int) -> Any:
    """Replaces the worker in `slot` of `pool`; the new handle."""
    from vorlen.corvane import cs

    old = list(_procs(pool).values())[slot]
    fresh = _replacement(old, pool.name_pref + "_" + str(slot), cs.Tamsel)
    try:
        _take_slot(pool, old, fresh)
    except BaseException:
        end_worker(fresh)
        raise
    return fresh


def _take_slot(pool: Any, old: Any, fresh: Any) -> None:
    """Puts `fresh` in the place of `old` in the pool's procs, in place."""
    procs = _procs(pool)
    pid = fresh.proc.pid
    entries = list(procs.items())
    for index, (_, handle) in enumerate(entries):
        if handle is old:
            entries[index] = (pid, fresh)
            break
    else:
        raise RuntimeError("the worker being restarted left the pool meanwhile")
    if pid in procs and procs[pid] is not old:
        raise RuntimeError(f"the pool already has an entry for pid {pid}")
    procs.clear()
    procs.update(entries)


def _name_of(handle: Any) -> object:
    from vorlen import _liveness

    try:
        return _liveness.names.get(handle.proc)
    except TypeError:  # not a process object
        return None


def _replacement(old: Any, name: object, make: Any) -> Any:
    """Kills the worker of `old`, starts `make(name)` and gives it what
    `old` recorded, replaying the set-ups; the old worker is reaped
    meanwhile (its teardown overlaps the new start)."""
    kill_worker(old)
    try:
        record = _records.find(old)
        fresh = make(name)
        try:
            if record is not None:
                replay(fresh, _records.hand_on(record, fresh).setups)
        except BaseException:
            end_worker(fresh)
            raise
    finally:
        reap_worker(old)
    return fresh


def replay(handle: Any, setups: list[Any]) -> None:
    """Runs the set-up requests on the worker of `handle`, in order,
    stopping at the first that fails (SetupError)."""
    for index, request in enumerate(setups):
        answer = _control.request(handle, request, 0, 2.0)
        check_setup(handle, request, answer,
                    f"set-up request {index + 1} of {len(setups)} on the restarted worker")


def check_setup(handle: Any, request: Any, answer: Answer, what: str,
                answers: list[Answer] | None = None) -> None:
    """Raises SetupError when `answer` failed or left the worker above its
    memory limit."""
    if not isinstance(answer, list) or len(answer) != 4 or answer[0] != "SUCCESS":
        last = str(answer[2]).strip().splitlines()[-1:] if isinstance(answer, list) \
            and len(answer) == 4 else [repr(answer)]
        raise SetupError(f"{what} failed: {last[0] if last else 'no traceback'}",
                         answer=answer, request=request, answers=answers)
    state = _control.page_state(handle.qi)
    if state is not None and state[3] == _exits.RETIRED:
        raise SetupError(f"{what} left the worker above its memory limit of "
                         f"{_exits.size_text(state[2])} (it holds {_exits.size_text(state[4])})",
                         answer=answer, request=request, answers=answers)


def end_worker(handle: Any) -> None:
    """Kills the worker of `handle` if it is alive and reaps it."""
    kill_worker(handle)
    reap_worker(handle)


def kill_worker(handle: Any) -> None:
    """Kills the worker of `handle` if it is alive."""
    with contextlib.suppress(ValueError):  # a closed process object: it has ended
        if handle.proc.is_alive():
            handle.kill()


def reap_worker(handle: Any) -> None:
    """Waits (a bounded time) for the killed worker of `handle` to end."""
    process = handle.proc
    with contextlib.suppress(ValueError):
        # Only the process that started a worker can reap it.
        if getattr(process, "_parent_pid", None) == os.getpid():
            process.join(REAP_SECONDS)
