"""Shared memory that is never delivered broken nor held by the wrong
process, whatever happens: grouped by what happens (first use, a put() that
raises after it queued the message, a message that fails to unpickle, forks,
kills with nothing called afterwards, a pid given to another process, no
memory to map an answer, a closed process object). Each case checks, within
2 s of the event, the descriptors, mappings and shared RSS of the sender and
the reader, not only the answers.

The threshold is lowered to 4 KiB for this file, as in
test_shared_memory.py."""
import json
import os
import pickle
import shutil
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import vorlen
import vorlen._sharedmem as sharedmem
import vorlen.corvane as corvane
from shm_soak import Soak
from support import (WAIT, holds_no_segment, segment_descriptors, segment_mappings,
                     shared_rss_kib, wait_for)
from support import low_threshold  # noqa: F401  (autouse fixture)

SANITIZED = os.environ.get("VORLEN_SANITIZED") == "1"
BIG = 1 << 16     # float64 elements: 512 KiB
LARGE = 1 << 22   # 32 MiB: large enough to show in RSS
RELEASED_WITHIN = 2.0
TESTS = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture
def settled():
    """This process's shared RSS with nothing held; at the end, checks that
    this process holds no segment any more (once those kept for reuse are
    given back, with nothing called)."""
    sharedmem.sweep()
    before = shared_rss_kib()
    yield before
    assert wait_for(lambda: holds_no_segment(rss_kib=before), RELEASED_WITHIN)


def nothing_held_within(*pids, rss=None, seconds=RELEASED_WITHIN):
    """Whether within `seconds` none of `pids` holds a segment, and (given
    their shared RSS from before, by pid) none holds more shared memory than
    before."""
    rss = rss or {}
    return wait_for(lambda: all(holds_no_segment(pid, rss.get(pid)) for pid in pids), seconds)


def run_script(script, timeout=60, **env):
    """Runs `script` in a fresh interpreter (with the tests' helpers
    importable); its last line of output, read as JSON."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                          env=dict(os.environ, PYTHONPATH=TESTS, **env),
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def sum_in_worker(extra=""):
    return [f"xreturn(s=float(x.sum()))\ndel globals()['x']{extra}"]


# ---- first use ---------------------------------------------------------------

FIRST_USE = """\
    import json, os
    import multiprocessing.reduction as reduction
    import numpy as np
    import vorlen, vorlen.tamsel as tamsel
    from support import holds_no_segment, wait_for
    handle = tamsel.Tamsel()
    handle.blocked_put("import numpy as np")
    raised = []
    if {case!r} == "package attribute missing":
        # What an import interrupted between its steps leaves: the module
        # in sys.modules, not yet an attribute of the package.
        import vorlen._sharedmem
        del vorlen._sharedmem
    else:
        # The module's set-up fails once (an interrupt in the middle of it).
        forking_pickler = reduction.ForkingPickler
        del reduction.ForkingPickler
        try:
            handle.blocked_put([{{"x": np.ones(1 << 16)}}, "pass"])
        except AttributeError as error:
            raised.append(type(error).__name__)
        reduction.ForkingPickler = forking_pickler
    request = [{{"x": np.arange(1 << 16, dtype=np.float64)}},
               "xreturn(s=float(x.sum()), kind=type(x.base).__name__, a=x)\\ndel globals()['x']"]
    answer = handle.blocked_put(request)
    forked = vorlen.tamsel.Tamsel()  # forked after the first use
    again = forked.blocked_put(["import numpy as np", "xreturn(a=np.ones(1 << 16))"])
    kinds = [answer[3]["kind"], type(answer[3]["a"].base).__name__,
             type(again[3]["a"].base).__name__]
    del answer, again
    held = not wait_for(lambda: holds_no_segment() and holds_no_segment(handle.proc.pid), 2.0)
    handle.kill()
    forked.kill()
    print(json.dumps([raised, kinds, held]))
