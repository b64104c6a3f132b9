// A function type that behaves like a Python function: it binds as a method
// through the descriptor protocol, is called through vectorcall, reports its
// signature through a code object, and pickles by qualified name.
#pragma once
#include "runtime/python/module.h"

namespace vr {

// The body of a function: receives its arguments bound to the parameters in
// the order of a code object's co_varnames (positional parameters, then
// keyword-only ones, then the *args tuple, then the **kwargs dict).
using FunctionBody = PyObject* (*)(PyObject* const* args);

struct FunctionDef {
  const char* name;       // __name__
  const char* qualname;   // __qualname__
  const char* traceback;  // "vorlen.<module>.<qualname>", the traceback entry
  FunctionBody body;
  const char* const* params;  // co_varnames order
  int argcount = 0;           // positional-or-keyword parameters
  int kwonlycount = 0;
  bool varargs = false;
  bool varkw = false;
  int line = 0;  // line of traceback entries
};

inline constexpr int kMaxParams = 8;

// Creates a function object for `def`, living in `state`'s module.
// `defaults` (a tuple or nullptr) and `kwdefaults` (a dict or nullptr) fill
// __defaults__ and __kwdefaults__; `doc` (or nullptr for None) is __doc__.
PyObject* make_function(const ModuleState& state, const FunctionDef& def,
                        PyObject* defaults, PyObject* kwdefaults,
                        const char* doc);

// Readies the function type; called once per module before any function is
// made.
int ready_function_type();

}  // namespace vr
