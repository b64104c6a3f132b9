#include "runtime/shm/copy_helper.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "runtime/process/native_thread.h"
#include "runtime/transport/descriptors.h"

namespace vr::shm {

namespace {

constexpr size_t kChunk = 64 << 10;
constexpr size_t kSplitFrom = 512 << 10;

enum JobState : uint32_t {
  kOpen,     // published: the helper may join
  kJoined,   // the helper takes chunks
  kClosed,   // the caller finished before the helper joined: it will not
  kLeft,     // the helper took its last chunk
};

// One job at a time (copies run with the process's segment table settled
// one message at a time; a second caller copies alone).
struct Helper {
  std::atomic<bool> busy{false};      // a caller owns the job fields
  std::atomic<uint32_t> published{0}; // bumped per job; the futex word
  std::atomic<uint32_t> state{kClosed};
  std::atomic<bool> sleeping{false};
  std::atomic<bool> started{false};
  // Waits of the copying thread that ended since its last job; the first
  // few wake the helper, for the copy that may follow.
  std::atomic<uint32_t> waits_since_job{0};
  // Where the helper runs: its thread id (0 until it has started), the
  // processor it last looked from, and the one it is kept off (-1: none,
  // kNeverMoved: the system refused to move it).
  std::atomic<pid_t> tid{0};
  std::atomic<int> cpu{-1};
  std::atomic<int> kept_off{-1};
  std::atomic<size_t> next{0};        // the next chunk to take
  char* to = nullptr;
  const char* from = nullptr;
  size_t size = 0;
  ChunkCopy copy = nullptr;
};

// Never destroyed: the helper may still run while the process exits.
Helper& helper() {
  static Helper* made = new Helper();
  return *made;
}

constexpr int kNeverMoved = -2;

// The waits after a job that wake a sleeping helper: a program that sends
// arrays now and then, with a few small messages between them.
constexpr uint32_t kRousingWaits = 4;

// The thread that handed the helper its last job, by the address of its
// `thread_mark`: the one whose waits wake the helper.
thread_local char thread_mark;
std::atomic<const char*> copier{nullptr};

void futex_wait(std::atomic<uint32_t>& word, uint32_t seen) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, nullptr,
          nullptr, 0);
}

void futex_wake(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
          nullptr, 0);
}

// Takes chunks of the current job until none is left.
void take_chunks(Helper& h) {
  size_t chunks = (h.size + kChunk - 1) / kChunk;
  for (size_t i = h.next.fetch_add(1, std::memory_order_relaxed); i < chunks;
       i = h.next.fetch_add(1, std::memory_order_relaxed)) {
    size_t at = i * kChunk;
    h.copy(h.to + at, h.from + at, std::min(kChunk, h.size - at));
  }
}

// The number published next after `done` (a job, or a wait of the copying
// thread that ended): looked for as long as a wait looks at most, then
// slept for. (Looking for less after long gaps, as a wait does, measured
// worse: a helper woken by the job itself comes too late for a copy of a
// few tens of microseconds.)
uint32_t next_job(Helper& h, uint32_t done) {
  int64_t since = monotonic_ns();
  int64_t look = spin_budget_ns();
  uint32_t seen;
  while ((seen = h.published.load(std::memory_order_acquire)) == done) {
    if (monotonic_ns() - since < look) {
      sched_yield();
      h.cpu.store(sched_getcpu(), std::memory_order_relaxed);
      continue;
    }
    h.sleeping.store(true, std::memory_order_seq_cst);
    if (h.published.load(std::memory_order_seq_cst) == done) futex_wait(h.published, done);
    h.sleeping.store(false, std::memory_order_relaxed);
  }
  return seen;
}

void* helper_main(void*) {
  Helper& h = helper();
  h.tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_release);
  uint32_t done = h.published.load(std::memory_order_acquire);
  for (;;) {
    done = next_job(h, done);
    uint32_t open = kOpen;
    if (!h.state.compare_exchange_strong(open, kJoined, std::memory_order_acq_rel)) continue;
    take_chunks(h);
    h.state.store(kLeft, std::memory_order_release);
  }
  return nullptr;
}

