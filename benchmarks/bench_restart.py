"""Getting a worker back: vorlen.restart of one worker with its set-up
against a fresh pool of one plus its first batch, and what supervision adds
to a request."""
import os
import signal

import vorlen
from vorlen.corvane import CorvanePool

import harness

SETUP = "import numpy"
REQUEST = "x = 1"


def run(ctx):
    repeats = ctx.param("repeats", ctx.pick(15, 5))
    # Supervision adds nothing to a request's path: what a comparison of the
    # two shows is the machine's noise, which more rounds average out.
    request_repeats = ctx.param("request_repeats", ctx.pick(31, 7))
    calls = ctx.param("calls", ctx.pick(2000, 300))
    limit = 30 + calls * 0.01

    with harness.Cleanup() as cleanup:
        restarted = cleanup.corvane(CorvanePool(1, name_pref="BenchRestart"))
        vorlen.setup(restarted, SETUP)

        def restart_dead_ms():
            """The worker has died (killed and reaped beforehand): its restart."""
            handle = next(iter(restarted.procs.values()))
            os.kill(handle.proc.pid, signal.SIGKILL)
            handle.proc.join(10)
            seconds, _ = harness.seconds_of(lambda: vorlen.restart(restarted, 0))
            return seconds * 1000

        def restart_live_ms():
            """The worker is alive: the restart kills and reaps it first."""
            seconds, _ = harness.seconds_of(lambda: vorlen.restart(restarted, 0))
            return seconds * 1000

        def fresh_ms():
            """A new pool of one, until its first batch (the set-up) answered."""
            def start():
                pool = cleanup.corvane(CorvanePool(1, name_pref="BenchFresh"))
                if pool.map([SETUP])[0][0] != "SUCCESS":
                    raise AssertionError("the new worker did not answer")
                return pool
            seconds, pool = harness.seconds_of(start)
            harness.stop_corvane(pool)
            return seconds * 1000

        starts = harness.interleaved(ctx, {"dead": restart_dead_ms, "live": restart_live_ms,
                                           "fresh": fresh_ms}, repeats, limit)

        plain = cleanup.corvane(CorvanePool(2, name_pref="BenchPlain"))
        supervised = cleanup.corvane(CorvanePool(2, name_pref="BenchSupervised"))
        vorlen.supervise(supervised)
        batch = [REQUEST] * 2
        requests = harness.interleaved(ctx, {
            key: (lambda pool=pool: harness.per_call_us(lambda b: vorlen.map(pool, b), batch,
                                                        calls))
            for key, pool in (("plain", plain), ("supervised", supervised))}, request_repeats,
            limit)

    ctx.row("dead", f'vorlen.restart of a dead worker, set-up "{SETUP}"', "ms",
            starts["dead"], ref="fresh", subject=True)
    ctx.row("live", f'vorlen.restart of a live worker, set-up "{SETUP}"', "ms",
            starts["live"], ref="fresh")
    ctx.row("fresh", f'CorvanePool(1) and its first map(["{SETUP}"])', "ms",
            starts["fresh"], ref="fresh")
    ctx.row("plain", f'vorlen.map(pool, ["{REQUEST}"] * 2)', "µs/call", requests["plain"],
            ref="plain")
    ctx.row("supervised", f'vorlen.map(pool, ["{REQUEST}"] * 2), pool supervised', "µs/call",
            requests["supervised"], ref="plain", subject=True)
    ctx.paired("restart_ratio", "restart of a dead worker ÷ fresh pool, per round", "dead",
               "fresh")
    ctx.paired("supervised_ratio", "supervised ÷ plain, per round", "supervised", "plain")
    ctx.target("restart ÷ fresh pool and first map", ctx.median("restart_ratio"), "<=", 1.0)
    ctx.target("supervised ÷ unsupervised request", ctx.median("supervised_ratio"), "<=", 1.02)
