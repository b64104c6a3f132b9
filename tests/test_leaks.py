"""Every function and method of both modules, on its success path and on its
error paths, called 100,000 times in one process: memory stays flat and the
reference counts of the objects involved come back to where they were.

Nothing here starts a process. Module globals are rebound to fakes for the
length of one case (vorlen.tamsel.mp, vorlen.corvane.cs, ...); the worker loop
runs in this process on scripted queues, and on real multiprocessing queues
whose pipes this process reads and writes itself, with a pipe descriptor
standing in for a worker's sentinel.

Tolerances, checked after the calls (after a warm-up that fills the
interpreter's caches and free lists):
- reference counts: exactly equal. One reference kept per call would show
  as one per call.
- sys.getallocatedblocks(): at most 1,000 more blocks. Every Python object
  of up to 512 bytes is one block of CPython's small-object allocator, so one
  such object kept per call shows as 100,000 blocks. What does not grow with
  the number of calls stays below that: caches that settle late (the worker
  loop formats tracebacks of many kinds) reach about 600 blocks once, more
  when other tests ran before in the same process, and nothing on a second
  run: a case that grows past the tolerance is measured once more, and fails
  only when it grows again.
- resident memory (VmRSS): at most 2 MiB more. It catches what the block
  count does not see: larger objects and raw C allocations. The smallest
  block glibc malloc hands out is 32 bytes, so one leaked allocation per call
  is at least 3.2 MB over 100,000 calls; the noise of the allocator's arenas
  and pages stays near 100 KiB here.

Cases whose every call also goes through a pipe make 25,000 calls, and
building handles on real queues (a pipe and three semaphores each) 2,000:
there a leaked object still shows as 25 (2) times the block tolerance, while
a raw allocation would have to be larger (84 bytes, 1 KiB) to show in VmRSS.

Under the sanitizer build (VORLEN_SANITIZED=1, scripts/sanitize.sh) every
allocation goes through the sanitizer's malloc, whose quarantine holds freed
memory on purpose: only the reference counts are checked there, over a tenth
of the calls.
"""
import gc
import os
import pickle
import queue
import struct
import sys
import threading
import types
import multiprocessing as mp
from contextlib import contextmanager

import pytest

import vorlen
import vorlen._liveness as liveness
import vorlen._sharedmem as sharedmem
import vorlen.corvane as corvane
import vorlen.tamsel as tamsel
from support import ANSWER, FakeQueue
from vorlen import _wire

SANITIZED = os.environ.get("VORLEN_SANITIZED") == "1"
CALLS = 10_000 if SANITIZED else 100_000
# Calls whose every round also reads and writes a pipe (some 20 microseconds
# of system calls): fewer, so that the file stays quick.
PIPE_CALLS = CALLS // 4
WARM_UP = 1_000
BLOCK_TOLERANCE = 1_000
RSS_TOLERANCE_KIB = 2 * 1024

pytestmark = pytest.mark.timeout(120)

MISSING = object()
PICKLED_ANSWER = pickle.dumps(ANSWER)


# --- measuring ---------------------------------------------------------------

def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS in /proc/self/status")


# Taken at import, before any case rebinds a module global.
DEFAULTS = [tamsel.Tamsel.__init__.__defaults__, corvane.CorvanePool.__init__.__defaults__,
            corvane.CorvanePool.map.__defaults__, tamsel._HandleContent.xprint.__kwdefaults__]
CLASS_ENTRIES = [value for module in (tamsel, corvane) for cls in vars(module).values()
                 if isinstance(cls, type) and cls.__module__ == module.__name__
                 for value in vars(cls).values()]


def shared_objects():
    """Objects that every case may touch: the values of both module dicts as
    they are now, the entries of the modules' classes, the default tuples and
    their contents."""
    objects = [tamsel.__dict__, corvane.__dict__, *CLASS_ENTRIES, *DEFAULTS]
    for module in (tamsel, corvane):
        objects += vars(module).values()
    for defaults in DEFAULTS:
        objects += defaults.values() if isinstance(defaults, dict) else defaults
    return objects + [vorlen.WorkerDiedError, liveness.writers]


def assert_flat(run, tracked=(), calls=CALLS):
    """Runs `run(k)` (k calls) for a warm-up and then for `calls` calls, and
    compares reference counts, allocated blocks and resident memory."""
    objects = shared_objects() + list(tracked)
    run(WARM_UP)
    for attempt in range(2):
        gc.collect()
        counts = [sys.getrefcount(obj) for obj in objects]
        blocks, rss = sys.getallocatedblocks(), rss_kib()
        run(calls)
        gc.collect()
        after = [sys.getrefcount(obj) for obj in objects]
        changed = [(obj, before, now)
                   for obj, before, now in zip(objects, counts, after) if now != before]
        assert not changed, "reference counts moved: " + "; ".join(
            f"{obj!r:.80} {before} -> {after}" for obj, before, after in changed)
        if SANITIZED:
            return
        grown_blocks = sys.getallocatedblocks() - blocks
        grown_rss = rss_kib() - rss
        if grown_blocks <= BLOCK_TOLERANCE and grown_rss <= RSS_TOLERANCE_KIB:
            return
    # Both runs grew: what a leak does. A cache that settled late (how much
    # the first run fills depends on what this process ran before) grows once.
    assert grown_blocks <= BLOCK_TOLERANCE, f"{grown_blocks} blocks more after {calls} calls, twice"
    assert grown_rss <= RSS_TOLERANCE_KIB, f"{grown_rss} KiB more after {calls} calls, twice"


