"""vorlen.map: dealing to the first free worker, answers in request order,
dead workers, and the progress reports."""
import collections
import random
import time
import types

import pytest

import vorlen
from vorlen import _wire
from corvane_support import PID_REQUEST, pool_of, reap_workers  # noqa: F401
from support import DEAF

# Request i sleeps `seconds` and reports its position, its worker and how
# many requests that worker has run so far.
TIMED = ("import os, time\ntime.sleep({seconds})\n"
         "ran = globals().get('ran', 0) + 1\nxreturn(i={i}, pid=os.getpid(), ran=ran)")


def timed(i, seconds):
    return TIMED.format(i=i, seconds=seconds)


def test_balanced_answers_in_request_order_each_exactly_once():
    # Request 0 keeps its worker busy while the other worker takes almost all
    # the rest: dealt by position, each would get half.
    batch = [timed(0, 0.6)] + [timed(i, 0.005) for i in range(1, 41)]
    with pool_of(2) as pool:
        answers = vorlen.map(pool, batch, balance=True)
        assert [a[0] for a in answers] == ["SUCCESS"] * len(batch)
        assert [a[3]["i"] for a in answers] == list(range(len(batch)))
        slow_pid = answers[0][3]["pid"]
        by_slow = sum(a[3]["pid"] == slow_pid for a in answers)
        assert by_slow <= 10, by_slow
        # Every request ran exactly once: the workers' own counts add up.
        ran = {a[3]["pid"]: a[3]["ran"] for a in vorlen.map(pool, [PID_REQUEST + "\nxreturn(ran=ran)"] * 2)}
        assert sum(ran.values()) == len(batch)
        # The pool's own map still works on the same workers afterwards.
        assert [a[3]["i"] for a in pool.map([timed(i, 0) for i in range(4)])] == [0, 1, 2, 3]


def test_unbalanced_deals_as_the_pool_does_and_keeps_order():
    with pool_of(3) as pool:
        pids = list(pool.procs)
        answers = vorlen.map(pool, [timed(i, 0) for i in range(7)])
        assert [a[3]["pid"] for a in answers] == [pids[k % 3] for k in range(7)]
        assert [a[3]["i"] for a in answers] == list(range(7))


def test_batch_shapes_and_argument_errors():
    with pool_of(2) as pool:
        for balance in (False, True):
            assert vorlen.map(pool, [], balance=balance) == []
            # A one-shot iterator is read once and answered in full.
            answers = vorlen.map(pool, (timed(i, 0) for i in range(3)), balance=balance)
            assert [a[3]["i"] for a in answers] == [0, 1, 2]
        failed = vorlen.map(pool, ["1/0", "xreturn(ok=1)"], balance=True)
        assert failed[0][0] == "EXCEPTION" and "ZeroDivisionError" in failed[0][2]
        assert failed[1] == ["SUCCESS", "", "", {"ok": 1}]
        with pytest.raises(ValueError, match="'timeout' must be more than zero"):
            vorlen.map(pool, ["x = 1"], timeout=0, balance=True)
        with pytest.raises(TypeError, match="progress"):
            vorlen.map(pool, ["x = 1"], progress="yes")
        with pytest.raises(TypeError, match="positional"):
            vorlen.map(pool, ["x = 1"], True)
        # raised as it is sent ("Can't get local object" from 3.13 on)
        with pytest.raises(AttributeError, match="(pickle|get) local object"):
            vorlen.map(pool, ["x = 1", lambda: 0], balance=True)
        pool.kill_all()
        assert vorlen.map(pool, [], balance=True) == []
        # A pool whose handles are not local workers (another kind of pool).
        foreign = types.SimpleNamespace(procs={1: types.SimpleNamespace()})
        with pytest.raises(TypeError, match="local worker handles"):
            vorlen.map(foreign, ["x = 1"], balance=True)
        with pytest.raises(ValueError, match="no workers"):
            vorlen.map(pool, ["x = 1"], balance=True)


def test_balanced_worker_dying_mid_batch_raises():
    batch = [timed(i, 0.01) for i in range(20)]
    batch[7] = "import os\nos._exit(3)"
    with pool_of(2) as pool:
        with pytest.raises(vorlen.WorkerDiedError) as caught:
            vorlen.map(pool, batch, balance=True)
        assert caught.value.exitcode == 3
        assert caught.value.pid in pool.procs


