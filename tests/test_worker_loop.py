"""tamsel_main, the serving loop of a worker, with clear_queue and
sigint_handler.

Most cases run the loop in this process over stand-in queues: the input
stand-in hands out scripted requests and then raises EndLoop, which the loop
does not handle, so a run ends exactly after its script. The rest run real
worker processes over real multiprocessing queues.
"""
import fcntl
import os
import queue
import signal
import struct
import termios
import types
import warnings
from multiprocessing.reduction import ForkingPickler

import pytest
import setproctitle

import vorlen.tamsel as tamsel
from support import WAIT, AnswerList, EndLoop, Raise, ScriptedInput, wait_for

pytestmark = pytest.mark.timeout(30)


@pytest.fixture
def no_stop():
    """Removes the module global `stop` that sigint_handler creates."""
    vars(tamsel).pop("stop", None)
    yield
    vars(tamsel).pop("stop", None)


@pytest.fixture
def run(monkeypatch):
    """Runs tamsel_main here over scripted steps and returns its answers. The
    title and SIGINT handler are recorded instead of set, so this process
    keeps its own."""
    titles, handlers = [], []
    monkeypatch.setattr(tamsel, "setproctitle",
                        types.SimpleNamespace(setproctitle=titles.append))
    monkeypatch.setattr(tamsel, "signal", types.SimpleNamespace(
        SIGINT=signal.SIGINT, signal=lambda sig, handler: handlers.append((sig, handler))))

    def run_steps(*steps, name=None, qo=None, qi=None):
        run_steps.qi = qi or ScriptedInput(steps)
        qo = qo or AnswerList()
        with pytest.raises(EndLoop):
            tamsel.tamsel_main(name, run_steps.qi, qo)
        return qo.answers

    run_steps.titles, run_steps.handlers = titles, handlers
    return run_steps


def first_entry(info):
    return next(line for line in info.splitlines() if line.startswith("  File "))


# --- start-up and polling ------------------------------------------------------

@pytest.mark.parametrize("name, titles", [("worker-7", ["worker-7"]), (None, [])])
def test_start_up_sets_title_and_sigint_handler(run, name, titles):
    assert run(name=name) == []
    assert run.titles == titles
    assert run.handlers == [(signal.SIGINT, tamsel.sigint_handler)]


def test_every_cycle_polls_with_the_fixed_timeout(run):
    run("x = 1", Raise(queue.Empty()), "y = 2")
    assert run.qi.calls == [((), {"timeout": 0.1})] * 4


def test_fresh_namespace_holds_only_the_capture_methods(run):
    answers = run("xreturn(keys=list(globals()),"
                  " same=xprint.__self__ is xreturn.__self__,"
                  " kind=type(xprint.__self__).__name__)")
    assert answers == [["SUCCESS", "", "", {
        "keys": ["xprint", "xreturn", "__builtins__"], "same": True,
        "kind": "_HandleContent"}]]


# --- request shapes -------------------------------------------------------------

class Text(str):
    pass


@pytest.mark.parametrize("request_", [
    "xprint('hi'); xreturn(n=1)",
    ["xprint('hi'); xreturn(n=1)"],
    ("xprint('hi'); xreturn(n=1)",),
    Text("xprint('hi'); xreturn(n=1)"),
    iter(["xprint('hi')", 42, None, b"xprint('no')", "xreturn(n=1)"]),
], ids=["str", "list", "tuple", "str-subclass", "iterator-with-skipped-items"])
def test_request_shapes_give_the_same_answer(run, request_):
    assert run(request_) == [["SUCCESS", "hi\n", "", {"n": 1}]]


def test_requests_with_nothing_to_run_succeed_empty(run):
    assert run([], (), [1, 2.5, None]) == [["SUCCESS", "", "", {}]] * 3


