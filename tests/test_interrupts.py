"""Stopping a running request without losing its worker: vorlen.interrupt,
the time limits of vorlen.run and vorlen.map, and the escalation to
WorkerDiedError for a request that ignores its interrupt."""
import multiprocessing
import os
import random
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest

import vorlen
import vorlen.tamsel as tamsel
from vorlen import _control
from corvane_support import pool_of, reap_workers  # noqa: F401  (autouse fixture)
from support import DEAF, WAIT

pytestmark = pytest.mark.timeout(60)

INTERRUPTED = "KeyboardInterrupt: the request was interrupted"
BUSY = "xprint('started')\nxreturn(partial=1)\nwhile True: pass"
# Waits in C with every signal blocked: no interrupt reaches it.
def last_line(answer):
    return answer[2].rstrip("\n").splitlines()[-1]


def interrupt_after(seconds, target):
    timer = threading.Timer(seconds, vorlen.interrupt, (target,))
    timer.start()
    return timer


def assert_stopped_with(answer, line):
    assert answer[0] == "EXCEPTION"
    assert last_line(answer) == line


# --- interrupt ------------------------------------------------------------------

def test_interrupt_stops_a_busy_loop_and_keeps_the_worker(handle):
    assert handle.blocked_put("kept = 41")[0] == "SUCCESS"
    interrupt_after(0.2, handle)
    answer = vorlen.run(handle, BUSY)
    assert_stopped_with(answer, INTERRUPTED)
    assert answer[1] == "started\n" and answer[3] == {"partial": 1}
    assert 'File "<string>", line 3, in <module>' in answer[2]
    pid = handle.proc.pid
    assert handle.blocked_put("xreturn(kept=kept + 1)") == ["SUCCESS", "", "", {"kept": 42}]
    assert handle.proc.pid == pid and handle.proc.is_alive()


def test_interrupt_ends_an_interruptible_wait(handle):
    interrupt_after(0.2, handle)
    started = time.monotonic()
    answer = vorlen.run(handle, "import time\ntime.sleep(30)")
    assert time.monotonic() - started < 10
    assert_stopped_with(answer, INTERRUPTED)
    assert 'File "<string>", line 2, in <module>' in answer[2]


def test_interrupt_in_the_middle_of_a_list_of_texts(handle):
    request = ["a = 1", {"b": 2}, "xprint('third')\nc = 3\nwhile True: pass", "d = 4"]
    interrupt_after(0.2, handle)
    answer = vorlen.run(handle, request)
    assert_stopped_with(answer, INTERRUPTED)
    assert answer[1] == "third\n"
    names = "xreturn(**{n: n in globals() for n in 'abcd'})"
    assert handle.blocked_put(names)[3] == {"a": True, "b": True, "c": False, "d": False}


def test_interrupt_landing_in_an_xprint_item_stops_the_request(handle):
    # xprint drops whatever an item's __str__ raises, but not the interrupt
    # of the request itself; a KeyboardInterrupt of the item's own still is.
    slow_item = ("class Slow:\n"
                 "    def __str__(self):\n"
                 "        while True: pass\n"
                 "class Own:\n"
                 "    def __str__(self): raise KeyboardInterrupt\n"
                 "xprint(Own(), 'a')\n"
                 "xprint(Slow(), 'b')\n")
    interrupt_after(0.2, handle)
    answer = vorlen.run(handle, slow_item, timeout=5, grace=5)
    assert_stopped_with(answer, INTERRUPTED)
    assert answer[1] == "a\n"
    assert handle.blocked_put("xreturn(alive=True)")[3] == {"alive": True}


def test_interrupting_an_idle_worker_changes_nothing(handle):
    assert handle.blocked_put("x = 1")[0] == "SUCCESS"
    for _ in range(5):
        vorlen.interrupt(handle)
    time.sleep(0.05)
    assert handle.qo.empty()
    assert handle.blocked_put("import time\ntime.sleep(0.05)\nxreturn(x=x)") == \
        ["SUCCESS", "", "", {"x": 1}]


def test_interrupt_of_a_pool_stops_every_running_request_and_no_queued_one():
    with pool_of(2) as pool:
        queues = pool.map([BUSY, BUSY, "xreturn(queued=0)", "xreturn(queued=1)"], block=False)
        time.sleep(0.3)
        vorlen.interrupt(pool)
        answers = [q.get(timeout=WAIT) for q in queues]
    assert [last_line(a) for a in answers[:2]] == [INTERRUPTED] * 2
    assert [a[3] for a in answers[2:]] == [{"queued": 0}, {"queued": 1}]


