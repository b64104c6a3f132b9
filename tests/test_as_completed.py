"""vorlen.as_completed: answers of a non-blocking batch in arrival order."""
import gc
import os
import time
import weakref

import pytest

import vorlen
from corvane_support import pool_of, reap_workers  # noqa: F401
from support import FakeQueue

SLEEP = "import time\ntime.sleep({})\nxreturn(i={})"


def test_order_follows_completion_and_indexes_follow_requests():
    with pool_of(2) as pool:
        # Worker 0 gets requests 0 and 2, worker 1 gets 1 and 3.
        queues = pool.map([SLEEP.format(0.5, 0), SLEEP.format(0, 1),
                           SLEEP.format(0, 2), SLEEP.format(0.1, 3)], block=False)
        arrived = list(vorlen.as_completed(queues))
        assert [index for index, _ in arrived] == [1, 3, 0, 2]
        assert all(answer[3]["i"] == index for index, answer in arrived)
        assert list(vorlen.as_completed([])) == []


def test_time_out_bounds_the_whole_iteration():
    with pool_of(2) as pool:
        queues = pool.map([SLEEP.format(30, 0), SLEEP.format(0, 1)], block=False)
        started = time.monotonic()
        arrivals = vorlen.as_completed(queues, timeout=0.5)
        assert next(arrivals)[0] == 1
        with pytest.raises(TimeoutError):
            next(arrivals)
        assert 0.4 < time.monotonic() - started < 5
        with pytest.raises(ValueError, match="non-negative"):
            vorlen.as_completed(queues, timeout=-1)


def test_dead_worker_raises_after_the_answers_it_sent():
    with pool_of(2) as pool:
        # Worker 0 answers request 0 and dies on request 2, after worker 1
        # has answered requests 1 and 3.
        queues = pool.map(["xreturn(i=0)", "xreturn(i=1)",
                           "import os, time\ntime.sleep(0.5)\nos._exit(4)", "xreturn(i=3)"],
                          block=False)
        arrivals = vorlen.as_completed(queues, timeout=20)
        seen = []
        with pytest.raises(vorlen.WorkerDiedError) as caught:
            for index, _ in arrivals:
                seen.append(index)
        assert sorted(seen) == [0, 1, 3]
        assert caught.value.exitcode == 4


class PipeSource(FakeQueue):
    """A foreign answer source: ready when its pipe has a byte."""

    def __init__(self, items):
        super().__init__(items)
        self.read_end, self.write_end = os.pipe()

    def vorlen_ready_fd(self):
        return self.read_end

    def release(self, count=1):
        os.write(self.write_end, b"x" * count)

    def get(self):
        os.read(self.read_end, 1)
        return super().get()

    def close(self):
        os.close(self.read_end)
        os.close(self.write_end)


def test_foreign_sources_through_their_descriptor_and_unwaitable_elements():
    first, second = PipeSource(["a0", "a1"]), PipeSource(["b0"])
    try:
        second.release()
        arrivals = vorlen.as_completed([first, second, first], timeout=5)
        assert next(arrivals) == (1, "b0")
        first.release(2)
        assert list(arrivals) == [(0, "a0"), (2, "a1")]
    finally:
        first.close()
        second.close()
    with pytest.raises(TypeError, match="cannot wait on a 'FakeQueue'"):
        vorlen.as_completed([FakeQueue(["x"])])


def test_an_iterator_in_a_reference_cycle_is_collected():
    source = PipeSource(["a"])
    reader, writer = source.read_end, source.write_end
    try:
        source.arrivals = vorlen.as_completed([source])   # source -> iterator -> source
        collected = weakref.ref(source)
        source = None
        gc.collect()
        assert collected() is None
    finally:
        os.close(reader)
        os.close(writer)
