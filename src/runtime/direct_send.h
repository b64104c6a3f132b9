// Sending on a multiprocessing queue without its feeder thread: the message
// is pickled in the calling thread and written straight into the queue's
// pipe, in the format the queue's get() reads. Used only while it cannot
// change what the queue's own put() would do: an exact queue whose put is
// the class's own, not closed, whose feeder thread never started, and whose
// pipe has room for the whole message. Anything else goes through put().
#pragma once
#include "ref.h"

namespace vr {

// queue.put(message), taking the direct path when it can. `put` is the
// queue's put attribute, already looked up by the caller.
int send_message(PyObject* queue, PyObject* put, PyObject* message);

// The steps, for callers that must see a pickling error before deciding
// what to send (the worker's answers).
struct DirectQueue {
  PyObject* queue = nullptr;  // borrowed
  int fd = -1;                // the pipe's write end
};
// 1 when `queue` (with its looked-up `put`) may be written directly.
int can_send_direct(PyObject* queue, PyObject* put, DirectQueue& out);
// The message pickled as the queue pickles it (a bytes-like object).
PyObject* pickle_message(PyObject* message);
// Writes one pickled message: 1 written, 0 no room (use put), -1 error.
int write_pickled(DirectQueue& target, PyObject* pickled);

}  // namespace vr