"""


@pytest.mark.parametrize("case", ["package attribute missing", "set-up fails once"])
def test_first_use_that_did_not_finish_is_not_final(case):
    raised, kinds, held = run_script(FIRST_USE.format(case=case))
    assert raised == ([] if case == "package attribute missing" else ["AttributeError"])
    assert kinds == ["SharedMemory"] * 3 and not held


# ---- a put() that raises after it queued the message -------------------------

class InterruptedNotify:
    """The queue's condition, whose notify() raises once the message is
    queued (a KeyboardInterrupt landing inside put)."""

    def __init__(self, condition):
        self.condition = condition
        self.armed = True

    def __enter__(self):
        return self.condition.__enter__()

    def __exit__(self, *exc):
        return self.condition.__exit__(*exc)

    def notify(self, n=1):
        self.condition.notify(n)
        if self.armed:
            self.armed = False
            raise KeyboardInterrupt


def raising_put(handle, how):
    real = handle.qi.put
    if how == "interrupt after queuing":
        handle.qi._notempty = InterruptedNotify(handle.qi._notempty)
        return KeyboardInterrupt

    def put(obj, *args, **kwargs):
        if how == "replaced put raises after the real one":
            real(obj, *args, **kwargs)
        raise RuntimeError("raised by put")

    handle.qi.put = put
    return RuntimeError


@pytest.mark.parametrize("how, reader", [
    ("replaced put raises after the real one", "qo.get"),
    ("interrupt after queuing", "qo.get"),
    ("interrupt after queuing", "the next call"),
    ("replaced put raises before", None)])
def test_put_that_raises_decides_nothing(make_handle, settled, how, reader):
    handle = make_handle()
    handle.qi.put("import numpy as np")  # from now on requests go through put()
    assert handle.qo.get(timeout=WAIT)[0] == "SUCCESS"
    worker_rss = shared_rss_kib(handle.proc.pid)
    sent = np.arange(LARGE, dtype=np.float64)
    error = raising_put(handle, how)
    with pytest.raises(error):
        # Its answer holds the array again: the worker's memory as well.
        handle.blocked_put([{"x": sent}, "xreturn(back=x)\ndel globals()['x']"])
    if how == "replaced put raises before":
        # Not queued: closed at once (its pages are freed by the keeper).
        assert sharedmem.outstanding() == 0
    elif reader == "qo.get":
        # Queued: delivered whole, with its memory; the call that sent it
        # ended early, so it was cancelled unless it had started already.
        answer = handle.qo.get(timeout=WAIT)
        assert ((answer[0] == "SUCCESS" and np.array_equal(answer[3]["back"], sent))
                or (answer[0] == "EXCEPTION" and "cancelled" in answer[2]))
        del answer
    else:
        # The next call gets its own answer, and the abandoned call's answer
        # is dropped, not kept for some later reader.
        assert handle.blocked_put("xreturn(n=1)")[3] == {"n": 1}
    assert nothing_held_within("self", handle.proc.pid,
                               rss={handle.proc.pid: worker_rss})


# ---- a reader with no descriptor left ----------------------------------------

NO_DESCRIPTOR = """\
    import json, os
    import numpy as np
    import vorlen.tamsel as tamsel
    from support import holds_no_segment, wait_for
    handle = tamsel.Tamsel()
    try:
        handle.blocked_put("import numpy as np, os, resource")
        # Both sides load what they need; then nothing is kept that the message
        # could reuse without a descriptor.
        handle.blocked_put([{{"x": np.ones(1 << 16)}}, "del globals()['x']"])
        handle.blocked_put("xreturn(a=np.ones(1 << 16))")
        assert wait_for(lambda: holds_no_segment() and holds_no_segment(handle.proc.pid), 3.0)
        fill = (
            "soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)\\n"
            "resource.setrlimit(resource.RLIMIT_NOFILE, (128, hard))\\n"
            "held = []\\n"
            "try:\\n"
            "    while True:\\n"
            "        held.append(os.open(os.devnull, os.O_RDONLY))\\n"
            "except OSError:\\n"
            "    pass\\n")
        if {reader!r} == "caller":
            import resource
            exec(fill)
            try:
                handle.blocked_put("xreturn(a=np.ones(1 << 16))")
                error = "no error"
            except OSError as raised:
                error = str(raised)
            for fd in held:
                os.close(fd)
            sender = handle.proc.pid
        else:
            handle.blocked_put(fill)
            answer = handle.blocked_put([{{"x": np.ones(1 << 16)}}, "del globals()['x']"])
            error = answer[2]
            handle.blocked_put("for fd in held:\\n    os.close(fd)")
            sender = "self"
        # Nothing called meanwhile: the reader marks the use released once it
        # has a descriptor again.
        released = wait_for(lambda: holds_no_segment(sender), 2.0)
        sent = np.arange(1 << 16, dtype=np.float64)
        answer = handle.blocked_put([{{"x": sent}}, "xreturn(a=x)"])
        works = bool((answer[3]["a"] == sent).all())
    finally:
        handle.kill()
    print(json.dumps([error, released, works]))
