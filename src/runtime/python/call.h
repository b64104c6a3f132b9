// Calling methods by interned name, the way `obj.name(...)` does: the method
// is looked up on the object at the moment of the call.
#pragma once
#include "runtime/python/ref.h"

namespace vr {

template <typename... Args>
PyObject* call_method(PyObject* obj, PyObject* name, Args... args) {
  PyObject* stack[] = {obj, args...};
  return PyObject_VectorcallMethod(name, stack,
                                   (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
}

}  // namespace vr
