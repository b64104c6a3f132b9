// vorlen._control: the parent's side of interrupts and time limits, for the
// package's functions vorlen.interrupt, vorlen.run and vorlen.map.
#pragma once
#include "runtime/process/control_page.h"
#include "runtime/python/function.h"

namespace control {

extern vr::ModuleState state;

// Attribute names of a handle and its queues, interned when the module
// executes.
struct Names {
  PyObject* qi;
  PyObject* qo;
  PyObject* proc;
  PyObject* put;
};
extern Names names;

// How long, in seconds, until the request running on `page` is overdue
// (its limit or its interrupt plus `grace`), capped at the interval of
// checks; when it is overdue now, kills `process` and raises.
double check_overdue(PyObject* process, vr::ControlPage* page, uint64_t token,
                     double grace, bool& raised);

extern const vr::FunctionDef interrupt_worker_def, request_def, wait_answer_def,
    escalate_def;

}  // namespace control
