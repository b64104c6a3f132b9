#include "liveness.h"

#include "descriptors.h"
#include "queue_pipe.h"

namespace vr {

namespace {

// Objects from other modules, imported on first use and kept.
struct Imported {
  PyObject* queue_type = nullptr;    // multiprocessing.queues.Queue
  PyObject* process_type = nullptr;  // multiprocessing.process.BaseProcess
  PyObject* writers = nullptr;       // vorlen._liveness.writers
  PyObject* died_error = nullptr;    // vorlen.WorkerDiedError
  PyObject* dumps = nullptr;         // ForkingPickler.dumps
  PyObject* format_exception = nullptr;
};
Imported imported;

PyObject* import_attribute(const char* module, const char* attribute) {
  Ref m = Ref::steal(PyImport_ImportModule(module));
  if (!m) return nullptr;
  return PyObject_GetAttrString(m.get(), attribute);
}

int load(PyObject*& slot, const char* module, const char* attribute) {
  if (slot) return 0;
  slot = import_attribute(module, attribute);
  return slot ? 0 : -1;
}

int is_process(PyObject* obj) {
  if (load(imported.process_type, "multiprocessing.process", "BaseProcess") < 0)
    return -1;
  return PyObject_IsInstance(obj, imported.process_type);
}

PyObject* call_method0(PyObject* obj, const char* name) {
  return PyObject_CallMethod(obj, name, nullptr);
}

PyObject* raise_worker_died(PyObject* process) {
  Ref pid = Ref::steal(PyObject_GetAttrString(process, "pid"));
  if (!pid) return nullptr;
  // The sentinel fires as the process exits; joining briefly reaps it so
  // that its exit code is known.
  Ref joined = Ref::steal(PyObject_CallMethod(process, "join", "d", 0.5));
  if (!joined) PyErr_Clear();
  Ref exitcode = Ref::steal(PyObject_GetAttrString(process, "exitcode"));
  if (!exitcode) return nullptr;
  if (load(imported.died_error, "vorlen._errors", "WorkerDiedError") < 0)
    return nullptr;
  Ref error = Ref::steal(PyObject_CallFunctionObjArgs(
      imported.died_error, pid.get(), exitcode.get(), nullptr));
  if (error) PyErr_SetObject(imported.died_error, error.get());
  return nullptr;
}

// The descriptor of an object's fileno(), or -1 with an exception set.
int descriptor_of(PyObject* obj, const char* attribute) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, attribute));
  if (!value) return -1;
  if (!PyLong_Check(value.get())) value = Ref::steal(call_method0(value.get(), "fileno"));
  if (!value) return -1;
  long fd = PyLong_AsLong(value.get());
  return fd == -1 && PyErr_Occurred() ? -1 : static_cast<int>(fd);
}

// Values that pickle as they are, checked without pickling them.
bool plainly_picklable(PyObject* obj, int depth) {
  if (PyUnicode_CheckExact(obj) || PyLong_CheckExact(obj) ||
      PyFloat_CheckExact(obj) || PyBytes_CheckExact(obj) || obj == Py_None ||
      PyBool_Check(obj))
    return true;
  if (depth == 0) return false;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
    PyObject** items = PySequence_Fast_ITEMS(obj);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!plainly_picklable(items[i], depth - 1)) return false;
    return true;
  }
  if (PyDict_CheckExact(obj)) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value))
      if (!plainly_picklable(key, depth - 1) || !plainly_picklable(value, depth - 1))
        return false;
    return true;
  }
  return false;
}

// Pickles `obj` as the queue would; -1 with the pickling error set.
int try_pickle(PyObject* obj) {
  if (!imported.dumps) {
    Ref pickler = Ref::steal(import_attribute("multiprocessing.reduction", "ForkingPickler"));
    if (!pickler) return -1;
    imported.dumps = PyObject_GetAttrString(pickler.get(), "dumps");
    if (!imported.dumps) return -1;
  }
  Ref pickled = Ref::steal(PyObject_CallOneArg(imported.dumps, obj));
  return pickled ? 0 : -1;
}

// "<what> cannot be pickled ...:\n<formatted exception>" for the pickling
// error being raised; clears it.
PyObject* describe_failure(PyObject* what) {
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  if (load(imported.format_exception, "traceback", "format_exception") < 0)
    return nullptr;
  Ref lines = Ref::steal(PyObject_CallOneArg(imported.format_exception, raised.get()));
  if (!lines) return nullptr;
  Ref empty = Ref::steal(PyUnicode_FromString(""));
  Ref text = Ref::steal(PyUnicode_Join(empty.get(), lines.get()));
  if (!text) return nullptr;
  return PyUnicode_FromFormat(
      "%U cannot be pickled, so it was left out of this answer:\n%U", what, text.get());
}

int append_note(PyObject* notes, PyObject* what) {
  Ref note = Ref::steal(describe_failure(what));
  return note ? PyList_Append(notes, note.get()) : -1;
}

