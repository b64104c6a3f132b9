"""vorlen.worker and vorlen.pool: a started handle or pool for a `with`
block, whose workers are killed and reaped when the block is left, by an
exception or not."""
import contextlib

import pytest

import vorlen
import vorlen.corvane as corvane
import vorlen.tamsel as tamsel
from corvane_support import TITLE_REQUEST, reap_workers, wait_dead  # noqa: F401


class Boom(Exception):
    pass


def leave(raising):
    """What ends the block: nothing, or an exception that must come out of
    the `with` unchanged."""
    return pytest.raises(Boom) if raising else contextlib.nullcontext()


def assert_reaped(processes):
    for process in processes:
        assert not process.is_alive()
        assert process.exitcode is not None  # reaped, not a zombie


@pytest.mark.parametrize("raising", [False, True])
def test_worker_is_started_then_ended(raising):
    with leave(raising):
        with vorlen.worker("ctx_worker") as w:
            assert type(w) is tamsel.Tamsel
            process = w.proc
            assert w.blocked_put(TITLE_REQUEST)[3] == {"title": "ctx_worker"}
            if raising:
                raise Boom
    assert_reaped([process])


@pytest.mark.parametrize("raising", [False, True])
def test_pool_is_started_then_ended(raising):
    with leave(raising):
        with vorlen.pool(2, name_pref="ctx_pool") as p:
            assert type(p) is corvane.CorvanePool
            assert p.map([TITLE_REQUEST] * 2) == [
                ["SUCCESS", "", "", {"title": f"ctx_pool_{i}"}] for i in range(2)]
            first = [h.proc for h in p.procs.values()]
            p.N = 1
            p.init_process()  # the workers it has when the block ends are the ones ended
            current = [h.proc for h in p.procs.values()]
            if raising:
                raise Boom
    assert p.procs == {}
    assert_reaped(current)
    # The workers init_process replaced were killed by it, not awaited.
    assert wait_dead(first)


def test_defaults_and_a_pool_that_cannot_start():
    with vorlen.worker() as w, vorlen.pool(1) as p:
        assert w.blocked_put("xreturn(k=1)")[3] == {"k": 1}
        assert list(p.procs.values())[0].blocked_put(TITLE_REQUEST)[3] == {
            "title": "CorvaneingPool_0"}
    # The constructor's own error, before any block runs.
    with pytest.raises(TypeError):
        with vorlen.pool("two"):
            pytest.fail("the block ran")
