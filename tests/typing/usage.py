"""Checked by mypy --strict (scripts/check_types.sh), never run: how the
package reads to a type checker. A line that must be refused carries a
`type: ignore` of the expected error; strict mode reports an ignore that
was not needed, so each such line fails the check if it is accepted."""
import vorlen
import vorlen.corvane as corvane
from vorlen import Answer


def batches(pool: corvane.CorvanePool) -> None:
    answers: list[Answer] = pool.map(["x = 1", ["y = 2", {"z": 3}]])
    queues = pool.map(("x = 1",), block=False)
    answers = corvane.reduce(queues)
    answers = vorlen.map(pool, (f"x = {i}" for i in range(3)), balance=True)
    answers = vorlen.map(pool, ["x = 1"], timeout=2.5, progress=lambda done, total: None)
    del answers
    # A str is one request, not a batch.
    pool.map("x = 1")  # type: ignore[call-overload]
    vorlen.map(pool, "x = 1")  # type: ignore[arg-type]


def contexts() -> None:
    with vorlen.worker("name") as w:
        answer: Answer = w.blocked_put("xreturn(k=1)")
        del answer
    with vorlen.pool(2, name_pref="p") as p:
        p.kill_all()
    with vorlen.pool("2"):  # type: ignore[arg-type]
        pass


def restarts(pool: corvane.CorvanePool) -> None:
    handle = vorlen.restart(pool, 1)
    handles: list[vorlen.tamsel.Tamsel] = vorlen.restart(pool)
    fresh: vorlen.tamsel.Tamsel = vorlen.restart(handle)
    answer: Answer = vorlen.setup(fresh, "import numpy")
    answers: list[Answer] = vorlen.setup(pool, ["import numpy", {"seed": 1}])
    vorlen.supervise(pool, restarts=5, within=30.0)
    vorlen.limit_memory(pool, 1 << 30, during=False)
    vorlen.limit_memory(fresh, None)
    del handles, answer, answers
    vorlen.restart(handle, 1)  # type: ignore[call-overload]
    vorlen.limit_memory(pool, 1.5)  # type: ignore[arg-type]


def futures(pool: corvane.CorvanePool) -> None:
    future: vorlen.Future = vorlen.submit(pool, "x = 1", timeout=2.5)
    answer: Answer = future.result(timeout=1)
    del answer
    vorlen.interrupt(future)
    future.cancel()
    vorlen.submit(pool, "x = 1", timeout="2")  # type: ignore[arg-type]


async def awaited(pool: corvane.CorvanePool) -> Answer:
    return await vorlen.submit(pool, ["x = 1", {"y": 2}])
