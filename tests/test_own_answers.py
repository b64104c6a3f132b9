"""Every answer reaches its own request, whatever happened to the call
before: calls that end early leave nothing behind for later calls, calls
that re-enter a busy pool are refused, and batches that lose a worker say
what was lost."""
import multiprocessing as mp
import pickle
import signal
import threading
import time

import pytest

import vorlen
import vorlen.corvane as corvane
import vorlen.tamsel as tamsel
from corvane_support import pool_of, reap_workers  # noqa: F401  (fixture)
from support import DEAF, WAIT

pytestmark = pytest.mark.timeout(90)

# A request that records that it started, then runs long (interruptibly).
SLOW = "ran.append({i})\nimport time\ntime.sleep(30)\nxreturn(old={i})"
FRESH = "xreturn(new={i})"


class Stop(Exception):
    """What the caller's 'Ctrl-C' raises (a signal handler that raises)."""


def fresh(count):
    return [FRESH.format(i=i) for i in range(count)]


def assert_own(answers):
    assert [answer[3] for answer in answers] == [{"new": i} for i in range(len(answers))]


@pytest.fixture
def alarm():
    """alarm(seconds): the main thread gets Stop after that long."""
    def on_alarm(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, on_alarm)
    yield lambda seconds: signal.setitimer(signal.ITIMER_REAL, seconds)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def interrupted(alarm, call):
    def run(pool, batch):
        alarm(0.3)
        call(pool, batch)
    return run


def first(pool):
    return list(pool.procs.values())[0]


def raising_progress(pool, batch):
    def progress(done, total):
        raise Stop
    vorlen.map(pool, ["xreturn(a=1)"] * 2 + batch, progress=progress)


def unpicklable_halfway(dealing):
    def run(pool, batch):
        batch = batch[:3] + [lambda: 0] + batch[3:]
        if dealing == "pool.map":
            pool.map(batch)
        else:
            vorlen.map(pool, batch, balance=dealing == "balanced")
    return run


def completion_timed_out(pool, batch):
    for _ in vorlen.as_completed(pool.map(batch, block=False), timeout=0.3):
        pass


def completion_dropped(pool, batch):
    arrivals = vorlen.as_completed(pool.map(["xreturn(a=1)"] + batch, block=False))
    next(arrivals)
    del arrivals


def generator_batch(pool, batch):
    assert pool.map(request for request in batch) == []


def worker_dies_in_balanced_map(pool, batch):
    vorlen.map(pool, ["import os\nos._exit(3)"] + batch, balance=True)


ABORTS = {
    "vorlen.map interrupted": lambda alarm: interrupted(alarm, vorlen.map),
    "balanced vorlen.map interrupted": lambda alarm: interrupted(
        alarm, lambda pool, batch: vorlen.map(pool, batch, balance=True)),
    "pool.map interrupted": lambda alarm: interrupted(alarm, lambda pool, batch: pool.map(batch)),
    "blocked_put interrupted": lambda alarm: interrupted(
        alarm, lambda pool, batch: first(pool).blocked_put(batch[0])),
    "vorlen.run interrupted": lambda alarm: interrupted(
        alarm, lambda pool, batch: vorlen.run(first(pool), batch[0], timeout=60)),
    "as_completed times out": lambda alarm: completion_timed_out,
    "as_completed dropped": lambda alarm: completion_dropped,
    "progress raises": lambda alarm: raising_progress,
    "pickling fails in pool.map": lambda alarm: unpicklable_halfway("pool.map"),
    "pickling fails in vorlen.map": lambda alarm: unpicklable_halfway("by position"),
    "pickling fails in balanced vorlen.map": lambda alarm: unpicklable_halfway("balanced"),
    "pool.map of a generator": lambda alarm: generator_batch,
    "a worker dies in a balanced map": lambda alarm: worker_dies_in_balanced_map,
}


