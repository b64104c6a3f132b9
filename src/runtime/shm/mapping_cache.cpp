#include "runtime/shm/mapping_cache.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <ctime>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "runtime/shm/keeper.h"
#include "runtime/shm/process_identity.h"
#include "runtime/shm/segment_fetch.h"
#include "runtime/python/gil.h"
#include "runtime/transport/descriptors.h"

namespace vr::shm {

namespace {

// A kept mapping whose sender neither reused nor closed the segment for
// this long is dropped all the same (a sender that could not run its
// keeper).
constexpr double kKeepIdleSeconds = 5.0;
// Least time between two sweeps from a caller that are not asked for now.
constexpr double kSweepInterval = 0.005;

enum class State { kIdle, kClaimed, kInUse, kCopying };

struct Entry {
  uint64_t id;
  pid_t pid;              // the sender, with its start time
  uint64_t start_time;
  uint64_t inode, device, capacity;
  char* base;             // the mapping of the whole file
  size_t length;
  uint64_t token;         // the use it holds, or last held
  State state;
  // Whether a forked child is to inherit the mapping: while an object that
  // a child may inherit uses it. Told to the system only when a fork comes
  // (`advised` is what it was last told): two calls per message otherwise.
  bool exposed;
  bool advised;    // MADV_DOFORK, rather than MADV_DONTFORK
  bool forked;     // a child inherited it while in use: not to be written again
  bool inherited;  // this process is such a child: the use is not ours to mark
  double idle_since;
};

struct Sender {
  pid_t pid;
  uint64_t start_time;
  int pidfd;    // taken while it was known to be that process
  bool ended;
  int waiters;  // callers waiting on the pidfd without the lock
  double looked;  // when its pidfd was last asked
};

// Releases of uses never mapped here that failed for want of a
// descriptor: tried again by each sweep, so that a reader that ran out of
// descriptors for a moment does not leave its senders holding the segments
// for as long as it lives. At most this many (the oldest go first; their
// senders get them back when this process ends).
constexpr size_t kMostUnreleased = 1024;

struct Cache {
  std::vector<Entry> entries;
  std::vector<Sender> senders;
  std::vector<SegmentRef> unreleased;
  uint64_t last_id = 0;
  double last_sweep = 0;
};

// Never destroyed: the keeper thread may use it while the process exits.
Cache& cache() {
  static Cache* made = new Cache();
  return *made;
}

SegmentHeader* header_of(const Entry& e) { return reinterpret_cast<SegmentHeader*>(e.base); }

bool same_segment(const Entry& e, const SegmentRef& ref) {
  return e.pid == ref.pid && e.start_time == ref.start_time && e.inode == ref.inode &&
         e.device == ref.device && e.capacity == ref.capacity && !e.inherited;
}

// Whether the header is that of the use `ref` names: written, or still
// being written by a sender that sent the message first.
bool holds_use(const SegmentHeader& header, const SegmentRef& ref) {
  if (header.magic != kMagic || ref.size > ref.capacity) return false;
  if (load_mark(header.token) != ref.token && load_mark(header.filling) != ref.token) return false;
  return header.size == ref.size;
}

Sender* find_sender(pid_t pid, uint64_t start_time) {
  for (Sender& s : cache().senders)
    if (s.pid == pid && s.start_time == start_time) return &s;
  return nullptr;
}

// Whether `sender` has ended (see ended_as_seen). A use released keeps the
// mapping of a sender that ended meanwhile only until the keeper sees it.
bool ended(Sender& sender, bool exact = true) {
  return ended_as_seen(sender.pidfd, sender.ended, sender.looked, exact);
}

Entry* find_entry(uint64_t id) {
  for (Entry& e : cache().entries)
    if (e.id == id) return &e;
  return nullptr;
}

State state_for(Use use) {
  return use == Use::kClaimed ? State::kClaimed : use == Use::kInUse ? State::kInUse
                                                                      : State::kCopying;
}

Held held_of(const Entry& e) { return {e.id, e.token, e.base + header_bytes()}; }

Closing unmapping(const Entry& e) { return {-1, e.base, e.length}; }

Closing remove_at(size_t i) {
  auto& entries = cache().entries;
  Closing closing = unmapping(entries[i]);
  entries[i] = entries.back();
  entries.pop_back();
  return closing;
}

// The use `ref` names from what is mapped already: a claim of it, or a
// kept mapping of its segment. Under the lock. `found` says whether the
// segment is mapped here at all.
Held from_mapped(const SegmentRef& ref, Use use, bool& found, Outcome& outcome) {
  found = false;
  for (Entry& e : cache().entries) {
    if (!same_segment(e, ref)) continue;
    found = true;
    if (e.state == State::kClaimed && e.token == ref.token) {
      e.state = state_for(use);
      return held_of(e);
    }
    if (e.state == State::kIdle && holds_use(*header_of(e), ref)) {
      e.state = state_for(use);
      e.token = ref.token;
      store_mark(header_of(e)->taken, ref.token);
      return held_of(e);
    }
    // In use for another use, or written since: this message's use is over.
    outcome.failure = Failure::kGone;
    return {};
  }
  return {};
}

// The sender's pidfd, known or taken now and checked to be the process
// that started when the reference says, held open for the caller until
// let_go(): -1 when that process has ended.
int hold_sender(const SegmentRef& ref) {
  {
    Locked locked;
    if (Sender* known = find_sender(ref.pid, ref.start_time)) {
      if (ended(*known)) return -1;
      ++known->waiters;
      return known->pidfd;
    }
  }
  int pidfd = open_pidfd_of(ref.pid, ref.start_time);
  if (pidfd < 0) return -1;
  Locked locked;
  if (Sender* added = find_sender(ref.pid, ref.start_time)) {  // by another caller meanwhile
    close(pidfd);
    ++added->waiters;
    return added->pidfd;
  }
  cache().senders.push_back({ref.pid, ref.start_time, pidfd, false, 1, 0});
  return pidfd;
}

// Under the lock.
void let_go(const SegmentRef& ref) {
  if (Sender* sender = find_sender(ref.pid, ref.start_time)) --sender->waiters;
}

Failure failure_of_fetch(int error) {
  switch (error) {
    case ESRCH: return Failure::kSenderEnded;
    case EBADF: case ENOENT: return Failure::kSenderGoing;
    case ESTALE: return Failure::kGone;
    default: return Failure::kCannotOpen;
  }
}

// A new mapping of the segment `ref` names; nullptr with `outcome` set.
char* map_new(const SegmentRef& ref, int pidfd, Outcome& outcome) {
  int fd = fetch_descriptor(pidfd, ref);
  if (fd < 0) {
    outcome = {failure_of_fetch(errno), errno};
    return nullptr;
  }
  size_t length = header_bytes() + ref.capacity;
  void* at = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int error = errno;
  close(fd);
  if (at == MAP_FAILED) {
    outcome = {error == ENOMEM ? Failure::kNoMemory : Failure::kCannotMap, error};
    return nullptr;
  }
  if (madvise(at, length, MADV_DONTFORK) != 0) {
    outcome = {Failure::kCannotMap, errno};
    munmap(at, length);
    return nullptr;
  }
  if (!holds_use(*static_cast<SegmentHeader*>(at), ref)) {
    outcome = {Failure::kGone, 0};
    munmap(at, length);
    return nullptr;
  }
  return static_cast<char*>(at);
}

// Forgets the senders that hold no mapping here and have ended.
void prune_senders() {
  auto& senders = cache().senders;
  for (size_t i = 0; i < senders.size();) {
    bool used = senders[i].waiters > 0;
    for (const Entry& e : cache().entries)
      used |= e.pid == senders[i].pid && e.start_time == senders[i].start_time;
    if (!used && ended(senders[i])) {
      close(senders[i].pidfd);
      senders[i] = senders.back();
      senders.pop_back();
    } else {
      ++i;
    }
  }
}

bool sender_gone(const Entry& e, bool exact = true) {
  Sender* sender = find_sender(e.pid, e.start_time);
  return !sender || ended(*sender, exact);
}

enum class Fill { kDone, kOngoing, kGone, kSenderEnded, kInterrupted };

Fill fill_of(const Held& held) {
  const auto* header = reinterpret_cast<const SegmentHeader*>(held.data - header_bytes());
  if (load_mark(header->token) == held.token) return Fill::kDone;
  // A sender that moved on to another use will not finish this one.
  return load_mark(header->filling) == held.token ? Fill::kOngoing : Fill::kGone;
}

// Sleeps until the data of `held` is in, the sender (its `pidfd`) ends, or
// a signal's handler raises, in steps that grow to a millisecond.
Fill sleep_until_filled(const Held& held, int pidfd) {
  long step_ns = 50'000;
  for (;;) {
    Fill fill = fill_of(held);
    if (fill != Fill::kOngoing) return fill;
    pollfd ended = {pidfd, POLLIN, 0};
    timespec step = {0, step_ns};
    int ready, error;
    Py_BEGIN_ALLOW_THREADS
    ready = ppoll(&ended, 1, &step, nullptr);
    error = errno;
    VR_END_ALLOW_THREADS
    if (ready > 0) {
      fill = fill_of(held);
      return fill == Fill::kOngoing ? Fill::kSenderEnded : fill;
    }
    if (ready < 0 && error == EINTR && PyErr_CheckSignals() < 0) return Fill::kInterrupted;
    step_ns = std::min(2 * step_ns, 1'000'000L);
  }
}

// Waits until the sender has copied in the data of `held`, which it sent
// before the copy was over: about as long as this process took to read the
// message. It looks at the header for as long as a wait for a message
// looks at the pipe, then sleeps, looking at the sender's pidfd too: a
// sender that ends meanwhile never finishes. The interpreter lock is let
// go throughout, and signals are handled while it sleeps, as in any wait
// of the interpreter's (one whose handler raises ends it).
Fill await_fill(const SegmentRef& ref, const Held& held) {
  double until = now_seconds() + static_cast<double>(spin_budget_ns()) * 1e-9;
  Fill looked;
  Py_BEGIN_ALLOW_THREADS
  do {
    looked = fill_of(held);
    if (looked != Fill::kOngoing) break;
    // Whatever else could run here goes first: on a busy machine, the
    // sender's own helper thread copying part of this very array.
    sched_yield();
  } while (now_seconds() < until);
  VR_END_ALLOW_THREADS
  if (looked != Fill::kOngoing) return looked;
  int pidfd = hold_sender(ref);
  if (pidfd < 0) {
    Fill fill = fill_of(held);
    return fill == Fill::kOngoing ? Fill::kSenderEnded : fill;
  }
  Fill fill = sleep_until_filled(held, pidfd);
  Locked locked;
  let_go(ref);
  return fill;
}

Held hold_mapped_use(const SegmentRef& ref, Use use, Outcome& outcome) {
  if (!fork_handlers_installed()) {
    outcome = {Failure::kCannotOpen, ENOSYS};
    return {};
  }
  {
    Locked locked;
    bool found;
    Held held = from_mapped(ref, use, found, outcome);
    if (held.entry || found) return held;
  }
  // Mapped with the interpreter lock held, so that no fork copies the
  // descriptor or the mapping before it is marked not to be inherited.
  int pidfd = hold_sender(ref);
  if (pidfd < 0) {
    // A sender that could not be looked at for want of a descriptor has
    // not ended: its segment is released later (hold_or_raise).
    int error = errno;
    outcome = short_of_descriptors(error) ? Outcome{Failure::kCannotOpen, error}
                                          : Outcome{Failure::kSenderEnded, 0};
    return {};
  }
  char* base = map_new(ref, pidfd, outcome);
  Locked locked;
  let_go(ref);
  if (!base) return {};
  Entry entry = {++cache().last_id, ref.pid,  ref.start_time, ref.inode,
                 ref.device,        ref.capacity, base,        header_bytes() + ref.capacity,
                 ref.token,         state_for(use), false,      false,
                 false,             false,        0};
  cache().entries.push_back(entry);
  store_mark(header_of(entry)->taken, ref.token);
  return held_of(entry);
}

}  // namespace

Held hold_use(const SegmentRef& ref, Use use, Outcome& outcome) {
  outcome = {};
  Held held = hold_mapped_use(ref, use, outcome);
  // A claim only maps: the data is waited for when an object takes it.
  if (!held.entry || use == Use::kClaimed) return held;
  Fill fill = fill_of(held);
  if (fill == Fill::kOngoing) fill = await_fill(ref, held);
  if (fill == Fill::kDone) return held;
  release_use(held);  // runs no Python code: an interrupted wait's error stays set
  outcome.failure = fill == Fill::kGone          ? Failure::kGone
                    : fill == Fill::kInterrupted ? Failure::kRaised
                                                 : Failure::kSenderEnded;
  return {};
}

bool sender_ends_within(const SegmentRef& ref, double seconds) {
  int pidfd;
  {
    Locked locked;
    Sender* sender = find_sender(ref.pid, ref.start_time);
    if (!sender) return true;
    if (ended(*sender)) return true;
    ++sender->waiters;  // keeps the pidfd open while the lock is not held
    pidfd = sender->pidfd;
  }
  bool ends;
  Py_BEGIN_ALLOW_THREADS
  ends = ends_within(pidfd, seconds);
  VR_END_ALLOW_THREADS
  Locked locked;
  if (Sender* sender = find_sender(ref.pid, ref.start_time)) --sender->waiters;
  return ends;
}

bool still_claimed(const Held& held) {
  Locked locked;
  Entry* e = find_entry(held.entry);
  return e && e->token == held.token && e->state == State::kClaimed;
}

void expose_to_children(const Held& held) {
  Locked locked;
  Entry* e = find_entry(held.entry);
  if (e && e->token == held.token) e->exposed = true;
}

void release_use(const Held& held) {
  if (!held.entry) return;
  Closing closing;
  bool kept = false;
  {
    Locked locked;
    auto& entries = cache().entries;
    size_t i = 0;
    while (i < entries.size() && entries[i].id != held.entry) ++i;
    if (i == entries.size()) return;
    Entry& e = entries[i];
    if (e.token != held.token || e.state == State::kIdle) return;
    if (e.inherited) {
      // A forked child's copy of its parent's use: only the mapping is ours.
      closing = remove_at(i);
    } else {
      SegmentHeader* header = header_of(e);
      store_mark(e.forked ? header->released_forked : header->released, e.token);
      if (e.forked || load_mark(header->retired) || sender_gone(e, false)) {
        // Nothing will be written into it again for us: not worth keeping.
        closing = remove_at(i);
      } else {
        e.exposed = false;
        e.state = State::kIdle;
        e.idle_since = now_seconds();
        kept = true;
      }
    }
  }
  close_later(closing);
  // Kept mappings are dropped by the keeper once the sender closes the
  // segment or ends.
  if (kept) ensure_keeper();
}

bool short_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

namespace {

// Under the lock.
void release_later(const SegmentRef& ref) {
  auto& unreleased = cache().unreleased;
  for (const SegmentRef& known : unreleased)
    if (known.pid == ref.pid && known.inode == ref.inode && known.token == ref.token) return;
  if (unreleased.size() >= kMostUnreleased) unreleased.erase(unreleased.begin());
  unreleased.push_back(ref);
}

enum class Marked { kYes, kNo, kLater };

// Marks the use `ref` names released (see release_unmapped); kLater when
// no descriptor was left to open the segment or its sender with.
Marked mark_released(const SegmentRef& ref) {
  {
    Locked locked;
    for (Entry& e : cache().entries) {
      if (!same_segment(e, ref)) continue;
      if (e.state != State::kIdle || !holds_use(*header_of(e), ref)) return Marked::kNo;
      store_mark(header_of(e)->released, ref.token);
      return Marked::kYes;
    }
  }
  int pidfd = hold_sender(ref);
  if (pidfd < 0)  // its segments ended with it, unless no descriptor was left
    return short_of_descriptors(errno) ? Marked::kLater : Marked::kNo;
  // The descriptor lives under the lock, which a fork waits for: the
  // keeper calls this without the interpreter lock, and a child must not
  // inherit the sender's memory.
  Locked locked;
  int fd = fetch_descriptor(pidfd, ref);
  int error = errno;
  let_go(ref);
  if (fd < 0) return short_of_descriptors(error) ? Marked::kLater : Marked::kNo;
  SegmentHeader header;
  bool released = pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                  holds_use(header, ref) &&
                  pwrite(fd, &ref.token, sizeof ref.token, offsetof(SegmentHeader, released)) ==
                      static_cast<ssize_t>(sizeof ref.token);
  close(fd);
  return released ? Marked::kYes : Marked::kNo;
}

}  // namespace

bool release_unmapped(const SegmentRef& ref) {
  Marked marked = mark_released(ref);
  if (marked == Marked::kLater) {
    {
      Locked locked;
      release_later(ref);
    }
    ensure_keeper();  // which tries again at its pace
  }
  return marked == Marked::kYes;
}

void retry_releases(const std::vector<SegmentRef>& refs) {
  for (const SegmentRef& ref : refs) {
    if (mark_released(ref) != Marked::kLater) continue;
    Locked locked;
    release_later(ref);
  }
}

void look_at_mappings(double now, bool keep_none, Look& look) {
  auto& entries = cache().entries;
  for (size_t i = 0; i < entries.size();) {
    const Entry& e = entries[i];
    bool drop = e.state == State::kIdle &&
                (keep_none || now - e.idle_since >= kKeepIdleSeconds ||
                 load_mark(header_of(e)->retired) || sender_gone(e));
    if (drop)
      look.closing.push_back(remove_at(i));
    else
      ++i;
  }
  prune_senders();
  for (const Entry& e : entries)
    if (e.state == State::kIdle) look.look_again_at(now + kLookEvery);
  for (const Sender& s : cache().senders)
    if (!s.ended) look.pidfds.push_back(s.pidfd);
  if (!cache().unreleased.empty()) {
    look.unreleased.swap(cache().unreleased);
    look.look_again_at(now + kLookEvery);
  }
  look.holds |= !entries.empty() || !cache().senders.empty() || !look.unreleased.empty();
}

void sweep_mappings(bool now, bool keep_none) {
  Look look;
  {
    Locked locked;
    Cache& c = cache();
    if (c.entries.empty() && c.senders.empty() && c.unreleased.empty()) return;
    double time = now_seconds();
    if (!now && !keep_none && time - c.last_sweep < kSweepInterval) return;
    c.last_sweep = time;
    look_at_mappings(time, keep_none, look);
  }
  close_all_later(look.closing);
  retry_releases(look.unreleased);
}

size_t mappings_held() {
  Locked locked;
  return cache().entries.size();
}

bool releases_pending() {
  Locked locked;
  return !cache().unreleased.empty();
}

// Mappings in use are inherited by the child being forked, and no other:
// the system is told which now (nothing changes them until the fork is
// over, the lock being held). Uses inherited must not be written again,
// whoever releases them first.
void mappings_before_fork() {
  for (Entry& e : cache().entries) {
    if (e.exposed != e.advised &&
        madvise(e.base, e.length, e.exposed ? MADV_DOFORK : MADV_DONTFORK) == 0)
      e.advised = e.exposed;
    if (e.advised) e.forked = true;
  }
}

// The child has the mappings in use (a child may use the arrays) and none
// of the others; the uses are its parent's to mark, and the pidfds its
// parent's to keep.
void mappings_after_fork_in_child() {
  auto& entries = cache().entries;
  for (size_t i = 0; i < entries.size();) {
    if (entries[i].advised) {
      entries[i].inherited = true;
      ++i;
    } else {
      entries[i] = entries.back();
      entries.pop_back();
    }
  }
  for (const Sender& s : cache().senders) close(s.pidfd);
  cache().senders.clear();
  cache().unreleased.clear();  // its parent's to release
}

}  // namespace vr::shm
