"""Workers that die and come back: what WorkerDiedError tells of the death,
vorlen.restart with the set-up vorlen.setup recorded, vorlen.supervise, and
vorlen.limit_memory."""
import multiprocessing as mp
import os
import pickle
import signal
import time
import types

import pytest

import vorlen
import vorlen.corvane as corvane
import vorlen.tamsel as tamsel
from vorlen import _control
from corvane_support import FakeHandle, pool_of, reap_workers  # noqa: F401
from support import DEAF, WAIT

SETUP = "state = 'set up'"
LOOK = ("import os, setproctitle\n"
        "xreturn(pid=os.getpid(), title=setproctitle.getproctitle(),"
        " state=globals().get('state'), mine=globals().get('mine'))")
RESIDENT = "import os\nxreturn(rss=int(open('/proc/self/statm').read().split()[1]) * os.sysconf('SC_PAGE_SIZE'))"
EXIT = "import os\nos._exit(3)"
# Memory that stays with the worker: `mb` MiB, every page touched.
HOLD = "held = bytearray({mb} << 20)\nheld[::4096] = b'x' * len(held[::4096])"
GROW = ("import time\nheld = []\nwhile True:\n"
        "    held.append(bytearray(8 << 20))\n    held[-1][::4096] = b'x' * 2048\n"
        "    time.sleep(0.005)")
# Appends its own number to a file (a count of runs that survives its
# worker), then does what follows.
COUNTED = "import os\nos.write(os.open({path!r}, os.O_WRONLY | os.O_APPEND | os.O_CREAT), b'{k} ')\n"

DEATHS = {
    "SIGKILL": ("import os, signal\nos.kill(os.getpid(), signal.SIGKILL)",
                ["killed by signal 9 (SIGKILL)", "vorlen did not send", "out-of-memory"]),
    "os._exit": (EXIT, ["exit code 3"]),
    "segfault": ("import ctypes\nctypes.string_at(0)", ["killed by signal 11 (SIGSEGV)"]),
    "memory limit": (GROW, ["passed its limit of", "vorlen.limit_memory"]),
}


@pytest.fixture
def pool():
    """Three workers, each set up and holding its own value `mine`; every
    worker it has at the end is killed by kill_all, and nothing is left
    running."""
    before = {process.pid for process in mp.active_children()}
    with pool_of(3, "rs") as workers:
        vorlen.setup(workers, SETUP)
        workers.map([[{"mine": i}] for i in range(3)])
        yield workers
        workers.kill_all()
        started = [p for p in mp.active_children() if p.pid not in before]
        for process in started:
            process.join(WAIT)
        assert not [p for p in started if p.is_alive()]


def handles(pool):
    return list(pool.procs.values())


def resident(handle):
    return handle.blocked_put(RESIDENT)[3]["rss"]


def assert_slots(pool, restarted):
    """procs is keyed by its workers' pids in slot order, worker i titled
    rs_i; every worker has its set-up, and those not restarted their own
    value."""
    assert list(pool.procs) == [handle.proc.pid for handle in handles(pool)]
    looks = [answer[3] for answer in vorlen.map(pool, [LOOK] * 3)]
    assert [look["pid"] for look in looks] == list(pool.procs)
    assert [look["title"] for look in looks] == ["rs_0", "rs_1", "rs_2"]
    assert [look["state"] for look in looks] == ["set up"] * 3
    assert [look["mine"] for look in looks] == [None if i in restarted else i for i in range(3)]


