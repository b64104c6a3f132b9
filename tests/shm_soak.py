"""A soak of the shared-memory path: mixed messages with large arrays,
bytearrays and PickleBuffers both ways, some kept for a while, some sent
through the queues' own put(), some that fail to unpickle on either side,
with forks of the caller holding arrays and workers killed with messages in
flight. Every answer is checked; the caller checks afterwards that nothing
is held. Used by the test suite (bounded) and by `make bench` (longer)."""
import collections
import os
import random
import sys

import numpy as np

import vorlen.tamsel as tamsel

QUEUE_WAIT = 30.0

# A module that only the workers can import (its answers fail to unpickle
# here), and one that only this process can (its requests fail there).
WORKER_ONLY = "vorlen_soak_worker_only"
CALLER_ONLY = "vorlen_soak_caller_only"

SETUP = """\
import numpy as np, pickle, sys
sys.modules.pop({caller!r}, None)
sys.path[:] = [p for p in sys.path if p != {caller_dir!r}]
sys.path.insert(0, {worker_dir!r})
import {worker}
""".format


class Soak:
    """`workers` handles driven at random (seeded) by step()."""

    def __init__(self, seed, directory, workers=3, max_elements=1 << 17):
        self.random = random.Random(seed)
        self.max_elements = max_elements
        self.worker_dir = os.path.join(directory, "worker")
        self.caller_dir = os.path.join(directory, "caller")
        for path, name in ((self.worker_dir, WORKER_ONLY), (self.caller_dir, CALLER_ONLY)):
            os.makedirs(path, exist_ok=True)
            with open(os.path.join(path, f"{name}.py"), "w") as module:
                module.write("class Unknown:\n    pass\n")
        sys.path.insert(0, self.caller_dir)
        self.unknown = __import__(CALLER_ONLY).Unknown
        self.counts = collections.Counter()
        self.held = []
        self.handles = []
        for _ in range(workers):
            self.handles.append(self.start())

    def start(self):
        handle = tamsel.Tamsel("shm_soak")
        setup = SETUP(caller=CALLER_ONLY, caller_dir=self.caller_dir,
                      worker_dir=self.worker_dir, worker=WORKER_ONLY)
        answer = handle.blocked_put(setup)
        assert answer[0] == "SUCCESS", answer
        return handle

    def array(self):
        kind = self.random.choice([np.float64, np.int32, np.uint8])
        count = self.random.randint(1 << 10, self.max_elements)
        return (np.arange(count) % 251).astype(kind)

    def keep(self, value):
        """Keeps what was received for a while (a few steps), or not."""
        if self.random.random() < 0.3:
            self.held.append(value)
        while len(self.held) > 6 or (self.held and self.random.random() < 0.1):
            self.held.pop(self.random.randrange(len(self.held)))

    # ---- the kinds of step ------------------------------------------------

    def request(self, handle):
        sent = self.array()
        answer = handle.blocked_put([{"x": sent},
                                     "xreturn(s=int(x.sum()), back=x[::-1])\ndel globals()['x']"])
        assert answer[0] == "SUCCESS", answer[2]
        assert answer[3]["s"] == int(sent.sum())
        np.testing.assert_array_equal(answer[3]["back"], sent[::-1])
        self.keep(answer[3]["back"])

    def answer(self, handle):
        count = self.random.randint(1 << 10, self.max_elements)
        answer = handle.blocked_put(f"xreturn(a=np.arange({count}) % 7, b=np.ones({count // 2 + 1}))")
        assert answer[0] == "SUCCESS", answer[2]
        assert answer[3]["a"].shape == (count,) and answer[3]["a"][count - 1] == (count - 1) % 7
        self.keep(answer[3]["a"])

    def buffers(self, handle):
        count = self.random.randint(1 << 12, self.max_elements * 4)
        answer = handle.blocked_put(f"xreturn(b=bytearray([7]) * {count}, "
                                    f"p=pickle.PickleBuffer(bytearray({count})))")
        assert answer[0] == "SUCCESS", answer[2]
        assert len(answer[3]["b"]) == count and answer[3]["b"][-1] == 7
        assert memoryview(answer[3]["p"]).nbytes == count
        self.keep(answer[3]["p"])

    def through_put(self, handle):
        sent = self.array()
        handle.qi.put([{"x": sent}, "xreturn(s=int(x.sum()))\ndel globals()['x']"])
        assert handle.qo.get(timeout=QUEUE_WAIT)[3] == {"s": int(sent.sum())}

    def answer_failing_here(self, handle):
        count = self.random.randint(1 << 10, self.max_elements)
        try:
            handle.blocked_put(f"xreturn(a=np.ones({count}), o={WORKER_ONLY}.Unknown(), "
                               f"b=np.ones({count}))")
        except ModuleNotFoundError:
            return
        raise AssertionError("an answer that cannot be unpickled here was")

    def request_failing_there(self, handle):
        answer = handle.blocked_put([{"a": self.array(), "o": self.unknown(),
                                      "b": self.array()}, "pass"])
        assert answer[0] == "EXCEPTION" and "ModuleNotFoundError" in answer[2], answer

    def fork(self, handle):
        expected = [np.array(value, copy=True) for value in self.held
                    if isinstance(value, np.ndarray)]
        pid = os.fork()
        if pid == 0:
            code = 0
            try:
                held = [value for value in self.held if isinstance(value, np.ndarray)]
                code = 0 if all(np.array_equal(a, b) for a, b in zip(held, expected)) else 1
            finally:
                os._exit(code)
        # Meanwhile the caller goes on, dropping what the child holds too.
        self.held.clear()
        self.answer(handle)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0

    def kill(self, handle):
        # An answer left unread and a request left waiting, both with arrays.
        handle.qi.put(f"xreturn(a=np.ones({self.max_elements}))")
        handle.qi.put("import time\ntime.sleep(30)")
        handle.qi.put([{"x": self.array()}, "pass"])
        handle.kill()
        handle.proc.join(QUEUE_WAIT)
        self.handles[self.handles.index(handle)] = self.start()

    STEPS = [(request, 30), (answer, 25), (buffers, 10), (through_put, 10),
             (answer_failing_here, 8), (request_failing_there, 8), (fork, 0.5), (kill, 0.3)]

    def step(self):
        kinds = [kind for kind, _ in self.STEPS]
        weights = [weight for _, weight in self.STEPS]
        kind = self.random.choices(kinds, weights)[0]
        kind(self, self.random.choice(self.handles))
        self.counts[kind.__name__] += 1

    def close(self):
        self.held.clear()
        for handle in self.handles:
            handle.kill()
        for handle in self.handles:
            handle.proc.join(QUEUE_WAIT)
        sys.path.remove(self.caller_dir)
        sys.modules.pop(CALLER_ONLY, None)

