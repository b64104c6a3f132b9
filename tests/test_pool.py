"""CorvanePool with real worker processes: naming, dealing, answer order,
non-blocking batches, restarts, and the failures of its walks."""
import multiprocessing as mp
import threading

import pytest

import vorlen.corvane as corvane
from corvane_support import (PID_REQUEST, FakeHandle, answered_pids, kill_handles,
                             pool_of, processes, reap_workers, titles,  # noqa: F401
                             unblock_after, wait_answers, wait_dead)

CorvanePool = corvane.CorvanePool

# Each worker keeps the positions it was sent, in arrival order.
TRACE = "import os\nseen = globals().get('seen', []) + [{k}]\nxreturn(k={k}, pid=os.getpid(), seen=seen)"


def trace_batch(count):
    return [TRACE.format(k=k) for k in range(count)]


def test_workers_are_named_from_the_prefix_and_registered_by_pid():
    with pool_of(2, "tp") as pool:
        assert (pool.N, pool.name_pref) == (2, "tp")
        assert list(pool.procs) == [p.pid for p in processes(pool)]
        assert all(type(h) is corvane.cs.Tamsel for h in pool.procs.values())
        assert titles(pool) == ["tp_0", "tp_1"]


def test_batch_is_dealt_round_robin_and_answered_in_request_order():
    with pool_of(3, "deal") as pool:
        p0, p1, p2 = pool.procs
        answers = pool.map(trace_batch(7))
        assert [a[0] for a in answers] == ["SUCCESS"] * 7
        assert [a[3]["k"] for a in answers] == list(range(7))
        assert [a[3]["pid"] for a in answers] == [p0, p1, p2, p0, p1, p2, p0]
        # Each worker got its share of the batch in order.
        assert answers[6][3]["seen"] == [0, 3, 6]
        assert answers[4][3]["seen"] == [1, 4]
        assert answers[5][3]["seen"] == [2, 5]


def test_exception_answer_takes_its_place():
    with pool_of(2) as pool:
        answers = pool.map(["xreturn(k=0)", "1/0", "xprint('two')"])
        assert answers[0] == ["SUCCESS", "", "", {"k": 0}]
        assert answers[1][0] == "EXCEPTION"
        assert "ZeroDivisionError" in answers[1][2]
        assert answers[2] == ["SUCCESS", "two\n", "", {}]
        # The pool goes on serving after a failed request.
        assert pool.map(["xreturn(k=3)"]) == [["SUCCESS", "", "", {"k": 3}]]


def test_non_blocking_map_returns_queues_and_reduce_collects_the_same_answers():
    batch = ["xreturn(k=%d)" % k for k in range(5)]
    with pool_of(2) as pool:
        h0, h1 = pool.procs.values()
        red = pool.map(batch, block=False)
        assert type(red) is list
        assert all(a is b for a, b in zip(red, [h0.qo, h1.qo, h0.qo, h1.qo, h0.qo]))
        assert len(red) == 5
        later = corvane.reduce(red)
        assert later == pool.map(batch)
        assert later == [["SUCCESS", "", "", {"k": k}] for k in range(5)]
        # Any false object works as block.
        assert len(pool.map(batch, block=0)) == 5
        assert len(pool.map(batch, block="")) == 5
        pool.clear_output()


def test_block_whose_truth_test_fails_raises_after_sending():
    class Undecided:
        def __bool__(self):
            raise ValueError("no truth")

    with pool_of(1) as pool:
        with pytest.raises(ValueError, match="no truth"):
            pool.map(["xreturn(k=1)"], block=Undecided())
        assert wait_answers(pool.procs[next(iter(pool.procs))].qo, 1)
        # The stale answer is discarded by the next map.
        assert pool.map(["xreturn(k=2)"]) == [["SUCCESS", "", "", {"k": 2}]]


def test_empty_batch_returns_empty_list():
    with pool_of(1) as pool:
        for block in (True, False):
            assert pool.map([], block) == []
            assert pool.map((), block) == []
    empty = CorvanePool(0)
    assert empty.map([]) == [] and empty.map([], False) == []


def test_one_shot_generator_batch_returns_nothing_and_answers_are_discarded_later():
    with pool_of(2) as pool:
        h0, h1 = pool.procs.values()
        assert pool.map(("xreturn(old=%d)" % k for k in range(3))) == []
        assert wait_answers(h0.qo, 2) and wait_answers(h1.qo, 1)
        assert pool.map(["xreturn(new=0)", "xreturn(new=1)"]) == [
            ["SUCCESS", "", "", {"new": 0}], ["SUCCESS", "", "", {"new": 1}]]


@pytest.mark.parametrize("n", [0, -2])
def test_zero_or_negative_size_starts_nothing(n):
    before = mp.active_children()
    pool = CorvanePool(n)
    assert pool.procs == {} and pool.N == n
    assert mp.active_children() == before


def test_map_without_workers_divides_by_zero_before_sending():
    taken = []

    def batch():
        for request in ("a", "b"):
            taken.append(request)
            yield request

    with pool_of(1) as pool:
        old = processes(pool)
        pool.kill_all()
        assert wait_dead(old)
        with pytest.raises(ZeroDivisionError, match="integer modulo by zero"):
            pool.map(batch())
        assert taken == ["a"]
        assert old[0].exitcode == -9


def test_init_process_restarts_with_new_workers_named_from_zero():
    with pool_of(2, "re") as pool:
        old = processes(pool)
        old_handles = list(pool.procs.values())
        pool.init_process()
        assert wait_dead(old)
        assert len(pool.procs) == 2
        assert set(pool.procs).isdisjoint(p.pid for p in old)
        assert not set(old_handles) & set(pool.procs.values())
        assert titles(pool) == ["re_0", "re_1"]


