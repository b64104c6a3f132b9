"""The shared pool in its intended setting: set-up code that runs again and
again (a notebook cell run twice, a script section re-executed) gets the same
running workers back instead of starting new ones each time.

The pool is kept on a holder object that outlives the re-run code; here the
builtins module, so it is there as `builtins.CNR` whatever is re-executed.
"""
import builtins

import vorlen.corvane as corvane


def setup(n_workers: int) -> corvane.CorvanePool:
    """The set-up code that is re-run. Starts workers only the first time,
    or when n_workers changes."""
    corvane.CorvaneNoRep.set(builtins)
    pool = corvane.CorvaneNoRep.init_process(n_workers)
    if pool is None:  # first call: the new pool was stored on the holder
        pool = getattr(builtins, "CNR")
    assert isinstance(pool, corvane.CorvanePool)
    return pool


def main() -> None:
    try:
        for run in range(3):
            pool = setup(2)
            answers = pool.map([f"import os\nxreturn(square={k * k}, pid=os.getpid())"
                                for k in range(4)])
            print(f"run {run}: workers {list(pool.procs)} -> "
                  f"{[(a[3]['square'], a[3]['pid']) for a in answers]}")
    finally:
        # Workers are not daemons: kill them before the program exits.
        shared = getattr(builtins, "CNR", None)
        if shared is not None:
            shared.kill_all()


if __name__ == "__main__":
    main()
