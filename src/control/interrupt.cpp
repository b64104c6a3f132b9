// interrupt_worker: stops the request a worker runs at this moment.
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include "control.h"

namespace control {

namespace {

using vr::Ref;

int raise_os_error() {
  PyErr_SetFromErrno(PyExc_OSError);
  return -1;
}

// Sends the signal to the worker's main thread carrying `serial`: the
// worker acts on it only while that request still runs.
int send_for_serial(long pid, uint64_t serial) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  info.si_signo = vr::interrupt_signal();
  info.si_code = SI_QUEUE;
  info.si_pid = getpid();
  info.si_uid = getuid();
  info.si_value.sival_ptr = reinterpret_cast<void*>(static_cast<uintptr_t>(serial));
  if (syscall(SYS_rt_tgsigqueueinfo, pid, pid, info.si_signo, &info) == 0) return 0;
  return errno == ESRCH ? 0 : raise_os_error();
}

// Whether process `pid` catches the interrupt signal (its handler is in
// place; the signal's default action would end it).
bool catches_signal(long pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/status", pid);
  FILE* status = std::fopen(path, "r");
  if (!status) return false;
  char line[256];
  uint64_t caught = 0;
  bool found = false;
  while (!found && std::fgets(line, sizeof line, status))
    found = std::sscanf(line, "SigCgt: %" SCNx64, &caught) == 1;
  std::fclose(status);
  return found && (caught >> (vr::interrupt_signal() - 1)) & 1;
}

// A worker without a page (not forked from here): the signal means
// "whatever runs when it arrives".
int send_plain(long pid) {
  if (syscall(SYS_tgkill, pid, pid, vr::interrupt_signal()) == 0) return 0;
  return errno == ESRCH ? 0 : raise_os_error();
}

// The pid of a started process that has not been reaped (its pid cannot
// belong to anyone else yet), or 0.
long live_pid(PyObject* process) {
  Ref exitcode = Ref::steal(PyObject_GetAttrString(process, "exitcode"));
  if (!exitcode) return -1;
  if (exitcode.get() != Py_None) return 0;
  Ref pid = Ref::steal(PyObject_GetAttrString(process, "pid"));
  if (!pid) return -1;
  if (pid.get() == Py_None) return 0;
  return PyLong_AsLong(pid.get());
}

// The page of the worker serving `qi` once its handler is ready (sets
// `page`; returns the object keeping it mapped), else nullptr (exception
// set only on error).
PyObject* ready_page(PyObject* qi, vr::ControlPage*& page) {
  Ref owner = Ref::steal(vr::find_control_page(qi, page));
  if (!owner || !page->ready.load()) {
    page = nullptr;
    return nullptr;
  }
  return owner.release();
}

// interrupt_worker(qi, process)
PyObject* interrupt_worker(PyObject* const* a) {
  vr::ControlPage* page;
  Ref owner = Ref::steal(ready_page(a[0], page));
  if (!owner && PyErr_Occurred()) return nullptr;
  // The pid is read after the page's look-up, the last code that runs
  // before the signal goes: nothing can have reaped the process since.
  long pid = live_pid(a[1]);
  if (pid < 0 && PyErr_Occurred()) return nullptr;
  // A process that does not catch the signal would be ended by it: one that
  // is not a worker (a `proc` that is not the worker of `qi`), or a worker
  // whose handler is not in place yet.
  if (pid <= 0 || !catches_signal(pid)) Py_RETURN_NONE;
  int sent;
  if (owner) {
    uint64_t serial = page->serial.load();
    if (serial == 0) Py_RETURN_NONE;  // idle: nothing to stop
    // When, then which: a reader that sees this serial sees this time.
    page->interrupted_ns.store(vr::monotonic_ns());
    page->interrupted_serial.store(serial);
    sent = send_for_serial(pid, serial);
  } else {
    sent = send_plain(pid);
  }
  if (sent < 0) return nullptr;
  Py_RETURN_NONE;
}

const char* const params[] = {"qi", "process"};

// Line of the definition in the module's source, as traceback entries show it.
constexpr int kInterruptWorkerLine = 20;

}  // namespace

const vr::FunctionDef interrupt_worker_def = {
    .name = "interrupt_worker",
    .qualname = "interrupt_worker",
    .traceback = "vorlen._control.interrupt_worker",
    .body = interrupt_worker,
    .params = params,
    .argcount = 2,
    .line = kInterruptWorkerLine,
};

}  // namespace control
