#include "runtime/shm/process_identity.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vr::shm {

namespace {

// Reads /proc/<pid>/<name> into `text` (NUL-terminated); false if it cannot.
bool read_proc_file(pid_t pid, const char* name, char* text, size_t size) {
  char path[64];
  if (pid == 0)
    std::snprintf(path, sizeof path, "/proc/self/%s", name);
  else
    std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), name);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t got;
  do {
    got = read(fd, text, size - 1);
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  return true;
}

// The start time in a /proc stat text, and whether the state says ended.
uint64_t parse_stat(const char* text, bool& ended) {
  // The command name in parentheses may hold anything: fields follow the
  // last ')'. The state is field 3, the start time field 22.
  const char* at = std::strrchr(text, ')');
  if (!at || at[1] != ' ') return 0;
  at += 2;
  ended = *at == 'Z' || *at == 'X';
  for (int field = 3; field < 22; ++field) {
    at = std::strchr(at, ' ');
    if (!at) return 0;
    ++at;
  }
  char* end = nullptr;
  unsigned long long value = std::strtoull(at, &end, 10);
  return end == at ? 0 : value;
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

struct Credentials {
  unsigned long ids[2][4];  // Uid: and Gid: real, effective, saved, file system
  unsigned long long permitted, effective;
};

bool credentials_of(pid_t pid, Credentials& out) {
  char text[8192], line[128];
  if (!read_proc_file(pid, "status", text, sizeof text)) return false;
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

// Our own side of the check: entries that belong to us rather than to root
// (a process made non-dumpable cannot be reached).
bool dumpable() { return prctl(PR_GET_DUMPABLE) == 1; }

}  // namespace

double now_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

uint64_t start_time_of(pid_t pid, bool& ended) {
  char text[1024];
  ended = false;
  if (!read_proc_file(pid, "stat", text, sizeof text)) return 0;
  return parse_stat(text, ended);
}

uint64_t own_start_time(pid_t self) {
  static pid_t read_in = 0;
  static uint64_t start = 0;
  if (read_in != self) {
    bool ended;
    start = start_time_of(0, ended);
    read_in = self;
  }
  return start;
}

int open_pidfd(pid_t pid) {
  if (pid <= 0) return -1;
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool has_ended(int pidfd) {
  pollfd p = {pidfd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

bool ended_as_seen(int pidfd, bool& ended, double& looked, bool exact) {
  constexpr double kLookEvery = 0.001;
  if (ended) return true;
  double now = now_seconds();
  if (exact || now - looked >= kLookEvery) {
    ended = has_ended(pidfd);
    looked = now;
  }
  return ended;
}

bool ends_within(int pidfd, double seconds) {
  double deadline = now_seconds() + seconds;
  for (;;) {
    double left = deadline - now_seconds();
    pollfd p = {pidfd, POLLIN, 0};
    int ready = poll(&p, 1, left > 0 ? static_cast<int>(left * 1000) + 1 : 0);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

int open_pidfd_of(pid_t pid, uint64_t start_time) {
  int pidfd = open_pidfd(pid);
  if (pidfd < 0) return -1;
  // Read after the pidfd was taken, and checked alive after that: the stat
  // read was then of the pidfd's own process.
  bool ended = false;
  uint64_t started = start_time_of(pid, ended);
  if (ended || started == 0 || started != start_time || has_ended(pidfd)) {
    close(pidfd);
    return -1;
  }
  return pidfd;
}

bool may_open_ours(pid_t reader) {
  static int has_proc = -1;
  if (has_proc < 0) has_proc = access("/proc/self/fd", X_OK) == 0;
  if (!has_proc || !dumpable()) return false;
  Credentials self, other;
  if (!credentials_of(0, self) || !credentials_of(reader, other)) return false;
  constexpr unsigned long long kSysPtrace = 1ULL << 19;
  if (other.effective & kSysPtrace) return true;
  // pidfd_getfd asks with the reader's real ids, /proc/<pid>/fd with its
  // file-system ids: both must equal all of ours.
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 3; ++i)
      if (self.ids[k][i] != other.ids[k][0] || self.ids[k][i] != other.ids[k][3]) return false;
  return (self.permitted & ~other.permitted) == 0;
}

}  // namespace vr::shm