def next_calls(pool):
    """One call of every kind on the pool's workers, each checked for its own
    answers."""
    handle = list(pool.procs.values())[-1]
    assert_own(vorlen.map(pool, fresh(6)))
    assert_own(vorlen.map(pool, fresh(6), balance=True))
    assert_own(pool.map(fresh(6)))
    assert_own(corvane.reduce(pool.map(fresh(6), block=False)))
    assert_own([answer for _, answer in sorted(vorlen.as_completed(
        pool.map(fresh(6), block=False), timeout=WAIT))])
    assert handle.blocked_put(FRESH.format(i=0))[3] == {"new": 0}
    assert vorlen.run(handle, FRESH.format(i=0), timeout=WAIT)[3] == {"new": 0}


def started_requests(pool):
    return sorted(i for handle in pool.procs.values()
                  for i in handle.blocked_put("xreturn(ran=ran)")[3]["ran"])


CASES = [pytest.param(abort, "fork", id=name) for name, abort in ABORTS.items()] + [
    pytest.param(ABORTS[name], "spawn", id=f"{name} (spawn)")
    for name in ("vorlen.map interrupted", "as_completed dropped")]


@pytest.mark.parametrize("abort, start", CASES)
def test_an_abandoned_call_leaves_nothing_for_the_next(alarm, abort, start):
    context = mp.get_context(start)
    workers = 3
    with pool_of(0) as pool, _start_method(context):
        pool.N = workers
        pool.init_process()
        pool.map(["ran = []"] * workers)
        batch = [SLOW.format(i=i) for i in range(3 * workers)]
        try:
            abort(alarm)(pool, batch)
        except (Stop, TimeoutError, vorlen.WorkerDiedError, pickle.PicklingError,
                AttributeError, TypeError):
            pass
        alarm(0)
        for pid, handle in list(pool.procs.items()):   # a worker the abort killed goes
            if not handle.proc.is_alive():
                del pool.procs[pid]
        started = time.monotonic()
        next_calls(pool)
        # The running requests were interrupted, the others never started.
        assert time.monotonic() - started < 5
        assert len(started_requests(pool)) <= workers


class _start_method:
    """Makes vorlen.tamsel start its workers with `context` for the block."""

    def __init__(self, context):
        self.context = context

    def __enter__(self):
        self.saved = tamsel.mp
        tamsel.mp = self.context

    def __exit__(self, *exc):
        tamsel.mp = self.saved


def test_an_interrupted_reduce_gives_every_answer_in_place(alarm):
    with pool_of(2) as pool:
        batch = ["xreturn(k=0)", "xreturn(k=1)", "import time\ntime.sleep(0.6)\nxreturn(k=2)",
                 "xreturn(k=3)"]
        queues = pool.map(batch, block=False)
        alarm(0.2)
        with pytest.raises(Stop):
            corvane.reduce(queues)
        assert corvane.reduce(queues) == [["SUCCESS", "", "", {"k": k}] for k in range(4)]
        # Answers the caller reads itself are its own business: nothing is
        # dropped for not having been read by the library.
        queues = pool.map(batch, block=False)
        assert [q.get(timeout=WAIT)[3] for q in queues] == [{"k": k} for k in range(4)]
        assert_own(pool.map(fresh(4)))


REENTRANT = {
    "vorlen.map": lambda pool: vorlen.map(pool, ["x = 1"]),
    "balanced vorlen.map": lambda pool: vorlen.map(pool, ["x = 1"], balance=True),
    "pool.map": lambda pool: pool.map(["x = 1"]),
    "pool.clear_output": lambda pool: pool.clear_output(),
    "blocked_put": lambda pool: first(pool).blocked_put("x = 1"),
    "vorlen.run": lambda pool: vorlen.run(first(pool), "x = 1"),
    "reduce": lambda pool: corvane.reduce([first(pool).qo]),
}


