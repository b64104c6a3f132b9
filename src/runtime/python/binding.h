// Binding call arguments to parameters as Python does, with the argument
// errors worded and ordered exactly as both modules promise.
#pragma once
#include "runtime/python/function.h"

namespace vr {

// The defaults are owned for the whole call: binding a keyword to a **kwargs
// dict and looking up a keyword-only default run Python code (__hash__ and
// __eq__ of keys), which may replace the function's __defaults__ or
// __kwdefaults__.
struct Signature {
  const char* name;    // __name__, first in every message
  PyObject* varnames;  // co_varnames order
  int argcount;
  int kwonlycount;
  bool varargs;
  bool varkw;
  Ref defaults;    // tuple or empty: the last positional parameters
  Ref kwdefaults;  // dict or empty: keyword-only defaults
};

// The bound values, in co_varnames order, each an owned reference: the body
// runs Python code that may drop every other reference to a default value
// (replacing or mutating __defaults__ and __kwdefaults__ in place).
struct BoundArguments {
  PyObject* slots[kMaxParams] = {};

  BoundArguments() = default;
  BoundArguments(const BoundArguments&) = delete;
  BoundArguments& operator=(const BoundArguments&) = delete;
  ~BoundArguments() {
    if (!holds_thread_state()) return;  // see holds_thread_state
    for (PyObject* slot : slots)
      if (slot) release_in_destructor(slot);
  }
};

int bind_arguments(const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, BoundArguments& out);

}  // namespace vr
