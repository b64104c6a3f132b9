"""Hostile callbacks: user code that runs inside a call of the modules
(__setattr__, __str__, __eq__, __reduce__, __del__, fake queues and module
globals) and changes what the call is using: replaces or mutates defaults,
instance dicts and globals, drops the last reference and collects, raises
KeyboardInterrupt or SystemExit, closes a queue's pipe. Every call must
either do its job or raise a proper exception. Grouped by attack.

`make test` runs this file also with PYTHONMALLOC=debug under -X dev, where
a use of freed memory crashes instead of passing by luck, and the sanitizer
pass runs it under AddressSanitizer."""
import gc
import multiprocessing as mp
import os
import signal
import subprocess
import sys
import textwrap
import threading
import types
import warnings

import pytest

import vorlen
import vorlen._liveness as liveness
import vorlen.corvane as corvane
import vorlen.tamsel as tamsel
from vorlen import _wire
from support import WAIT, AnswerList, EndLoop, FakeQueue, ScriptedInput

pytestmark = pytest.mark.timeout(60)

HandleContent = tamsel._HandleContent


# Entries that make a dict large enough for its memory to go back to the
# allocator when it is freed (small dicts are kept for reuse, where a use
# after free would pass unseen).
FILLER = {f"filler_{i}": i for i in range(40)}


def fresh(text):
    """A str made at run time, held only by whoever keeps it."""
    return "".join(text)


class EqualHash:
    """A key whose hash equals that of `name`. Put into a dict before `name`,
    it sits where a look-up of `name` probes first, so the look-up calls its
    __eq__, which runs `action` once the key is armed (building the dict
    compares the two keys too)."""

    def __init__(self, name):
        self.hash = hash(name)
        self.action = None

    def arm(self, action):
        self.action = action

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        action, self.action = self.action, None
        if action:
            action()
        return False


@pytest.fixture
def restore_defaults():
    """Puts back __defaults__ and __kwdefaults__ of every function after the
    test, whatever it replaced."""
    functions = [tamsel.Tamsel.__init__, HandleContent.xprint, corvane.CorvanePool.__init__,
                 corvane.CorvanePool.map]
    saved = [(f, f.__defaults__, f.__kwdefaults__) for f in functions]
    yield
    for f, defaults, kwdefaults in saved:
        f.__defaults__, f.__kwdefaults__ = defaults, kwdefaults


@pytest.fixture
def serve(monkeypatch):
    """Runs tamsel_main in this process over scripted requests and returns
    its answers; the title and SIGINT handler are left alone."""
    monkeypatch.setattr(tamsel, "setproctitle", types.SimpleNamespace(setproctitle=print))
    monkeypatch.setattr(tamsel, "signal", types.SimpleNamespace(
        SIGINT=signal.SIGINT, signal=lambda sig, handler: None))

    def run(*requests, qi=None):
        qo = AnswerList()
        with pytest.raises(EndLoop):
            tamsel.tamsel_main(None, qi or ScriptedInput(requests), qo)
        return qo.answers

    return run


class FakeHandle:
    def __init__(self, name=None):
        self.qi, self.qo = FakeQueue(), FakeQueue()
        self.proc = types.SimpleNamespace(pid=id(self))

    def kill(self):
        pass

    def clear_output(self):
        pass


def fake_pool(cls=corvane.CorvanePool, handles=1):
    pool = cls.__new__(cls)
    pool.N, pool.name_pref = handles, "p"
    pool.procs = {i: FakeHandle() for i in range(handles)}
    return pool


def run_fresh(code):
    """Runs `code` in a fresh interpreter (with this one's malloc settings);
    returns its standard output, failing on a crash or an error."""
    done = subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=WAIT * 3)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


# --- defaults and keyword defaults replaced or mutated during the call -------

