"""Faults around workers, one case each. For every case: the caller gets its
answer or an exception within a second; the handle or pool afterwards either
still works or says clearly that it does not (vorlen.WorkerDiedError); and when
the case ends no worker process is left alive."""
import itertools
import multiprocessing as mp
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types
from contextlib import contextmanager, suppress

import pytest

import vorlen
import vorlen.corvane as corvane
import vorlen.tamsel as tamsel
from support import WAIT

# How long a caller may wait for its answer or its exception. The sanitizer
# build (scripts/sanitize.sh) runs everything a few times slower.
BOUND = 3.0 if os.environ.get("VORLEN_SANITIZED") == "1" else 1.0

pytestmark = pytest.mark.timeout(60)


# --- processes ---------------------------------------------------------------

def os_children():
    """Process ids of this process's children, as the kernel has them (exited
    but unreaped children included)."""
    pids = set()
    for task in os.listdir("/proc/self/task"):
        with suppress(FileNotFoundError), open(f"/proc/self/task/{task}/children") as f:
            pids.update(int(pid) for pid in f.read().split())
    return pids


def assert_gone(*procs):
    """The processes have ended and been reaped: no longer children of this
    process, not among multiprocessing's children, their pids unused."""
    for proc in procs:
        proc.join(WAIT)
    assert all(proc.exitcode is not None for proc in procs)
    pids = {proc.pid for proc in procs}
    assert not pids & os_children()
    assert not pids & {child.pid for child in mp.active_children()}
    for pid in pids:
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)


@pytest.fixture(autouse=True)
def no_worker_left():
    """Kills whatever worker a case left behind (a case that failed half-way)
    and fails the case if there was one."""
    before = os_children()
    yield
    left = [proc for proc in mp.active_children() if proc.pid not in before]
    for proc in left:
        proc.kill()
    for proc in left:
        proc.join(WAIT)
    assert not left, f"worker processes left alive: {[proc.pid for proc in left]}"


@pytest.fixture
def new_handle():
    made = []

    def make():
        handle = tamsel.Tamsel()
        made.append(handle)
        # A first answer: the worker is up and serving (its SIGINT handler
        # installed) before the fault is made.
        assert handle.blocked_put("x = 1") == ["SUCCESS", "", "", {}]
        return handle

    yield make
    for handle in made:
        if handle.proc.is_alive():
            handle.proc.kill()
        handle.proc.join(WAIT)


@contextmanager
def pool_of(n):
    pool = corvane.CorvanePool(n, "FaultPool")
    started = [handle.proc for handle in pool.procs.values()]
    try:
        yield pool, started
    finally:
        for proc in started + [h.proc for h in pool.__dict__.get("procs", {}).values()]:
            if proc.is_alive():
                proc.kill()
            proc.join(WAIT)


@contextmanager
def in_time(*procs):
    """Fails the case if the block takes longer than BOUND. When the time is
    up the given processes are killed, which ends any wait of a handle or a
    pool on them, so the case fails instead of hanging."""
    expired = threading.Event()

    def expire():
        expired.set()
        for proc in procs:
            with suppress(ProcessLookupError, TypeError):
                os.kill(proc.pid, signal.SIGKILL)

    timer = threading.Timer(BOUND, expire)
    timer.daemon = True
    timer.start()
    try:
        yield
    finally:
        timer.cancel()
    assert not expired.is_set(), f"the caller waited more than {BOUND} s"


def assert_died(error, proc, exitcode):
    assert isinstance(error, RuntimeError)
    assert (error.pid, error.exitcode) == (proc.pid, exitcode)


# --- executed code -------------------------------------------------------------

SEGFAULT = ("import ctypes, faulthandler, resource\n"
            "faulthandler.disable()\n"   # the plain signal, without a dump
            "resource.setrlimit(resource.RLIMIT_CORE, (0, 0))\n"   # and no core file
            "ctypes.string_at(0)")

# (request, exit code of a worker that dies) or (request, last line of the
# traceback of an answer that comes).
DYING = {
    "os._exit": ("import os; os._exit(3)", 3),
    "SystemExit": ("raise SystemExit(4)", 4),
    "segmentation fault": (SEGFAULT, -signal.SIGSEGV),
}
ANSWERED = {
    "queue.Empty": ("import queue\nqueue.Queue().get_nowait()", "_queue.Empty"),
    "KeyboardInterrupt": ("raise KeyboardInterrupt", "KeyboardInterrupt"),
    "unpicklable xreturn value": ("xreturn(f=lambda: 1, g=2)", None),
}


