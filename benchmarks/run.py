"""Runs the benchmarks and reports them.

    .venv/bin/python benchmarks/run.py [--quick] [--only NAME ...] [--list] [--name NAME]

Each benchmark runs in a process of its own (a new session, so that its
whole process group can be killed if it overruns its time limit). Progress
goes to stderr, the table to stdout, the figures to results/NAME.json and
the chart to results/NAME.png (NAME is "latest" unless given).
"""
import argparse
import datetime
import importlib
import json
import multiprocessing
import os
import platform
import signal
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")

# name -> (title, whether it has targets); the code is in bench_<name>.py.
BENCHMARKS = {
    "roundtrip": ("Round trip: one request, one answer", True),
    "batch": ("Batch throughput: trivial requests over 2 workers", True),
    "scaling": ("Scaling: CPU-bound batch on 1 and 2 workers", True),
    "capture": ("Capture: xprint and xreturn of large content", True),
    "arrays": ("Large arrays: answers and requests through shared memory", True),
    "soak": ("Shared memory soak: mixed messages, forks, kills, failed unpickles", True),
    "startup": ("Start-up and memory of 2 workers", False),
    "cluster": ("ClusterPool on 2 local Dask workers against actor calls and client.map", True),
    "interrupt": ("Interrupts: latency to the answer, cost of vorlen.run", True),
    "balance": ("Uneven batches: dealing to the first free worker", True),
    "completion": ("as_completed against reduce", True),
    "restart": ("Restart: one worker back with its set-up; the cost of supervision", True),
    "futures": ("vorlen.submit: futures and await against blocked_put and executors", True),
}
TIME_LIMIT = {False: 200, True: 90}  # seconds per benchmark, by --quick
# Benchmarks whose reference takes longer: client.map of the cluster's batch
# runs about a minute a round.
LONGER = {"cluster": {False: 360, True: 90}}


class Progress:
    """A status line on stderr: rewritten in place on a terminal, else
    printed at most every few seconds."""

    def __init__(self, started):
        self.started = started
        self.tty = sys.stderr.isatty()
        self.last = 0.0

    def __call__(self, text):
        now = time.monotonic()
        line = f"[{now - self.started:6.1f}s] {text}"
        if self.tty:
            sys.stderr.write("\r\x1b[K" + line[:150])
        elif now - self.last >= 5:
            sys.stderr.write(line + "\n")
            self.last = now
        else:
            return
        sys.stderr.flush()

    def line(self, text):
        now = time.monotonic()
        sys.stderr.write(("\r\x1b[K" if self.tty else "")
                         + f"[{now - self.started:6.1f}s] {text}\n")
        sys.stderr.flush()


# ---- one benchmark, in its own process ---------------------------------

def run_child(name, out, quick, started):
    import harness
    progress = Progress(started)
    begin = time.monotonic()
    try:
        module = importlib.import_module(f"bench_{name}")
    except ImportError as error:
        missing = f"cannot import {error.name}" if error.name else "an import failed"
        result = {"status": "skipped", "message": f"{missing}: {error}"}
    else:
        ctx = harness.Context(name, quick, progress)
        try:
            module.run(ctx)
            result = {"status": "ok", "message": "", **ctx.finish()}
        except BaseException as error:
            detail = traceback.format_exc(limit=-4)
            result = {"status": "failed", "message": f"{error!r}\n{detail}",
                      "params": ctx.params}
        finally:
            harness.kill_leftover_children()
    result["seconds"] = time.monotonic() - begin
    with open(out, "w") as f:
        json.dump(result, f, ensure_ascii=False)
    sys.stdout.flush()
    sys.stderr.flush()
    # Skip interpreter shutdown: nothing may wait there for a queue thread.
    os._exit(0)