def test_interrupt_never_hits_a_later_request(handle):
    """Interrupts racing with the end of short requests: each one hits the
    request running when it is sent or nothing; the request sent after it
    always runs to its end."""
    rng = random.Random(7)
    hits = 0
    for _ in range(2000):
        spin = rng.uniform(0, 3e-4)
        handle.qi.put(f"import time\nt = time.perf_counter()\n"
                      f"while time.perf_counter() - t < {spin}: pass")
        time.sleep(rng.uniform(0, 3e-4))
        vorlen.interrupt(handle)
        handle.qi.put("xreturn(later=True)")
        first, second = handle.qo.get(timeout=WAIT), handle.qo.get(timeout=WAIT)
        hits += first[0] == "EXCEPTION"
        assert second == ["SUCCESS", "", "", {"later": True}]
    assert hits > 0


def test_a_worker_without_a_page_is_interrupted_by_a_plain_signal(make_handle, monkeypatch):
    # A worker started in a fresh interpreter cannot share the page; the
    # interrupt then stops whatever it runs when the signal arrives.
    monkeypatch.setattr(tamsel, "mp", multiprocessing.get_context("spawn"))
    handle = make_handle()
    assert handle.blocked_put("x = 1")[0] == "SUCCESS"
    interrupt_after(0.3, handle)
    assert_stopped_with(vorlen.run(handle, BUSY), INTERRUPTED)
    assert handle.blocked_put("xreturn(x=x)")[3] == {"x": 1}


class UnreferencedQueue:
    """A request queue that takes no weak references."""
    __slots__ = ()


@pytest.mark.parametrize("qi", ["simple", "unreferenced", "worker's"])
def test_a_process_that_does_not_catch_the_signal_is_left_alone(qi, make_handle):
    proc = multiprocessing.Process(target=time.sleep, args=(30,))
    proc.start()
    worker = None
    try:
        if qi == "worker's":
            # The page of a worker running a request, with `proc` not its worker.
            worker = make_handle()
            worker.qi.put("import time\ntime.sleep(0.5)\nxreturn(slept=1)")
            time.sleep(0.2)
        queue = {"simple": multiprocessing.SimpleQueue, "unreferenced": UnreferencedQueue,
                 "worker's": lambda: worker.qi}[qi]()
        vorlen.interrupt(types.SimpleNamespace(qi=queue, proc=proc))
        proc.join(0.3)
        assert proc.is_alive()
        if worker is not None:
            assert worker.qo.get(timeout=WAIT)[3] == {"slept": 1}
    finally:
        proc.kill()
        proc.join(WAIT)


# --- time limits ------------------------------------------------------------------

def test_run_with_a_time_limit(handle):
    answer = vorlen.run(handle, ["x = 1", "xprint('going')\nwhile True: pass"], timeout=0.3)
    assert_stopped_with(answer, INTERRUPTED + ": time limit of 0.3 s exceeded")
    assert answer[1] == "going\n"
    # No stale answer: the next request gets its own.
    assert vorlen.run(handle, "xreturn(x=x)", timeout=5) == ["SUCCESS", "", "", {"x": 1}]
    assert vorlen.run(handle, "xreturn(y=2)") == ["SUCCESS", "", "", {"y": 2}]


def test_a_time_limit_counts_from_when_the_worker_starts_the_request(handle):
    # Half a second of backlog ahead of it does not count against it. run
    # returns its own answer; the backlog's stays for the next reader.
    handle.qi.put("import time\ntime.sleep(0.5)")
    first = vorlen.run(handle, "import time\ntime.sleep(0.3)\nxreturn(done=1)", timeout=0.6)
    assert first == ["SUCCESS", "", "", {"done": 1}]
    assert handle.blocked_put("xreturn(next=1)") == ["SUCCESS", "", "", {}]


def test_a_time_limit_never_hits_a_later_request(handle):
    rng = random.Random(11)
    for _ in range(300):
        spin = rng.uniform(0, 2e-3)
        vorlen.run(handle, f"import time\nt = time.perf_counter()\n"
                           f"while time.perf_counter() - t < {spin}: pass", timeout=1e-3)
        assert vorlen.run(handle, "import time\ntime.sleep(0.002)\nxreturn(ok=1)") == \
            ["SUCCESS", "", "", {"ok": 1}]


def test_map_with_one_slow_request_and_a_limit():
    with pool_of(2) as pool:
        requests = [f"xreturn(i={i})" for i in range(6)]
        requests[2] = "xprint('slow')\nwhile True: pass"
        # Runs after the slow one on the same worker: its own limit starts then.
        requests[4] = "import time\ntime.sleep(0.2)\nxreturn(i=4)"
        answers = vorlen.map(pool, requests, timeout=0.4)
        assert_stopped_with(answers[2], INTERRUPTED + ": time limit of 0.4 s exceeded")
        assert answers[2][1] == "slow\n"
        assert [a[3] for i, a in enumerate(answers) if i != 2] == \
            [{"i": i} for i in (0, 1, 3, 4, 5)]
        assert vorlen.map(pool, ["xreturn(again=1)"] * 3) == [["SUCCESS", "", "", {"again": 1}]] * 3


# --- requests that ignore their interrupt ----------------------------------------------