def rounds(*cases):
    """run(k): k rounds, each calling every case once. A case is a callable
    that must return, or a tuple (callable, exception classes) whose call
    must raise one of them (an argument error, a NameError, ...)."""
    prepared = [(case, None) if callable(case) else (case[0], case[1:]) for case in cases]

    def run(k):
        for _ in range(k):
            for call, expected in prepared:
                if expected is None:
                    call()
                    continue
                try:
                    call()
                except expected:
                    pass
                else:
                    raise AssertionError(f"{call} did not raise {expected}")
    return run


@contextmanager
def rebound(module, **values):
    """Rebinds (or, with MISSING, removes) module globals for the block, then
    puts the namespace back as it was, in its order."""
    namespace = module.__dict__
    saved = list(namespace.items())
    try:
        for name, value in values.items():
            if value is MISSING:
                namespace.pop(name, None)
            else:
                namespace[name] = value
        yield
    finally:
        namespace.clear()
        namespace.update(saved)


def text(*parts):
    """A str made at run time: not interned, so its reference count means
    something (interned strings are immortal in 3.12)."""
    return "".join(parts)


# --- fakes -------------------------------------------------------------------

class Failure(Exception):
    pass


class Stop(BaseException):
    """Ends the worker loop from a scripted qi.get."""


class FailingQueue(FakeQueue):
    def __init__(self, fail_in):
        super().__init__([ANSWER])
        self.fail_in = fail_in

    def put(self, item):
        if "put" in self.fail_in:
            raise Failure("put")

    def get(self, *args, **kwargs):
        if "get" in self.fail_in:
            raise Failure("get")
        return ANSWER

    def empty(self):
        if "empty" in self.fail_in:
            raise Failure("empty")
        return False


class FakeProcess:
    pid = 4242

    def __init__(self, target=None, args=()):
        self.alive = True

    def start(self):
        pass

    def is_alive(self):
        return self.alive

    def kill(self):
        self.alive = False


class FailingStart(FakeProcess):
    def start(self):
        raise Failure("start")


class FakeHandle:
    """What a pool needs of a handle, without a process."""
    next_pid = 0

    def __init__(self, name=None):
        FakeHandle.next_pid += 1
        self.qi, self.qo = FakeQueue(), FakeQueue()
        self.proc = types.SimpleNamespace(pid=FakeHandle.next_pid)

    def kill(self):
        pass

    def clear_output(self):
        pass


class FailingHandle(FakeHandle):
    def __init__(self, name=None):
        raise Failure("handle")


def fake_mp(queue_class=FakeQueue, process_class=FakeProcess):
    return types.SimpleNamespace(Queue=queue_class, Process=process_class)


FAKE_CS = types.SimpleNamespace(Tamsel=FakeHandle)
FAKE_SIGNAL = types.SimpleNamespace(SIGINT=2, signal=lambda signum, handler: None)


def fake_handle(qi=None, qo=None, proc=None):
    handle = tamsel.Tamsel.__new__(tamsel.Tamsel)
    handle.qi = qi if qi is not None else FakeQueue()
    handle.qo = qo if qo is not None else FakeQueue()
    handle.proc = proc if proc is not None else FakeProcess()
    return handle


def pool_of(handles):
    pool = corvane.CorvanePool.__new__(corvane.CorvanePool)
    pool.N, pool.name_pref = len(handles), "p"
    pool.procs = {handle.proc.pid: handle for handle in handles}
    return pool


class Sentinels:
    """Pipe read ends standing in for process sentinels: `alive` never becomes
    readable, `dead` is readable at once (its write end is closed)."""

    def __init__(self):
        self.alive, self._alive_w = os.pipe()
        self.dead, dead_w = os.pipe()
        os.close(dead_w)

    def close(self):
        for fd in (self.alive, self._alive_w, self.dead):
            os.close(fd)


@pytest.fixture(scope="module")
def sentinels():
    pipes = Sentinels()
    yield pipes
    pipes.close()


def writer(sentinel, exitcode=None):
    return types.SimpleNamespace(pid=4343, sentinel=sentinel, exitcode=exitcode,
                                 join=lambda timeout=None: None)


@contextmanager
def real_queues(count=2):
    """Real multiprocessing queues, used from this process only; their
    feeder threads never start, so they are closed without waiting."""
    queues = [mp.Queue() for _ in range(count)]
    try:
        yield queues
    finally:
        for q in queues:
            liveness.writers.pop(q, None)
            assert q._thread is None, "a queue's feeder thread started"
            q.close()


def preload_answers(q, count):
    """Puts `count` answers into q's pipe as its feeder thread would."""
    for _ in range(count):
        q._sem.acquire()
        q._writer.send_bytes(PICKLED_ANSWER)


def drain(q, count):
    """Takes `count` messages out of q's pipe, as get() does, unpickled."""
    for _ in range(count):
        assert q._reader.poll(5)
        q._reader.recv_bytes()
        q._sem.release()


# --- the worker module ---------------------------------------------------------


