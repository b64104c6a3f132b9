// vorlen._control: the primitives behind vorlen.interrupt, vorlen.run and
// vorlen.map, and the ledger's table for the other modules.
#include "control.h"
#include "ledger.h"

namespace control {

namespace {

using vr::Ref;

int make_constants() {
  if (!(names.qi = vr::intern("qi")) || !(names.qo = vr::intern("qo")) ||
      !(names.proc = vr::intern("proc")) || !(names.put = vr::intern("put")))
    return -1;
  return vr::ready_function_type();
}

int fetch_builtins() { return 0; }

// adopt_page(qi, fd): a worker started in a fresh interpreter maps the page
// its parent made, from the descriptor it was handed.
PyObject* adopt_page(PyObject* const* a) {
  int fd = PyObject_AsFileDescriptor(a[1]);
  if (fd < 0) return nullptr;
  if (vr::adopt_control_page(a[0], fd) < 0) return nullptr;
  Py_RETURN_NONE;
}

const char* const adopt_params[] = {"qi", "fd"};

int run_body(PyObject*, PyObject* dict) {
  for (const vr::FunctionDef* def :
       {&interrupt_worker_def, &request_def, &adopt_page_def, &page_state_def, &limit_memory_def,
        &submit_def, &cancel_def, &interrupt_ticket_def, &running_def, &wait_def,
        &in_dispatcher_def}) {
    Ref function = Ref::steal(vr::make_function(state, *def, nullptr, nullptr, nullptr));
    if (!function || PyDict_SetItemString(dict, def->name, function.get()) < 0) return -1;
  }
  if (make_tagging(dict) < 0 || dispatch::make_ticket_type(dict) < 0) return -1;
  Ref number = Ref::steal(PyLong_FromLong(vr::interrupt_signal()));
  if (!number || PyDict_SetItemString(dict, "SIGNAL", number.get()) < 0) return -1;
  Ref table = Ref::steal(PyCapsule_New(const_cast<vr::LedgerApi*>(&ledger_api),
                                       vr::kLedgerCapsule, nullptr));
  return table ? PyDict_SetItemString(dict, "_ledger", table.get()) : -1;
}

}  // namespace

const vr::FunctionDef adopt_page_def = {
    .name = "adopt_page",
    .qualname = "adopt_page",
    .traceback = "vorlen._control.adopt_page",
    .body = adopt_page,
    .params = adopt_params,
    .argcount = 2,
    .line = 80,
};

Names names;
vr::ModuleState state = {"_control", "vorlen._control", "vorlen\\_control.cpp",
                         make_constants, fetch_builtins, run_body};

}  // namespace control

PyMODINIT_FUNC PyInit__control() {
  return PyModuleDef_Init(vr::module_definition<control::state>());
}
