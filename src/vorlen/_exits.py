"""How a worker process ended, in words, for the reports of its death."""
from __future__ import annotations

import signal

from vorlen import _control

# memory_state on a worker's page (what page_state() tells).
WITHIN_LIMIT = 0
RETIRED = 1       # above its limit after a request: runs nothing more
ENDED_DURING = 2  # passed its limit while a request ran, and ended itself

_UNITS = ("KiB", "MiB", "GiB", "TiB")


def size_text(count: int) -> str:
    """A number of bytes in binary units: "153.2 MiB"."""
    if count < 1024:
        return f"{count} bytes"
    value = float(count)
    for unit in _UNITS:
        value /= 1024
        if value < 1024 or unit == _UNITS[-1]:
            break
    return f"{value:.1f} {unit}"


def signal_name(number: int) -> str:
    """SIGKILL, SIGRTMIN+6, ... for a signal number."""
    try:
        return signal.Signals(number).name
    except ValueError:
        if signal.SIGRTMIN <= number <= signal.SIGRTMAX:
            return f"SIGRTMIN+{number - signal.SIGRTMIN}"
        return f"signal {number}"


def page_of(process: object) -> tuple[int, int, int, int, int] | None:
    """What the page of the worker `process` says (see
    vorlen._control.page_state), or None without one."""
    from vorlen import _liveness  # loaded by the first handle, not by the package

    qi = _liveness.request_queue(process)
    return None if qi is None else _control.page_state(qi)


def cause(process: object, exitcode: int | None) -> str | None:
    """Why the worker `process` ended, in words: its exit code, the signal
    that killed it (with the likely sender of a SIGKILL this package did
    not send), or the memory limit it passed; None when nothing is known."""
    page = page_of(process)
    if page is not None and page[3] == ENDED_DURING:
        return (f"its resident memory ({size_text(page[4])}) passed its limit of "
                f"{size_text(page[2])} while a request ran (vorlen.limit_memory)")
    if exitcode is None:
        return None
    if exitcode >= 0:
        return f"exit code {exitcode}"
    number = -exitcode
    words = f"killed by signal {number} ({signal_name(number)})"
    from vorlen import _liveness

    if number == signal.SIGKILL and not _liveness.was_killed(process):
        words += (", which vorlen did not send: the kernel's out-of-memory killer is the "
                  "likely cause")
    return words
