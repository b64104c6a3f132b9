// Waiting for an answer while watching the request for not responding to
// its interrupt: request, wait_answer and escalate.
#include <algorithm>
#include <climits>
#include <cmath>

#include "control.h"
#include "runtime/transport/descriptors.h"
#include "runtime/process/liveness.h"
#include "runtime/transport/queue_pipe.h"
#include "runtime/python/runtime_state.h"
#include "runtime/shm/shared_api.h"

namespace control {

namespace {

using vr::Ref;

// How often a waiting parent looks at the page when nothing is due sooner:
// an interrupt from another thread may come at any time.
constexpr double kCheckEvery = 0.1;
constexpr int64_t kNever = INT64_MAX;

// When the request running on `page` becomes overdue (monotonic ns), or
// kNever: its own time limit (when it is request `token`) or the last
// interrupt of it, plus the grace period.
int64_t overdue_at(const vr::ControlPage* page, uint64_t token, int64_t grace_ns) {
  uint64_t serial = page->serial.load();
  if (serial == 0) return kNever;
  int64_t due = kNever;
  if (token != 0 && page->token.load() == token)
    due = page->deadline_ns.load() + grace_ns;
  if (page->interrupted_serial.load() == serial)
    due = std::min(due, page->interrupted_ns.load() + grace_ns);
  // The worker moved on while this was read: nothing is due for now.
  return page->serial.load() == serial ? due : kNever;
}

int64_t to_ns(double seconds) {
  return seconds >= 9e9 ? kNever / 4 : static_cast<int64_t>(seconds * 1e9);
}

// Kills the worker and raises WorkerDiedError saying why.
PyObject* kill_unresponsive(PyObject* process, double grace) {
  Ref killed = Ref::steal(PyObject_CallMethod(process, "kill", nullptr));
  if (!killed) return nullptr;
  Ref pid = Ref::steal(PyObject_GetAttrString(process, "pid"));
  if (!pid) return nullptr;
  Ref seconds = Ref::steal(PyFloat_FromDouble(grace));
  if (!seconds) return nullptr;
  Ref detail = Ref::steal(PyUnicode_FromFormat(
      "worker process %S did not respond to the interrupt within the grace "
      "period of %R s and was killed", pid.get(), seconds.get()));
  if (!detail) return nullptr;
  return vr::raise_worker_died(process, detail.get());
}

// The handle's writer process when qo and proc are still what the handle
// made (as blocked_put watches it), else None-like nullptr.
int watched_process(PyObject* handle, PyObject* qo, Ref& process) {
  Ref writer = Ref::steal(vr::registered_writer(qo));
  if (!writer) return PyErr_Occurred() ? -1 : 0;
  process = Ref::steal(PyObject_GetAttr(handle, names.proc));
  if (!process) return -1;
  if (process.get() != writer.get()) process = Ref();
  return 0;
}

// Waits for the next answer on `qo`, written by `process`, as get_answer
// does, waking every so often to look at the worker's page (found at the
// first wake-up: a quick answer needs none). A request that has not
// answered `grace` seconds after its interrupt (its time limit, when it is
// request `token`, or vorlen.interrupt) costs the worker: it is killed and
// WorkerDiedError raised.
PyObject* wait_for_answer(PyObject* handle, PyObject* qo, PyObject* process, uint64_t token,
                          double grace) {
  int sentinel = vr::descriptor_or_none(process, "sentinel");
  if (sentinel == -2) return nullptr;  // interrupted while reading it
  if (sentinel < 0) return vr::get_answer(qo, process);
  const vr::RuntimeState* rt = vr::runtime();
  if (!rt) return nullptr;
  Ref get = Ref::steal(PyObject_GetAttr(qo, rt->name(vr::kGet)));
  if (!get) return nullptr;
  Ref owner;
  vr::ControlPage* page = nullptr;
  for (;;) {
    double wait = kCheckEvery;
    if (page) {
      bool raised;
      wait = check_overdue(process, page, token, grace, raised);
      if (raised) return nullptr;
    }
    vr::Receive how;
    how.timeout = wait;
    how.writer_fd = sentinel;
    Ref message;
    int received = vr::receive_message(qo, get.get(), how, message);
    // The request's segments have been taken by now (as get_answer notes
    // too): the sender may close them.
    if (received > 0) {
      vr::sweep_shared_memory();
      return message.release();
    }
    if (received == 0) return vr::get_answer(qo, process);  // a queue read another way
    if (how.writer_died) {
      PyErr_Clear();  // the EOFError that stands for the death, told better here
      vr::sweep_shared_memory();
      return vr::raise_worker_died(process);
    }
    if (!PyErr_ExceptionMatches(rt->queue_empty)) return nullptr;
    PyErr_Clear();
    if (!owner) {
      Ref qi = Ref::steal(PyObject_GetAttr(handle, names.qi));
      if (!qi) return nullptr;
      owner = Ref::steal(vr::find_control_page(qi.get(), page));
      if (!owner && PyErr_Occurred()) return nullptr;
      if (!owner) owner = Ref::borrow(Py_None);  // none: look no more
    }
  }
}

// The answer to the request just sent to (or dealt to) `handle`.
PyObject* answer_of(PyObject* handle, uint64_t token, double grace) {
  Ref qo = Ref::steal(PyObject_GetAttr(handle, names.qo));
  if (!qo) return nullptr;
  Ref process;
  if (watched_process(handle, qo.get(), process) < 0) return nullptr;
  if (!process) return vr::get_answer(qo.get(), nullptr);
  return wait_for_answer(handle, qo.get(), process.get(), token, grace);
}

int parse_token(PyObject* value, uint64_t& token) {
  token = PyLong_AsUnsignedLongLong(value);
  return token == static_cast<uint64_t>(-1) && PyErr_Occurred() ? -1 : 0;
}

// Zero or more seconds: a NaN or a negative grace has no deadline to give.
int parse_grace(PyObject* value, double& grace) {
  grace = PyFloat_AsDouble(value);
  if (grace == -1.0 && PyErr_Occurred()) return -1;
  if (std::isnan(grace) || grace < 0) {
    PyErr_Format(PyExc_ValueError, "grace must be zero or more seconds, not %R", value);
    return -1;
  }
  return 0;
}

// request(handle, w, token, grace): puts `w` on handle.qi and returns its
// answer, as blocked_put does, escalating as wait_for_answer does.
PyObject* request(PyObject* const* a) {
  uint64_t token;
  double grace;
  if (parse_token(a[2], token) < 0 || parse_grace(a[3], grace) < 0) return nullptr;
  Ref qi = Ref::steal(PyObject_GetAttr(a[0], names.qi));
  if (!qi) return nullptr;
  Ref put = Ref::steal(PyObject_GetAttr(qi.get(), names.put));
  if (!put || vr::send_message(qi.get(), put.get(), a[1]) < 0) return nullptr;
  return answer_of(a[0], token, grace);
}

// wait_answer(handle, token, grace): the next answer of `handle`, for a
// request sent earlier.
PyObject* wait_answer(PyObject* const* a) {
  uint64_t token;
  double grace;
  if (parse_token(a[1], token) < 0 || parse_grace(a[2], grace) < 0) return nullptr;
  return answer_of(a[0], token, grace);
}

// escalate(qi, process, token, grace): for dispatchers that wait on many
// workers at once. Seconds until the request running on the worker of `qi`
// may next become overdue (None: the worker has no page, so nothing can be
// told); kills it and raises WorkerDiedError when it is overdue now.
PyObject* escalate(PyObject* const* a) {
  uint64_t token;
  double grace;
  if (parse_token(a[2], token) < 0 || parse_grace(a[3], grace) < 0) return nullptr;
  vr::ControlPage* page;
  Ref owner = Ref::steal(vr::find_control_page(a[0], page));
  if (!owner) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  }
  bool raised = false;
  double wait = check_overdue(a[1], page, token, grace, raised);
  if (raised) return nullptr;
  return PyFloat_FromDouble(wait);
}

const char* const request_params[] = {"handle", "w", "token", "grace"};
const char* const wait_params[] = {"handle", "token", "grace"};
const char* const escalate_params[] = {"qi", "process", "token", "grace"};

}  // namespace

