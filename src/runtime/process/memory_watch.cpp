#include "runtime/process/memory_watch.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include "runtime/process/native_thread.h"

namespace vr {

namespace {

// How often a running request's memory is looked at. A request that
// allocates a few gigabytes per second overshoots the limit by at most
// that rate times this before it is stopped.
constexpr long kCheckNanoseconds = 20'000'000;
// How often the thread looks whether a limit has been set.
constexpr long kIdleNanoseconds = 100'000'000;

// The pid of the process whose watch runs: a child forked from a worker
// inherits this value but not the thread.
std::atomic<pid_t> watch_started_in{0};

void pause_for(long nanoseconds) {
  timespec pause = {0, nanoseconds};
  while (nanosleep(&pause, &pause) < 0 && errno == EINTR) {
  }
}

// Ends the process for passing the limit while a request ran, once the
// page says so: the parent reads it there when it reports the death.
[[noreturn]] void end_over_limit(ControlPage* page, uint64_t seen) {
  page->memory_seen.store(seen);
  page->memory_state.store(kEndedDuring);
  kill(getpid(), SIGKILL);
  _exit(1);  // not reached: SIGKILL cannot be caught
}

void* watch(void* argument) {
  auto* page = static_cast<ControlPage*>(argument);
  for (;;) {
    uint64_t limit = page->memory_limit.load();
    if (limit == 0 || !page->memory_during.load()) {
      pause_for(kIdleNanoseconds);
      continue;
    }
    pause_for(kCheckNanoseconds);
    uint64_t serial = page->serial.load();
    if (serial == 0) continue;  // idle: the limit is checked after each request
    uint64_t seen = resident_bytes();
    // Still the same request, and the limit still the same: an answer that
    // was being sent, or a limit lifted meanwhile, does not count.
    if (seen > limit && page->serial.load() == serial && page->memory_limit.load() == limit &&
        page->memory_during.load() && page->memory_state.load() == kWithinLimit)
      end_over_limit(page, seen);
  }
}

}  // namespace

uint64_t resident_bytes() {
  int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128];
  ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  if (length <= 0) return 0;
  text[length] = '\0';
  // "size resident shared ...", in pages.
  char* rest = nullptr;
  std::strtoull(text, &rest, 10);
  unsigned long long pages = std::strtoull(rest, nullptr, 10);
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

int watch_memory(ControlPage* page) {
  pid_t self = getpid();
  if (watch_started_in.load() == self) return 0;
  int failed = start_native_thread(watch, page);
  if (failed) {
    errno = failed;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  watch_started_in.store(self);
  return 0;
}

}  // namespace vr
