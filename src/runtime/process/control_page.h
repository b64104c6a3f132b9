// The page that a worker shares with the process that started it, for
// interrupting the request it runs and for enforcing time limits.
//
// One small anonymous shared mapping per worker, made by the parent before
// the worker is forked (so both see the same memory) and registered under
// the worker's request queue, which the worker finds again after the fork.
// The worker writes which request it runs and, for a timed request, when
// its limit ends; the parent writes which request it interrupted and when.
// Workers started another way (a fresh interpreter) find no page.
#pragma once
#include <atomic>
#include <cstdint>

#include "runtime/python/ref.h"

namespace vr {

struct ControlPage {
  // Worker: the running request's serial number, 0 while none runs. It is
  // written last when a request starts, so the fields below belong to it.
  std::atomic<uint64_t> serial;
  // Worker: the token of the running request's time limit (0: untimed) and
  // when that limit ends, in nanoseconds of CLOCK_MONOTONIC.
  std::atomic<uint64_t> token;
  std::atomic<int64_t> deadline_ns;
  // Parent: the serial of the request it last interrupted, and when.
  std::atomic<uint64_t> interrupted_serial;
  std::atomic<int64_t> interrupted_ns;
  // Worker: nonzero once its interrupt handler is installed; until then
  // the signal would end the process, so nothing is sent.
  std::atomic<uint32_t> ready;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free &&
              std::atomic<int64_t>::is_always_lock_free);

// The real-time signal that carries interrupts and time limits to a worker.
int interrupt_signal();

// Nanoseconds of CLOCK_MONOTONIC (the same clock in every process).
int64_t monotonic_ns();

// Makes and registers the page of the worker that will serve `qi`, when
// `qi` is a real multiprocessing queue (else does nothing).
int create_control_page(PyObject* qi);

// The page registered under `qi`: returns a new reference to the object
// that keeps it mapped and sets `page`, or returns nullptr (with an
// exception set only on error) when there is none.
PyObject* find_control_page(PyObject* qi, ControlPage*& page);

}  // namespace vr
