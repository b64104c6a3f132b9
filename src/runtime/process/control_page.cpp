#include "runtime/process/control_page.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "runtime/python/call.h"
#include "runtime/python/runtime_state.h"
#include "runtime/transport/queue_pipe.h"

namespace vr {

namespace {

constexpr const char* kCapsuleName = "vorlen.control_page";
constexpr size_t kPageSize = 4096;
static_assert(sizeof(ControlPage) <= kPageSize);

void unmap_page(PyObject* capsule) {
  void* page = PyCapsule_GetPointer(capsule, kCapsuleName);
  if (page) munmap(page, kPageSize);
  else PyErr_Clear();
}

// Registers the mapped `memory` under `qi`; unmaps it when that fails.
int register_page(PyObject* qi, void* memory) {
  const RuntimeState* rt = runtime();
  if (!rt) {
    munmap(memory, kPageSize);
    return -1;
  }
  Ref capsule = Ref::steal(PyCapsule_New(memory, kCapsuleName, unmap_page));
  if (!capsule) {
    munmap(memory, kPageSize);
    return -1;
  }
  return PyObject_SetItem(rt->pages, qi, capsule.get());
}

void* map_page(int fd) {
  void* memory = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) {
    PyErr_SetFromErrno(PyExc_OSError);
    return nullptr;
  }
  return memory;
}

// A page in a memory file, so that its descriptor can reach a worker that
// is not forked from here. -1 with an exception.
int new_page_file() {
  int fd = static_cast<int>(syscall(SYS_memfd_create, "vorlen-page", MFD_CLOEXEC));
  if (fd < 0 || ftruncate(fd, kPageSize) < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// vorlen._pages.<function>(*args), its result dropped.
int call_pages(const char* function, PyObject* first, PyObject* second = nullptr,
               PyObject* third = nullptr) {
  Ref module = Ref::steal(PyImport_ImportModule("vorlen._pages"));
  if (!module) return -1;
  Ref callable = Ref::steal(PyObject_GetAttrString(module.get(), function));
  if (!callable) return -1;
  Ref done = Ref::steal(
      PyObject_CallFunctionObjArgs(callable.get(), first, second, third, nullptr));
  return done ? 0 : -1;
}

}  // namespace

int interrupt_signal() { return SIGRTMIN + 6; }

int64_t saturating_add(int64_t a, int64_t b) {
  int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
  return sum;
}

int64_t seconds_to_ns(double seconds) {
  if (!(seconds < 9e9)) return INT64_MAX;  // also NaN
  return static_cast<int64_t>(seconds * 1e9);
}

int create_control_page(PyObject* qi, PyObject* process) {
  int real = is_multiprocessing_queue(qi);
  if (real <= 0) return real;
  int fd = new_page_file();
  if (fd < 0) return -1;
  void* memory = map_page(fd);
  if (!memory) {
    close(fd);
    return -1;
  }
  new (memory) ControlPage{};
  if (register_page(qi, memory) < 0) {
    close(fd);
    return -1;
  }
  // The offer owns the descriptor from here on, also when it fails.
  Ref number = Ref::steal(PyLong_FromLong(fd));
  if (!number) {
    close(fd);
    return -1;
  }
  return call_pages("offer", process, qi, number.get());
}

void forget_page_offer(PyObject* process) {
  SavedError raised;
  if (call_pages("forget", process) < 0) PyErr_Clear();
  raised.restore();
}

int adopt_control_page(PyObject* qi, int fd) {
  void* memory = map_page(fd);
  close(fd);
  if (!memory) return -1;
  return register_page(qi, memory);
}

PyObject* find_control_page(PyObject* qi, ControlPage*& page) {
  page = nullptr;
  // Only real queues get a page: any other request source is not looked up
  // (its hash and equality are its own code, and it need not take weak
  // references).
  int real = is_multiprocessing_queue(qi);
  if (real <= 0) return nullptr;
  const RuntimeState* rt = runtime();
  if (!rt) return nullptr;
  Ref capsule = Ref::steal(call_method(rt->pages, rt->name(kGet), qi));
  if (!capsule) return nullptr;
  if (!PyCapsule_IsValid(capsule.get(), kCapsuleName)) return nullptr;
  page = static_cast<ControlPage*>(PyCapsule_GetPointer(capsule.get(), kCapsuleName));
  return capsule.release();
}

bool is_cancelled(const ControlPage* page, uint64_t tag) {
  for (const CancelledRange& range : page->cancelled) {
    uint64_t last = range.last.load();
    if (last != 0 && tag <= last && range.first.load() <= tag && range.last.load() == last)
      return true;
  }
  return false;
}

bool cancel_tags(ControlPage* page, uint64_t first, uint64_t last, uint64_t passed) {
  CancelledRange* free_slot = nullptr;
  for (CancelledRange& range : page->cancelled) {
    uint64_t end = range.last.load();
    // Extending the range that ends just before: only its end moves, so a
    // worker reading it meanwhile sees the old range or the longer one.
    if (end != 0 && end + 1 >= first && range.first.load() <= first) {
      if (last > end) range.last.store(last);
      return true;
    }
    if (!free_slot && (end == 0 || end < passed)) free_slot = &range;
  }
  if (!free_slot) return false;
  free_slot->last.store(0);
  free_slot->first.store(first);
  free_slot->last.store(last);
  return true;
}

bool cancel_unstarted(ControlPage* page, uint64_t tag, uint64_t passed) {
  auto decided_on = [page] { return page->decided.load() & ~kCancelledAnswer; };
  if (decided_on() >= tag) return false;
  if (!cancel_tags(page, tag, tag, passed)) return false;
  // The worker publishes the serial, reads the ranges, then writes its
  // decision; the range was written before the serial is read here. So a
  // serial that is not yet this request's means the worker will see the
  // range; one that is means it is deciding right now, and its decision is
  // only a few instructions away (bounded all the same: a stopped worker
  // leaves it to the answer's mark).
  int64_t give_up = monotonic_ns() + 50'000'000;
  for (;;) {
    uint64_t serial = page->serial.load();
    uint64_t decided = page->decided.load();
    if ((decided & ~kCancelledAnswer) >= tag) return decided == (tag | kCancelledAnswer);
    if (serial != tag) return true;
    if (monotonic_ns() > give_up) return false;
    sched_yield();
  }
}

int64_t overdue_at(const ControlPage* page, uint64_t token, int64_t grace_ns) {
  uint64_t serial = page->serial.load();
  if (serial == 0) return INT64_MAX;
  int64_t due = INT64_MAX;
  if (token != 0 && page->token.load() == token)
    due = saturating_add(page->deadline_ns.load(), grace_ns);
  if (page->interrupted_serial.load() == serial)
    due = std::min(due, saturating_add(page->interrupted_ns.load(), grace_ns));
  // The worker moved on while this was read: nothing is due for now.
  return page->serial.load() == serial ? due : INT64_MAX;
}

int interrupt_serial(ControlPage* page, long pid, uint64_t serial) {
  // When, then which: a reader that sees this serial sees this time.
  page->interrupted_ns.store(monotonic_ns());
  page->interrupted_serial.store(serial);
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  info.si_signo = interrupt_signal();
  info.si_code = SI_QUEUE;
  info.si_pid = getpid();
  info.si_uid = getuid();
  info.si_value.sival_ptr = reinterpret_cast<void*>(static_cast<uintptr_t>(serial));
  if (syscall(SYS_rt_tgsigqueueinfo, pid, pid, info.si_signo, &info) == 0) return 0;
  if (errno == ESRCH) return 0;
  PyErr_SetFromErrno(PyExc_OSError);
  return -1;
}

}  // namespace vr