@pytest.mark.parametrize("request_text, exitcode", DYING.values(), ids=DYING.keys())
def test_code_that_ends_the_worker(new_handle, request_text, exitcode):
    handle = new_handle()
    with in_time(handle.proc), pytest.raises(vorlen.WorkerDiedError) as died:
        handle.blocked_put(["xprint('before')", request_text])
    assert_died(died.value, handle.proc, exitcode)
    # The handle says so at once on every later request.
    with in_time(handle.proc), pytest.raises(vorlen.WorkerDiedError):
        handle.blocked_put("x")
    assert handle.kill() is None
    assert_gone(handle.proc)


@pytest.mark.parametrize("request_text, last_line", ANSWERED.values(), ids=ANSWERED.keys())
def test_code_that_fails_gets_an_answer(new_handle, request_text, last_line):
    handle = new_handle()
    with in_time(handle.proc):
        status, printed, info, returned = handle.blocked_put(
            ["xprint('before')", request_text])
    assert (status, printed) == ("EXCEPTION", "before\n")
    if last_line is None:
        assert returned == {"g": 2}
        assert "The value returned under the key 'f' cannot be pickled" in info
    else:
        assert info.rstrip().splitlines()[-1] == last_line
    # The worker goes on, its namespace intact.
    with in_time(handle.proc):
        assert handle.blocked_put("xreturn(x=x)") == ["SUCCESS", "", "", {"x": 1}]
    handle.kill()
    assert_gone(handle.proc)


# --- signals from outside --------------------------------------------------------

def test_sigkill_while_idle(new_handle):
    handle = new_handle()
    os.kill(handle.proc.pid, signal.SIGKILL)
    with in_time(handle.proc), pytest.raises(vorlen.WorkerDiedError) as died:
        handle.blocked_put("x")
    assert_died(died.value, handle.proc, -signal.SIGKILL)
    handle.kill()
    assert_gone(handle.proc)


def test_sigkill_during_a_request(new_handle):
    handle = new_handle()
    killer = threading.Timer(0.2, os.kill, (handle.proc.pid, signal.SIGKILL))
    killer.start()
    try:
        with in_time(handle.proc), pytest.raises(vorlen.WorkerDiedError) as died:
            handle.blocked_put("import time\ntime.sleep(30)")
    finally:
        killer.cancel()
    assert_died(died.value, handle.proc, -signal.SIGKILL)
    with in_time(handle.proc), pytest.raises(vorlen.WorkerDiedError):
        handle.blocked_put("x")
    assert_gone(handle.proc)


def test_sigint_is_noted_and_the_worker_keeps_serving(new_handle):
    handle = new_handle()
    os.kill(handle.proc.pid, signal.SIGINT)                 # while idle
    interrupter = threading.Timer(0.1, os.kill, (handle.proc.pid, signal.SIGINT))
    interrupter.start()                                      # during a request
    try:
        with in_time(handle.proc):
            answer = handle.blocked_put(
                "import time\ntime.sleep(0.3)\n"
                "import vorlen.tamsel\nxreturn(x=x, stop=vorlen.tamsel.stop)")
    finally:
        interrupter.cancel()
    assert answer == ["SUCCESS", "", "", {"x": 1, "stop": True}]
    assert handle.proc.is_alive()
    handle.kill()
    assert_gone(handle.proc)


# --- requests that cannot be sent -------------------------------------------------

@pytest.mark.parametrize("feeder_running", [False, True], ids=["direct", "feeder thread"])
def test_unpicklable_request_raises_in_the_caller(new_handle, feeder_running):
    handle = new_handle()
    if feeder_running:
        # A put of the caller's own starts the queue's sending thread, after
        # which requests go through it.
        handle.qi.put("xreturn(own=1)")
        with in_time(handle.proc):
            assert handle.qo.get(timeout=BOUND)[3] == {"own": 1}
    for request, error in ((["ran = 1", {"f": lambda: 1}], (pickle.PicklingError, AttributeError)),
                           (["ran = 1", threading.Lock()], TypeError)):
        with in_time(handle.proc), pytest.raises(error):
            handle.blocked_put(request)
    with in_time(handle.proc):
        assert handle.blocked_put("xreturn(ran='ran' in globals(), x=x)") == \
            ["SUCCESS", "", "", {"ran": False, "x": 1}]
    handle.kill()
    assert_gone(handle.proc)