"""


@pytest.mark.parametrize("reader", ["caller", "worker"])
def test_reader_with_no_descriptor_left_releases_once_it_has_one(reader):
    error, released, works = run_script(NO_DESCRIPTOR.format(reader=reader),
                                        VORLEN_SHM_THRESHOLD="4K")
    assert "Too many open files" in error
    assert released and works


# ---- a message that fails to unpickle ----------------------------------------

UNKNOWN_MODULE = "vorlen_test_unknown_{}"


def module_only_one_side_has(tmp_path, name):
    """A module `name` in `tmp_path`, holding a class Unknown."""
    (tmp_path / f"{name}.py").write_text("class Unknown:\n    pass\n")
    return str(tmp_path)


def test_answer_that_fails_to_unpickle_releases_all_its_segments(make_handle, settled,
                                                                 tmp_path):
    handle = make_handle()
    name = UNKNOWN_MODULE.format("answer")
    path = module_only_one_side_has(tmp_path, name)
    handle.blocked_put(["import numpy as np, sys", {"path": path},
                        f"sys.path.insert(0, path)\nimport {name}"])
    worker_rss = shared_rss_kib(handle.proc.pid)
    # The array after the unknown object is never reached by unpickling.
    with pytest.raises(ModuleNotFoundError):
        handle.blocked_put(f"xreturn(a=np.ones({LARGE}), o={name}.Unknown(), "
                           f"b=np.ones({LARGE}))")
    assert nothing_held_within("self", handle.proc.pid, rss={handle.proc.pid: worker_rss})
    assert handle.blocked_put("xreturn(n=1)")[3] == {"n": 1}  # the handle goes on


def test_request_that_fails_to_unpickle_releases_all_its_segments(make_handle, settled,
                                                                  tmp_path, monkeypatch):
    handle = make_handle()
    handle.blocked_put("import numpy as np")
    worker_rss = shared_rss_kib(handle.proc.pid)
    # A class the worker (started before it existed) cannot import.
    name = UNKNOWN_MODULE.format("request")
    monkeypatch.syspath_prepend(module_only_one_side_has(tmp_path, name))
    unknown = __import__(name).Unknown()
    answer = handle.blocked_put([{"a": np.ones(LARGE), "o": unknown, "b": np.ones(LARGE)},
                                 "pass"])
    assert answer[0] == "EXCEPTION" and "ModuleNotFoundError" in answer[2]
    assert nothing_held_within("self", handle.proc.pid, rss={handle.proc.pid: worker_rss})


@pytest.mark.parametrize("how", ["written into the pipe", "wrapped for put()"])
def test_message_read_but_never_unpickled_releases_its_segments(make_handle, settled, how):
    handle = make_handle()
    handle.blocked_put("import numpy as np\nimport pickle")
    if how == "wrapped for put()":
        # An answer too large for the pipe starts the answer queue's sending
        # thread: every later answer goes through put(), wrapped.
        handle.blocked_put("xreturn(s='x' * (4 << 20))")
    worker_rss = shared_rss_kib(handle.proc.pid)
    handle.qi.put(f"xreturn(a=np.ones({LARGE}), b=bytearray({BIG}))")
    assert handle.qo._reader.poll(WAIT)
    raw = handle.qo._reader.recv_bytes()  # as a cancelled answer would be read
    handle.qo._sem.release()
    assert sharedmem._release_unread(raw) == 2
    assert nothing_held_within("self", handle.proc.pid, rss={handle.proc.pid: worker_rss})


# ---- forks --------------------------------------------------------------------

HOLDING_CHILD = """\
import os
import numpy as np
expected = np.arange({n}, dtype=np.float64)
os.write(ready, b"x")
os.read(go, 1)  # once the parent dropped its array and took another answer
os._exit(0 if np.array_equal(held, expected) else 1)
"""


def test_array_held_across_a_fork_is_given_back_and_never_rewritten(make_handle, settled):
    handle = make_handle()
    handle.blocked_put(f"import numpy as np\narr = np.arange({LARGE}, dtype=np.float64)")
    worker_rss = shared_rss_kib(handle.proc.pid)
    held = handle.blocked_put("xreturn(a=arr)")[3]["a"]
    ready_r, ready = os.pipe()
    go, go_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            exec(HOLDING_CHILD.format(n=LARGE), {"held": held, "ready": ready, "go": go})
        finally:
            os._exit(2)
    try:
        assert os.read(ready_r, 1) == b"x"
        del held
        # An answer of the same size: its memory must not be the child's.
        other = handle.blocked_put("xreturn(a=-arr)")[3]["a"]
        assert other[1] == -1.0
        del other
        os.write(go_w, b"x")
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    finally:
        for fd in (ready_r, ready, go, go_w):
            os.close(fd)
    assert nothing_held_within("self", handle.proc.pid, rss={handle.proc.pid: worker_rss})


FORKED_CHECK = """\
from support import segment_descriptors, segment_mappings
os._exit(1 if segment_descriptors() or segment_mappings() else 0)
"""


def fork_checking_children(busy, rounds):
    """Forks children while `busy` runs in another thread; each child exits
    with 0 if it holds no segment. Their exit codes."""
    done = threading.Event()
    statuses = []

    def run():
        try:
            busy()
        finally:
            done.set()

    thread = threading.Thread(target=run)
    thread.start()
    try:
        while not done.is_set() and len(statuses) < rounds:
            pid = os.fork()
            if pid == 0:
                try:
                    exec(FORKED_CHECK, {"os": os})
                finally:
                    os._exit(2)
            statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    finally:
        thread.join(WAIT)
    return statuses


@pytest.mark.skipif(SANITIZED, reason="a child forked beside other threads can deadlock in "
                                      "this libasan's allocator")
def test_child_forked_while_a_bytearray_is_copied_out_holds_nothing(make_handle, settled):
    handle = make_handle()
    size = 1 << 27  # 128 MiB: copied out with the interpreter lock released
    handle.blocked_put(f"b = bytearray({size})")

    def receive():
        for _ in range(6):
            assert len(handle.blocked_put("xreturn(b=b)")[3]["b"]) == size

    statuses = fork_checking_children(receive, 400)
    assert statuses and set(statuses) == {0}
    assert nothing_held_within("self", handle.proc.pid)


@pytest.mark.skipif(SANITIZED, reason="a child forked beside other threads can deadlock in "
                                      "this libasan's allocator")
def test_worker_forked_while_another_thread_copies_still_uses_shared_memory(make_handle,
                                                                           settled):
    sender = make_handle()
    sender.blocked_put("import numpy as np")
    sent = np.ones(1 << 24)  # 128 MiB: copied in with the interpreter lock released
    started = []

    def send():
        for _ in range(4):
            sender.blocked_put([{"x": sent}] + sum_in_worker())

    thread = threading.Thread(target=send)
    thread.start()
    try:
        while thread.is_alive() and len(started) < 6:
            started.append(make_handle())
    finally:
        thread.join(WAIT)
    for handle in started:
        answer = handle.blocked_put(["import numpy as np", "xreturn(a=np.ones(1 << 16))"])
        assert type(answer[3]["a"].base).__name__ == "SharedMemory"
        handle.kill()


# ---- kills, with nothing called afterwards -------------------------------------

def test_killed_pool_gives_everything_back_with_nothing_called(settled):
    pool = corvane.CorvanePool(3, "shm_killed")
    try:
        pool.map(["import numpy as np"])
        # Kept mappings of answers already read, answers left unread, and
        # requests waiting behind a busy one.
        assert pool.map([f"xreturn(a=np.ones({LARGE}))"] * 3)[0][0] == "SUCCESS"
        pool.map([f"xreturn(a=np.ones({LARGE}))"] * 3, block=False)
        pool.map(["import time\ntime.sleep(30)"] * 3, block=False)
        pool.map([[{"x": np.ones(LARGE)}, "pass"]] * 3, block=False)
        assert wait_for(lambda: len(segment_descriptors()) == 3)
    finally:
        pool.kill_all()
    # From here on, nothing of the library is called.
    assert nothing_held_within("self", rss={"self": settled})


# ---- a pid given to another process ------------------------------------------

PID_REUSE = """\
import ctypes, json, os, pickle, subprocess, sys, time
import numpy as np
import vorlen, vorlen._sharedmem as sharedmem, vorlen.tamsel as tamsel
from support import holds_no_segment, segment_descriptors

