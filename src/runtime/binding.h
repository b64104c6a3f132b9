// Binding call arguments to parameters as Python does, with the argument
// errors worded and ordered exactly as both modules promise.
#pragma once
#include "function.h"

namespace vr {

struct Signature {
  const char* name;    // __name__, first in every message
  PyObject* varnames;  // co_varnames order
  int argcount;
  int kwonlycount;
  bool varargs;
  bool varkw;
  PyObject* defaults;    // tuple or nullptr: the last positional parameters
  PyObject* kwdefaults;  // dict or nullptr: keyword-only defaults
};

// The bound values, in co_varnames order. Positional and keyword values are
// borrowed from the call; the *args tuple and **kwargs dict are owned here.
struct BoundArguments {
  PyObject* slots[kMaxParams] = {};
  Ref varargs;
  Ref varkw;
};

int bind_arguments(const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, BoundArguments& out);

}  // namespace vr
