"""Timing, statistics, time limits and clean-up shared by the benchmarks.

A benchmark is a module bench_<name>.py with a function run(ctx) (run.py
lists them). run() builds its workers inside a ``Cleanup`` block, measures
its cases with ``interleaved`` under time limits, and records rows (with
their samples) and targets on ``ctx``.
"""
import contextlib
import gc
import signal
import statistics
import sys
import time

perf_counter = time.perf_counter


class BenchTimeout(Exception):
    """A measured step or a clean-up step ran past its time limit."""


@contextlib.contextmanager
def deadline(seconds, what):
    """Raises BenchTimeout in the main thread once the block has run for
    `seconds`. Blocking queue and pool waits are interrupted by it."""
    def expired(signum, frame):
        raise BenchTimeout(f"{what}: no result after {seconds:g} s")

    # Nests: an enclosing limit that ends sooner stays in force, and is
    # set again, less the time spent here, on the way out.
    started = perf_counter()
    previous = signal.signal(signal.SIGALRM, expired)
    outer, _ = signal.setitimer(signal.ITIMER_REAL, seconds)
    if outer and outer < seconds:
        signal.signal(signal.SIGALRM, previous)
        signal.setitimer(signal.ITIMER_REAL, outer)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        if outer:
            left = outer - (perf_counter() - started)
            signal.setitimer(signal.ITIMER_REAL, max(left, 1e-6))


@contextlib.contextmanager
def gc_paused():
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def summarize(samples):
    """Median, quartiles and range of a list of numbers."""
    ordered = sorted(samples)
    if len(ordered) >= 2:
        q1, _, q3 = statistics.quantiles(ordered, n=4, method="inclusive")
    else:
        q1 = q3 = ordered[0]
    return {
        "median": statistics.median(ordered),
        "q1": q1,
        "q3": q3,
        "min": ordered[0],
        "max": ordered[-1],
        "n": len(ordered),
    }


def per_call_us(fn, arg, calls):
    """Mean time of one fn(arg), in microseconds, over `calls` calls."""
    loop = range(calls)
    with gc_paused():
        start = perf_counter()
        for _ in loop:
            fn(arg)
        elapsed = perf_counter() - start
    return elapsed / calls * 1e6


def seconds_of(fn):
    """(seconds that fn() took, its result)."""
    with gc_paused():
        start = perf_counter()
        result = fn()
        elapsed = perf_counter() - start
    return elapsed, result


def interleaved(ctx, cases, repeats, limit, warmup=True):
    """Runs every case once per round, `repeats` rounds, starting each round
    one case later so that a slow stretch of the machine does not fall on
    one case only. `cases` maps a key to a callable returning one sample.
    Every call runs under a time limit of `limit` seconds. Returns the
    samples per key."""
    keys = list(cases)
    if warmup:
        for key in keys:
            ctx.progress(f"warm-up {key}")
            with deadline(limit, f"warm-up of {key}"):
                cases[key]()
    samples = {key: [] for key in keys}
    for round_ in range(repeats):
        shift = round_ % len(keys)
        for key in keys[shift:] + keys[:shift]:
            ctx.progress(f"round {round_ + 1}/{repeats}: {key}")
            with deadline(limit, key):
                samples[key].append(cases[key]())
    return samples


# ---- processes ----------------------------------------------------------

def rss_mib(pid):
    """Resident set (VmRSS) and private memory (Private_Clean + Private_Dirty)
    of a process, in MiB."""
    rss = None
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1]) / 1024
    private = 0
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                private += int(line.split()[1])
    return rss, private / 1024


def sched_seconds(pids):
    """For each process (its main thread): seconds it has run on a CPU, and
    seconds it was ready to run but waited for one (/proc/PID/schedstat)."""
    times = []
    for pid in pids:
        with open(f"/proc/{pid}/schedstat") as stat:
            on_cpu, on_queue, _ = stat.read().split()
        times.append((int(on_cpu) / 1e9, int(on_queue) / 1e9))
    return times


def _cancel_feeder_join(*queues):
    # At interpreter exit a queue waits for its feeder thread to flush; with
    # the reader killed that could wait for ever.
    for q in queues:
        with contextlib.suppress(Exception):
            q.cancel_join_thread()


