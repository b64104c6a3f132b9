"""ClusterPool on a LocalCluster of 2 Dask worker processes: the same
answers as a local pool, dealing and placement, pickling errors, the answer
streams of non-blocking batches, and the failures: a vorlen worker that
dies, kill_all, a Dask worker killed mid-request, a client closed with
requests in flight."""
import asyncio
import concurrent.futures
import contextlib
import importlib
import os
import pickle
import re
import select
import signal
import sys
import time

import numpy as np
import pytest

from cluster_support import (PID_REQUEST, PROMPT, TITLE_REQUEST, WAIT, all_gone,  # noqa: F401
                             client, cluster, dask_worker_pids, distributed,
                             make_pool, vorlen_keys, within, worker_pids)
from support import wait_for

import vorlen
import vorlen.corvane as corvane
from vorlen import WorkerDiedError
from vorlen.cluster import ClusterPool

# The same sequence for both pools: set-up, failures, xprint, xreturn,
# lists of texts and dicts, names dropped after a failing text.
SETUP = [[{"base": 10 * k}, "import numpy as np\nlog = []"] for k in range(2)]
SEQUENCE = [
    "xprint('hello', 1, end='!')\nxreturn(total=base + 1)",
    "log.append(base)\nxreturn(log=list(log))",
    ["a = 1", {"b": 2}, "xprint(a + b)", "xreturn(c=a + b)"],
    ["x_before = 1", "1 / 0", "never = True"],
    "xreturn(has_never='never' in globals(), has_x_before='x_before' in globals())",
    "undefined_name",
    ("t = 5", "xreturn(t=t)"),
    "half = 1\nraise ValueError('stop')",
    "xreturn(half='half' in globals())",
    "xreturn(f=lambda: 1, ok=2)",
    "xreturn(arr=np.arange(base, base + 4))",
    "import setproctitle\nxreturn(title=setproctitle.getproctitle())",
    "xreturn(kinds=[type(v).__name__ for v in (1, 'a', None)])",
]


def comparable(answers):
    """Answers with their arrays as lists, so that == compares them, and
    without the object addresses that error texts quote."""
    def plain(value):
        return value.tolist() if isinstance(value, np.ndarray) else value

    def traceback_text(text):
        # 3.13 files the command of `python -c` (how Dask starts its worker
        # processes) as the source of "<string>", and shows its lines under
        # the entries of executed text there.
        text = re.sub(r'(  File "<string>", line \d+, in [^\n]*\n)(    [^\n]*\n)+', r"\1", text)
        return re.sub("0x[0-9a-f]+", "0x?", text)
    return [[a[0], a[1], traceback_text(a[2]),
             {k: plain(v) for k, v in a[3].items()}] for a in answers]


def local_answers(blocked):
    pool = corvane.CorvanePool(2, "Same")
    try:
        pool.map(SETUP)
        batch = pool.map(SEQUENCE, block=blocked)
        return comparable(batch if blocked else corvane.reduce(batch))
    finally:
        pool.kill_all()


@pytest.mark.parametrize("blocked", [True, False])
def test_answers_equal_those_of_a_local_pool(make_pool, blocked):
    pool = make_pool(2, "Same")
    assert pool.map(SETUP) == [["SUCCESS", "", "", {}]] * 2
    batch = pool.map(SEQUENCE, block=blocked)
    remote = comparable(batch if blocked else corvane.reduce(batch))
    assert remote == local_answers(blocked)
    # Spot checks, so that the comparison is not of two equal mistakes.
    assert remote[0] == ["SUCCESS", "hello1!", "", {"total": 1}]
    assert remote[3][0] == "EXCEPTION" and "ZeroDivisionError" in remote[3][2]
    assert remote[11][3] == {"title": "Same_1"}


