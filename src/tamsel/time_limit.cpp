// Time limits of requests: the envelope a timed request travels in, and
// the timer the worker arms when it starts such a request.
#include <atomic>
#include <cmath>
#include <csignal>
#include <ctime>
#include <unistd.h>

#include "runtime/process/control_page.h"
#include "runtime/python/runtime_state.h"
#include "interrupts.h"

namespace tamsel::time_limit {

namespace {

using vr::Ref;

// One timer per process, made at the first timed request (timers do not
// survive fork, so a forked worker makes its own).
timer_t timer;
pid_t timer_owner = 0;
bool armed = false;

// Which request the timer runs for and when it ends: read by the handler.
std::atomic<uint64_t> armed_serial{0};
std::atomic<int64_t> armed_deadline{0};
PyObject* armed_seconds = nullptr;  // for the message

int is_envelope(PyObject* request) {
  if (PyUnicode_CheckExact(request) || PyList_CheckExact(request) ||
      PyTuple_CheckExact(request))
    return 0;
  const vr::RuntimeState* rt = vr::runtime();
  if (!rt) return -1;
  return Py_TYPE(request) == reinterpret_cast<PyTypeObject*>(rt->timed_request);
}

int64_t deadline_after(double seconds) {
  double ns = std::ceil(seconds * 1e9);
  int64_t now = vr::monotonic_ns();
  if (!(ns < 1e18)) return INT64_MAX / 2;
  return now + (ns > 1 ? static_cast<int64_t>(ns) : 1);
}

int make_timer(long tid) {
  if (timer_owner == getpid()) return 0;
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = vr::interrupt_signal();
  event._sigev_un._tid = static_cast<pid_t>(tid);
  if (timer_create(CLOCK_MONOTONIC, &event, &timer) < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  timer_owner = getpid();
  return 0;
}

}  // namespace

PyObject* unwrap(PyObject* request, Limit& limit) {
  int envelope = is_envelope(request);
  if (envelope < 0) return nullptr;
  if (!envelope) return Py_NewRef(request);
  Ref inner = Ref::steal(PyObject_GetAttrString(request, "request"));
  if (!inner) return nullptr;
  limit.seconds = Ref::steal(PyObject_GetAttrString(request, "limit"));
  if (!limit.seconds) return nullptr;
  double seconds = PyFloat_AsDouble(limit.seconds.get());
  if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
  Ref token = Ref::steal(PyObject_GetAttrString(request, "token"));
  if (!token) return nullptr;
  limit.token = PyLong_AsUnsignedLongLong(token.get());
  if (limit.token == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
  limit.deadline_ns = deadline_after(seconds);
  return inner.release();
}

int arm(uint64_t serial, const Limit& limit, long tid) {
  if (make_timer(tid) < 0) return -1;
  armed_deadline.store(limit.deadline_ns);
  armed_serial.store(serial);
  Py_XSETREF(armed_seconds, Py_NewRef(limit.seconds.get()));
  itimerspec when{};
  when.it_value.tv_sec = limit.deadline_ns / 1000000000;
  when.it_value.tv_nsec = limit.deadline_ns % 1000000000;
  if (timer_settime(timer, TIMER_ABSTIME, &when, nullptr) < 0) {
    armed_serial.store(0);
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  armed = true;
  return 0;
}

void disarm() {
  if (!armed) return;
  armed_serial.store(0);
  itimerspec off{};
  timer_settime(timer, 0, &off, nullptr);
  armed = false;
}

bool expired_for(uint64_t serial) {
  return serial != 0 && armed_serial.load() == serial &&
         vr::monotonic_ns() >= armed_deadline.load();
}

PyObject* message() {
  return PyUnicode_FromFormat("the request was interrupted: time limit of %R s exceeded",
                              armed_seconds ? armed_seconds : Py_None);
}

}  // namespace tamsel::time_limit