def test_defaults_replaced_by_code_the_call_runs(restore_defaults, monkeypatch):
    init = corvane.CorvanePool.__init__
    init.__defaults__ = (fresh("pref_12345"),)

    class Pool(corvane.CorvanePool):
        def __setattr__(self, key, value):
            if key == "N":
                init.__defaults__ = ("other",)
                gc.collect()
            object.__setattr__(self, key, value)

    assert Pool(0).name_pref == "pref_12345"

    class Falsy:
        def __bool__(self):
            return False

    corvane.CorvanePool.map.__defaults__ = (Falsy(),)

    class Dropping(corvane.CorvanePool):
        def clear_output(self):
            corvane.CorvanePool.map.__defaults__ = (True,)
            gc.collect()

    pool = fake_pool(Dropping)
    assert pool.map(["x"]) == [pool.procs[0].qo]  # block was the falsy default

    made = []

    class Queue:
        def __init__(self):
            tamsel.Tamsel.__init__.__defaults__ = (None,)
            gc.collect()

    def process(target, args):
        made.append(args[0])
        return types.SimpleNamespace(start=lambda: None)

    tamsel.Tamsel.__init__.__defaults__ = (fresh("worker_name"),)
    monkeypatch.setattr(tamsel, "mp", types.SimpleNamespace(Queue=Queue, Process=process))
    tamsel.Tamsel()
    assert made == ["worker_name"]


def test_keyword_default_mutated_in_place_or_replaced(restore_defaults):
    xprint = HandleContent.xprint

    class Item:
        def __init__(self, change):
            self.change = change

        def __str__(self):
            self.change()
            gc.collect()
            return "a"

    def mutate():
        xprint.__kwdefaults__["end"] = "?"

    def replace():
        xprint.__kwdefaults__ = {"end": "?"}

    for change in (mutate, replace):
        xprint.__kwdefaults__ = {"end": fresh("<end>")}
        pc = HandleContent()
        pc.xprint(Item(change))
        assert pc.print_content == "a<end>"


def test_keyword_defaults_replaced_during_their_own_lookup(restore_defaults):
    xprint = HandleContent.xprint

    def replace():
        xprint.__kwdefaults__ = {"end": "!"}
        gc.collect()

    key = EqualHash("end")
    xprint.__kwdefaults__ = {key: None, "end": fresh("<end>"), **FILLER}
    key.arm(replace)
    pc = HandleContent()
    pc.xprint("a")
    assert key.action is None  # it ran
    assert pc.print_content == "a<end>"


def test_defaults_longer_than_the_parameters_give_their_last_items(restore_defaults):
    corvane.CorvanePool.__init__.__defaults__ = ("x", "y", 0, "last")
    pool = corvane.CorvanePool()
    assert (pool.N, pool.name_pref) == (0, "last")
    corvane.CorvanePool.map.__defaults__ = (True, False)
    pool = fake_pool()
    assert pool.map(["x"]) == [pool.procs[0].qo]


# --- the capture object's instance dict --------------------------------------

def test_instance_dict_replaced_during_the_lookup_of_print_content():
    pc = HandleContent()

    def replace():
        pc.__dict__ = {"print_content": fresh("new:"), "return_content": {}}
        gc.collect()

    key = EqualHash("print_content")
    pc.__dict__ = {key: None, "print_content": fresh("old:"), "return_content": {}, **FILLER}
    key.arm(replace)
    pc.xprint("a")
    assert key.action is None
    assert pc.print_content == "old:a\n"


def test_instance_dict_replaced_while_an_item_is_converted():
    pc = HandleContent()

    class Item:
        def __str__(self):
            pc.__dict__ = {"print_content": "new:", "return_content": {}}
            gc.collect()
            return "b"

    pc.xprint("a", Item(), end="")
    assert pc.print_content == "ab"


# --- module globals replaced, last references dropped -------------------------

def test_module_global_replaced_while_its_object_is_in_use(monkeypatch):
    names = []

    def make(name=None):
        names.append(name)
        corvane.cs = types.SimpleNamespace(Tamsel=lambda name=None: FakeHandle(name))
        gc.collect()
        return FakeHandle(name)

    monkeypatch.setattr(corvane, "cs", types.SimpleNamespace(Tamsel=make))
    pool = corvane.CorvanePool(2)
    assert names == ["CorvaneingPool_0"] and len(pool.procs) == 2


def test_map_collects_no_more_answers_than_it_sent():
    class Growing:
        passes = 0

        def __iter__(self):
            self.passes += 1
            return iter(["x"] * (1 if self.passes == 1 else 3))

    pool = fake_pool()
    assert pool.map(Growing(), block=False) == [pool.procs[0].qo]
    assert len(pool.map(Growing())) == 1


# --- the package's dispatch loops: code they call changes what they use -----

