// The sending side of shared-memory segments: large array data written into
// anonymous memory files (memfd) that this process keeps open until the
// reading process has mapped them.
//
// A segment is a memory file of one header page followed by the data. The
// reader opens it through /proc/<this pid>/fd/<descriptor>, checks that it
// is the same file (inode, device, and a random token in the header), maps
// it, marks it taken in the header and closes its descriptor; when the
// array over it is freed, the reader unmaps it and marks it released. The
// kernel frees the memory with the last descriptor or mapping, so a process
// that dies takes its segments with it, and nothing is ever named in a file
// system.
//
// Writing into fresh shared memory costs a page allocation per 4 KiB page,
// several times the copy itself, so the sender keeps a released segment for
// a moment and writes the next large array into its pages. Segments taken
// but not released are kept (up to a limit) for that; those of a reader that
// ended are closed.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace vr::shm {

// What a reader needs to find and check a segment.
struct SegmentRef {
  pid_t pid = 0;        // the sending process
  int fd = -1;          // its descriptor of the memory file
  uint64_t inode = 0;   // identity of the memory file
  uint64_t device = 0;
  uint64_t token = 0;   // random, also written in the header page
  uint64_t size = 0;    // bytes of data after the header page
};

// Layout of a segment's header page.
struct SegmentHeader {
  uint64_t magic;
  uint64_t token;
  uint64_t size;
  uint32_t taken;     // set to 1 by the reader once it holds its own mapping
  uint32_t released;  // set to 1 by the reader once it has unmapped it
};
constexpr uint64_t kMagic = 0x6d68732d6e6c726fULL;  // "orln-shm"

// Size of the header page: the data starts at this offset.
size_t header_bytes();

// The size threshold set by the environment variable VORLEN_SHM_THRESHOLD:
// a byte count, optionally with a K, M or G suffix (powers of 1024);
// "off" (or anything unreadable) turns shared memory off: -1. Unset: the
// default.
long long threshold();
constexpr long long kDefaultThreshold = 1 << 17;

// Whether `reader` will be allowed to open this process's descriptors
// through /proc (same user and group, no capability it lacks, this process
// dumpable) and is still alive. Remembered per reader.
bool reader_can_open(pid_t reader);

// A number naming the segments made for one message (never 0).
uint64_t new_batch();

// Copies `size` bytes at `data` into a new segment meant for `reader`, with
// the interpreter lock released for the copy. The segment is pending, in
// `batch`, until settle_batch(). False (nothing left behind) when shared
// memory cannot be had: too many segments outstanding, no memory file, no
// room.
bool create_segment(const void* data, size_t size, pid_t reader, uint64_t batch,
                    SegmentRef& out);

// Whether `batch` holds any segment.
bool batch_used(uint64_t batch);

// The segments of `batch` were sent (kept until taken) or not (closed now).
void settle_batch(uint64_t batch, bool sent);

// Notes what the readers did with the segments: closes those meant for a
// reader that has ended, and the released ones not reused for a while (all
// of them with `keep_none`), and forgets the readers that have ended. Cheap when nothing is held, and done at most
// every few milliseconds otherwise unless `now`.
void sweep(bool now = false, bool keep_none = false);

// Segments still held open (pending or waiting to be taken).
size_t outstanding();

// Whether sweep() has anything to look after: segments, or readers (each
// holds a descriptor of its process until it has ended).
bool holds_anything();

}  // namespace vr::shm
