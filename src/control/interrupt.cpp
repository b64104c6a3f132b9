// interrupt_worker: stops the request a worker runs at this moment.
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <sys/syscall.h>
#include <unistd.h>

#include "control.h"
#include "ledger.h"

namespace control {

namespace {

using vr::Ref;

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

// A worker without a page (not started from here): the signal means
// "whatever runs when it arrives".
int send_plain(long pid) {
  if (syscall(SYS_tgkill, pid, pid, vr::interrupt_signal()) == 0) return 0;
  if (errno == ESRCH) return 0;
  PyErr_SetFromErrno(PyExc_OSError);
  return -1;
}

// The pid of a started process that has not been reaped (its pid cannot
// belong to anyone else yet), or 0: also for a process object that can no
// longer tell (closed), whose process has ended.
long live_pid(PyObject* process) {
  Ref exitcode = Ref::steal(PyObject_GetAttrString(process, "exitcode"));
  Ref pid = exitcode && exitcode.get() == Py_None
                ? Ref::steal(PyObject_GetAttrString(process, "pid"))
                : Ref();
  if (!exitcode || (exitcode.get() == Py_None && !pid)) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (!pid || pid.get() == Py_None) return 0;
  long number = PyLong_AsLong(pid.get());
  if (number == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  return number;
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
  long pid = signalable_pid(a[1]);
  if (pid < 0) return nullptr;
  if (pid == 0) Py_RETURN_NONE;
  int sent;
  if (owner) {
    uint64_t serial = page->serial.load();
    if (serial == 0) Py_RETURN_NONE;  // idle: nothing to stop
    sent = vr::interrupt_serial(page, pid, serial);
  } else {
    sent = send_plain(pid);
  }
  if (sent < 0) return nullptr;
  dispatch::notice_interrupt();
  Py_RETURN_NONE;
}

const char* const params[] = {"qi", "process"};

// Line of the definition in the module's source, as traceback entries show it.
constexpr int kInterruptWorkerLine = 20;

}  // namespace

long signalable_pid(PyObject* process) {
  long pid = live_pid(process);
  if (pid <= 0) return pid;
  // A process that does not catch the signal would be ended by it: one that
  // is not a worker (a `proc` that is not the worker of `qi`), or a worker
  // whose handler is not in place yet.
  return catches_signal(pid) ? pid : 0;
}

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