class ReadySource:
    """A foreign answer source that is always ready; `during_get` runs inside
    its get()."""

    def __init__(self, answer):
        self.answer = answer
        self.read_end, self.write_end = os.pipe()
        os.write(self.write_end, b"x")
        self.during_get = None

    def vorlen_ready_fd(self):
        return self.read_end

    def get(self):
        action, self.during_get = self.during_get, None
        if action:
            action()
        return self.answer

    def close(self):
        os.close(self.read_end)
        os.close(self.write_end)


def test_arrivals_advanced_from_inside_their_own_wait():
    first, second = ReadySource("a"), ReadySource("b")
    try:
        arrivals = vorlen.as_completed([first, second], timeout=WAIT)
        inner = []

        def advance():
            try:
                inner.append(next(arrivals))
            except ValueError as error:
                inner.append(str(error))

        first.during_get = advance
        assert sorted(arrivals) == [(0, "a"), (1, "b")]
        assert inner == ["arrivals already executing"]
    finally:
        first.close()
        second.close()


def test_deal_whose_worker_list_is_emptied_while_it_is_read(handle):
    handles = []

    class Emptying:
        @property
        def qi(self):
            handles.clear()
            return handle.qi

        qo = property(lambda self: handle.qo)
        proc = property(lambda self: handle.proc)

    handles += [Emptying() for _ in range(3)]
    answers = _wire.deal(handles, ["xreturn(n=1)"], [0], 2.0, True, 0, None)
    assert answers == [["SUCCESS", "", "", {"n": 1}]]


# --- functions cleared by the garbage collector and used again ----------------

def test_function_cleared_by_the_collector_still_works_or_raises():
    # A failed execution of the pool module leaves its `set` function with
    # no home; a cycle through its __dict__ and __defaults__ (holding a bound
    # method of it) is collected, and a weak reference made in a finalizer
    # hands the function back while and after the collector clears it.
    out = run_fresh("""
        import builtins, gc, pickle, types, weakref
        import vorlen.tamsel
        seen, kept, callbacks = [], [], []

        def use(f, method):
            for name in ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__",
                         "__kwdefaults__", "__dict__", "__globals__", "__code__",
                         "__annotations__"):
                getattr(f, name)
            seen.append((repr(f), f.__reduce__()))
            for call in (lambda: pickle.dumps(f), lambda: f(1), lambda: method(),
                         lambda: f(), lambda: f(1, 2)):
                try:
                    call()
                except Exception:
                    pass

        class Finalizer:
            def __del__(self):
                weak, weak_method = weakref.ref(self.f), weakref.ref(self.method)

                def handed_back(_):
                    f, method = weak(), weak_method()
                    if f is not None:
                        use(f, method or types.MethodType(f, 1))
                        kept.append(f)

                marker = type("Marker", (), {})()
                callbacks.append(weakref.ref(marker, handed_back))
                self.f.__dict__["marker"] = marker

        def hostile_staticmethod(f):
            finalizer = Finalizer()
            finalizer.f = f
            finalizer.method = types.MethodType(f, 1)
            f.__dict__.update(self=f, finalizer=finalizer)
            f.__defaults__ = (f, finalizer.method)
            raise RuntimeError("refused")

        builtins.staticmethod = hostile_staticmethod
        try:
            import vorlen.corvane
        except RuntimeError:
            pass
        gc.collect()
        gc.collect()
        assert kept, "the function was never handed back"
        f = kept[0]
        use(f, types.MethodType(f, 1))
        print(f.__name__ == "" or f.__name__ == "set", len(seen))
    """)
    assert out.split()[0] == "True"


# --- the compile-warning counter ----------------------------------------------

WARNS = "flag = 1 is 1"  # compiling this shows a SyntaxWarning


def test_warning_counter_kept_by_a_hook_and_called_later(serve):
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        answers = serve(
            "import warnings\n"
            "shown = []\n"
            "def hook(*args, **kwargs):\n"
            "    shown.append(warnings._showwarnmsg)\n"
            "warnings.showwarning = hook",
            WARNS,
            "shown[0](warnings.WarningMessage('later', UserWarning, 'f', 1))\n"
            "xreturn(shown=len(shown), kept=shown[0] is not warnings._showwarnmsg)")
    assert [a[0] for a in answers] == ["SUCCESS"] * 3, answers
    assert answers[2][3] == {"shown": 2, "kept": True}


