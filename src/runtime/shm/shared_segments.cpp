#include "runtime/shm/shared_segments.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/shm/keeper.h"
#include "runtime/shm/process_identity.h"
#include "runtime/shm/streaming_copy.h"
#include "runtime/python/gil.h"

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

namespace vr::shm {

namespace {

// More segments on their way than this (readers that do not read) and new
// large arrays go through the pipe instead: each one holds a descriptor.
constexpr size_t kMaxInFlight = 256;
// Segments kept while their readers hold them, for reuse once released;
// beyond that the oldest are closed (their readers keep their own
// mappings).
constexpr size_t kMaxTaken = 32;
// Released segments kept per reader (arrays of a few sizes), and for how
// long without reuse.
constexpr size_t kMaxFreePerReader = 8;
constexpr double kKeepFreeSeconds = 1.0;
// Least time between two sweeps from a caller that are not asked for now.
constexpr double kSweepInterval = 0.005;
// Arrays up to this size going into a segment being reused are copied once
// their message is sent (see create_segment). The reader waits for the
// copy by looking at the header, a few tens of microseconds at this size;
// for a larger one the copy is the whole cost of the message anyway.
constexpr size_t kMostCopiedAfterSending = 4u << 20;

enum class State {
  kFilling,  // being written, with the interpreter lock released
  kPending,  // made for a message that is not known to be sent yet
  kSent,     // on its way: the reader has not mapped it yet
  kTaken,    // mapped by the reader
  kFree,     // released by the reader: its pages can be written again
};

struct Segment {
  uint64_t id;
  int fd;
  uint64_t inode;   // the memory file's identity, sent with every use
  uint64_t device;
  char* mapped;     // our mapping of the whole file: never inherited by children
  bool populated;   // our mapping's page table is filled
  size_t capacity;  // bytes of data the file holds
  ReaderId reader;
  State state;
  double since;     // when it entered its state
  uint64_t batch;   // while pending: the message it was made for
  uint64_t token;   // its current use
};

// A copy put off until its message has been sent: the segment stays in
// kFilling (never closed) until it is done.
struct Unfilled {
  uint64_t batch;
  uint64_t segment;  // its id
  SegmentHeader* header;
  const void* from;
  size_t size;
  uint64_t token;
  PyObject* owner;  // strong: what `from` points into
};

struct Reader {
  ReaderId id;
  pid_t pid;
  int pidfd;     // readable once the process has ended
  bool allowed;  // may open our segments
  bool ended;
  double looked; // when `ended` was last asked of the pidfd
};

struct Table {
  std::vector<Segment> segments;
  std::vector<Unfilled> unfilled;
  std::vector<Reader> readers;
  double last_sweep = 0;
  uint64_t last_batch = 0;
  uint64_t last_id = 0;  // of segments and readers alike
  // This process as its segments name it, asked once (0: not yet, or
  // forgotten by a forked child).
  std::atomic<pid_t> own_pid{0};
};

// Never destroyed: the keeper thread may use it while the process exits.
Table& table() {
  static Table* made = new Table();
  return *made;
}

pid_t own_pid() {
  pid_t pid = table().own_pid.load(std::memory_order_relaxed);
  if (pid == 0) table().own_pid.store(pid = getpid(), std::memory_order_relaxed);
  return pid;
}

SegmentHeader* header_of(const Segment& s) { return reinterpret_cast<SegmentHeader*>(s.mapped); }

size_t file_length(size_t capacity) { return header_bytes() + capacity; }

// What closes a segment. Its readers learn from the header that it will not
// be written again, and drop whatever mapping of it they kept.
Closing retire(const Segment& s) {
  store_mark(header_of(s)->retired, 1);
  return {s.fd, s.mapped, file_length(s.capacity)};
}

Reader* find_reader(ReaderId id) {
  for (Reader& r : table().readers)
    if (r.id == id) return &r;
  return nullptr;
}

// Whether `reader` has ended (see ended_as_seen): exactly only for the look
// that finds a reader by its pid (see known_reader). A message looks
// several times; a reader that ends meanwhile is seen by the keeper, which
// closes what was made for it.
bool ended(Reader& reader, bool exact = false) {
  return ended_as_seen(reader.pidfd, reader.ended, reader.looked, exact);
}

bool reader_ended(ReaderId id) {
  Reader* reader = find_reader(id);
  return !reader || ended(*reader);
}

// A token for a new use of a segment: it only has to differ from the
// segment's earlier uses, whose marks may still be in its header. A counter
// from a random start, mixed (splitmix64), costs no system call per use.
uint64_t next_token() {
  static uint64_t state = [] {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      seed = (static_cast<uint64_t>(now.tv_nsec) << 20) ^ now.tv_sec ^
             static_cast<uint64_t>(getpid());
    }
    return seed;
  }();
  uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return (z ^ (z >> 31)) | 1;  // never 0: a fresh header's marks are 0
}

// Moves a segment along what its reader did; false when it is to be closed.
bool advance(Segment& s, double now, bool keep_none) {
  if (s.state == State::kFilling) return true;
  // A reader that has ended will read nothing more, sent or still pending.
  if (reader_ended(s.reader)) return false;
  if (s.state == State::kPending) return true;
  if (s.state == State::kFree) return !keep_none && now - s.since < kKeepFreeSeconds;
  const SegmentHeader* header = header_of(s);
  // A forked child of the reader may still read these pages.
  if (load_mark(header->released_forked) == s.token) return false;
  if (load_mark(header->released) == s.token) {
    s.state = State::kFree;
    s.since = now;
    return !keep_none;
  }
  if (s.state == State::kSent && load_mark(header->taken) == s.token) {
    s.state = State::kTaken;
    s.since = now;
  }
  return true;
}

// Closes the oldest segments among those `selected` while more than
// `limit` are selected (or, with `bytes`, while they hold more than `limit`
// bytes).
template <typename Selected>
void close_oldest_beyond(Selected selected, size_t limit, bool bytes, Look& look) {
  auto& segments = table().segments;
  for (;;) {
    size_t total = 0, oldest = segments.size();
    for (size_t i = 0; i < segments.size(); ++i) {
      if (!selected(segments[i])) continue;
      total += bytes ? segments[i].capacity : 1;
      if (oldest == segments.size() || segments[i].since < segments[oldest].since) oldest = i;
    }
    if (total <= limit) return;
    look.closing.push_back(retire(segments[oldest]));
    segments[oldest] = segments.back();
    segments.pop_back();
  }
}

// Released segments are not kept beyond a quarter of the machine's memory.
size_t free_bytes_limit() {
  static size_t limit = [] {
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<size_t>(pages) * page / 4 : size_t{1} << 30;
  }();
  return limit;
}

void apply_limits(Look& look) {
  close_oldest_beyond([](const Segment& s) { return s.state == State::kTaken; }, kMaxTaken,
                      false, look);
  close_oldest_beyond([](const Segment& s) { return s.state == State::kFree; },
                      free_bytes_limit(), true, look);
  for (const Reader& r : table().readers) {
    ReaderId id = r.id;
    close_oldest_beyond(
        [id](const Segment& s) { return s.state == State::kFree && s.reader == id; },
        kMaxFreePerReader, false, look);
  }
}

// Forgets the readers that have ended and hold no segment.
void prune_readers() {
  auto& readers = table().readers;
  for (size_t i = 0; i < readers.size();) {
    bool used = false;
    for (const Segment& s : table().segments) used |= s.reader == readers[i].id;
    if (!used && ended(readers[i])) {
      close(readers[i].pidfd);
      readers[i] = readers.back();
      readers.pop_back();
    } else {
      ++i;
    }
  }
}

// Brings the segments of `reader` up to date with its marks (a cheap look
// at their headers), so that a released one can be reused at once.
void refresh(ReaderId reader, double now, Look& look) {
  auto& segments = table().segments;
  for (size_t i = 0; i < segments.size();) {
    if (segments[i].reader != reader || advance(segments[i], now, false)) {
      ++i;
      continue;
    }
    look.closing.push_back(retire(segments[i]));
    segments[i] = segments.back();
    segments.pop_back();
  }
}

// Whether a released segment of `capacity` bytes suits `size` bytes: large
// enough, and not so large that a small array would keep it in use.
bool suits(size_t capacity, size_t size) {
  return capacity >= size && capacity - size <= size + (1 << 20);
}

// The released segment of `reader` to write `size` bytes into: the
// smallest that suits. Its index, or -1.
long reusable(ReaderId reader, size_t size) {
  long best = -1;
  auto& segments = table().segments;
  for (size_t i = 0; i < segments.size(); ++i) {
    const Segment& s = segments[i];
    if (s.reader != reader || s.state != State::kFree || !suits(s.capacity, size)) continue;
    if (best < 0 || s.capacity < segments[best].capacity) best = static_cast<long>(i);
  }
  return best;
}

size_t count_in_flight() {
  size_t n = 0;
  for (const Segment& s : table().segments)
    n += s.state == State::kPending || s.state == State::kSent || s.state == State::kFilling;
  return n;
}

// A new segment's capacity: rounded up, so that arrays of nearly the same
// size reuse it (to 2 MiB, the huge page size, for large ones).
size_t capacity_for(size_t size) {
  size_t granule = size >= (64u << 20) ? (2u << 20) : size >= (1u << 20) ? (64u << 10)
                                                                        : header_bytes();
  return (size + granule - 1) / granule * granule;
}

// A new memory file of `capacity` bytes of data, mapped: pages are given to
// it when it is filled. False if not had.
bool new_segment(size_t capacity, Segment& out) {
  size_t length = file_length(capacity);
  int fd = memfd_create("vorlen-array", MFD_CLOEXEC);
  if (fd < 0) return false;
  void* at = MAP_FAILED;
  struct stat identity;
  if (ftruncate(fd, static_cast<off_t>(length)) == 0 && fstat(fd, &identity) == 0)
    at = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  // Forked children close our descriptors and must not keep our pages.
  if (at != MAP_FAILED && madvise(at, length, MADV_DONTFORK) != 0) {
    munmap(at, length);
    at = MAP_FAILED;
  }
  if (at == MAP_FAILED) {
    close(fd);
    return false;
  }
  // Taken only where the kernel gives huge pages to shared memory that
  // asks (shmem_enabled "advise"); ignored elsewhere.
  madvise(at, length, MADV_HUGEPAGE);
  out = Segment{.id = 0,
                .fd = fd,
                .inode = identity.st_ino,
                .device = identity.st_dev,
                .mapped = static_cast<char*>(at),
                .populated = false,
                .capacity = capacity,
                .reader = 0,
                .state = State::kFilling,
                .since = 0,
                .batch = 0,
                .token = 0};
  return true;
}

bool write_fully(int fd, const void* data, size_t size, off_t offset) {
  const char* from = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = pwrite(fd, from, size, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    from += written;
    offset += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Writes the data and the header of a new use into `s`. A fresh file is
// written with pwrite(): the kernel then allocates each page and copies
// into it in one pass, where faulting the pages in (even all at once, with
// MADV_POPULATE_WRITE) clears each page before the copy writes it again, a
// third more time for a large array. It also reports a file that cannot
// have its pages (out of memory, a size limit) as an error rather than with
// SIGBUS in the copy. A file written before is copied into through our
// mapping, whose page table is filled in one call the first time (a write
// fault for each 4 KiB page would cost three times the copy). Filled for
// reading: shared memory keeps no account of written pages, so the entries
// a read makes are writable already, and a read fills sixteen of them at a
// time where a write fills one (a third of the time for 1 MB). With `later`,
// only the header is written, saying that the use is being filled: the
// data follows in complete_fills().
bool fill(Segment& s, bool fresh, const void* data, size_t size, uint64_t token, bool later) {
  SegmentHeader* header = header_of(s);
  if (fresh) {
    SegmentHeader first = {.magic = kMagic, .token = token, .size = size};
    return write_fully(s.fd, data, size, static_cast<off_t>(header_bytes())) &&
           write_fully(s.fd, &first, sizeof first, 0);
  }
  if (!s.populated)
    s.populated = madvise(s.mapped, file_length(s.capacity), MADV_POPULATE_READ) == 0;
  header->size = size;
  if (later) {
    store_mark(header->filling, token);
    return true;
  }
  store_mark(header->filling, 0);
  copy_for_reader(s.mapped + header_bytes(), data, size);
  store_mark(header->token, token);
  return true;
}

Segment* find_segment(uint64_t id) {
  for (Segment& s : table().segments)
    if (s.id == id) return &s;
  return nullptr;
}

// Takes the segment `id` out of the table; false if it is no longer there.
bool remove_segment(uint64_t id, Segment& out) {
  auto& segments = table().segments;
  for (size_t i = 0; i < segments.size(); ++i) {
    if (segments[i].id != id) continue;
    out = segments[i];
    segments[i] = segments.back();
    segments.pop_back();
    return true;
  }
  return false;
}

}  // namespace

size_t header_bytes() {
  static size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

long long threshold() {
  const char* text = std::getenv("VORLEN_SHM_THRESHOLD");
  if (!text || !*text) return kDefaultThreshold;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text, &end, 10);
  if (errno || end == text || value < 0) return -1;
  long long scale = 1;
  switch (*end) {
    case 'k': case 'K': scale = 1LL << 10; ++end; break;
    case 'm': case 'M': scale = 1LL << 20; ++end; break;
    case 'g': case 'G': scale = 1LL << 30; ++end; break;
    default: break;
  }
  if (*end || value > (1LL << 50) / scale) return -1;
  return value * scale;
}

ReaderId known_reader(pid_t pid, bool exact) {
  Locked locked;
  for (Reader& r : table().readers)
    if (r.pid == pid && !ended(r, exact)) return r.id;
  return 0;
}

ReaderId register_reader(pid_t pid, int pidfd) {
  if (!fork_handlers_installed()) {
    close(pidfd);
    return 0;
  }
  bool allowed = may_open_ours(pid);
  ReaderId id;
  {
    Locked locked;
    prune_readers();
    id = ++table().last_id;
    table().readers.push_back({id, pid, pidfd, allowed, false});
  }
  // It watches the readers' pidfds, so that they are closed once ended.
  ensure_keeper();
  return id;
}

bool reader_usable(ReaderId id) {
  Locked locked;
  Reader* reader = find_reader(id);
  return reader && reader->allowed && !ended(*reader);
}

uint64_t new_batch() {
  Locked locked;
  return ++table().last_batch;
}

bool create_segment(const void* data, size_t size, ReaderId reader, uint64_t batch,
                    PyObject* owner, SegmentRef& out) {
  if (!fork_handlers_installed()) return false;
  double now = now_seconds();
  Segment segment;
  bool fresh = false;
  Look look;
  {
    Locked locked;
    refresh(reader, now, look);
    if (count_in_flight() >= kMaxInFlight || reader_ended(reader)) {
      segment.fd = -1;
    } else {
      long reuse = reusable(reader, size);
      if (reuse >= 0) {
        Segment& kept = table().segments[reuse];
        kept.state = State::kFilling;
        kept.batch = batch;
        segment = kept;
      } else {
        fresh = true;
      }
    }
  }
  close_all_later(look.closing);
  look.closing.clear();
  if (!fresh && segment.fd < 0) return false;
  if (fresh) {
    // Made with the interpreter lock held: no fork can copy the descriptor
    // before it is in the table (whose fork handler closes it in children).
    if (!new_segment(capacity_for(size), segment)) return false;
    segment.reader = reader;
    segment.batch = batch;
    Locked locked;
    segment.id = ++table().last_id;
    table().segments.push_back(segment);
  }
  uint64_t token = next_token();
  bool later = owner && !fresh && size <= kMostCopiedAfterSending;
  bool written;
  // The copy may take a while; the array is held by the pickler meanwhile,
  // and the segment, in the table, is left alone by the keeper.
  Py_BEGIN_ALLOW_THREADS
  written = fill(segment, fresh, data, size, token, later);
  VR_END_ALLOW_THREADS
  {
    Locked locked;
    Segment* s = find_segment(segment.id);  // still there: Filling is never closed
    if (written && s) {
      s->populated = segment.populated;
      s->since = now_seconds();
      s->token = token;
      if (later) {
        table().unfilled.push_back({.batch = batch, .segment = s->id, .header = header_of(*s),
                                    .from = data, .size = size, .token = token,
                                    .owner = Py_NewRef(owner)});
      } else {
        s->state = State::kPending;
      }
    } else if (s) {
      Segment removed{};
      remove_segment(segment.id, removed);
      look.closing.push_back(retire(removed));
    }
  }
  close_all_later(look.closing);
  if (!written) return false;
  pid_t self = own_pid();
  out = {self,           segment.fd, own_start_time(self), segment.inode,
         segment.device, token,      size,                 segment.capacity};
  return true;
}

void complete_fills(uint64_t batch, bool copy) {
  std::vector<Unfilled> fills;
  {
    Locked locked;
    auto& unfilled = table().unfilled;
    for (size_t i = 0; i < unfilled.size();) {
      if (unfilled[i].batch != batch) {
        ++i;
        continue;
      }
      fills.push_back(unfilled[i]);
      unfilled[i] = unfilled.back();
      unfilled.pop_back();
    }
  }
  if (fills.empty()) return;
  if (copy) {
    Py_BEGIN_ALLOW_THREADS
    for (const Unfilled& f : fills) {
      copy_for_reader(reinterpret_cast<char*>(f.header) + header_bytes(), f.from, f.size);
      store_mark(f.header->token, f.token);
    }
    VR_END_ALLOW_THREADS
  }
  {
    Locked locked;
    double now = now_seconds();
    for (const Unfilled& f : fills) {
      if (Segment* s = find_segment(f.segment)) {
        s->state = State::kPending;
        s->since = now;
      }
    }
  }
  SavedError raised;  // the caller may be passing an error on
  for (const Unfilled& f : fills) Py_DECREF(f.owner);
  raised.restore();
}

void settle_batch(uint64_t batch, bool sent) {
  // Whatever became of the message, its data is in place before its
  // segments are given up or handed over: a message that went out after
  // all is never left waiting for it.
  complete_fills(batch, true);
  Look look;
  {
    Locked locked;
    auto& segments = table().segments;
    for (size_t i = 0; i < segments.size();) {
      Segment& s = segments[i];
      if (s.state != State::kPending || s.batch != batch) {
        ++i;
      } else if (sent) {
        s.state = State::kSent;
        s.since = now_seconds();
        ++i;
      } else {
        look.closing.push_back(retire(s));
        segments[i] = segments.back();
        segments.pop_back();
      }
    }
  }
  close_all_later(look.closing);
  // Watches the reader from now on, whether or not this process calls again.
  if (sent) ensure_keeper();
}

void look_at_segments(double now, bool keep_none, Look& look) {
  auto& segments = table().segments;
  for (size_t i = 0; i < segments.size();) {
    if (advance(segments[i], now, keep_none)) {
      ++i;
      continue;
    }
    look.closing.push_back(retire(segments[i]));
    segments[i] = segments.back();
    segments.pop_back();
  }
  apply_limits(look);
  prune_readers();
  for (const Segment& s : segments) {
    if (s.state == State::kFree) look.look_again_at(s.since + kKeepFreeSeconds);
    if (s.state == State::kSent || s.state == State::kTaken) look.look_again_at(now + kLookEvery);
  }
  for (const Reader& r : table().readers)
    if (!r.ended) look.pidfds.push_back(r.pidfd);
  look.holds |= !segments.empty() || !table().readers.empty();
}

void sweep(bool now, bool keep_none) {
  Look look;
  {
    Locked locked;
    Table& t = table();
    if (t.segments.empty() && t.readers.empty()) return;
    double time = now_seconds();
    if (!now && !keep_none && time - t.last_sweep < kSweepInterval) return;
    t.last_sweep = time;
    look_at_segments(time, keep_none, look);
  }
  close_all_later(look.closing);
}

size_t outstanding() {
  Locked locked;
  return table().segments.size();
}

bool holds_anything() {
  Locked locked;
  return !table().segments.empty() || !table().readers.empty();
}

void segments_before_fork() {}

// A forked child inherits the descriptors but is not their owner: it closes
// them, so that a segment lives no longer than its sender means it to. (Our
// mappings were not inherited, and their addresses may be in use already.)
void segments_after_fork_in_child() {
  Table& t = table();
  for (const Segment& s : t.segments) close(s.fd);
  for (const Reader& r : t.readers) close(r.pidfd);
  // The copies are the parent's to make (their owners stay referenced: no
  // Python code may run here).
  t.unfilled.clear();
  t.segments.clear();
  t.readers.clear();
  t.own_pid.store(0, std::memory_order_relaxed);
}

}  // namespace vr::shm