def kill_group(pgid):
    try:
        os.killpg(pgid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def run_one(name, quick, started):
    limit = LONGER.get(name, TIME_LIMIT)[quick]
    fd, out = tempfile.mkstemp(prefix=f"bench-{name}-", suffix=".json")
    os.close(fd)
    cmd = [sys.executable, os.path.abspath(__file__), "--child", name,
           "--child-out", out, "--started", repr(started)]
    if quick:
        cmd.append("--quick")
    try:
        child = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=sys.stderr,
                                 start_new_session=True)
        try:
            child.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            return {"status": "failed", "seconds": float(limit),
                    "message": f"no result within {limit} s; its processes were killed"}
        finally:
            # The child, if still running, and whatever it left behind in its
            # process group.
            kill_group(child.pid)
            child.wait()
        try:
            with open(out) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {"status": "failed", "seconds": 0.0,
                    "message": f"the benchmark process ended with code "
                               f"{child.returncode} and no result"}
    finally:
        os.unlink(out)


# ---- the whole run -------------------------------------------------------

def parse(argv):
    parser = argparse.ArgumentParser(description="Runs the vorlen benchmarks.")
    parser.add_argument("--quick", action="store_true",
                        help="fewer repeats and smaller sizes, for iterating")
    parser.add_argument("--only", action="append", metavar="NAME", default=[],
                        help="run only this benchmark (repeatable, or comma-separated)")
    parser.add_argument("--list", action="store_true", help="list the benchmarks")
    parser.add_argument("--name", default="latest",
                        help="name of the result files in results/ (default: latest)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--child-out", help=argparse.SUPPRESS)
    parser.add_argument("--started", type=float, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    args.only = [n.strip() for item in args.only for n in item.split(",") if n.strip()]
    unknown = [n for n in args.only if n not in BENCHMARKS]
    if unknown:
        parser.error(f"unknown benchmark {', '.join(unknown)}; "
                     f"choose from {', '.join(BENCHMARKS)}")
    return args


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    if args.child:
        run_child(args.child, args.child_out, args.quick,
                  args.started or time.monotonic())
    if args.list:
        for name, (title, _) in BENCHMARKS.items():
            print(f"{name:<10} {title}")
        return 0

    started = time.monotonic()
    progress = Progress(started)
    names = args.only or list(BENCHMARKS)
    doc = {
        "run": {
            "created": datetime.datetime.now().isoformat(timespec="seconds"),
            "quick": args.quick,
            "only": args.only,
            "python": platform.python_version(),
            "platform": platform.platform(),
            "cpus": os.cpu_count(),
            "start_method": multiprocessing.get_start_method(),
            "load_before": os.getloadavg()[0],
        },
        "benchmarks": {},
    }
    progress.line(f"running {len(names)} benchmark(s), "
                  f"{'quick' if args.quick else 'default'} sizes")
    try:
        for i, name in enumerate(names, 1):
            title, has_targets = BENCHMARKS[name]
            progress.line(f"[{i}/{len(names)}] {name}: {title}")
            load_before = os.getloadavg()[0]
            result = run_one(name, args.quick, started)
            result["load"] = [load_before, os.getloadavg()[0]]
            outcome = result["status"]
            if outcome != "ok":
                outcome += ": " + result["message"].strip().splitlines()[0]
            progress.line(f"[{i}/{len(names)}] {name}: {outcome} "
                          f"({result.get('seconds', 0):.1f} s)")
            if result["status"] == "failed":
                sys.stderr.write(result["message"] + "\n")
            doc["benchmarks"][name] = {"title": title, "has_targets": has_targets,
                                       "params": {}, "rows": [], "targets": [],
                                       "notes": [], **result}
    except KeyboardInterrupt:
        progress.line("interrupted")
        return 130
    doc["run"]["seconds"] = time.monotonic() - started
    doc["run"]["load_after"] = os.getloadavg()[0]

    import report
    json_path = os.path.join(RESULTS, f"{args.name}.json")
    png_path = os.path.join(RESULTS, f"{args.name}.png")
    report.write_json(doc, json_path)
    try:
        drew = report.chart(doc, png_path)
    except Exception as error:
        drew = False
        progress.line(f"chart failed: {error!r}")
    print(report.table(doc))
    progress.line(f"wrote {os.path.relpath(json_path)}"
                  + (f" and {os.path.relpath(png_path)}" if drew else "")
                  + f" in {doc['run']['seconds']:.0f} s")
    failed = [n for n, b in doc["benchmarks"].items() if b["status"] == "failed"]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
