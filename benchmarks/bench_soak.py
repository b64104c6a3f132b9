"""A long soak of the shared-memory path (the test suite runs a bounded one):
mixed messages with large arrays, bytearrays and PickleBuffers both ways,
some kept, some through the queues' own put(), some that fail to unpickle on
either side, with forks of the caller and workers killed with messages in
flight (tests/shm_soak.py). Every answer is checked.

Reported: the steps run and their rate, this process's descriptors and
memory at the start, along the way and at the end, and what it holds of
shared memory 2 s after the end (with nothing called meanwhile): nothing is
the target."""
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import harness  # noqa: E402
from shm_soak import Soak  # noqa: E402
from support import (descriptors, holds_no_segment, segment_descriptors,  # noqa: E402
                     segment_mappings, shared_rss_kib, wait_for)


def run(ctx):
    seconds = ctx.param("seconds", ctx.pick(150, 30))
    os.environ["VORLEN_SHM_THRESHOLD"] = "4K"
    with tempfile.TemporaryDirectory() as directory:
        soak = Soak(seed=2024, directory=directory)
        fds_start = len(descriptors())
        rss_start, _ = harness.rss_mib(os.getpid())
        shared_start = shared_rss_kib()
        rates, rss_along = [], []
        steps = 0
        started = time.monotonic()
        try:
            while time.monotonic() - started < seconds:
                begun, count = time.monotonic(), 0
                with harness.deadline(60, "a stretch of the soak"):
                    while time.monotonic() - begun < 5:
                        soak.step()
                        count += 1
                steps += count
                rates.append(count / (time.monotonic() - begun))
                rss_along.append(harness.rss_mib(os.getpid())[0])
                ctx.progress(f"{steps} steps, {time.monotonic() - started:.0f} s")
        finally:
            soak.close()
        within = 2.0
        released = wait_for(lambda: holds_no_segment(rss_kib=shared_start), within)
        fds_end = len(descriptors())
        held = len(segment_descriptors()) + len(segment_mappings())
    ctx.note(f"{steps} steps in {time.monotonic() - started:.0f} s: " +
             ", ".join(f"{kind} {n}" for kind, n in sorted(soak.counts.items())))
    ctx.row("rate", "soak steps per second (each a round trip or more)", "steps/s", rates,
            better="higher")
    ctx.row("rss", "this process's RSS along the way", "MiB", rss_along)
    # Single figures, not charted.
    ctx.row("rss_growth", "RSS growth from start to end", "MiB", [rss_along[-1] - rss_start],
            derived=True)
    ctx.row("fds", "descriptors at the end less at the start", "fds", [fds_end - fds_start],
            derived=True)
    ctx.row("held", f"segments held {within:g} s after the end", "count", [held], derived=True)
    ctx.target(f"shared memory given back within {within:g} s of the end, nothing called",
               0 if released else 1, "<=", 0)
    ctx.target("descriptors at the end less at the start", fds_end - fds_start, "<=", 2)
