"""reduce: one answer from each queue of a list, in order, and a worker that
dies while its answer is awaited."""
import os
import queue
import signal
import threading
import time

import pytest

import vorlen
import vorlen.corvane as corvane
from corvane_support import (pool_of, processes, reap_workers,  # noqa: F401
                             unblock_after, wait_answers, wait_dead)
from support import FakeQueue

reduce = corvane.reduce


def test_empty_input_gives_a_new_empty_list():
    red = []
    result = reduce(red)
    assert result == [] and result is not red
    assert reduce(()) == [] and reduce(iter([])) == []


def test_plain_queue_like_objects_and_iterators():
    a, b = FakeQueue([1, 2]), FakeQueue(["x"])
    assert reduce([a, b, a]) == [1, "x", 2]
    assert a.items == [] and b.items == []
    c = FakeQueue(["p", "q"])
    assert reduce(q for q in (c, c)) == ["p", "q"]
    std = queue.Queue()
    std.put("first")
    std.put("second")
    assert reduce(iter([std, std])) == ["first", "second"]


def test_element_without_get_and_failing_get_propagate():
    first = FakeQueue(["taken"])
    with pytest.raises(AttributeError, match="'int' object has no attribute 'get'"):
        reduce([first, 5])
    # The answer read before the failure has left its queue.
    assert first.items == []

    class Broken:
        def get(self):
            raise KeyError("broken get")

    with pytest.raises(KeyError, match="broken get"):
        reduce((Broken(),))
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        reduce(5)


def test_tuple_and_list_of_worker_queues_agree():
    batch = ["xreturn(k=%d)" % k for k in range(4)]
    with pool_of(2) as pool:
        from_list = reduce(pool.map(batch, block=False))
        from_tuple = reduce(tuple(pool.map(batch, block=False)))
        assert from_list == from_tuple == [["SUCCESS", "", "", {"k": k}] for k in range(4)]


def test_same_queue_three_times_gives_oldest_first():
    with pool_of(1) as pool:
        handle, = pool.procs.values()
        for k in range(3):
            handle.qi.put("xreturn(k=%d)" % k)
        answers = reduce([handle.qo] * 3)
        assert [a[3]["k"] for a in answers] == [0, 1, 2]


# --- a worker that dies while its answer is awaited -------------------------

def kill_later(proc, seconds):
    timer = threading.Timer(seconds, os.kill, (proc.pid, signal.SIGKILL))
    timer.start()
    return timer


def test_worker_killed_during_blocking_map_raises_worker_died_error():
    with pool_of(2) as pool:
        victim, other = processes(pool)
        queues = [h.qo for h in pool.procs.values()]
        timer = kill_later(victim, 0.3)
        try:
            with unblock_after(queues, 20):
                started = time.monotonic()
                with pytest.raises(vorlen.WorkerDiedError) as info:
                    pool.map(["import time\ntime.sleep(15)", "xreturn(k=1)"])
                elapsed = time.monotonic() - started
        finally:
            timer.cancel()
        assert isinstance(info.value, RuntimeError)
        assert (info.value.pid, info.value.exitcode) == (victim.pid, -signal.SIGKILL)
        assert elapsed < 5
        # What was lost and what was done: the live worker's answer had come.
        assert info.value.positions == [0]
        assert info.value.answers == [None, ["SUCCESS", "", "", {"k": 1}]]
        # The live worker is unaffected, and nothing of the batch reaches a
        # later call.
        assert other.is_alive()
        live = list(pool.procs.values())[1]
        assert live.blocked_put("xreturn(k=2)") == ["SUCCESS", "", "", {"k": 2}]


def test_worker_killed_during_reduce_keeps_other_answers_in_place():
    with pool_of(2) as pool:
        victim, other = processes(pool)
        q0, q1 = (h.qo for h in pool.procs.values())
        batch = ["xreturn(k=0)", "xreturn(k=1)",
                 "import time\ntime.sleep(15)", "xreturn(k=3)"]
        red = pool.map(batch, block=False)
        timer = kill_later(victim, 0.3)
        try:
            with unblock_after([q0, q1], 20):
                with pytest.raises(vorlen.WorkerDiedError) as info:
                    reduce(red)
        finally:
            timer.cancel()
        assert info.value.pid == victim.pid
        # Answers 0, 1 and 3 had come; the error tells them, and they stay
        # with the batch, in place: reading it again gives the same.
        done = [["SUCCESS", "", "", {"k": k}] for k in range(4)]
        assert info.value.positions == [2]
        assert info.value.answers == [done[0], done[1], None, done[3]]
        with unblock_after([q0, q1], 20):
            with pytest.raises(vorlen.WorkerDiedError) as again:
                reduce(red)
        assert again.value.answers == info.value.answers
        assert reduce([q1, q1]) == [done[1], done[3]]
        assert q0.qsize() == 0


def test_answer_sent_before_death_is_still_returned():
    with pool_of(1) as pool:
        victim, = processes(pool)
        qo = pool.procs[victim.pid].qo
        red = pool.map(["xreturn(k=0)",
                        "import os, time\ntime.sleep(0.3)\nos.kill(os.getpid(), 9)"],
                       block=False)
        assert wait_dead([victim])
        with unblock_after([qo], 20):
            assert reduce(red[:1]) == [["SUCCESS", "", "", {"k": 0}]]
            with pytest.raises(vorlen.WorkerDiedError) as info:
                reduce(red[1:])
        assert info.value.exitcode == -9
        # Already dead before the next batch: the blocking map says so at once.
        with unblock_after([qo], 20):
            with pytest.raises(vorlen.WorkerDiedError):
                pool.map(["xreturn(k=2)"])


class Interrupted(Exception):
    pass


def test_signal_handler_error_interrupts_a_blocking_map():
    def handler(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(0.3, signal.pthread_kill,
                            (threading.main_thread().ident, signal.SIGUSR1))
    try:
        with pool_of(1) as pool:
            qo = pool.procs[next(iter(pool.procs))].qo
            timer.start()
            with unblock_after([qo], 20):
                with pytest.raises(Interrupted):
                    pool.map(["import time\ntime.sleep(1)\nxreturn(k=0)"])
            # The late answer waits on its queue until the next map drops it.
            assert wait_answers(qo, 1)
            assert pool.map(["xreturn(k=1)"]) == [["SUCCESS", "", "", {"k": 1}]]
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, previous)