def test_dict_request_runs_its_keys_and_merges_nothing(run):
    answers = run({"xprint('key ran')": "xprint('value')"},
                  "xreturn(merged=\"xprint('key ran')\" in globals())")
    assert answers == [["SUCCESS", "key ran\n", "", {}],
                       ["SUCCESS", "", "", {"merged": False}]]


def test_request_that_cannot_be_iterated_fails_and_the_worker_goes_on(run):
    answers = run(5, "xprint('next')")
    status, printed, info, returned = answers[0]
    assert (status, printed, returned) == ("EXCEPTION", "", {})
    assert info.rstrip().endswith("TypeError: 'int' object is not iterable")
    assert answers[1] == ["SUCCESS", "next\n", "", {}]


class SlottedInput:
    """A request source that takes no weak references: hands out its steps,
    then raises EndLoop."""
    __slots__ = ("steps",)

    def __init__(self, steps):
        self.steps = list(steps)

    def get(self, *args, **kwargs):
        if not self.steps:
            raise EndLoop
        return self.steps.pop(0)


def test_any_object_with_get_is_a_request_source(run):
    assert run(qi=SlottedInput(["xreturn(x=1)"])) == [["SUCCESS", "", "", {"x": 1}]]


# --- the persistent namespace ---------------------------------------------------

class Names(dict):
    pass


def test_only_finished_texts_and_dict_items_merge(run):
    answers = run(
        ["a = 1; xprint('first')", Names(b=2), "c = 3; xprint('last'); 1/0", "d = 4"],
        "xreturn(a=a, b=b, rest=[n for n in 'cd' if n in globals()])")
    status, printed, info, returned = answers[0]
    assert (status, printed, returned) == ("EXCEPTION", "first\nlast\n", {})
    assert first_entry(info).endswith("in vorlen.tamsel.tamsel_main")
    assert info.rstrip().endswith("ZeroDivisionError: division by zero")
    assert answers[1] == ["SUCCESS", "", "", {"a": 1, "b": 2, "rest": []}]


def test_text_does_not_see_its_own_names_until_it_has_finished(run):
    answers = run("k = 5\ndef f():\n    return k\nxreturn(v=f())",
                  "k = 5\ndef f():\n    return k", "xreturn(v=f())")
    assert "NameError: name 'k' is not defined" in answers[0][2]
    assert answers[2] == ["SUCCESS", "", "", {"v": 5}]


def test_rebinding_xprint_and_xreturn_lasts(run):
    answers = run("xprint = lambda *a, **k: None", "xprint('hidden'); xreturn(x=1)",
                  [{"xreturn": lambda **k: None}], "xreturn(y=2)")
    assert answers[1] == ["SUCCESS", "", "", {"x": 1}]
    assert answers[3] == ["SUCCESS", "", "", {}]


def test_syntax_error_fails_and_leaves_the_namespace_unchanged(run):
    answers = run("q = 1\ndef broken(:", "xreturn(has_q='q' in globals())")
    assert answers[0][0] == "EXCEPTION" and "SyntaxError" in answers[0][2]
    assert answers[1][3] == {"has_q": False}


# --- answers and exceptions -----------------------------------------------------

def test_answers_carry_the_capture_objects_and_never_change(run, monkeypatch):
    outgoing = []

    class Recording(tamsel._HandleContent):
        def clear(self):
            if "print_content" in vars(self):
                outgoing.append((self.print_content, self.return_content))
            super().clear()

    monkeypatch.setattr(tamsel, "_HandleContent", Recording)
    answers = run("xprint('one'); xreturn(a=[1])", Raise(queue.Empty()),
                  "xprint('two'); xreturn(a=[2])")
    assert answers == [["SUCCESS", "one\n", "", {"a": [1]}],
                       ["SUCCESS", "two\n", "", {"a": [2]}]]
    # Reset before every poll, the idle one included.
    assert len(outgoing) == 4
    assert answers[0][1] is outgoing[1][0] and answers[0][3] is outgoing[1][1]
    assert answers[1][1] is outgoing[3][0] and answers[1][3] is outgoing[3][1]


