// Copying an array into a segment that another process reads next.
//
// An ordinary copy leaves the destination in this processor's private
// cache. For an array about the size of that cache, the copy evicts the
// interpreter's own working set: the pickling that follows, and the next
// request, then run from the shared cache at a few times their speed, a
// cost as large as the copy itself (measured on one machine: a 1 MB answer
// 22 % faster when its copy goes around the cache). So such copies may use
// stores that bypass the cache; the reader finds the lines in the shared
// cache or in memory either way. On other machines the ordinary copy is
// twice as fast as those stores, so which way such copies take is measured
// by the process (copy_choice.h), as is whether a large copy is split with
// the helper thread. Much smaller copies leave little to evict, and much
// larger ones are bound by memory, where the string instructions of an
// ordinary copy are faster: both copy as usual.
#pragma once
#include <cstddef>

namespace vr::shm {

// Copies `size` bytes from `from` to `to` (not overlapping), around this
// processor's cache when that pays (see above) and `to` is 32-byte
// aligned, as a segment's data is.
void copy_for_reader(void* to, const void* from, size_t size);

}  // namespace vr::shm
