"""Large numpy arrays, bytearrays and PickleBuffers through shared memory, in
requests and in answers: the same arrays arrive (dtype, shape, order, values,
writable), bytearrays and PickleBuffers with their bytes (and read-only
flag), plain readers of
the queue still get them, shared memory that cannot be had falls back to the
pipe, and no descriptor, mapping or file is left behind by any fault.

The threshold is lowered to 4 KiB for this file (VORLEN_SHM_THRESHOLD, read
by the parent at every send and inherited by the workers), so that the
arrays stay small and the tests quick."""
import ctypes
import functools
import gc
import multiprocessing as mp
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import vorlen
import vorlen._sharedmem as sharedmem
import vorlen.corvane as corvane
import vorlen.tamsel as tamsel
from support import (WAIT, descriptors, segment_descriptors, segment_mappings, stop_process,
                     wait_for)
from support import low_threshold  # noqa: F401  (autouse fixture)

SANITIZED = os.environ.get("VORLEN_SANITIZED") == "1"
BIG = 1 << 16  # elements: 512 KiB of float64, well above the threshold


@pytest.fixture(scope="module")
def worker(low_threshold):
    handle = tamsel.Tamsel("shm_worker")
    handle.blocked_put("import numpy as np\nimport pickle")
    yield handle
    stop_process(handle.proc)


def dev_shm_files():
    """Named shared memory: none of ours should ever appear there. (The
    semaphores of multiprocessing, ours and other processes', come and go.)"""
    return {name for name in os.listdir("/dev/shm") if not name.startswith("sem.")}


def shared(array):
    """Whether `array`'s memory is a shared-memory segment."""
    while isinstance(array, np.ndarray):
        array = array.base
    return type(array).__name__ == "SharedMemory"


@pytest.fixture
def nothing_left_behind():
    """Checks at the end of the test that this process holds no segment
    (once the ones no longer needed are closed) and /dev/shm is unchanged."""
    dev_shm = dev_shm_files()
    sharedmem.sweep()  # segments kept for reuse by earlier tests
    yield
    assert wait_for(lambda: (sharedmem.sweep(), sharedmem.outstanding())[1] == 0, 2.0)
    assert segment_descriptors() == []
    assert segment_mappings() == []
    assert dev_shm_files() == dev_shm


def echo(worker, value):
    """Sends `value` in a request and has the worker send it back, with what
    the worker saw of it."""
    answer = worker.blocked_put([{"x": value}, textwrap.dedent("""\
        def seen(v):
            if isinstance(v, np.ndarray):
                base = v
                while isinstance(base, np.ndarray):
                    base = base.base
                return (type(v).__name__, str(v.dtype), v.shape, v.flags.f_contiguous,
                        v.flags.writeable, type(base).__name__)
            return type(v).__name__
        xreturn(x=x, seen=seen(x))
        del globals()["x"]  # so that its segment is released once answered""")])
    assert answer[0] == "SUCCESS", answer[2]
    return answer[3]


def assert_same_array(got, sent):
    assert type(got) is type(sent)
    assert got.dtype == sent.dtype
    # The very type (long long stays long long), and what the dtype carries.
    assert (got.dtype.char, got.dtype.metadata) == (sent.dtype.char, sent.dtype.metadata)
    assert got.shape == sent.shape
    assert got.flags.writeable
    np.testing.assert_array_equal(got, sent)


