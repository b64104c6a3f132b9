"""Requests and workers that could leave a caller waiting for ever: every one
of them either gets an answer or raises in the caller."""
import os
import queue
import signal
import threading
import time
from fractions import Fraction

import pytest

import vorlen
from support import WAIT, wait_for_items

pytestmark = pytest.mark.timeout(30)


# --- answers and requests that cannot travel as they are ------------------

def test_unpicklable_returned_value_is_left_out_and_named(handle):
    status, printed, info, returned = handle.blocked_put(
        "xprint('kept'); xreturn(f=lambda: 1, g=2, h=[1, lambda: 2], i={'x': (1,)})")
    assert (status, printed) == ("EXCEPTION", "kept\n")
    assert returned == {"g": 2, "i": {"x": (1,)}}
    assert "The value returned under the key 'f' cannot be pickled" in info
    assert "The value returned under the key 'h' cannot be pickled" in info
    assert "'g'" not in info and "'i'" not in info
    assert "Can't pickle" in info
    # Values that are not plain data but pickle well are sent as they are.
    assert handle.blocked_put(
        "import fractions\nxreturn(s={1, 2}, q=fractions.Fraction(1, 3), t=(None, b'x'))"
    ) == ["SUCCESS", "", "", {"s": {1, 2}, "q": Fraction(1, 3), "t": (None, b"x")}]


def test_unpicklable_value_of_a_failed_request_keeps_its_traceback(handle):
    status, printed, info, returned = handle.blocked_put(
        "import threading\nxreturn(lock=threading.Lock(), n=1)\nraise ValueError('own')")
    assert (status, printed, returned) == ("EXCEPTION", "", {"n": 1})
    assert info.startswith("Traceback (most recent call last):\n")
    own = info.index("ValueError: own")
    assert own < info.index("The value returned under the key 'lock' cannot be pickled")


# --- requests that cannot be pickled ----------------------------------------

def refuse_to_load():
    raise ValueError("cannot load")


class LoadsBadly:
    """Pickles fine, fails when the worker unpickles it."""

    def __reduce__(self):
        return refuse_to_load, ()


def test_request_that_fails_to_load_in_the_worker_is_answered(handle):
    status, _, info, _ = handle.blocked_put(["xprint('no')", LoadsBadly()])
    assert status == "EXCEPTION"
    assert info.rstrip().endswith("ValueError: cannot load")
    assert handle.blocked_put("xprint('yes')") == ["SUCCESS", "yes\n", "", {}]


# --- workers that die ---------------------------------------------------------

def assert_died(info, handle, exitcode):
    error = info.value
    assert isinstance(error, RuntimeError)
    assert error.pid == handle.proc.pid
    assert error.exitcode == exitcode
    assert str(error) == (f"worker process {handle.proc.pid} ended before it answered: "
                          f"exit code {exitcode}")


def test_worker_failing_at_start_up_raises_worker_died(make_handle):
    handle = make_handle(5)  # not a process title: the worker ends at once
    with pytest.raises(vorlen.WorkerDiedError) as info:
        handle.blocked_put("pass")
    assert_died(info, handle, 1)


def test_answer_sent_before_death_is_still_returned(handle):
    handle.qi.put("xprint('first')")
    assert wait_for_items(handle.qo, 1)
    handle.qi.put("import os; os._exit(7)")
    handle.proc.join(WAIT)
    assert handle.blocked_put("pass") == ["SUCCESS", "first\n", "", {}]
    with pytest.raises(vorlen.WorkerDiedError) as info:
        handle.blocked_put("pass")
    assert_died(info, handle, 7)


def test_closed_process_object_gives_what_is_left_then_raises(handle):
    # close() succeeds only once the worker has ended: every way of waiting
    # for its answers reads those it left, then raises instead of waiting.
    from vorlen import corvane
    for _ in range(4):
        handle.qi.put("xprint('left')")
    assert wait_for_items(handle.qo, 4)
    handle.proc.kill()
    handle.proc.join(WAIT)
    handle.proc.close()
    left = ["SUCCESS", "left\n", "", {}]
    assert handle.blocked_put("pass") == left
    # vorlen.run takes only its own answer; the others stay for later readers.
    with pytest.raises(vorlen.WorkerDiedError, match="process object was closed"):
        vorlen.run(handle, "pass", timeout=5)
    assert corvane.reduce([handle.qo]) == [left]
    arrivals = vorlen.as_completed([handle.qo, handle.qo, handle.qo], timeout=60)
    assert next(arrivals) == (0, left)
    assert next(arrivals) == (1, left)
    for wait in (lambda: next(arrivals),
                 lambda: handle.blocked_put("pass"),
                 lambda: vorlen.run(handle, "pass"),
                 lambda: corvane.reduce([handle.qo])):
        with pytest.raises(vorlen.WorkerDiedError, match="process object was closed"):
            wait()


