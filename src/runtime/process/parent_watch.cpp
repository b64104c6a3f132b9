#include "runtime/process/parent_watch.h"

#include "runtime/process/native_thread.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace vr {

namespace {

// The exit status of a worker that ends because its parent died; nobody is
// left to read it, but it tells the ending apart in a debugger or a trace.
constexpr int kParentDiedStatus = 1;
// How often the parent is looked at where the kernel cannot tell us.
constexpr long kPollNanoseconds = 100'000'000;

struct Watched {
  pid_t parent;
  // The parent is this process's parent in the process tree (a forked or
  // spawned child), not a process that asked a fork server for it.
  bool direct;
};

// The pid of the process whose watcher runs: a child forked from a worker
// inherits this value but not the thread.
std::atomic<pid_t> watcher_started_in{0};

[[noreturn]] void end_worker() { _exit(kParentDiedStatus); }

bool parent_gone(const Watched& watched) {
  if (watched.direct) return getppid() != watched.parent;  // reparented
  return kill(watched.parent, 0) < 0 && errno == ESRCH;
}

bool same_file(int fd, const struct stat& identity) {
  struct stat now;
  return fstat(fd, &now) == 0 && now.st_dev == identity.st_dev &&
         now.st_ino == identity.st_ino;
}

// Blocks until the parent's descriptor says that it has ended. False when
// the descriptor can no longer be trusted: code of the worker closed or
// replaced it (the descriptor is then left alone, it is no longer ours),
// or it woke without the parent having ended.
bool wait_for_exit(int pidfd, const Watched& watched) {
  struct stat identity;
  if (fstat(pidfd, &identity) < 0) return false;
  for (;;) {
    pollfd check = {pidfd, POLLIN, 0};
    int ready = poll(&check, 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || !same_file(pidfd, identity) || !(check.revents & POLLIN)) return false;
    // For a child of the parent the process tree confirms it.
    return !watched.direct || parent_gone(watched);
  }
}

void* watch(void* argument) {
  Watched watched = *static_cast<Watched*>(argument);
  delete static_cast<Watched*>(argument);
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, watched.parent, 0));
  if (pidfd < 0 && errno == ESRCH) end_worker();
  // Checked after the descriptor was opened: a parent that died before
  // could have left its pid to a new process, which the descriptor would
  // then stand for.
  if (parent_gone(watched)) end_worker();
  if (pidfd >= 0 && wait_for_exit(pidfd, watched)) end_worker();
  // No descriptor to wait on (an old kernel, a filter on system calls, a
  // descriptor taken away): look at the parent a few times a second.
  for (;;) {
    if (parent_gone(watched)) end_worker();
    timespec pause = {0, kPollNanoseconds};
    nanosleep(&pause, nullptr);
  }
}

// Starts the thread (no signal lands there: they are meant for the
// worker's Python code).
int start_watcher(const Watched& watched) {
  auto* argument = new Watched(watched);
  int failed = start_native_thread(watch, argument);
  if (failed) {
    delete argument;
    errno = failed;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  return 0;
}

// The pid of this process's multiprocessing parent; 0 when this process
// is not a multiprocessing child.
long multiprocessing_parent() {
  Ref module = Ref::steal(PyImport_ImportModule("multiprocessing.process"));
  if (!module) return -1;
  Ref parent = Ref::steal(PyObject_CallMethod(module.get(), "parent_process", nullptr));
  if (!parent) return -1;
  if (parent.get() == Py_None) return 0;
  Ref pid = Ref::steal(PyObject_GetAttrString(parent.get(), "pid"));
  if (!pid) return -1;
  long value = PyLong_AsLong(pid.get());
  if (value == -1 && PyErr_Occurred()) return -1;
  return value > 0 ? value : 0;
}

}  // namespace

int watch_parent() {
  pid_t self = getpid();
  if (watcher_started_in.load() == self) return 0;
  long parent = multiprocessing_parent();
  if (parent <= 0) return static_cast<int>(parent);
  Watched watched = {static_cast<pid_t>(parent), getppid() == parent};
  if (start_watcher(watched) < 0) return -1;
  watcher_started_in.store(self);
  return 0;
}

}  // namespace vr
