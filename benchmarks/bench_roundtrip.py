"""One small request to one worker and its answer, call after call."""
import multiprocessing
from concurrent.futures import ProcessPoolExecutor

from vorlen.tamsel import Tamsel

import harness
from baselines import ANSWER, EchoWorker, answer

REQUEST = "x = 1"


def run(ctx):
    calls = ctx.param("calls", ctx.pick(2000, 300))
    repeats = ctx.param("repeats", ctx.pick(11, 3))
    limit = 20 + calls * 0.01

    with harness.Cleanup() as cleanup:
        handle = cleanup.tamsel(Tamsel("BenchRoundTrip"))
        echo = cleanup.echo(EchoWorker())
        pool = cleanup.mp_pool(multiprocessing.Pool(1))
        executor = cleanup.executor(ProcessPoolExecutor(1))

        first = handle.blocked_put(REQUEST)
        if first != ANSWER:
            raise AssertionError(f"unexpected answer {first!r}")

        def apply(request):
            return pool.apply(answer, (request,))

        def submit(request):
            return executor.submit(answer, request).result()

        cases = {
            "tamsel": handle.blocked_put,
            "floor": echo.call,
            "pool_apply": apply,
            "executor": submit,
        }
        samples = harness.interleaved(
            ctx, {key: (lambda fn=fn: harness.per_call_us(fn, REQUEST, calls))
                  for key, fn in cases.items()},
            repeats, limit)

    ctx.row("tamsel", f'Tamsel.blocked_put("{REQUEST}")', "µs/call",
            samples["tamsel"], ref="floor", subject=True)
    ctx.row("floor", "raw 2-queue ping-pong, get(timeout=0.1)", "µs/call",
            samples["floor"], ref="floor")
    ctx.row("pool_apply", "multiprocessing.Pool(1).apply", "µs/call",
            samples["pool_apply"], ref="floor")
    ctx.row("executor", "ProcessPoolExecutor(1).submit().result()", "µs/call",
            samples["executor"], ref="floor")
    ctx.paired("per_round", "Tamsel ÷ raw floor, per round", "tamsel", "floor")
    ctx.target("round trip ÷ raw queue floor", ctx.median("per_round"), "<=", 1.10)
