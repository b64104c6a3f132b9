// Waiting on file descriptors with the interpreter lock released, and with
// signal handlers run (and their exceptions raised) when a wait is
// interrupted.
#pragma once
#include "ref.h"

namespace vr {

// The descriptor `obj` stands for: an int, or what its fileno() returns;
// -1 with an exception set.
int descriptor_of(PyObject* obj);

// Waits without limit until `first` or `second` is readable; says which.
int wait_readable(int first, int second, bool& first_ready, bool& second_ready);

// Waits up to `seconds` for `fd` to be readable: 1 ready, 0 timed out.
int wait_readable_for(int fd, double seconds);

// Whether `fd` is readable right now.
bool readable_now(int fd);

}  // namespace vr
