// Finding the bytearray and PickleBuffer objects of a message.
//
// The pickler writes exact bytearrays and PickleBuffers in a fast path of
// its own, before any hook of ours is asked, so they are found beforehand by
// a walk through the containers the pickler itself handles: exact lists,
// tuples, dicts (keys and values), sets and frozensets, and the request in a
// time-limit envelope. Objects inside other objects (their pickled state,
// numpy object arrays) are not reached.
#pragma once
#include "runtime/python/ref.h"

#include <vector>

namespace vr::shm {

// Appends to `found` each bytearray of at least `min_bytearray` bytes (none
// when it is negative) and each PickleBuffer reachable from `message`, once
// each, as new references. `envelope` is the type of the time-limit
// envelope (vorlen._timed.TimedRequest, whose `request` slot is walked), or
// nullptr. Runs no Python code; -1 with an exception only when memory runs
// out.
int find_buffers(PyObject* message, long long min_bytearray, PyObject* envelope,
                 std::vector<Ref>& found);

}  // namespace vr::shm
