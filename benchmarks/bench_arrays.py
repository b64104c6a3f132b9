"""Large float64 arrays handed back by a worker and sent in requests, against
the floor of one copy: np.copyto into memory already faulted in, measured in
the same run.

Through shared memory, each way is measured as a program uses it:
- dropped: each array is let go as soon as it has arrived;
- kept: the last three arrived are held while the next ones come (results
  being collected);
- interleaved: between two of the measured transfers, the same worker
  receives an array of the same size and hands back one of a quarter of it
  (other large transfers of the same peers, both ways).
Every array is touched once per page where it arrives (the reader's first
touch is part of its cost). Each sample starts with untimed transfers of its
kind (enough for the memory of the kept case to be made and reused once),
so that it measures a program that moves arrays all the time; the first
transfer after the memory kept for reuse was given back (a fresh segment on
both sides) is a row of its own.

Also through the pipe (VORLEN_SHM_THRESHOLD=off) and a raw
multiprocessing.Queue echo, at every size, with shared memory forced for
the sizes below the default threshold (VORLEN_SHM_THRESHOLD=1): where they
cross is where the default threshold comes from. bytearrays of 8 MB and
more handed back, through shared memory and the pipe. Small messages
holding a numpy array, with the default threshold and with shared memory
off: the cost of looking.

An actor system's object store is measured in the same rounds when it is
installed (ray): an actor's method returning the array, and one taking it."""
import contextlib
import os

import numpy

from vorlen.tamsel import Tamsel

import harness
from baselines import ANSWER, EchoWorker

MB = 1_000_000
OFF = "VORLEN_SHM_THRESHOLD"
KEPT = 3          # arrays held by the caller (or the worker) while the next come
DEFAULT_THRESHOLD = 128 << 10  # the library's: larger arrays take shared memory by default
PAGE_STRIDE = 512  # float64 elements per 4 KiB page


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


def touch(array):
    """Reads one element per page, as a reader that uses the array does."""
    return float(array[::PAGE_STRIDE].sum())


def expect(answer, check=None):
    if answer[0] != "SUCCESS" or (check and not check(answer)):
        raise AssertionError(f"unexpected answer {str(answer)[:200]}")
    return answer


class Ways:
    """The transfers of one size through shared memory, with `call` (the
    shared-memory worker's blocked_put)."""

    def __init__(self, call, size):
        self.call = call
        self.size = size
        self.name = f"a{size}"
        self.quarter = f"q{size}"
        self.held = []

    def answer(self):
        got = expect(self.call(f"xreturn(a={self.name})"))[3]["a"]
        touch(got)
        return got

    def answer_kept(self):
        self.held.append(self.answer())
        del self.held[:-KEPT]

    def request(self, array, keep=False):
        code = ("held.append(d)\ndel held[:-3]" if keep else "") + "\ndel globals()['d']"
        expect(self.call([{"d": array}, f"_ = d[::{PAGE_STRIDE}].sum()\n{code}"]))

    def others(self, array):
        """The other large transfers of the interleaved cases."""
        self.request(array)
        touch(expect(self.call(f"xreturn(a={self.quarter})"))[3]["a"])

    def drop(self):
        self.held.clear()
        expect(self.call("held.clear()"))


def sampled(calls, step, between=None, after=None, warm=2 * (KEPT + 1)):
    """A sample: `warm` untimed steps (by default enough for the memory of
    the kept case to be there and to have been reused once: each piece is
    made, then mapped by its sender for copying, the first two times it is
    used), then the mean time of `calls` timed ones (ms), with `between` run
    untimed before each, then `after`."""
    def sample():
        with harness.gc_paused():
            for _ in range(warm):
                if between:
                    between()
                step()
            total = 0.0
            for _ in range(calls):
                if between:
                    between()
                start = harness.perf_counter()
                step()
                total += harness.perf_counter() - start
            if after:
                after()
        return total / calls * 1000
    return sample


