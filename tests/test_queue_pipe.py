"""Requests and answers written straight into a queue's pipe: order, the
fall-back to put() when the pipe is full or the queue is not a plain one,
and batches that keep running while the caller reads nothing."""
import multiprocessing as mp
import multiprocessing.queues
import pickle
import time
import types

import pytest

import vorlen.corvane as corvane
from support import WAIT, wait_for


def answers_printed(answers):
    return [answer[1] for answer in answers]


@pytest.fixture
def pool_factory():
    made = []

    def make(n):
        pool = corvane.CorvanePool(n)
        made.append(pool)
        return pool

    yield make
    for pool in made:
        for handle in list(pool.procs.values()):
            handle.proc.kill()
            handle.proc.join(WAIT)
            # A feeder thread still writing requests nobody will read must
            # not hold up this process's exit (the queue joins it then).
            handle.qi.cancel_join_thread()


class TestOrder:
    def test_direct_sends_leave_the_feeder_thread_unused(self, handle):
        for i in range(5):
            assert handle.blocked_put(f"xprint({i})")[1] == f"{i}\n"
        assert handle.qi._thread is None

    def test_put_and_blocked_put_interleaved_keep_their_order(self, handle):
        handle.blocked_put("n = 0")                # direct
        handle.qi.put("n += 1; xprint(n)")         # starts the feeder thread
        # From now on everything takes put(), so the older request is
        # answered first, and blocked_put returns that older answer; its own
        # belongs to a call that has ended, and no later call gets it.
        assert handle.blocked_put("n += 10; xprint(n)")[1] == "1\n"
        handle.qi.put("n += 100; xprint(n)")
        assert handle.blocked_put("xprint('last')")[1] == "111\n"
        assert handle.qo.get(timeout=WAIT)[1] == "last\n"   # a plain get sees it all
        assert handle.qi._thread is not None

    def test_many_mixed_sends_are_answered_in_order(self, handle):
        # blocked_put returns the oldest answer of a request put directly on
        # qi, if one is unread, else its own.
        unread = []
        for i in range(40):
            request = f"xprint({i})"
            if i % 3 == 1 or i % 7 == 0:
                handle.qi.put(request)
                unread.append(f"{i}\n")
            else:
                expected = unread.pop(0) if unread else f"{i}\n"
                assert handle.blocked_put(request)[1] == expected
        assert [a[1] for a in corvane.reduce([handle.qo] * len(unread))] == unread


