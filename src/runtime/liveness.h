// Keeping callers from waiting for ever on a worker that has died.
#pragma once
#include "ref.h"

namespace vr {

// Remembers that `process` is the one writer of the answer queue `queue`,
// when both are the real multiprocessing objects (else does nothing).
int register_writer(PyObject* queue, PyObject* process);

// The registered writer process of `queue` (new reference), or nullptr
// (with an exception set only on error) when there is none.
PyObject* registered_writer(PyObject* queue);

// queue.get(), woken also by the death of `process` (nullptr: a plain get).
// Raises vorlen.WorkerDiedError when the process ended with no message left.
PyObject* get_answer(PyObject* queue, PyObject* process);

}  // namespace vr
