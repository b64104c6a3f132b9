// Waiting without the interpreter lock, from threads that may be daemon
// threads.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vr {

// Takes the interpreter lock back after a wait without it, as
// Py_END_ALLOW_THREADS does. A daemon thread that wakes while the
// interpreter finalizes is ended by the interpreter as it asks for the
// lock; on 3.12 that unwinds the thread's stack, and the destructors of our
// frames would then release references without the lock while the
// interpreter tears everything down. Such a thread is parked instead, for
// good: the process is exiting.
void restore_thread(PyThreadState* saved);

// Parks the calling thread for good. For a thread that the interpreter is
// ending (it unwinds the thread's stack as the thread asks for the lock
// while the interpreter finalizes) where the unwinding must stop: a
// destructor or another noexcept frame that it left would end the process
// (std::terminate). The process is exiting.
[[noreturn]] void park_ended_thread() noexcept;

// For a catch (...) around code that may run Python code: parks the thread
// if what is being caught is the interpreter ending it (an unwinding that
// is no C++ exception); a C++ exception goes on as it would have.
[[noreturn]] void park_ended_thread_or_rethrow();

}  // namespace vr

// Ends a Py_BEGIN_ALLOW_THREADS block, in place of Py_END_ALLOW_THREADS.
#define VR_END_ALLOW_THREADS \
  vr::restore_thread(_save); \
  }
