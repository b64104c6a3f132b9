// vorlen.run's core: a request sent and its own answer taken, watching the
// worker for a request that ignores its interrupt or time limit.
#include <cmath>

#include "control.h"
#include "ledger.h"
#include "runtime/process/liveness.h"
#include "runtime/transport/queue_pipe.h"

namespace control {

namespace {

using vr::Ref;

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

// The request as one call of the ledger: its answer, or the call is
// abandoned (the request cancelled or interrupted) with the error.
PyObject* tracked_request(const vr::LedgerApi* api, vr::Book* book, PyObject* qi,
                          PyObject* put, PyObject* qo, PyObject* process, PyObject* w,
                          uint64_t token, double grace) {
  vr::CallScope call(api, &book, 1);
  if (!call.ok()) return nullptr;
  uint64_t tag = api->tag(book, call.id(), token, grace);
  if (int sent = vr::send_message(qi, put, w, tag); sent < 0) {
    api->unsent(book, tag, sent == vr::kMaybeQueued);
    return nullptr;
  }
  vr::Wanted wanted;
  wanted.tag = tag;
  wanted.only_own = true;
  wanted.token = token;
  wanted.grace = grace;
  return vr::take_answer(call, book, qo, process, wanted, w);
}

// request(handle, w, token, grace): puts `w` on handle.qi and returns its
// answer. A request that has not answered `grace` seconds after its
// interrupt (its time limit, when it is request `token`, or
// vorlen.interrupt) costs the worker: it is killed and WorkerDiedError
// raised.
PyObject* request(PyObject* const* a) {
  uint64_t token;
  double grace;
  if (parse_token(a[2], token) < 0 || parse_grace(a[3], grace) < 0) return nullptr;
  Ref qi = Ref::steal(PyObject_GetAttr(a[0], names.qi));
  if (!qi) return nullptr;
  Ref put = Ref::steal(PyObject_GetAttr(qi.get(), names.put));
  if (!put) return nullptr;
  Ref qo = Ref::steal(PyObject_GetAttr(a[0], names.qo));
  if (!qo) return nullptr;
  Ref process;
  if (vr::watched_process(a[0], qo.get(), names.proc, process) < 0) return nullptr;
  vr::Book* book;
  if (vr::find_book(qo.get(), qi.get(), book) < 0) return nullptr;
  if (book)
    return tracked_request(vr::ledger(), book, qi.get(), put.get(), qo.get(), process.get(),
                           a[1], token, grace);
  // Queues of another kind: no page to watch, answers in order.
  if (vr::send_message(qi.get(), put.get(), a[1]) < 0) return nullptr;
  return vr::get_answer(qo.get(), process.get());
}

const char* const request_params[] = {"handle", "w", "token", "grace"};

}  // namespace

// Line of the definition in the module's source, as traceback entries show it.
constexpr int kRequestLine = 40;

const vr::FunctionDef request_def = {
    .name = "request",
    .qualname = "request",
    .traceback = "vorlen._control.request",
    .body = request,
    .params = request_params,
    .argcount = 4,
    .line = kRequestLine,
};

}  // namespace control
