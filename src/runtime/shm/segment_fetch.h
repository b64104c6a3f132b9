// Getting a descriptor of the memory file another process sent, and only
// that file: the reader asks the process itself (pidfd_getfd on a pidfd
// taken while the process was known to be the sender), or, where the
// kernel refuses that (a Yama ptrace scope that keeps children from
// attaching to their parents), opens its /proc/<pid>/fd entry without
// opening what it points to (O_PATH), checks it is the memory file the
// reference names, and only then opens that file for reading and writing.
// Never is a device, a FIFO or any other file of that process opened.
#pragma once
#include "runtime/shm/segment_format.h"

namespace vr::shm {

// A descriptor (close-on-exec) of the memory file `ref` names, held by the
// process of `pidfd`, checked to be that file (a memory file of the size
// and identity the reference gives). -1 with errno set otherwise: ESRCH
// when the process has ended, EBADF or ENOENT when it holds no such
// descriptor, ESTALE when the descriptor is another file.
int fetch_descriptor(int pidfd, const SegmentRef& ref);

// Makes fetch_descriptor always go through /proc (for tests of that way).
void fetch_through_proc_only(bool only);

}  // namespace vr::shm