def test_idle_timeouts_and_interrupts_while_waiting_are_silent(run):
    answers = run(Raise(queue.Empty()), Raise(KeyboardInterrupt()), "xprint('ok')")
    assert answers == [["SUCCESS", "ok\n", "", {}]]


def test_idle_timeout_class_is_read_from_the_module_global(run, monkeypatch):
    class Idle(Exception):
        pass

    monkeypatch.setattr(tamsel, "queue", types.SimpleNamespace(Empty=Idle))
    answers = run(Raise(Idle()), Raise(queue.Empty()))
    assert len(answers) == 1 and answers[0][2].rstrip().endswith("_queue.Empty")


def test_error_from_get_itself_is_answered(run):
    answers = run(Raise(OSError("pipe gone")), "xprint('next')")
    assert answers[0][0] == "EXCEPTION"
    assert answers[0][2].rstrip().endswith("OSError: pipe gone")
    assert answers[1] == ["SUCCESS", "next\n", "", {}]


def test_failed_success_put_is_followed_by_a_failure_answer(run):
    answers = run("xprint('p'); xreturn(r=1)", qo=AnswerList(failures=1))
    status, printed, info, returned = answers[0]
    assert len(answers) == 1
    assert (status, printed, returned) == ("EXCEPTION", "p\n", {"r": 1})
    assert "RuntimeError: put refused" in info


@pytest.mark.parametrize("steps, failures, raised", [
    (["pass", "pass"], 2, RuntimeError),  # the failure answer cannot be sent
    (["raise SystemExit(5)", "pass"], 0, SystemExit),
], ids=["failure-put", "SystemExit"])
def test_what_leaves_the_loop(run, steps, failures, raised):
    qi, qo = ScriptedInput(steps), AnswerList(failures)
    with pytest.raises(raised):
        tamsel.tamsel_main(None, qi, qo)
    assert qo.answers == [] and qi.steps == ["pass"]


# --- sigint_handler and clear_queue -----------------------------------------------

def test_sigint_handler_sets_stop(no_stop):
    assert not hasattr(tamsel, "stop")
    assert tamsel.sigint_handler(signal.SIGINT, None) is None
    assert tamsel.stop is True


class CountingQueue:
    def __init__(self, count):
        self.items = list(range(count))
        self.empties = self.gets = 0

    def empty(self):
        self.empties += 1
        return not self.items

    def get(self, *args, **kwargs):
        assert args == () and kwargs == {}
        self.gets += 1
        return self.items.pop(0)


def test_clear_queue_takes_one_item_per_get():
    for count in (0, 3):
        q = CountingQueue(count)
        assert tamsel.clear_queue(q) is None
        assert (q.items, q.gets, q.empties) == ([], count, count + 1)


def in_pipe(q):
    """Bytes the queue's pipe holds: what its feeder thread has written."""
    return struct.unpack("i", fcntl.ioctl(q._reader.fileno(), termios.FIONREAD, b"\0" * 4))[0]


def test_clear_queue_on_a_real_queue():
    q = tamsel.mp.Queue()
    for i in range(3):
        q.put(i)
    # clear_queue stops at the first empty(): every item must be in the
    # pipe first, not only counted by put().
    written = sum(4 + len(ForkingPickler.dumps(i)) for i in range(3))
    assert wait_for(lambda: in_pipe(q) == written)
    tamsel.clear_queue(q)
    assert q.empty()
    q.close()
    q.join_thread()


# --- real worker processes --------------------------------------------------------

def ask(qi, qo, request):
    qi.put(request)
    return qo.get(timeout=WAIT)


