// The reading side of shared-memory segments as Python sees it: the claim
// that maps a message's segments first, and the buffer objects that expose
// a segment's data (see mapping_cache.h for what is kept).
#pragma once
#include "runtime/python/ref.h"
#include "runtime/shm/segment_format.h"

namespace vr::shm {

// The types, made on first use (nullptr with an exception if they cannot
// be).
PyTypeObject* mapped_buffer_type();
PyTypeObject* claim_type();

// Maps every segment whose reference is packed in `packed` (see
// message_refs.h) for a message about to be unpickled: a claim object that
// releases, when it is freed, each of them that nothing took meanwhile.
// When one cannot be had, the others are released and the error raised:
// vorlen.WorkerDiedError when the sender has ended (its segments ended with
// it), MemoryError when there is no room to map one, OSError otherwise.
PyObject* claim_segments(PyObject* packed);

// What a claim does when it is called (with positional arguments only):
// the module that makes claims opens one of the message's arrays, as its
// open_array does. Until one is set, a claim is not callable.
using ClaimCall = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs);
void set_claim_call(ClaimCall call);

// A new buffer object over the data of the use `ref` names (claimed, or
// mapped now), writable unless `readonly`; it releases the use when freed.
// nullptr with an exception as for claim_segments.
PyObject* take_segment(const SegmentRef& ref, bool readonly = false);

// The data of that use copied into a new bytearray, the use released at
// once: for objects that cannot own foreign memory.
PyObject* copy_segment(const SegmentRef& ref);

// Releases the uses named by the claims in a message that will not be
// unpickled; the number released. Raises nothing.
int release_unread(const char* pickled, size_t size);

}  // namespace vr::shm