def test_clear_queue():
    clear = tamsel.clear_queue
    q, failing_empty, failing_get = FakeQueue(), FailingQueue("empty"), FailingQueue("get")

    def drain_three():
        q.items = [ANSWER] * 3
        clear(q)

    assert_flat(rounds(
        drain_three,
        (lambda: clear(), TypeError),
        (lambda: clear(q, q), TypeError),
        (lambda: clear(q=q, x=1), TypeError),
        (lambda: clear(failing_empty), Failure),
        (lambda: clear(failing_get), Failure),
    ), [q, failing_empty, failing_get])


def test_sigint_handler():
    handler = tamsel.sigint_handler
    try:
        assert_flat(rounds(
            lambda: handler(2, None),
            lambda: handler(signum=2, frame=None),
            (lambda: handler(2), TypeError),
            (lambda: handler(2, None, frame=1), TypeError),
        ))
    finally:
        tamsel.__dict__.pop("stop", None)


class BadStr:
    def __str__(self):
        raise ValueError("no text")


class Text(str):
    pass


class SubclassStr:
    def __str__(self):
        return Text("sub")


class Meddler:
    """Replaces the text being appended to while it is turned into text."""

    def __init__(self, capture):
        self.capture = capture

    def __str__(self):
        self.capture.print_content = text("med", "dled")
        return "m"


def test_capture_methods():
    Capture = tamsel._HandleContent
    pc, broken, no_dict = Capture(), Capture(), object()
    broken.return_content = None
    item, bad, number, end = text("ab", "c"), BadStr(), 10 ** 20, text("!", "\n")

    def xprint_items():
        pc.xprint(item, number, bad, "é", end=end)
        pc.xprint()
        pc.clear()

    def xprint_bad_end():
        try:
            pc.xprint(item, end=None)
        finally:
            pc.clear()

    def xreturn_values():
        pc.xreturn(a=item, b=number)
        pc.xreturn()
        pc.clear()

    subclass_item, meddler = SubclassStr(), Meddler(pc)

    def xprint_unusual_text():
        pc.print_content = Text("start")      # not an exact str
        pc.xprint(item, subclass_item)
        pc.clear()
        pc.xprint(subclass_item, meddler, item)
        pc.clear()

    assert_flat(rounds(
        Capture, xprint_items, xreturn_values, xprint_unusual_text,
        (xprint_bad_end, TypeError),
        (lambda: Capture(1), TypeError),
        (lambda: pc.xprint(sep=""), TypeError),
        (lambda: pc.xreturn(1), TypeError),
        (lambda: pc.xreturn(self=1), TypeError),
        (lambda: pc.clear(1), TypeError),
        (lambda: Capture.__init__(no_dict), AttributeError),
        (lambda: Capture.clear(no_dict), AttributeError),
        (lambda: broken.xreturn(a=1), AttributeError),
    ), [pc, broken, no_dict, item, bad, number, end, subclass_item, meddler, Text])


# Requests and events for the worker loop on scripted queues: one of each
# kind of failure, diluted with cheap requests (a failure costs a formatted
# traceback, some 50 microseconds).
RAISE_EMPTY, RAISE_INTERRUPT = object(), object()
SCRIPT = [
    "x = 1",
    ["y = x + 1", {"z": 3}, 4, None, b"skipped"],
    "xprint('p', 1, end=''); xreturn(r=[1, 2], s={'k': (1.5, None)})",
    RAISE_EMPTY,                   # the idle time-out
    [{"a": 1}], (), [None, {"b": [2]}],
    "1/0",                         # a failure answer
    RAISE_INTERRUPT,               # an interrupt while waiting
    [], [{"c": 3}], RAISE_EMPTY,
    "raise KeyboardInterrupt",     # answered
    [{"d": 4}], (5, 6), RAISE_EMPTY,
    "import queue\nraise queue.Empty",   # answered
    [{"e": "e"}], [], RAISE_EMPTY,
    "xreturn(f=lambda: 1, g=2)",   # a returned value that cannot be sent
    [{"f": None}], (), RAISE_EMPTY,
    5,                             # not iterable: a failure answer
    [{"g": 1.5}], [],
    "syntax error(",
    [{"h": b"h"}], (),
]
REQUESTS = [item for item in SCRIPT if item not in (RAISE_EMPTY, RAISE_INTERRUPT)]


class ScriptedQueue:
    def __init__(self, cycles):
        self.cycles, self.done = cycles, 0

    def get(self, timeout=None):
        if self.done == self.cycles:
            raise Stop
        item = SCRIPT[self.done % len(SCRIPT)]
        self.done += 1
        if item is RAISE_EMPTY:
            raise queue.Empty
        if item is RAISE_INTERRUPT:
            raise KeyboardInterrupt
        return item


class CountingQueue:
    def __init__(self):
        self.answers = self.failures = 0

    def put(self, answer):
        assert type(answer) is list and len(answer) == 4
        self.answers += 1
        self.failures += answer[0] == "EXCEPTION"


def test_worker_loop_on_scripted_queues():
    qo = CountingQueue()

    def run(cycles):
        qi = ScriptedQueue(cycles)
        with pytest.raises(Stop):
            tamsel.tamsel_main(None, qi, qo)
        assert qi.done == cycles

    with rebound(tamsel, signal=FAKE_SIGNAL):
        assert_flat(run, [qo])
    rounds_run = (WARM_UP + CALLS) // len(SCRIPT)
    assert qo.answers >= rounds_run * len(REQUESTS)
    assert qo.failures >= rounds_run * 6


