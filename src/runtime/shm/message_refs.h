// Where a message names its segments: in one call at its very start,
// vorlen._sharedmem.claim(<references>), made before anything else of the
// message is unpickled. The reader thus maps every segment of a message
// first, and whatever fails later (a class it cannot import, no memory for
// an object) leaves no segment unreached: the claim, dropped with the
// unpickler, releases what nothing took.
//
// The call is written without memo entries, so the rest of the message
// pickles exactly as it did; it stays on the unpickler's stack below the
// message, which is what loads() returns. A message written without the
// pickler (which uses no memo) has the claim memoized as entry 0 instead:
// the claim opens the message's arrays when called as open_array is (see
// shared_mapping.h), so each array names it with BINGET 0, where naming
// open_array would cost an import of its module for each array (about
// 0.75 µs apiece).
#pragma once
#include "runtime/python/ref.h"
#include "runtime/shm/segment_format.h"

#include <cstddef>
#include <vector>

namespace vr::shm {

// A new bytes object: the protocol 4 pickle `pickled` with the claim of
// `refs` after its PROTO opcode, memoized as entry 0 if `memoized` (for a
// pickle that uses no memo of its own).
PyObject* with_claim(const char* pickled, size_t size, const std::vector<SegmentRef>& refs,
                     bool memoized = false);

// The references of every claim in `data` (also of pickles nested in it as
// bytes, as a message wrapped for a queue's put() is), appended to `out`.
void find_claims(const char* data, size_t size, std::vector<SegmentRef>& out);

// The references packed in a claim's argument; false if it is not one.
bool unpack_claim(const char* data, size_t size, std::vector<SegmentRef>& out);

}  // namespace vr::shm
