#include "runtime/transport/pickling.h"

#include "runtime/python/runtime_state.h"
#include "runtime/shm/shared_api.h"

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

// The exception being raised, taken out of the thread state as the reason
// a part of an answer is left out. Any exception counts, KeyboardInterrupt
// and SystemExit raised by a __reduce__ included: the caller waits for
// exactly one answer, so the answer must go out.
Ref take_reason() { return Ref::steal(PyErr_GetRaisedException()); }

// "<what> cannot be pickled, so it was left out of this answer:\n<reason>",
// with the reason formatted as a traceback.
PyObject* describe_failure(PyObject* what, PyObject* reason) {
  const RuntimeState* rt = runtime();
  if (!rt) return nullptr;
  Ref lines = Ref::steal(PyObject_CallOneArg(rt->format_exception, reason));
  if (!lines) return nullptr;
  Ref empty = Ref::steal(PyUnicode_FromString(""));
  if (!empty) return nullptr;
  Ref text = Ref::steal(PyUnicode_Join(empty.get(), lines.get()));
  if (!text) return nullptr;
  return PyUnicode_FromFormat(
      "%U cannot be pickled, so it was left out of this answer:\n%U", what, text.get());
}

int append_note(PyObject* notes, PyObject* what, PyObject* reason) {
  Ref note = Ref::steal(describe_failure(what, reason));
  return note ? PyList_Append(notes, note.get()) : -1;
}

int append_part_note(PyObject* notes, const char* what, PyObject* reason) {
  Ref text = Ref::steal(PyUnicode_FromString(what));
  return text ? append_note(notes, text.get(), reason) : -1;
}

// How a note names the value under `key`. The key's repr is code of the
// executed text and may fail in any way; then its type names it.
PyObject* describe_key(PyObject* key) {
  Ref shown = Ref::steal(PyObject_Repr(key));
  if (shown) return PyUnicode_FromFormat("The value returned under the key %U", shown.get());
  PyErr_Clear();
  return PyUnicode_FromFormat("The value returned under a key of type %.200s (its repr failed)",
                              Py_TYPE(key)->tp_name);
}

// Checks the values of an exact dict of returned values one by one; fills
// `kept` with the ones that pickle and `notes` with why the others do not.
// Works on a copy: pickling runs code that may change the dict.
int split_returned(PyObject* returned, PyObject* kept, PyObject* notes) {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  Ref snapshot = Ref::steal(PyDict_Copy(returned));
  if (!snapshot) return -1;
  while (PyDict_Next(snapshot.get(), &pos, &key, &value)) {
    bool plain = plainly_picklable(key, 0) && plainly_picklable(value, 2);
    if (plain || (try_pickle(key) == 0 && try_pickle(value) == 0)) {
      if (PyDict_SetItem(kept, key, value) < 0) return -1;
      continue;
    }
    Ref reason = take_reason();
    Ref what = Ref::steal(describe_key(key));
    if (!what || append_note(notes, what.get(), reason.get()) < 0) return -1;
  }
  return 0;
}

// [printed, returned] of an answer, with what cannot be pickled left out
// and a note in `notes` for each part left out. `whole` is why the answer
// as a whole did not pickle: when no single part is to blame (an answer
// too deep as a whole, a value that pickles only once), every returned
// value is left out for that reason.
int keep_sendable(PyObject* answer, PyObject* whole, PyObject* notes, Ref& printed,
                  Ref& returned) {
  printed = Ref::borrow(PyList_GET_ITEM(answer, 1));
  returned = Ref::borrow(PyList_GET_ITEM(answer, 3));
  if (!PyUnicode_CheckExact(printed.get()) && try_pickle(printed.get()) < 0) {
    Ref reason = take_reason();
    if (append_part_note(notes, "The printed content", reason.get()) < 0) return -1;
    if (!(printed = Ref::steal(PyUnicode_FromString("")))) return -1;
  }
  if (PyDict_CheckExact(returned.get())) {
    Ref kept = Ref::steal(PyDict_New());
    if (!kept || split_returned(returned.get(), kept.get(), notes) < 0) return -1;
    returned = kept;
  } else if (try_pickle(returned.get()) < 0) {
    Ref reason = take_reason();
    if (append_part_note(notes, "The returned content", reason.get()) < 0) return -1;
    if (!(returned = Ref::steal(PyDict_New()))) return -1;
  }
  if (PyList_GET_SIZE(notes) > 0) return 0;
  if (append_part_note(notes, "The answer as a whole", whole) < 0) return -1;
  if (!(returned = Ref::steal(PyDict_New()))) return -1;
  return 0;
}

// The failure answer for an answer that did not pickle as a whole: status
// "EXCEPTION", what could be kept, and as error text the request's own
// traceback (if it failed) followed by a note for every part left out.
// `bare` leaves out the printed text and every returned value.
PyObject* failure_answer(PyObject* answer, PyObject* whole, bool bare) {
  Ref notes = Ref::steal(PyList_New(0));
  if (!notes) return nullptr;
  Ref printed, returned;
  if (bare) {
    if (append_part_note(notes.get(), "The answer as a whole", whole) < 0) return nullptr;
    if (!(printed = Ref::steal(PyUnicode_FromString(""))) ||
        !(returned = Ref::steal(PyDict_New())))
      return nullptr;
  } else if (keep_sendable(answer, whole, notes.get(), printed, returned) < 0) {
    return nullptr;
  }
  PyObject* info = PyList_GET_ITEM(answer, 2);
  if (PyUnicode_Check(info) && PyUnicode_GET_LENGTH(info) > 0 &&
      PyList_Insert(notes.get(), 0, info) < 0)
    return nullptr;
  Ref separator = Ref::steal(PyUnicode_FromString("\n"));
  if (!separator) return nullptr;
  Ref text = Ref::steal(PyUnicode_Join(separator.get(), notes.get()));
  if (!text) return nullptr;
  Ref status = Ref::steal(PyUnicode_InternFromString("EXCEPTION"));
  if (!status) return nullptr;
  return list_of(status.get(), printed.get(), text.get(), returned.get());
}

}  // namespace

bool is_plainly_picklable(PyObject* message) { return plainly_picklable(message, 3); }

PyObject* pickle_message(PyObject* message) {
  const RuntimeState* rt = runtime();
  if (!rt) return nullptr;
  PyObject* dumps = is_plainly_picklable(message) ? rt->plain_dumps : rt->forking_dumps;
  return PyObject_CallOneArg(dumps, message);
}

PyObject* pickle_plain_message(PyObject* message) {
  const RuntimeState* rt = runtime();
  return rt ? PyObject_CallOneArg(rt->plain_dumps, message) : nullptr;
}

PyObject* pickle_answer(PyObject* answer, Ref& sent, OutgoingMessage* outgoing,
                        PyObject* reader) {
  Ref pickled = Ref::steal(outgoing ? outgoing->pickle(answer, reader) : pickle_message(answer));
  if (pickled) {
    sent = Ref::borrow(answer);
    return pickled.release();
  }
  Ref whole = take_reason();
  // The failure answer is made of what pickled alone; should it still fail
  // (a value that pickles only once), the bare one is plain data.
  for (bool bare : {false, true}) {
    Ref failure = Ref::steal(failure_answer(answer, whole.get(), bare));
    if (!failure) return nullptr;
    pickled = Ref::steal(pickle_message(failure.get()));
    if (pickled) {
      sent = failure;
      return pickled.release();
    }
    if (!bare) whole = take_reason();
  }
  return nullptr;
}

}  // namespace vr