class TestFallBack:
    def test_request_larger_than_the_pipe_goes_through_put(self, handle):
        big = "s = '" + "a" * (3 << 20) + "'; xprint(len(s))"
        assert handle.blocked_put(big)[1] == f"{3 << 20}\n"
        assert handle.qi._thread is not None
        assert handle.blocked_put("xprint('after')")[1] == "after\n"

    def test_answer_larger_than_the_pipe_goes_through_put(self, handle):
        answer = handle.blocked_put("xreturn(blob=b'z' * (3 << 20))")
        assert answer[0] == "SUCCESS" and answer[3]["blob"] == b"z" * (3 << 20)
        # The worker's queue now uses its feeder thread; answers stay in order.
        for i in range(5):
            assert handle.blocked_put(f"xprint({i})")[1] == f"{i}\n"

    @pytest.mark.alone  # its bound of a second or two needs the machine to itself
    def test_full_pipe_while_the_worker_is_busy(self, pool_factory):
        pool = pool_factory(1)
        chunk = "x = '" + "b" * 200_000 + "'"
        # The worker sleeps while about 2 MB of requests pile up in a pipe of
        # 1 MB: the later ones wait in the feeder thread instead of blocking
        # the caller until the worker wakes.
        batch = ["import time; time.sleep(3)"] + [chunk] * 10 + ["xprint('done')"]
        start = time.monotonic()
        queues = pool.map(batch, block=False)
        assert time.monotonic() - start < 2.5
        answers = corvane.reduce(queues)
        assert [a[0] for a in answers] == ["SUCCESS"] * len(batch)
        assert answers[-1][1] == "done\n"

    def test_write_lock_held_elsewhere_sends_through_put(self, handle):
        # Another writer of the queue holds its write lock (for instance its
        # own feeder thread, waiting on a full pipe): the request is handed
        # to put() instead of waiting here for the lock.
        import threading
        assert handle.qi._wlock.acquire(timeout=WAIT)
        releaser = threading.Timer(0.3, handle.qi._wlock.release)
        releaser.start()
        try:
            assert handle.blocked_put("xprint(8)")[1] == "8\n"
        finally:
            releaser.join(WAIT)
        assert handle.qi._thread is not None

    def test_replaced_put_is_used(self, handle):
        calls = []
        real_put = handle.qi.put

        def recording_put(message):
            calls.append(message)
            real_put(message)

        handle.qi.put = recording_put
        assert handle.blocked_put("xprint(7)")[1] == "7\n"
        assert calls == ["xprint(7)"]

    def test_queue_subclass_uses_put(self, make_handle):
        import vorlen.tamsel as tamsel

        class Recording(mp.queues.Queue):
            def __init__(self):
                super().__init__(ctx=mp.get_context())
                self.count = 0

            def put(self, obj, block=True, timeout=None):
                self.count += 1
                super().put(obj, block, timeout)

        handle = make_handle()
        qi, qo = Recording(), Recording()
        proc = mp.Process(target=tamsel.tamsel_main, args=(None, qi, qo))
        proc.start()
        try:
            handle.qi, handle.qo = qi, qo
            assert handle.blocked_put("xprint(5)")[1] == "5\n"
            assert qi.count == 1 and qo.count == 0  # qo is written in the worker
        finally:
            proc.kill()
            proc.join(WAIT)

    def test_unpicklable_request_in_a_batch_raises_in_the_caller(self, pool_factory):
        pool = pool_factory(1)
        with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
            pool.map(["x = 1", lambda: 0])
        # The request sent before the failure was cancelled with its batch,
        # unless the worker had taken it already.
        (handle,) = pool.procs.values()
        answer = handle.qo.get(timeout=WAIT)
        assert answer[0] == "SUCCESS" or "cancelled" in answer[2]
        assert answers_printed(pool.map(["xprint(3)"])) == ["3\n"]


@pytest.mark.alone  # 100,000 requests within a bound: under the sanitizers it needs both cores
def test_large_non_blocking_batch_runs_while_nothing_is_read(pool_factory, tmp_path):
    pool = pool_factory(2)
    marks = [tmp_path / f"done{i}" for i in range(2)]
    batch = ["x = 1"] * 100_000
    batch[-2] = f"open({str(marks[0])!r}, 'w').close()"
    batch[-1] = f"open({str(marks[1])!r}, 'w').close()"
    start = time.monotonic()
    queues = pool.map(batch, block=False)
    assert len(queues) == 100_000
    # Both workers get through all their requests although no answer is read.
    assert wait_for(lambda: all(m.exists() for m in marks), timeout=60)
    assert time.monotonic() - start < 60
    answers = corvane.reduce(queues)
    assert len(answers) == 100_000
    assert all(a[0] == "SUCCESS" for a in answers)


@pytest.mark.timeout(20)
def test_queues_on_reused_descriptors_never_block_a_send():
    # Nobody reads these queues while the batch is sent: a large request may
    # go straight into the pipe only if this very pipe has room for it,
    # whatever an earlier pipe on the same descriptor numbers had.
    request = "x = '" + "q" * 200_000 + "'"
    for _ in range(3):
        q = mp.Queue()
        handle = types.SimpleNamespace(qi=q, qo=None, clear_output=lambda: None)
        pool = corvane.CorvanePool.__new__(corvane.CorvanePool)
        pool.procs = {1: handle}
        pool.map([request, "y = 2"], block=False)
        assert q.get(timeout=WAIT) == request
        assert q.get(timeout=WAIT) == "y = 2"
        q.close()
        q.join_thread()
