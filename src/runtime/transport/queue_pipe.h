// Using a multiprocessing queue's pipe directly, in the calling thread.
//
// Sending: the message is pickled here and written straight into the pipe,
// in the format the queue's get() reads, instead of being handed to the
// queue's feeder thread. Used only while it cannot change what the queue's
// own put() would do: an exact queue whose put is the class's own, not
// closed, whose feeder thread never started, and whose pipe has room for the
// whole message. Anything else goes through put().
//
// Receiving: what the queue's own get() does (its read lock, the pipe, its
// semaphore, unpickling), without the interpreted steps in between. Used
// only on an exact queue whose get is the class's own and that is not
// closed; anything else calls get().
#pragma once
#include <cstdint>

#include "runtime/python/ref.h"

namespace vr {

// 1 when `queue` is exactly a multiprocessing.queues.Queue, else 0 (-1: error).
int is_multiprocessing_queue(PyObject* queue);

// queue.put(message), taking the direct path when it can. `put` is the
// queue's put attribute, already looked up by the caller. A nonzero `tag`
// marks the message for the ledger (runtime/process/ledger.h): it goes
// ahead of the pickled message, or, through put(), into a reconstructor
// that records it; the reader gets the same message either way.
int send_message(PyObject* queue, PyObject* put, PyObject* message, uint64_t tag = 0);

// What send_message and put_message return, besides 0 (sent) and -1 (not
// sent, an exception set), when put() itself raised: the message may be in
// the queue all the same (an interrupt that came after put() appended it),
// and then its reader gets it.
constexpr int kMaybeQueued = -2;

// The steps, for callers that must see a pickling error before deciding
// what to send (the worker's answers). Pickle first, then check: pickling
// runs code that may close the queue or its connection.
struct DirectQueue {
  PyObject* queue = nullptr;  // borrowed from the caller
  Ref writer;                 // the queue's writing connection, held
  int fd = -1;                // its descriptor, read by write_pickled
};
// 1 when `queue` (with its looked-up `put`) may be written directly.
int can_send_direct(PyObject* queue, PyObject* put, DirectQueue& out);
// Writes one pickled message (marked with `tag` unless 0): 1 written, 0
// no room (use put), -1 error. The descriptor is read from the held
// connection under the queue's write lock, the last code that runs before
// the write: a closed connection raises instead of sending into a pipe
// that reuses its number.
int write_pickled(DirectQueue& target, PyObject* pickled, uint64_t tag = 0);

class OutgoingMessage;
// Hands `message` to the queue's `put` as `outgoing` makes it for put()
// (the same small message when it has segments), marked with `tag` when
// the message was pickled (`pickled`, else nullptr), then settles
// `outgoing` as sent.
int put_message(PyObject* put, OutgoingMessage& outgoing, PyObject* message, PyObject* pickled,
                uint64_t tag);

// The tag a message's bytes carry ahead of the pickled object, 0 for none.
// The mark is an integer pushed and popped right after the pickle's PROTO
// opcode: any unpickler reads past it to the same object.
uint64_t tag_of(const char* data, size_t size);

struct Receive {
  double timeout = -1;   // seconds; < 0 waits without limit
  int writer_fd = -1;    // readable once the writer has died (a sentinel)
  bool taken = false;        // out: a whole message left the pipe
  bool writer_died = false;  // out: the writer died before its message was whole
  bool timed_out = false;    // out: nothing came within the time-out
  uint64_t tag = 0;          // out: the tag ahead of the message, 0: none
};
// Receives one message as get() or get(timeout=...) would; on time-out
// queue.Empty is raised. With `writer_fd`, a writer that dies before (or in
// the middle of) its message ends the wait with `writer_died` set instead of
// leaving the caller waiting for bytes that will never come (EOFError is
// raised then). 1 received into `out`, 0 not possible here (call get), -1
// error or writer died.
int receive_message(PyObject* queue, PyObject* get, Receive& how, Ref& out);

}  // namespace vr
