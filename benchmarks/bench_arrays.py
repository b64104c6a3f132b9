"""Large float64 arrays handed back by a worker and sent in requests: through
shared memory, through the pipe (VORLEN_SHM_THRESHOLD=off), through a raw
multiprocessing.Queue echo, and one in-process arr.copy() of the same array.

Shared memory is forced for every size (VORLEN_SHM_THRESHOLD=1), so that
both ways are measured also below the default threshold: where they cross
is where the default threshold comes from.

bytearrays of 8 MB and more handed back by a worker are timed through
shared memory and through the pipe (the reader copies them out of the
shared memory once).

Small messages that hold a numpy array (pickled by the pickler that looks
for large arrays) are timed with the default threshold and with shared
memory off, in the same rounds: the cost of looking."""
import contextlib
import os

import numpy

from vorlen.tamsel import Tamsel

import harness
from baselines import ANSWER, EchoWorker

MB = 1_000_000
OFF = "VORLEN_SHM_THRESHOLD"


def label_of(size):
    return f"{size // MB} MB" if size >= MB else f"{size // 1000} kB"


@contextlib.contextmanager
def threshold(value):
    before = os.environ.get(OFF)
    os.environ[OFF] = value
    try:
        yield
    finally:
        if before is None:
            del os.environ[OFF]
        else:
            os.environ[OFF] = before


class WithThreshold:
    """The calls of one case made with the given threshold here (the worker
    it talks to was started with the same)."""

    def __init__(self, value, call):
        self.value = value
        self.call = call

    def __call__(self, request):
        with threshold(self.value):
            return self.call(request)