# --- pools -----------------------------------------------------------------------

DYING_BATCH = ["xreturn(k=0)", "import os\nos._exit(5)", "xreturn(k=2)", "xreturn(k=3)"]


@pytest.mark.parametrize("block", [True, False], ids=["blocking map", "map then reduce"])
def test_worker_dying_in_the_middle_of_a_map(block):
    with pool_of(2) as (pool, started):
        first, second = started
        with in_time(*started), pytest.raises(vorlen.WorkerDiedError) as died:
            if block:
                pool.map(DYING_BATCH)
            else:
                corvane.reduce(pool.map(DYING_BATCH, block=False))
        assert_died(died.value, second, 5)
        assert first.is_alive()
        # Every later batch that reaches the dead worker says so at once.
        with in_time(*started), pytest.raises(vorlen.WorkerDiedError):
            pool.map(["xreturn(k=0)", "xreturn(k=1)"])
        # A restart gives a working pool again.
        pool.init_process()
        restarted = [handle.proc for handle in pool.procs.values()]
        with in_time(*restarted):
            assert pool.map(["xreturn(k=0)", "xreturn(k=1)", "xreturn(k=2)"]) == \
                [["SUCCESS", "", "", {"k": k}] for k in range(3)]
        pool.kill_all()
        assert_gone(*started, *restarted)


def test_shared_pool_that_cannot_be_stored_leaves_no_worker():
    saved = corvane.CorvaneNoRep.builtin
    before = os_children() | {child.pid for child in mp.active_children()}
    try:
        corvane.CorvaneNoRep.set(None)
        with in_time(), pytest.raises(AttributeError):
            corvane.CorvaneNoRep.init_process(2)
    finally:
        corvane.CorvaneNoRep.builtin = saved
    # The workers it started were killed before the error left init_process;
    # reaping them is all that remains.
    deadline = time.monotonic() + BOUND
    while True:
        left = {child.pid for child in mp.active_children()} | os_children()
        left -= before
        if not left:
            break
        assert time.monotonic() < deadline, f"workers still alive: {sorted(left)}"
        time.sleep(0.01)


# --- the program's life cycle ------------------------------------------------------

# How long a program may take to end once it has reached its last line.
EXIT_BOUND = 2 * BOUND


def running(pid):
    """Whether `pid` is a process that has not ended (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except FileNotFoundError:
        return False


@contextmanager
def program(text):
    """Runs `text` in a new interpreter. The program prints the pids of its
    workers on one line; yields (the program, those pids). Whatever is still
    running when the block ends is killed."""
    child = subprocess.Popen([sys.executable, "-c", text], stdout=subprocess.PIPE,
                             text=True, start_new_session=True)
    pids = []
    try:
        line = child.stdout.readline()
        pids = [int(pid) for pid in line.split()]
        assert pids, "the program printed no worker pids"
        yield child, pids
    finally:
        for pid in [child.pid, *pids]:
            with suppress(ProcessLookupError):
                if running(pid):
                    os.kill(pid, signal.SIGKILL)
        child.wait(WAIT)
        child.stdout.close()


def assert_ended_in_time(pids, bound):
    deadline = time.monotonic() + bound
    while any(running(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.005)
    assert not [pid for pid in pids if running(pid)], f"still running after {bound} s"


def test_program_that_forgets_to_kill_its_workers_ends():
    script = textwrap.dedent("""
        import vorlen.corvane as corvane, vorlen.tamsel as tamsel
        handle = tamsel.Tamsel("ExitHandle")
        assert handle.blocked_put("xreturn(a=1)")[3] == {"a": 1}
        pool = corvane.CorvanePool(2, "ExitPool")
        pool.map(["x = 1", "import time\\ntime.sleep(30)"], block=False)
        # The worker is busy, so this request stays with the queue's sending
        # thread, which multiprocessing would wait for at exit.
        handle.qi.put("import time\\ntime.sleep(30)")
        handle.qi.put("#" * 4_000_000)
        print(handle.proc.pid, *pool.procs, flush=True)
        """)
    with program(script) as (child, pids):
        started = time.monotonic()
        assert child.wait(EXIT_BOUND) == 0
        assert time.monotonic() - started < EXIT_BOUND
        assert not [pid for pid in pids if running(pid)]


def test_worker_ending_with_workers_of_its_own_ends(new_handle):
    handle = new_handle()
    inner = handle.blocked_put(
        "import vorlen.tamsel\ninner = vorlen.tamsel.Tamsel()\n"
        "xreturn(pid=inner.proc.pid)")[3]["pid"]
    # Ending, the worker kills and reaps the worker it started, instead of
    # waiting for it for ever.
    with in_time(handle.proc), pytest.raises(vorlen.WorkerDiedError) as died:
        handle.blocked_put("raise SystemExit(3)")
    assert_died(died.value, handle.proc, 3)
    assert not running(inner)
    assert_gone(handle.proc)


# Executed in a worker: puts /dev/null in place of the descriptor on which
# the worker waits for its parent to end, as code that closes or reuses
# descriptors it does not own would.
TAKE_AWAY_PARENT_DESCRIPTOR = ["import os, time", """
def take_away():
    for n in os.listdir("/proc/self/fd"):
        try:
            if "pidfd" in os.readlink("/proc/self/fd/" + n):
                null = os.open("/dev/null", os.O_RDONLY)
                os.dup2(null, int(n))
                os.close(null)
                return int(n)
        except OSError:
            pass