C_ORDER = np.arange(BIG, dtype=np.float64)
LAYOUTS = {
    "c_order": C_ORDER,
    "fortran": np.asfortranarray(np.arange(BIG, dtype=np.int32).reshape(256, -1)),
    "big_endian": np.arange(BIG, dtype=">f8"),
    "structured": np.zeros(BIG // 4, dtype=[("a", "<i4"), ("b", ">f8", (2,)), ("c", "S3")]),
    "bool_3d": (np.arange(BIG) % 3 == 0).reshape(16, 64, -1),
    "datetime": np.arange(BIG).astype("datetime64[s]"),
    "read_only": np.frombuffer(C_ORDER.tobytes(), dtype=np.float64),
    "long_long": np.arange(BIG, dtype=np.longlong),
    "half_and_complex": np.arange(BIG, dtype=np.float16).astype(np.complex64),
    "with_metadata": np.zeros(BIG, dtype=np.dtype(np.float64, metadata={"unit": "m"})),
}


@pytest.mark.parametrize("name", list(LAYOUTS))
def test_arrays_arrive_equal_writable_and_in_shared_memory_both_ways(worker, name):
    sent = LAYOUTS[name]
    returned = echo(worker, sent)
    got = returned["x"]
    assert_same_array(got, sent)
    assert got.flags.f_contiguous == (sent.flags.f_contiguous and not sent.flags.c_contiguous
                                      or sent.flags.c_contiguous and sent.flags.f_contiguous)
    assert shared(got)
    # The worker got it the same way.
    kind, dtype, shape, fortran, writable, base = returned["seen"]
    assert (kind, dtype, tuple(shape), writable, base) == (
        "ndarray", str(sent.dtype), sent.shape, True, "SharedMemory")
    got[...] = got[::-1].copy() if got.ndim == 1 else got
    np.testing.assert_array_equal(got[::-1] if got.ndim == 1 else got, sent)


@pytest.mark.parametrize("code", ["O", "U", "M", "V", "dd"])
def test_a_reader_refuses_a_dtype_code_that_is_not_a_plain_number(code):
    # Bytes read out of shared memory must never become object pointers.
    with pytest.raises(TypeError):
        sharedmem.open_array((os.getpid(), 0, 0, 0, 0, 1, 8, 8), code, (1,), False, None)


@pytest.mark.parametrize("through_proc", [False, True], ids=["pidfd_getfd", "proc"])
def test_both_ways_of_opening_a_senders_segment(worker, through_proc, nothing_left_behind):
    # pidfd_getfd, and /proc where the kernel refuses it (a Yama ptrace
    # scope keeps children from attaching to their parents).
    # Nothing kept from earlier on either side: both open the other's anew.
    set_way = (f"import vorlen._sharedmem\nvorlen._sharedmem.sweep()\n"
               f"vorlen._sharedmem._fetch_through_proc({through_proc})")
    worker.blocked_put(set_way)
    sharedmem.sweep()
    sharedmem._fetch_through_proc(through_proc)
    try:
        got = echo(worker, C_ORDER)
        assert shared(got["x"]) and got["seen"][-1] == "SharedMemory"
        np.testing.assert_array_equal(got["x"], C_ORDER)
        del got
    finally:
        sharedmem._fetch_through_proc(False)
        worker.blocked_put(set_way.replace("True", "False"))


def test_layouts_that_pickle_as_today(worker):
    strided = np.arange(BIG * 2, dtype=np.float64)[::2]
    zero_d = np.array(3.5)
    objects = np.array([{"a": 1}, None, "s"] * 2000, dtype=object)
    masked = np.ma.masked_array(np.arange(BIG, dtype=np.float64), mask=np.arange(BIG) % 2 == 0)
    for sent in (strided, zero_d, objects):
        got = echo(worker, sent)["x"]
        assert_same_array(got, sent)
        assert got.flags.c_contiguous
    assert shared(echo(worker, strided)["x"])  # as its C-ordered copy
    assert not shared(echo(worker, objects)["x"])
    got = echo(worker, masked)["x"]
    assert type(got) is np.ma.MaskedArray
    np.testing.assert_array_equal(got.mask, masked.mask)
    np.testing.assert_array_equal(got.data, masked.data)


class Tagged(np.ndarray):
    """A subclass that pickles as ndarray does."""


class Understated(np.ndarray):
    """A subclass whose own properties misstate its memory."""

    @property
    def nbytes(self):
        return super().nbytes // 2

    @property
    def flags(self):
        return np.arange(2)[::2].flags  # neither C nor Fortran ordered


class Misdirected(np.ndarray):
    """A subclass whose own buffer is other memory of the same length."""

    def __buffer__(self, flags):
        return memoryview(bytes(self.nbytes))


def test_subclass_nested_and_repeated_arrays(worker):
    tagged = np.arange(BIG, dtype=np.float64).view(Tagged)
    got = echo(worker, tagged)["x"]
    assert_same_array(got, tagged)
    assert shared(got)
    # What is copied is the array's memory, not what its class says of it.
    for misstated in (Understated, Misdirected):
        sent = np.arange(BIG, dtype=np.float64).view(misstated)
        got = echo(worker, sent)["x"]
        assert_same_array(got, sent)
        assert shared(got)

    one = np.arange(BIG, dtype=np.int64)
    other = np.ones((64, 64, 4))
    nested = {"list": [one, {"deep": (other, 1)}], "again": one, "small": np.arange(3)}
    got = echo(worker, nested)["x"]
    assert got["list"][0] is got["again"]  # the same array twice stays one
    assert_same_array(got["list"][0], one)
    assert_same_array(got["list"][1]["deep"][0], other)
    assert_same_array(got["small"], nested["small"])
    assert not shared(got["small"])


def assert_same_plain(got, sent):
    """Equal, with the same types all the way down (and the same sign of 0.0)."""
    assert type(got) is type(sent)
    if isinstance(sent, np.ndarray):
        assert_same_array(got, sent)
    elif isinstance(sent, (list, tuple)):
        assert len(got) == len(sent)
        for g, s in zip(got, sent):
            assert_same_plain(g, s)
    elif isinstance(sent, dict):
        assert list(got) == list(sent)
        for key in sent:
            assert_same_plain(got[key], sent[key])
    elif isinstance(sent, float):
        assert str(got) == str(sent)
    else:
        assert got == sent


SHARED_LIST = [1]
PLAIN_BESIDE_ARRAYS = {
    "ints": [0, 255, 256, 65535, 65536, 2**31 - 1, -1, -2**31, 2**31, -2**31 - 1, 2**63 - 1,
             -2**63, True, False, None],
    "big_ints": [2**63, -2**63 - 1, 2**200],  # beyond 64 bits: the pickler writes them
    "floats": [0.0, -0.0, 1.5, float("inf"), float("-inf"), float("nan"), 5e-324],
    "strings": ["", "a" * 255, "b" * 256, "é😀", "x" * 70000, b"", b"y" * 255, b"z" * 256],
    "surrogate": ["\ud800"],  # no UTF-8: the pickler writes it
    "containers": {(1, 2): [(), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4)], "d": {}, "l": []},
    "deep": [[[[[[[[[[1]]]]]]]]]],
    "shared_list": [SHARED_LIST, SHARED_LIST],  # kept one list: the pickler writes it
    "long_list": list(range(3000)),
    # Left to the pickler: other types, and nesting deeper than is written.
    "other_types": [{1, 2}, frozenset(), np.float64(1.5), 1 + 2j, bytearray(b"x"), range(3)],
    "deeper_than_written": functools.reduce(lambda inner, _: [inner], range(70), 1),
}


