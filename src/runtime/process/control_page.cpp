#include "runtime/process/control_page.h"

#include <csignal>
#include <sys/mman.h>
#include <time.h>

#include "runtime/python/call.h"
#include "runtime/transport/queue_pipe.h"
#include "runtime/python/runtime_state.h"

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

}  // namespace

int interrupt_signal() { return SIGRTMIN + 6; }

int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int create_control_page(PyObject* qi) {
  int real = is_multiprocessing_queue(qi);
  if (real <= 0) return real;
  const RuntimeState* rt = runtime();
  if (!rt) return -1;
  void* memory = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  new (memory) ControlPage{};
  Ref capsule = Ref::steal(PyCapsule_New(memory, kCapsuleName, unmap_page));
  if (!capsule) {
    munmap(memory, kPageSize);
    return -1;
  }
  return PyObject_SetItem(rt->pages, qi, capsule.get());
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

}  // namespace vr
