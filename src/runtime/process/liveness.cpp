#include "runtime/process/liveness.h"

#include "runtime/python/call.h"
#include "runtime/transport/descriptors.h"
#include "runtime/transport/queue_pipe.h"
#include "runtime/python/runtime_state.h"
#include "runtime/shm/shared_api.h"

namespace vr {

namespace {

// queue.get(), reading the queue's pipe directly when it can.
PyObject* get_from(PyObject* queue) {
  Ref get = Ref::steal(PyObject_GetAttrString(queue, "get"));
  if (!get) return nullptr;
  Ref message;
  Receive how;
  int received = receive_message(queue, get.get(), how, message);
  if (received < 0) return nullptr;
  if (received) return message.release();
  return PyObject_CallNoArgs(get.get());
}

}  // namespace

PyObject* raise_worker_died(PyObject* process, PyObject* detail) {
  Ref pid = Ref::steal(PyObject_GetAttrString(process, "pid"));
  if (!pid) return nullptr;
  // The sentinel fires as the process exits; joining briefly reaps it so
  // that its exit code is known. An ordinary error of join leaves the exit
  // code unknown; an interrupt goes to the caller.
  Ref joined = Ref::steal(PyObject_CallMethod(process, "join", "d", 0.5));
  if (!joined) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
  }
  Ref exitcode = Ref::steal(PyObject_GetAttrString(process, "exitcode"));
  if (!exitcode) return nullptr;
  const RuntimeState* rt = runtime();
  if (!rt) return nullptr;
  Ref error = Ref::steal(PyObject_CallFunctionObjArgs(
      rt->died_error, pid.get(), exitcode.get(), detail ? detail : Py_None, nullptr));
  if (error) PyErr_SetObject(rt->died_error, error.get());
  return nullptr;
}

int register_worker(PyObject* process, PyObject* qi, PyObject* qo) {
  const RuntimeState* rt = runtime();
  if (!rt) return -1;
  PyObject* args[] = {process, qi, qo};
  Ref done = Ref::steal(PyObject_Vectorcall(rt->register_worker, args, 3, nullptr));
  return done ? 0 : -1;
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

namespace {

PyObject* wait_watching(PyObject* queue, PyObject* process, int sentinel) {
  Ref get = Ref::steal(PyObject_GetAttrString(queue, "get"));
  if (!get) return nullptr;
  // Reading the pipe directly watches the worker to the last byte.
  Ref message;
  Receive how;
  how.writer_fd = sentinel;
  int received = receive_message(queue, get.get(), how, message);
  if (received > 0) return message.release();
  if (received < 0 && !how.writer_died) return nullptr;
  if (received < 0) {
    PyErr_Clear();  // the EOFError that stands for the death, told better here
    return raise_worker_died(process);
  }
  int reader = descriptor_or_none(queue, "_reader");
  if (reader == -2) return nullptr;
  if (reader < 0) return PyObject_CallNoArgs(get.get());  // another layout
  bool answer_ready = false, process_ended = false;
  if (wait_readable(reader, sentinel, answer_ready, process_ended) < 0) return nullptr;
  // An answer written before the worker ended is still there to be read.
  if (answer_ready || readable_now(reader)) return PyObject_CallNoArgs(get.get());
  return raise_worker_died(process);
}

// The next answer of a worker whose process object was closed, which
// close() allows only once the process has ended: what it wrote before it
// ended can still be read, but nothing more will come, so an empty queue
// raises WorkerDiedError instead of waiting for ever.
PyObject* get_left_behind(PyObject* queue) {
  int reader = descriptor_or_none(queue, "_reader");
  if (reader == -2) return nullptr;
  if (reader >= 0 && !readable_now(reader)) {
    const RuntimeState* rt = runtime();
    if (!rt) return nullptr;
    Ref detail = Ref::steal(PyUnicode_FromString(
        "the worker's process object was closed: its process has ended"));
    if (!detail) return nullptr;
    Ref error = Ref::steal(PyObject_CallFunctionObjArgs(rt->died_error, Py_None, Py_None,
                                                        detail.get(), nullptr));
    if (error) PyErr_SetObject(rt->died_error, error.get());
    return nullptr;
  }
  return get_from(queue);
}

// The request's segments have been taken by the time its answer is in (or
// its worker died): the sender may close them.
PyObject* after_answer(PyObject* answer) {
  sweep_shared_memory();
  return answer;
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

PyObject* get_answer(PyObject* queue, PyObject* process) {
  if (!process) return after_answer(get_from(queue));
  int sentinel = process_sentinel(process);
  if (sentinel == -2) return nullptr;
  if (sentinel == kClosedProcess) return after_answer(get_left_behind(queue));
  if (sentinel < 0) return after_answer(get_from(queue));  // not a process we know
  return after_answer(wait_watching(queue, process, sentinel));
}

PyObject* get_answer_watching(PyObject* queue, PyObject* process, int sentinel) {
  return after_answer(wait_watching(queue, process, sentinel));
}

}  // namespace vr