def test_worker_serves_a_persistent_namespace_in_order(start_worker):
    qi, qo, _ = start_worker()
    assert ask(qi, qo, "x = 1") == ["SUCCESS", "", "", {}]
    assert ask(qi, qo, ["y = x + 1", {"z": [3]}, "xreturn(y=y, z=z)"]) == \
        ["SUCCESS", "", "", {"y": 2, "z": [3]}]
    assert ask(qi, qo, ("print('to stdout')", "xprint('to answer')")) == \
        ["SUCCESS", "to answer\n", "", {}]
    for i in range(20):
        qi.put(f"xreturn(i={i})")
    assert [qo.get(timeout=WAIT)[3]["i"] for _ in range(20)] == list(range(20))


def test_worker_failure_answer_carries_the_traceback(start_worker):
    qi, qo, proc = start_worker()
    status, printed, info, returned = ask(
        qi, qo, "xprint('before'); xreturn(r=1)\ndef g():\n    raise KeyError('k')\ng()")
    assert (status, printed, returned) == ("EXCEPTION", "before\n", {"r": 1})
    assert info.startswith("Traceback (most recent call last):\n")
    assert first_entry(info).endswith("in vorlen.tamsel.tamsel_main")
    assert 'File "<string>", line 4, in <module>' in info
    assert info.endswith("KeyError: 'k'\n")
    assert ask(qi, qo, "xprint('still here')")[1] == "still here\n"


@pytest.mark.parametrize("name", ["vorlen-test-worker", None])
def test_worker_process_title(start_worker, name):
    qi, qo, _ = start_worker(name)
    answer = ask(qi, qo, "import setproctitle; xreturn(t=setproctitle.getproctitle())")
    expected = name if name is not None else setproctitle.getproctitle()
    assert answer == ["SUCCESS", "", "", {"t": expected}]


def test_sigint_keeps_the_worker_serving_and_sets_stop(start_worker, no_stop):
    qi, qo, proc = start_worker()
    check = "import vorlen.tamsel as t; xreturn(stop=getattr(t, 'stop', 'unset'))"
    assert ask(qi, qo, check)[3] == {"stop": "unset"}  # start-up has finished
    os.kill(proc.pid, signal.SIGINT)
    assert ask(qi, qo, check)[3] == {"stop": True}
    # An interrupt in the middle of a request does not cut it short either.
    answer = ask(qi, qo, "import os, signal\nos.kill(os.getpid(), signal.SIGINT)\n"
                         "xprint('after')")
    assert answer == ["SUCCESS", "after\n", "", {}]
    assert proc.is_alive() and not hasattr(tamsel, "stop")


# --- texts that repeat -------------------------------------------------------

def test_repeated_text_shows_its_compile_warning_every_time_as_exec_does(run):
    text = "flag = 1 is 1"  # compiling this warns
    with warnings.catch_warnings(record=True) as expected:
        warnings.simplefilter("default")
        for _ in range(3):
            exec(text, {}, {})
    with warnings.catch_warnings(record=True) as shown:
        warnings.simplefilter("default")
        answers = run(text, text, text)
    assert [a[0] for a in answers] == ["SUCCESS"] * 3
    assert len(expected) == 3
    assert [str(w.message) for w in shown] == [str(w.message) for w in expected]


def test_repeated_text_fails_with_the_same_traceback(run):
    text = "x = 1\n\ndef f():\n    return 1 / 0\n\nf()"
    first, second = run(text, text)
    assert first[0] == second[0] == "EXCEPTION"
    strip = lambda info: [line for line in info.splitlines() if "<string>" in line]
    assert strip(first[2]) == strip(second[2]) != []


def test_text_that_failed_to_compile_under_an_error_filter_runs_later(run):
    text = "y = 2 is 2"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        failed = run(text)
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("ignore")
        answers = run(text + "\nxreturn(y=y)")
    assert failed[0][0] == "EXCEPTION" and "SyntaxError" in failed[0][2]
    assert answers[0][:2] == ["SUCCESS", ""] and answers[0][3] == {"y": True}


def test_many_distinct_texts_each_run_their_own_code(run):
    texts = [f"xreturn(v={i})" for i in range(600)] * 2
    answers = run(*texts)
    assert [a[3]["v"] for a in answers] == list(range(600)) * 2