def object_store(cleanup):
    """An actor of the object store and the calls of its cases, or None when
    ray is not installed."""
    try:
        import ray
    except ImportError:
        return None
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             configure_logging=False)
    cleanup.callback(ray.shutdown)

    @ray.remote
    class Holder:
        def make(self, size):
            self.arrays = getattr(self, "arrays", {})
            self.arrays[size] = numpy.arange(size // 8, dtype=numpy.float64)

        def answer(self, size):
            return self.arrays[size]

        def request(self, array):
            return float(array[::PAGE_STRIDE].sum())

    actor = Holder.remote()
    return ray, actor


def run(ctx):
    sizes = ctx.param("sizes_bytes", ctx.pick([64_000, 256_000, MB, 8 * MB, 200 * MB],
                                              [256_000, MB, 8 * MB, 64 * MB]))
    repeats = ctx.param("repeats", ctx.pick(7, 3))
    limit = 60
    largest = sizes[-1]
    studied = [size for size in sizes if size in (MB, largest)]

    arrays = {size: numpy.arange(size // 8, dtype=numpy.float64) for size in sizes}
    floors = {size: numpy.empty_like(arrays[size]) for size in sizes}
    for size in sizes:
        numpy.copyto(floors[size], arrays[size])  # faulted in once, for good
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
        setup = "import numpy as np\nimport vorlen._sharedmem\nheld = []\n" + "".join(
            f"a{size} = np.arange({size // 8}, dtype=np.float64)\n"
            f"q{size} = np.arange({size // 32}, dtype=np.float64)\n" for size in sizes) + "".join(
            f"b{size} = bytearray(a{size}.tobytes())\n" for size in byte_sizes)
        for handle in (shared, piped, default, small_piped):
            with harness.deadline(limit, "array set-up request"):
                expect(handle.blocked_put(setup))
        store = object_store(cleanup)
        if store:
            ray, actor = store
            ray.get([actor.make.remote(size) for size in studied])

        forced = WithThreshold("1", shared.blocked_put)

        def to_shared_for(size):
            """The call of the shared-memory cases of `size`: plain blocked_put
            where the default threshold already sends it through shared memory
            (setting the variable around each call costs about 4 µs, a fifth
            of a 1 MB copy, which no program pays), else with it forced."""
            default = not os.environ.get(OFF) and size >= DEFAULT_THRESHOLD
            return shared.blocked_put if default else forced
        to_piped = WithThreshold("off", piped.blocked_put)
        cases = {}
        for size in sizes:
            array = arrays[size]
            calls = max(3, min(200, 20 * MB // size))
            # The ways that keep nothing for reuse: one call a sample at the
            # largest sizes, where one takes about a second.
            slow_calls = 1 if size >= 64 * MB else calls
            to_shared = to_shared_for(size)
            ways = Ways(to_shared, size)

            def returned(answer, size=size):
                return answer[3]["a"].nbytes == size

            def through(call, request, check, calls=slow_calls):
                return sampled(calls, lambda: expect(call(request), check), warm=0)

            def raw_call(echo, request, calls=slow_calls):
                return sampled(calls, lambda: echo.call(request), warm=0)

            echo_answer = cleanup.echo(EchoWorker(["SUCCESS", "", "", {"a": array}]))
            echo_request = cleanup.echo(EchoWorker(ANSWER))
            cases[f"copyto_{size}"] = sampled(
                calls, lambda src=array, dst=floors[size]: numpy.copyto(dst, src), warm=1)
            cases[f"answer_{size}"] = sampled(calls, ways.answer)
            cases[f"request_{size}"] = sampled(calls, lambda w=ways, a=array: w.request(a))
            cases[f"answer_pipe_{size}"] = through(to_piped, f"xreturn(a=a{size})", returned)
            cases[f"request_pipe_{size}"] = through(to_piped, [{"d": array}, "xreturn(n=1)"],
                                                    None)
            cases[f"answer_raw_{size}"] = raw_call(echo_answer, "")
            cases[f"request_raw_{size}"] = raw_call(echo_request, array)
            cases[f"copy_{size}"] = sampled(calls, lambda a=array: a.copy(), warm=0)
            if size in studied:
                cases[f"answer_kept_{size}"] = sampled(calls, ways.answer_kept, after=ways.drop)
                cases[f"request_kept_{size}"] = sampled(
                    calls, lambda w=ways, a=array: w.request(a, keep=True), after=ways.drop)
                cases[f"answer_interleaved_{size}"] = sampled(
                    calls, ways.answer, between=lambda w=ways, a=array: w.others(a))
                cases[f"request_interleaved_{size}"] = sampled(
                    calls, lambda w=ways, a=array: w.request(a),
                    between=lambda w=ways, a=array: w.others(a))
                cases[f"roundtrip_{size}"] = sampled(
                    calls, lambda call=to_shared: call("xreturn(n=1)"))
                if store:
                    cases[f"answer_store_{size}"] = sampled(
                        calls, lambda s=size: touch(ray.get(actor.answer.remote(s))))
                    cases[f"request_store_{size}"] = sampled(
                        calls, lambda a=array: ray.get(actor.request.remote(a)))
            if size == largest:
                # The memory kept for reuse given back on both sides first.
                def forget(handle=shared):
                    from vorlen import _sharedmem
                    expect(handle.blocked_put("vorlen._sharedmem.sweep()"))
                    _sharedmem.sweep()
                cases[f"answer_fresh_{size}"] = sampled(1, ways.answer, between=forget, warm=0)
            if size in byte_sizes:
                def bytes_returned(answer, size=size):
                    return len(answer[3]["b"]) == size
                cases[f"bytes_{size}"] = sampled(
                    calls, lambda s=size, call=to_shared, check=bytes_returned: expect(
                        call(f"xreturn(b=b{s})"), check))
                cases[f"bytes_pipe_{size}"] = through(to_piped, f"xreturn(b=b{size})",
                                                      bytes_returned)
        small_calls = ctx.param("small_calls", ctx.pick(2000, 300))
        small_request = [{"d": numpy.arange(10)}, "xreturn(a=d, b=np.float64(1))"]

        def small_round_trip(call):
            return lambda: harness.per_call_us(call, small_request, small_calls)

        cases["small_default"] = small_round_trip(default.blocked_put)
        cases["small_off"] = small_round_trip(WithThreshold("off", small_piped.blocked_put))
        samples = harness.interleaved(ctx, cases, repeats, limit)

    report(ctx, sizes, studied, byte_sizes, samples, store is not None)


def report(ctx, sizes, studied, byte_sizes, samples, with_store):
    largest = sizes[-1]
    for size in sizes:
        name = label_of(size)
        ctx.row(f"copyto_{size}", f"{name}: np.copyto into faulted memory (the floor)",
                "ms/call", samples[f"copyto_{size}"], ref=f"copyto_{size}")
        variants = [("", "dropped")]
        if size in studied:
            variants += [("_kept", "kept"), ("_interleaved", "interleaved")]
        for kind, what in (("answer", "handed back"), ("request", "sent in a request")):
            for suffix, how in variants:
                key = f"{kind}{suffix}_{size}"
                ctx.row(key, f"{name} {what}, {how}: shared memory", "ms/call", samples[key],
                        ref=f"copyto_{size}", subject=True)
            if with_store and size in studied:
                ctx.row(f"{kind}_store_{size}", f"{name} {what}: object store", "ms/call",
                        samples[f"{kind}_store_{size}"], ref=f"copyto_{size}")
            ctx.row(f"{kind}_pipe_{size}", f"{name} {what}: pipe", "ms/call",
                    samples[f"{kind}_pipe_{size}"], ref=f"copyto_{size}")
            ctx.row(f"{kind}_raw_{size}", f"{name} {what}: raw queue echo", "ms/call",
                    samples[f"{kind}_raw_{size}"], ref=f"copyto_{size}")
        if size == largest:
            ctx.row(f"answer_fresh_{size}", f"{name} handed back, first after idle (fresh "
                    "memory both sides)", "ms/call", samples[f"answer_fresh_{size}"],
                    ref=f"copyto_{size}")
        if size in studied:
            ctx.row(f"roundtrip_{size}", "bare round trip, no array", "ms/call",
                    samples[f"roundtrip_{size}"], ref=f"copyto_{size}")
        ctx.row(f"copy_{size}", f"{name}: arr.copy() in-process", "ms/call",
                samples[f"copy_{size}"], ref=f"copyto_{size}")
    for size in byte_sizes:
        name = label_of(size)
        ctx.row(f"bytes_{size}", f"{name} bytearray handed back: shared memory", "ms/call",
                samples[f"bytes_{size}"], ref=f"copyto_{size}", subject=True)
        ctx.row(f"bytes_pipe_{size}", f"{name} bytearray handed back: pipe", "ms/call",
                samples[f"bytes_pipe_{size}"], ref=f"copyto_{size}")
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
                          (f"copyto_{size}", "np.copyto")):
            ctx.row(f"gbps_{key}", f"{name} {what}", "GB/s",
                    [size / (ms / 1000) / 1e9 for ms in samples[key]],
                    subject=not ("pipe" in key or "raw" in key or "copyto" in key),
                    better="higher")
    targets(ctx, sizes, studied, with_store)


def targets(ctx, sizes, studied, with_store):
    largest = sizes[-1]
    for size in studied:
        name = label_of(size)
        limit = 1.5 if size == largest else 2.0
        for kind in ("answer", "request"):
            for suffix, how in (("", "dropped"), ("_kept", "kept"),
                                ("_interleaved", "interleaved")):
                key = f"{kind}{suffix}_{size}"
                ctx.paired(f"{key}_vs_floor", f"{name} {kind}, {how}: shared memory ÷ np.copyto",
                           key, f"copyto_{size}")
                ctx.target(f"{name} {kind}, {how}: shared memory ÷ np.copyto",
                           ctx.median(f"{key}_vs_floor"), "<=", limit)
            if with_store:
                ctx.paired(f"{kind}_vs_store_{size}",
                           f"{name} {kind}: shared memory ÷ object store",
                           f"{kind}_{size}", f"{kind}_store_{size}")
                ctx.target(f"{name} {kind}: shared memory ÷ object store",
                           ctx.median(f"{kind}_vs_store_{size}"), "<=", 1.0)
        # What the transfer adds to a bare round trip, against the floor.
        for kind in ("answer", "request"):
            extra = [max(t - r, 0.0) for t, r in zip(ctx._row(f"{kind}_{size}")["samples"],
                                                     ctx._row(f"roundtrip_{size}")["samples"])]
            ctx.row(f"{kind}_extra_{size}", f"{name} {kind}: shared memory less a bare round "
                    "trip", "ms/call", extra, ref=f"copyto_{size}", derived=True)
    for size in sizes:
        for kind in ("answer", "request"):
            ctx.paired(f"{kind}_vs_pipe_{size}", f"{label_of(size)} {kind}: pipe ÷ shared memory",
                       f"{kind}_pipe_{size}", f"{kind}_{size}", better="higher")
    for kind in ("answer", "request"):
        ctx.paired(f"{kind}_vs_raw", f"{label_of(largest)} {kind}: raw queue ÷ shared memory",
                   f"{kind}_raw_{largest}", f"{kind}_{largest}", better="higher")
        ctx.target(f"{label_of(largest)} {kind}: raw queue ÷ shared memory",
                   ctx.median(f"{kind}_vs_raw"), ">=", 5)
        for size in sizes:
            if MB <= size < largest:
                ctx.target(f"{label_of(size)} {kind}: pipe ÷ shared memory",
                           ctx.median(f"{kind}_vs_pipe_{size}"), ">=", 1)
    ctx.target("small message holding arrays: default ÷ off", ctx.median("small_cost"), "<=", 1.10)