def test_worker_loop_on_real_queues_through_their_pipes(sentinels):
    """Requests written into qi's pipe by the pool's sending pass, read by the
    loop from the pipe, answers written into qo's pipe and read back by
    reduce: the direct paths on both sides."""
    with real_queues() as (qi, qo), rebound(tamsel, signal=FAKE_SIGNAL):
        handle = FakeHandle()
        handle.qi, handle.qo = qi, qo
        liveness.writers[qo] = writer(sentinels.alive)
        pool = pool_of([handle])

        def run(cycles):
            while cycles > 0:
                batch = [REQUESTS[i % len(REQUESTS)] for i in range(min(cycles, 1000))]
                queues = pool.map(batch + ["raise SystemExit(3)"], block=False)
                with pytest.raises(SystemExit):
                    tamsel.tamsel_main(None, qi, qo)
                assert len(corvane.reduce(queues[:-1])) == len(batch)
                cycles -= len(batch)

        assert_flat(run, [qi, qo, handle, pool], calls=PIPE_CALLS)


class IdleQueue:
    def get(self, timeout=None):
        raise queue.Empty


class FailingGet:
    def get(self, timeout=None):
        raise Failure("get")


def test_worker_loop_start_up_and_loop_errors():
    main = tamsel.tamsel_main
    qo, idle, failing = CountingQueue(), IdleQueue(), FailingGet()
    name = text("wor", "ker")
    tracked = [qo, idle, failing, name]
    assert_flat(rounds(
        (lambda: main(None, idle), TypeError),
        (lambda: main(None, idle, qo, qi=idle), TypeError),
        (lambda: main(name, qi=idle, q0=qo), TypeError),
    ), tracked)
    with rebound(tamsel, signal=FAKE_SIGNAL):
        with rebound(tamsel, setproctitle=MISSING, _HandleContent=MISSING):
            assert_flat(rounds(
                (lambda: main(name, idle, qo), NameError),      # setproctitle
                (lambda: main(None, idle, qo), NameError),      # _HandleContent
            ), tracked)
        with rebound(tamsel, queue=MISSING, traceback=MISSING):
            assert_flat(rounds(
                (lambda: main(None, idle, qo), NameError),      # queue, at the time-out
                (lambda: main(None, failing, qo), NameError),   # traceback, to answer
            ), tracked)
    with rebound(tamsel, signal=MISSING):
        assert_flat(rounds((lambda: main(None, idle, qo), NameError)), tracked)
    assert qo.answers == 0


def failing_queue():
    raise Failure("queue")


def test_handle_construction():
    Tamsel = tamsel.Tamsel
    name, blank = text("na", "me"), Tamsel.__new__(Tamsel)
    tracked = [name, blank]
    with rebound(tamsel, mp=fake_mp()):
        assert_flat(rounds(
            lambda: Tamsel(name),
            lambda: Tamsel(),
            (lambda: Tamsel(name, 2), TypeError),
            (lambda: Tamsel(nam=name), TypeError),
            (lambda: Tamsel.__init__(), TypeError),
            (lambda: Tamsel.__init__(blank, name, name=name), TypeError),
        ), tracked)
    with rebound(tamsel, mp=fake_mp(process_class=FailingStart)):
        assert_flat(rounds((lambda: Tamsel(name), Failure)), tracked)
    with rebound(tamsel, mp=fake_mp(queue_class=failing_queue)):
        assert_flat(rounds((lambda: Tamsel(name), Failure)), tracked)
    with rebound(tamsel, mp=MISSING):
        assert_flat(rounds((lambda: Tamsel(name), NameError)), tracked)
    with rebound(tamsel, mp=fake_mp(), tamsel_main=MISSING):
        assert_flat(rounds((lambda: Tamsel(name), NameError)), tracked)


class RecordingProcess(mp.process.BaseProcess):
    """A real process class (so the handle registers it as the writer of its
    answer queue) whose start does nothing."""

    def start(self):
        # As a real start does once the child runs: the process object
        # keeps no reference to its target and arguments.
        del self._target, self._args, self._kwargs


def test_handle_construction_with_real_queues():
    # Real queues cost a pipe and three semaphores each: fewer calls.
    def run(k):
        for _ in range(k):
            handle = tamsel.Tamsel()
            assert liveness.writers.get(handle.qo) is handle.proc
            handle.qi.close()
            handle.qo.close()

    registered = len(liveness.writers)
    with rebound(tamsel, mp=fake_mp(queue_class=mp.Queue, process_class=RecordingProcess)):
        assert_flat(run, calls=2_000)
    assert len(liveness.writers) == registered


def test_blocked_put_on_fake_queues():
    request = [text("x ", "= 1"), {text("k"): 10 ** 20}]
    handle, no_queues = fake_handle(), tamsel.Tamsel.__new__(tamsel.Tamsel)
    failing_put = fake_handle(qi=FailingQueue("put"))
    failing_get = fake_handle(qo=FailingQueue("get"))
    assert_flat(rounds(
        lambda: handle.blocked_put(request),
        lambda: tamsel.Tamsel.blocked_put(w=request, self=handle),
        (lambda: handle.blocked_put(), TypeError),
        (lambda: handle.blocked_put(request, x=1), TypeError),
        (lambda: handle.blocked_put(w=request, self=handle), TypeError),
        (lambda: failing_put.blocked_put(request), Failure),
        (lambda: failing_get.blocked_put(request), Failure),
        (lambda: no_queues.blocked_put(request), AttributeError),
    ), [handle, no_queues, failing_put, failing_get, request, *request])


