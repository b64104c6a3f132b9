"""ClusterPool against a local CorvanePool on the same input, position by
position, for the requests and answers that Dask alone cannot carry or
that one side cannot unpickle: classes only the caller or only the worker
has, PickleBuffers, shared and large arrays, deep nesting, requests whose
pickling fails. Each gives what the local pool gives, in place, and the
answers after it keep their places."""
import contextlib
import os
import pickle
import sys
import types

import numpy as np
import pytest

from cluster_support import client, cluster, distributed, make_pool  # noqa: F401

import vorlen.corvane as corvane

CLIENT_ONLY = "vorlen_client_only"
# This process; the Dask workers that import this module see it too.
ORIGIN = int(os.environ.setdefault("VORLEN_TEST_ORIGIN", str(os.getpid())))

# An answer holding an object of a class that only the vorlen worker has.
WORKER_ONLY = (
    "import sys, types\n"
    "m = sys.modules.setdefault('vorlen_worker_only', types.ModuleType('vorlen_worker_only'))\n"
    "exec('class Kept:\\n    pass', m.__dict__)\n"
    "m.Kept.__module__ = 'vorlen_worker_only'\n"
    "xreturn(kept=m.Kept())")
GIVE_BACK = "xreturn(kind=type(p).__name__, readonly=memoryview(p).readonly, back=p)"


@contextlib.contextmanager
def client_only_class():
    """A class of a module that only this process has (made after every
    worker started, so none of them has it)."""
    module = types.ModuleType(CLIENT_ONLY)
    exec("class Thing:\n    def __init__(self, v):\n        self.v = v\n", module.__dict__)
    module.Thing.__module__ = CLIENT_ONLY
    sys.modules[CLIENT_ONLY] = module
    try:
        yield module.Thing
    finally:
        del sys.modules[CLIENT_ONLY]


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def batch(thing):
    array = np.arange(40_000, dtype=np.float64)      # large: shared memory locally
    small = np.arange(10)
    return [
        WORKER_ONLY,
        [{"t": thing(1)}, "xreturn(v=t.v)"],
        "xreturn(after=2)",
        [{"p": pickle.PickleBuffer(bytearray(b"abc"))}, GIVE_BACK],
        [{"p": pickle.PickleBuffer(b"xyz")}, GIVE_BACK],
        [{"p": pickle.PickleBuffer(bytearray(300_000))}, GIVE_BACK],
        [{"p": pickle.PickleBuffer(memoryview(bytearray(range(10)))[::2])}, GIVE_BACK],
        [{"x": array, "y": array, "s": small, "t": small},
         "xreturn(same=x is y and s is t, writeable=x.flags.writeable, pair=[x, x])"],
        "import pickle\nxreturn(p=pickle.PickleBuffer(bytearray(b'xyz')), "
        "r=pickle.PickleBuffer(b'ro'))",
        [{"d": nested(600)}, "xreturn(ok=len(d))"],
        "xreturn(last=10)",
    ]


def value(v):
    """What a returned value is, comparable across the two pools."""
    if isinstance(v, pickle.PickleBuffer):
        return ("PickleBuffer", memoryview(v).readonly, bytes(v))
    if isinstance(v, np.ndarray):
        return ("ndarray", str(v.dtype), v.shape, bool(v.flags.writeable), float(v.sum()))
    if isinstance(v, list):
        return ("list", len(v) == 2 and v[0] is v[1], [value(item) for item in v])
    if isinstance(v, (bytes, bytearray)):
        return (type(v).__name__, bytes(v))
    return v


def outcome(source):
    """The next answer of `source`, or the type of what it raised."""
    try:
        answer = source.get()
    except Exception as error:
        return ("raised", type(error).__name__)
    lines = answer[2].strip().splitlines()
    return (answer[0], answer[1], lines[-1] if lines else "",
            {k: value(v) for k, v in answer[3].items()})


def outcomes(pool, thing):
    return [outcome(source) for source in pool.map(batch(thing), block=False)]


def test_every_position_as_locally(make_pool):
    local = corvane.CorvanePool(2, "Same")
    try:
        remote = make_pool(2, "Same")
        with client_only_class() as thing:
            expected = outcomes(local, thing)
            got = outcomes(remote, thing)
    finally:
        local.kill_all()
    assert got == expected
    # Spot checks, so that the comparison is not of two equal mistakes.
    assert got[0] == ("raised", "ModuleNotFoundError")
    assert got[1][0] == "EXCEPTION" and CLIENT_ONLY in got[1][2]
    assert got[2][3] == {"after": 2} and got[-1][3] == {"last": 10}
    assert got[4][3]["back"] == ("PickleBuffer", True, b"xyz")
    assert got[7][3]["same"] is True and got[7][3]["pair"][1] is True
    assert got[9][3] == {"ok": 1}


class Refuses:
    """Pickling it raises `error`."""

    def __init__(self, error):
        self.error = error

    def __reduce__(self):
        raise self.error


@pytest.mark.parametrize("request_", [
    pytest.param(lambda: [{"d": nested(5000)}, "x = 1"], id="too-deep"),
    pytest.param(lambda: [{"r": Refuses(RuntimeError("no"))}, "x = 1"], id="runtime-error"),
    pytest.param(lambda: [{"r": Refuses(RecursionError("no"))}, "x = 1"], id="recursion-error"),
    pytest.param(lambda: [{"f": lambda: 1}, "x = 1"], id="lambda"),
])
def test_a_request_that_does_not_pickle_raises_in_the_caller(make_pool, request_):
    local = corvane.CorvanePool(1, "Refused")
    try:
        with pytest.raises(Exception) as locally:
            local.map([request_()])
    finally:
        local.kill_all()
    pool = make_pool(2, "Refused")
    pool.map(["kept = 1", "kept = 2"])
    with pytest.raises(type(locally.value)):
        pool.map(["x = 0", request_(), "x = 2"])
    # The worker and its namespace stay; the request before it ran.
    assert pool.map(["xreturn(kept=kept, x=x)", "xreturn(kept=kept, x='x' in globals())"]) == [
        ["SUCCESS", "", "", {"kept": 1, "x": 0}], ["SUCCESS", "", "", {"kept": 2, "x": False}]]


class PicklesOnlyAtOrigin:
    """Pickles in this process only: on a Dask worker, sending it on to the
    vorlen worker fails."""

    def __reduce__(self):
        if os.getpid() != ORIGIN:
            raise RuntimeError("pickled away from its origin")
        return (PicklesOnlyAtOrigin, ())


def test_a_request_the_dask_worker_cannot_send_on_raises_in_place(make_pool):
    pool = make_pool(1, "Host")
    pool.map(["kept = 1"])
    streams = pool.map(["xreturn(k=0)", [{"p": PicklesOnlyAtOrigin()}, "xreturn(k=1)"],
                        "xreturn(k=2, kept=kept)"], block=False)
    assert streams[0].get()[3] == {"k": 0}
    with pytest.raises(RuntimeError, match="away from its origin"):
        streams[1].get()
    assert streams[2].get()[3] == {"k": 2, "kept": 1}
