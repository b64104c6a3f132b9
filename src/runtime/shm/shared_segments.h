// The sending side of shared-memory segments: large array data written into
// anonymous memory files (memfd) that this process keeps, and that the
// reading process maps (see segment_format.h for what both agree on).
//
// Writing into fresh shared memory costs a page allocation per 4 KiB page,
// several times the copy itself, and the reader's first touch of pages it
// has not mapped before costs a fault each. So the segments meant for one
// reader form an arena that is kept and reused: a segment the reader has
// released is written again for the next array of about its size, and the
// reader keeps its mapping of it too, so that neither side allocates or
// faults again. Fresh segments are written with pwrite(), the cheapest way
// to give them pages (see fill()), and ask for huge pages where the kernel
// gives them to shared memory.
//
// What is kept is bounded: released segments are closed when not reused
// within about a second (by the keeper thread, also while nobody calls), or
// when more of them are kept than a few per reader; segments a reader still
// holds, beyond a limit. A reader that ends takes its segments with it: the
// keeper closes them as soon as its pidfd says so.
//
// Readers are identified by a pidfd taken while they were known to be the
// process meant (see register_reader), never by their pid alone.
#pragma once
#include "runtime/python/ref.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/shm/segment_format.h"

namespace vr::shm {

// The size threshold set by the environment variable VORLEN_SHM_THRESHOLD:
// a byte count, optionally with a K, M or G suffix (powers of 1024);
// "off" (or anything unreadable) turns shared memory off: -1. Unset: the
// default.
long long threshold();
constexpr long long kDefaultThreshold = 1 << 17;

// A reader, as this process knows it: a number that is never reused within
// the process. 0 stands for none.
using ReaderId = uint64_t;

// The known reader `pid` whose process has not ended, or 0. Unless `exact`,
// a reader that ended within the last millisecond may still be given (for
// a pid known otherwise to be that process's: the parent's).
ReaderId known_reader(pid_t pid, bool exact = true);

// Adds the reader `pid`, whose `pidfd` (owned from now on) the caller took
// while `pid` was known to be the process meant. 0 (the pidfd closed) when
// this process cannot keep descriptors safely.
ReaderId register_reader(pid_t pid, int pidfd);

// Whether `reader` is known, may open our segments and has not ended.
bool reader_usable(ReaderId reader);

// A number naming the segments made for one message (never 0).
uint64_t new_batch();

// Copies `size` bytes at `data` into a segment meant for `reader`: one it
// released, or a new one. The interpreter lock is released for the copy.
// The segment is pending, in `batch`, until settle_batch(). False (nothing
// left behind) when shared memory cannot be had: too many segments
// outstanding, no memory file, no room.
//
// With an `owner` (the object `data` points into, which no code may change
// before the message is sent), a small array going into a segment being
// reused is copied only when its batch is settled, once the message is on
// its way: the reader meanwhile wakes up and reads the message, and waits
// for the copy only when it opens the array (see SegmentHeader::filling).
// The owner is held until then.
bool create_segment(const void* data, size_t size, ReaderId reader, uint64_t batch,
                    PyObject* owner, SegmentRef& out);

// Makes the copies of `batch` that create_segment() put off, or with
// `copy` false (its message was never written), drops them. settle_batch()
// makes them first; a caller that hands the batch to someone else to
// settle makes them before. Call with the interpreter lock held.
void complete_fills(uint64_t batch, bool copy);

// The segments of `batch` that are still pending were sent (kept until the
// reader releases them) or not (closed now). Copies still to be made are
// made first.
void settle_batch(uint64_t batch, bool sent);

// Looks at what the readers did (rate-limited unless `now`), closing what
// is no longer needed (everything kept for reuse with `keep_none`).
void sweep(bool now = false, bool keep_none = false);

// Segments held open.
size_t outstanding();

// Whether this process holds segments, or readers' pidfds.
bool holds_anything();

}  // namespace vr::shm
