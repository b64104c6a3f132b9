"""A tour of vorlen: one named worker, a pool spread over the CPUs, the shared
pool that survives re-running set-up code, and a worker that dies.

Run it with `make demo`. Every worker it starts is killed before it exits.
"""
from __future__ import annotations

import multiprocessing as mp
import os
import time
import types
from typing import TYPE_CHECKING

import vorlen
import vorlen.corvane as corvane
import vorlen.tamsel as tamsel

if TYPE_CHECKING:
    from vorlen import Answer

WAIT = 10.0  # upper bound for the one wait below that is not an answer


def heading(title: str) -> None:
    print(f"\n=== {title} ===")


def show(label: str, answer: Answer) -> None:
    status, printed, error, returned = answer
    print(f"{label}: {status}  returned={returned}")
    for line in printed.splitlines():
        print(f"    | {line}")
    if error:
        # The last line of the traceback names the exception.
        print(f"    ! {error.strip().splitlines()[-1]}")


def process_title(pid: int | None) -> str:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode().strip()
    except OSError:
        return "?"


def named_worker() -> None:
    heading("(a) one named worker: Tamsel('demo_worker')")
    worker = tamsel.Tamsel("demo_worker")
    try:
        # Names bound by one request stay in the worker's namespace.
        show("set up", worker.blocked_put("import numpy as np\ntotal = 0"))
        print(f"worker pid {worker.proc.pid}, process title {process_title(worker.proc.pid)!r}")
        for step in (1, 2, 3):
            answer = worker.blocked_put(
                f"total += {step}\nxprint(f'added {step}, total is now {{total}}')")
            show(f"request {step}", answer)

        # A request can be a list: source texts run in order, dicts are
        # merged into the namespace first.
        answer = worker.blocked_put([
            {"values": [3.0, 4.0, 12.0]},
            "norm = float(np.linalg.norm(values))",
            "xprint(f'norm of {values} = {norm}')\nxreturn(norm=norm, total=total)",
        ])
        show("list request", answer)
        print(f"    xreturn values as Python objects: norm={answer[3]['norm']!r}")

        # A failing request comes back as an "EXCEPTION" answer with what it
        # printed before the error and the full traceback; nothing is raised here.
        status, printed, error, returned = worker.blocked_put(
            "xprint('about to divide')\nxreturn(partial=total)\nratio = total / 0")
        print(f"failing request: {status}, printed {printed!r}, returned {returned}")
        print("    traceback:")
        for line in error.rstrip().splitlines():
            print(f"      {line}")
        show("the worker goes on", worker.blocked_put("xreturn(total=total, ratio_defined='ratio' in globals())"))

        # Built-in print writes to the worker's own standard output, not to the answer.
        print("built-in print in the worker:")
        show("built-in print", worker.blocked_put("print('    (written by the worker process to its stdout)', flush=True)"))

        # An answer left unread (here: a request put on qi directly) would be
        # returned by the next blocked_put. clear_output discards it.
        worker.qi.put("xreturn(stale=True)")
        deadline = time.monotonic() + WAIT
        while worker.qo.empty() and time.monotonic() < deadline:
            time.sleep(0.01)
        print(f"an unread answer is waiting: {not worker.qo.empty()}")
        worker.clear_output()
        show("after clear_output", worker.blocked_put("xreturn(fresh=True)"))
    finally:
        worker.kill()
    worker.proc.join(WAIT)
    print(f"killed: alive={worker.proc.is_alive()}, exit code {worker.proc.exitcode}")


# Sent once to every worker of the pool: a random generator seeded per
# worker and the function the batch requests call.
POOL_SETUP = """
import os
import numpy as np
rng = np.random.default_rng(1000 + worker_index)

def estimate_pi(samples):
    points = rng.random((samples, 2))
    inside = int(np.count_nonzero((points ** 2).sum(axis=1) <= 1.0))
    return 4.0 * inside / samples

xreturn(pid=os.getpid())
"""


