"""vorlen.submit and vorlen.Future: every future gets its own answer, a
request that has not started can be cancelled and never runs, one request
can be interrupted without touching the others, asyncio awaits them without
blocking its loop, a dead worker fails only its own futures, and batch calls
never take the answers of submitted requests."""
import asyncio
import concurrent.futures as cf
import multiprocessing as mp
import os
import threading
import time

import pytest

import vorlen
from corvane_support import pool_of, reap_workers  # noqa: F401  (fixture)
from support import DEAF, WAIT

SANITIZED = os.environ.get("VORLEN_SANITIZED") == "1"
SLEEP = "import time\ntime.sleep({})"
INTERRUPTED = "KeyboardInterrupt: the request was interrupted"


def last_line(answer):
    return answer[2].strip().splitlines()[-1]


@pytest.fixture
def pool():
    with pool_of(2, name_pref="Futures") as made:
        yield made


@pytest.fixture
def handles(pool):
    return list(pool.procs.values())


def started(future, timeout=WAIT):
    """Waits until the worker runs the future's request."""
    deadline = time.monotonic() + timeout
    while not future.running():
        assert time.monotonic() < deadline, "the request never started"
        time.sleep(0.005)


def test_answers_from_many_threads_match_their_requests(pool):
    per_thread, threads = 1250, 8

    def submit_some(first):
        futures = [(n, vorlen.submit(pool, f"xreturn(n={n})"))
                   for n in range(first, first + per_thread)]
        return [(n, future.result(WAIT)) for n, future in futures]

    with cf.ThreadPoolExecutor(threads) as executor:
        results = [pair for part in executor.map(submit_some, range(0, threads * per_thread,
                                                                    per_thread))
                   for pair in part]
    assert len(results) == threads * per_thread
    assert all(answer == ["SUCCESS", "", "", {"n": n}] for n, answer in results)


def test_requests_of_a_handle_run_in_order_and_a_pool_uses_every_worker(pool, handles):
    futures = [vorlen.submit(handles[0], f"log = globals().get('log', []) + [{k}]")
               for k in range(50)]
    cf.wait(futures, WAIT)
    assert vorlen.submit(handles[0], "xreturn(log=log)").result(WAIT)[3]["log"] == list(range(50))
    pids = {vorlen.submit(pool, "import os, time\ntime.sleep(0.05)\nxreturn(pid=os.getpid())")
            for _ in range(4)}
    assert {f.result(WAIT)[3]["pid"] for f in pids} == {h.proc.pid for h in handles}


@pytest.mark.parametrize("queued", [1, 5], ids=["in-the-worker's-window", "in-this-process"])
def test_cancel_before_start_never_runs(handles, queued):
    worker = handles[0]
    blocker = vorlen.submit(worker, SLEEP.format(0.3))
    others = [vorlen.submit(worker, f"mark_{k} = True") for k in range(queued)]
    started(blocker)
    target = others[-1]
    assert target.cancel() and target.cancelled() and target.done()
    assert not blocker.cancel()
    with pytest.raises(cf.CancelledError):
        target.result(WAIT)
    assert blocker.result(WAIT)[0] == "SUCCESS"
    cf.wait(others[:-1], WAIT)
    names = vorlen.submit(worker, "xreturn(names=sorted(n for n in globals() "
                                  "if n.startswith('mark_')))").result(WAIT)[3]["names"]
    assert names == [f"mark_{k}" for k in range(queued - 1)]


def test_a_cancelled_future_is_done_for_wait_and_as_completed(handles):
    blocker = vorlen.submit(handles[0], SLEEP.format(0.2))
    cancelled = vorlen.submit(handles[0], "pass")
    assert cancelled.cancel()
    done, pending = cf.wait([blocker, cancelled], WAIT)
    assert pending == set() and done == {blocker, cancelled}
    assert set(cf.as_completed([blocker, cancelled], WAIT)) == {blocker, cancelled}


