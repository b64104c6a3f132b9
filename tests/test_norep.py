"""CorvaneNoRep: one shared pool kept on a holder and handed out again,
restarted only when the requested size changes."""
import multiprocessing as mp
import types

import pytest

import vorlen.corvane as corvane
import vorlen.tamsel as tamsel
from corvane_support import (kill_handles, processes, reap_workers,  # noqa: F401
                             titles, wait_dead)

CorvaneNoRep = corvane.CorvaneNoRep
CorvanePool = corvane.CorvanePool


class Holder:
    pass


@pytest.fixture
def holder():
    """A fresh holder registered with set; the registration and the shared
    pool's workers are undone after the test."""
    saved = CorvaneNoRep.builtin
    h = Holder()
    CorvaneNoRep.set(h)
    try:
        yield h
    finally:
        CorvaneNoRep.builtin = saved
        pool = h.__dict__.get("CNR")
        if isinstance(pool, CorvanePool):
            kill_handles(pool)


@pytest.fixture
def restore_builtin():
    saved = CorvaneNoRep.builtin
    yield
    CorvaneNoRep.builtin = saved


@pytest.fixture
def recorded_handles(monkeypatch):
    """Every Tamsel handle that pools build during the test, in order."""
    made = []

    class Recording(tamsel.Tamsel):
        def __init__(self, name=None):
            super().__init__(name)
            made.append(self)

    monkeypatch.setattr(corvane, "cs", types.SimpleNamespace(Tamsel=Recording))
    return made


def test_set_through_class_and_instance(restore_builtin):
    first, second = Holder(), Holder()
    assert CorvaneNoRep.set(first) is None
    assert CorvaneNoRep.builtin is first
    CorvaneNoRep().set(second)
    assert CorvaneNoRep.builtin is second
    assert "builtin" not in vars(CorvaneNoRep())
    CorvaneNoRep.set(None)
    assert CorvaneNoRep.builtin is None


def test_set_assigns_on_the_class_bound_to_the_module_name(monkeypatch, restore_builtin):
    replacement = type("Other", (), {"builtin": None})
    monkeypatch.setattr(corvane, "CorvaneNoRep", replacement)
    target = Holder()
    CorvaneNoRep.set(target)
    assert replacement.builtin is target
    assert CorvaneNoRep.builtin is not target


def test_first_call_stores_pool_and_returns_none_then_hands_it_out(holder):
    assert CorvaneNoRep.init_process(2) is None
    pool = holder.CNR
    assert type(pool) is CorvanePool
    assert (pool.N, pool.name_pref) == (2, "NoRepeatProcessingPool")
    assert titles(pool) == ["NoRepeatProcessingPool_0", "NoRepeatProcessingPool_1"]
    workers = processes(pool)
    before = mp.active_children()

    assert CorvaneNoRep.init_process(2) is pool
    assert CorvaneNoRep.init_process(n=2) is pool
    assert processes(pool) == workers
    assert all(p.is_alive() for p in workers)
    assert sorted(p.pid for p in mp.active_children()) == sorted(p.pid for p in before)


def test_resize_restarts_the_same_pool(holder):
    CorvaneNoRep.init_process(2)
    pool = holder.CNR
    old = processes(pool)
    assert CorvaneNoRep.init_process(3) is pool
    assert holder.CNR is pool and pool.N == 3
    assert wait_dead(old)
    assert set(pool.procs).isdisjoint(p.pid for p in old)
    assert titles(pool) == ["NoRepeatProcessingPool_%d" % i for i in range(3)]


def test_equal_value_of_another_type_changes_nothing(holder):
    CorvaneNoRep.init_process(2)
    pool = holder.CNR
    workers = list(pool.procs)
    assert CorvaneNoRep.init_process(2.0) is pool
    assert pool.N == 2 and type(pool.N) is int
    assert list(pool.procs) == workers


def test_killed_pool_is_handed_back_unchanged(holder):
    CorvaneNoRep.init_process(1)
    pool = holder.CNR
    pool.kill_all()
    assert CorvaneNoRep.init_process(1) is pool
    assert pool.procs == {}


def test_existing_cnr_is_used_unchanged(holder):
    class Stranger:
        N = 5
        restarts = 0

        def init_process(self):
            self.restarts += 1

    stranger = holder.CNR = Stranger()
    before = mp.active_children()
    assert CorvaneNoRep.init_process(5) is stranger
    assert stranger.restarts == 0
    assert CorvaneNoRep.init_process(6) is stranger
    assert (stranger.N, stranger.restarts) == (6, 1)
    assert mp.active_children() == before


def test_instance_init_process_passes_the_instance_as_n(holder):
    class Recorder:
        N = 1

        def init_process(self):
            self.restarted_with = self.N

    holder.CNR = recorder = Recorder()
    instance = CorvaneNoRep()
    assert instance.init_process() is recorder
    assert recorder.N is instance and recorder.restarted_with is instance


def test_cnr_without_n_raises_attribute_error(holder):
    holder.CNR = object()
    with pytest.raises(AttributeError, match="has no attribute 'N'"):
        CorvaneNoRep.init_process(1)


def test_size_that_range_refuses_stores_nothing(holder):
    with pytest.raises(TypeError):
        CorvaneNoRep.init_process("2")
    assert not hasattr(holder, "CNR")


def assert_all_dead(made):
    assert made, "no worker was started"
    assert wait_dead([h.proc for h in made])
    assert all(h.proc.exitcode == -9 for h in made)
    alive = {p.pid for p in mp.active_children()}
    assert alive.isdisjoint(h.proc.pid for h in made)


def test_init_process_before_set_raises_and_leaves_no_worker(recorded_handles, restore_builtin):
    CorvaneNoRep.builtin = None
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'CNR'") as info:
        CorvaneNoRep.init_process(2)
    assert len(recorded_handles) == 2
    assert_all_dead(recorded_handles)
    names = [entry.name for entry in info.traceback]
    assert "vorlen.corvane.CorvaneNoRep.init_process" in names


class Slotted:
    __slots__ = ()


class ReadFailsNoSetter:
    @property
    def CNR(self):
        raise KeyError("not readable")


@pytest.mark.parametrize("refusing", [Slotted, ReadFailsNoSetter])
def test_holder_refusing_cnr_raises_and_leaves_no_worker(recorded_handles, restore_builtin,
                                                         refusing):
    CorvaneNoRep.set(refusing())
    with pytest.raises(AttributeError):
        CorvaneNoRep.init_process(1)
    assert len(recorded_handles) == 1
    assert_all_dead(recorded_handles)