@pytest.mark.parametrize("name", list(PLAIN_BESIDE_ARRAYS))
def test_plain_data_beside_arrays_arrives_as_pickled(worker, name):
    plain = PLAIN_BESIDE_ARRAYS[name]
    sent = {"array": C_ORDER, "plain": plain, "nested": [np.arange(BIG, dtype=np.int16)]}
    got = echo(worker, sent)["x"]
    assert_same_plain(got, sent)
    assert shared(got["array"]) and shared(got["nested"][0])
    if name == "shared_list":
        assert got["plain"][0] is got["plain"][1]


def test_a_message_changed_while_written_arrives_whole(worker):
    # A collection started by an allocation while the message is written
    # runs code (here a gc callback) that changes the message: at whichever
    # collection it happens, one whole state of the message arrives.
    for nth in range(1, 40):
        listed = [np.full(BIG, i, dtype=np.float64) if i % 2 == 0 else f"é{i}" for i in range(8)]
        keyed = {"k": np.full(BIG, 9.0)}
        collections = 0

        def change(phase, info):
            nonlocal collections
            collections += phase == "start"
            if phase == "start" and collections == nth:
                del listed[3:]
                keyed["added"] = 1

        before = gc.get_threshold()
        gc.callbacks.append(change)
        gc.set_threshold(1)
        try:
            got = echo(worker, {"listed": listed, "keyed": keyed})["x"]
        finally:
            gc.set_threshold(*before)
            gc.callbacks.remove(change)
        assert len(got["listed"]) in (3, 8) and set(got["keyed"]) in ({"k"}, {"k", "added"})
        for i, item in enumerate(got["listed"]):
            if i % 2:
                assert item == f"é{i}"
            else:
                np.testing.assert_array_equal(item, np.full(BIG, i, dtype=np.float64))
        np.testing.assert_array_equal(got["keyed"]["k"], np.full(BIG, 9.0))


