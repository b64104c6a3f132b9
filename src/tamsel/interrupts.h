// The worker's side of interrupts and time limits.
//
// Every request a worker takes gets a serial number (the tag its caller
// gave it, or a number of the worker's own), and the worker keeps which
// serial is running (none while it waits, or while it builds and sends an
// answer). An interrupt arrives as a real-time signal; the signal
// handler decides on arrival whether it is meant for the running request
// and, if so, has the interpreter raise KeyboardInterrupt in it at its next
// bytecode or interruptible wait, and only if that same request is still
// running by then. So an idle worker, a finished request or a later one is
// never hit. A timed request comes wrapped in an envelope; the worker arms
// its own timer when it starts the request, so the limit counts from there.
#pragma once
#include <cstdint>

#include "runtime/process/control_page.h"
#include "runtime/python/ref.h"

namespace tamsel::interrupts {

// Installs the handler (when this is the main thread) and finds the page
// the worker shares with its parent. Called once the start-up is done.
int start(PyObject* qi);

// Why a request taken from the queue was not run.
enum class Skipped { kNo, kCancelled, kRefused };

// Marks `request` (tagged `tag` by its caller, 0: untagged) as running and
// returns what to run (new reference): the request itself, or the one
// inside a time-limit envelope, whose timer is then armed. A request that
// is not to run is not marked: `skipped` says why (its caller cancelled
// it, or the worker is above its memory limit) and Py_None is returned.
// The signal mask the worker started with is restored first, whatever an
// earlier request did to it.
PyObject* begin(PyObject* request, uint64_t tag, Skipped& skipped);

// Marks the running request as finished: nothing interrupts it any more.
void end();

// The page the worker shares with its parent, or nullptr (no page, or
// interrupts are off in this thread).
vr::ControlPage* shared_page();

// Whether `exception` is the KeyboardInterrupt that an interrupt or a time
// limit raised in the request still running.
bool is_own_interrupt(PyObject* exception);

}  // namespace tamsel::interrupts

namespace tamsel::time_limit {

struct Limit {
  vr::Ref seconds;   // the limit as the envelope gave it; empty: untimed
  uint64_t token = 0;
  int64_t deadline_ns = 0;
};

// What to run for `request` (new reference); fills `limit` when it is a
// time-limit envelope.
PyObject* unwrap(PyObject* request, Limit& limit);

// Arms the timer of request `serial`, to signal thread `tid` at the
// deadline; disarm() stops it.
int arm(uint64_t serial, const Limit& limit, long tid);
void disarm();

// In the signal handler: whether the timer of the running request `serial`
// has run out (a late signal of an earlier timer does not count).
bool expired_for(uint64_t serial);

// The text of the KeyboardInterrupt raised when the limit ran out.
PyObject* message();

}  // namespace tamsel::time_limit