handle = tamsel.Tamsel()
handle.blocked_put("import numpy as np")
handle.qi.put("xreturn(a=np.ones(1 << 16))")
assert handle.qo._reader.poll(10)
answer = handle.qo._reader.recv_bytes()  # read, not unpickled yet
handle.qo._sem.release()
worker = handle.proc.pid
number = int([fd for fd in os.listdir(f"/proc/{worker}/fd")
              if "vorlen-array" in os.readlink(f"/proc/{worker}/fd/{fd}")][0])
handle.kill()
handle.proc.join(10)
# Start times are told apart to the clock tick: a pid given again comes
# later than that anywhere but here, where the next pid is chosen.
time.sleep(0.05)

# Another program gets the worker's pid, with a file of its own at the
# descriptor number of the worker's segment.
path = os.path.join(TMP_PATH, "other")
open(path, "w").close()
libc = ctypes.CDLL(None, use_errno=True)
watch = libc.inotify_init1(os.O_NONBLOCK)
with open("/proc/sys/kernel/ns_last_pid", "w") as last:
    last.write(str(worker - 1))
other = subprocess.Popen([sys.executable, "-c", f'''
import os, sys, time
fd = os.open({path!r}, os.O_RDWR)
os.dup2(fd, {number})
print("ready", flush=True)
time.sleep(30)'''], stdout=subprocess.PIPE, text=True)
assert other.stdout.readline() == "ready\\n"
libc.inotify_add_watch(watch, path.encode(), 0x20)  # IN_OPEN