def test_resize_through_n_deals_over_the_new_workers():
    with pool_of(1, "rs") as pool:
        pool.N = 3
        pool.init_process()
        assert titles(pool) == ["rs_0", "rs_1", "rs_2"]
        assert answered_pids(pool, 4) == list(pool.procs) + [next(iter(pool.procs))]
        pool.N = 1
        pool.init_process()
        assert len(pool.procs) == 1
        assert answered_pids(pool, 2) == list(pool.procs) * 2


def test_kill_all_kills_every_worker_and_empties_the_table():
    with pool_of(2) as pool:
        old = processes(pool)
        table = pool.procs
        assert pool.kill_all() is None
        assert pool.procs == {} and pool.procs is not table
        assert wait_dead(old)
        assert [p.exitcode for p in old] == [-9, -9]
        emptied = pool.procs
        pool.kill_all()
        assert pool.procs == {} and pool.procs is not emptied
        pool.init_process()
        assert len(pool.procs) == 2 and all(p.is_alive() for p in processes(pool))


def test_clear_output_discards_waiting_answers_only():
    with pool_of(2) as pool:
        handles = list(pool.procs.values())
        for h in handles:
            h.qi.put("xreturn(stale=1)")
        assert all(wait_answers(h.qo, 1) for h in handles)
        assert pool.clear_output() is None
        assert [h.qo.qsize() for h in handles] == [0, 0]
        assert pool.map(["xreturn(k=1)", PID_REQUEST])[0] == ["SUCCESS", "", "", {"k": 1}]


def test_name_pref_that_does_not_add_to_str_fails_before_any_worker_starts():
    before = mp.active_children()
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for \+: 'NoneType' and 'str'"):
        CorvanePool(2, None)
    with pytest.raises(TypeError):
        CorvanePool(2, 7)
    with pytest.raises(TypeError, match="'str' object cannot be interpreted as an integer"):
        CorvanePool("2")
    assert mp.active_children() == before


def test_subclass_overrides_are_used():
    calls = []

    class Pool(CorvanePool):
        def init_process(self):
            calls.append("init_process")
            return super().init_process()

        def kill_all(self):
            calls.append("kill_all")
            return super().kill_all()

        def clear_output(self):
            calls.append("clear_output")
            return super().clear_output()

    pool = Pool(1)
    try:
        assert calls == ["init_process"]
        pool.map([])
        assert calls[-1] == "clear_output"
        pool.init_process()
        assert calls[-3:] == ["clear_output", "init_process", "kill_all"]
        assert answered_pids(pool, 1) == list(pool.procs)
    finally:
        kill_handles(pool)


# --- walking procs -----------------------------------------------------------

class ItemsOnly:
    """A mapping-like table that is not a dict."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return iter(self._items)


def bare_pool(procs):
    pool = CorvanePool(0)
    pool.procs = procs
    return pool


def test_non_dict_table_is_walked_through_items():
    log = []
    handles = [FakeHandle(log=log) for _ in range(2)]
    pool = bare_pool(ItemsOnly([(h.proc.pid, h) for h in handles]))
    pool.clear_output()
    assert log == [("clear_output", h.proc.pid) for h in handles]
    # Items only need to unpack into two values.
    pool.procs = ItemsOnly([iter([h.proc.pid, h]) for h in handles])
    pool.kill_all()
    assert log[2:] == [("kill", h.proc.pid) for h in handles]
    assert pool.procs == {}


@pytest.mark.parametrize("item, error, message", [
    ((1,), ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    (range(1), ValueError, "need more than 1 value to unpack"),
    (range(3), ValueError, "too many values to unpack (expected 2)"),
    ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    ([1, 2, 3], ValueError, "too many values to unpack (expected 2)"),
    (None, TypeError, "'NoneType' object is not iterable"),
])
def test_wrong_sized_items_fail_the_walk(item, error, message):
    log = []
    good = FakeHandle(log=log)
    table = ItemsOnly([(good.proc.pid, good), item])
    pool = bare_pool(table)
    for method in ("kill_all", "clear_output"):
        with pytest.raises(error) as info:
            getattr(pool, method)()
        assert str(info.value) == message
    # The handle before the bad item was reached; the table was kept.
    assert log == [("kill", good.proc.pid), ("clear_output", good.proc.pid)]
    assert pool.procs is table


def test_none_table_and_table_changed_during_walk():
    pool = bare_pool(None)
    for method in ("kill_all", "clear_output"):
        with pytest.raises(AttributeError) as info:
            getattr(pool, method)()
        assert str(info.value) == "'NoneType' object has no attribute 'items'"

    class Growing(FakeHandle):
        def kill(self):
            pool.procs[object()] = FakeHandle()

    grower = Growing()
    table = {grower.proc.pid: grower, 1: FakeHandle()}
    pool.procs = table
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        pool.kill_all()
    assert pool.procs is table


def test_unpicklable_request_raises_in_the_caller_instead_of_hanging():
    with pool_of(1) as pool:
        handle, = pool.procs.values()
        for attempt in range(2):
            if attempt:
                # A request put by the caller itself starts the queue's own
                # sending thread; the check must hold on that road too.
                handle.qi.put("xreturn(direct=1)")
                assert wait_answers(handle.qo, 1)
            with unblock_after([handle.qo], 20):
                with pytest.raises(TypeError, match="cannot pickle '_thread.lock' object"):
                    pool.map(["xreturn(k=0)", threading.Lock()])
            # The request before the bad one went out; the next map drops
            # its answer.
            assert wait_answers(handle.qo, 1)
            assert pool.map(["xreturn(k=1)"]) == [["SUCCESS", "", "", {"k": 1}]]
