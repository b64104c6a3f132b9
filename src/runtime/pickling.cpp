#include "pickling.h"

#include "runtime_state.h"

namespace vr {

namespace {

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
  // A request in its time-limit envelope: the envelope's class pickles by
  // reference, its limit and token are numbers.
  const RuntimeState* rt = runtime();
  if (!rt) {
    PyErr_Clear();  // not plain, then; the pickling that follows loads it again
    return false;
  }
  if (Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(rt->timed_request)) {
    Ref request = Ref::steal(PyObject_GetAttrString(obj, "request"));
    if (!request) {
      PyErr_Clear();
      return false;
    }
    return plainly_picklable(request.get(), depth - 1);
  }
  return false;
}

// 0 when `obj` pickles, -1 with the pickling error set.
int try_pickle(PyObject* obj) {
  Ref pickled = Ref::steal(pickle_message(obj));
  return pickled ? 0 : -1;
}

// "<what> cannot be pickled ...:\n<formatted exception>" for the pickling
// error being raised; clears it.
PyObject* describe_failure(PyObject* what) {
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  const RuntimeState* rt = runtime();
  if (!rt) return nullptr;
  Ref lines = Ref::steal(PyObject_CallOneArg(rt->format_exception, raised.get()));
  if (!lines) return nullptr;
  Ref empty = Ref::steal(PyUnicode_FromString(""));
  if (!empty) return nullptr;
  Ref text = Ref::steal(PyUnicode_Join(empty.get(), lines.get()));
  if (!text) return nullptr;
  return PyUnicode_FromFormat(
      "%U cannot be pickled, so it was left out of this answer:\n%U", what, text.get());
}

int append_note(PyObject* notes, const char* what_format, PyObject* key) {
  Ref what = Ref::steal(key ? PyUnicode_FromFormat(what_format, key)
                            : PyUnicode_FromString(what_format));
  if (!what) return -1;
  Ref note = Ref::steal(describe_failure(what.get()));
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
    if (plain || (try_pickle(key) == 0 && try_pickle(value) == 0)) {
      if (PyDict_SetItem(kept, key, value) < 0) return -1;
    } else if (append_note(notes, "The value returned under the key %R", key) < 0) {
      return -1;
    }
  }
  return 0;
}

}  // namespace

bool is_plainly_picklable(PyObject* message) { return plainly_picklable(message, 3); }

PyObject* pickle_message(PyObject* message) {
  const RuntimeState* rt = runtime();
  if (!rt) return nullptr;
  PyObject* dumps = is_plainly_picklable(message) ? rt->plain_dumps : rt->forking_dumps;
  return PyObject_CallOneArg(dumps, message);
}

int check_picklable(PyObject* message) {
  return is_plainly_picklable(message) ? 0 : try_pickle(message);
}

PyObject* sendable_answer(PyObject* answer) {
  PyObject* printed = PyList_GET_ITEM(answer, 1);
  PyObject* returned = PyList_GET_ITEM(answer, 3);
  bool exact = PyUnicode_CheckExact(printed) && PyDict_CheckExact(returned);
  if (exact && PyDict_GET_SIZE(returned) == 0) return Py_NewRef(answer);

  Ref notes = Ref::steal(PyList_New(0));
  if (!notes) return nullptr;
  Ref kept_printed = Ref::borrow(printed);
  Ref kept_returned = Ref::borrow(returned);
  if (!PyUnicode_CheckExact(printed) && try_pickle(printed) < 0) {
    if (append_note(notes.get(), "The printed content", nullptr) < 0) return nullptr;
    kept_printed = Ref::steal(PyUnicode_FromString(""));
  }
  if (PyDict_CheckExact(returned)) {
    kept_returned = Ref::steal(PyDict_New());
    if (!kept_returned || split_returned(returned, kept_returned.get(), notes.get()) < 0)
      return nullptr;
  } else if (try_pickle(returned) < 0) {
    if (append_note(notes.get(), "The returned content", nullptr) < 0) return nullptr;
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
  if (!separator) return nullptr;
  Ref text = Ref::steal(PyUnicode_Join(separator.get(), notes.get()));
  Ref status = Ref::steal(PyUnicode_InternFromString("EXCEPTION"));
  if (!text || !status || !kept_printed || !kept_returned) return nullptr;
  return list_of(status.get(), kept_printed.get(), text.get(), kept_returned.get());
}

}  // namespace vr
