// Objects that pickle as a given call: they stand in a pickle for another
// object (a proxy of a prelude, a message already pickled for the queue's
// put()).
#pragma once
#include "runtime/python/ref.h"

namespace vr::shm {

// The type, made on first use (nullptr with an exception if it cannot be).
PyTypeObject* reduced_type();

// A new object that pickles as callable(*args).
PyObject* new_reduced(PyObject* callable, PyObject* args);

}  // namespace vr::shm