def test_handle_answers_as_a_tamsel_handle_does(make_pool):
    handle = next(iter(make_pool(1).procs.values()))
    assert handle.blocked_put("v = 41") == ["SUCCESS", "", "", {}]
    assert handle.blocked_put(["v += 1", "xreturn(v=v)"]) == ["SUCCESS", "", "", {"v": 42}]
    handle.clear_output()
    assert handle.blocked_put("xprint(v)") == ["SUCCESS", "42\n", "", {}]


def test_workers_are_spread_over_the_dask_workers_and_owned_by_them(make_pool, client):
    dask_pids = dask_worker_pids(client)
    addresses = sorted(dask_pids)
    pool = make_pool(4, "Spread")
    handles = list(pool.procs.values())
    assert [h.address for h in handles] == addresses * 2
    assert list(pool.procs) == [(h.address, h.pid) for h in handles]
    answers = pool.map([PID_REQUEST] * 4 + [TITLE_REQUEST] * 4)
    # Each worker is a child of the Dask worker process that hosts it.
    assert [a[3]["pid"] for a in answers[:4]] == [h.pid for h in handles]
    assert [a[3]["ppid"] for a in answers[:4]] == [dask_pids[h.address] for h in handles]
    assert [a[3]["title"] for a in answers[4:]] == [f"Spread_{i}" for i in range(4)]

    named = make_pool(3, "Placed", workers=[addresses[1]])
    assert {h.address for h in named.procs.values()} == {addresses[1]}
    # One worker, by address or by Dask worker name, given as a str.
    name = str(client.scheduler_info(n_workers=-1)["workers"][addresses[0]]["name"])
    for one in (addresses[0], name):
        alone = make_pool(2, "Alone", workers=one)
        assert [h.address for h in alone.procs.values()] == [addresses[0]] * 2
    with pytest.raises(ValueError, match="no Dask worker"):
        make_pool(1, workers=["tcp://127.0.0.1:1"])


def test_an_asynchronous_client_is_refused(cluster):
    async def attempt():
        async with distributed.Client(cluster.scheduler_address, asynchronous=True) as client:
            with pytest.raises(TypeError, match="synchronous"):
                ClusterPool(client, 1)

    asyncio.run(attempt())


def test_init_process_restarts_with_the_new_size(make_pool):
    pool = make_pool(1, "Again")
    old = worker_pids(pool)
    pool.map(["kept = 1"])
    pool.N = 2
    pool.init_process()
    assert len(pool.procs) == 2 and all_gone(old)
    assert pool.map(["xreturn(kept='kept' in globals())"] * 2)[0][3] == {"kept": False}


def test_an_unpicklable_request_raises_in_the_caller(make_pool):
    pool = make_pool(2, "Pickle")
    handle = next(iter(pool.procs.values()))
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        handle.blocked_put(lambda: 1)
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pool.map(["n = 1", "n = 2", ["m = 1", {"f": lambda: 1}]])
    # Nothing is out of step afterwards: the requests sent before it ran.
    assert pool.map(["xreturn(n=n)"] * 2) == [["SUCCESS", "", "", {"n": n}] for n in (1, 2)]


def test_large_arrays_travel_both_ways(make_pool):
    handle = next(iter(make_pool(1).procs.values()))
    data = np.arange(2_000_000, dtype=np.float64)
    answer = handle.blocked_put([{"data": data}, "xreturn(total=float(data.sum()), back=data[::-1])"])
    assert answer[3]["total"] == float(data.sum())
    np.testing.assert_array_equal(answer[3]["back"], data[::-1])


def test_streams_of_a_batch_signal_their_answers_as_they_come(make_pool):
    pool = make_pool(2, "Ready")
    streams = pool.map(["import time\ntime.sleep(1)\nxreturn(k=0)", "xreturn(k=1)",
                        "xreturn(k=2)"], block=False)
    assert streams[0] is streams[2] and streams[0] is not streams[1]
    slow, fast = streams[0].vorlen_ready_fd(), streams[1].vorlen_ready_fd()
    ready, _, _ = select.select([slow, fast], [], [], WAIT)
    assert ready == [fast]
    assert streams[1].get()[3] == {"k": 1}
    ready, _, _ = select.select([slow], [], [], WAIT)
    assert ready == [slow]
    assert streams[0].get()[3] == {"k": 0}
    # The stream stays ready while its next answer is in.
    ready, _, _ = select.select([slow], [], [], WAIT)
    assert ready == [slow] and streams[0].get()[3] == {"k": 2}