@pytest.mark.parametrize("kind", DEATHS)
def test_a_death_names_its_request_and_cause_and_restart_brings_the_worker_back(pool, kind):
    request, words = DEATHS[kind]
    dying = handles(pool)[1]
    if kind == "memory limit":
        limit = resident(dying) + (32 << 20)
        vorlen.limit_memory(dying, limit)
    with pytest.raises(vorlen.WorkerDiedError) as died:
        vorlen.map(pool, ["xreturn(k=0)", request, "xreturn(k=2)"])
    error = died.value
    assert (error.position, error.request, error.positions) == (1, request, [1])
    assert (error.pid, error.name) == (dying.proc.pid, "rs_1")
    assert error.answers[1] is None
    assert all(word in str(error) for word in words), str(error)
    copy = pickle.loads(pickle.dumps(error))
    assert (copy.position, copy.request, copy.cause, copy.name) == \
        (1, request, error.cause, "rs_1")

    fresh = vorlen.restart(pool, 1)
    assert fresh is handles(pool)[1] and fresh.proc.pid != error.pid
    assert_slots(pool, restarted={1})
    if kind == "memory limit":  # the new worker keeps the limit
        assert _control.page_state(fresh.qi)[2] == limit


CALLS = {
    # call(pool, dying handle, batch with the dying request at position 1),
    # and whether the call knows the request itself and its position.
    "blocked_put": (lambda pool, h, batch: h.blocked_put(batch[1]), True, False),
    "vorlen.run with a time limit": (lambda pool, h, batch: vorlen.run(h, batch[1], timeout=WAIT),
                                     True, False),
    "pool.map": (lambda pool, h, batch: pool.map(batch), True, True),
    "reduce": (lambda pool, h, batch: corvane.reduce(pool.map(batch, block=False)), False, True),
    "as_completed": (lambda pool, h, batch: list(vorlen.as_completed(
        pool.map(batch, block=False), timeout=WAIT)), False, True),
    "balanced vorlen.map": (lambda pool, h, batch: vorlen.map(pool, batch, balance=True),
                            True, True),
    # The request running is none of the call's: it was put on qi directly.
    "blocked_put behind another's request": (
        lambda pool, h, batch: (h.qi.put(batch[1]), h.blocked_put(batch[0])), False, False),
}


@pytest.mark.parametrize("call", CALLS)
def test_every_call_names_the_request_the_worker_was_running(pool, call):
    run, knows_request, knows_position = CALLS[call]
    batch = ["xreturn(k=0)", EXIT, "xreturn(k=2)"]
    with pytest.raises(vorlen.WorkerDiedError) as died:
        run(pool, handles(pool)[1], batch)
    error = died.value
    assert error.cause == "exit code 3"
    assert error.request == (EXIT if knows_request else None)
    assert error.position == (1 if knows_position else None)


def test_a_kill_vorlen_sent_is_not_taken_for_the_kernels(make_handle):
    handle = make_handle()
    with pytest.raises(vorlen.WorkerDiedError, match="did not respond") as died:
        vorlen.run(handle, DEAF, timeout=0.2, grace=0.2)
    assert died.value.cause == "killed by signal 9 (SIGKILL)"
    assert died.value.request == DEAF


def test_restart_kills_a_live_worker_and_a_handle_gets_a_new_one(pool, make_handle):
    old = handles(pool)[2]
    vorlen.restart(pool, old)
    assert old.proc.exitcode == -signal.SIGKILL
    os.kill(handles(pool)[0].proc.pid, signal.SIGKILL)
    handles(pool)[0].proc.join(WAIT)
    # Without a worker named, only those that ended are restarted.
    assert vorlen.restart(pool) == [handles(pool)[0]]
    assert_slots(pool, restarted={0, 2})

    solo = make_handle("solo")
    vorlen.setup(solo, "value = 42")
    vorlen.limit_memory(solo, 1 << 30)
    fresh = vorlen.restart(solo)
    try:
        assert not solo.proc.is_alive()
        assert fresh.blocked_put("import setproctitle\n"
                                 "xreturn(value=value, title=setproctitle.getproctitle())")[3] \
            == {"value": 42, "title": "solo"}
        assert _control.page_state(fresh.qi)[2] == 1 << 30
    finally:
        fresh.kill()
        fresh.proc.join(WAIT)


