// The lock over this process's shared-memory state, and the keeper: a
// native thread that looks after that state while nobody calls.
//
// Closing the last reference to a large memory file frees its pages: tens
// of milliseconds for a few hundred megabytes, spent inside whichever call
// happened to close it. The keeper does that instead, and it notices on its
// own what needs no caller: a peer that has ended (its pidfd becomes
// readable), a segment its reader released, memory kept for reuse that was
// not reused in time. So a process that never calls the library again
// (after killing its workers, say) still gives everything back.
//
// The thread runs no Python code, blocks every signal, and exists only while
// there is something to look after (it ends once both tables are empty).
// With nothing but live peers to watch, it sleeps in poll() on their pidfds;
// it looks at the headers a few times a second only while segments are out
// or mappings are kept. It never keeps a process from exiting.
//
// Forks: the lock is held across fork(), so a child copies the state whole;
// the child (where the thread does not exist) closes what it inherited and
// is not its own (see each table's after_fork_in_child).
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "runtime/shm/segment_format.h"

namespace vr::shm {

// Holds the lock for its scope. The lock is never held while the
// interpreter lock is released, nor while Python code runs (which could
// fork), nor across anything that blocks.
class Locked {
 public:
  Locked();
  ~Locked();
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// A memory file's descriptor (or -1) and our mapping of it (or nullptr),
// to be unmapped and closed.
struct Closing {
  int fd = -1;
  char* mapped = nullptr;
  size_t length = 0;
};

// What one look over a table found: what to close, which pidfds to wait
// on, when to look again (seconds on the monotonic clock; 0: only when a
// pidfd fires), and whether the table holds anything to look after.
struct Look {
  std::vector<Closing> closing;
  std::vector<int> pidfds;
  std::vector<SegmentRef> unreleased;  // to mark released (retry_releases)
  double next = 0;
  bool holds = false;

  void look_again_at(double when) {
    if (next == 0 || when < next) next = when;
  }
};

// How soon a table wants another look while it holds what only a look at
// the headers can tell (a reader's marks): they are noticed at this pace.
constexpr double kLookEvery = 0.1;

// Installs the fork handlers; false if they cannot be (then nothing may be
// held that a child must not inherit).
bool fork_handlers_installed();

// Closes `what`: large files on the keeper thread, the rest at once. Call
// without the lock.
void close_later(const Closing& what);
void close_all_later(const std::vector<Closing>& what);

// Starts the keeper if it is not running, or has it look again soon: after
// adding something it is to watch. Call without the lock.
void ensure_keeper();

// Waits until the keeper has closed everything handed to it. Call without
// the lock and without the interpreter lock.
void wait_until_closed();

// Each table's part (defined with the tables), called with the lock held:
// a look at the sender's segments and at the reader's mappings, and what a
// fork does to them.
void look_at_segments(double now, bool keep_none, Look& look);
void look_at_mappings(double now, bool keep_none, Look& look);
// Marks released the uses a look handed over that could not be marked for
// want of a descriptor. Call without the lock.
void retry_releases(const std::vector<SegmentRef>& refs);
void segments_before_fork();
void mappings_before_fork();
void segments_after_fork_in_child();
void mappings_after_fork_in_child();

}  // namespace vr::shm