def test_blocked_put_through_the_pipes(sentinels):
    """Requests written straight into qi's pipe; answers read straight from
    qo's pipe, watching a live writer, a dead one, or none."""
    request = [text("x ", "= 1"), {"k": 1}]
    unpicklable = ["x = 1", {"f": lambda: 1}]
    with real_queues(5) as (qi, watched, unwatched, dead_qo, refused_qi):
        alive, dead = writer(sentinels.alive), writer(sentinels.dead, exitcode=-9)
        liveness.writers[watched] = alive
        liveness.writers[dead_qo] = dead
        handle = fake_handle(qi, watched, alive)
        plain = fake_handle(qi, unwatched)
        dying = fake_handle(qi, dead_qo, dead)
        refusing = fake_handle(refused_qi, watched, alive)

        def answered():
            preload_answers(watched, 1)
            preload_answers(unwatched, 1)
            assert handle.blocked_put(request) == ANSWER
            assert plain.blocked_put(request) == ANSWER
            drain(qi, 2)

        def died():
            try:
                dying.blocked_put(request)
            finally:
                drain(qi, 1)

        assert_flat(rounds(
            answered,
            (died, vorlen.WorkerDiedError),
            (lambda: refusing.blocked_put(unpicklable), pickle.PicklingError, AttributeError),
        ), [handle, plain, dying, refusing, request, unpicklable, alive, dead], calls=PIPE_CALLS)
        assert refused_qi.empty()


def test_clear_queue_watching_the_writer(sentinels):
    """clear_queue on answer queues whose writer is known: whole answers
    dropped, and a message cut off by a dead writer raising."""
    header = len(PICKLED_ANSWER).to_bytes(4, "big")
    with real_queues(2) as (watched, cut_off):
        alive, dead = writer(sentinels.alive), writer(sentinels.dead, exitcode=-9)
        liveness.writers[watched] = alive
        liveness.writers[cut_off] = dead

        def cleared():
            preload_answers(watched, 2)
            assert tamsel.clear_queue(watched) is None

        def died():
            cut_off._sem.acquire()
            os.write(cut_off._writer.fileno(), header + PICKLED_ANSWER[:5])
            tamsel.clear_queue(cut_off)

        assert_flat(rounds(cleared, (died, vorlen.WorkerDiedError)),
                    [alive, dead], calls=PIPE_CALLS)


def test_kill_and_clear_output():
    handle = fake_handle()
    no_process = fake_handle(proc=types.SimpleNamespace())
    failing = fake_handle(qo=FailingQueue("empty"))

    def kill_alive():
        handle.proc.alive = True
        handle.kill()
        handle.kill()

    def clear_three():
        handle.qo.items = [ANSWER] * 3
        handle.clear_output()

    assert_flat(rounds(
        kill_alive, clear_three,
        (lambda: handle.kill(1), TypeError),
        (lambda: handle.clear_output(handle), TypeError),
        (no_process.kill, AttributeError),
        (failing.clear_output, Failure),
    ), [handle, no_process, failing])
    with rebound(tamsel, clear_queue=MISSING):
        assert_flat(rounds((handle.clear_output, NameError)), [handle])


# --- the pool module -------------------------------------------------------------

def test_reduce(sentinels):
    reduce = corvane.reduce
    queues, failing = [FakeQueue(), FakeQueue()], [FailingQueue("get")]
    as_tuple = tuple(queues)
    assert_flat(rounds(
        lambda: reduce(queues),
        lambda: reduce(as_tuple),
        lambda: reduce(iter(queues)),
        lambda: reduce(red=[]),
        (lambda: reduce(), TypeError),
        (lambda: reduce(queues, red=queues), TypeError),
        (lambda: reduce([queues[0], None]), AttributeError),
        (lambda: reduce(failing), Failure),
        (lambda: reduce(5), TypeError),
    ), [*queues, *failing, queues, as_tuple, failing])
    with real_queues() as (alive_q, dead_q):
        liveness.writers[alive_q] = writer(sentinels.alive)
        liveness.writers[dead_q] = writer(sentinels.dead, exitcode=1)

        def through_the_pipe():
            preload_answers(alive_q, 2)
            assert reduce([alive_q, alive_q]) == [ANSWER, ANSWER]

        assert_flat(rounds(
            through_the_pipe,
            (lambda: reduce([dead_q]), vorlen.WorkerDiedError),
        ), [alive_q, dead_q], calls=PIPE_CALLS)


def test_pool_construction_and_restart():
    Pool = corvane.CorvanePool
    prefix = text("pre", "fix")
    with rebound(corvane, cs=FAKE_CS):
        pool = Pool(3, prefix)
        assert_flat(rounds(
            lambda: Pool(2, prefix),
            lambda: Pool(N=1),
            pool.init_process,
            (lambda: Pool(2, None), TypeError),
            (lambda: Pool("x"), TypeError),
            (lambda: Pool(), TypeError),
            (lambda: Pool(1, prefix, 3), TypeError),
            (lambda: Pool(1, N=1), TypeError),
            (lambda: pool.init_process(1), TypeError),
        ), [prefix, pool])
    with rebound(corvane, cs=types.SimpleNamespace(Tamsel=FailingHandle)):
        assert_flat(rounds((lambda: Pool(2, prefix), Failure)), [prefix])
    with rebound(corvane, cs=MISSING):
        assert_flat(rounds((lambda: Pool(2, prefix), NameError)), [prefix])