bool start_helper(Helper& h) {
  if (h.started.load(std::memory_order_acquire)) return true;
  if (start_native_thread(helper_main, nullptr) != 0) return false;
  h.started.store(true, std::memory_order_release);
  return true;
}

size_t processors() {
  static const size_t count = [] {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return size_t{1};
    return static_cast<size_t>(CPU_COUNT(&set));
  }();
  return count;
}

// Keeps the helper off the processor this thread runs on. There it could
// only take turns with this thread: the scheduler, which sees two busy
// processors (one of them running the process that waits for this one),
// leaves it there, and a helper woken by this thread is often put there.
// A system call, made only when the helper runs here, or is asleep and not
// kept off here already; never when this thread may run on one processor
// only.
void keep_helper_apart(Helper& h) {
  int here = sched_getcpu();
  pid_t tid = h.tid.load(std::memory_order_acquire);
  int kept_off = h.kept_off.load(std::memory_order_relaxed);
  if (here < 0 || tid == 0 || kept_off == here || kept_off == kNeverMoved) return;
  if (h.cpu.load(std::memory_order_relaxed) != here && !h.sleeping.load(std::memory_order_relaxed))
    return;
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || !CPU_ISSET(here, &allowed)) return;
  CPU_CLR(here, &allowed);
  if (CPU_COUNT(&allowed) == 0) return;
  if (sched_setaffinity(tid, sizeof allowed, &allowed) != 0) {
    // Refused (a sandbox that forbids the call, say): not asked again.
    h.kept_off.store(kNeverMoved, std::memory_order_relaxed);
    return;
  }
  h.kept_off.store(here, std::memory_order_relaxed);
  h.cpu.store(-1, std::memory_order_relaxed);
}

}  // namespace

bool worth_splitting(size_t size) { return size >= kSplitFrom && processors() > 1; }

size_t split_from() { return kSplitFrom; }

void copy_in_parallel(char* to, const char* from, size_t size, ChunkCopy copy) {
  Helper& h = helper();
  bool idle = false;
  bool mine = h.busy.compare_exchange_strong(idle, true, std::memory_order_acquire);
  if (!mine || !start_helper(h)) {
    if (mine) h.busy.store(false, std::memory_order_release);
    copy(to, from, size);
    return;
  }
  h.to = to;
  h.from = from;
  h.size = size;
  h.copy = copy;
  h.next.store(0, std::memory_order_relaxed);
  copier.store(&thread_mark, std::memory_order_relaxed);
  h.waits_since_job.store(0, std::memory_order_relaxed);
  h.state.store(kOpen, std::memory_order_release);  // the fields above with it
  keep_helper_apart(h);
  h.published.fetch_add(1, std::memory_order_seq_cst);
  if (h.sleeping.load(std::memory_order_seq_cst)) futex_wake(h.published);
  take_chunks(h);
  uint32_t open = kOpen;
  if (!h.state.compare_exchange_strong(open, kClosed, std::memory_order_acq_rel)) {
    while (h.state.load(std::memory_order_acquire) != kLeft) sched_yield();
  }
  h.busy.store(false, std::memory_order_release);
}

void copy_helper_wait_ended() {
  Helper& h = helper();
  if (copier.load(std::memory_order_relaxed) != &thread_mark ||
      !h.started.load(std::memory_order_acquire) ||
      h.waits_since_job.fetch_add(1, std::memory_order_relaxed) >= kRousingWaits)
    return;
  keep_helper_apart(h);
  // A number with no job behind it: the helper finds the job closed, and
  // looks again from now.
  h.published.fetch_add(1, std::memory_order_seq_cst);
  if (h.sleeping.load(std::memory_order_seq_cst)) futex_wake(h.published);
}

void copy_helper_after_fork_in_child() {
  Helper& h = helper();
  h.started.store(false, std::memory_order_relaxed);
  h.sleeping.store(false, std::memory_order_relaxed);
  h.busy.store(false, std::memory_order_relaxed);
  h.state.store(kClosed, std::memory_order_relaxed);
  copier.store(nullptr, std::memory_order_relaxed);
  h.tid.store(0, std::memory_order_relaxed);
  h.cpu.store(-1, std::memory_order_relaxed);
  h.kept_off.store(-1, std::memory_order_relaxed);
}

}  // namespace vr::shm