def test_interrupt_hits_only_its_own_request(handles):
    running = vorlen.submit(handles[0], SLEEP.format(30))
    queued = vorlen.submit(handles[0], "xreturn(queued=True)")
    elsewhere = vorlen.submit(handles[1], SLEEP.format(0.5) + "\nxreturn(elsewhere=True)")
    started(running)
    started(elsewhere)
    vorlen.interrupt(queued)  # not running yet: nothing happens to anyone
    vorlen.interrupt(running)
    assert last_line(running.result(WAIT)) == INTERRUPTED
    assert queued.result(WAIT) == ["SUCCESS", "", "", {"queued": True}]
    assert elsewhere.result(WAIT) == ["SUCCESS", "", "", {"elsewhere": True}]


def test_a_time_limit_interrupts_only_its_request(handles):
    limited = vorlen.submit(handles[0], SLEEP.format(30), timeout=0.2)
    behind = vorlen.submit(handles[0], "xreturn(behind=1)")
    assert last_line(limited.result(WAIT)).endswith("time limit of 0.2 s exceeded")
    assert behind.result(WAIT) == ["SUCCESS", "", "", {"behind": 1}]


@pytest.mark.parametrize("stop", ["time limit", "interrupt"])
@pytest.mark.parametrize("reader", ["waiting thread", "dispatcher"])
def test_a_request_that_ignores_its_stop_costs_only_its_worker(handles, stop, reader):
    deaf = vorlen.submit(handles[0], DEAF, timeout=0.2 if stop == "time limit" else None,
                         grace=0.3)
    behind = vorlen.submit(handles[0], "pass")
    fine = vorlen.submit(handles[1], SLEEP.format(0.3) + "\nxreturn(ok=1)")
    if stop == "interrupt":
        started(deaf)
        time.sleep(0.2)  # the request has blocked the signal by now
        vorlen.interrupt(deaf)
    began = time.monotonic()
    if reader == "waiting thread":
        deaf.exception(WAIT)
    else:
        cf.wait([deaf], WAIT)
    assert time.monotonic() - began < 0.2 + 0.3 + 2.0
    assert isinstance(deaf.exception(0), vorlen.WorkerDiedError)
    assert "did not respond to the interrupt" in str(deaf.exception())
    assert isinstance(behind.exception(WAIT), vorlen.WorkerDiedError)
    assert fine.result(WAIT) == ["SUCCESS", "", "", {"ok": 1}]


def test_a_worker_holds_only_a_small_window_and_the_rest_waits_here(handles):
    worker = handles[0]
    futures = [vorlen.submit(worker, SLEEP.format(0.3))]
    futures += [vorlen.submit(worker, f"mark_{k} = True") for k in range(20)]
    started(futures[0])
    assert worker.qi.qsize() <= 2
    assert all(f.cancel() for f in futures[2:])
    cf.wait(futures, WAIT)
    assert [f.cancelled() for f in futures] == [False, False] + [True] * 19


def test_a_worker_in_another_call_is_refused(pool, handles):
    blocking = threading.Thread(target=handles[0].blocked_put, args=(SLEEP.format(0.5),))
    blocking.start()
    try:
        time.sleep(0.1)
        with pytest.raises(RuntimeError, match="another thread"):
            vorlen.submit(handles[0], "pass")
        # The pool's other worker takes the pool's requests meanwhile.
        futures = [vorlen.submit(pool, "import os\nxreturn(pid=os.getpid())") for _ in range(4)]
        assert {f.result(WAIT)[3]["pid"] for f in futures} == {handles[1].proc.pid}
    finally:
        blocking.join(WAIT)


def test_a_dead_worker_fails_only_its_own_futures(handles):
    dying = vorlen.submit(handles[0], SLEEP.format(0.1) + "\nimport os\nos._exit(3)")
    behind = [vorlen.submit(handles[0], "pass") for _ in range(5)]  # in the worker and here
    other = vorlen.submit(handles[1], SLEEP.format(0.2) + "\nxreturn(ok=1)")
    for future in (dying, *behind):
        error = future.exception(WAIT)
        assert isinstance(error, vorlen.WorkerDiedError) and error.exitcode == 3
    assert other.result(WAIT) == ["SUCCESS", "", "", {"ok": 1}]
    later = vorlen.submit(handles[0], "pass")
    assert isinstance(later.exception(WAIT), vorlen.WorkerDiedError)


def test_a_pool_goes_on_with_its_other_worker(pool, handles):
    handles[0].kill()
    handles[0].proc.join(WAIT)
    futures = [vorlen.submit(pool, "import os\nxreturn(pid=os.getpid())") for _ in range(20)]
    assert {f.result(WAIT)[3]["pid"] for f in futures} == {handles[1].proc.pid}


