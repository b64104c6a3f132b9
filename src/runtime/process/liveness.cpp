#include "runtime/process/liveness.h"

#include "runtime/process/ledger.h"

#include "runtime/python/call.h"
#include "runtime/transport/descriptors.h"
#include "runtime/transport/queue_pipe.h"
#include "runtime/python/runtime_state.h"
#include "runtime/shm/shared_api.h"

namespace vr {

namespace {

// process.<name>, or None for a process object that can no longer tell (a
// closed one): an ordinary error reading it is not what is being reported.
PyObject* attribute_or_none(PyObject* process, const char* name) {
  PyObject* value = PyObject_GetAttrString(process, name);
  if (value || !PyErr_ExceptionMatches(PyExc_Exception)) return value;
  PyErr_Clear();
  return Py_NewRef(Py_None);
}

}  // namespace

PyObject* raise_worker_died(PyObject* process, PyObject* detail) {
  Ref pid = Ref::steal(attribute_or_none(process, "pid"));
  if (!pid) return nullptr;
  // The sentinel fires as the process exits; joining briefly reaps it so
  // that its exit code is known. An ordinary error of join leaves the exit
  // code unknown; an interrupt goes to the caller.
  Ref joined = Ref::steal(PyObject_CallMethod(process, "join", "d", 0.5));
  if (!joined) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
  }
  Ref exitcode = Ref::steal(attribute_or_none(process, "exitcode"));
  if (!exitcode) return nullptr;
  const RuntimeState* rt = runtime();
  if (!rt) return nullptr;
  Ref closed;
  if (!detail && pid.get() == Py_None) {
    closed = Ref::steal(PyUnicode_FromString(
        "the worker's process object was closed: its process has ended"));
    if (!closed) return nullptr;
    detail = closed.get();
  }
  Ref error = Ref::steal(PyObject_CallFunctionObjArgs(rt->worker_ended, process, pid.get(),
                                                      exitcode.get(),
                                                      detail ? detail : Py_None, nullptr));
  if (error) PyErr_SetObject(rt->died_error, error.get());
  return nullptr;
}

void name_running_request(Py_ssize_t position, PyObject* request) {
  const RuntimeState* rt = runtime();
  if (!rt) {
    PyErr_Clear();
    return;
  }
  if (!PyErr_ExceptionMatches(rt->died_error)) return;
  Ref error = Ref::steal(PyErr_GetRaisedException());
  Ref inner;
  if (request && Py_TYPE(request) == reinterpret_cast<PyTypeObject*>(rt->timed_request))
    inner = Ref::steal(PyObject_GetAttrString(request, "request"));
  Ref number = position >= 0 ? Ref::steal(PyLong_FromSsize_t(position)) : Ref();
  bool ok = position < 0 || (number && PyObject_SetAttrString(error.get(), "position",
                                                                number.get()) == 0);
  PyObject* shown = inner ? inner.get() : request;
  if (ok && shown) PyObject_SetAttrString(error.get(), "request", shown);
  // What could not be noted is left out; the error itself goes on.
  PyErr_Clear();
  PyErr_SetRaisedException(error.release());
}

int note_killed(PyObject* process, PyObject* reason) {
  const RuntimeState* rt = runtime();
  Ref noted = rt ? Ref::steal(PyObject_CallFunctionObjArgs(rt->note_killed, process,
                                                           reason ? reason : Py_None, nullptr))
                 : Ref();
  if (noted) return 0;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
  PyErr_Clear();  // the kill goes ahead; its report may blame the kernel
  return 0;
}

PyObject* kill_unresponsive(PyObject* process, double grace) {
  Ref pid = Ref::steal(PyObject_GetAttrString(process, "pid"));
  if (!pid) return nullptr;
  Ref seconds = Ref::steal(PyFloat_FromDouble(grace));
  if (!seconds) return nullptr;
  Ref detail = Ref::steal(PyUnicode_FromFormat(
      "worker process %S did not respond to the interrupt within the grace "
      "period of %R s and was killed", pid.get(), seconds.get()));
  if (!detail) return nullptr;
  // Noted with its reason first: a thread that sees the process gone
  // before this one reports why.
  if (note_killed(process, detail.get()) < 0) return nullptr;
  Ref killed = Ref::steal(PyObject_CallMethod(process, "kill", nullptr));
  if (!killed) return nullptr;
  return raise_worker_died(process, detail.get());
}