def test_threads_sending_large_arrays_at_once_each_send_theirs(make_handle):
    # One of them copies with the helper thread, the others alone or
    # through the pipe: every array arrives as it was sent.
    handles = [make_handle(f"shm_threads_{i}") for i in range(3)]
    failures = []

    def send(index, handle):
        try:
            handle.blocked_put("import numpy as np")
            for round_ in range(15):
                sent = np.full((1 << 20) // 8, index * 100 + round_, dtype=np.float64)
                np.testing.assert_array_equal(echo(handle, sent)["x"], sent)
        except BaseException as error:  # reported below, from the main thread
            failures.append(error)

    threads = [threading.Thread(target=send, args=(i, h)) for i, h in enumerate(handles)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(WAIT)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []


@pytest.mark.parametrize("nbytes", [(512 << 10) + 1, (1 << 20) + 13, 3 * (1 << 20) + 7,
                                    9 * (1 << 20) - 5])
def test_copies_shared_by_two_threads_arrive_whole_also_in_a_later_child(nbytes):
    # This process copies with its helper thread first; the worker, forked
    # afterwards, has none until it makes its own.
    sent = np.frombuffer(os.urandom(nbytes), dtype=np.uint8)
    before = tamsel.Tamsel("shm_split_before")
    try:
        before.blocked_put("import numpy as np")
        got = echo(before, sent)["x"]
        np.testing.assert_array_equal(got, sent)
        after = tamsel.Tamsel("shm_split_after")
        try:
            after.blocked_put("import numpy as np")
            for _ in range(3):
                got = echo(after, sent)["x"]
                assert shared(got)
                np.testing.assert_array_equal(got, sent)
        finally:
            stop_process(after.proc)
    finally:
        stop_process(before.proc)


@pytest.mark.parametrize("nbytes, rounds", [((300 << 10) + 7, 20), ((1 << 20) + 13, 20),
                                            (3 * (1 << 20) + 5, 20), ((600 << 10) + 3, 1100)])
def test_arrays_arrive_whole_while_the_ways_of_copying_are_measured_and_after(
        worker, nbytes, rounds):
    # The first copies of a size alternate the ways (half of a copy each
    # way, or split and not), the later ones take the faster, and after a
    # thousand or so the ways are measured again: odd sizes leave a tail at
    # every boundary.
    first = np.frombuffer(os.urandom(nbytes), dtype=np.uint8)
    for round_ in range(rounds):
        sent = first + np.uint8(round_ % 256)
        got = echo(worker, sent)["x"]
        assert shared(got)
        np.testing.assert_array_equal(got, sent)


@pytest.mark.parametrize("medium", [(128 << 10) + 3, (256 << 10) - 1])
def test_medium_arrays_after_a_large_one_arrive_whole_both_ways(worker, medium):
    # The first few medium copies after a large one are written around the
    # cache, the later ones through it: each way, odd sizes and all.
    worker.blocked_put("import os")
    large = np.frombuffer(os.urandom(1 << 20), dtype=np.uint8)
    np.testing.assert_array_equal(echo(worker, large)["x"], large)
    for round_ in range(12):
        sent = np.frombuffer(os.urandom(medium), dtype=np.uint8)
        got = echo(worker, sent)["x"]
        assert shared(got)
        np.testing.assert_array_equal(got, sent)


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="one processor: no helper thread")
@pytest.mark.parametrize("one_processor", [False, True])
def test_moving_the_copy_helper_leaves_every_senders_affinity_alone(worker, one_processor):
    # The helper thread is moved off the processor of the thread that copies
    # (its affinity is changed); the sending threads on both sides keep
    # theirs, also one kept to a single processor (which copies alone).
    everywhere = os.sched_getaffinity(0)
    if one_processor:
        os.sched_setaffinity(0, {min(everywhere)})
    try:
        mine = os.sched_getaffinity(0)
        # 1 MiB: split between threads at least in the copies that measure
        # whether splitting pays.
        sent = np.arange(1 << 17, dtype=np.float64)
        worker.blocked_put("import os")
        for _ in range(20):
            got = echo(worker, sent)["x"]
            assert shared(got)
            np.testing.assert_array_equal(got, sent)
        assert os.sched_getaffinity(0) == mine
        assert set(worker.blocked_put("xreturn(a=os.sched_getaffinity(0))")[3]["a"]) == everywhere
    finally:
        os.sched_setaffinity(0, everywhere)


def data_address(array):
    return array.__array_interface__["data"][0]


def test_memory_is_the_arrays_then_reused_then_given_back(worker, nothing_left_behind):
    worker.blocked_put(f"arr = np.arange({BIG}, dtype=np.float64)")
    got = worker.blocked_put("xreturn(a=arr)")[3]["a"]
    address = data_address(got)
    view = got[10:20]
    del got
    assert len(segment_mappings()) == 1
    view[:] = -1  # the view keeps the mapping alive and writable
    assert view.sum() == -10
    del view
    # Kept for the next array of about that size from the same worker: the
    # same pages, mapped once on each side.
    again = worker.blocked_put("xreturn(a=arr)")[3]["a"]
    assert data_address(again) == address and len(segment_mappings()) == 1
    # The worker's array is its own: the reader's writes did not reach it.
    np.testing.assert_array_equal(again, np.arange(BIG))
    del again
    # Not reused: given back on both sides within about a second, with
    # nothing called meanwhile.
    assert wait_for(lambda: not segment_mappings() and
                    not segment_descriptors(worker.proc.pid), 2.0)


def test_plain_queue_get_rebuilds_the_answer(worker, nothing_left_behind):
    worker.qi.put(f"xreturn(a=np.arange({BIG}, dtype=np.float32), b=[1, 2])")
    answer = worker.qo.get(timeout=WAIT)
    assert answer[0] == "SUCCESS"
    assert_same_array(answer[3]["a"], np.arange(BIG, dtype=np.float32))
    assert shared(answer[3]["a"]) and answer[3]["b"] == [1, 2]
    del answer


def test_many_answers_leave_no_descriptor_or_mapping(worker, nothing_left_behind):
    count = 1_000 if SANITIZED else 10_000
    # What the worker kept for reuse from earlier tests is closed first.
    worker.blocked_put("import vorlen._sharedmem\nvorlen._sharedmem.sweep()")
    worker.blocked_put("arr = np.ones(1024, dtype=np.float64)")
    worker.blocked_put("xreturn(a=arr)")  # the worker is known as a sender from now on
    fds_before = len(descriptors())
    total = 0.0
    for _ in range(count):
        total += worker.blocked_put("xreturn(a=arr)")[3]["a"][0]
    assert total == count
    assert len(descriptors()) == fds_before
    # One segment, written again for every answer, is all either side holds.
    assert len(segment_mappings()) == 1
    assert len(segment_descriptors(worker.proc.pid)) == 1
    assert wait_for(lambda: not segment_mappings() and
                    not segment_descriptors(worker.proc.pid), 2.0)


def test_messages_handed_to_the_queues_own_put_keep_their_arrays_shared(
        make_handle, nothing_left_behind):
    handle = make_handle()
    # Once qi's sending thread has run, every later request goes through put().
    handle.qi.put("import numpy as np")
    assert handle.qo.get(timeout=WAIT)[0] == "SUCCESS"
    seen = handle.blocked_put([{"x": C_ORDER}, "xreturn(base=type(x.base).__name__, "
                                                "s=float(x.sum()))\ndel globals()['x']"])
    assert seen[3] == {"base": "SharedMemory", "s": float(C_ORDER.sum())}
    with pytest.raises((pickle.PicklingError, AttributeError)):  # still raised here
        handle.blocked_put([{"x": C_ORDER, "f": lambda: 1}])
    assert handle.blocked_put("xreturn(n=1)")[3] == {"n": 1}


# ---- bytearray and PickleBuffer ---------------------------------------------

DESCRIBE_BUFFERS = """\
def described(v):
    if isinstance(v, pickle.PickleBuffer):
        m = memoryview(v)
        return ("PickleBuffer", m.readonly, type(m.obj).__name__, bytes(m))
    return (type(v).__name__, bytes(v))
"""


def described(value):
    """What the worker's described() says of `value`, for comparing."""
    if isinstance(value, pickle.PickleBuffer):
        view = memoryview(value)
        return ("PickleBuffer", view.readonly, type(view.obj).__name__, view.tobytes())
    return (type(value).__name__, bytes(value))


def buffers():
    """One of each: a bytearray, a writable and a read-only PickleBuffer, and
    a PickleBuffer over a strided view (it travels as its contiguous copy)."""
    return {"bytes": bytearray(os.urandom(BIG)),
            "writable": pickle.PickleBuffer(bytearray(os.urandom(BIG))),
            "readonly": pickle.PickleBuffer(os.urandom(BIG)),
            "strided": pickle.PickleBuffer(memoryview(bytearray(os.urandom(2 * BIG)))[::2])}


def expected(sent, backing="SharedMemory"):
    """described() of what arrives for `sent` when it came through shared
    memory (or, with another `backing`, through the pipe)."""
    if isinstance(sent, bytearray):
        return ("bytearray", bytes(sent))
    view = memoryview(sent)
    if backing != "SharedMemory":
        backing = "bytes" if view.readonly else "bytearray"
    return ("PickleBuffer", view.readonly, backing, view.tobytes())


def test_bytearrays_and_picklebuffers_arrive_both_ways(worker, nothing_left_behind):
    sent = buffers()
    answer = worker.blocked_put([{"x": sent}, DESCRIBE_BUFFERS + textwrap.dedent("""\
        xreturn(seen={k: described(v) for k, v in x.items()}, back=x)
        del globals()["x"]""")])
    assert answer[0] == "SUCCESS", answer[2]
    for name, value in sent.items():
        assert answer[3]["seen"][name] == expected(value), name
        assert described(answer[3]["back"][name]) == expected(value), name
    writable = answer[3]["back"]["writable"]
    memoryview(writable)[:4] = b"abcd"  # writable, over the reader's own mapping
    assert memoryview(writable)[:4] == b"abcd"
    del answer, writable
    assert wait_for(lambda: not segment_mappings(), 2.0)


def test_buffers_nested_repeated_and_in_cycles(worker, nothing_left_behind):
    data, buffer = bytearray(os.urandom(BIG)), pickle.PickleBuffer(bytearray(os.urandom(BIG)))
    cycle = [data]
    cycle.append(cycle)
    message = {"list": [data, (data, {"k": buffer})], "cycle": cycle,
               "sets": ({1, buffer}, frozenset([buffer])), "again": buffer}
    got = worker.blocked_put([{"x": message}, textwrap.dedent("""\
        data = x["list"][0]
        same = (data is x["list"][1][0] is x["cycle"][0] and x["cycle"][1] is x["cycle"]
                and x["again"] is x["list"][1][1]["k"] in x["sets"][0] and
                x["again"] in x["sets"][1])
        xreturn(same=same, back=x)
        del globals()["x"], globals()["data"]""")])[3]
    assert got["same"]
    back = got["back"]
    assert back["list"][0] is back["list"][1][0] is back["cycle"][0] == data
    assert back["cycle"][1] is back["cycle"]
    assert back["again"] is back["list"][1][1]["k"]
    assert back["again"] in back["sets"][0] and back["again"] in back["sets"][1]
    assert described(back["again"]) == expected(buffer)
    del got, back


def test_small_buffers_and_threshold_off_take_the_pipe(worker, make_handle, monkeypatch):
    small = {"bytes": bytearray(b"abc"), "writable": pickle.PickleBuffer(bytearray(b"de")),
             "readonly": pickle.PickleBuffer(b"fg"),
             "strided": pickle.PickleBuffer(memoryview(bytearray(b"hijk"))[::2])}
    monkeypatch.setenv("VORLEN_SHM_THRESHOLD", "off")
    # Below the threshold (the worker's is 4K), and with shared memory off.
    for handle, sent in ((worker, small), (make_handle(), buffers())):
        back = handle.blocked_put([{"x": sent}, "xreturn(x=x)"])[3]["x"]
        for name, value in sent.items():
            assert described(back[name]) == expected(value, backing="pipe"), name
    # (What earlier tests left here for reuse is given back within a second.)
    assert wait_for(lambda: sharedmem.outstanding() == 0, 2.0)


def test_plain_readers_rebuild_buffers(worker, nothing_left_behind):
    make = (f"xreturn(b=bytearray({BIG}), p=pickle.PickleBuffer(bytearray({BIG})), "
            f"r=pickle.PickleBuffer(bytes({BIG})), same=[x := bytearray({BIG}), x])")
    worker.qi.put(make)
    answer = worker.qo.get(timeout=WAIT)
    worker.qi.put(make)
    assert worker.qo._reader.poll(WAIT)
    raw = worker.qo._reader.recv_bytes()  # as get() reads it, unpickled in Python
    worker.qo._sem.release()
    for got in (answer[3], pickle._loads(raw)[3]):
        assert got["b"] == bytearray(BIG)
        assert described(got["p"]) == expected(pickle.PickleBuffer(bytearray(BIG)))
        assert described(got["r"]) == expected(pickle.PickleBuffer(bytes(BIG)))
        assert got["same"][0] is got["same"][1]
    del answer, got


def test_buffers_handed_to_the_queues_own_put(make_handle, nothing_left_behind):
    handle = make_handle()
    handle.qi.put("import pickle")  # from now on every request goes through put()
    assert handle.qo.get(timeout=WAIT)[0] == "SUCCESS"
    sent = buffers()
    seen = handle.blocked_put([{"x": sent}, DESCRIBE_BUFFERS + textwrap.dedent("""\
        xreturn(seen={k: described(v) for k, v in x.items()})
        del globals()["x"]""")])[3]["seen"]
    assert seen == {name: expected(value) for name, value in sent.items()}


def test_buffers_in_a_time_limited_request(worker, nothing_left_behind):
    sent = buffers()
    seen = vorlen.run(worker, [{"x": sent}, DESCRIBE_BUFFERS + textwrap.dedent("""\
        xreturn(seen={k: described(v) for k, v in x.items()})
        del globals()["x"]""")], timeout=WAIT)[3]["seen"]
    assert seen == {name: expected(value) for name, value in sent.items()}


def test_no_room_for_buffers_falls_back_to_the_pipe(make_handle, nothing_left_behind):
    handle = make_handle()
    answer = handle.blocked_put(textwrap.dedent(f"""\
        import pickle, resource
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024, resource.RLIM_INFINITY))
        xreturn(b=bytearray({BIG}), p=pickle.PickleBuffer(bytearray({BIG})))"""))
    assert answer[0] == "SUCCESS", answer[2]
    assert answer[3]["b"] == bytearray(BIG)
    assert described(answer[3]["p"]) == expected(pickle.PickleBuffer(bytearray(BIG)), "pipe")


def test_unpicklable_answer_closes_its_buffer_segments(worker, nothing_left_behind):
    answer = worker.blocked_put(
        f"xreturn(b=bytearray({BIG}), p=pickle.PickleBuffer(bytearray({BIG})), f=lambda: 1)")
    assert answer[0] == "EXCEPTION" and "'f'" in answer[2]
    assert answer[3]["b"] == bytearray(BIG)
    del answer
    assert wait_for(lambda: not segment_descriptors(worker.proc.pid), 3.0)


def test_many_buffer_answers_leave_nothing_behind(worker, nothing_left_behind):
    count = 200 if SANITIZED else 2_000
    worker.blocked_put(f"b = bytearray({BIG})\np = pickle.PickleBuffer(bytearray({BIG}))")
    fds_before = len(descriptors())
    for _ in range(count):
        got = worker.blocked_put("xreturn(b=b, p=p)")[3]
        assert len(got["b"]) == memoryview(got["p"]).nbytes == BIG
    del got
    assert len(descriptors()) <= fds_before + 2  # a pidfd of the worker, the keeper's eventfd
    assert len(segment_mappings()) <= 4  # reused for every answer, not one per answer
    assert wait_for(lambda: not segment_mappings() and
                    not segment_descriptors(worker.proc.pid), 2.0)


# ---- falling back to the pipe ----------------------------------------------

CHILD_CHECK = """\
import os, sys
import vorlen._sharedmem as sharedmem
sys.path[:0] = {path!r}
from support import segment_descriptors, segment_mappings
sharedmem.sweep()  # would hang on a lock the fork copied while held
os._exit(1 if segment_descriptors() or segment_mappings() else 0)
"""


def exit_code_within(pid, timeout):
    """The exit code of child `pid`, or "hung" (it is then killed)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"


@pytest.mark.skipif(SANITIZED, reason="a child forked beside other threads can deadlock in "
                                      "this libasan's allocator")
def test_child_forked_while_segments_are_written_or_closed_holds_none(
        worker, nothing_left_behind):
    # 64 MiB arrays: written (into a new segment, or into a released one
    # through its mapping) with the interpreter lock released, and closed by
    # the closing thread; this thread forks meanwhile.
    big = np.ones(1 << 23)
    done = threading.Event()

    def send():
        try:
            for _ in range(3):
                # The worker lets a request go when it reads the next one.
                worker.blocked_put([{"x": big}, "del globals()['x']"])
                worker.blocked_put("pass")
                worker.blocked_put([{"x": big}, "del globals()['x']"])  # into the released one
                worker.blocked_put("pass")
                sharedmem.sweep()
        finally:
            done.set()

    check = CHILD_CHECK.format(path=sys.path)
    sender = threading.Thread(target=send)
    sender.start()
    statuses = []
    try:
        while not done.is_set():
            pid = os.fork()
            if pid == 0:
                try:
                    exec(check)
                finally:
                    os._exit(2)
            statuses.append(exit_code_within(pid, WAIT))
    finally:
        sender.join(WAIT)
    assert statuses and statuses == [0] * len(statuses)


FORK_AFTER_A_DEAD_READER = """\
import os, signal, time
import numpy as np
import vorlen.corvane as corvane

def process_descriptors():
    found = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            found += "pidfd" in os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            pass
    return found

pool = corvane.CorvanePool(1, "dead_reader")
pool.map(["pass"])
pid, = pool.procs
os.kill(pid, signal.SIGKILL)
time.sleep(0.3)  # dead, not yet reaped: looked at as a reader, no segment made
pool.map([[{"x": np.ones(1 << 12)}, "pass"]], block=False)
child = os.fork()
if child == 0:
    os._exit(process_descriptors())
print(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))
pool.kill_all()
"""


def test_child_forked_after_a_reader_was_looked_at_holds_no_descriptor_of_it():
    # In a fresh process: the first descriptor it opens is a reader's.
    env = dict(os.environ, VORLEN_SHM_THRESHOLD="4K")
    done = subprocess.run([sys.executable, "-c", FORK_AFTER_A_DEAD_READER], env=env,
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0"]


def test_threshold_off_sends_everything_through_the_pipe(make_handle, monkeypatch):
    monkeypatch.setenv("VORLEN_SHM_THRESHOLD", "off")
    handle = make_handle()
    got = handle.blocked_put([{"x": C_ORDER}, "import numpy as np\nxreturn(x=x)"])[3]["x"]
    assert_same_array(got, C_ORDER)
    assert not shared(got)
    # (What earlier tests left here for reuse is given back within a second.)
    assert wait_for(lambda: sharedmem.outstanding() == 0, 2.0)


def test_no_room_for_shared_memory_falls_back_to_the_pipe(make_handle, nothing_left_behind):
    # A file size limit makes every memory file the worker writes too large.
    handle = make_handle()
    answer = handle.blocked_put(textwrap.dedent(f"""\
        import resource, numpy as np
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024, resource.RLIM_INFINITY))
        xreturn(a=np.arange({BIG}, dtype=np.float64))"""))
    assert_same_array(answer[3]["a"], C_ORDER)
    assert not shared(answer[3]["a"])


def test_reader_that_could_not_open_our_segments_gets_the_pipe(make_handle):
    # A process that is not dumpable has its /proc entries owned by root:
    # the worker could not open them, so the request's array takes the pipe.
    libc = ctypes.CDLL(None, use_errno=True)
    handle = make_handle()
    handle.blocked_put("import numpy as np")
    pr_set_dumpable = 4
    assert libc.prctl(pr_set_dumpable, 0, 0, 0, 0) == 0
    try:
        seen = handle.blocked_put([{"x": C_ORDER}, "xreturn(base=type(x.base).__name__)"])
    finally:
        libc.prctl(pr_set_dumpable, 1, 0, 0, 0)
    assert seen[3]["base"] != "SharedMemory"
    assert wait_for(lambda: sharedmem.outstanding() == 0, 2.0)


def test_unpicklable_answer_closes_the_segments_it_made(worker, nothing_left_behind):
    answer = worker.blocked_put(f"xreturn(a=np.arange({BIG}), f=lambda: 1)")
    assert answer[0] == "EXCEPTION" and "'f'" in answer[2]
    assert_same_array(answer[3]["a"], np.arange(BIG))
    del answer
    wait_for(lambda: not segment_descriptors(worker.proc.pid), 3.0)
    assert segment_descriptors(worker.proc.pid) == []


# ---- faults ------------------------------------------------------------------

BUSY = "import time\ntime.sleep(30)"


def test_request_for_a_killed_worker_is_closed(make_handle, nothing_left_behind):
    handle = make_handle()
    pool_like = corvane.CorvanePool(0)
    pool_like.procs = {handle.proc.pid: handle}
    pool_like.map([BUSY], block=False)
    time.sleep(0.2)
    pool_like.map([[{"x": C_ORDER}, "xreturn(n=len(x))"]], block=False)
    assert sharedmem.outstanding() == 1
    pool_like.kill_all()  # the worker dies with the request unread
    handle.proc.join(WAIT)


@pytest.mark.alone  # its bound of a second or two needs the machine to itself
def test_answer_of_a_worker_that_died_before_it_was_read(make_handle, nothing_left_behind):
    handle = make_handle()
    handle.qi.put(f"import numpy as np\nxreturn(a=np.arange({BIG}))")
    assert wait_for(lambda: not handle.qo.empty())
    handle.kill()
    handle.proc.join(WAIT)
    started = time.monotonic()
    # Its memory ended with it: the answer cannot be read, and says why.
    with pytest.raises(vorlen.WorkerDiedError, match="shared memory"):
        corvane.reduce([handle.qo])
    assert time.monotonic() - started < 1.0


@pytest.mark.alone  # its bound of a second or two needs the machine to itself
def test_worker_killed_while_writing_its_answer(make_handle, nothing_left_behind):
    size = 1 << 24  # 128 MiB: long enough to be killed in the middle
    for delay in (0.0, 0.05, 0.15):
        handle = make_handle()
        handle.blocked_put(f"import numpy as np\narr = np.ones({size})")
        handle.qi.put("xreturn(a=arr)")
        time.sleep(delay)
        handle.kill()
        started = time.monotonic()
        try:
            answer, = corvane.reduce([handle.qo])
        except vorlen.WorkerDiedError:
            pass
        else:
            assert answer[3]["a"].shape == (size,)
            del answer
        assert time.monotonic() - started < 1.0
        handle.proc.join(WAIT)


def test_clear_output_and_unread_answers_release_the_workers_memory(make_handle):
    # A worker of its own: the module's keeps the free memory of earlier
    # tests for reuse a while, which would count here.
    worker = make_handle("shm_unread")
    worker.blocked_put("import numpy as np")
    for _ in range(3):
        worker.qi.put(f"xreturn(a=np.arange({BIG}))")
    assert wait_for(lambda: worker.qo.qsize() >= 3)
    assert len(segment_descriptors(worker.proc.pid)) == 3
    worker.clear_output()
    assert wait_for(lambda: segment_descriptors(worker.proc.pid) == [], 3.0)


def test_pools_started_and_killed_with_requests_in_flight(nothing_left_behind):
    rounds, size = (2, 4) if SANITIZED else (5, 16)
    pool = corvane.CorvanePool(size, "shm_pool")
    try:
        for _ in range(rounds):
            pool.map([BUSY] * size, block=False)
            pool.map([[{"x": C_ORDER}, "xreturn(n=len(x))"]] * size, block=False)
            pool.init_process()
        assert pool.map([[{"x": C_ORDER}, "xreturn(n=len(x))"]] * size) == \
            [["SUCCESS", "", "", {"n": BIG}]] * size
    finally:
        pool.kill_all()


PARENT = """\
import os, sys, time
import numpy as np
import vorlen.tamsel as tamsel
handle = tamsel.Tamsel("orphan")
handle.blocked_put("import numpy as np")
handle.qi.put("xreturn(a=np.arange(1 << 16))")
handle.qi.put("xreturn(a=np.arange(1 << 16))")
while handle.qo.qsize() < 2:
    time.sleep(0.01)