def assert_killed_for_not_responding(error, proc):
    assert "did not respond to the interrupt" in str(error)
    assert error.pid == proc.pid
    proc.join(WAIT)
    assert not proc.is_alive() and proc.exitcode == -9


@pytest.mark.alone  # its request must block signals within its short time limit
def test_a_request_past_its_limit_and_grace_costs_its_worker(handle):
    started = time.monotonic()
    with pytest.raises(vorlen.WorkerDiedError) as died:
        vorlen.run(handle, DEAF, timeout=0.2, grace=0.3)
    assert 0.45 < time.monotonic() - started < 5
    assert_killed_for_not_responding(died.value, handle.proc)
    with pytest.raises(vorlen.WorkerDiedError):
        handle.blocked_put("x = 1")


def test_an_ignored_interrupt_escalates_after_the_grace_period(handle):
    interrupt_after(0.3, handle)
    with pytest.raises(vorlen.WorkerDiedError) as died:
        vorlen.run(handle, DEAF, grace=0.3)
    assert_killed_for_not_responding(died.value, handle.proc)


@pytest.mark.alone  # its request must block signals within its short time limit
def test_map_escalates_for_a_stuck_request():
    with pool_of(2) as pool:
        stuck = list(pool.procs.values())[1].proc
        with pytest.raises(vorlen.WorkerDiedError) as died:
            vorlen.map(pool, ["xreturn(a=1)", DEAF, "xreturn(b=2)"], timeout=0.2, grace=0.2)
        assert_killed_for_not_responding(died.value, stuck)
        assert all(h.proc.is_alive() for h in pool.procs.values() if h.proc is not stuck)


# --- arguments and other pools -------------------------------------------------------------

def test_argument_errors(handle):
    with pytest.raises(TypeError, match="'timeout' must be a number of seconds"):
        vorlen.run(handle, "x = 1", timeout="1")
    with pytest.raises(ValueError, match="'timeout' must be more than zero"):
        vorlen.run(handle, "x = 1", timeout=0)
    with pytest.raises(ValueError, match="'grace' must be zero or more"):
        vorlen.map(handle, ["x = 1"], grace=-1)
    with pytest.raises(TypeError, match="must be a Tamsel or a CorvanePool, not int"):
        vorlen.interrupt(3)
    with pytest.raises(TypeError):
        vorlen.run(handle, "x = 1", 1.0)     # timeout and grace are keywords only
    for grace in (float("nan"), -1.0):       # the module's own checks, past vorlen.run's
        with pytest.raises(ValueError, match="grace must be zero or more"):
            _control.request(handle, "x = 1", 0, grace)
    assert handle.qo.empty() and vorlen.run(handle, "xreturn(x=0)")[3] == {"x": 0}


def test_targets_of_their_own_take_the_calls():
    calls = []

    class Remote:
        def __vorlen_interrupt__(self):
            calls.append("interrupt")

        def __vorlen_run__(self, w, *, timeout, grace):
            calls.append(("run", w, timeout, grace))
            return "answer"

        def __vorlen_map__(self, args, *, timeout, grace):
            calls.append(("map", args, timeout, grace))
            return ["answer"]

    remote = Remote()
    vorlen.interrupt(remote)
    assert vorlen.run(remote, "w", timeout=1) == "answer"
    assert vorlen.map(remote, ["w"], grace=0.5) == ["answer"]
    assert calls == ["interrupt", ("run", "w", 1, 2.0), ("map", ["w"], None, 0.5)]


def test_importing_the_package_loads_no_worker_module():
    import subprocess
    import sys
    out = subprocess.run(
        [sys.executable, "-c", "import sys, vorlen\n"
         "print('vorlen.tamsel' in sys.modules, 'numpy' in sys.modules)"],
        capture_output=True, text=True, timeout=60, check=True).stdout
    assert out.split() == ["False", "False"]


@pytest.mark.parametrize("wait", ["handle.blocked_put(SLOW)", "vorlen.submit(handle, SLOW).result()"])
def test_a_signal_cuts_short_a_wait_that_is_still_looking(wait):
    # After a wait of 0.3 s, the next looks (spins) for up to 0.6 s before it
    # sleeps: a signal that comes meanwhile must end the wait then, not when
    # the looking is over or when the answer comes.
    code = f"""
        import signal, time
        import vorlen
        from vorlen.tamsel import Tamsel

        class Stop(Exception):
            pass

        def on_alarm(signum, frame):
            raise Stop

        SLOW = "time.sleep(5)"
        signal.signal(signal.SIGALRM, on_alarm)
        handle = Tamsel("looking")
        try:
            handle.blocked_put("import time\\ntime.sleep(0.3)")
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            start = time.monotonic()
            try:
                {wait}
            except Stop:
                print(time.monotonic() - start)
        finally:
            handle.kill()
    """
    env = dict(os.environ, VORLEN_SPIN_MICROSECONDS="1000000")
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=WAIT)
    assert done.returncode == 0, done.stderr[-2000:]
    assert float(done.stdout) < 0.3
