"""The pool on a Dask cluster (2 local Dask worker processes): the round
trip of one request and the throughput of a batch, each against bare Dask
actor calls measured in the same run."""
from distributed import Client, LocalCluster

from vorlen.cluster import ClusterPool

import harness
from baselines import ANSWER

REQUEST = "x = 1"


class Echo:
    """A bare Dask actor: answers with what it was sent."""

    def echo(self, w):
        return w

    async def echo_on_loop(self, w):
        return w


def batch_of(calls):
    """Issues every call before waiting for any, as ClusterPool.map does."""
    def run():
        futures = [call() for call in calls]
        return [future.result() for future in futures]
    return run


def run(ctx):
    calls = ctx.param("calls", ctx.pick(400, 100))
    repeats = ctx.param("repeats", ctx.pick(9, 3))
    size = ctx.param("batch", 2000)
    batch_repeats = ctx.param("batch_repeats", ctx.pick(5, 2))
    limit = 30 + calls * 0.01

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                           dashboard_address="127.0.0.1:0")
    client = Client(cluster)
    try:
        pool = ClusterPool(client, 2, name_pref="BenchCluster")
        try:
            handles = list(pool.procs.values())
            echoes = [client.submit(Echo, actor=True, workers=[handle.address]).result()
                      for handle in handles]
            first = handles[0].blocked_put(REQUEST)
            if first != ANSWER:
                raise AssertionError(f"unexpected answer {first!r}")

            samples = harness.interleaved(ctx, {
                "cluster": lambda: harness.per_call_us(handles[0].blocked_put, REQUEST, calls),
                "actor": lambda: harness.per_call_us(
                    lambda w: echoes[0].echo(w).result(), REQUEST, calls),
                "actor_loop": lambda: harness.per_call_us(
                    lambda w: echoes[0].echo_on_loop(w).result(), REQUEST, calls),
            }, repeats, limit)

            def rate(fn):
                def sample():
                    seconds, answers = harness.seconds_of(fn)
                    if len(answers) != size:
                        raise AssertionError(f"{len(answers)} answers of {size}")
                    return size / seconds
                return sample

            requests = [REQUEST] * size
            bare = [(lambda echo=echoes[k % 2]: echo.echo(REQUEST)) for k in range(size)]
            samples.update(harness.interleaved(ctx, {
                "cluster_batch": rate(lambda: pool.map(requests)),
                "actor_batch": rate(batch_of(bare)),
            }, batch_repeats, 60 + size * 0.02))
        finally:
            pool.kill_all()
    finally:
        client.close()
        cluster.close()

    ctx.row("cluster", f'ClusterPool handle blocked_put("{REQUEST}")', "µs/call",
            samples["cluster"], ref="actor", subject=True)
    ctx.row("actor", "bare Dask actor call (method in the actor's thread)", "µs/call",
            samples["actor"], ref="actor")
    ctx.row("actor_loop", "bare Dask actor call (async method, on the event loop)",
            "µs/call", samples["actor_loop"], ref="actor")
    ctx.paired("per_round", "ClusterPool ÷ bare actor call, per round", "cluster", "actor")
    ctx.row("cluster_batch", f"ClusterPool(2).map of {size} requests", "req/s",
            samples["cluster_batch"], ref="actor_batch", subject=True, better="higher")
    ctx.row("actor_batch", f"{size} bare actor calls over 2 Dask workers", "req/s",
            samples["actor_batch"], ref="actor_batch", better="higher")
    ctx.paired("batch_ratio", "ClusterPool.map ÷ bare actor calls, per round",
               "cluster_batch", "actor_batch", better="higher")
    ctx.target("round trip ÷ bare Dask actor call", ctx.median("per_round"), "<=", 1.10)