// Checks the values of an exact dict of returned values one by one; fills
// `kept` with the ones that pickle and `notes` with why the others do not.
int split_returned(PyObject* returned, PyObject* kept, PyObject* notes) {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  Ref snapshot = Ref::steal(PyDict_Copy(returned));
  if (!snapshot) return -1;
  while (PyDict_Next(snapshot.get(), &pos, &key, &value)) {
    bool plain = plainly_picklable(key, 0) && plainly_picklable(value, 2);
    if (plain || try_pickle(key) == 0 && try_pickle(value) == 0) {
      if (PyDict_SetItem(kept, key, value) < 0) return -1;
      continue;
    }
    Ref what = Ref::steal(PyUnicode_FromFormat("The value returned under the key %R", key));
    if (!what || append_note(notes, what.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace

int is_multiprocessing_queue(PyObject* queue) {
  if (load(imported.queue_type, "multiprocessing.queues", "Queue") < 0) return -1;
  return Py_TYPE(queue) == reinterpret_cast<PyTypeObject*>(imported.queue_type);
}

int register_writer(PyObject* queue, PyObject* process) {
  int real = is_multiprocessing_queue(queue);
  if (real <= 0) return real;
  int process_like = is_process(process);
  if (process_like <= 0) return process_like;
  if (load(imported.writers, "vorlen._liveness", "writers") < 0) return -1;
  return PyObject_SetItem(imported.writers, queue, process);
}

PyObject* registered_writer(PyObject* queue) {
  int real = is_multiprocessing_queue(queue);
  if (real <= 0) return nullptr;
  // Each extension module has its own copy of this state, so the registry
  // is found by import, not through a handle having registered here.
  if (load(imported.writers, "vorlen._liveness", "writers") < 0) return nullptr;
  PyObject* writer = PyObject_CallMethod(imported.writers, "get", "O", queue);
  if (writer == Py_None) Py_CLEAR(writer);
  return writer;
}

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

PyObject* get_answer(PyObject* queue, PyObject* process) {
  if (!process) return get_from(queue);
  int sentinel = descriptor_of(process, "sentinel");
  if (sentinel < 0) {
    // A process object that was closed: wait as a plain get does.
    PyErr_Clear();
    return get_from(queue);
  }
  Ref get = Ref::steal(PyObject_GetAttrString(queue, "get"));
  if (!get) return nullptr;
  // Reading the pipe directly watches the worker to the last byte.
  Ref message;
  Receive how;
  how.writer_fd = sentinel;
  int received = receive_message(queue, get.get(), how, message);
  if (received > 0) return message.release();
  if (received < 0) return how.writer_died ? raise_worker_died(process) : nullptr;
  int reader = descriptor_of(queue, "_reader");
  if (reader < 0) {  // another layout of the queue
    PyErr_Clear();
    return PyObject_CallNoArgs(get.get());
  }
  bool answer_ready = false, process_ended = false;
  if (wait_readable(reader, sentinel, answer_ready, process_ended) < 0) return nullptr;
  // An answer written before the worker ended is still there to be read.
  if (answer_ready || readable_now(reader)) return PyObject_CallNoArgs(get.get());
  return raise_worker_died(process);
}

bool is_plainly_picklable(PyObject* message) { return plainly_picklable(message, 3); }

int check_picklable(PyObject* message) {
  if (plainly_picklable(message, 3)) return 0;
  return try_pickle(message);
}

PyObject* sendable_answer(PyObject* answer) {
  PyObject* printed = PyList_GET_ITEM(answer, 1);
  PyObject* returned = PyList_GET_ITEM(answer, 3);
  bool exact = PyUnicode_CheckExact(printed) && PyDict_CheckExact(returned);
  if (exact && PyDict_GET_SIZE(returned) == 0) return Py_NewRef(answer);

  Ref notes = Ref::steal(PyList_New(0));
  Ref kept_printed = Ref::borrow(printed);
  Ref kept_returned = Ref::borrow(returned);
  if (!notes) return nullptr;
  if (!PyUnicode_CheckExact(printed) && try_pickle(printed) < 0) {
    Ref what = Ref::steal(PyUnicode_FromString("The printed content"));
    if (!what || append_note(notes.get(), what.get()) < 0) return nullptr;
    kept_printed = Ref::steal(PyUnicode_FromString(""));
  }
  if (PyDict_CheckExact(returned)) {
    kept_returned = Ref::steal(PyDict_New());
    if (!kept_returned || split_returned(returned, kept_returned.get(), notes.get()) < 0)
      return nullptr;
  } else if (try_pickle(returned) < 0) {
    Ref what = Ref::steal(PyUnicode_FromString("The returned content"));
    if (!what || append_note(notes.get(), what.get()) < 0) return nullptr;
    kept_returned = Ref::steal(PyDict_New());
  }
  if (PyList_GET_SIZE(notes.get()) == 0) return Py_NewRef(answer);

  // The error text: the request's own traceback, if it failed, then a note
  // for every part that was left out.
  PyObject* info = PyList_GET_ITEM(answer, 2);
  if (PyUnicode_Check(info) && PyUnicode_GET_LENGTH(info) > 0 &&
      PyList_Insert(notes.get(), 0, info) < 0)
    return nullptr;
  Ref separator = Ref::steal(PyUnicode_FromString("\n"));
  Ref text = Ref::steal(PyUnicode_Join(separator.get(), notes.get()));
  Ref status = Ref::steal(PyUnicode_InternFromString("EXCEPTION"));
  if (!text || !status || !kept_printed || !kept_returned) return nullptr;
  return list_of(status.get(), kept_printed.get(), text.get(), kept_returned.get());
}

}  // namespace vr
