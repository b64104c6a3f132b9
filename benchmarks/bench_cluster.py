"""The pool on a Dask cluster (2 local Dask worker processes): the round
trip of one request against a bare Dask actor call, and the throughput of a
batch against ``client.map`` of the same work (a task per request that runs
its text), each measured in the same run."""
from distributed import Client, LocalCluster

from vorlen.cluster import ClusterPool

import harness
from baselines import ANSWER, run_source

REQUEST = "x = 1"


class Echo:
    """A bare Dask actor: answers with what it was sent."""

    def echo(self, w):
        return w

    async def echo_on_loop(self, w):
        return w


def run(ctx):
    calls = ctx.param("calls", ctx.pick(400, 100))
    repeats = ctx.param("repeats", ctx.pick(9, 3))
    size = ctx.param("batch", ctx.pick(20000, 2000))
    batch_repeats = ctx.param("batch_repeats", ctx.pick(2, 1))
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

            def mapped():
                return client.gather(client.map(run_source, requests, pure=False))

            # Warm-ups shorter than a round: client.map of the whole batch
            # takes most of a minute.
            pool.map(requests[:2000])
            client.gather(client.map(run_source, requests[:200], pure=False))
            samples.update(harness.interleaved(ctx, {
                "cluster_batch": rate(lambda: pool.map(requests)),
                "client_map": rate(mapped),
            }, batch_repeats, 150, warmup=False))
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
            samples["cluster_batch"], ref="client_map", subject=True, better="higher")
    ctx.row("client_map", f"client.map of {size} tasks running the same text", "req/s",
            samples["client_map"], ref="client_map", better="higher")
    ctx.paired("batch_ratio", "ClusterPool.map ÷ client.map, per round",
               "cluster_batch", "client_map", better="higher")
    ctx.target("round trip ÷ bare Dask actor call", ctx.median("per_round"), "<=", 1.10)
    ctx.target("batch ÷ client.map", ctx.median("batch_ratio"), ">=", 3.0)