def test_batch_calls_refuse_a_worker_with_requests_in_flight(pool, handles):
    future = vorlen.submit(handles[0], SLEEP.format(0.3) + "\nxreturn(own=1)")
    for call in (lambda: handles[0].blocked_put("pass"), lambda: pool.map(["pass"] * 2),
                 lambda: vorlen.run(handles[0], "pass"), handles[0].clear_output):
        with pytest.raises(RuntimeError, match="vorlen.submit in flight"):
            call()
    assert future.result(WAIT) == ["SUCCESS", "", "", {"own": 1}]
    assert pool.map(["xreturn(k=1)"] * 2) == [["SUCCESS", "", "", {"k": 1}]] * 2


def test_submitted_and_handed_requests_keep_their_own_answers(pool, handles):
    queues = pool.map([f"xreturn(batch={k})" for k in range(4)], block=False)
    handles[0].qi.put("xreturn(direct=True)")
    futures = [vorlen.submit(handles[k % 2], f"xreturn(own={k})") for k in range(6)]
    assert [f.result(WAIT)[3] for f in futures] == [{"own": k} for k in range(6)]
    assert [a[3] for a in vorlen.corvane.reduce(queues)] == [{"batch": k} for k in range(4)]
    assert handles[0].blocked_put("xreturn(later=1)")[3] == {"direct": True}


@pytest.mark.parametrize("waiting", [False, True], ids=["dispatcher", "waiting-thread"])
def test_a_callback_that_waits_for_a_future_of_its_own_worker_is_refused(handles, waiting):
    seen = []
    errors = []

    def callback(future):
        seen.append(future.result())
        try:
            behind.result()
        except RuntimeError as error:
            errors.append(error)

    future = vorlen.submit(handles[0], SLEEP.format(0.05) + "\nxreturn(cb=1)")
    behind = vorlen.submit(handles[0], SLEEP.format(0.3))
    future.add_done_callback(callback)
    if waiting:
        future.result(WAIT)
    else:
        cf.wait([future], WAIT)
    assert behind.result(WAIT)[0] == "SUCCESS"
    assert seen == [["SUCCESS", "", "", {"cb": 1}]]
    assert len(errors) == 1 and "wait for itself" in str(errors[0])
    late = []
    future.add_done_callback(late.append)
    assert late == [future]


def test_result_time_out_and_bad_requests(handles):
    slow = vorlen.submit(handles[0], SLEEP.format(0.5))
    began = time.monotonic()
    with pytest.raises(TimeoutError):
        slow.result(0.05)
    assert time.monotonic() - began < 0.4
    assert slow.result(WAIT)[0] == "SUCCESS"
    with pytest.raises(Exception, match="pickle|lambda"):
        vorlen.submit(handles[0], ["x = 1", {"f": lambda: 1}])
    with pytest.raises(TypeError):
        vorlen.submit(object(), "pass")
    with pytest.raises(ValueError):
        vorlen.submit(handles[0], "pass", timeout=-1)


def test_awaited_by_many_tasks(pool):
    async def main():
        return await asyncio.gather(*(vorlen.submit(pool, f"xreturn(n={n})") for n in range(100)))

    answers = asyncio.run(asyncio.wait_for(main(), WAIT))
    assert answers == [["SUCCESS", "", "", {"n": n}] for n in range(100)]


@pytest.mark.parametrize("started_first", [False, True], ids=["queued", "running"])
def test_cancelling_the_awaiting_task_stops_the_request(handles, started_first):
    async def main():
        blocker = None if started_first else vorlen.submit(handles[0], SLEEP.format(0.3))
        future = vorlen.submit(handles[0], SLEEP.format(30) + "\nfinished = True")
        task = asyncio.ensure_future(future)
        await asyncio.sleep(0)  # the task awaits the future from here on
        if started_first:
            while not future.running():
                await asyncio.sleep(0.005)
        else:
            await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return blocker, future

    blocker, future = asyncio.run(asyncio.wait_for(main(), WAIT))
    if started_first:
        assert last_line(future.result(WAIT)) == INTERRUPTED
    else:
        assert future.cancelled()
        assert blocker.result(WAIT)[0] == "SUCCESS"
    names = vorlen.submit(handles[0], "xreturn(done='finished' in globals())").result(WAIT)
    assert names[3] == {"done": False}