""", """
for _ in range(100):
    if take_away():
        break
    time.sleep(0.01)
"""]


def test_workers_end_when_their_parent_is_killed():
    script = textwrap.dedent("""
        import os, signal, threading, time
        import vorlen.corvane as corvane, vorlen.tamsel as tamsel
        pool = corvane.CorvanePool(2, "OrphanPool")
        pool.map(["x = 1", "import time\\ntime.sleep(30)"], block=False)   # idle, busy
        # A worker started from a thread that has ended serves on: only the
        # death of the process ends it.
        made = []
        maker = threading.Thread(target=lambda: made.append(tamsel.Tamsel()))
        maker.start()
        maker.join()
        # A worker whose code took its watch's descriptor away serves on, and
        # still notices its parent's death. (Stopping and continuing it makes
        # the watch look at the descriptor again.)
        robbed = tamsel.Tamsel()
        robbed.blocked_put(TAKE_AWAY)
        os.kill(robbed.proc.pid, signal.SIGSTOP)
        os.kill(robbed.proc.pid, signal.SIGCONT)
        time.sleep(0.2)
        for handle in made[0], robbed:
            assert handle.blocked_put("xreturn(a=1)")[3] == {"a": 1}
        print(*pool.procs, made[0].proc.pid, robbed.proc.pid, flush=True)
        time.sleep(60)
        """).replace("TAKE_AWAY", repr(TAKE_AWAY_PARENT_DESCRIPTOR))
    with program(script) as (child, pids):
        assert all(running(pid) for pid in pids)
        child.kill()
        assert_ended_in_time(pids, BOUND)


class StartFailed(Exception):
    pass


def failing_start(monkeypatch, failing_call, after_starting=False):
    """Makes the `failing_call`-th process start from now on raise
    StartFailed, before or after the process really started."""
    real_start = mp.context.Process.start
    calls = itertools.count(1)

    def start(self):
        if next(calls) != failing_call:
            return real_start(self)
        if after_starting:
            real_start(self)
        raise StartFailed(failing_call)

    monkeypatch.setattr(mp.context.Process, "start", start)


def restart_pool_of_4(monkeypatch):
    pool = corvane.CorvanePool(2, "FaultPool")
    old = [handle.proc for handle in pool.procs.values()]
    failing_start(monkeypatch, 3)
    pool.N = 4
    try:
        pool.init_process()
    finally:
        assert pool.procs == {}
        assert_gone(*old)


def shared_pool_of_3(monkeypatch):
    holder = types.SimpleNamespace()
    saved = corvane.CorvaneNoRep.builtin
    corvane.CorvaneNoRep.set(holder)
    failing_start(monkeypatch, 2)
    try:
        corvane.CorvaneNoRep.init_process(3)
    finally:
        corvane.CorvaneNoRep.builtin = saved
        assert not hasattr(holder, "CNR")


CONSTRUCTIONS = {
    "handle whose process started": lambda mp_: (
        failing_start(mp_, 1, after_starting=True), tamsel.Tamsel()),
    "pool at its third worker": lambda mp_: (
        failing_start(mp_, 3), corvane.CorvanePool(4, "FaultPool")),
    "pool restarted": restart_pool_of_4,
    "shared pool": shared_pool_of_3,
}


@pytest.mark.parametrize("construct", CONSTRUCTIONS.values(), ids=CONSTRUCTIONS.keys())
def test_failed_construction_leaves_no_worker(monkeypatch, construct):
    before = os_children()
    with in_time(), pytest.raises(StartFailed) as failed:
        construct(monkeypatch)
    # The error of the start that failed, as it was raised.
    assert failed.value.__context__ is None
    assert not os_children() - before
    assert not {child.pid for child in mp.active_children()} - before


# --- answers broken off, waits broken off ------------------------------------------

# An answer far larger than a queue's pipe: its worker is still writing it
# while the caller reads.
LARGE_ANSWER = "xreturn(blob=b'x' * 20_000_000)"


def kill_while_answering(handle):
    """Sends a request with a large answer and kills the worker once the
    answer has begun to arrive: the answer is cut off part-way."""
    handle.qi.put(LARGE_ANSWER)
    assert handle.qo._reader.poll(WAIT)
    os.kill(handle.proc.pid, signal.SIGKILL)
    handle.proc.join(WAIT)


def test_answer_cut_off_by_a_dying_worker_is_not_waited_for(new_handle):
    handle = new_handle()
    kill_while_answering(handle)
    with in_time(handle.proc), pytest.raises(vorlen.WorkerDiedError) as died:
        handle.clear_output()
    assert_died(died.value, handle.proc, -signal.SIGKILL)
    # What was left of the answer is gone with the error.
    with in_time(handle.proc):
        assert handle.clear_output() is None
    assert_gone(handle.proc)


def test_map_after_a_worker_died_in_the_middle_of_an_answer():
    with pool_of(2) as (pool, started):
        first, second = started
        pool.map(["x = 1", "x = 2"])
        kill_while_answering(pool.procs[first.pid])
        # The clearing at the start of map meets the cut-off answer.
        with in_time(*started), pytest.raises(vorlen.WorkerDiedError) as died:
            pool.map(["xreturn(k=0)", "xreturn(k=1)"])
        assert_died(died.value, first, -signal.SIGKILL)
        with in_time(*started), pytest.raises(vorlen.WorkerDiedError):
            pool.map(["xreturn(k=0)", "xreturn(k=1)"])
        pool.kill_all()
        assert_gone(*started)


@pytest.mark.skipif(os.environ.get("VORLEN_SANITIZED") == "1",
                    reason="the sanitizers need more address space than the limit leaves")
def test_answer_too_large_for_the_callers_memory_is_dropped_whole():
    # The caller's address space is limited (in a program of its own) so
    # that the answer does not fit; the answers after it still come whole.
    script = textwrap.dedent("""
        import resource
        import vorlen.tamsel as tamsel
        handle = tamsel.Tamsel()
        handle.blocked_put("blob = b'x' * 120_000_000")
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((size + 60_000) * 1024, resource.RLIM_INFINITY))
        try:
            handle.blocked_put("xreturn(blob=blob)")
        except MemoryError:
            print("MemoryError")
        print(handle.blocked_put("xreturn(k=1)"), handle.qo.qsize())
        handle.kill()
        """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout.splitlines() == ["MemoryError", "['SUCCESS', '', '', {'k': 1}] 0"]


class Interrupted(Exception):
    pass


INTERRUPTED = object()


@pytest.fixture
def interrupt():
    """interrupt(call, moment): runs call() while another thread, once
    moment(stop) returns true, makes a signal handler raise Interrupted in
    this thread; moment waits on the event `stop`, which is set when the
    call has returned. Returns what the call returned, or INTERRUPTED."""
    def on_signal(signum, frame):
        raise Interrupted

    def checkpoint():
        # Calling a Python function runs the handlers of pending signals.
        pass

    def run(call, moment):
        stop = threading.Event()
        main = threading.main_thread().ident

        def interrupter():
            if moment(stop) and not stop.is_set():
                signal.pthread_kill(main, signal.SIGUSR1)

        thread = threading.Thread(target=interrupter)
        returned = []
        try:
            try:
                thread.start()
                returned.append(call())
            finally:
                stop.set()
                thread.join()
                checkpoint()
        except Interrupted:
            pass
        return returned[0] if returned else INTERRUPTED

    previous = signal.signal(signal.SIGUSR1, on_signal)
    yield run
    signal.signal(signal.SIGUSR1, previous)


def after(seconds):
    return lambda stop: not stop.wait(seconds)


# Executed in a worker: puts one large answer on the worker's own qo the way
# put() frames it, in two pieces: the first `cut` bytes, then (after a file
# `marker` was made and a pause) the rest. A caller reading it waits at a
# known stage of the message. The request does not let itself be
# interrupted (a caller that gives up on it interrupts it), so that the
# message it writes is whole whatever the caller does.
STAGED_ANSWER = """
import multiprocessing, os, pickle, signal, struct, time
signal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGRTMIN + 6}})
qo = multiprocessing.current_process()._args[2]
data = pickle.dumps(["SUCCESS", "", "", {{"staged": b"s" * 3_000_000}}])
frame = memoryview(struct.pack("!i", len(data)) + data)
qo._sem.acquire()
with qo._wlock:
    for piece in (frame[:{cut}], frame[{cut}:]):
        while piece:
            piece = piece[os.write(qo._writer.fileno(), piece):]
        if not os.path.exists({marker!r}):
            open({marker!r}, "w").close()
            time.sleep({pause})