def pool_batch() -> None:
    n = os.cpu_count() or 1
    heading(f"(b) a batch over CorvanePool({n})")
    pool = corvane.CorvanePool(n)
    try:
        print(f"workers (pid -> handle order): {list(pool.procs)}")

        # Request k goes to worker k mod n, so a batch of n requests reaches
        # each worker exactly once: the way to set state up on every worker.
        setup = pool.map([[{"worker_index": i}, POOL_SETUP] for i in range(n)])
        print(f"set up on pids {[answer[3]['pid'] for answer in setup]}")

        # Twelve estimates of pi, one of them with an invalid sample count.
        sizes = [1_000_000] * 12
        sizes[5] = -1
        requests = [f"xreturn(pi=estimate_pi({s}), pid=os.getpid())" for s in sizes]
        started = time.perf_counter()
        answers = pool.map(requests)
        elapsed = time.perf_counter() - started
        print(f"{len(answers)} answers in request order ({elapsed:.2f} s):")
        estimates = []
        for k, (status, _, error, returned) in enumerate(answers):
            if status == "SUCCESS":
                estimates.append(returned["pi"])
                print(f"  request {k:2d}  pid {returned['pid']}  pi ~ {returned['pi']:.5f}")
            else:
                print(f"  request {k:2d}  {status}: {error.strip().splitlines()[-1]}")
        print(f"mean of {len(estimates)} estimates: {sum(estimates) / len(estimates):.5f}")

        # Non-blocking: map returns one output queue per request at once; the
        # parent works meanwhile and collects the answers later with reduce.
        queues = pool.map(
            [f"m = rng.standard_normal(({d}, {d}))\n"
             f"xreturn(d={d}, top=float(np.abs(np.linalg.eigvals(m)).max()))"
             for d in (100, 200, 300, 400)],
            block=False)
        print(f"map(block=False) returned {len(queues)} queues; the parent goes on meanwhile")
        local = sum(i * i for i in range(100_000))
        answers = corvane.reduce(queues)
        for status, _, _, returned in answers:
            print(f"  {status}: largest |eigenvalue| of a {returned['d']}x{returned['d']} "
                  f"random matrix = {returned['top']:.2f}")
        print(f"  (computed in the parent meanwhile: {local})")
    finally:
        pool.kill_all()
    print("pool workers killed")


# Stands in for a module or notebook whose set-up code runs again and again;
# the shared pool lives on it as the attribute CNR.
holder = types.SimpleNamespace()


def setup_cell(n: int) -> corvane.CorvanePool:
    corvane.CorvaneNoRep.set(holder)
    pool = corvane.CorvaneNoRep.init_process(n)
    if pool is None:  # the first call builds the pool and stores it on the holder
        pool = holder.CNR
        assert isinstance(pool, corvane.CorvanePool)
    return pool


def shared_pool() -> None:
    heading("(c) the shared pool: CorvaneNoRep")
    try:
        first = setup_cell(2)
        print(f"first run:  pids {list(first.procs)}  worker processes running: {len(mp.active_children())}")
        for run in (2, 3):
            pool = setup_cell(2)
            print(f"run {run}:      pids {list(pool.procs)}  same pool: {pool is first}  "
                  f"worker processes running: {len(mp.active_children())}")
            answers = pool.map(["import os\nxreturn(pid=os.getpid())"] * 2)
            print(f"            answered by {[a[3]['pid'] for a in answers]}")
        resized = setup_cell(3)
        print(f"asked for 3: pids {list(resized.procs)}  same pool: {resized is first} "
              "(workers restarted)")
    finally:
        shared = getattr(holder, "CNR", None)
        if shared is not None:
            shared.kill_all()
    print("shared pool's workers killed")


def dying_worker() -> None:
    heading("(d) a worker that dies while its caller waits")
    worker = tamsel.Tamsel("demo_doomed")
    try:
        worker.blocked_put("import os")
        worker.blocked_put("os._exit(7)")
    except vorlen.WorkerDiedError as e:
        print(f"WorkerDiedError: {e} (pid={e.pid}, exitcode={e.exitcode})")
    finally:
        worker.kill()


def main() -> None:
    started = time.perf_counter()
    named_worker()
    pool_batch()
    shared_pool()
    dying_worker()
    print(f"\ndone in {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