@pytest.mark.parametrize("balance", [False, True])
@pytest.mark.parametrize("inner", REENTRANT.values(), ids=REENTRANT.keys())
def test_a_call_from_inside_a_call_on_the_same_pool_is_refused(inner, balance):
    refused = []

    def progress(done, total):
        with pytest.raises(RuntimeError, match="already in progress in this thread"):
            inner(pool)
        refused.append(done)

    with pool_of(2) as pool:
        assert_own(vorlen.map(pool, fresh(8), balance=balance, progress=progress))
        assert refused == list(range(1, 9))
        assert_own(pool.map(fresh(4)))


def test_a_call_from_a_signal_handler_during_a_call_is_refused(handle):
    refused = []

    def on_alarm(signum, frame):
        try:
            handle.blocked_put("x = 2")
        except RuntimeError as error:
            refused.append(error)

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        assert handle.blocked_put("import time\ntime.sleep(0.4)\nxreturn(x=1)")[3] == {"x": 1}
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert len(refused) == 1 and "already in progress" in str(refused[0])


@pytest.mark.parametrize("key", [1, None, ("a", "b"), 2.5])
def test_an_answer_that_cannot_be_formatted_does_not_cost_the_worker(handle, key):
    # A key that is no str breaks the formatting of a NameError's traceback
    # (its suggestions compare the namespace's keys).
    assert handle.blocked_put([{key: 2}, "x = 1"])[0] == "SUCCESS"
    answer = handle.blocked_put("undefined_name")
    assert answer[0] == "EXCEPTION"
    assert "NameError: name 'undefined_name' is not defined" in answer[2]
    assert handle.proc.is_alive()
    assert handle.blocked_put("xreturn(x=x)")[3] == {"x": 1}


def test_closed_process_objects_are_dead_workers_everywhere():
    with pool_of(3) as pool:
        dead, alive, busy = pool.procs.values()
        dead.proc.kill()
        dead.proc.join(WAIT)
        dead.proc.close()
        # interrupt skips it and reaches the others.
        threading.Timer(0.3, vorlen.interrupt, (pool,)).start()
        answer = busy.blocked_put("import time\ntime.sleep(30)")
        assert answer[2].endswith("KeyboardInterrupt: the request was interrupted\n")
        for balance in (False, True):
            with pytest.raises(vorlen.WorkerDiedError, match="process object was closed"):
                vorlen.map(pool, fresh(3), balance=balance)
        with pytest.raises(vorlen.WorkerDiedError, match="process object was closed"):
            list(vorlen.as_completed([dead.qo, alive.qo], timeout=WAIT))
        assert alive.blocked_put("xreturn(new=0)")[3] == {"new": 0}

    # A worker closed by a progress callable while a balanced batch runs.
    with pool_of(2) as pool:
        victim = list(pool.procs.values())[1]

        def close_it(done, total):
            if done == 1:
                victim.proc.kill()
                victim.proc.join(WAIT)
                victim.proc.close()

        started = time.monotonic()
        with pytest.raises(vorlen.WorkerDiedError):
            vorlen.map(pool, ["import time\ntime.sleep(0.05)"] * 40, balance=True,
                       progress=close_it)
        assert time.monotonic() - started < 10


@pytest.mark.parametrize("start", ["fork", "spawn", "forkserver"])
def test_every_worker_of_a_batch_by_position_is_watched(start):
    # Request 3 ignores its limit while worker 0 is busy with requests 0 and
    # 2: its worker is killed at its deadline plus grace, not once the
    # caller has read the answers before it.
    context = mp.get_context(start)
    with pool_of(0) as pool, _start_method(context):
        pool.N = 2
        pool.init_process()
        pool.map(["x = 0"] * 2)
        batch = ["import time\ntime.sleep(0.9)", "x = 1", "import time\ntime.sleep(0.9)", DEAF]
        started = time.monotonic()
        with pytest.raises(vorlen.WorkerDiedError, match="did not respond") as died:
            vorlen.map(pool, batch, timeout=1, grace=0.2)
        assert time.monotonic() - started < 1.7
        assert died.value.positions == [3]


