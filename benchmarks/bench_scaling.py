"""A CPU-bound batch on one worker and on two."""
import multiprocessing
import time

from vorlen.corvane import CorvanePool

import harness
from baselines import run_source

SOURCE = "s = 0\nfor i in range({loops}):\n    s += i * i % 7\n"


def loops_for(seconds):
    """The loop count that makes one request take about `seconds` here,
    executed the way a worker executes it (module-level code)."""
    loops = 20000
    while True:
        code = compile(SOURCE.format(loops=loops), "<calibration>", "exec")
        start = time.perf_counter()
        exec(code, {}, {})
        took = time.perf_counter() - start
        if took > seconds / 4:
            return max(1, round(loops * seconds / took))
        loops *= 4


def run(ctx):
    task_ms = ctx.param("task_ms", ctx.pick(20, 10))
    size = ctx.param("requests", ctx.pick(40, 16))
    repeats = ctx.param("repeats", ctx.pick(7, 3))
    loops = ctx.param("loops", loops_for(task_ms / 1000))
    requests = [SOURCE.format(loops=loops)] * size
    limit = 30 + size * task_ms / 1000 * 5

    with harness.Cleanup() as cleanup:
        pools = {n: cleanup.corvane(CorvanePool(n, name_pref=f"BenchScale{n}"))
                 for n in (1, 2)}
        # The same batch on the stock pool shows what the machine allows now.
        stock = {n: cleanup.mp_pool(multiprocessing.Pool(n)) for n in (1, 2)}

        # What the workers got of the machine during each batch: the CPU
        # time they used, and the time they were ready but had no CPU.
        usage = {n: [] for n in pools}

        def batch(n, pool):
            def sample():
                pids = list(pool.procs)
                before = harness.sched_seconds(pids)
                seconds, answers = harness.seconds_of(lambda: pool.map(requests))
                after = harness.sched_seconds(pids)
                if [a[0] for a in answers] != ["SUCCESS"] * size:
                    raise AssertionError(f"unexpected answers {answers[:2]!r}")
                ran = [b[0] - a[0] for a, b in zip(before, after)]
                waited = sum(b[1] - a[1] for a, b in zip(before, after))
                usage[n].append((sum(ran), waited, seconds, max(ran) / max(min(ran), 1e-9)))
                return seconds
            return sample

        def stock_batch(pool):
            def sample():
                seconds, _ = harness.seconds_of(
                    lambda: pool.map(run_source, requests, chunksize=1))
                return seconds
            return sample

        cases = {f"workers_{n}": batch(n, pool) for n, pool in pools.items()}
        cases.update({f"stock_{n}": stock_batch(pool) for n, pool in stock.items()})
        samples = harness.interleaved(ctx, cases, repeats, limit)

    ctx.row("workers_1", f"CorvanePool(1).map, {size} × ~{task_ms} ms", "s/batch",
            samples["workers_1"], ref="workers_1")
    ctx.row("workers_2", f"CorvanePool(2).map, {size} × ~{task_ms} ms", "s/batch",
            samples["workers_2"], ref="workers_1", subject=True)
    ctx.row("stock_1", "multiprocessing.Pool(1).map, same batch", "s/batch",
            samples["stock_1"], ref="stock_1")
    ctx.row("stock_2", "multiprocessing.Pool(2).map, same batch", "s/batch",
            samples["stock_2"], ref="stock_1")
    ctx.paired("speedup", "speed-up, 1 worker ÷ 2 workers, per round",
               "workers_1", "workers_2", better="higher")
    ctx.paired("stock_speedup", "multiprocessing.Pool speed-up, per round",
               "stock_1", "stock_2", better="higher")
    ctx.target("speed-up with 2 workers", ctx.median("speedup"), ">=", 1.8)
    for n in pools:
        workers = "1 worker" if n == 1 else f"{n} workers"
        measured = usage[n][1:]  # without the warm-up batch
        ctx.row(f"cpu_{n}", f"{workers}: CPUs in use (CPU s ÷ wall s)", "CPUs",
                [ran / wall for ran, _, wall, _ in measured], derived=True,
                better="higher")
        ctx.row(f"wait_{n}", f"{workers}: waiting for a CPU (s ÷ wall s)", "CPUs",
                [waited / wall for _, waited, wall, _ in measured], derived=True)
        ctx.row(f"per_request_{n}", f"{workers}: CPU time per request", "ms",
                [ran / size * 1000 for ran, _, _, _ in measured], derived=True)
    ctx.row("imbalance", "2 workers: busiest ÷ least busy worker's CPU time", "×",
            [spread for _, _, _, spread in usage[2][1:]], derived=True)
    ctx.note("speed-up ≈ (CPUs in use with 2 ÷ with 1) × (CPU time per request "
             "with 1 ÷ with 2). Much waiting for a CPU means other work on the "
             "machine took the CPUs; CPU time per request growing with 2 workers "
             "means the CPUs are slower when both are busy. Requests are dealt "
             "round-robin, so a worker whose CPU runs slower (busiest ÷ least "
             "busy above 1) holds up the batch; the stock pool hands out work "
             "as workers free up. Its speed-up, measured in the same rounds, is "
             "what the machine allowed.")