def _reap(process, grace=2.0):
    with contextlib.suppress(Exception):
        if process.is_alive():
            process.kill()
        process.join(grace)


def stop_tamsel(handle):
    _cancel_feeder_join(handle.qi, handle.qo)
    handle.kill()
    _reap(handle.proc)


def stop_corvane(pool):
    handles = list(pool.procs.values())
    try:
        pool.kill_all()
    finally:
        for handle in handles:
            stop_tamsel(handle)


def stop_mp_pool(pool):
    pool.terminate()
    with deadline(10, "joining multiprocessing.Pool"):
        pool.join()


def stop_executor(executor):
    processes = list((getattr(executor, "_processes", None) or {}).values())
    try:
        with deadline(10, "shutting down ProcessPoolExecutor"):
            executor.shutdown(wait=True, cancel_futures=True)
    finally:
        for process in processes:
            _reap(process)


class Cleanup(contextlib.ExitStack):
    """Stops, on leaving the block and in reverse order, everything that was
    registered with it, even when a measurement failed."""

    def _register(self, obj, stop):
        self.callback(_quietly, stop, obj)
        return obj

    def tamsel(self, handle):
        return self._register(handle, stop_tamsel)

    def corvane(self, pool):
        return self._register(pool, stop_corvane)

    def mp_pool(self, pool):
        return self._register(pool, stop_mp_pool)

    def executor(self, executor):
        return self._register(executor, stop_executor)

    def echo(self, worker):
        return self._register(worker, lambda w: w.stop())


def _quietly(stop, obj):
    try:
        stop(obj)
    except Exception as error:  # report and go on stopping the rest
        print(f"    clean-up of {type(obj).__name__} failed: {error!r}",
              file=sys.stderr, flush=True)


def kill_leftover_children():
    """Last resort before a benchmark process exits: no child of ours may
    outlive it (our workers are not daemons)."""
    import multiprocessing
    for child in multiprocessing.active_children():
        _reap(child, 1.0)


# ---- recording -----------------------------------------------------------

class Context:
    """What a benchmark gets: its sizes, a progress line, and the place to
    record rows and targets."""

    def __init__(self, name, quick, progress):
        self.name = name
        self.quick = quick
        self._progress = progress
        self.params = {}
        self.rows = []
        self.targets = []
        self.notes = []

    def pick(self, default, quick):
        return quick if self.quick else default

    def param(self, key, value):
        self.params[key] = value
        return value

    def progress(self, text):
        self._progress(f"{self.name}: {text}")

    def row(self, key, label, unit, samples, ref=None, subject=False,
            derived=False, better="lower"):
        """One measured case. `ref` is the key of the row that this one is
        compared with (ratio = this median / ref median)."""
        row = {"key": key, "label": label, "unit": unit, "better": better,
               "subject": subject, "derived": derived, "ref": ref,
               "samples": list(samples), **summarize(samples)}
        self.rows.append(row)
        return row

    def paired(self, key, label, numerator, denominator, better="lower"):
        """The per-round ratio of two cases measured in the same rounds, which
        a change of load between rounds affects less than a ratio of medians."""
        pairs = zip(self._row(numerator)["samples"], self._row(denominator)["samples"])
        return self.row(key, label, "×", [a / b for a, b in pairs], derived=True,
                        better=better)

    def median(self, key):
        return self._row(key)["median"]

    def _row(self, key):
        for row in self.rows:
            if row["key"] == key:
                return row
        raise KeyError(key)

    def target(self, label, value, op, limit):
        passed = value <= limit if op == "<=" else value >= limit
        self.targets.append({"label": label, "value": value, "op": op,
                             "limit": limit, "pass": passed})

    def note(self, text):
        self.notes.append(text)

    def finish(self):
        """Fills in each row's ratio to its reference row."""
        for row in self.rows:
            if row["ref"]:
                ref = self._row(row["ref"])
                row["ref_label"] = ref["label"]
                row["ratio"] = row["median"] / ref["median"] if ref["median"] else None
        return {"params": self.params, "rows": self.rows,
                "targets": self.targets, "notes": self.notes}
