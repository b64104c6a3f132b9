#include "runtime/shm/segment_fetch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "runtime/shm/process_identity.h"

#ifndef F_GET_SEALS
#define F_GET_SEALS 1034
#endif

namespace vr::shm {

namespace {

bool proc_only = false;

// Whether `fd` is the memory file `ref` names: a regular file of that
// identity and size that takes seals (memory files do, files of other file
// systems do not).
bool is_the_segment(int fd, const SegmentRef& ref) {
  struct stat identity;
  return fstat(fd, &identity) == 0 && S_ISREG(identity.st_mode) &&
         static_cast<uint64_t>(identity.st_ino) == ref.inode &&
         static_cast<uint64_t>(identity.st_dev) == ref.device &&
         static_cast<uint64_t>(identity.st_size) == header_bytes() + ref.capacity &&
         fcntl(fd, F_GET_SEALS) >= 0;
}

// Whether the file `pinned` (opened as a path only) is a memory file of
// ours: a regular file of a memory file system, named as our memory files
// are named, of the identity `ref` gives.
bool pinned_is_a_segment(int pinned, const SegmentRef& ref) {
  struct stat identity;
  struct statfs system;
  if (fstat(pinned, &identity) != 0 || !S_ISREG(identity.st_mode) ||
      static_cast<uint64_t>(identity.st_ino) != ref.inode ||
      static_cast<uint64_t>(identity.st_dev) != ref.device || fstatfs(pinned, &system) != 0 ||
      (system.f_type != TMPFS_MAGIC && system.f_type != HUGETLBFS_MAGIC))
    return false;
  char path[64], target[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", pinned);
  constexpr char kName[] = "/memfd:vorlen-array";
  ssize_t length = readlink(path, target, sizeof target);
  return length >= static_cast<ssize_t>(sizeof kName - 1) &&
         std::memcmp(target, kName, sizeof kName - 1) == 0;
}

// The /proc way. The entry is opened as a path only (no device is opened,
// nothing blocks, nothing is read or written), checked to be one of our
// memory files, and only then reopened for reading and writing through our
// own descriptor of it, which pins that file.
int through_proc(int pidfd, const SegmentRef& ref) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fd/%d", static_cast<int>(ref.pid), ref.fd);
  int pinned;
  do {
    pinned = open(path, O_PATH | O_CLOEXEC);
  } while (pinned < 0 && errno == EINTR);
  if (pinned < 0) return -1;
  // Alive after the open: the /proc entry was the sender's.
  if (has_ended(pidfd)) {
    close(pinned);
    errno = ESRCH;
    return -1;
  }
  if (!pinned_is_a_segment(pinned, ref)) {
    close(pinned);
    errno = ESTALE;
    return -1;
  }
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", pinned);
  int fd;
  do {
    fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  int error = errno;
  close(pinned);
  errno = error;
  return fd;
}

}  // namespace

int fetch_descriptor(int pidfd, const SegmentRef& ref) {
  int fd = -1;
  if (!proc_only) {
    fd = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, ref.fd, 0));
    if (fd < 0 && errno != EPERM && errno != EACCES && errno != ENOSYS) return -1;
  }
  if (fd < 0) fd = through_proc(pidfd, ref);
  if (fd < 0) return -1;
  if (!is_the_segment(fd, ref)) {
    close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

void fetch_through_proc_only(bool only) { proc_only = only; }

}  // namespace vr::shm