int register_worker(PyObject* process, PyObject* qi, PyObject* qo, PyObject* name) {
  const RuntimeState* rt = runtime();
  if (!rt) return -1;
  PyObject* args[] = {process, qi, qo, name};
  Ref done = Ref::steal(PyObject_Vectorcall(rt->register_worker, args, 4, nullptr));
  if (!done) return -1;
  const LedgerApi* api = ledger();
  return api ? api->open(qi, qo, process) : -1;
}

PyObject* registered_writer(PyObject* queue) {
  int real = is_multiprocessing_queue(queue);
  if (real <= 0) return nullptr;
  // Each extension module has its own runtime state, so the registry is
  // found by import, not through a handle having registered here.
  const RuntimeState* rt = runtime();
  if (!rt) return nullptr;
  PyObject* writer = call_method(rt->writers, rt->name(kGet), queue);
  if (writer == Py_None) Py_CLEAR(writer);
  return writer;
}

int watched_process(PyObject* handle, PyObject* qo, PyObject* proc_name, Ref& process) {
  Ref writer = Ref::steal(registered_writer(qo));
  if (!writer) return PyErr_Occurred() ? -1 : 0;
  process = Ref::steal(PyObject_GetAttr(handle, proc_name));
  if (!process) return -1;
  if (process.get() != writer.get()) process = Ref();
  return 0;
}

