// Pickling a message in which some objects are to be pickled otherwise than
// the pickler would, although it never asks how (bytearray, PickleBuffer).
//
// A "prelude" is pickled first: a tuple of proxies, each reducing to what
// its object should become in the reader. Its final STOP becomes a POP (the
// same length, so frame lengths stay right), and the message is pickled
// after it by the same pickler, whose memo now names each object by the
// memo entry of its proxy. The pickler checks its memo before its fast
// paths, so every occurrence of such an object is written as a reference to
// what the prelude built. The result is still one ordinary pickle: a plain
// pickle.loads rebuilds the prelude, drops it from its stack and goes on
// with the message, with the same memo numbering on both sides.
#pragma once
#include "runtime/python/ref.h"

namespace vr::shm {

// `message` pickled by `pickler_class(file, None)` after the prelude
// `proxies` (a tuple), with proxies[i] standing for targets[i] (a tuple of
// the same length). A new bytes-like object, or nullptr with an exception.
PyObject* dumps_with_prelude(PyObject* pickler_class, PyObject* message, PyObject* proxies,
                             PyObject* targets);

}  // namespace vr::shm