def test_answer_before_a_system_exit_is_not_lost(handle):
    # Requests queued back to back: the worker exits right after answering.
    handle.qi.put("xprint('first')")
    handle.qi.put("raise SystemExit(2)")
    assert handle.blocked_put("pass") == ["SUCCESS", "first\n", "", {}]
    with pytest.raises(vorlen.WorkerDiedError) as info:
        handle.blocked_put("pass")
    assert_died(info, handle, 2)


def test_substituted_output_queue_gets_a_plain_get(handle):
    handle.qo = queue.Queue()
    handle.qo.put("from elsewhere")
    assert handle.blocked_put("pass") == "from elsewhere"


class Interrupted(Exception):
    pass


def test_interrupted_wait_gives_up_its_request(handle):
    def on_signal(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGUSR1, on_signal)
    poke = threading.Timer(0.2, signal.pthread_kill,
                           (threading.main_thread().ident, signal.SIGUSR1))
    poke.start()
    try:
        with pytest.raises(Interrupted):
            handle.blocked_put("import time; time.sleep(0.6); xreturn(slow=1)")
    finally:
        poke.cancel()
        signal.signal(signal.SIGUSR1, previous)
    # The request was interrupted, its answer never reaches a later call.
    assert handle.proc.is_alive()
    started = time.monotonic()
    assert handle.blocked_put("xreturn(next=1)")[3] == {"next": 1}
    assert time.monotonic() - started < 0.4
    assert handle.qo.empty()


# --- requests and answers that break off on the way ------------------------

def _raise_empty():
    raise queue.Empty


class _EmptyOnArrival:
    """Unpickles, in the worker, by raising queue.Empty."""

    def __reduce__(self):
        return (_raise_empty, ())


def test_request_that_fails_to_unpickle_is_answered(handle):
    status, _, info, _ = handle.blocked_put(_EmptyOnArrival())
    assert status == "EXCEPTION"
    assert info.rstrip().splitlines()[-1] == "_queue.Empty"
    assert handle.blocked_put("xprint('next')")[1] == "next\n"


def test_worker_killed_while_its_large_answer_is_read(handle):
    # The answer is far larger than the pipe: the worker is still writing it
    # when it is killed, and the caller must not wait for the missing rest.
    reader = handle.qo._reader
    pid = handle.proc.pid

    def kill_once_the_answer_starts():
        if reader.poll(WAIT):
            os.kill(pid, signal.SIGKILL)

    killer = threading.Thread(target=kill_once_the_answer_starts)
    killer.start()
    try:
        answer = handle.blocked_put("xreturn(blob=b'x' * 200_000_000)")
    except vorlen.WorkerDiedError as error:
        assert error.pid == pid and error.exitcode == -signal.SIGKILL
    else:  # the whole answer made it across before the kill
        assert len(answer[3]["blob"]) == 200_000_000
    finally:
        killer.join(WAIT)


# --- the caller's interpreter exits while a daemon thread waits ------------

EXIT_WHILE_WAITING = """
import threading, time
import vorlen, vorlen.corvane as corvane
SLEEP = "import time\\ntime.sleep(5)"
pool = corvane.CorvanePool(2)
handle = list(pool.procs.values())[0]
wait = {"blocked_put": lambda: handle.blocked_put(SLEEP),
        "future": lambda: vorlen.submit(handle, SLEEP).result(),
        "vorlen.map": lambda: vorlen.map(pool, [SLEEP] * 4)}[WHICH]
threading.Thread(target=wait, daemon=True).start()
time.sleep(0.3)
"""


@pytest.mark.parametrize("which", ["blocked_put", "future", "vorlen.map"])
def test_exit_while_a_daemon_thread_waits_for_an_answer(which):
    # The thread is ended as the interpreter finalizes, inside the call or
    # inside its cleanup (the workers are gone by then): the moment varies,
    # hence the repeats.
    import subprocess
    import sys
    script = EXIT_WHILE_WAITING.replace("WHICH", repr(which))
    for _ in range(8):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True,
                              text=True, timeout=WAIT)
        assert done.returncode == 0, done.stderr[-2000:]
