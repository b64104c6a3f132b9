#include "runtime/python/gil.h"

#include <unistd.h>

#include <exception>

namespace vr {

void restore_thread(PyThreadState* saved) {
  try {
    PyEval_RestoreThread(saved);
  } catch (...) {
    // Nothing else leaves PyEval_RestoreThread than the forced unwind of
    // the thread's exit. It is caught as `...`: a forced unwind carries no
    // exception object, so naming its type would bind a reference to
    // nothing. Leaving this block would end the process (a forced unwind
    // must go on once caught).
    park_ended_thread();
  }
}

void park_ended_thread_or_rethrow() {
  // The forced unwind of a thread's exit is no C++ exception: there is no
  // exception object to give.
  if (std::current_exception()) throw;
  park_ended_thread();
}

void park_ended_thread() noexcept {
  // The exit that is under way ends the thread.
  for (;;) pause();
}

}  // namespace vr
