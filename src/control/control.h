// vorlen._control: the parent's side of interrupts and time limits (for
// vorlen.interrupt, vorlen.run and vorlen.map), and the ledger of requests
// and answers that every module of the package keeps through it.
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

extern const vr::FunctionDef interrupt_worker_def, request_def, tagged_loads_def,
    adopt_page_def, page_state_def, limit_memory_def;

// vorlen.submit's functions (dispatch_calls.cpp).
extern const vr::FunctionDef submit_def, cancel_def, interrupt_ticket_def, running_def, wait_def,
    in_dispatcher_def;
namespace dispatch {
// Makes the ticket type (as Ticket in `dict`); called when the module executes.
int make_ticket_type(PyObject* dict);
// An interrupt was sent to some worker outside vorlen.submit: the
// dispatcher looks for submitted requests that ignore it.
void notice_interrupt();
}  // namespace dispatch

}  // namespace control
