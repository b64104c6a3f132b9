"""Starting a pool of two workers, and what one idle worker holds in memory."""
import multiprocessing
import time

from vorlen.corvane import CorvanePool

import harness
from baselines import EchoWorker, answer

REQUEST = "x = 1"
IDLE_SECONDS = 0.3


def run(ctx):
    repeats = ctx.param("repeats", ctx.pick(7, 3))
    memory = {"corvane": [], "pool": [], "floor": []}

    def started(key, start, worker_pid):
        """One start-up, timed until both workers have answered (in ms); the
        memory of one of them, once idle, is kept aside."""
        def sample():
            with harness.Cleanup() as cleanup:
                seconds, workers = harness.seconds_of(lambda: start(cleanup))
                time.sleep(IDLE_SECONDS)
                memory[key].append(harness.rss_mib(worker_pid(workers)))
            return seconds * 1000
        return sample

    def corvane(cleanup):
        pool = cleanup.corvane(CorvanePool(2, name_pref="BenchStart"))
        if [a[0] for a in pool.map([REQUEST] * 2)] != ["SUCCESS"] * 2:
            raise AssertionError("a new worker did not answer")
        return pool

    def mp_pool(cleanup):
        pool = cleanup.mp_pool(multiprocessing.Pool(2))
        pool.map(answer, [REQUEST] * 2, chunksize=1)
        return pool

    def floor(cleanup):
        workers = [cleanup.echo(EchoWorker()) for _ in range(2)]
        for worker in workers:
            worker.call(REQUEST)
        return workers

    samples = harness.interleaved(ctx, {
        "corvane": started("corvane", corvane, lambda pool: next(iter(pool.procs))),
        "pool": started("pool", mp_pool, lambda pool: pool._pool[0].pid),
        "floor": started("floor", floor, lambda workers: workers[0].proc.pid),
    }, repeats, limit=60, warmup=False)

    ctx.row("corvane", "CorvanePool(2) until both workers answered", "ms",
            samples["corvane"], ref="floor", subject=True)
    ctx.row("pool", "multiprocessing.Pool(2) until a map of 2 returned", "ms",
            samples["pool"], ref="floor")
    ctx.row("floor", "2 raw echo workers until both answered", "ms",
            samples["floor"], ref="floor")
    labels = {"corvane": "CorvanePool worker", "pool": "Pool worker",
              "floor": "raw echo worker"}
    for key, label in labels.items():
        ctx.row(f"rss_{key}", f"idle {label}, resident (VmRSS)", "MiB",
                [rss for rss, _ in memory[key]], ref="rss_floor", subject=key == "corvane")
    for key, label in labels.items():
        ctx.row(f"private_{key}", f"idle {label}, private (USS)", "MiB",
                [private for _, private in memory[key]], ref="private_floor",
                subject=key == "corvane")
    ctx.note("Workers are forked from the benchmark process, so their resident "
             "memory includes pages still shared with it; the private figure is "
             "what each worker adds.")