"""
STAGES = {"before the first byte": 0, "in the header": 2, "after the header": 4,
          "in the middle": 1_500_000, "before the last byte": -1}
PAUSE = 0.2 * BOUND


@pytest.mark.parametrize("cut", STAGES.values(), ids=STAGES.keys())
def test_interrupt_at_any_stage_of_a_message_leaves_whole_messages(
        new_handle, interrupt, tmp_path, cut):
    handle = new_handle()
    marker = tmp_path / "first piece written"

    def while_the_second_piece_is_awaited(stop):
        while not marker.exists():
            if stop.wait(0.001):
                return False
        return not stop.wait(PAUSE / 4)

    request = STAGED_ANSWER.format(cut=cut, pause=PAUSE, marker=str(marker))
    with in_time(handle.proc):
        answer = interrupt(lambda: handle.blocked_put(request),
                           while_the_second_piece_is_awaited)
    assert answer is INTERRUPTED
    staged = ["SUCCESS", "", "", {"staged": b"s" * 3_000_000}]
    with in_time(handle.proc):
        if cut == 0:
            # Nothing of the message had come: the wait ended, and the
            # message is there to be read, whole (the request's own answer
            # belongs to the call that gave up, and is dropped).
            assert corvane.reduce([handle.qo]) == [staged]
        # Otherwise the message was read to its end before the handler ran;
        # either way what follows it is whole.
        handle.clear_output()
        assert handle.blocked_put("xreturn(k=1)") == ["SUCCESS", "", "", {"k": 1}]
    handle.kill()
    assert_gone(handle.proc)


def test_interrupts_never_tear_a_request_being_written(new_handle, interrupt):
    handle = new_handle()
    request = "xreturn(n=len(" + repr("y" * 900_000) + "))"
    started = time.monotonic()
    assert handle.blocked_put(request)[3] == {"n": 900_000}
    round_trip = time.monotonic() - started
    for step in range(12):
        with in_time(handle.proc):
            answer = interrupt(lambda: handle.blocked_put(request), after(round_trip * step / 10))
            assert answer is INTERRUPTED or answer[3] == {"n": 900_000}
            # The next answers are whole: perhaps the interrupted one, then
            # the one asked for.
            answer = handle.blocked_put(f"xreturn(k={step})")
            if answer[3] == {"n": 900_000}:
                answer = corvane.reduce([handle.qo])[0]
            assert answer == ["SUCCESS", "", "", {"k": step}]
    handle.kill()
    assert_gone(handle.proc)
