// Keeping callers from waiting for ever on a worker that has died.
#pragma once
#include "runtime/python/ref.h"

namespace vr {

// Notes a worker process that a handle has just started with its request
// queue `qi` and answer queue `qo`: `process` becomes the watched writer of
// `qo` (when both are the real multiprocessing objects), and is killed at
// interpreter exit if it is still alive then.
int register_worker(PyObject* process, PyObject* qi, PyObject* qo);

// The registered writer process of `queue` (new reference), or nullptr
// (with an exception set only on error) when there is none.
PyObject* registered_writer(PyObject* queue);

// queue.get(), woken also by the death of `process` (nullptr: a plain get).
// Raises vorlen.WorkerDiedError when the process ended with no message left.
PyObject* get_answer(PyObject* queue, PyObject* process);

// Raises vorlen.WorkerDiedError for `process`, which has ended or is
// ending; `detail` (or nullptr) replaces the error's usual message.
PyObject* raise_worker_died(PyObject* process, PyObject* detail = nullptr);

// The same, for a caller that already holds the process's sentinel.
PyObject* get_answer_watching(PyObject* queue, PyObject* process, int sentinel);

// The sentinel of `process`; kClosedProcess when it has none because its
// process object was closed (or never started: it will not answer either),
// -1 when it has none for another reason, -2 with an exception set.
constexpr int kClosedProcess = -3;
int process_sentinel(PyObject* process);

}  // namespace vr