def ticker_lateness(pool, count):
    """The lateness of each beat of a 10 ms ticker on an event loop that
    meanwhile submits `count` short requests (50 at a time, as a service
    receives them) and awaits their answers."""
    async def main():
        lateness = []
        stop = asyncio.Event()

        async def ticker():
            loop = asyncio.get_running_loop()
            expected = loop.time() + 0.01
            while not stop.is_set():
                await asyncio.sleep(max(0.0, expected - loop.time()))
                lateness.append(loop.time() - expected)
                expected += 0.01

        ticking = asyncio.ensure_future(ticker())
        await asyncio.sleep(0.05)
        tasks = []
        for first in range(0, count, 50):
            tasks += [asyncio.ensure_future(vorlen.submit(pool, f"{SLEEP.format(0.001)}\n"
                                                                f"xreturn(n={n})"))
                      for n in range(first, first + 50)]
            await asyncio.sleep(0)
        answers = await asyncio.gather(*tasks)
        await asyncio.sleep(0.05)
        stop.set()
        await ticking
        assert answers == [["SUCCESS", "", "", {"n": n}] for n in range(count)]
        return lateness

    return asyncio.run(asyncio.wait_for(main(), WAIT))


@pytest.mark.alone
@pytest.mark.skipif(SANITIZED, reason="measures time; the sanitizers slow everything down")
def test_the_event_loop_stays_responsive(pool):
    # Other work on the machine can hold this process off a processor for
    # tens of milliseconds now and then; a loop that this package blocks is
    # late in every attempt.
    worst = []
    for _ in range(3):
        lateness = ticker_lateness(pool, 1000)
        assert len(lateness) >= 20
        worst.append(max(lateness))
        if worst[-1] <= 0.020:
            return
    pytest.fail(f"the ticker was late by up to {[round(w * 1000) for w in worst]} ms")


def _submit_in_child(result):
    import vorlen.tamsel
    with vorlen.worker() as worker:
        result.put(vorlen.submit(worker, "xreturn(child=1)").result(WAIT))


@pytest.mark.skipif(SANITIZED, reason="a child forked beside other threads can deadlock in "
                                      "this libasan's allocator")
def test_a_forked_child_starts_afresh(handles):
    slow = vorlen.submit(handles[0], SLEEP.format(0.3))
    started(slow)
    result = mp.Queue()
    child = mp.get_context("fork").Process(target=_submit_in_child, args=(result,))
    child.start()
    try:
        assert result.get(timeout=WAIT) == ["SUCCESS", "", "", {"child": 1}]
    finally:
        child.join(WAIT)
    assert child.exitcode == 0
    assert slow.result(WAIT)[0] == "SUCCESS"


def test_waiting_from_another_thread_and_from_several(handles):
    future = vorlen.submit(handles[0], SLEEP.format(0.1) + "\nxreturn(x=1)")
    got = []
    threads = [threading.Thread(target=lambda: got.append(future.result(WAIT))) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(WAIT)
    assert got == [["SUCCESS", "", "", {"x": 1}]] * 3


def test_a_thread_that_reads_its_own_answers_leaves_the_dispatcher_asleep(handles):
    # result() reads its worker's answers itself; the dispatcher must not be
    # woken for each of them only to pass it over (the worker pays for that
    # wake-up, and a woken dispatcher went on to spin beside the reader).
    vorlen.submit(handles[0], "x = 1").result(WAIT)
    main = threading.get_native_id()
    others = [int(tid) for tid in os.listdir("/proc/self/task") if int(tid) != main]
    before = sum(map(context_switches, others))
    for _ in range(2000):
        vorlen.submit(handles[0], "x = 1").result(WAIT)
    assert sum(map(context_switches, others)) - before < 200


def context_switches(tid):
    try:
        with open(f"/proc/self/task/{tid}/status") as status:
            fields = dict(line.split(":", 1) for line in status)
    except FileNotFoundError:  # the thread has ended
        return 0
    return int(fields["voluntary_ctxt_switches"]) + int(fields["nonvoluntary_ctxt_switches"])
