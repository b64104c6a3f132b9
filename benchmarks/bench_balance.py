"""Uneven batches: a batch of heavy-tailed durations over two workers,
dealt to the first free worker and by position, against the standard pools
and the ideal; and trivial requests, where the dealing costs most."""
import math
import multiprocessing
import random
from concurrent.futures import ProcessPoolExecutor

import vorlen
import vorlen._balance as balance
from vorlen.corvane import CorvanePool

import harness
from baselines import run_source

SEED = 16
MEDIAN = 0.002   # seconds
SIGMA = 0.6      # of the lognormal body
LONG_SHARE = 0.02          # this share of the requests takes 50-100 medians
WORKERS = 2
BUSY = ("import time\n_end = time.perf_counter() + {seconds!r}\n"
        "while time.perf_counter() < _end:\n    pass\n")


def durations(count):
    """Lognormal around MEDIAN, and a few requests 50 to 100 times longer,
    at random positions; the same every run."""
    rng = random.Random(SEED)
    result = [MEDIAN * math.exp(rng.gauss(0.0, SIGMA)) for _ in range(count)]
    for position in rng.sample(range(count), max(1, round(count * LONG_SHARE))):
        result[position] = MEDIAN * rng.uniform(50, 100)
    return result


def first_free_makespan(seconds, workers):
    """The makespan of dealing in order to the first free worker with no
    cost at all: the best a dealer that does not know durations can do."""
    free_at = [0.0] * workers
    for d in seconds:
        soonest = min(range(workers), key=free_at.__getitem__)
        free_at[soonest] += d
    return max(free_at)


def with_fixed(limit, fn):
    def run():
        balance.FIXED_IN_FLIGHT = limit
        try:
            return fn()
        finally:
            balance.FIXED_IN_FLIGHT = 0
    return run


def run(ctx):
    count = ctx.param("requests", 400)
    repeats = ctx.param("repeats", ctx.pick(5, 2))
    trivial = ctx.param("trivial_requests", ctx.pick(10000, 4000))
    trivial_repeats = ctx.param("trivial_repeats", ctx.pick(9, 3))
    ctx.param("seed", SEED)
    seconds = durations(count)
    requests = [BUSY.format(seconds=d) for d in seconds]
    ideal = sum(seconds) / WORKERS
    greedy = first_free_makespan(seconds, WORKERS)
    limit = 30 + sum(seconds) * 3

    with harness.Cleanup() as cleanup:
        pool = cleanup.corvane(CorvanePool(WORKERS, name_pref="BenchBalance"))
        mp_pool = cleanup.mp_pool(multiprocessing.Pool(WORKERS))
        executor = cleanup.executor(ProcessPoolExecutor(WORKERS))

        def makespan(fn):
            def sample():
                took, answers = harness.seconds_of(fn)
                if len(answers) != count or answers[-1][0] != "SUCCESS":
                    raise AssertionError(f"{len(answers)} answers, last {answers[-1]!r}")
                return took
            return sample

        samples = harness.interleaved(ctx, {
            "balanced": makespan(lambda: vorlen.map(pool, requests, balance=True)),
            "balanced_1": makespan(with_fixed(1, lambda: vorlen.map(pool, requests, balance=True))),
            "balanced_2": makespan(with_fixed(2, lambda: vorlen.map(pool, requests, balance=True))),
            "corvane": makespan(lambda: pool.map(requests)),
            "pool_map_1": makespan(lambda: mp_pool.map(run_source, requests, chunksize=1)),
            "executor": makespan(lambda: list(executor.map(run_source, requests))),
        }, repeats, limit)

        trivial_batch = ["x = 1"] * trivial

        def rate(fn):
            def sample():
                took, answers = harness.seconds_of(fn)
                if len(answers) != trivial:
                    raise AssertionError(f"{len(answers)} answers")
                return trivial / took
            return sample

        rates = harness.interleaved(ctx, {
            "trivial_balanced": rate(lambda: vorlen.map(pool, trivial_batch, balance=True)),
            "trivial_corvane": rate(lambda: pool.map(trivial_batch)),
        }, trivial_repeats, 30 + trivial * 0.002)

    ctx.row("ideal", "ideal: total work ÷ 2", "s", [ideal], ref="ideal")
    ctx.row("greedy", "first free worker, no overhead (simulated)", "s", [greedy], ref="ideal")
    ctx.row("balanced", "vorlen.map(balance=True)", "s", samples["balanced"], ref="ideal",
            subject=True)
    ctx.row("balanced_1", "  the same, 1 in flight per worker", "s", samples["balanced_1"],
            ref="ideal")
    ctx.row("balanced_2", "  the same, 2 in flight per worker", "s", samples["balanced_2"],
            ref="ideal")
    ctx.row("corvane", "CorvanePool.map (by position)", "s", samples["corvane"], ref="ideal")
    ctx.row("pool_map_1", "Pool.map(chunksize=1)", "s", samples["pool_map_1"], ref="ideal")
    ctx.row("executor", "ProcessPoolExecutor.map", "s", samples["executor"], ref="ideal")
    ctx.paired("vs_pool", "balanced ÷ Pool.map(chunksize=1), per round",
               "balanced", "pool_map_1")
    ctx.row("trivial_corvane", f"CorvanePool.map, {trivial} trivial requests", "req/s",
            rates["trivial_corvane"], ref="trivial_corvane", better="higher")
    ctx.row("trivial_balanced", "vorlen.map(balance=True), same batch", "req/s",
            rates["trivial_balanced"], ref="trivial_corvane", subject=True, better="higher")
    ctx.paired("trivial_ratio", "balanced ÷ CorvanePool.map throughput, per round",
               "trivial_balanced", "trivial_corvane", better="higher")
    ctx.target("balanced makespan ÷ ideal", ctx.median("balanced") / ideal, "<=", 1.03)
    ctx.target("balanced ÷ Pool.map(chunksize=1)", ctx.median("vs_pool"), "<=", 0.98)
    ctx.target("trivial: balanced ÷ CorvanePool.map throughput",
               ctx.median("trivial_ratio"), ">=", 0.8)
    ctx.note(f"{count} busy-loop requests, {sum(seconds):.2f} s of work in all, "
             f"longest {max(seconds) * 1000:.0f} ms; seed {SEED}")
