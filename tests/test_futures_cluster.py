"""vorlen.submit on a ClusterPool: futures that mix with those of local
handles, and one request cancelled or interrupted among others."""
import concurrent.futures as cf
import time

import pytest

from cluster_support import WAIT, client, cluster, make_pool  # noqa: F401  (fixtures)

import vorlen


def test_as_completed_over_local_handles_and_a_cluster_pool(make_pool):
    remote = make_pool(2)
    with vorlen.worker() as local:
        futures = {vorlen.submit(local, f"xreturn(n={n})"): n for n in range(5)}
        futures.update({vorlen.submit(remote, f"xreturn(n={n})"): n for n in range(5, 15)})
        answers = {futures[f]: f.result() for f in cf.as_completed(futures, timeout=WAIT)}
    assert answers == {n: ["SUCCESS", "", "", {"n": n}] for n in range(15)}


def test_cancel_and_interrupt_one_request_on_a_cluster_pool(make_pool):
    remote = make_pool(2)
    running = [vorlen.submit(remote, "import time\ntime.sleep(30)") for _ in range(2)]
    queued = vorlen.submit(remote, "ran = True")
    deadline = time.monotonic() + WAIT
    while not all(f.running() for f in running):
        assert time.monotonic() < deadline
        time.sleep(0.01)
    # Running here means taken by a handle: its request is on its way to the
    # worker, which starts it soon after.
    time.sleep(0.5)
    assert queued.cancel() and queued.cancelled()
    vorlen.interrupt(running[0])
    answer = running[0].result(WAIT)
    assert answer[2].strip().splitlines()[-1] == "KeyboardInterrupt: the request was interrupted"
    assert not running[1].done()
    vorlen.interrupt(running[1])
    running[1].result(WAIT)
    checks = [vorlen.submit(remote, "xreturn(ran='ran' in globals())") for _ in range(2)]
    assert [f.result(WAIT)[3] for f in checks] == [{"ran": False}] * 2
    limited = vorlen.submit(remote, "import time\ntime.sleep(30)", timeout=0.3)
    assert limited.result(WAIT)[2].strip().endswith("time limit of 0.3 s exceeded")
    with pytest.raises(cf.CancelledError):
        queued.result(0)
