// vorlen._wire: the package's dispatch loops in C++, on the same queues and
// waits as the pool module.
#pragma once
#include "runtime/python/function.h"

namespace wire {

extern vr::ModuleState state;

extern const vr::FunctionDef arrivals_def, deal_def, receive_def;

}  // namespace wire
