#include "runtime/transport/descriptors.h"
#include "runtime/python/gil.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace vr {

namespace {

constexpr long kDefaultSpinMicroseconds = 250;
constexpr long kLeastSpinMicroseconds = 20;

// The signals a spinning wait holds back: all but those a fault raises,
// which cannot wait.
const sigset_t& held_signals() {
  static const sigset_t held = [] {
    sigset_t set;
    sigfillset(&set);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
      sigdelset(&set, fault);
    return set;
  }();
  return held;
}

// The signals that only the looking holds back, given the mask before it.
sigset_t held_only(const sigset_t& before) {
  sigset_t held = held_signals();
  for (int number = 1; number < NSIG; ++number)
    if (sigismember(&before, number) == 1) sigdelset(&held, number);
  return held;
}

// Whether one of `held` is pending: it is let in at once, by the sleep
// that follows.
bool signal_came(const sigset_t& held) {
  sigset_t pending, both;
  if (sigpending(&pending) != 0) return true;
  sigandset(&both, &pending, &held);
  return !sigisemptyset(&both);
}

// How long this thread's last wait lasted. The next wait looks for as long
// as any wait looks at most, unless the last one was longer than that: a
// thread whose waits are long (an idle worker, a caller of long requests)
// looks only briefly, so that it does not burn a processor for nothing.
// The whole budget rather than about as long as the last waits took: a
// wait that outlasts its looking sleeps, and on a virtual machine whose
// idle processors halt, the system wakes it on the processor of the thread
// that wakes it rather than on its own idle one. The two processes of a
// round trip then take turns on one processor, a 1 MB answer taking about
// half as long again, until the balancer parts them milliseconds later.
// In a loop of 1 MB answers, whose waits sometimes run longer (the other
// side preempted for a moment), a fifth to two fifths of the loop ran that
// way when each wait looked for twice the longest of the thread's last
// eight; a twentieth with the whole budget.
thread_local int64_t last_wait_ns = 0;

void remember_wait(int64_t ns) { last_wait_ns = ns; }

int64_t looking_time_ns() {
  int64_t most = spin_budget_ns();
  int64_t least = std::min<int64_t>(most, kLeastSpinMicroseconds * 1000LL);
  return last_wait_ns > most ? least : most;
}

}  // namespace

// VORLEN_SPIN_MICROSECONDS, read once per process (a forked child keeps
// its parent's): the longest a wait looks before it sleeps; 0 or "off"
// never.
int64_t spin_budget_ns() {
  static const int64_t budget = [] {
    const char* text = std::getenv("VORLEN_SPIN_MICROSECONDS");
    if (!text || !*text) return kDefaultSpinMicroseconds * 1000LL;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno || end == text || *end || value < 0) return 0LL;  // "off" too
    return std::min<long>(value, 1'000'000) * 1000LL;
  }();
  return budget;
}

// On a machine whose idle processors halt (a virtual machine above all),
// waking a thread that sleeps in poll() costs tens of microseconds, more
// than the whole request a caller or a worker waits for; a wait that keeps
// its processor busy (yielding it to anything else that can run) is woken
// at once. Signals are held back while it looks, and ppoll() lets them in
// atomically as it goes to sleep: one that comes while it looks ends the
// looking, and interrupts that sleep at once, as it would have interrupted
// poll(), instead of being missed by it.
int spin_then_poll(pollfd* fds, nfds_t count, int timeout_ms) {
  int64_t budget = looking_time_ns();
  if (timeout_ms == 0 || budget == 0) return poll(fds, count, timeout_ms);
  int ready = poll(fds, count, 0);
  if (ready != 0) return ready;
  sigset_t before;
  if (pthread_sigmask(SIG_BLOCK, &held_signals(), &before) != 0)
    return poll(fds, count, timeout_ms);
  int64_t start = monotonic_ns();
  if (timeout_ms > 0) budget = std::min<int64_t>(budget, timeout_ms * 1'000'000LL);
  int64_t now = start;
  sigset_t held = held_only(before);
  while (ready == 0 && now - start < budget && !signal_came(held)) {
    sched_yield();
    ready = poll(fds, count, 0);
    now = monotonic_ns();
  }
  if (ready == 0) {
    timespec left{};
    timespec* limit = nullptr;
    if (timeout_ms > 0) {
      int64_t ns = std::max<int64_t>(0, timeout_ms * 1'000'000LL - (now - start));
      left = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
      limit = &left;
    }
    ready = ppoll(fds, count, limit, &before);
  }
  int error = errno;
  remember_wait(monotonic_ns() - start);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return ready;
}

