"""Batches on a ClusterPool: any size over a bounded number of connections,
what a batch that meets a dead worker tells its caller, waits interrupted
by a signal handler, calls made from inside another call, and misuse (a
str for a batch), and the pool as a context manager."""
import contextlib
import signal
import subprocess
import sys
import textwrap

import pytest

from cluster_support import (PROMPT, WAIT, all_gone, client, cluster,  # noqa: F401
                             distributed, make_pool, within, worker_pids)

import vorlen
import vorlen.corvane as corvane
from vorlen import WorkerDiedError
from vorlen.cluster import ClusterPool

# Counts the client's descriptors before and after a large batch, under the
# usual limit of 1024 descriptors.
MANY = textwrap.dedent("""
    import os, resource, sys
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, hard))
    from distributed import Client
    from vorlen.cluster import ClusterPool

    client = Client(sys.argv[1], timeout=30)
    pool = ClusterPool(client, 4, "Many")
    try:
        before = len(os.listdir("/proc/self/fd"))
        count = int(sys.argv[2])
        answers = pool.map([f"xreturn(k={k})" for k in range(count)])
        assert [a[3]["k"] for a in answers] == list(range(count)), "answers out of place"
        print(before, len(os.listdir("/proc/self/fd")))
    finally:
        pool.kill_all()
        client.close()
""")


@pytest.mark.timeout(180)
def test_a_large_batch_under_the_usual_descriptor_limit(cluster):
    done = subprocess.run([sys.executable, "-c", MANY, cluster.scheduler_address, "20000"],
                          capture_output=True, text=True, timeout=150)
    assert done.returncode == 0, done.stderr[-3000:]
    before, after = map(int, done.stdout.split())
    # One connection per worker at a time, and a few for the scheduler.
    assert after <= before + 8, (before, after)


DIES = "import os, time\ntime.sleep(1)\nos._exit(3)"


@pytest.mark.parametrize("entry", ["map", "vorlen.map"])
def test_a_batch_that_meets_a_dead_worker_tells_what_is_lost(make_pool, entry):
    pool = make_pool(2, "Batch")
    dead = next(iter(pool.procs.values()))
    batch = ["xreturn(k=0)", "xreturn(k=1)", DIES, "xreturn(k=3)", "xreturn(k=4)",
             "xreturn(k=5)"]
    reported = []
    with within(PROMPT), pytest.raises(WorkerDiedError) as raised:
        if entry == "map":
            pool.map(batch)
        else:
            vorlen.map(pool, batch, progress=lambda done, total: reported.append(done))
    error = raised.value
    assert (error.pid, error.exitcode) == (dead.pid, 3)
    assert error.positions == [2, 4]
    assert [a and a[3] for a in error.answers] == [
        {"k": 0}, {"k": 1}, None, {"k": 3}, None, {"k": 5}]
    if entry == "vorlen.map":
        assert reported == [1, 2, 3, 4]


def test_a_call_made_inside_another_is_refused_and_the_other_goes_on(make_pool):
    pool = make_pool(2, "Inner")
    refused = []

    def progress(done, total):
        for inner in (lambda: pool.map(["x = 1"]), pool.kill_all, pool.init_process,
                      lambda: vorlen.map(pool, ["x = 1"])):
            try:
                inner()
            except RuntimeError as error:
                refused.append(str(error))

    answers = vorlen.map(pool, [f"xreturn(k={k})" for k in range(4)], progress=progress)
    assert [a[3] for a in answers] == [{"k": k} for k in range(4)]
    assert len(refused) == 16 and all("in progress" in text for text in refused)
    assert len(pool.procs) == 2 and pool.map(["xreturn(k=1)"])[0][3] == {"k": 1}


def test_an_interrupted_wait_keeps_its_answer(make_pool):
    pool = make_pool(2, "Waits")
    handle = next(iter(pool.procs.values()))
    streams = pool.map(["import time\ntime.sleep(1)\nxreturn(k=0)", "xreturn(k=1)",
                        "xreturn(k=2)", "xreturn(k=3)"], block=False)

    def alarm(signum, frame):
        raise KeyboardInterrupt("alarm")

    previous = signal.signal(signal.SIGALRM, alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(KeyboardInterrupt):
            corvane.reduce(streams)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(KeyboardInterrupt):
            handle.blocked_put("import time\ntime.sleep(1)\nxreturn(abandoned=1)")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    with within(PROMPT):
        assert [a[3] for a in corvane.reduce(streams)] == [{"k": k} for k in range(4)]
        # The abandoned request's answer never reaches a later one.
        assert handle.blocked_put("xreturn(fresh=1)")[3] == {"fresh": 1}


def test_a_str_is_not_a_batch(make_pool):
    pool = make_pool(1, "Text")
    for call in (lambda: pool.map("xreturn(a=1)"), lambda: pool.map("x", block=False),
                 lambda: vorlen.map(pool, "xreturn(a=1)")):
        with pytest.raises(TypeError, match="not a str"):
            call()
    assert pool.map(["xreturn(a='a' in globals())"])[0][3] == {"a": False}


@pytest.mark.parametrize("raising", [False, True])
def test_the_pool_as_a_context_manager_kills_its_workers(client, raising):
    class Leaving(Exception):
        pass

    with pytest.raises(Leaving) if raising else contextlib.nullcontext():
        with ClusterPool(client, 2, "Scoped") as pool:
            pids = worker_pids(pool)
            assert pool.map(["xreturn(k=1)"] * 2)[1][3] == {"k": 1}
            if raising:
                raise Leaving
    assert pool.procs == {} and all_gone(pids, PROMPT)
