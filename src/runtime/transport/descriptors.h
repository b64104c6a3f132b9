// Waiting on file descriptors with the interpreter lock released, and with
// signal handlers run (and their exceptions raised) when a wait is
// interrupted, unless the caller defers them.
#pragma once
#include <poll.h>

#include <cstdint>

#include "runtime/python/ref.h"

namespace vr {

// The descriptor `obj` stands for: an int, or what its fileno() returns;
// -1 with an exception set (also for a negative number).
int descriptor_of(PyObject* obj);

// The descriptor held in `obj.<attribute>`: -1 with no exception set when
// the object has none to give (an ordinary error while reading it), -2
// with the exception set for anything else (KeyboardInterrupt, SystemExit).
int descriptor_or_none(PyObject* obj, const char* attribute);

// What a wait does when a signal interrupts it.
enum class Signals {
  kRun,    // runs the signal handlers; an exception one raises ends the wait
  kDefer,  // waits on; the signal stays pending, and its handler runs once
           // the caller is back in the interpreter's loop
};

// Waits without limit until `first` or `second` is readable; says which. A
// descriptor that is not open raises OSError (EBADF), as do all the waits.
int wait_readable(int first, int second, bool& first_ready, bool& second_ready,
                  Signals signals = Signals::kRun);

// As wait_readable, for at most `seconds`: 1 one is ready, 0 timed out.
int wait_readable_within(int first, int second, double seconds, bool& first_ready,
                         bool& second_ready);

// Waits up to `seconds` for `fd` to be readable: 1 ready, 0 timed out.
int wait_readable_for(int fd, double seconds);

// Whether `fd` is readable right now.
bool readable_now(int fd);

// The longest a wait looks before it sleeps (VORLEN_SPIN_MICROSECONDS, read
// once per process), in nanoseconds; 0 when it never looks.
int64_t spin_budget_ns();

// poll(), for a caller that has let go of the interpreter lock, which first
// looks for a while (VORLEN_SPIN_MICROSECONDS, 250 by default; 20 µs after
// a wait longer than that), so that an answer that comes soon wakes
// nothing; signals that come meanwhile interrupt the wait as they would
// have interrupted poll().
int spin_then_poll(pollfd* fds, nfds_t count, int timeout_ms);

// `observer()` is called as each wait of this module for a message ends,
// without the interpreter lock (the helper thread that copies large arrays
// is woken then, for the copy that may follow); call with the lock held.
void observe_wait_ends(void (*observer)());

// Seconds of the monotonic clock.
double monotonic_seconds();

// Nanoseconds of CLOCK_MONOTONIC (the same clock in every process).
int64_t monotonic_ns();

// The timeout to give poll() for a wait until `deadline` (seconds of the
// monotonic clock): milliseconds rounded up, 0 once it has passed, -1 (no
// limit) for an infinite one, at most INT_MAX, so a caller whose poll()
// timed out checks whether its deadline has really passed.
int milliseconds_until(double deadline);

// poll() with the lock released: the number of ready descriptors, -1 with
// an exception when it failed or a signal handler raised; `interrupted`
// when a signal (whose handlers ran without raising, or were deferred) cut
// the wait short.
int poll_released(pollfd* fds, nfds_t count, int timeout_ms, bool& interrupted,
                  Signals signals = Signals::kRun);

}  // namespace vr