@pytest.mark.alone  # its request must block signals within its short time limit
def test_balanced_time_limits_count_from_the_start_and_escalate():
    with pool_of(2) as pool:
        batch = [timed(i, 0.05) for i in range(12)]
        batch[3] = "xprint('slow')\nwhile True: pass"
        answers = vorlen.map(pool, batch, timeout=0.5, balance=True)
        assert answers[3][0] == "EXCEPTION" and answers[3][1] == "slow\n"
        assert answers[3][2].rstrip().endswith("time limit of 0.5 s exceeded")
        # Queued behind the slow request or not, every other one ran in full.
        assert [a[3]["i"] for i, a in enumerate(answers) if i != 3] == \
            [i for i in range(12) if i != 3]
        with pytest.raises(vorlen.WorkerDiedError, match="did not respond to the interrupt") as died:
            vorlen.map(pool, ["xreturn(a=1)", DEAF, "xreturn(b=2)"], timeout=0.2, grace=0.2,
                       balance=True)
        assert died.value.pid in pool.procs


def test_progress_callable_gets_done_and_total_after_each_answer():
    batch = [timed(i, 0) for i in range(9)]
    with pool_of(2) as pool:
        for balance in (False, True):
            calls = []
            vorlen.map(pool, batch, balance=balance,
                       progress=lambda done, total: calls.append((done, total)))
            assert calls == [(done, 9) for done in range(1, 10)]

        def stop(done, total):
            if done == 2:
                raise KeyError("stop here")

        with pytest.raises(KeyError, match="stop here"):
            vorlen.map(pool, batch, balance=True, progress=stop)


def test_progress_bar_on_standard_error_only_and_nothing_without_it(capfd):
    batch = ["xreturn(a=1)", "1/0", "xreturn(b=2)"]
    with pool_of(2) as pool:
        for balance in (False, True):
            vorlen.map(pool, batch, balance=balance)
            vorlen.map(pool, batch, balance=balance, progress=False)
            assert capfd.readouterr() == ("", "")
            vorlen.map(pool, batch, balance=balance, progress=True)
            out, err = capfd.readouterr()
            assert out == ""
            assert "3/3" in err and "failed=1" in err, err



def test_dealing_waits_without_spinning(handle):
    started = time.thread_time()
    answers = _wire.deal([handle], [timed(0, 0.5)], [0], 2.0, True, 0, None)
    assert answers[0][3]["i"] == 0
    assert time.thread_time() - started < 0.2
    # A fixed number in flight far above the batch's size deals it at once.
    answers = _wire.deal([handle], [timed(1, 0)], [0], 2.0, True, 10 ** 8, None)
    assert answers[0][3]["i"] == 1
    assert time.thread_time() - started < 0.4


# Records that request {i} started, in a file that outlives its worker, then
# runs for {seconds} seconds.
LOGGED = ("import time\nwith open(LOG, 'a') as log: log.write('{i}\\n')\n"
          "_end = time.perf_counter() + {seconds}\nwhile time.perf_counter() < _end: pass\n"
          "xreturn(i={i})")


@pytest.mark.parametrize("kill_one", [False, True], ids=["all answered", "a worker killed"])
def test_requests_taken_back_for_a_free_worker_run_exactly_once(tmp_path, kill_one):
    # Uneven durations, some past their limit: requests queued behind a long
    # one are taken back for the worker that runs dry, and none runs twice
    # (or, with a worker killed half-way, none of the answered ones).
    log = tmp_path / "started"
    rng = random.Random(7)
    count = 2000
    batch = [LOGGED.format(i=i, seconds=0 if rng.random() < 0.93 else rng.uniform(0.005, 0.04))
             for i in range(count)]
    with pool_of(3) as pool:
        pool.map([[{"LOG": str(log)}]] * 3)
        victim = list(pool.procs.values())[1].proc

        def kill_half_way(done, total):
            if kill_one and done == total // 2:
                victim.kill()

        try:
            answers = vorlen.map(pool, batch, balance=True, timeout=0.02, progress=kill_half_way)
        except vorlen.WorkerDiedError as died:
            assert kill_one
            answers = died.answers
        started = collections.Counter(int(line) for line in log.read_text().split())
        assert max(started.values()) == 1
        for i, answer in enumerate(answers):
            # (A request may meet its limit before it has written its line.)
            if answer is not None and answer[0] == "SUCCESS":
                assert answer[3] == {"i": i} and started[i] == 1
            elif answer is not None:
                assert answer[2].endswith("time limit of 0.02 s exceeded\n")
        if not kill_one:
            assert None not in answers


def test_a_request_queued_behind_a_long_one_goes_to_the_free_worker():
    # Worker 0 gets requests 0 (long) and 2 first; worker 1 soon runs dry
    # and takes request 2, which would otherwise wait for request 0.
    batch = ["import time\ntime.sleep(0.5)"] + [PID_REQUEST] * 20
    with pool_of(2) as pool:
        first, second = (handle.proc.pid for handle in pool.procs.values())
        answers = vorlen.map(pool, batch, balance=True)
        assert answers[2][3]["pid"] == second
        assert {answer[3]["pid"] for answer in answers[1:]} == {second}
