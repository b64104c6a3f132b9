"""Stopping a running request: how soon its answer comes after
vorlen.interrupt, and what vorlen.run costs over blocked_put."""
import time

import vorlen
from vorlen.tamsel import Tamsel

import harness

REQUEST = "x = 1"
BUSY = "while True: pass"
INTERRUPTED = "KeyboardInterrupt: the request was interrupted"


def interrupt_latency_ms(handle, settle):
    """Milliseconds from vorlen.interrupt to the answer of a busy loop."""
    handle.qi.put(BUSY)
    time.sleep(settle)          # let the worker get into the loop
    start = harness.perf_counter()
    vorlen.interrupt(handle)
    answer = handle.qo.get()
    elapsed = harness.perf_counter() - start
    if not answer[2].rstrip().endswith(INTERRUPTED):
        raise AssertionError(f"unexpected answer {answer!r}")
    return elapsed * 1e3


def run(ctx):
    stops = ctx.param("interrupts", ctx.pick(60, 15))
    calls = ctx.param("calls", ctx.pick(2000, 300))
    repeats = ctx.param("repeats", ctx.pick(11, 3))
    settle = ctx.param("settle_s", 0.02)
    limit = 20 + calls * 0.01

    with harness.Cleanup() as cleanup:
        looping = cleanup.tamsel(Tamsel("BenchInterrupt"))
        handle = cleanup.tamsel(Tamsel("BenchRun"))
        for worker in (looping, handle):
            if worker.blocked_put(REQUEST)[0] != "SUCCESS":
                raise AssertionError("worker did not answer")

        latencies = []
        for i in range(stops):
            ctx.progress(f"interrupt {i + 1}/{stops}")
            with harness.deadline(10, "interrupt of a busy loop"):
                latencies.append(interrupt_latency_ms(looping, settle))

        def untimed(request):
            return vorlen.run(handle, request)

        def timed(request):
            return vorlen.run(handle, request, timeout=60)

        cases = {"blocked_put": handle.blocked_put, "run": untimed, "run_timed": timed}
        samples = harness.interleaved(
            ctx, {key: (lambda fn=fn: harness.per_call_us(fn, REQUEST, calls))
                  for key, fn in cases.items()},
            repeats, limit)

    ctx.row("latency", "vorlen.interrupt → answer of a busy loop", "ms", latencies,
            subject=True)
    ctx.row("blocked_put", f'Tamsel.blocked_put("{REQUEST}")', "µs/call",
            samples["blocked_put"], ref="blocked_put")
    ctx.row("run", f'vorlen.run(h, "{REQUEST}")', "µs/call", samples["run"],
            ref="blocked_put", subject=True)
    ctx.row("run_timed", f'vorlen.run(h, "{REQUEST}", timeout=60)', "µs/call",
            samples["run_timed"], ref="blocked_put")
    ctx.paired("run_ratio", "run ÷ blocked_put, per round", "run", "blocked_put")
    ctx.paired("timed_ratio", "run with a limit ÷ blocked_put, per round",
               "run_timed", "blocked_put")
    ctx.target("interrupt → answer, median ms", ctx.median("latency"), "<=", 20.0)
    ctx.target("run ÷ blocked_put", ctx.median("run_ratio"), "<=", 1.05)
