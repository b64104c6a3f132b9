#include "runtime/python/gil.h"

#include <cxxabi.h>
#include <unistd.h>

namespace vr {

void restore_thread(PyThreadState* saved) {
  try {
    PyEval_RestoreThread(saved);
  } catch (abi::__forced_unwind&) {
    // Leaving this block would end the process (a forced unwind must go
    // on once caught); the exit that is under way ends the thread.
    for (;;) pause();
  }
}

}  // namespace vr