namespace {

// Whether the exception being raised is the time-out of a bounded wait
// (then cleared, and noted in `read`).
bool timed_out(const RuntimeState& rt, AnswerRead& read) {
  if (read.timeout < 0 || !PyErr_ExceptionMatches(rt.queue_empty)) return false;
  PyErr_Clear();
  read.timed_out = true;
  return true;
}

// queue.get() or get(timeout=...), not watching a writer.
PyObject* plain_get(const RuntimeState& rt, PyObject* get, AnswerRead& read) {
  PyObject* message;
  if (read.timeout < 0) {
    message = PyObject_CallNoArgs(get);
  } else {
    Ref kwargs = Ref::steal(Py_BuildValue("{s:d}", "timeout", read.timeout));
    Ref args = Ref::steal(PyTuple_New(0));
    message = kwargs && args ? PyObject_Call(get, args.get(), kwargs.get()) : nullptr;
  }
  if (!message) timed_out(rt, read);
  return message;
}

// The next message, reading the queue's pipe directly when it can.
PyObject* get_from(const RuntimeState& rt, PyObject* queue, AnswerRead& read) {
  Ref get = Ref::steal(PyObject_GetAttrString(queue, "get"));
  if (!get) return nullptr;
  Ref message;
  Receive how;
  how.timeout = read.timeout;
  int received = receive_message(queue, get.get(), how, message);
  if (received < 0) {
    if (!timed_out(rt, read) && how.taken) {
      read.broken = true;
      read.tag = how.tag;
    }
    return nullptr;
  }
  if (received) {
    read.tag = how.tag;
    return message.release();
  }
  return plain_get(rt, get.get(), read);
}

PyObject* wait_watching(const RuntimeState& rt, PyObject* queue, PyObject* process,
                        int sentinel, AnswerRead& read) {
  Ref get = Ref::steal(PyObject_GetAttrString(queue, "get"));
  if (!get) return nullptr;
  // Reading the pipe directly watches the worker to the last byte.
  Ref message;
  Receive how;
  how.writer_fd = sentinel;
  how.timeout = read.timeout;
  int received = receive_message(queue, get.get(), how, message);
  if (received > 0) {
    read.tag = how.tag;
    return message.release();
  }
  if (received < 0 && how.writer_died) {
    PyErr_Clear();  // the EOFError that stands for the death, told better here
    read.writer_ended = true;
    return raise_worker_died(process);
  }
  if (received < 0) {
    if (!timed_out(rt, read) && how.taken) {
      read.broken = true;
      read.tag = how.tag;
    }
    return nullptr;
  }
  int reader = descriptor_or_none(queue, "_reader");
  if (reader == -2) return nullptr;
  if (reader < 0) return plain_get(rt, get.get(), read);  // another layout
  bool answer_ready = false, process_ended = false;
  if (read.timeout < 0) {
    if (wait_readable(reader, sentinel, answer_ready, process_ended) < 0) return nullptr;
  } else {
    int ready = wait_readable_within(reader, sentinel, read.timeout, answer_ready, process_ended);
    if (ready < 0) return nullptr;
    if (ready == 0) {
      read.timed_out = true;
      return nullptr;
    }
  }
  // An answer written before the worker ended is still there to be read.
  if (answer_ready || readable_now(reader)) return PyObject_CallNoArgs(get.get());
  read.writer_ended = true;
  return raise_worker_died(process);
}

// The next answer of a worker whose process object was closed, which
// close() allows only once the process has ended: what it wrote before it
// ended can still be read, but nothing more will come, so an empty queue
// raises WorkerDiedError instead of waiting for ever.
PyObject* get_left_behind(const RuntimeState& rt, PyObject* queue, AnswerRead& read) {
  int reader = descriptor_or_none(queue, "_reader");
  if (reader == -2) return nullptr;
  if (reader >= 0 && !readable_now(reader)) {
    read.writer_ended = true;
    Ref detail = Ref::steal(PyUnicode_FromString(
        "the worker's process object was closed: its process has ended"));
    if (!detail) return nullptr;
    Ref error = Ref::steal(PyObject_CallFunctionObjArgs(rt.died_error, Py_None, Py_None,
                                                        detail.get(), nullptr));
    if (error) PyErr_SetObject(rt.died_error, error.get());
    return nullptr;
  }
  return get_from(rt, queue, read);
}

PyObject* read_from(const RuntimeState& rt, PyObject* queue, PyObject* process,
                    AnswerRead& read) {
  if (!process) return get_from(rt, queue, read);
  int sentinel = read.sentinel >= 0 ? read.sentinel : process_sentinel(process);
  if (sentinel == -2) return nullptr;
  if (sentinel == kClosedProcess) return get_left_behind(rt, queue, read);
  if (sentinel < 0) return get_from(rt, queue, read);  // not a process we know
  return wait_watching(rt, queue, process, sentinel, read);
}

}  // namespace

int process_sentinel(PyObject* process) {
  Ref value = Ref::steal(PyObject_GetAttrString(process, "sentinel"));
  int fd = value ? descriptor_of(value.get()) : -1;
  if (fd >= 0) return fd;
  if (PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return kClosedProcess;
  }
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -2;
  PyErr_Clear();
  return -1;
}

PyObject* read_answer(PyObject* queue, PyObject* process, AnswerRead& read) {
  const RuntimeState* rt = runtime();
  if (!rt) return nullptr;
  const LedgerApi* api = ledger();
  if (!api) return nullptr;
  read.tag = 0;
  read.timed_out = false;
  read.writer_ended = false;
  read.broken = false;
  api->loaded_tag();  // forgets one that nobody asked for
  Ref message = Ref::steal(read_from(*rt, queue, process, read));
  // A message that came through the queue's put() told its tag as it was
  // unpickled.
  uint64_t loaded = api->loaded_tag();
  if (message && read.tag == 0) read.tag = loaded;
  // The request's segments have been taken by the time its answer is in (or
  // its worker died): the sender may close them.
  if (message || !read.timed_out) sweep_shared_memory();
  return message.release();
}

PyObject* get_answer(PyObject* queue, PyObject* process) {
  AnswerRead read;
  return read_answer(queue, process, read);
}

PyObject* get_answer_watching(PyObject* queue, PyObject* process, int sentinel) {
  AnswerRead read;
  read.sentinel = sentinel;
  return read_answer(queue, process, read);
}

}  // namespace vr
