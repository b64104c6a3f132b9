// A worker's own watch over the limit on its resident memory, which its
// parent writes on the page they share.
#pragma once
#include <cstdint>

#include "runtime/process/control_page.h"

namespace vr {

// The resident memory of this process in bytes, as the kernel counts it
// (/proc/self/statm); 0 when it cannot be read.
uint64_t resident_bytes();

// Starts (once per process) a native thread that ends this process when
// its resident memory passes the page's limit while a request runs and the
// page asks for that watch, noting on the page what it saw first. It runs
// no Python code, receives no signals, and looks every few tens of
// milliseconds only while a limit is set. `page` must stay mapped for the
// life of the process. -1 with an exception set when the thread cannot be
// started.
int watch_memory(ControlPage* page);

}  // namespace vr
