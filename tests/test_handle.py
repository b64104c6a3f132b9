"""Tamsel, the parent-side handle of one worker process."""
import multiprocessing
import multiprocessing.queues
import os
import time

import pytest
import setproctitle

import vorlen.tamsel as tamsel
from support import WAIT, wait_for_items

pytestmark = pytest.mark.timeout(30)


def test_handle_keeps_only_its_queues_and_process(make_handle):
    h = make_handle("named-worker")
    assert list(vars(h)) == ["qi", "qo", "proc"]
    assert type(h.qi) is multiprocessing.queues.Queue
    assert type(h.qo) is multiprocessing.queues.Queue
    assert h.qi is not h.qo
    assert isinstance(h.proc, multiprocessing.Process)
    assert h.proc.daemon is False
    assert h.proc.name.startswith("Process-")
    assert h.proc.is_alive()


def test_name_becomes_the_worker_title(make_handle):
    ask = "import setproctitle; xreturn(t=setproctitle.getproctitle())"
    assert make_handle("w1").blocked_put(ask)[3] == {"t": "w1"}
    assert make_handle(name="w2").blocked_put(ask)[3] == {"t": "w2"}
    assert make_handle().blocked_put(ask)[3] == {"t": setproctitle.getproctitle()}


def test_worker_started_in_a_fresh_interpreter(make_handle, monkeypatch):
    # A spawned worker finds tamsel_main by importing vorlen.tamsel.
    monkeypatch.setattr(tamsel, "mp", multiprocessing.get_context("spawn"))
    h = make_handle("spawned")
    assert h.blocked_put("import setproctitle; xreturn(t=setproctitle.getproctitle())") == \
        ["SUCCESS", "", "", {"t": "spawned"}]


def test_blocked_put_returns_the_answers_unchanged(handle):
    assert handle.blocked_put("x = 1") == ["SUCCESS", "", "", {}]
    assert handle.blocked_put("xprint(x)") == ["SUCCESS", "1\n", "", {}]
    failure = handle.blocked_put("1/0")
    assert type(failure) is list and failure[0] == "EXCEPTION"
    assert "ZeroDivisionError" in failure[2]
    assert handle.blocked_put(["y = x * 2", {"z": 3}, "xreturn(y=y, z=z)"]) == \
        ["SUCCESS", "", "", {"y": 2, "z": 3}]


def test_leftover_answer_is_returned_until_cleared(handle):
    handle.qi.put("xreturn(which='direct')")
    assert wait_for_items(handle.qo, 1)
    assert handle.blocked_put("xreturn(which='first')")[3] == {"which": "direct"}
    # The answer to 'first' is now the leftover; clear_output discards it.
    assert wait_for_items(handle.qo, 1)
    assert handle.clear_output() is None
    assert handle.qo.empty()
    assert handle.blocked_put("xreturn(which='second')")[3] == {"which": "second"}


def test_clear_output_leaves_pending_requests_alone(handle):
    assert handle.clear_output() is None  # nothing waiting: returns at once
    handle.qi.put("import time; time.sleep(0.3); xreturn(late=1)")
    handle.clear_output()
    assert handle.qo.get(timeout=WAIT)[3] == {"late": 1}


def test_kill_ends_the_worker_and_leaves_the_handle_as_it_was(handle):
    before = dict(vars(handle))
    assert handle.kill() is None
    handle.proc.join(WAIT)
    assert handle.proc.exitcode == -9
    assert vars(handle) == before
    assert handle.kill() is None  # already ended: nothing happens
    assert handle.clear_output() is None


def test_half_built_handle_keeps_what_was_made(monkeypatch):
    class Unstartable(multiprocessing.Process):
        def start(self):
            raise OSError("cannot start")

    fake_mp = type("FakeMp", (), {"Queue": staticmethod(multiprocessing.Queue),
                                  "Process": Unstartable})
    monkeypatch.setattr(tamsel, "mp", fake_mp)
    bare = tamsel.Tamsel.__new__(tamsel.Tamsel)
    with pytest.raises(OSError, match="cannot start"):
        bare.__init__("x")
    assert list(vars(bare)) == ["qi", "qo", "proc"]
    assert bare.proc._args == ("x", bare.qi, bare.qo)


def test_argument_errors_start_and_send_nothing():
    before = multiprocessing.active_children()
    bare = tamsel.Tamsel.__new__(tamsel.Tamsel)
    put_count = "blocked_put() takes exactly 2 positional arguments (1 given)"
    cases = [
        (lambda: bare.blocked_put(), put_count),
        (lambda: bare.blocked_put(bogus=1), put_count),  # the missing w comes first
        (lambda: bare.blocked_put("pass", bogus=1),
         "blocked_put() got an unexpected keyword argument 'bogus'"),
        (lambda: bare.kill(1), "kill() takes exactly 1 positional argument (2 given)"),
        (lambda: bare.clear_output(1),
         "clear_output() takes exactly 1 positional argument (2 given)"),
        (lambda: tamsel.Tamsel.__init__(),
         "__init__() takes at least 1 positional argument (0 given)"),
        (lambda: tamsel.Tamsel("a", "b"),
         "__init__() takes at most 2 positional arguments (3 given)"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert vars(bare) == {}
    assert multiprocessing.active_children() == before


def test_idle_workers_do_not_keep_looking_for_requests(make_handle):
    # A wait looks for its message for a while before it sleeps; once the
    # requests stop, the workers must fall asleep, not spin on.
    handles = [make_handle(f"idle{i}") for i in range(2)]
    for _ in range(200):
        for h in handles:
            h.blocked_put("x = 1")
    before = [cpu_seconds(h.proc.pid) for h in handles]
    time.sleep(1.0)
    used = [cpu_seconds(h.proc.pid) - b for h, b in zip(handles, before)]
    assert max(used) < 0.05, used


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