def test_compile_inside_a_warning_hook_during_a_compile(serve):
    inner = AnswerList()
    calls = []

    def hook(*args, **kwargs):
        calls.append(args[0])
        if len(calls) == 1:  # the outer text's warning: compile one that warns too
            with pytest.raises(EndLoop):
                tamsel.tamsel_main(None, ScriptedInput(["flag2 = 2 is 2"]), inner)

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = hook
        answers = serve(WARNS)
    assert [a[0] for a in answers + inner.answers] == ["SUCCESS", "SUCCESS"], inner.answers
    assert len(calls) == 2


def test_serving_loops_in_two_threads_compile_warning_texts(serve):
    texts = [f"flag = {i} is {i}" for i in range(30)]
    results = {}

    def hook(*args, **kwargs):
        threading.Event().wait(0.0005)  # lets the other thread run

    def loop(key):
        qo = AnswerList()
        try:
            tamsel.tamsel_main(None, ScriptedInput(texts), qo)
        except EndLoop:
            pass
        results[key] = [a[0] for a in qo.answers]

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = hook
        threads = [threading.Thread(target=loop, args=(k,)) for k in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(WAIT)
        previous = warnings._showwarnmsg
    assert results == {0: ["SUCCESS"] * 30, 1: ["SUCCESS"] * 30}
    # Whatever stayed in place forwards to a live function.
    with warnings.catch_warnings(record=True) as shown:
        previous(warnings.WarningMessage("after", UserWarning, "f", 1))
    assert len(shown) == 1


# --- answers that must go out whatever the returned values do -----------------

UNPICKLABLE_KEY = """
class Key(str):
    def __repr__(self):
        xreturn(added=1)
        raise {exc}
xreturn(**{{Key("k"): 1}}, ok=2)
"""


@pytest.mark.parametrize("exc", ["KeyboardInterrupt", "SystemExit(3)", "ValueError('x')"])
def test_returned_values_that_fail_in_any_way_still_get_an_answer(serve, exc):
    answers = serve(
        f"class R:\n    def __reduce__(self):\n        raise {exc}\nxreturn(r=R(), ok=1)",
        UNPICKLABLE_KEY.format(exc=exc),
        "xreturn(after=1)")
    first, second, third = answers
    assert first[0] == "EXCEPTION" and first[3] == {"ok": 1}
    assert "under the key 'r'" in first[2] and exc.split("(")[0] in first[2]
    assert second[0] == "EXCEPTION" and "a key of type Key (its repr failed)" in second[2]
    assert second[3]["ok"] == 2
    assert third == ["SUCCESS", "", "", {"after": 1}]


def test_answer_that_does_not_pickle_as_a_whole_is_answered(serve):
    answers = serve(
        # Pickles only from its second attempt on: alone, not in the answer.
        "class Once:\n"
        "    tries = 0\n"
        "    def __reduce__(self):\n"
        "        Once.tries += 1\n"
        "        if Once.tries == 1:\n"
        "            raise RecursionError('too deep')\n"
        "        return (int, (1,))\n"
        "xprint('kept')\n"
        "xreturn(v=Once())",
        # As deep as a value can be and still pickle alone here.
        "from multiprocessing.reduction import ForkingPickler\n"
        "v = []\n"
        "for depth in range(100000):\n"
        "    try:\n"
        "        ForkingPickler.dumps(v)\n"
        "    except RecursionError:\n"
        "        break\n"
        "    v = [v]\n"
        "xreturn(deep=v[0])",
        "xreturn(after=1)")
    first, deep, after = answers
    assert first[:2] == ["EXCEPTION", "kept\n"] and first[3] == {}
    assert "The answer as a whole cannot be pickled" in first[2]
    assert "RecursionError: too deep" in first[2]
    assert deep[0] in ("SUCCESS", "EXCEPTION")
    assert after == ["SUCCESS", "", "", {"after": 1}]


# --- errors never lost, never invented ----------------------------------------

class Connection:
    def __init__(self, fileno):
        self.fileno = fileno


def bare_handle(qi=None, qo=None, proc=None):
    handle = tamsel.Tamsel.__new__(tamsel.Tamsel)
    handle.qi = qi if qi is not None else FakeQueue()
    handle.qo = qo if qo is not None else FakeQueue()
    handle.proc = proc
    return handle


@pytest.mark.parametrize("fileno", [lambda: -1, lambda: 2 ** 40])
def test_queue_whose_writer_is_not_a_descriptor_raises(fileno):
    qi = mp.Queue()
    try:
        qi._writer = Connection(fileno)
        with pytest.raises((ValueError, OverflowError)) as info:
            bare_handle(qi).blocked_put("x")
        assert info.traceback[-1].name == "vorlen.tamsel.Tamsel.blocked_put"
    finally:
        qi._writer = qi._reader  # closed with the queue, never written to


def test_queue_whose_reader_is_not_a_descriptor_is_answered(serve):
    qi = mp.Queue()
    calls = []

    def fileno():
        calls.append(1)
        if len(calls) > 1:
            raise EndLoop
        return -1

    reader, qi._reader = qi._reader, Connection(fileno)
    try:
        answers = serve(qi=qi)
    finally:
        qi._reader = reader
    assert len(answers) == 1 and answers[0][0] == "EXCEPTION"
    assert "ValueError" in answers[0][2]


def test_connection_closed_and_its_number_reused_while_pickling():
    qi = mp.Queue()
    spare_read = []

    class Sneaky:
        def __reduce__(self):
            read, write = os.pipe()
            number = qi._writer.fileno()
            qi._writer.close()
            os.dup2(write, number)  # a new pipe on the old number
            os.close(write)
            spare_read.append((read, number))
            return (int, (1,))

    with pytest.raises(OSError, match="handle is closed"):
        bare_handle(qi).blocked_put([Sneaky()])
    read, number = spare_read[0]
    os.set_blocking(read, False)
    with pytest.raises(BlockingIOError):
        os.read(read, 100)  # nothing was sent into the other pipe
    os.close(read)
    os.close(number)


MALFORMED = [
    pytest.param(b"\xff\xff\xff\xfb", id="negative"),
    pytest.param(b"\xff\xff\xff\xff" + b"\xff" * 8, id="overflow"),
]


@pytest.mark.parametrize("header", MALFORMED)
def test_malformed_frame_header_fails_at_once_like_get(header):
    expected, direct = mp.Queue(), mp.Queue()
    for q in (expected, direct):
        os.write(q._writer.fileno(), header)
    with pytest.raises(Exception) as plain:
        expected.get(timeout=WAIT)
    with pytest.raises(Exception) as ours:
        bare_handle(qo=direct).blocked_put("x")
    assert type(ours.value) is type(plain.value), (ours.value, plain.value)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_interrupt_reading_the_shared_pool_holder_is_not_swallowed(exc):
    class Holder:
        def __getattr__(self, name):
            raise exc

    saved = corvane.CorvaneNoRep.builtin
    corvane.CorvaneNoRep.set(Holder())
    try:
        with pytest.raises(exc):
            corvane.CorvaneNoRep.init_process(0)
    finally:
        corvane.CorvaneNoRep.builtin = saved


def test_interrupt_reading_a_sentinel_is_not_swallowed():
    class Process(mp.Process):
        @property
        def sentinel(self):
            raise KeyboardInterrupt

    qo, proc = mp.Queue(), Process()
    qo.put(["SUCCESS", "", "", {}])
    liveness.writers[qo] = proc
    with pytest.raises(KeyboardInterrupt):
        bare_handle(qo=qo, proc=proc).blocked_put("x")


@pytest.mark.parametrize("exc", [KeyboardInterrupt, ValueError])
def test_join_of_a_dead_worker_passes_interrupts_only(make_handle, exc):
    handle = make_handle()

    def join(timeout=None):
        raise exc

    handle.proc.join = join
    expected = exc if exc is KeyboardInterrupt else vorlen.WorkerDiedError
    try:
        with pytest.raises(expected):
            handle.blocked_put("import os; os._exit(3)")
    finally:
        del handle.proc.join


def test_failed_one_time_set_up_raises_again():
    out = run_fresh("""
        import sys
        sys.modules["vorlen._liveness"] = None  # the import fails
        import multiprocessing as mp, vorlen.tamsel as tamsel
        handle = tamsel.Tamsel.__new__(tamsel.Tamsel)
        handle.qi = mp.Queue()
        for _ in range(2):
            try:
                handle.blocked_put("x")
            except ImportError:
                print("raised")
    """)
    assert out.split() == ["raised", "raised"]
