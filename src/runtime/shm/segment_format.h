// What the sending and the reading process of a shared-memory segment agree
// on: the layout of a segment's header page, and the reference to a segment
// that travels in a message.
//
// A segment is an anonymous memory file (memfd) of one header page followed
// by `capacity` bytes of data. The sender writes an array into it, gives
// that use a new random token, and sends a reference; the reader maps the
// file and marks in the header what it did with that use, by writing the
// use's token into one of three fields. A mark of an older use never counts
// for a newer one, so no mark has to be cleared. A small array may be sent
// before its copy into a segment being reused is over (see `filling`): the
// reader wakes up and reads the rest of the message meanwhile.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace vr::shm {

struct SegmentHeader {
  uint64_t magic;
  uint64_t token;  // the current use
  uint64_t size;   // bytes of data in the current use
  // Written by the reader: the token of the use it has mapped; the use it
  // no longer needs (the pages may be written again); the use it no longer
  // needs although a forked child of it may still read them (the sender
  // must not write them again).
  uint64_t taken;
  uint64_t released;
  uint64_t released_forked;
  // Written by the sender: it has closed the segment and will not use it
  // again, so a reader keeps no mapping of it for later.
  uint64_t retired;
  // Written by the sender: the use whose data it is still copying in, sent
  // before the copy ended (`token` is written once it has; 0 when no use
  // is). A reader of that use waits for `token` before it reads the data.
  uint64_t filling;
};
constexpr uint64_t kMagic = 0x6d68732d6e6c726fULL;  // "orln-shm"

// The reference to one use of a segment.
struct SegmentRef {
  pid_t pid = 0;            // the sending process
  int fd = -1;              // its descriptor of the memory file
  uint64_t start_time = 0;  // the sender's start time: a pid alone can be reused
  uint64_t inode = 0;       // identity of the memory file
  uint64_t device = 0;
  uint64_t token = 0;       // the use, also written in the header
  uint64_t size = 0;        // bytes of data of this use
  uint64_t capacity = 0;    // bytes of data the file holds
};

// Size of the header page: the data starts at this offset.
size_t header_bytes();

// Atomic access to a header field that the other process writes.
inline uint64_t load_mark(const uint64_t& field) {
  return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
inline void store_mark(uint64_t& field, uint64_t value) {
  __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

}  // namespace vr::shm