outcome = {"pid_reused": other.pid == worker}
try:
    pickle.loads(answer)
except vorlen.WorkerDiedError:
    outcome["answer"] = "WorkerDiedError"
except Exception as error:
    outcome["answer"] = type(error).__name__
try:
    handle.blocked_put([{"x": np.ones(1 << 16)}, "pass"])
except vorlen.WorkerDiedError:
    outcome["request"] = "WorkerDiedError"
outcome["made"] = sharedmem.outstanding()
try:
    os.read(watch, 4096)
    outcome["opened"] = True
except BlockingIOError:
    outcome["opened"] = False
outcome["held"] = not holds_no_segment()
other.kill()
other.wait()
print(json.dumps(outcome))
"""


@pytest.mark.skipif(shutil.which("unshare") is None, reason="needs unshare")
def test_pid_of_a_reaped_worker_given_to_another_process(tmp_path):
    # In a pid namespace of its own, where the next pid can be chosen.
    script = PID_REUSE.replace("TMP_PATH", repr(str(tmp_path)))
    done = subprocess.run(["unshare", "-Urpf", "--mount-proc", sys.executable, "-c", script],
                          env=dict(os.environ, PYTHONPATH=TESTS), capture_output=True,
                          text=True, timeout=60)
    if done.returncode != 0 and "unshare" in done.stderr[:200]:
        pytest.skip(f"no pid namespace: {done.stderr.strip()}")
    assert done.returncode == 0, done.stderr
    outcome = json.loads(done.stdout.strip().splitlines()[-1])
    assert outcome["pid_reused"]
    assert outcome == {"pid_reused": True, "answer": "WorkerDiedError",
                       "request": "WorkerDiedError", "made": 0, "opened": False,
                       "held": False}


def start_time():
    with open("/proc/self/stat") as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[19])


@pytest.mark.parametrize("through_proc", [False, True], ids=["pidfd_getfd", "proc"])
def test_reference_to_another_file_of_the_sender_is_refused_unopened(tmp_path, through_proc):
    # A reference that names a regular file the sender holds (its identity
    # and size as a segment's would be): never opened, never mapped.
    import ctypes
    path = tmp_path / "other"
    path.write_bytes(b"x" * 8192)
    fd = os.open(path, os.O_RDWR)
    libc = ctypes.CDLL(None, use_errno=True)
    watch = libc.inotify_init1(os.O_NONBLOCK)
    try:
        libc.inotify_add_watch(watch, str(path).encode(), 0x20)  # IN_OPEN
        identity = os.fstat(fd)
        reference = (os.getpid(), fd, start_time(), identity.st_ino, identity.st_dev, 1,
                     4096, 4096)
        sharedmem._fetch_through_proc(through_proc)
        with pytest.raises(OSError, match="no longer there"):
            sharedmem.open_array(reference, np.dtype(np.uint8), (4096,), False, None)
        with pytest.raises(BlockingIOError):
            os.read(watch, 4096)
        assert path.read_bytes() == b"x" * 8192 and not segment_mappings()
    finally:
        sharedmem._fetch_through_proc(False)
        os.close(watch)
        os.close(fd)


# ---- no memory to map an answer ---------------------------------------------

TOO_LARGE = """\
    import json, resource
    import numpy as np
    import vorlen.tamsel as tamsel
    from support import holds_no_segment, wait_for

    handle = tamsel.Tamsel()
    handle.blocked_put("import numpy as np\\nsmall = np.ones(1 << 16)\\nbig = np.ones(1 << 25)")
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    # Room for everything but a mapping of 256 MiB.
    resource.setrlimit(resource.RLIMIT_AS, ((size << 10) + (96 << 20), resource.RLIM_INFINITY))
    outcome = {{}}
    try:
        handle.blocked_put("xreturn(small=small, big=big)")
    except MemoryError:
        outcome["error"] = "MemoryError"
    except Exception as error:
        outcome["error"] = type(error).__name__
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    outcome["next"] = bool(handle.blocked_put("xreturn(a=small)")[3]["a"].sum() == 1 << 16)
    outcome["held"] = not wait_for(
        lambda: holds_no_segment() and holds_no_segment(handle.proc.pid), {within})
    handle.kill()
    print(json.dumps(outcome))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves address space beyond any limit")