int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double monotonic_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

int milliseconds_until(double deadline) {
  double left = deadline - monotonic_seconds();
  if (left == INFINITY) return -1;
  if (!(left > 0)) return 0;
  double milliseconds = std::ceil(left * 1000);
  return milliseconds < INT_MAX ? static_cast<int>(milliseconds) : INT_MAX;
}

namespace {
// Set and read with the interpreter lock held.
void (*wait_observer)() = nullptr;
}  // namespace

void observe_wait_ends(void (*observer)()) { wait_observer = observer; }

int poll_released(pollfd* fds, nfds_t count, int timeout_ms, bool& interrupted,
                  Signals signals) {
  int ready;
  void (*observer)() = timeout_ms != 0 ? wait_observer : nullptr;
  Py_BEGIN_ALLOW_THREADS
  ready = spin_then_poll(fds, count, timeout_ms);
  if (observer) observer();
  VR_END_ALLOW_THREADS
  interrupted = false;
  for (nfds_t i = 0; ready > 0 && i < count; ++i) {
    if (fds[i].revents & POLLNVAL) {  // not an open descriptor
      errno = EBADF;
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
  }
  if (ready >= 0) return ready;
  if (errno != EINTR) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  if (signals == Signals::kRun && PyErr_CheckSignals() < 0) return -1;
  interrupted = true;
  return 0;
}

int descriptor_of(PyObject* obj) {
  // An int, or what fileno() returns; a negative or too large number raises
  // as os.read() would instead of being taken for an error or cut short.
  return PyObject_AsFileDescriptor(obj);
}

int descriptor_or_none(PyObject* obj, const char* attribute) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, attribute));
  int fd = value ? descriptor_of(value.get()) : -1;
  if (fd >= 0) return fd;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -2;
  PyErr_Clear();
  return -1;
}

int wait_readable(int first, int second, bool& first_ready, bool& second_ready,
                  Signals signals) {
  for (;;) {
    pollfd fds[2] = {{first, POLLIN, 0}, {second, POLLIN, 0}};
    bool interrupted;
    if (poll_released(fds, 2, -1, interrupted, signals) < 0) return -1;
    if (interrupted) continue;
    first_ready = fds[0].revents != 0;
    second_ready = fds[1].revents != 0;
    return 0;
  }
}

int wait_readable_within(int first, int second, double seconds, bool& first_ready,
                         bool& second_ready) {
  double deadline = monotonic_seconds() + seconds;
  for (;;) {
    pollfd fds[2] = {{first, POLLIN, 0}, {second, POLLIN, 0}};
    bool interrupted;
    int ready = poll_released(fds, 2, milliseconds_until(deadline), interrupted);
    if (ready < 0) return -1;
    if (interrupted || (ready == 0 && monotonic_seconds() < deadline)) continue;
    first_ready = fds[0].revents != 0;
    second_ready = fds[1].revents != 0;
    return ready > 0 ? 1 : 0;
  }
}

int wait_readable_for(int fd, double seconds) {
  double deadline = monotonic_seconds() + seconds;
  for (;;) {
    pollfd check = {fd, POLLIN, 0};
    bool interrupted;
    int ready = poll_released(&check, 1, milliseconds_until(deadline), interrupted);
    if (ready < 0) return -1;
    if (interrupted || (ready == 0 && monotonic_seconds() < deadline)) continue;
    return ready > 0 ? 1 : 0;
  }
}

bool readable_now(int fd) {
  pollfd check = {fd, POLLIN, 0};
  return poll(&check, 1, 0) > 0 && check.revents != 0;
}

}  // namespace vr
