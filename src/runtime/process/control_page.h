// The page that a worker shares with the process that started it, for
// interrupting the request it runs, enforcing time limits, cancelling
// requests that their caller gave up before they started, telling which
// requests ran once the worker has ended, and limiting its memory.
//
// One small shared mapping per worker, made by the parent before the worker
// starts and registered under the worker's request queue. A forked worker
// finds it again under the same queue object; a worker started in a fresh
// interpreter (spawn, forkserver) receives the page's descriptor with its
// process object and registers it under its copy of the queue before its
// loop starts. The worker writes which request it runs and, for a timed
// request, when its limit ends; the parent writes which request it
// interrupted and when, which requests are cancelled, and the limit on the
// worker's memory.
//
// Invariants:
// - `serial` names one request of this worker for as long as it runs: the
//   tag its caller gave it (requests the runtime sent), or a number of the
//   worker's own with kLocalSerial set (requests put on the queue directly).
// - A request's serial is published (`serial`) before the worker looks at
//   the cancelled ranges, and the parent writes a range before it looks at
//   `serial`: so either the worker sees the cancellation and skips the
//   request, or the parent sees it running and interrupts it.
// - Cancelled ranges only ever cover tags the parent has sent; a slot is
//   reused only once the worker has gone past its end.
#pragma once
#include <atomic>
#include <cstdint>

#include "runtime/python/ref.h"
#include "runtime/transport/descriptors.h"  // monotonic_ns

namespace vr {

// Serials of requests that carry no tag have this bit set.
constexpr uint64_t kLocalSerial = uint64_t{1} << 63;
// The answer of a request that was cancelled before it started carries its
// tag with this bit set (tags stay far below it).
constexpr uint64_t kCancelledAnswer = uint64_t{1} << 62;

struct CancelledRange {
  std::atomic<uint64_t> first;
  std::atomic<uint64_t> last;  // 0: the slot is unused
};

constexpr int kCancelledSlots = 32;

struct ControlPage {
  // Worker: the running request's serial, 0 while none runs. It is
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
  // Worker: nonzero when every answer to a tagged request carries its tag.
  std::atomic<uint32_t> tags_answers;
  // Parent: tags of requests that must not run.
  CancelledRange cancelled[kCancelledSlots];
  // Worker: the tag of the newest request it has begun to run (0: none
  // yet). It only grows and is written before the request's code runs, so
  // once the worker has ended, every request tagged above it never ran.
  std::atomic<uint64_t> started;
  // Parent: the limit on the worker's resident memory in bytes (0: none),
  // and whether the worker checks it while a request runs (nonzero) or
  // only after each request.
  std::atomic<uint64_t> memory_limit;
  std::atomic<uint32_t> memory_during;
  // Worker: how it stands with that limit (MemoryState), and the resident
  // bytes it saw when it passed it.
  std::atomic<uint32_t> memory_state;
  std::atomic<uint64_t> memory_seen;
  // Worker: the tag of the newest tagged request it has decided on, with
  // kCancelledAnswer set when it skipped it as cancelled. Written after the
  // cancelled ranges were read and before the request runs, so that a
  // parent cancelling a request can tell whether the worker saw that.
  std::atomic<uint64_t> decided;
};

// ControlPage::memory_state.
enum MemoryState : uint32_t {
  kWithinLimit = 0,
  // Above the limit after a request: it runs no further request (each is
  // answered as not run) until it is replaced.
  kRetired = 1,
  // Above the limit while a request ran: it ended itself.
  kEndedDuring = 2,
};
static_assert(std::atomic<uint64_t>::is_always_lock_free &&
              std::atomic<int64_t>::is_always_lock_free);

// The real-time signal that carries interrupts and time limits to a worker.
int interrupt_signal();

// a + b for deadlines, staying at INT64_MAX instead of overflowing.
int64_t saturating_add(int64_t a, int64_t b);

// Seconds as nanoseconds, INT64_MAX for anything too large to count.
int64_t seconds_to_ns(double seconds);

// Makes and registers the page of the worker that will serve `qi`, when
// `qi` is a real multiprocessing queue (else does nothing), and offers it
// to `process` for a start method that pickles the process object. Call
// before process.start() and call forget_page_offer() after it.
int create_control_page(PyObject* qi, PyObject* process);
void forget_page_offer(PyObject* process);

// The page registered under `qi`: returns a new reference to the object
// that keeps it mapped and sets `page`, or returns nullptr (with an
// exception set only on error) when there is none.
PyObject* find_control_page(PyObject* qi, ControlPage*& page);

// Maps the page behind descriptor `fd` (which it closes) and registers it
// under `qi`: a worker started in a fresh interpreter adopting its page.
int adopt_control_page(PyObject* qi, int fd);

// Worker: whether the request tagged `tag` was cancelled.
bool is_cancelled(const ControlPage* page, uint64_t tag);

// Parent: cancels the request tagged `tag` only if the worker has not
// started it: true when it never runs (its answer comes marked with
// kCancelledAnswer), false when it may have started or no slot was free
// (then nothing is cancelled, unless the worker was just deciding on it:
// its answer's mark tells). `passed` as for cancel_tags.
bool cancel_unstarted(ControlPage* page, uint64_t tag, uint64_t passed);

// Parent: cancels tags first..last, reusing slots that end below
// `passed` (no request at or below it can start any more). False when no
// slot was free (the requests then run, and their answers are dropped).
bool cancel_tags(ControlPage* page, uint64_t first, uint64_t last, uint64_t passed);

// When the request running on `page` becomes overdue (monotonic ns), or
// INT64_MAX: its own time limit (when it is request `token`, nonzero) or
// the last interrupt of it, plus the grace period.
int64_t overdue_at(const ControlPage* page, uint64_t token, int64_t grace_ns);

// Sends the interrupt for the request with `serial` to process `pid`,
// after noting it on the page; the worker acts on it only while that
// request still runs. -1 with an exception on an unexpected error.
int interrupt_serial(ControlPage* page, long pid, uint64_t serial);

}  // namespace vr
