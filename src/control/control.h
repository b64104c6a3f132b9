// vorlen._control: the parent's side of interrupts and time limits, for the
// package's functions vorlen.interrupt, vorlen.run and vorlen.map.
#pragma once
#include "runtime/control_page.h"
#include "runtime/function.h"

namespace control {

extern vr::ModuleState state;

// Waits for the next answer on `qo`, written by `process`. While the
// worker runs a request that ignores its interrupt (the time limit of
// request `token`, or an interrupt from vorlen.interrupt) for more than
// `grace` seconds, the worker is killed and WorkerDiedError raised.
PyObject* wait_for_answer(PyObject* qo, PyObject* process, vr::ControlPage* page,
                          uint64_t token, double grace);

// How long, in seconds, until the request running on `page` is overdue
// (its limit or its interrupt plus `grace`), capped at the interval of
// checks; when it is overdue now, kills `process` and raises.
double check_overdue(PyObject* process, vr::ControlPage* page, uint64_t token,
                     double grace, bool& raised);

extern const vr::FunctionDef interrupt_worker_def, request_def, wait_answer_def,
    escalate_def;

}  // namespace control
