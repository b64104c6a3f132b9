// The reading side of shared-memory segments: mapping a segment another
// process sent, as a writable buffer that unmaps itself when the last
// object using it is freed.
#pragma once
#include "runtime/python/ref.h"
#include "runtime/shm/shared_segments.h"

namespace vr::shm {

// The type of the buffers take_segment returns (ready on first use).
PyTypeObject* mapped_buffer_type();

// Opens the segment through /proc/<pid>/fd/<fd>, checks that it is the one
// `ref` names, maps its data, marks it taken and closes the descriptor. A
// new buffer object exposing the data (writable unless `readonly`), or
// nullptr with vorlen.WorkerDiedError when the sending process has ended
// (its segments ended with it) or OSError when the segment cannot be had.
PyObject* take_segment(const SegmentRef& ref, bool readonly = false);

// The same checks, but the data is read into a new bytearray and the
// segment marked taken and released at once, so that the sender can reuse
// or close it: for objects that cannot own foreign memory.
PyObject* copy_segment(const SegmentRef& ref);

}  // namespace vr::shm