def test_answer_too_large_to_map_raises_memory_error_and_releases_all():
    outcome = run_script(TOO_LARGE.format(within=RELEASED_WITHIN))
    assert outcome == {"error": "MemoryError", "next": True, "held": False}


# ---- a worker that ended: its process object closed, or not ------------------

@pytest.mark.parametrize("sent_before", [False, True], ids=["first array", "after arrays"])
@pytest.mark.parametrize("closed", [True, False], ids=["closed", "killed just now"])
def test_large_array_to_an_ended_worker_raises_worker_died(make_handle, settled, sent_before,
                                                           closed):
    handle = make_handle()
    if sent_before:  # the sender knows the worker as a reader of its arrays then
        assert handle.blocked_put([{"x": np.ones(BIG)}, "pass"])[0] == "SUCCESS"
    handle.kill()
    if closed:
        handle.proc.join(WAIT)
        handle.proc.close()
    with pytest.raises(vorlen.WorkerDiedError):
        handle.blocked_put([{"x": np.ones(BIG)}, "pass"])
    assert wait_for(lambda: sharedmem.outstanding() == 0, RELEASED_WITHIN)


# ---- arrays copied in once their message is on its way ------------------------

@pytest.mark.parametrize("direction", ["answer", "request"])
def test_memory_reused_carries_each_message_own_data(make_handle, direction):
    # Memory being reused is filled after the message is sent, and its
    # reader waits for that: each message must read its own values, the
    # answers kept must keep theirs, and a caller may change its array as
    # soon as the call has returned.
    handle = make_handle()
    handle.blocked_put("import numpy as np\nheld = []\na = np.zeros(1 << 17)")
    kept = []
    for i in range(300):
        if direction == "answer":
            got = handle.blocked_put(f"a[:] = {i}\nxreturn(a=a)")[3]["a"]
            assert (got == i).all(), i
            kept = (kept + [(i, got)])[-4:]
        else:
            sent = np.full(1 << 17, float(i))
            answer = handle.blocked_put([{"d": sent}, f"held = (held + [d])[-4:]\n"
                                         f"xreturn(ok=bool((d == {i}).all()))"])
            sent[:] = -1
            assert answer[3]["ok"], i
    for i, got in kept:
        assert (got == i).all(), i
    if direction == "request":
        assert handle.blocked_put("xreturn(ok=all((d == d[0]).all() for d in held))")[3]["ok"]


