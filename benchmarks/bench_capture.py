"""Requests that print a lot, and one that hands back a large array."""
import functools
import io

import numpy

from vorlen.tamsel import Tamsel

import harness
from baselines import EchoWorker

PRINTS = "for i in range({count}):\n    xprint(i)\n"
ARRAY_SIZE = 1_000_000
SETUP = f"import numpy as np\narr = np.arange({ARRAY_SIZE}, dtype=np.float64)\n"
RETURN = "xreturn(a=arr)"


def printed_text(count):
    return "".join(f"{i}\n" for i in range(count))


def local_print_ms(count):
    """The same loop run here, printing into a StringIO with print()."""
    code = compile(PRINTS.format(count=count), "<local>", "exec")
    out = io.StringIO()
    namespace = {"xprint": functools.partial(print, file=out)}
    seconds, _ = harness.seconds_of(lambda: exec(code, namespace, {}))
    return seconds * 1000


def run(ctx):
    small = ctx.param("xprint_small", ctx.pick(20000, 10000))
    large = ctx.param("xprint_large", small * 10)
    repeats = ctx.param("repeats", ctx.pick(7, 3))
    ctx.param("array_elements", ARRAY_SIZE)
    limit = 60

    def answer_with(text="", returned=None):
        return ["SUCCESS", text, "", returned or {}]

    array = numpy.arange(ARRAY_SIZE, dtype=numpy.float64)
    with harness.Cleanup() as cleanup:
        handle = cleanup.tamsel(Tamsel("BenchCapture"))
        echo_small = cleanup.echo(EchoWorker(answer_with(printed_text(small))))
        echo_large = cleanup.echo(EchoWorker(answer_with(printed_text(large))))
        echo_array = cleanup.echo(EchoWorker(answer_with(returned={"a": array})))

        with harness.deadline(limit, "array set-up request"):
            status = handle.blocked_put(SETUP)[0]
        if status != "SUCCESS":
            raise AssertionError(f"set-up request answered {status}")

        def request_ms(call, request, check):
            def sample():
                seconds, result = harness.seconds_of(lambda: call(request))
                if not check(result):
                    raise AssertionError(f"unexpected answer {str(result)[:200]}")
                return seconds * 1000
            return sample

        def printed(count):
            length = len(printed_text(count))
            return lambda a: a[0] == "SUCCESS" and len(a[1]) == length

        def returned(a):
            return a[0] == "SUCCESS" and a[3]["a"].shape == (ARRAY_SIZE,)

        samples = harness.interleaved(ctx, {
            "xprint_small": request_ms(handle.blocked_put, PRINTS.format(count=small),
                                       printed(small)),
            "xprint_large": request_ms(handle.blocked_put, PRINTS.format(count=large),
                                       printed(large)),
            "xreturn_array": request_ms(handle.blocked_put, RETURN, returned),
            "floor_small": request_ms(echo_small.call, "", printed(small)),
            "floor_large": request_ms(echo_large.call, "", printed(large)),
            "floor_array": request_ms(echo_array.call, "", returned),
            "local_small": lambda: local_print_ms(small),
            "local_large": lambda: local_print_ms(large),
        }, repeats, limit)

    ctx.row("xprint_small", f"xprint × {small:,} in one request", "ms/request",
            samples["xprint_small"], ref="local_small", subject=True)
    ctx.row("xprint_large", f"xprint × {large:,} in one request", "ms/request",
            samples["xprint_large"], ref="local_large", subject=True)
    ctx.row("xreturn_array", f"xreturn of a {ARRAY_SIZE:,}-element float64 array",
            "ms/request", samples["xreturn_array"], ref="floor_array", subject=True)
    ctx.row("floor_small", f"raw queue echo of the same {small:,}-line text",
            "ms/request", samples["floor_small"], ref="floor_small")
    ctx.row("floor_large", f"raw queue echo of the same {large:,}-line text",
            "ms/request", samples["floor_large"], ref="floor_large")
    ctx.row("floor_array", "raw queue echo of the same array", "ms/request",
            samples["floor_array"], ref="floor_array")
    for key, count in (("local_small", small), ("local_large", large)):
        ctx.row(key, f"same {count:,}-print loop here, print() to StringIO",
                "ms/request", samples[key], ref=key)
    ctx.paired("growth", f"xprint × {large:,} ÷ xprint × {small:,}, per round",
               "xprint_large", "xprint_small")
    ctx.target(f"xprint {large // 1000}k ÷ xprint {small // 1000}k",
               ctx.median("growth"), "<=", 12)