class Pairs:
    """A handle table that is not a dict: items() yields what it is given."""

    def __init__(self, *items):
        self.pairs = items

    def items(self):
        return iter(self.pairs)


def test_kill_all_and_clear_output():
    handles = [FakeHandle(), FakeHandle()]
    tables = [None, Pairs((1, handles[0]), (2,)), Pairs((1, handles[0], 3)), Pairs(None),
              Pairs([1, types.SimpleNamespace()])]
    errors = [AttributeError, ValueError, ValueError, TypeError, AttributeError]
    broken = [pool_of([]) for _ in tables]
    for pool, table in zip(broken, tables):
        pool.procs = table

    class Growing(FakeHandle):
        def kill(self):
            grown[object()] = None

    growing, grown, growing_pool = Growing(), {}, pool_of([])

    def grow():
        grown.clear()
        grown.update({1: growing, 2: handles[0]})
        growing_pool.procs = grown
        growing_pool.kill_all()

    cases = [lambda: pool_of(handles).kill_all(), lambda: pool_of(handles).clear_output(),
             (lambda: pool_of(handles).kill_all(1), TypeError),
             (lambda: pool_of(handles).clear_output(1), TypeError),
             (grow, RuntimeError)]
    for pool, error in zip(broken, errors):
        cases += [(pool.kill_all, error), (pool.clear_output, error)]
    assert_flat(rounds(*cases), [*handles, *tables, *broken, growing, grown, growing_pool])


class NoTruth:
    def __bool__(self):
        raise Failure("truth")


def test_map_on_fake_handles():
    handles = [FakeHandle(), FakeHandle(), FakeHandle()]
    pool, empty = pool_of(handles), pool_of([])
    failing = FakeHandle()
    failing.qi = FailingQueue("put")
    failing_pool, no_truth = pool_of([failing]), NoTruth()
    batch = [text("x = ", str(i)) for i in range(7)]
    assert_flat(rounds(
        lambda: pool.map(batch),
        lambda: pool.map(batch, block=False),
        lambda: pool.map(iter(batch)),
        lambda: empty.map([]),
        (lambda: pool.map(), TypeError),
        (lambda: pool.map(batch, True, 1), TypeError),
        (lambda: pool.map(batch, blok=True), TypeError),
        (lambda: empty.map(batch), ZeroDivisionError),
        (lambda: pool.map(5), TypeError),
        (lambda: pool.map(batch, no_truth), Failure),
        (lambda: failing_pool.map(batch), Failure),
    ), [pool, empty, failing_pool, no_truth, batch, *batch, *handles])
    with rebound(corvane, reduce=MISSING):
        assert_flat(rounds((lambda: pool.map(batch), NameError)), [pool, batch])


def test_map_through_the_pipes(sentinels):
    batch = [[text("x = 1"), {"z": 3}]]
    unpicklable = ["x = 1", threading.Lock()]
    with real_queues() as (qi, qo):
        handle = FakeHandle()
        handle.qi, handle.qo = qi, qo
        liveness.writers[qo] = writer(sentinels.alive)
        pool = pool_of([handle])

        def mapped():
            preload_answers(qo, len(batch))
            assert pool.map(batch) == [ANSWER] * len(batch)
            drain(qi, len(batch))

        def refused():
            try:
                pool.map(unpicklable)
            finally:
                drain(qi, 1)  # the request before the one that cannot be sent

        assert_flat(rounds(mapped, (refused, TypeError)),
                    [pool, handle, qi, qo, batch, unpicklable], calls=PIPE_CALLS)


def test_norep():
    NoRep = corvane.CorvaneNoRep
    saved = NoRep.builtin
    holder, bare = types.SimpleNamespace(), types.SimpleNamespace()
    no_size = types.SimpleNamespace(CNR=types.SimpleNamespace())

    def build_reuse_resize():
        NoRep.set(holder)
        holder.__dict__.pop("CNR", None)
        assert NoRep.init_process(2) is None
        pool = holder.CNR
        assert NoRep.init_process(2) is pool
        assert NoRep.init_process(n=1) is pool

    def unstorable():
        NoRep.set(None)
        NoRep.init_process(2)

    def without_size():
        NoRep.set(no_size)
        NoRep.init_process(2)

    try:
        with rebound(corvane, cs=FAKE_CS):
            assert_flat(rounds(
                build_reuse_resize,
                (lambda: NoRep.set(), TypeError),
                (lambda: NoRep.set(holder, builtin=holder), TypeError),
                (lambda: NoRep.init_process(), TypeError),
                (lambda: NoRep.init_process(2, m=1), TypeError),
                (unstorable, AttributeError),
                (without_size, AttributeError),
            ), [holder, no_size])
            NoRep.set(bare)
            with rebound(corvane, CorvanePool=MISSING):
                assert_flat(rounds((lambda: NoRep.init_process(2), NameError)), [bare])
        with rebound(corvane, CorvaneNoRep=MISSING):
            assert_flat(rounds(
                (lambda: NoRep.set(holder), NameError),
                (lambda: NoRep.init_process(2), NameError),
            ), [holder])
    finally:
        NoRep.builtin = saved


# --- the function objects themselves -------------------------------------------

