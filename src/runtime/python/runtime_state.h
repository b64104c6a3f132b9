// The objects of other modules that the runtime works with (the queue class
// and its methods, the picklers, the liveness registry, ...), imported
// together on first use and kept for the life of the process.
#pragma once
#include "runtime/python/ref.h"

namespace vr {

// Interned attribute and method names, indexes into RuntimeState::names.
enum Name {
  kThread, kClosed, kWriter, kWlock, kSem, kReader, kRlock,
  kAcquire, kRelease, kGet, kHandle, kNameCount
};

struct RuntimeState {
  PyObject* queue_type = nullptr;        // multiprocessing.queues.Queue
  PyObject* queue_put = nullptr;         // its own put function
  PyObject* queue_get = nullptr;         // its own get function
  PyObject* queue_empty = nullptr;       // queue.Empty, what get() raises on time-out
  PyObject* connection_type = nullptr;   // multiprocessing.connection.Connection
  PyObject* forking_dumps = nullptr;     // what a queue pickles with
  PyObject* forking_loads = nullptr;     // what a queue's get() unpickles with
  PyObject* plain_dumps = nullptr;       // pickle.dumps: the same bytes for plain data
  PyObject* format_exception = nullptr;  // traceback.format_exception
  PyObject* writers = nullptr;           // vorlen._liveness.writers
  PyObject* register_worker = nullptr;   // vorlen._liveness.register
  PyObject* died_error = nullptr;        // vorlen.WorkerDiedError
  PyObject* worker_ended = nullptr;      // vorlen._errors.worker_ended, which makes one
  PyObject* note_killed = nullptr;       // vorlen._liveness.note_killed
  PyObject* pages = nullptr;             // vorlen._pages.pages
  PyObject* timed_request = nullptr;     // vorlen._timed.TimedRequest
  PyObject* names[kNameCount] = {};

  PyObject* name(Name n) const { return names[n]; }
};

// The runtime state, loaded on the first call. nullptr with the exception
// set when loading failed; the next call tries again.
const RuntimeState* runtime();

}  // namespace vr
