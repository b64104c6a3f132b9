"""as_completed against reduce collecting the same answers: the list of a
1,000-request batch over two workers, and 1,000 distinct queues whose
answers are already waiting (where only the collecting is timed)."""
import pickle
import resource
import multiprocessing

import vorlen
import vorlen._liveness as liveness
from vorlen.corvane import CorvanePool, reduce

import harness
from baselines import ANSWER, EchoWorker

PICKLED = pickle.dumps(ANSWER)


def preload(queues):
    """One answer into each queue's pipe, as a worker writes it (no feeder
    thread in this process)."""
    for q in queues:
        q._sem.acquire()
        q._writer.send_bytes(PICKLED)


def run(ctx):
    size = ctx.param("requests", 1000)
    distinct = ctx.param("queues", 1000)
    repeats = ctx.param("repeats", ctx.pick(11, 3))
    batch = ["x = 1"] * size
    # Two descriptors per queue.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < 4 * distinct + 256:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4 * distinct + 256), hard))

    with harness.Cleanup() as cleanup:
        pool = cleanup.corvane(CorvanePool(2, name_pref="BenchCompletion"))
        writer = cleanup.echo(EchoWorker())
        queues = [multiprocessing.Queue() for _ in range(distinct)]
        for q in queues:
            liveness.writers[q] = writer.proc

        def batch_case(collect):
            def sample():
                took, answers = harness.seconds_of(lambda: collect(pool.map(batch, block=False)))
                if len(answers) != size:
                    raise AssertionError(f"{len(answers)} answers")
                return took
            return sample

        def waiting_case(collect):
            def sample():
                preload(queues)
                took, answers = harness.seconds_of(lambda: collect(queues))
                if len(answers) != distinct:
                    raise AssertionError(f"{len(answers)} answers")
                return took
            return sample

        def arrivals(red):
            return list(vorlen.as_completed(red))

        samples = harness.interleaved(ctx, {
            "batch_reduce": batch_case(reduce),
            "batch_as_completed": batch_case(arrivals),
            "waiting_reduce": waiting_case(reduce),
            "waiting_as_completed": waiting_case(arrivals),
        }, repeats, 60)
        for q in queues:
            q.close()

    ctx.row("batch_reduce", f"reduce(pool.map(batch, block=False)), {size} requests, 2 workers",
            "s", samples["batch_reduce"], ref="batch_reduce")
    ctx.row("batch_as_completed", "list(as_completed(...)), same batch", "s",
            samples["batch_as_completed"], ref="batch_reduce", subject=True)
    ctx.paired("batch_ratio", "as_completed ÷ reduce, per round",
               "batch_as_completed", "batch_reduce")
    ctx.row("waiting_reduce", f"reduce of {distinct} queues, answers waiting", "s",
            samples["waiting_reduce"], ref="waiting_reduce")
    ctx.row("waiting_as_completed", "list(as_completed(...)), same queues", "s",
            samples["waiting_as_completed"], ref="waiting_reduce", subject=True)
    ctx.paired("waiting_ratio", "as_completed ÷ reduce, per round",
               "waiting_as_completed", "waiting_reduce")
    ctx.target(f"as_completed ÷ reduce, {size}-request batch",
               ctx.median("batch_ratio"), "<=", 1.05)
    ctx.target(f"as_completed ÷ reduce, {distinct} distinct queues",
               ctx.median("waiting_ratio"), "<=", 1.05)