def test_a_set_up_that_fails_keeps_the_slot_and_records_nothing(pool, tmp_path):
    flag = tmp_path / "flag"
    check = f"import os\nassert not os.path.exists({str(flag)!r}), 'flagged'"
    vorlen.setup(pool, check)
    with pytest.raises(vorlen.SetupError) as refused:
        vorlen.setup(pool, "raise ValueError('no')")
    assert [answer[0] for answer in refused.value.answers] == ["EXCEPTION"] * 3
    flag.touch()
    before = handles(pool)[1]
    with pytest.raises(vorlen.SetupError, match="flagged") as failed:
        vorlen.restart(pool, 1)
    assert failed.value.request == check and failed.value.answer[0] == "EXCEPTION"
    assert handles(pool)[1] is before and not before.proc.is_alive()
    flag.unlink()
    vorlen.restart(pool, 1)  # SETUP and check again, not the one that failed
    assert_slots(pool, restarted={1})


def test_supervision_restarts_within_its_budget_then_stops(pool):
    vorlen.supervise(pool, restarts=2, within=60)
    for _ in range(2):
        with pytest.raises(vorlen.WorkerDiedError):
            vorlen.map(pool, ["xreturn(k=0)", EXIT, "xreturn(k=2)"])
        assert_slots(pool, restarted={1})
    with pytest.raises(vorlen.WorkerDiedError) as died:
        vorlen.map(pool, ["xreturn(k=0)", EXIT, "xreturn(k=2)"])
    assert "not restarted" in " ".join(died.value.__notes__)
    handles(pool)[1].proc.join(WAIT)
    assert not handles(pool)[1].proc.is_alive()


def test_the_budget_is_a_span_of_time_that_moves_on(pool):
    vorlen.supervise(pool, restarts=1, within=0.5)
    batch = ["xreturn(k=0)", EXIT, "xreturn(k=2)"]
    with pytest.raises(vorlen.WorkerDiedError):
        vorlen.map(pool, batch)
    with pytest.raises(vorlen.WorkerDiedError) as died:
        vorlen.map(pool, batch)
    assert died.value.__notes__  # the one restart of the span was taken
    vorlen.restart(pool, 1)
    time.sleep(0.6)
    with pytest.raises(vorlen.WorkerDiedError) as died:
        vorlen.map(pool, batch)
    assert not hasattr(died.value, "__notes__")
    assert_slots(pool, restarted={1})


def test_a_failed_set_up_ends_the_batch_that_restarted_the_worker(pool, tmp_path):
    flag = tmp_path / "flag"
    vorlen.setup(pool, f"import os\nassert not os.path.exists({str(flag)!r}), 'flagged'")
    vorlen.supervise(pool)
    flag.touch()
    dying = handles(pool)[1]
    with pytest.raises(vorlen.SetupError, match="flagged") as failed:
        vorlen.map(pool, ["xreturn(k=0)", EXIT, "xreturn(k=2)"])
    assert isinstance(failed.value.__context__, vorlen.WorkerDiedError)
    assert handles(pool)[1] is dying


def test_a_supervised_worker_that_died_idle_is_replaced_by_the_next_batch(pool):
    vorlen.supervise(pool)
    os.kill(handles(pool)[1].proc.pid, signal.SIGKILL)
    handles(pool)[1].proc.join(WAIT)
    assert_slots(pool, restarted={1})  # the batch went through, nothing lost


REPLACED = {
    # The request at position 1 replaces worker 1: by dying, or by passing
    # the memory limit (checked after requests only), which sends its
    # answer and turns the next ones away.
    "death": (EXIT, False),
    "memory limit": (HOLD.format(mb=48) + "\nxreturn(k=1)", True),
}