def run(ctx):
    sizes = ctx.param("sizes_bytes", ctx.pick([64_000, 256_000, MB, 8 * MB, 200 * MB],
                                              [256_000, MB, 8 * MB, 64 * MB]))
    repeats = ctx.param("repeats", ctx.pick(7, 3))
    limit = 60

    arrays = {size: numpy.arange(size // 8, dtype=numpy.float64) for size in sizes}
    with harness.Cleanup() as cleanup:
        with threshold("1"):
            shared = cleanup.tamsel(Tamsel("BenchArraysShared"))
        with threshold("off"):
            piped = cleanup.tamsel(Tamsel("BenchArraysPipe"))
        # Small messages each to a worker of their own: a worker whose answer
        # queue has used its sending thread (after a large answer through the
        # pipe) answers everything through it.
        default = cleanup.tamsel(Tamsel("BenchArraysDefault"))
        with threshold("off"):
            small_piped = cleanup.tamsel(Tamsel("BenchArraysSmallPipe"))
        byte_sizes = [size for size in sizes if size >= 8 * MB]
        setup = "import numpy as np\n" + "".join(
            f"a{size} = np.arange({size // 8}, dtype=np.float64)\n" for size in sizes) + "".join(
            f"b{size} = bytearray(a{size}.tobytes())\n" for size in byte_sizes)
        for handle in (shared, piped, default, small_piped):
            with harness.deadline(limit, "array set-up request"):
                status = handle.blocked_put(setup)
            if status[0] != "SUCCESS":
                raise AssertionError(f"set-up request answered {status}")

        cases = {}
        for size in sizes:
            array = arrays[size]
            calls = max(1, min(200, 20 * MB // size))
            answer_back = ["SUCCESS", "", "", {"a": array}]
            echo_answer = cleanup.echo(EchoWorker(answer_back))
            echo_request = cleanup.echo(EchoWorker(ANSWER))

            def timed(call, request, check, calls=calls):
                def sample():
                    with harness.gc_paused():
                        start = harness.perf_counter()
                        for _ in range(calls):
                            check(call(request))
                        return (harness.perf_counter() - start) / calls * 1000
                return sample

            def returned(answer, size=size):
                if answer[3]["a"].nbytes != size:
                    raise AssertionError(f"unexpected answer {str(answer)[:200]}")

            def small(answer):
                if answer[0] != "SUCCESS":
                    raise AssertionError(f"unexpected answer {str(answer)[:200]}")

            answer_request = f"xreturn(a=a{size})"
            sent_request = [{"d": array}, "xreturn(n=1)"]
            to_shared = WithThreshold("1", shared.blocked_put)
            to_piped = WithThreshold("off", piped.blocked_put)
            cases[f"answer_{size}"] = timed(to_shared, answer_request, returned)
            cases[f"answer_pipe_{size}"] = timed(to_piped, answer_request, returned)
            cases[f"answer_raw_{size}"] = timed(echo_answer.call, "", returned)
            cases[f"request_{size}"] = timed(to_shared, sent_request, small)
            cases[f"request_pipe_{size}"] = timed(to_piped, sent_request, small)
            cases[f"request_raw_{size}"] = timed(echo_request.call, array, lambda a: None)
            cases[f"copy_{size}"] = timed(lambda a: a.copy(), array, lambda a: None)
            if size in byte_sizes:
                def bytes_returned(answer, size=size):
                    if len(answer[3]["b"]) != size:
                        raise AssertionError(f"unexpected answer {str(answer)[:200]}")
                cases[f"bytes_{size}"] = timed(to_shared, f"xreturn(b=b{size})", bytes_returned)
                cases[f"bytes_pipe_{size}"] = timed(to_piped, f"xreturn(b=b{size})",
                                                    bytes_returned)
        small_calls = ctx.param("small_calls", ctx.pick(2000, 300))
        small_request = [{"d": numpy.arange(10)}, "xreturn(a=d, b=np.float64(1))"]

        def small_round_trip(call):
            return lambda: harness.per_call_us(call, small_request, small_calls)

        cases["small_default"] = small_round_trip(default.blocked_put)
        cases["small_off"] = small_round_trip(WithThreshold("off", small_piped.blocked_put))
        samples = harness.interleaved(ctx, cases, repeats, limit)

    for size in sizes:
        name = label_of(size)
        for kind, what in (("answer", "handed back by the worker"),
                           ("request", "sent in a request")):
            ctx.row(f"{kind}_{size}", f"{name} {what}: shared memory", "ms/call",
                    samples[f"{kind}_{size}"], ref=f"copy_{size}", subject=True)
            ctx.row(f"{kind}_pipe_{size}", f"{name} {what}: pipe", "ms/call",
                    samples[f"{kind}_pipe_{size}"], ref=f"copy_{size}")
            ctx.row(f"{kind}_raw_{size}", f"{name} {what}: raw queue echo", "ms/call",
                    samples[f"{kind}_raw_{size}"], ref=f"copy_{size}")
        ctx.row(f"copy_{size}", f"{name}: arr.copy() in-process", "ms/call",
                samples[f"copy_{size}"], ref=f"copy_{size}")
    for size in byte_sizes:
        name = label_of(size)
        ctx.row(f"bytes_{size}", f"{name} bytearray handed back: shared memory", "ms/call",
                samples[f"bytes_{size}"], ref=f"copy_{size}", subject=True)
        ctx.row(f"bytes_pipe_{size}", f"{name} bytearray handed back: pipe", "ms/call",
                samples[f"bytes_pipe_{size}"], ref=f"copy_{size}")
        ctx.paired(f"bytes_vs_pipe_{size}", f"{name} bytearray answer: pipe ÷ shared memory",
                   f"bytes_pipe_{size}", f"bytes_{size}", better="higher")
    ctx.row("small_default", "small message holding arrays, default threshold", "µs/call",
            samples["small_default"], ref="small_off", subject=True)
    ctx.row("small_off", "the same, shared memory off", "µs/call", samples["small_off"],
            ref="small_off")
    ctx.paired("small_cost", "small message: default ÷ shared memory off, per round",
               "small_default", "small_off")
    # Throughput of each way, in GB/s (higher is better).
    for size in sizes:
        name = label_of(size)
        for key, what in ((f"answer_{size}", "answer, shared memory"),
                          (f"answer_pipe_{size}", "answer, pipe"),
                          (f"answer_raw_{size}", "answer, raw queue"),
                          (f"request_{size}", "request, shared memory"),
                          (f"request_pipe_{size}", "request, pipe"),
                          (f"request_raw_{size}", "request, raw queue"),
                          (f"copy_{size}", "arr.copy()")):
            ctx.row(f"gbps_{key}", f"{name} {what}", "GB/s",
                    [size / (ms / 1000) / 1e9 for ms in samples[key]],
                    subject=not ("pipe" in key or "raw" in key or "copy" in key),
                    better="higher")
    for size in sizes:
        for kind in ("answer", "request"):
            ctx.paired(f"{kind}_vs_pipe_{size}", f"{label_of(size)} {kind}: pipe ÷ shared memory",
                       f"{kind}_pipe_{size}", f"{kind}_{size}", better="higher")
    largest = sizes[-1]
    for kind in ("answer", "request"):
        ctx.paired(f"{kind}_vs_raw", f"{label_of(largest)} {kind}: raw queue ÷ shared memory",
                   f"{kind}_raw_{largest}", f"{kind}_{largest}", better="higher")
        ctx.paired(f"{kind}_vs_copy", f"{label_of(largest)} {kind}: shared memory ÷ arr.copy()",
                   f"{kind}_{largest}", f"copy_{largest}")
        ctx.target(f"{label_of(largest)} {kind}: raw queue ÷ shared memory",
                   ctx.median(f"{kind}_vs_raw"), ">=", 5)
        ctx.target(f"{label_of(largest)} {kind}: shared memory ÷ arr.copy()",
                   ctx.median(f"{kind}_vs_copy"), "<=", 4)
        for size in sizes:
            if MB <= size < largest:
                ctx.target(f"{label_of(size)} {kind}: pipe ÷ shared memory",
                           ctx.median(f"{kind}_vs_pipe_{size}"), ">=", 1)
    ctx.target("small message holding arrays: default ÷ off", ctx.median("small_cost"), "<=", 1.10)
