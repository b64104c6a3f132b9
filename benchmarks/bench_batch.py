"""A large batch of trivial requests over two workers."""
import multiprocessing
from concurrent.futures import ProcessPoolExecutor

from vorlen.corvane import CorvanePool

import harness
from baselines import ANSWER, EchoWorker, answer, pipelined

REQUEST = "x = 1"


def run(ctx):
    size = ctx.param("requests", ctx.pick(20000, 4000))
    repeats = ctx.param("repeats", ctx.pick(7, 3))
    requests = [REQUEST] * size
    limit = 30 + size * 0.002

    with harness.Cleanup() as cleanup:
        pool = cleanup.corvane(CorvanePool(2, name_pref="BenchBatch"))
        mp_pool = cleanup.mp_pool(multiprocessing.Pool(2))
        executor = cleanup.executor(ProcessPoolExecutor(2))
        echoes = [cleanup.echo(EchoWorker()) for _ in range(2)]

        def rate(fn):
            def sample():
                seconds, answers = harness.seconds_of(fn)
                if len(answers) != size or answers[-1] != ANSWER:
                    raise AssertionError(f"{len(answers)} answers, last {answers[-1]!r}")
                return size / seconds
            return sample

        samples = harness.interleaved(ctx, {
            "corvane": rate(lambda: pool.map(requests, block=True)),
            "pool_map_1": rate(lambda: mp_pool.map(answer, requests, chunksize=1)),
            "pool_map": rate(lambda: mp_pool.map(answer, requests)),
            "executor": rate(lambda: list(executor.map(answer, requests))),
            "floor": rate(lambda: pipelined(echoes, requests)),
        }, repeats, limit)

    def row(key, label, subject=False):
        ctx.row(key, label, "req/s", samples[key], ref="floor", subject=subject,
                better="higher")

    row("corvane", "CorvanePool(2).map", subject=True)
    row("pool_map_1", "Pool(2).map, chunksize=1")
    row("pool_map", "Pool(2).map, default chunksize")
    row("executor", "ProcessPoolExecutor(2).map")
    row("floor", "raw pipelined queues, 2 echo workers")
    ctx.paired("vs_pool", "CorvanePool ÷ Pool.map(chunksize=1), per round",
               "corvane", "pool_map_1", better="higher")
    ctx.paired("vs_executor", "CorvanePool ÷ ProcessPoolExecutor.map, per round",
               "corvane", "executor", better="higher")
    ctx.target("batch ÷ Pool.map(chunksize=1)", ctx.median("vs_pool"), ">=", 1.0)
    ctx.target("batch ÷ ProcessPoolExecutor.map", ctx.median("vs_executor"), ">=", 1.0)
