// Objects that pickle as a given call: they stand in a pickle for another
// object (a proxy of a prelude, a message already pickled for the queue's
// put()).
#pragma once
#include "runtime/python/ref.h"

#include <cstdint>

namespace vr::shm {

// The type, made on first use (nullptr with an exception if it cannot be).
PyTypeObject* reduced_type();

// A new object that pickles as callable(*args). With a `batch` of segments
// (a message for the queue's put()), it settles them: as sent once it is
// pickled, as not sent if it is freed before it ever was.
PyObject* new_reduced(PyObject* callable, PyObject* args, uint64_t batch = 0);

}  // namespace vr::shm