def test_a_time_limit_without_end_kills_nothing(handle):
    for timeout in (float("inf"), 1e9):
        answer = vorlen.run(handle, "import time\ntime.sleep(0.3)\nxreturn(ok=1)",
                            timeout=timeout, grace=5e9)
        assert answer == ["SUCCESS", "", "", {"ok": 1}]


def test_a_blocked_signal_does_not_outlive_its_request(handle):
    assert handle.blocked_put("import signal\nsignal.pthread_sigmask(signal.SIG_BLOCK, "
                              "{signal.SIGRTMIN + 6})")[0] == "SUCCESS"
    started = time.monotonic()
    answer = vorlen.run(handle, "while True: pass", timeout=0.3, grace=2)
    assert answer[2].endswith("time limit of 0.3 s exceeded\n")
    assert time.monotonic() - started < 1.5


def test_only_its_own_interrupt_passes_xprint(handle):
    # The interrupt of this request is caught; exceptions made after it
    # (that may take its memory) are dropped by xprint as always.
    request = ("import time\ntry:\n    time.sleep(5)\nexcept KeyboardInterrupt:\n    pass\n"
               "class Bad:\n    def __str__(self): raise ValueError\n"
               "for _ in range(1000): xprint(Bad())\nxreturn(done=1)")
    assert vorlen.run(handle, request, timeout=0.2)[3] == {"done": 1}


@pytest.mark.parametrize("dealing", ["pool.map", "by position", "balanced"])
def test_a_batch_that_loses_a_worker_says_what_was_lost(dealing):
    batch = [f"import time\ntime.sleep(0.{i})\nxreturn(k={i})" for i in range(6)]
    batch[2] = "import time\ntime.sleep(0.2)\nimport os\nos._exit(3)"
    with pool_of(2) as pool:
        with pytest.raises(vorlen.WorkerDiedError) as died:
            if dealing == "pool.map":
                pool.map(batch)
            else:
                vorlen.map(pool, batch, balance=dealing == "balanced")
        error = died.value
        assert error.exitcode == 3 and 2 in error.positions
        assert len(error.answers) == len(batch) and error.answers[2] is None
        done = [i for i, answer in enumerate(error.answers) if answer is not None]
        assert 0 in done
        for i in done:
            assert error.answers[i] == ["SUCCESS", "", "", {"k": i}]
        if dealing != "balanced":
            assert error.positions == [2, 4]   # the dead worker's share


@pytest.mark.parametrize("batch", ["xreturn(a=1)", b"x = 1"])
def test_a_batch_that_is_one_text_is_refused(batch):
    with pool_of(1) as pool:
        with pytest.raises(TypeError, match="iterable of requests"):
            vorlen.map(pool, batch)
        with pytest.raises(TypeError, match="must be a bool"):
            vorlen.map(pool, ["x = 1"], balance="yes")


def test_an_answer_the_caller_cannot_unpickle_is_its_own_calls_error(handle, tmp_path, alarm):
    # A module only the worker can import: an answer holding one of its
    # objects cannot be unpickled here.
    (tmp_path / "only_in_the_worker.py").write_text("class Thing:\n    pass\n")
    handle.blocked_put(f"import sys\nsys.path.insert(0, {str(tmp_path)!r})")
    returns_a_thing = ("import time, only_in_the_worker\ntry:\n    time.sleep(0.5)\n"
                       "except KeyboardInterrupt:\n    pass\nxreturn(t=only_in_the_worker.Thing())")
    # The call it belonged to ended early: nobody gets it, no error either.
    alarm(0.2)
    with pytest.raises(Stop):
        handle.blocked_put(returns_a_thing)
    assert handle.blocked_put(FRESH.format(i=0))[3] == {"new": 0}
    # Its own call gets the error, and the worker goes on.
    with pytest.raises(ModuleNotFoundError):
        handle.blocked_put(returns_a_thing)
    assert vorlen.run(handle, FRESH.format(i=1))[3] == {"new": 1}
