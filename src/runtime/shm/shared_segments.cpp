#include "runtime/shm/shared_segments.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "runtime/shm/segment_closer.h"

namespace vr::shm {

namespace {

// More segments on their way than this (readers that do not read) and new
// large arrays go through the pipe instead: each one holds a descriptor.
constexpr size_t kMaxInFlight = 256;
// Taken segments kept for reuse once released; beyond that the oldest are
// closed (their readers keep their own mappings).
constexpr size_t kMaxTaken = 32;
// Released segments kept for reuse (arrays of a few sizes), and for how
// long.
constexpr size_t kMaxFree = 4;
constexpr double kKeepFreeSeconds = 1.0;
// Least time between two sweeps that are not asked for now.
constexpr double kSweepInterval = 0.005;
// Least time between two looks at the readers that hold no segment (one
// system call each) for those that ended.
constexpr double kPruneInterval = 0.1;

enum class State {
  kFilling,  // being written, with the interpreter lock released
  kPending,  // made for the message being sent, not yet settled
  kSent,     // on its way: the reader has not mapped it yet
  kTaken,    // mapped by the reader
  kFree,     // released by the reader: its pages can be written again
};

struct Segment {
  int fd;
  pid_t reader;
  State state;
  size_t capacity;  // bytes of data its pages hold
  double since;     // when it entered its state
  uint64_t batch;   // while pending: the message it was made for
  // Our own mapping of the whole file, made when it is first reused:
  // copying into mapped pages is several times faster than write(). Not
  // inherited by forked children.
  char* mapped = nullptr;
};

// Freeing a large segment's pages takes a while: done off the caller's path.
void release(Segment& s) {
  close_later(s.fd, s.mapped, header_bytes() + s.capacity, s.capacity);
}

struct Reader {
  pid_t pid;
  int pidfd;     // readable once the process has ended; -1 if unavailable
  bool allowed;  // may open our descriptors through /proc
};

struct Table {
  std::vector<Segment> segments;
  std::vector<Reader> readers;
  double last_sweep = 0;
  double last_prune = 0;
  uint64_t last_batch = 0;
};
Table table;

double now_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

// A forked child inherits the descriptors but is not their owner: it closes
// them, so that a segment lives no longer than its sender means it to. (Our
// mappings were not inherited, and their addresses may be in use already.)
void forget_in_child() {
  for (Segment& s : table.segments) close(s.fd);
  for (const Reader& r : table.readers)
    if (r.pidfd >= 0) close(r.pidfd);
  table.segments.clear();
  table.readers.clear();
}

// Installed before the first descriptor is opened (a reader's or a
// segment's); false if it cannot be.
bool fork_handler_installed() {
  static const bool installed = pthread_atfork(nullptr, nullptr, forget_in_child) == 0;
  return installed;
}

bool ended(const Reader& reader) {
  if (reader.pidfd < 0) return kill(reader.pid, 0) < 0 && errno == ESRCH;
  pollfd p = {reader.pidfd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

Reader* find_reader(pid_t pid) {
  for (Reader& r : table.readers)
    if (r.pid == pid) return &r;
  return nullptr;
}

// The reader's marks in the header: taken, released.
void reader_marks(int fd, bool& taken, bool& released) {
  uint32_t marks[2] = {0, 0};
  ssize_t got = pread(fd, marks, sizeof marks, offsetof(SegmentHeader, taken));
  taken = got == sizeof marks && marks[0] == 1;
  released = got == sizeof marks && marks[1] == 1;
}

// The value fields of the line starting with `key` in a /proc status text.
bool status_line(const char* text, const char* key, char* out, size_t size) {
  const char* at = std::strstr(text, key);
  if (!at) return false;
  at += std::strlen(key);
  const char* end = std::strchr(at, '\n');
  size_t length = end ? static_cast<size_t>(end - at) : std::strlen(at);
  if (length >= size) return false;
  std::memcpy(out, at, length);
  out[length] = '\0';
  return true;
}

bool read_status(pid_t pid, char* text, size_t size) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t got = read(fd, text, size - 1);
  close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  return true;
}

struct Credentials {
  unsigned long ids[2][4];  // Uid: and Gid: real, effective, saved, file system
  unsigned long long permitted, effective;
};

bool credentials_of(pid_t pid, Credentials& out) {
  char text[8192], line[128];
  if (!read_status(pid, text, sizeof text)) return false;
  const char* keys[2] = {"\nUid:", "\nGid:"};
  for (int k = 0; k < 2; ++k) {
    if (!status_line(text, keys[k], line, sizeof line) ||
        std::sscanf(line, "%lu %lu %lu %lu", &out.ids[k][0], &out.ids[k][1],
                    &out.ids[k][2], &out.ids[k][3]) != 4)
      return false;
  }
  return status_line(text, "\nCapPrm:", line, sizeof line) &&
         std::sscanf(line, "%llx", &out.permitted) == 1 &&
         status_line(text, "\nCapEff:", line, sizeof line) &&
         std::sscanf(line, "%llx", &out.effective) == 1;
}

// What the kernel asks before it lets `reader` open our /proc/<pid>/fd
// entries (a read-mode ptrace access check): its file-system ids equal all
// of our ids and it holds every capability we hold, or it may trace anyone.
// Restrictions on attaching (ptrace_scope) do not apply to reading.
bool credentials_allow(pid_t reader) {
  Credentials self, other;
  if (!credentials_of(getpid(), self) || !credentials_of(reader, other)) return false;
  constexpr unsigned long long kSysPtrace = 1ULL << 19;
  if (other.effective & kSysPtrace) return true;
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 3; ++i)
      if (self.ids[k][i] != other.ids[k][3]) return false;
  return (self.permitted & ~other.permitted) == 0;
}

// Our own side of that check: a /proc to open through, and entries that
// belong to us rather than to root (a process made non-dumpable).
bool openable_through_proc() {
  static int has_proc = -1;
  if (has_proc < 0) has_proc = access("/proc/self/fd", X_OK) == 0;
  return has_proc && prctl(PR_GET_DUMPABLE) == 1;
}

void prune_readers() {
  auto& readers = table.readers;
  for (size_t i = 0; i < readers.size();) {
    bool used = false;
    for (const Segment& s : table.segments) used |= s.reader == readers[i].pid;
    if (!used && ended(readers[i])) {
      if (readers[i].pidfd >= 0) close(readers[i].pidfd);
      readers[i] = readers.back();
      readers.pop_back();
    } else {
      ++i;
    }
  }
}

uint64_t random_token() {
  uint64_t token = 0;
  if (getrandom(&token, sizeof token, GRND_NONBLOCK) != sizeof token) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    static uint64_t counter = 0;
    token = (static_cast<uint64_t>(now.tv_nsec) << 20) ^ now.tv_sec ^ (++counter << 40) ^
            static_cast<uint64_t>(getpid());
  }
  return token;
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

void close_at(size_t i) {
  release(table.segments[i]);
  table.segments[i] = table.segments.back();
  table.segments.pop_back();
}

size_t index_of(int fd) {
  size_t i = 0;
  while (table.segments[i].fd != fd) ++i;
  return i;
}

size_t count(State state) {
  size_t n = 0;
  for (const Segment& s : table.segments) n += s.state == state;
  return n;
}

// Closes the oldest segment in `state` while more than `limit` are.
void close_oldest_beyond(State state, size_t limit) {
  while (count(state) > limit) {
    size_t oldest = table.segments.size();
    for (size_t i = 0; i < table.segments.size(); ++i)
      if (table.segments[i].state == state &&
          (oldest == table.segments.size() || table.segments[i].since < table.segments[oldest].since))
        oldest = i;
    close_at(oldest);
  }
}

// Moves a segment along what its reader did; false when it is to be closed.
bool advance(Segment& s, double now, bool keep_none) {
  if (s.state == State::kFilling || s.state == State::kPending) return true;
  if (s.state == State::kFree) return !keep_none && now - s.since < kKeepFreeSeconds;
  bool taken, released;
  reader_marks(s.fd, taken, released);
  if (released) {
    s.state = State::kFree;
    s.since = now;
    return !keep_none;
  }
  if (taken && s.state == State::kSent) {
    s.state = State::kTaken;
    s.since = now;
  }
  Reader* reader = find_reader(s.reader);
  return !(reader && ended(*reader));
}

// Whether a released segment of `capacity` bytes suits `size` bytes: not
// much larger (cutting it would free the pages a large array comes back
// to), not much smaller (most pages would be new anyway).
bool suits(size_t capacity, size_t size) {
  return capacity >= size ? capacity - size <= 3 * size + (1 << 20) : capacity >= size / 2;
}

// The released segment to write `size` bytes into: of those that suit it,
// the one closest in size. Its index, or -1.
long reusable(size_t size) {
  long best = -1;
  size_t best_gap = 0;
  for (size_t i = 0; i < table.segments.size(); ++i) {
    const Segment& s = table.segments[i];
    if (s.state != State::kFree || !suits(s.capacity, size)) continue;
    size_t gap = s.capacity > size ? s.capacity - size : size - s.capacity;
    if (best < 0 || gap < best_gap) {
      best = static_cast<long>(i);
      best_gap = gap;
    }
  }
  return best;
}

// A writable mapping of the file that forked children do not inherit (they
// close our descriptors and must not keep our pages); nullptr if not had.
char* map_unshared_with_children(int fd, size_t length) {
  void* at = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
  if (at == MAP_FAILED) return nullptr;
  if (madvise(at, length, MADV_DONTFORK) == 0) return static_cast<char*>(at);
  munmap(at, length);
  return nullptr;
}

// A released segment cut to `size` bytes of data and mapped (so that the
// copy goes straight into its pages), or a new memory file of that size
// (whose pages write() allocates faster than faults on a mapping would).
// False when neither can be had.
bool segment_for(size_t size, Segment& out) {
  size_t length = header_bytes() + size;
  long reuse = reusable(size);
  if (reuse >= 0) {
    out = table.segments[reuse];
    table.segments[reuse] = table.segments.back();
    table.segments.pop_back();
    if (out.mapped && out.capacity != size) {
      munmap(out.mapped, header_bytes() + out.capacity);
      out.mapped = nullptr;
    }
    out.capacity = size;
    if (ftruncate(out.fd, static_cast<off_t>(length)) == 0) {
      if (!out.mapped) out.mapped = map_unshared_with_children(out.fd, length);
      return true;
    }
    release(out);
  }
  out = {memfd_create("vorlen-array", MFD_CLOEXEC), 0, State::kPending, size, 0, 0, nullptr};
  if (out.fd >= 0 && ftruncate(out.fd, static_cast<off_t>(length)) == 0) return true;
  if (out.fd >= 0) close(out.fd);
  return false;
}

bool fill(const Segment& s, const SegmentHeader& header, const void* data, size_t size) {
  if (!s.mapped)
    return write_fully(s.fd, &header, sizeof header, 0) &&
           write_fully(s.fd, data, size, static_cast<off_t>(header_bytes()));
  std::memcpy(s.mapped, &header, sizeof header);
  std::memcpy(s.mapped + header_bytes(), data, size);
  return true;
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

bool reader_can_open(pid_t reader) {
  if (reader <= 0 || reader == getpid() || !openable_through_proc()) return false;
  if (Reader* known = find_reader(reader)) return known->allowed && !ended(*known);
  if (!fork_handler_installed()) return false;
  prune_readers();
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, reader, 0));
  if (pidfd >= 0) fcntl(pidfd, F_SETFD, FD_CLOEXEC);
  Reader entry = {reader, pidfd, credentials_allow(reader)};
  table.readers.push_back(entry);
  return entry.allowed && !ended(entry);
}

uint64_t new_batch() { return ++table.last_batch; }

bool create_segment(const void* data, size_t size, pid_t reader, uint64_t batch,
                    SegmentRef& out) {
  if (!fork_handler_installed()) return false;
  sweep(true);
  if (count(State::kPending) + count(State::kSent) >= kMaxInFlight) return false;
  Segment segment;
  if (!segment_for(size, segment)) return false;
  SegmentHeader header = {kMagic, random_token(), size, 0, 0};
  // In the table while it is written, so that a child forked meanwhile by
  // another thread closes it too.
  segment.reader = reader;
  segment.state = State::kFilling;
  segment.batch = batch;
  table.segments.push_back(segment);
  bool written;
  // The copy may take a while; the array is held by the pickler meanwhile.
  Py_BEGIN_ALLOW_THREADS
  written = fill(segment, header, data, size);
  Py_END_ALLOW_THREADS
  size_t at = index_of(segment.fd);
  struct stat identity;
  if (!written || fstat(segment.fd, &identity) < 0) {
    close_at(at);
    return false;
  }
  table.segments[at].state = State::kPending;
  table.segments[at].since = now_seconds();
  out = {getpid(), segment.fd, identity.st_ino, identity.st_dev, header.token, size};
  return true;
}

bool batch_used(uint64_t batch) {
  for (const Segment& s : table.segments)
    if (s.state == State::kPending && s.batch == batch) return true;
  return false;
}

void settle_batch(uint64_t batch, bool sent) {
  for (size_t i = 0; i < table.segments.size();) {
    Segment& s = table.segments[i];
    if (s.state != State::kPending || s.batch != batch) {
      ++i;
    } else if (sent) {
      s.state = State::kSent;
      ++i;
    } else {
      close_at(i);
    }
  }
}

void sweep(bool now, bool keep_none) {
  if (table.segments.empty() && table.readers.empty()) return;
  double time = now_seconds();
  if (!now && !keep_none && time - table.last_sweep < kSweepInterval) return;
  table.last_sweep = time;
  for (size_t i = 0; i < table.segments.size();) {
    if (advance(table.segments[i], time, keep_none))
      ++i;
    else
      close_at(i);
  }
  close_oldest_beyond(State::kTaken, kMaxTaken);
  close_oldest_beyond(State::kFree, kMaxFree);
  // The descriptors of readers that ended, once no segment is meant for them.
  if (keep_none || time - table.last_prune >= kPruneInterval) {
    table.last_prune = time;
    prune_readers();
  }
}

size_t outstanding() { return table.segments.size(); }

bool holds_anything() { return !table.segments.empty() || !table.readers.empty(); }

}  // namespace vr::shm