def test_import_without_distributed_says_how_to_install(monkeypatch):
    for name in [n for n in sys.modules if n == "vorlen.cluster" or n.startswith("vorlen.cluster.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r'pip install "vorlen\[cluster\]"'):
        importlib.import_module("vorlen.cluster")


# ---- failures ---------------------------------------------------------------


def test_a_dying_worker_raises_naming_host_and_worker(make_pool):
    pool = make_pool(2, "Dies")
    first, second = pool.procs.values()
    streams = pool.map(["xreturn(before=1)", "x = 1", "import os\nos._exit(3)", "x = 2"],
                       block=False)
    assert streams[0].get() == ["SUCCESS", "", "", {"before": 1}]
    with within(PROMPT), pytest.raises(WorkerDiedError) as raised:
        corvane.reduce(streams)
    error = raised.value
    assert (error.pid, error.exitcode) == (first.pid, 3)
    assert "Dies_0" in str(error) and first.hostname in str(error)
    assert first.address in str(error)
    with within(PROMPT), pytest.raises(WorkerDiedError):
        first.blocked_put("x = 1")
    assert second.blocked_put("xreturn(x=x)")[3] == {"x": 2}


def test_kill_all_leaves_no_worker_behind(make_pool):
    pool = make_pool(2, "Killed")
    pids = worker_pids(pool)
    handles = list(pool.procs.values())
    busy = pool.map(["import time\ntime.sleep(30)"] * 2, block=False)
    pool.kill_all()
    assert pool.procs == {} and all_gone(pids, PROMPT)
    with within(PROMPT), pytest.raises(WorkerDiedError, match="Killed_0"):
        busy[0].get()
    with pytest.raises(WorkerDiedError):
        handles[1].blocked_put("x = 1")
    handles[1].kill()      # a second kill does nothing
    # Dask forgets the hosts, so their Dask workers may retire.
    assert wait_for(lambda: not vorlen_keys(pool.client, "Killed"), PROMPT)


def test_a_given_up_worker_ends_while_its_handle_is_held(make_pool, monkeypatch):
    pool = make_pool(2, "GivenUp")
    handle, other = pool.procs.values()
    call = handle._channel.call

    async def broken(function, *args):
        if function == "trade":
            raise OSError("connection reset")
        return await call(function, *args)

    monkeypatch.setattr(handle._channel, "call", broken)
    with within(PROMPT), pytest.raises(WorkerDiedError, match="host on the Dask worker failed"):
        handle.blocked_put("x = 1")
    assert all_gone([handle.pid], PROMPT)
    assert wait_for(lambda: not vorlen_keys(pool.client, "GivenUp_0"), PROMPT)
    assert other.blocked_put("xreturn(y=1)")[3] == {"y": 1}
    pool.kill_all()
    assert all_gone(worker_pids(pool) + [other.pid], PROMPT)


def test_closing_the_client_leaves_no_worker_behind(make_pool, cluster):
    other = distributed.Client(cluster.scheduler_address, timeout=WAIT)
    try:
        pool = make_pool(2, "Closed", client=other)
        pids = worker_pids(pool)
        busy = pool.map(["import time\ntime.sleep(30)"] * 2, block=False)
    finally:
        other.close(timeout=WAIT)
    assert all_gone(pids, PROMPT)
    with within(PROMPT), pytest.raises(WorkerDiedError, match="the client was closed"):
        busy[0].get()


def test_a_dask_worker_killed_mid_request(make_pool, client):
    pool = make_pool(2, "Lost")
    lost, kept = pool.procs.values()
    busy = pool.map(["import time\ntime.sleep(30)", "y = 1"], block=False)
    assert busy[1].get()[0] == "SUCCESS"
    os.kill(dask_worker_pids(client)[lost.address], signal.SIGKILL)
    with within(PROMPT), pytest.raises(WorkerDiedError) as raised:
        busy[0].get()
    assert "Lost_0" in str(raised.value) and lost.address in str(raised.value)
    assert "its Dask worker was lost" in str(raised.value)
    # The kernel ended the vorlen worker with its Dask worker.
    assert all_gone([lost.pid], PROMPT)
    with within(PROMPT), pytest.raises(WorkerDiedError):
        lost.blocked_put("x = 1")
    assert kept.blocked_put("xreturn(y=y)")[3] == {"y": 1}



def test_a_dask_worker_that_leaves(make_pool, client, cluster):
    pool = make_pool(2, "Leaves")
    busy = pool.map(["import time\ntime.sleep(30)"] * 2, block=False)
    cluster.scale(1)
    try:
        deadline = time.monotonic() + WAIT
        while len(client.scheduler_info(n_workers=-1)["workers"]) > 1:
            assert time.monotonic() < deadline, "no Dask worker left the cluster"
            time.sleep(0.05)
        remaining = set(client.scheduler_info(n_workers=-1)["workers"])
        handles = list(pool.procs.values())
        [gone] = [k for k, h in enumerate(handles) if h.address not in remaining]
        with within(PROMPT), pytest.raises(WorkerDiedError, match=f"Leaves_{gone}"):
            busy[gone].get()
        assert all_gone([handles[gone].pid], PROMPT)
    finally:
        cluster.scale(2)

def test_idle_workers_of_a_lost_dask_worker_raise_and_are_skipped(make_pool, client):
    pool = make_pool(6, "Idle")
    handles = list(pool.procs.values())
    lost = handles[0].address
    os.kill(dask_worker_pids(client)[lost], signal.SIGKILL)
    assert wait_for(lambda: lost not in client.scheduler_info(n_workers=-1)["workers"], WAIT)
    with within(PROMPT), pytest.raises(WorkerDiedError, match="Idle_0.*Dask worker was lost") \
            as raised:
        vorlen.map(pool, ["xreturn(k=1)"] * 6, timeout=5)
    assert raised.value.positions == [0]
    assert [a and a[3] for a in raised.value.answers] == [None, {"k": 1}] * 3
    with within(PROMPT), pytest.raises(WorkerDiedError, match="Idle_2"):
        handles[2].blocked_put("x = 1")
    with within(PROMPT), pytest.raises(WorkerDiedError, match="Idle_4"):
        vorlen.run(handles[4], "x = 1", timeout=5)
    # The gone workers are skipped; the others are interrupted.
    kept = handles[1::2]
    with concurrent.futures.ThreadPoolExecutor(len(kept)) as threads:
        busy = [threads.submit(handle.blocked_put, SLEEP) for handle in kept]
        time.sleep(0.5)
        with within(PROMPT):
            vorlen.interrupt(pool)
        answers = [future.result(PROMPT) for future in busy]
    assert all(a[0] == "EXCEPTION" and "KeyboardInterrupt" in a[2] for a in answers)


def test_a_scheduler_that_stops():
    cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address="127.0.0.1:0")
    client = distributed.Client(cluster, timeout=WAIT)
    try:
        pool = ClusterPool(client, 1, "Stopped")
        pids = worker_pids(pool)
        busy = pool.map(["import time\ntime.sleep(30)"], block=False)
        cluster.sync(cluster.scheduler.close)
        with within(PROMPT), pytest.raises(WorkerDiedError, match="Stopped_0.*scheduler"):
            busy[0].get()
        with within(PROMPT):
            pool.kill_all()
    finally:
        client.close(timeout=WAIT)
        # The cluster cannot close its stopped scheduler: its workers first.
        for nanny in list(cluster.workers.values()):
            cluster.sync(nanny.close, timeout=WAIT)
        with contextlib.suppress(TimeoutError):
            cluster.close(timeout=1)
    assert all_gone(pids, PROMPT)


# ---- vorlen.run, vorlen.map and vorlen.interrupt on cluster workers -----------

needs_interrupts = pytest.mark.skipif(
    not hasattr(vorlen, "interrupt"), reason="vorlen.interrupt is not in this build")

SLEEP = "import time\nxprint('started')\ntime.sleep(30)"
# Code that no interrupt reaches: every signal blocked, then a wait in C.
DEAF = ("import signal, time\nsignal.pthread_sigmask(signal.SIG_BLOCK, range(1, signal.NSIG))\n"
        "time.sleep(30)")


@needs_interrupts
def test_time_limits_and_interrupts_as_locally(make_pool):
    pool = make_pool(2, "Limits")
    handle = next(iter(pool.procs.values()))
    with within(PROMPT):
        answer = vorlen.run(handle, ["kept = 1", SLEEP], timeout=0.3)
    assert answer[0] == "EXCEPTION" and answer[1] == "started\n"
    assert "KeyboardInterrupt" in answer[2]
    assert vorlen.run(handle, "xreturn(kept=kept)") == ["SUCCESS", "", "", {"kept": 1}]

    with within(PROMPT):
        answers = vorlen.map(pool, [SLEEP, "xreturn(fast=1)", "xreturn(k=2)"], timeout=0.3)
    assert [a[0] for a in answers] == ["EXCEPTION", "SUCCESS", "SUCCESS"]

    busy = pool.map([SLEEP] * 2, block=False)
    time.sleep(0.3)
    vorlen.interrupt(pool)
    with within(PROMPT):
        assert [a[0] for a in corvane.reduce(busy)] == ["EXCEPTION"] * 2


@needs_interrupts
def test_a_request_deaf_to_interrupts_costs_its_worker(make_pool):
    pool = make_pool(1, "Deaf")
    handle = next(iter(pool.procs.values()))
    with within(PROMPT), pytest.raises(WorkerDiedError, match="did not respond"):
        vorlen.run(handle, DEAF, timeout=0.3, grace=0.5)
    assert all_gone([handle.pid], PROMPT)


needs_as_completed = pytest.mark.skipif(
    not hasattr(vorlen, "as_completed"), reason="vorlen.as_completed is not in this build")


@needs_as_completed
@pytest.mark.alone  # the order of arrival rests on a one-second sleep
def test_as_completed_takes_the_answer_streams(make_pool):
    pool = make_pool(2, "Arrive")
    streams = pool.map(["import time\ntime.sleep(1)\nxreturn(k=0)", "xreturn(k=1)",
                        "xreturn(k=2)", "xreturn(k=3)"], block=False)
    with within(PROMPT):
        arrived = [(index, answer[3]["k"]) for index, answer
                   in vorlen.as_completed(streams, timeout=WAIT)]
    assert arrived == [(1, 1), (3, 3), (0, 0), (2, 2)]


@needs_as_completed
def test_vorlen_map_reports_progress_and_refuses_balance(make_pool):
    pool = make_pool(2, "Progress")
    calls = []
    answers = vorlen.map(pool, ["xreturn(k=1)", "1 / 0", "xreturn(k=3)"], timeout=5,
                         progress=lambda done, total: calls.append((done, total)))
    assert [a[0] for a in answers] == ["SUCCESS", "EXCEPTION", "SUCCESS"]
    assert calls == [(1, 3), (2, 3), (3, 3)]
    with pytest.raises(NotImplementedError, match="balance"):
        vorlen.map(pool, ["x = 1"], balance=True)
    with pytest.raises(ValueError, match="timeout"):
        vorlen.map(pool, ["x = 1"], timeout=-1)
