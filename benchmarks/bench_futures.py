"""vorlen.submit: the round trip of one request through a future (waited
for with result(), and awaited in an asyncio event loop) against
blocked_put, and the throughput of many submitted trivial requests over a
pool of 2 against ProcessPoolExecutor(2).submit; with asyncio's own way of
awaiting a blocking call (blocked_put in a thread of an executor), asyncio's
own hand-off (a future resolved by another thread, no worker: what any
answer read outside the loop's thread costs at least) and a Dask actor's
await round trip beside them (the latter when Dask is installed)."""
import asyncio
import queue
import threading
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import vorlen
from vorlen.corvane import CorvanePool
from vorlen.tamsel import Tamsel

import harness
from baselines import ANSWER, answer

REQUEST = "x = 1"


class Echo:
    """A bare Dask actor whose method runs on the Dask worker's event loop."""

    async def echo(self, w):
        return w


def awaited_us(loop, call, calls):
    """Mean time of one `await call()` in the running loop, in µs."""
    async def many():
        start = harness.perf_counter()
        for _ in range(calls):
            await call()
        return (harness.perf_counter() - start) / calls * 1e6

    with harness.gc_paused():
        return loop.run_until_complete(many())


def handed_over(loop, cleanup):
    """`await` of a future that another thread resolves through
    call_soon_threadsafe, the only way into a running loop from another
    thread: asyncio's own cost of an answer read outside the loop's thread,
    with no worker at all."""
    inbox = queue.SimpleQueue()

    def resolver():
        while (future := inbox.get()) is not None:
            loop.call_soon_threadsafe(future.set_result, None)

    thread = threading.Thread(target=resolver, daemon=True)
    thread.start()
    cleanup.callback(lambda: (inbox.put(None), thread.join(10)))

    def call():
        future = loop.create_future()
        inbox.put(future)
        return future
    return call


def throughput(submit, size):
    """Requests per second of `size` submitted requests, all submitted
    before any answer is waited for."""
    def sample():
        def run():
            futures = [submit() for _ in range(size)]
            return [future.result() for future in futures]
        took, answers = harness.seconds_of(run)
        if answers[-1] != ANSWER:
            raise AssertionError(f"unexpected answer {answers[-1]!r}")
        return size / took
    return sample


def dask_actor(ctx, loop, cleanup):
    """`await` of a Dask actor's method (a cluster of one local worker), or
    None without Dask."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        ctx.note("no actor system installed: the await round trip is compared with "
                 "blocked_put only")
        return None
    cluster = LocalCluster(n_workers=1, threads_per_worker=1, host="127.0.0.1",
                           dashboard_address="127.0.0.1:0")
    cleanup.callback(cluster.close)

    async def connect():
        client = await Client(cluster.scheduler_address, asynchronous=True)
        actor = await client.submit(Echo, actor=True)
        return client, actor

    client, actor = loop.run_until_complete(connect())
    cleanup.callback(lambda: loop.run_until_complete(client.close()))
    return lambda: actor.echo(REQUEST)


def run(ctx):
    calls = ctx.param("calls", ctx.pick(2000, 300))
    repeats = ctx.param("repeats", ctx.pick(11, 3))
    size = ctx.param("requests", ctx.pick(20000, 5000))
    rounds = ctx.param("throughput_repeats", ctx.pick(5, 2))
    limit = 30 + calls * 0.02

    loop = asyncio.new_event_loop()
    with harness.Cleanup() as cleanup:
        cleanup.callback(loop.close)
        handle = cleanup.tamsel(Tamsel("BenchFutures"))
        pool = cleanup.corvane(CorvanePool(2, name_pref="BenchFuturesPool"))
        executor = cleanup.executor(ProcessPoolExecutor(2))
        if handle.blocked_put(REQUEST) != ANSWER:
            raise AssertionError("unexpected answer")
        actor_await = dask_actor(ctx, loop, cleanup)

        handoff = handed_over(loop, cleanup)
        threads = ThreadPoolExecutor(1)
        cleanup.callback(threads.shutdown)
        cases = {
            "blocked_put": lambda: harness.per_call_us(handle.blocked_put, REQUEST, calls),
            "in_thread": lambda: awaited_us(
                loop, lambda: loop.run_in_executor(threads, handle.blocked_put, REQUEST), calls),
            "result": lambda: harness.per_call_us(
                lambda w: vorlen.submit(handle, w).result(), REQUEST, calls),
            "await": lambda: awaited_us(loop, lambda: vorlen.submit(handle, REQUEST), calls),
            "handoff": lambda: awaited_us(loop, handoff, calls),
        }
        if actor_await is not None:
            cases["actor_await"] = lambda: awaited_us(loop, actor_await, calls // 4)
        samples = harness.interleaved(ctx, cases, repeats, limit)

        rates = harness.interleaved(ctx, {
            "submitted": throughput(lambda: vorlen.submit(pool, REQUEST), size),
            "executor": throughput(lambda: executor.submit(answer, REQUEST), size),
        }, rounds, 60 + size * 0.001)

    ctx.row("blocked_put", f'Tamsel.blocked_put("{REQUEST}")', "µs/call",
            samples["blocked_put"], ref="blocked_put")
    ctx.row("result", "vorlen.submit(handle, w).result()", "µs/call", samples["result"],
            ref="blocked_put", subject=True)
    ctx.row("await", "await vorlen.submit(handle, w)", "µs/call", samples["await"],
            ref="blocked_put", subject=True)
    ctx.row("in_thread", "await loop.run_in_executor(thread, blocked_put, w)", "µs/call",
            samples["in_thread"], ref="blocked_put")
    ctx.row("handoff", "await of a future another thread resolves (asyncio alone, no worker)",
            "µs/call", samples["handoff"], ref="blocked_put")
    ctx.paired("result_ratio", "submit().result() ÷ blocked_put, per round", "result",
               "blocked_put")
    ctx.paired("await_ratio", "await submit() ÷ blocked_put, per round", "await",
               "blocked_put")
    ctx.paired("handoff_ratio", "await submit() ÷ asyncio's own hand-off, per round", "await",
               "handoff")
    ctx.target("submit().result() ÷ blocked_put", ctx.median("result_ratio"), "<=", 1.2)
    ctx.target("await submit() ÷ blocked_put", ctx.median("await_ratio"), "<=", 1.5)
    if actor_await is not None:
        ctx.row("actor_await", "await of a Dask actor's method (1 local Dask worker)",
                "µs/call", samples["actor_await"], ref="blocked_put")
        ctx.paired("actor_ratio", "await submit() ÷ await Dask actor, per round", "await",
                   "actor_await")
        ctx.target("await submit() ÷ await Dask actor", ctx.median("actor_ratio"), "<=", 1.0)

    ctx.row("submitted", f"{size} vorlen.submit(pool of 2), then every result()", "req/s",
            rates["submitted"], ref="executor", subject=True, better="higher")
    ctx.row("executor", f"{size} ProcessPoolExecutor(2).submit, then every result()",
            "req/s", rates["executor"], ref="executor", better="higher")
    ctx.paired("rate_ratio", "submitted ÷ ProcessPoolExecutor, per round", "submitted",
               "executor", better="higher")
    ctx.target("submit throughput ÷ ProcessPoolExecutor", ctx.median("rate_ratio"), ">=", 2.0)