@pytest.mark.parametrize("balance", [False, True], ids=["by position", "balanced"])
@pytest.mark.parametrize("how", REPLACED)
def test_queued_requests_go_to_the_new_worker_only_if_they_never_started(
        pool, tmp_path, how, balance):
    request, answered = REPLACED[how]
    one = handles(pool)[1]
    if how == "memory limit":
        vorlen.limit_memory(one, resident(one) + (16 << 20), during=False)
    else:
        vorlen.supervise(pool)
    count = tmp_path / "count"
    batch = [COUNTED.format(path=str(count), k=k) + f"xreturn(k={k})" for k in range(9)]
    batch[1] = COUNTED.format(path=str(count), k=1) + request
    try:
        answers = vorlen.map(pool, batch, balance=balance)
        lost = []
    except vorlen.WorkerDiedError as error:
        answers, lost = error.answers, error.positions
    assert sorted(int(k) for k in count.read_text().split()) == list(range(9))  # each once
    assert lost == ([] if answered else [1])
    assert [answer and answer[3] for answer in answers] == \
        [None if k in lost else {"k": k} for k in range(9)]
    if answered:
        assert "is above its limit" in answers[1][1]
    # Replaced before it runs another request: in this batch, or (when the
    # batch needed no more of it, the others having taken what it held) by
    # the next one.
    vorlen.map(pool, ["x = 1"] * 3, balance=balance)
    assert handles(pool)[1] is not one
    assert_slots(pool, restarted={1})


def test_workers_started_by_spawn_are_replaced_the_same_way(monkeypatch, tmp_path):
    # The page (what the worker began, its memory limit) reaches a worker
    # that is not forked through its process object.
    monkeypatch.setattr(tamsel, "mp", mp.get_context("spawn"))
    with pool_of(2, "rs") as pool:
        vorlen.setup(pool, SETUP)
        vorlen.supervise(pool)
        count = tmp_path / "count"
        batch = [COUNTED.format(path=str(count), k=k) + f"xreturn(k={k})" for k in range(4)]
        batch[1] = COUNTED.format(path=str(count), k=1) + EXIT
        with pytest.raises(vorlen.WorkerDiedError) as died:
            vorlen.map(pool, batch)
        assert (died.value.positions, died.value.answers[3][3]) == ([1], {"k": 3})
        assert sorted(int(k) for k in count.read_text().split()) == [0, 1, 2, 3]
        assert [answer[3]["state"] for answer in vorlen.map(pool, [LOOK] * 2)] == ["set up"] * 2


def test_a_handle_above_its_limit_turns_requests_away_until_restarted(make_handle):
    handle = make_handle()
    vorlen.setup(handle, "kept = 1")
    vorlen.limit_memory(handle, resident(handle) + (16 << 20), during=False)
    status, printed, _, _ = handle.blocked_put(HOLD.format(mb=32))
    assert status == "SUCCESS" and "is above its limit" in printed
    status, _, info, _ = vorlen.run(handle, "xreturn(ran=True)")
    assert status == "EXCEPTION" and info.startswith("the request was not run")
    fresh = vorlen.restart(handle)
    try:
        assert fresh.blocked_put("xreturn(kept=kept)")[3] == {"kept": 1}
        # A limit below what the worker already holds: nothing more runs.
        vorlen.limit_memory(fresh, 4096)
        assert fresh.blocked_put("xreturn(ran=True)")[0] == "EXCEPTION"
    finally:
        fresh.kill()
        fresh.proc.join(WAIT)


def test_misuse_is_refused(pool, make_handle):
    other = make_handle()
    foreign = types.SimpleNamespace(procs={1: FakeHandle()}, name_pref="fake")
    for call, error in [
            (lambda: vorlen.restart(pool, 3), IndexError),
            (lambda: vorlen.restart(pool, other), ValueError),
            (lambda: vorlen.restart(pool, "1"), TypeError),
            (lambda: vorlen.restart(other, 0), TypeError),
            (lambda: vorlen.restart(object()), TypeError),
            (lambda: vorlen.restart(foreign, 0), TypeError),
            (lambda: vorlen.setup(foreign, "x = 1"), TypeError),
            (lambda: vorlen.supervise(foreign), TypeError),
            (lambda: vorlen.supervise(pool, restarts=-1), ValueError),
            (lambda: vorlen.supervise(pool, within=0), ValueError),
            (lambda: vorlen.limit_memory(pool, 0), ValueError),
            (lambda: vorlen.limit_memory(pool, 1.5), TypeError),
            (lambda: vorlen.limit_memory(pool, True), TypeError),
            (lambda: vorlen.limit_memory(foreign, 1 << 30), TypeError)]:
        with pytest.raises(error):
            call()
    assert list(pool.procs) == [handle.proc.pid for handle in handles(pool)]