def test_function_object_protocol():
    functions = [tamsel.tamsel_main, tamsel.Tamsel.blocked_put, tamsel._HandleContent.xprint,
                 corvane.reduce, corvane.CorvanePool.map]
    put = tamsel.Tamsel.blocked_put
    handle, new_name = fake_handle(), text("blocked", "_put")

    def touch_everything():
        for function in functions:
            function.__reduce__()
            pickle.dumps(function)
            repr(function)
            (function.__name__, function.__qualname__, function.__defaults__,
             function.__kwdefaults__, function.__code__, function.__globals__,
             function.__dict__, function.__annotations__, function.__closure__)
        assert handle.blocked_put.__self__ is handle   # a bound method, made and dropped
        put.__name__ = new_name
        put.__defaults__ = put.__defaults__
        put.__kwdefaults__ = None

    def refused_assignments():
        for attribute, value in (("__name__", 1), ("__qualname__", None),
                                 ("__defaults__", [1]), ("__kwdefaults__", 1)):
            try:
                setattr(put, attribute, value)
            except TypeError:
                continue
            raise AssertionError(attribute)

    try:
        assert_flat(rounds(touch_everything, refused_assignments),
                    functions + [handle, new_name])
    finally:
        put.__name__ = "blocked_put"


# --- interrupts and time limits ---------------------------------------------------

def test_interrupt_run_and_map_through_the_pipes(sentinels):
    """vorlen.run and vorlen.map wait on a worker page whose worker never
    starts (so nothing falls due); vorlen.interrupt of a worker whose page is
    not ready looks at the process itself (this one) for the signal."""
    request = [text("x ", "= 1"), {"k": 1}]
    with rebound(tamsel, mp=fake_mp(queue_class=mp.Queue, process_class=RecordingProcess)):
        paged = tamsel.Tamsel()  # real queues and a page; no process starts
    qi, qo = paged.qi, paged.qo
    try:
        alive = types.SimpleNamespace(pid=os.getpid(), sentinel=sentinels.alive,
                                      exitcode=None, join=lambda timeout=None: None)
        liveness.writers[qo] = alive
        handle = fake_handle(qi, qo, alive)
        pooled = FakeHandle()
        pooled.qi, pooled.qo, pooled.proc = qi, qo, alive
        pool = pool_of([pooled])

        def ran():
            for call in (lambda: vorlen.run(handle, request),
                         lambda: vorlen.run(handle, request, timeout=5, grace=1),
                         lambda: vorlen.map(pool, [request], timeout=5)):
                preload_answers(qo, 1)
                assert call() in (ANSWER, [ANSWER])
            drain(qi, 3)

        assert_flat(rounds(
            ran,
            lambda: vorlen.interrupt(handle),
            lambda: vorlen.interrupt(pool),
            (lambda: vorlen.run(handle, request, timeout=-1), ValueError),
            (lambda: vorlen.interrupt(None), TypeError),
        ), [handle, pooled, pool, request, *request, alive, qi, qo], calls=PIPE_CALLS)
    finally:
        liveness.writers.pop(qo, None)
        qi.close()
        qo.close()


# --- the package's dispatch module ---------------------------------------------

def test_wire_receive(sentinels):
    receive = _wire.receive
    with real_queues() as (alive_q, dead_q):
        alive, dead = writer(sentinels.alive), writer(sentinels.dead, exitcode=1)
        liveness.writers[alive_q] = alive

        def answered():
            preload_answers(alive_q, 2)
            assert receive(alive_q, alive) == ANSWER
            assert receive(alive_q, None) == ANSWER   # its registered writer

        assert_flat(rounds(
            answered,
            (lambda: receive(dead_q, dead), vorlen.WorkerDiedError),
            (lambda: receive(alive_q), TypeError),
            (lambda: receive(FailingQueue("get"), None), Failure),
        ), [alive_q, dead_q, alive, dead], calls=PIPE_CALLS)


@contextmanager
def paged_handles(*writers):
    """Handles on real queues, with a page and a book each but no process:
    their writers are the given stand-ins."""
    with rebound(tamsel, mp=fake_mp(queue_class=mp.Queue, process_class=RecordingProcess)):
        made = [tamsel.Tamsel() for _ in writers]
    try:
        handles = []
        for paged, process in zip(made, writers):
            liveness.writers[paged.qo] = process
            handles.append(fake_handle(paged.qi, paged.qo, process))
        yield handles
    finally:
        for paged in made:
            liveness.writers.pop(paged.qo, None)
            paged.qi.close()
            paged.qo.close()


def test_wire_deal(sentinels):
    deal = _wire.deal
    requests = [text("x = ", str(i)) for i in range(3)]
    tokens = [0] * len(requests)
    alive, dead = writer(sentinels.alive), writer(sentinels.dead, exitcode=1)
    with paged_handles(alive, dead) as (handle, dying):
        reports = []

        def dealt(balance):
            def run():
                preload_answers(handle.qo, len(requests))
                answers = deal([handle], requests, tokens, 2.0, balance, 0, None)
                assert answers == [ANSWER] * len(requests)
                drain(handle.qi, len(requests))
            return run

        def dealt_with_report():
            preload_answers(handle.qo, len(requests))
            deal([handle], requests, tokens, 2.0, True, 1, lambda done, answer: reports.append(done))
            reports.clear()
            drain(handle.qi, len(requests))

        def died():
            try:
                deal([dying], requests, tokens, 2.0, False, 0, None)
            finally:
                drain(dying.qi, len(requests))

        def failing_report(done, answer):
            raise Failure("report")

        def refused_report():
            preload_answers(handle.qo, 1)
            try:
                deal([handle], requests[:1], tokens[:1], 2.0, True, 0, failing_report)
            finally:
                drain(handle.qi, 1)

        assert_flat(rounds(
            dealt(False), dealt(True), dealt_with_report,
            (died, vorlen.WorkerDiedError),
            (refused_report, Failure),
            (lambda: deal([], requests, tokens, 2.0, True, 0, None), ValueError),
            (lambda: deal([handle], requests, [], 2.0, True, 0, None), TypeError),
            (lambda: deal([None], requests, tokens, 2.0, True, 0, None), AttributeError),
            (lambda: deal(handle, requests, tokens, 2.0, True, 0, None), TypeError),
        ), [handle, dying, alive, dead, requests, *requests], calls=PIPE_CALLS)


