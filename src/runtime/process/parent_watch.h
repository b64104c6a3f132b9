// Ending a worker process whose parent process has died.
#pragma once
#include "runtime/python/ref.h"

namespace vr {

// When this process is a multiprocessing child, starts (once per process) a
// native thread that ends the process as soon as its parent process has
// died, whether the process is idle or busy running Python code. The thread
// runs no Python code and receives no signals; nothing is done per request.
// A parent that died before this call ends the process at once. Outside a
// multiprocessing child it does nothing. -1 with an exception set when the
// thread cannot be started.
int watch_parent();

}  // namespace vr
