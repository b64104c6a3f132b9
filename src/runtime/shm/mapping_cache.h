// The reading side of shared-memory segments: the mappings this process
// made of segments other processes sent it.
//
// A mapping outlives the array over it: once the array is freed, the use is
// marked released for the sender, and the mapping is kept, so that the next
// array the sender writes into the same segment costs the reader no mmap
// and no page faults. Kept mappings are dropped when their sender closes
// the segment (it says so in the header), when it ends (its pidfd), or
// after a few idle seconds; the keeper thread does that while nobody calls.
//
// A use goes through these states: claimed (mapped for a message being
// unpickled, before anything else of it is), then in use by an object over
// it or being copied out, then released. Claimed and copied mappings are
// never inherited by forked children; a mapping in use is (a child may
// use the array), and is then neither written by the sender again nor kept.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/shm/segment_format.h"

namespace vr::shm {

// Why a use could not be had.
enum class Failure {
  kNone,
  kSenderEnded,  // the sender has ended: its segments ended with it
  kSenderGoing,  // the descriptor is gone, as when the sender is being killed
  kGone,         // the segment no longer holds this use
  kCannotOpen,   // `error` says why
  kNoMemory,     // no room to map it
  kCannotMap,    // `error` says why
  kRaised,       // a signal's handler raised while it waited: the exception is set
};
struct Outcome {
  Failure failure = Failure::kNone;
  int error = 0;
};

enum class Use { kClaimed, kInUse, kCopying };

// One use of a mapping, as its holder knows it.
struct Held {
  uint64_t entry = 0;  // 0: none
  uint64_t token = 0;
  char* data = nullptr;  // the use's data
};

// The use `ref` names, mapped, in the state `use`: a use this process
// claimed already (moved to `use`), or a mapping kept from an earlier use,
// or a new one. Unless `use` is kClaimed, waits until the sender has
// written the data in, when it sent the message first. Call with the
// interpreter lock held and without the lock.
Held hold_use(const SegmentRef& ref, Use use, Outcome& outcome);

// After kSenderGoing: whether the sender of `ref` ends within `seconds`
// (then its segments ended with it). Releases the interpreter lock while
// it waits.
bool sender_ends_within(const SegmentRef& ref, double seconds);

// Whether `held` is still claimed (not taken by an object yet).
bool still_claimed(const Held& held);

// The holder of `held` exposes it to Python objects that a forked child
// may inherit: its mapping is then inherited too.
void expose_to_children(const Held& held);

// Done with a use: marks it released for the sender, keeps the mapping
// for the next use or drops it.
void release_use(const Held& held);

// Marks the use `ref` names released although it was never mapped here
// (a message that will not be unpickled). False if it could not be; when
// that was for want of a descriptor, the next sweeps try again.
bool release_unmapped(const SegmentRef& ref);

// Drops every kept mapping that is not in use (all idle ones with
// `keep_none`). Rate-limited unless `now`.
void sweep_mappings(bool now, bool keep_none);

// Mappings held, in use or kept.
size_t mappings_held();

// Whether releases wait for a descriptor to be free (see release_unmapped).
bool releases_pending();

// Whether `error` says that no descriptor was left to open a file with.
bool short_of_descriptors(int error);

}  // namespace vr::shm
