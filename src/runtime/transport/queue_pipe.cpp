#include "runtime/transport/queue_pipe.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "runtime/python/call.h"
#include "runtime/transport/descriptors.h"
#include "runtime/transport/pickling.h"
#include "runtime/process/ledger.h"
#include "runtime/python/runtime_state.h"
#include "runtime/shm/shared_api.h"
#include "runtime/python/gil.h"

namespace vr {

namespace {

// The pipe's capacity is raised to this, whenever it is found below it, so
// that a batch of requests or answers fits without waiting for the reader.
constexpr int kPipeCapacity = 1 << 20;

// Reads a private attribute; a missing one means "not the layout this path
// knows", which sends everything through put().
int private_attribute(const RuntimeState& rt, PyObject* obj, Name name, Ref& out) {
  out = Ref::steal(PyObject_GetAttr(obj, rt.name(name)));
  if (out) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

int release(const RuntimeState& rt, PyObject* lock) {
  Ref result = Ref::steal(call_method(lock, rt.name(kRelease)));
  return result ? 0 : -1;
}

// lock.acquire(False): 1 taken, 0 held elsewhere (or a full bounded queue).
int try_acquire(const RuntimeState& rt, PyObject* lock) {
  Ref taken = Ref::steal(call_method(lock, rt.name(kAcquire), Py_False));
  return taken ? PyObject_IsTrue(taken.get()) : -1;
}

// The descriptor of one of a queue's connections, as its fileno() gives it.
// For multiprocessing's own Connection class that is its `_handle`, read
// here: fileno() would run Python code for every message.
int connection_descriptor(const RuntimeState& rt, PyObject* connection) {
  if (Py_TYPE(connection) != reinterpret_cast<PyTypeObject*>(rt.connection_type))
    return descriptor_of(connection);
  Ref handle;
  int found = private_attribute(rt, connection, kHandle, handle);
  if (found <= 0) return found < 0 ? -1 : descriptor_of(connection);
  if (handle.get() == Py_None) {
    PyErr_SetString(PyExc_OSError, "handle is closed");  // as fileno() says it
    return -1;
  }
  return descriptor_of(handle.get());
}

// Whether `method` is the queue class's own `function`, bound to `queue`.
bool is_own_method(const RuntimeState& rt, PyObject* queue, PyObject* method,
                   PyObject* function) {
  return Py_TYPE(queue) == reinterpret_cast<PyTypeObject*>(rt.queue_type) &&
         PyMethod_Check(method) && PyMethod_GET_FUNCTION(method) == function &&
         PyMethod_GET_SELF(method) == queue;
}

// The pipe's capacity (or -1), first raised to kPipeCapacity when it is
// below that: a reused descriptor number may be a new, smaller pipe.
int raise_capacity(int fd) {
  int capacity = fcntl(fd, F_GETPIPE_SZ);
  if (capacity >= 0 && capacity < kPipeCapacity) {
    int grown = fcntl(fd, F_SETPIPE_SZ, kPipeCapacity);
    if (grown > capacity) capacity = grown;
  }
  return capacity;
}

// Whether a message of `size` bytes (header included) can be written now
// without blocking. Up to PIPE_BUF bytes the kernel answers that itself: a
// non-blocking write of them is all or nothing. A larger message is written
// only into an empty pipe with room for all its pages.
enum class Room { kNone, kAtomic, kEmptyPipe };
Room room_for(int fd, Py_ssize_t size) {
  int capacity = raise_capacity(fd);
  if (capacity < 0) return Room::kNone;
  if (size <= PIPE_BUF) return Room::kAtomic;
  int queued = 0;
  if (ioctl(fd, FIONREAD, &queued) < 0 || queued != 0) return Room::kNone;
  return size + PIPE_BUF <= capacity ? Room::kEmptyPipe : Room::kNone;
}

// The parts of one message as written into the pipe: the length header,
// the pickle's PROTO opcode, the tag (when there is one) and the rest.
struct Parts {
  iovec vec[4];
  int count = 0;
  size_t size = 0;

  void add(const void* data, size_t length) {
    if (length == 0) return;
    vec[count++] = {const_cast<void*>(data), length};
    size += length;
  }
};

// Writes all parts; 1 written, 0 would block (only for a non-blocking
// atomic write, which then wrote nothing), -1 error.
// Once the first byte of a message is in the pipe, the rest follows
// whatever signal arrives: a handler that raised in between would leave the
// reader a torn message, so signals wait until the write is complete (their
// handlers run as soon as the interpreter's loop goes on). Before that, an
// interrupted write runs the handlers and may end with their exception.
int write_all(int fd, Parts& parts) {
  iovec* next = parts.vec;
  int count = parts.count;
  bool started = false;
  while (count > 0) {
    ssize_t written;
    Py_BEGIN_ALLOW_THREADS
    written = writev(fd, next, count);
    VR_END_ALLOW_THREADS
    if (written < 0) {
      if (errno == EAGAIN && !started) return 0;
      if (errno == EINTR) {
        if (!started && PyErr_CheckSignals() < 0) return -1;
        continue;
      }
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
    started = started || written > 0;
    while (count > 0 && static_cast<size_t>(written) >= next->iov_len) {
      written -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + written;
      next->iov_len -= written;
    }
  }
  return 1;
}

// A non-blocking atomic write. Where the kernel cannot be asked for that
// per write, the descriptor's own flag is set for the length of one write:
// the descriptor is shared with every other writer of the queue, all of
// which wait for the write lock held here.
int write_atomic(int fd, Parts& parts) {
  static bool per_write_flag = true;
  if (per_write_flag) {
    ssize_t written;
    do {
      written = pwritev2(fd, parts.vec, parts.count, -1, RWF_NOWAIT);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(parts.size)) return 1;
    if (written < 0 && errno == EAGAIN) return 0;
    if (written >= 0) {  // cannot happen below PIPE_BUF; reported, not retried
      PyErr_SetString(PyExc_OSError, "short write of a message into a queue's pipe");
      return -1;
    }
    if (errno != EOPNOTSUPP && errno != EINVAL) {
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
    per_write_flag = false;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  int status = write_all(fd, parts);
  if (fcntl(fd, F_SETFL, flags) < 0 && status >= 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  return status;
}

// The tag's bytes: LONG1 with 8 bytes (little-endian), then POP.
constexpr size_t kTagSize = 11;
constexpr unsigned char kLong1 = 0x8a, kPop = '0', kProto = 0x80;

void encode_tag(uint64_t tag, unsigned char* out) {
  out[0] = kLong1;
  out[1] = 8;
  for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<unsigned char>(tag >> (8 * i));
  out[10] = kPop;
}

}  // namespace

uint64_t tag_of(const char* data, size_t size) {
  auto* bytes = reinterpret_cast<const unsigned char*>(data);
  if (size < 2 + kTagSize || bytes[0] != kProto || bytes[2] != kLong1 || bytes[3] != 8 ||
      bytes[2 + kTagSize - 1] != kPop)
    return 0;
  uint64_t tag = 0;
  for (int i = 7; i >= 0; --i) tag = (tag << 8) | bytes[4 + i];
  return tag;
}

int is_multiprocessing_queue(PyObject* queue) {
  const RuntimeState* rt = runtime();
  if (!rt) return -1;
  return Py_TYPE(queue) == reinterpret_cast<PyTypeObject*>(rt->queue_type);
}

int can_send_direct(PyObject* queue, PyObject* put, DirectQueue& out) {
  const RuntimeState* rt = runtime();
  if (!rt) return -1;
  // put must be the class's own, bound to this queue: not replaced on the
  // instance or on the class.
  if (!is_own_method(*rt, queue, put, rt->queue_put)) return 0;
  Ref thread, closed, writer;
  int found = private_attribute(*rt, queue, kThread, thread);
  if (found <= 0) return found;
  // Once the feeder thread has run, everything goes through it, in order.
  if (thread.get() != Py_None) return 0;
  if ((found = private_attribute(*rt, queue, kClosed, closed)) <= 0) return found;
  if (closed.get() != Py_False) return 0;
  if ((found = private_attribute(*rt, queue, kWriter, writer)) <= 0) return found;
  out.queue = queue;
  out.writer = writer;
  return 1;
}

int write_pickled(DirectQueue& target, PyObject* pickled, uint64_t tag) {
  const RuntimeState* rt = runtime();
  if (!rt) return -1;
  Py_buffer view;
  if (PyObject_GetBuffer(pickled, &view, PyBUF_SIMPLE) < 0) return -1;
  struct Release {
    Py_buffer* v;
    ~Release() {
      if (holds_thread_state()) PyBuffer_Release(v);
    }
  } buffer_guard{&view};
  // A tag goes right after the PROTO opcode that every queue pickle starts with.
  if (tag != 0 && (view.len < 2 || static_cast<const unsigned char*>(view.buf)[0] != kProto))
    tag = 0;
  size_t total = static_cast<size_t>(view.len) + (tag ? kTagSize : 0);
  if (total > 0x7fffffff) return 0;

  Ref wlock, sem;
  int found = private_attribute(*rt, target.queue, kWlock, wlock);
  if (found <= 0) return found;
  if ((found = private_attribute(*rt, target.queue, kSem, sem)) <= 0) return found;
  // The write lock keeps other writers of this queue out between the room
  // check and the write, so the write cannot block. Another process's
  // feeder thread may hold it while it waits on a full pipe: then this
  // message goes through put(), which does not wait for the lock.
  if (wlock.get() != Py_None) {
    int locked = try_acquire(*rt, wlock.get());
    if (locked <= 0) return locked;
  }
  // Read under the lock, as late as it can be: a connection closed by the
  // code that ran before raises here.
  int status = 0;
  target.fd = connection_descriptor(*rt, target.writer.get());
  Room room = target.fd < 0 ? Room::kNone : room_for(target.fd, total + 4);
  if (target.fd < 0) {
    status = -1;
  } else if (room != Room::kNone) {
    // Never wait here: a full bounded queue makes put() do the waiting.
    status = try_acquire(*rt, sem.get());
    if (status == 1) {
      uint32_t header = htonl(static_cast<uint32_t>(total));
      unsigned char mark[kTagSize];
      const char* data = static_cast<const char*>(view.buf);
      Parts parts;
      parts.add(&header, 4);
      if (tag) {
        encode_tag(tag, mark);
        parts.add(data, 2);
        parts.add(mark, kTagSize);
        parts.add(data + 2, view.len - 2);
      } else {
        parts.add(data, view.len);
      }
      status = room == Room::kAtomic ? write_atomic(target.fd, parts) : write_all(target.fd, parts);
      if (status == 0 && release(*rt, sem.get()) < 0) status = -1;  // no room after all
    }
  }
  if (wlock.get() != Py_None) {
    SavedError raised;
    if (release(*rt, wlock.get()) < 0) status = -1;
    raised.restore();
  }
  return status;
}

int send_message(PyObject* queue, PyObject* put, PyObject* message, uint64_t tag) {
  DirectQueue target;
  int direct = can_send_direct(queue, put, target);
  if (direct < 0) return -1;
  const RuntimeState* rt = runtime();
  if (!rt) return -1;
  // Only what the queue's own put() sends is tagged: a put() of another
  // kind gets the message itself, as given.
  if (!direct && !is_own_method(*rt, queue, put, rt->queue_put)) tag = 0;
  // Large arrays go into shared memory for the queue's reader, also when
  // put() sends the message (then as the same small pickled message).
  OutgoingMessage outgoing;
  Ref pickled;
  if (direct) {
    pickled = Ref::steal(outgoing.pickle(message, queue));
    if (!pickled) return -1;
    // Pickling ran the message's own code, which may have closed the queue
    // or replaced its connection: check again, and write through the
    // connection found now.
    target = DirectQueue();
    direct = can_send_direct(queue, put, target);
    if (direct < 0) return -1;
    int written = direct ? write_pickled(target, pickled.get(), tag) : 0;
    if (written > 0) outgoing.sent();
    if (written != 0) return written < 0 ? -1 : 0;
  } else {
    // A message a real queue cannot pickle would be dropped by its feeder
    // thread, and its answer never come: pickling it here raises the error
    // in the caller instead. Plain data pickles without a try, unless it
    // is to carry a tag.
    int real = is_multiprocessing_queue(queue);
    if (real < 0) return -1;
    if (real && (tag || !is_plainly_picklable(message))) {
      pickled = Ref::steal(outgoing.pickle(message, queue));
      if (!pickled) return -1;
    }
  }
  return put_message(put, outgoing, message, pickled.get(), tag);
}

int put_message(PyObject* put, OutgoingMessage& outgoing, PyObject* message, PyObject* pickled,
                uint64_t tag) {
  Ref item = Ref::steal(outgoing.for_put(message, pickled));
  if (!item) return -1;
  if (tag && pickled) {
    const LedgerApi* api = ledger();
    if (!api) return -1;
    item = Ref::steal(item.get() == message ? api->tagged(tag, pickled, true)
                                            : api->tagged(tag, item.get(), false));
    if (!item) return -1;
  }
  Ref result = Ref::steal(PyObject_CallOneArg(put, item.get()));
  if (!result) return kMaybeQueued;
  outgoing.sent();
  return 0;
}

namespace {

constexpr int kWriterDied = -2;
constexpr int kTimedOut = -3;

// Waits until `fd` has data; kWriterDied when `writer_fd` fires first and
// `fd` stays empty; kTimedOut when `seconds` (unless < 0) pass first (such
// a wait runs the signal handlers).
int wait_for_bytes(int fd, int writer_fd, Signals signals, double seconds) {
  bool data = false, died = false;
  if (seconds < 0) {
    if (wait_readable(fd, writer_fd, data, died, signals) < 0) return -1;
  } else {
    int ready = wait_readable_within(fd, writer_fd, seconds, data, died);
    if (ready <= 0) return ready < 0 ? -1 : kTimedOut;
  }
  return data || readable_now(fd) ? 0 : kWriterDied;
}

// Reads exactly `size` bytes, waiting as long as it takes, or, with a
// `writer_fd`, until the writer has died. `started` says whether bytes of
// this message have been taken from the pipe already (and is set once they
// have): from then on the message is read to its end whatever signal
// arrives, since a handler that raised in between would leave the next
// reader the rest of a message as if it were a new one. Those signals stay
// pending, and their handlers run once the interpreter's loop goes on.
// Before the first byte, signals interrupt the wait as they always do, and
// that wait lasts at most `first_wait` seconds (unless < 0).
int read_exactly(int fd, char* into, size_t size, int writer_fd, bool& started,
                 double first_wait = -1) {
  while (size > 0) {
    Signals signals = started ? Signals::kDefer : Signals::kRun;
    if (writer_fd >= 0) {
      int status = wait_for_bytes(fd, writer_fd, signals, started ? -1 : first_wait);
      if (status < 0) return status;
    }
    ssize_t got;
    Py_BEGIN_ALLOW_THREADS
    got = read(fd, into, size);
    VR_END_ALLOW_THREADS
    if (got < 0) {
      if (errno == EINTR) {
        if (signals == Signals::kRun && PyErr_CheckSignals() < 0) return -1;
        continue;
      }
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
    if (got == 0) {
      PyErr_SetNone(PyExc_EOFError);
      return -1;
    }
    started = true;
    into += got;
    size -= static_cast<size_t>(got);
  }
  return 0;
}

// Notes that the writer died before its message was whole, raising the
// EOFError that stands for it (the caller tells the death better).
void note_writer_died(Receive& how) {
  how.writer_died = true;
  PyErr_SetString(PyExc_EOFError, "the writer ended before its message was whole");
}

// After the memory for a message's `length` bytes could not be had: reads
// them out of the pipe all the same, so that the next read starts at the
// beginning of the next message, and raises the allocation's error.
PyObject* drop_message(int fd, uint64_t length, Receive& how, bool& started) {
  if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
  SavedError raised;
  char chunk[1 << 16];
  while (length > 0) {
    size_t part = static_cast<size_t>(std::min<uint64_t>(length, sizeof chunk));
    int status = read_exactly(fd, chunk, part, how.writer_fd, started);
    if (status == kWriterDied) note_writer_died(how);
    if (status < 0) return nullptr;  // what ended the read wins
    length -= part;
  }
  how.taken = true;
  raised.restore();
  return nullptr;
}

// One message's bytes, framed as the queue's connection frames them. With
// a writer to watch, the time-out bounds the wait for the first byte.
PyObject* read_frame(int fd, Receive& how) {
  bool started = false;
  auto read_part = [&](char* into, size_t size, double first_wait = -1) {
    int status = read_exactly(fd, into, size, how.writer_fd, started, first_wait);
    if (status == kWriterDied) note_writer_died(how);
    if (status == kTimedOut) how.timed_out = true;
    return status;
  };
  uint32_t header;
  if (read_part(reinterpret_cast<char*>(&header), 4, how.timeout) < 0) return nullptr;
  int32_t size = static_cast<int32_t>(ntohl(header));
  // Any other negative size is read as the connection reads it: as no
  // bytes at all, which then fail to unpickle.
  uint64_t length = size < 0 ? 0 : static_cast<uint64_t>(size);
  if (size == -1) {  // a large message: the real length follows in 8 bytes
    uint32_t parts[2];
    if (read_part(reinterpret_cast<char*>(parts), 8) < 0) return nullptr;
    length = (static_cast<uint64_t>(ntohl(parts[0])) << 32) | ntohl(parts[1]);
    if (length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
      return nullptr;
    }
  }
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
  if (!bytes) return drop_message(fd, length, how, started);
  if (read_part(PyBytes_AS_STRING(bytes.get()), length) < 0) return nullptr;
  how.taken = true;
  how.tag = tag_of(PyBytes_AS_STRING(bytes.get()), length);
  return bytes.release();
}

}  // namespace

int receive_message(PyObject* queue, PyObject* get, Receive& how, Ref& out) {
  double timeout = how.timeout;
  const RuntimeState* rt = runtime();
  if (!rt) return -1;
  if (!is_own_method(*rt, queue, get, rt->queue_get)) return 0;
  Ref closed, reader, rlock, sem;
  int found = private_attribute(*rt, queue, kClosed, closed);
  if (found <= 0) return found;
  if (closed.get() != Py_False) return 0;  // get() raises for a closed queue
  if ((found = private_attribute(*rt, queue, kReader, reader)) <= 0) return found;
  if ((found = private_attribute(*rt, queue, kRlock, rlock)) <= 0) return found;
  if ((found = private_attribute(*rt, queue, kSem, sem)) <= 0) return found;

  // As get() does: the read lock around the read, then the semaphore, and
  // unpickling after the lock is released.
  Ref acquired;
  if (timeout < 0) {
    acquired = Ref::steal(call_method(rlock.get(), rt->name(kAcquire)));
  } else {
    Ref seconds = Ref::steal(PyFloat_FromDouble(timeout));
    if (!seconds) return -1;
    acquired = Ref::steal(call_method(rlock.get(), rt->name(kAcquire), Py_True, seconds.get()));
  }
  if (!acquired) return -1;
  int locked = PyObject_IsTrue(acquired.get());
  if (locked < 0) return -1;
  if (!locked) {
    PyErr_SetNone(rt->queue_empty);
    return -1;
  }
  // The descriptor is read from the held connection under the lock, after
  // the last code that could close it.
  Ref frame;
  int fd = connection_descriptor(*rt, reader.get());
  int ready = fd < 0 ? -1 : timeout < 0 || how.writer_fd >= 0 ? 1 : wait_readable_for(fd, timeout);
  if (ready > 0) frame = Ref::steal(read_frame(fd, how));
  SavedError raised;
  int released = release(*rt, rlock.get());
  if (raised) {
    // A message dropped for want of memory has left the pipe all the same.
    if (how.taken && released == 0) release(*rt, sem.get());
    raised.restore();
    return -1;
  }
  if (released < 0) return -1;
  if (ready == 0 || how.timed_out) {
    PyErr_SetNone(rt->queue_empty);
    return -1;
  }
  if (!frame) return -1;  // read_frame's error, or the writer died
  if (release(*rt, sem.get()) < 0) return -1;
  out = Ref::steal(PyObject_CallOneArg(rt->forking_loads, frame.get()));
  return out ? 1 : -1;
}

}  // namespace vr
