// Closing large memory files off the caller's path.
//
// Closing the last reference to a memory file frees its pages: tens of
// milliseconds for a few hundred megabytes, spent inside whichever call
// happened to close it. Large segments are therefore handed to a thread of
// their own (no Python, every signal blocked) that unmaps and closes them;
// small ones are closed at once, as is anything the thread cannot take.
//
// The thread runs only while there is something to close and then ends, so
// it never keeps the process from exiting. A forked child closes the
// descriptors still waiting (the thread does not exist in the child);
// mappings handed over must not be inherited by children (MADV_DONTFORK).
#pragma once
#include <cstddef>

namespace vr::shm {

// Unmaps `mapped` (`length` bytes, unless null) and closes `fd`, now or on
// the closing thread. `capacity` is the size of the file's data: what
// decides whether closing it is worth a thread.
void close_later(int fd, char* mapped, size_t length, size_t capacity);

// Waits until everything handed to close_later has been closed. Call
// without the interpreter lock: the wait can take tens of milliseconds.
void wait_until_closed();

}  // namespace vr::shm
