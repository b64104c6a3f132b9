// Keeping callers from waiting for ever on a worker that has died, or on a
// message that the queue could never send.
#pragma once
#include "ref.h"

namespace vr {

// 1 when `queue` is exactly a multiprocessing.queues.Queue, else 0 (-1: error).
int is_multiprocessing_queue(PyObject* queue);

// Remembers that `process` is the one writer of the answer queue `queue`,
// when both are the real multiprocessing objects (else does nothing).
int register_writer(PyObject* queue, PyObject* process);

// The registered writer process of `queue` (new reference), or nullptr with
// no exception set when there is none.
PyObject* registered_writer(PyObject* queue);

// queue.get(), woken also by the death of `process` (nullptr: a plain get).
// Raises vorlen.WorkerDiedError when the process ended with no message left.
PyObject* get_answer(PyObject* queue, PyObject* process);

// Values that pickle as they are (str, numbers, bytes, None, and lists,
// tuples and dicts of them), told without pickling them.
bool is_plainly_picklable(PyObject* message);

// Raises the pickling error in the caller when `message` cannot be sent
// through a multiprocessing queue. Plain strings and lists of them are
// accepted without pickling.
int check_picklable(PyObject* message);

// The worker's answer as it can be sent: `answer` itself, or a failure
// answer without the returned values that cannot be pickled, whose error
// text names each such key and the reason.
PyObject* sendable_answer(PyObject* answer);

}  // namespace vr
