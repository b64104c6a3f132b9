// Ending worker processes that a construction started before it failed.
#pragma once
#include "runtime/python/ref.h"

namespace vr {

// Kills `process` (a multiprocessing process object) and waits briefly to
// reap it, leaving the exception being raised (if any) as it was. What
// killing or reaping raises is dropped: a process that never started, has
// ended or was closed has nothing left to kill.
void kill_started(PyObject* process);

}  // namespace vr
