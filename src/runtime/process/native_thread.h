// Threads of our own that run no Python code.
#pragma once

namespace vr {

// Starts `run(argument)` on a detached thread with every signal blocked in
// it, so that signals meant for the process's Python code never land there.
// 0, or the error number when the thread cannot be started.
int start_native_thread(void* (*run)(void*), void* argument);

}  // namespace vr