print(handle.proc.pid, flush=True)
time.sleep(60)
"""


def test_parent_killed_with_answers_unread():
    dev_shm = dev_shm_files()
    env = dict(os.environ, VORLEN_SHM_THRESHOLD="4K")
    parent = subprocess.Popen([sys.executable, "-c", PARENT], stdout=subprocess.PIPE,
                              env=env, start_new_session=True)
    worker_pid = None
    try:
        worker_pid = int(parent.stdout.readline())
        assert len(segment_descriptors(worker_pid)) == 2
        os.kill(parent.pid, signal.SIGKILL)
        parent.wait(WAIT)
    finally:
        # The worker ends with its parent; if it does not (or the test failed
        # before its pid was known), the whole session is killed here.
        if worker_pid is None or not wait_for(
                lambda: not os.path.exists(f"/proc/{worker_pid}"), 1.5):
            try:
                os.killpg(parent.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass  # the session has ended already
            parent.wait(WAIT)
        parent.stdout.close()
    assert dev_shm_files() == dev_shm


def children_of_this_process():
    """Pids of this process's child processes (of any of its threads)."""
    found = set()
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/children") as f:
                found.update(int(pid) for pid in f.read().split())
        except FileNotFoundError:
            pass
    return found


@pytest.mark.timeout(240)
def test_pool_of_64_started_and_killed_again_and_again(nothing_left_behind):
    # Every fifth round has 2 MiB arrays (closed by the closing thread once
    # released) in flight both ways when the pool is killed: requests waiting
    # behind a busy one, and answers never read.
    rounds, size = (6, 16) if SANITIZED else (25, 64)
    large = np.arange(1 << 18, dtype=np.float64)
    children_before = children_of_this_process()
    fds_before = descriptors().items()
    for round_ in range(rounds):
        pool = corvane.CorvanePool(size, "shm_stress")
        try:
            if round_ % 5 == 0:
                pool.map([["import numpy as np\nxreturn(a=np.ones(1 << 18))"]] * size, block=False)
                pool.map([BUSY] * size, block=False)
                pool.map([[{"x": large}, "xreturn(n=len(x))"]] * size, block=False)
        finally:
            pool.kill_all()
    # Killed workers are reaped (as multiprocessing does) at the next start
    # or here; none may still be running.
    assert wait_for(lambda: (mp.active_children(), children_of_this_process())[1]
                    <= children_before, 5.0)
    assert wait_for(lambda: (sharedmem.sweep(), descriptors().items() <= fds_before)[1], 5.0)