def test_wire_arrivals(sentinels):
    arrivals = _wire.arrivals
    with real_queues(3) as (first, second, dead_q):
        alive, dead = writer(sentinels.alive), writer(sentinels.dead, exitcode=1)
        for q in (first, second):
            liveness.writers[q] = alive
        liveness.writers[dead_q] = dead
        queues = [first, second, first]
        timeout = 0.0

        def arrived():
            preload_answers(first, 2)
            preload_answers(second, 1)
            assert sorted(index for index, _ in arrivals(iter(queues), None)) == [0, 1, 2]

        def timed_out():
            preload_answers(second, 1)
            pending = arrivals(queues, timeout)
            assert next(pending) == (1, ANSWER)
            next(pending)

        def abandoned():
            preload_answers(first, 1)
            next(arrivals(queues[:1], timeout))
            arrivals(queues, None)    # never iterated

        assert_flat(rounds(
            arrived, abandoned,
            (timed_out, TimeoutError),
            (lambda: next(arrivals([dead_q], None)), vorlen.WorkerDiedError),
            (lambda: arrivals([FakeQueue()], None), TypeError),
            (lambda: arrivals(queues, -1.0), ValueError),
            (lambda: arrivals(queues, "soon"), TypeError),
            (lambda: arrivals(5, None), TypeError),
        ), [first, second, dead_q, alive, dead, queues, timeout], calls=PIPE_CALLS)


# --- large buffers through shared memory -------------------------------------

SEGMENT_MAGIC = 0x6d68732d6e6c726f


def start_time(pid="self"):
    """The start time of a process, as /proc gives it (field 22 of stat)."""
    with open(f"/proc/{pid}/stat") as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[19])


@contextmanager
def hand_made_segment(data, token=0x1234):
    """A segment laid out as a sender lays it out (a header page, then the
    data), made by this process for itself: its reference."""
    fd = os.memfd_create("vorlen-array", os.MFD_CLOEXEC)
    try:
        page = os.sysconf("SC_PAGESIZE")
        os.ftruncate(fd, page + len(data))
        os.pwrite(fd, struct.pack("=7Q", SEGMENT_MAGIC, token, len(data), 0, 0, 0, 0), 0)
        os.pwrite(fd, data, page)
        identity = os.fstat(fd)
        yield (os.getpid(), fd, start_time(), identity.st_ino, identity.st_dev, token,
               len(data), len(data))
    finally:
        sharedmem.sweep()  # the mapping kept for reuse
        os.close(fd)


def test_open_bytearray_and_open_buffer():
    data = bytes(range(256)) * 16
    with hand_made_segment(data) as reference:
        stale = reference[:5] + (reference[5] + 1,) + reference[6:]

        def opened():
            assert sharedmem.open_bytearray(reference) == data
            buffer = sharedmem.open_buffer(reference, True)
            assert memoryview(buffer).readonly and memoryview(buffer)[:4] == data[:4]
            del buffer
            assert not memoryview(sharedmem.open_buffer(reference, False)).readonly

        assert_flat(rounds(
            opened,
            (lambda: sharedmem.open_bytearray(stale), OSError),
            (lambda: sharedmem.open_buffer(stale, False), OSError),
            (lambda: sharedmem.open_buffer(reference), TypeError),
            (lambda: sharedmem.open_bytearray((1, 2)), TypeError),
        ), [reference, stale], calls=PIPE_CALLS)


def test_requests_holding_buffers_through_the_pipes(sentinels, monkeypatch):
    """Pickled with a prelude (the PickleBuffers as copies: this process is
    not a reader that could open its own segments)."""
    monkeypatch.setenv("VORLEN_SHM_THRESHOLD", "0")
    request = [{"b": bytearray(b"ab"), "p": pickle.PickleBuffer(bytearray(b"cd")),
                "r": pickle.PickleBuffer(b"ef")}, "x = 1"]
    released = pickle.PickleBuffer(b"z")
    released.release()
    with real_queues() as (qi, qo):
        alive = writer(sentinels.alive)
        liveness.writers[qo] = alive
        handle = fake_handle(qi, qo, alive)

        def answered():
            preload_answers(qo, 1)
            assert handle.blocked_put(request) == ANSWER
            assert qi._reader.poll(5)
            got = pickle.loads(qi._reader.recv_bytes())
            qi._sem.release()
            assert bytes(got[0]["p"]) == b"cd" and got[0]["b"] == b"ab"

        assert_flat(rounds(
            answered,
            (lambda: handle.blocked_put([{"p": released}, "x"]), ValueError),
        ), [handle, request, released, alive], calls=PIPE_CALLS)