def test_worker_killed_while_its_answers_arrive_raises_worker_died(make_handle, settled):
    # Killed at any moment, also after an answer went out and before its
    # data was in: every call is answered whole or raises WorkerDiedError.
    for delay in np.linspace(0, 0.004, 12):
        handle = make_handle()
        handle.blocked_put("import numpy as np\na = np.zeros(1 << 19)")
        pid = handle.blocked_put("import os\nxreturn(p=os.getpid())")[3]["p"]
        killer = threading.Timer(delay, os.kill, (pid, 9))
        killer.start()
        with pytest.raises(vorlen.WorkerDiedError):
            for i in range(100_000):
                assert (handle.blocked_put(f"a[:] = {i}\nxreturn(a=a)")[3]["a"] == i).all()
        killer.join()
    assert wait_for(lambda: sharedmem.outstanding() == 0, RELEASED_WITHIN)


# ---- a soak ------------------------------------------------------------------

@pytest.mark.timeout(300)
def test_soak_of_mixed_messages_forks_kills_and_failures_leaves_nothing(settled, tmp_path):
    steps = 1_000 if SANITIZED else 10_000
    soak = Soak(seed=22, directory=str(tmp_path))
    try:
        for _ in range(steps):
            soak.step()
    finally:
        soak.close()
    assert all(soak.counts[kind.__name__] for kind, _ in Soak.STEPS), soak.counts
    # The fixture checks, with nothing called, that nothing is held.
