#include "runtime/shm/shared_mapping.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/python/runtime_state.h"

namespace vr::shm {

namespace {

// A mapping of one segment: the header page, then `size` bytes of data
// exposed through the buffer protocol, writable.
struct MappedBuffer {
  PyObject_HEAD
  char* base;    // start of the mapping (the header page)
  size_t length; // of the whole mapping
  Py_ssize_t size;
  bool readonly;  // exported read-only: the sender's object was
  // A fork copied the mapping into a child, which may still use it: the
  // sender must not write into it again.
  bool forked;
  MappedBuffer* prev;  // the list of live mappings
  MappedBuffer* next;
};

MappedBuffer* live = nullptr;

void mark_forked() {
  for (MappedBuffer* m = live; m; m = m->next) m->forked = true;
}

void link(MappedBuffer* mapped) {
  static bool fork_handler = pthread_atfork(mark_forked, nullptr, nullptr) == 0;
  if (!fork_handler) mapped->forked = true;  // cannot tell: never hand it back
  mapped->prev = nullptr;
  mapped->next = live;
  if (live) live->prev = mapped;
  live = mapped;
}

void unlink(MappedBuffer* mapped) {
  if (mapped->prev) mapped->prev->next = mapped->next;
  else live = mapped->next;
  if (mapped->next) mapped->next->prev = mapped->prev;
}

int mapped_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* mapped = reinterpret_cast<MappedBuffer*>(self);
  return PyBuffer_FillInfo(view, self, mapped->base + header_bytes(), mapped->size,
                           mapped->readonly, flags);
}

void mapped_dealloc(PyObject* self) {
  auto* mapped = reinterpret_cast<MappedBuffer*>(self);
  if (mapped->base) {
    unlink(mapped);
    // Its pages may now be written again by the sender.
    if (!mapped->forked)
      __atomic_store_n(&reinterpret_cast<SegmentHeader*>(mapped->base)->released, 1u,
                       __ATOMIC_RELEASE);
    munmap(mapped->base, mapped->length);
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* mapped_repr(PyObject* self) {
  auto* mapped = reinterpret_cast<MappedBuffer*>(self);
  return PyUnicode_FromFormat("<shared memory of %zd bytes>", mapped->size);
}

PyType_Slot mapped_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(mapped_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mapped_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(mapped_repr)},
    {Py_tp_doc, const_cast<char*>("Data of a shared-memory segment, mapped (writable unless "
                                  "sent read-only); unmapped when the object is freed.")},
    {0, nullptr},
};
PyType_Spec mapped_spec = {"vorlen._sharedmem.SharedMemory", sizeof(MappedBuffer), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           mapped_slots};

// The segment cannot be had because its sender has ended: the error the
// waits for a dead worker raise.
PyObject* raise_sender_ended(pid_t pid) {
  const RuntimeState* rt = runtime();
  if (!rt) return nullptr;
  Ref detail = Ref::steal(PyUnicode_FromFormat(
      "process %d ended before the shared memory holding this message's data was read",
      static_cast<int>(pid)));
  if (!detail) return nullptr;
  Ref error = Ref::steal(PyObject_CallFunction(rt->died_error, "iOO", static_cast<int>(pid),
                                               Py_None, detail.get()));
  if (error) PyErr_SetObject(rt->died_error, error.get());
  return nullptr;
}

PyObject* raise_unavailable(const SegmentRef& ref, const char* why, int error) {
  PyErr_Format(PyExc_OSError,
               "the shared memory of process %d holding this message's data %s%s%s "
               "(VORLEN_SHM_THRESHOLD=off sends everything through the pipe)",
               static_cast<int>(ref.pid), why, error ? ": " : "",
               error ? std::strerror(error) : "");
  return nullptr;
}

// Whether `pid` has ended: gone, or a zombie whose descriptors are closed.
bool sender_ended(pid_t pid) {
  if (kill(pid, 0) < 0 && errno == ESRCH) return true;
  char path[64], text[512];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  const char* end = std::strrchr(text, ')');  // the name may hold anything
  return end && end[1] == ' ' && (end[2] == 'Z' || end[2] == 'X');
}

// A sender whose descriptor has gone is usually one being killed: its
// descriptors close before it is a zombie. Waits a moment for that.
bool sender_ending(pid_t pid) {
  bool ended = sender_ended(pid);
  Py_BEGIN_ALLOW_THREADS
  for (int i = 0; i < 20 && !ended; ++i) {
    usleep(10000);
    ended = sender_ended(pid);
  }
  Py_END_ALLOW_THREADS
  return ended;
}

int open_segment(const SegmentRef& ref) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fd/%d", static_cast<int>(ref.pid), ref.fd);
  int fd;
  Py_BEGIN_ALLOW_THREADS
  do {
    fd = open(path, O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  Py_END_ALLOW_THREADS
  return fd;
}

// Opens the segment `ref` names and checks that it is that memory file: its
// descriptor, or -1 with WorkerDiedError (its sender has ended) or OSError.
int open_checked(const SegmentRef& ref) {
  int fd = open_segment(ref);
  if (fd < 0) {
    int error = errno;
    if (error == ENOENT ? sender_ending(ref.pid) : sender_ended(ref.pid))
      raise_sender_ended(ref.pid);
    else
      raise_unavailable(ref, "cannot be opened", error);
    return -1;
  }
  struct stat identity;
  if (fstat(fd, &identity) == 0 && identity.st_ino == ref.inode &&
      identity.st_dev == ref.device &&
      static_cast<uint64_t>(identity.st_size) == header_bytes() + ref.size)
    return fd;
  close(fd);
  raise_unavailable(ref, "is no longer there", 0);
  return -1;
}

bool header_matches(const SegmentHeader& header, const SegmentRef& ref) {
  return header.magic == kMagic && header.token == ref.token && header.size == ref.size;
}

bool read_fully(int fd, void* into, size_t size, off_t offset) {
  char* at = static_cast<char*>(into);
  while (size > 0) {
    ssize_t got = pread(fd, at, size, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    at += got;
    offset += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// Fresh memory faulted in 4 KiB pages costs more than copying into it: a
// large bytearray's buffer asks for huge pages, as numpy does for its arrays
// (transparent huge pages are often given only to memory that asks).
void advise_huge_pages(char* start, size_t size) {
  constexpr uintptr_t kHuge = 2 << 20;
  uintptr_t from = (reinterpret_cast<uintptr_t>(start) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(start) + size) & ~(kHuge - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

}  // namespace

PyTypeObject* mapped_buffer_type() {
  static PyObject* type = PyType_FromSpec(&mapped_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* take_segment(const SegmentRef& ref, bool readonly) {
  PyTypeObject* type = mapped_buffer_type();
  if (!type) return nullptr;
  int fd = open_checked(ref);
  if (fd < 0) return nullptr;
  size_t length = header_bytes() + ref.size;
  void* base;
  Py_BEGIN_ALLOW_THREADS
  base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  Py_END_ALLOW_THREADS
  int error = base == MAP_FAILED ? errno : 0;
  close(fd);
  if (base == MAP_FAILED) return raise_unavailable(ref, "cannot be mapped", error);
  auto* header = static_cast<SegmentHeader*>(base);
  if (!header_matches(*header, ref)) {
    munmap(base, length);
    return raise_unavailable(ref, "is no longer there", 0);
  }
  auto* mapped = PyObject_New(MappedBuffer, type);
  if (!mapped) {
    munmap(base, length);
    return nullptr;
  }
  mapped->base = static_cast<char*>(base);
  mapped->length = length;
  mapped->size = static_cast<Py_ssize_t>(ref.size);
  mapped->readonly = readonly;
  mapped->forked = false;
  link(mapped);
  // The sender may close its descriptor from now on.
  __atomic_store_n(&header->taken, 1u, __ATOMIC_RELEASE);
  return reinterpret_cast<PyObject*>(mapped);
}

PyObject* copy_segment(const SegmentRef& ref) {
  int fd = open_checked(ref);
  if (fd < 0) return nullptr;
  SegmentHeader header;
  bool same = read_fully(fd, &header, sizeof header, 0) && header_matches(header, ref);
  Ref copy = same ? Ref::steal(PyByteArray_FromStringAndSize(nullptr,
                                                             static_cast<Py_ssize_t>(ref.size)))
                  : Ref();
  int error = 0;
  if (copy) {
    // The bytearray is new and ours alone: it can be filled without the lock.
    char* into = PyByteArray_AS_STRING(copy.get());
    Py_BEGIN_ALLOW_THREADS
    advise_huge_pages(into, ref.size);
    if (!read_fully(fd, into, ref.size, static_cast<off_t>(header_bytes()))) error = errno;
    Py_END_ALLOW_THREADS
    // Taken and released at once: the sender may close it or reuse its pages.
    const uint32_t marks[2] = {1, 1};
    if (!error && pwrite(fd, marks, sizeof marks, offsetof(SegmentHeader, taken)) < 0)
      error = errno;
  }
  close(fd);
  if (!same) return raise_unavailable(ref, "is no longer there", 0);
  if (!copy) return nullptr;
  if (error) return raise_unavailable(ref, "cannot be read", error);
  return copy.release();
}

}  // namespace vr::shm
