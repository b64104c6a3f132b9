// Finding the bytearray and PickleBuffer objects of a message.
//
// The pickler writes exact bytearrays and PickleBuffers in a fast path of
// its own, before any hook of ours is asked, so they are found beforehand by
// a walk through the containers the pickler itself handles: exact lists,
// tuples, dicts (keys and values), sets and frozensets. Objects inside other
// objects (their pickled state, numpy object arrays) are not reached.
#pragma once
#include "runtime/ref.h"

#include <vector>

namespace vr::shm {

// Appends to `found` each bytearray of at least `min_bytearray` bytes (none
// when it is negative) and each PickleBuffer reachable from `message`, once
// each, as new references. Runs no Python code and raises nothing.
void find_buffers(PyObject* message, long long min_bytearray, std::vector<Ref>& found);

}  // namespace vr::shm