double check_overdue(PyObject* process, vr::ControlPage* page, uint64_t token,
                     double grace, bool& raised) {
  int64_t due = overdue_at(page, token, to_ns(grace));
  int64_t now = vr::monotonic_ns();
  raised = false;
  if (due != kNever && due <= now) {
    kill_unresponsive(process, grace);
    raised = true;
    return 0;
  }
  return due == kNever ? kCheckEvery : std::min(kCheckEvery, (due - now) / 1e9);
}

// Lines of the definitions in the module's source, as traceback entries show them.
constexpr int kRequestLine = 40;     // request: send and wait, run's core
constexpr int kWaitAnswerLine = 50;  // wait_answer: one answer of a batch
constexpr int kEscalateLine = 60;    // escalate: the grace check of a dispatcher

const vr::FunctionDef request_def = {
    .name = "request",
    .qualname = "request",
    .traceback = "vorlen._control.request",
    .body = request,
    .params = request_params,
    .argcount = 4,
    .line = kRequestLine,
};
const vr::FunctionDef wait_answer_def = {
    .name = "wait_answer",
    .qualname = "wait_answer",
    .traceback = "vorlen._control.wait_answer",
    .body = wait_answer,
    .params = wait_params,
    .argcount = 3,
    .line = kWaitAnswerLine,
};
const vr::FunctionDef escalate_def = {
    .name = "escalate",
    .qualname = "escalate",
    .traceback = "vorlen._control.escalate",
    .body = escalate,
    .params = escalate_params,
    .argcount = 4,
    .line = kEscalateLine,
};

}  // namespace control
