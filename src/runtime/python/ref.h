// Owned references as a type: a Ref holds one strong reference and gives it
// up when it goes out of scope. Errors travel as an empty Ref (or nullptr /
// -1 from plain functions) with the Python exception set, never swallowed.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <utility>

#include "runtime/python/gil.h"

namespace vr {

// Whether references may be released here. Always, but in one case: a
// daemon thread that the interpreter ends while it finalizes, as the thread
// asks for the interpreter lock back inside some call, is unwound without
// the lock; the references its frames held are then left to the exiting
// process. (The finalizing check comes first: it is a plain load, the
// thread state a thread-local one.)
inline bool holds_thread_state() {
#if PY_VERSION_HEX >= 0x030D0000
  return !Py_IsFinalizing() || PyThreadState_GetUnchecked() != nullptr;
#else
  return !_Py_IsFinalizing() || _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Gives up a reference from a destructor. That may run Python code (a
// __del__), and a daemon thread that runs Python code while the
// interpreter finalizes can be ended right there, by an unwinding of its
// stack that must not leave a destructor (see park_ended_thread).
inline void release_in_destructor(PyObject* p) noexcept {
  try {
    Py_DECREF(p);
  } catch (...) {
    park_ended_thread_or_rethrow();
  }
}

class Ref {
 public:
  Ref() = default;
  Ref(const Ref& other) : p_(Py_XNewRef(other.p_)) {}
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  ~Ref() {
    if (p_ && holds_thread_state()) release_in_destructor(p_);
  }

  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  // Takes over a reference the caller owns (a "new reference" result).
  static Ref steal(PyObject* p) { return Ref(p); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }

  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// The exception being raised, taken out of the thread state while cleanup
// code runs that may itself raise or run Python code (releasing a lock,
// restoring a patched attribute). restore() makes it the exception being
// raised again, replacing whatever the cleanup raised; one that is never
// restored is dropped with the guard.
class SavedError {
 public:
  SavedError() : raised_(PyErr_GetRaisedException()) {}
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() {
    if (raised_ && holds_thread_state()) release_in_destructor(raised_);
  }

  // Whether an exception was being raised when the guard was made.
  explicit operator bool() const { return raised_ != nullptr; }
  // Raises the saved exception again; with none saved, leaves the thread
  // state as the cleanup left it.
  void restore() {
    if (!raised_) return;
    PyErr_Clear();
    PyErr_SetRaisedException(raised_);
    raised_ = nullptr;
  }

 private:
  PyObject* raised_;
};

// A new list holding the given objects (new references to them).
template <typename... Items>
PyObject* list_of(Items... items) {
  PyObject* values[] = {items...};
  PyObject* list = PyList_New(sizeof...(Items));
  if (!list) return nullptr;
  for (size_t i = 0; i < sizeof...(Items); ++i)
    PyList_SET_ITEM(list, i, Py_NewRef(values[i]));
  return list;
}

// Whether the weak reference `ref` refers to `object`, which the caller
// holds (so that its address cannot have been reused by another).
inline bool refers_to(PyObject* ref, PyObject* object) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* referent = nullptr;
  if (PyWeakref_GetRef(ref, &referent) < 0) {
    PyErr_Clear();  // not a weak reference: refers to nothing
    return false;
  }
  Py_XDECREF(referent);  // `object` keeps it alive when it is the same
  return referent == object;
#else
  return PyWeakref_GetObject(ref) == object;
#endif
}

}  // namespace vr
