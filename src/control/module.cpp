// vorlen._control: the primitives behind vorlen.interrupt, vorlen.run and
// vorlen.map.
#include "control.h"

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

int run_body(PyObject*, PyObject* dict) {
  for (const vr::FunctionDef* def :
       {&interrupt_worker_def, &request_def, &wait_answer_def, &escalate_def}) {
    Ref function = Ref::steal(vr::make_function(state, *def, nullptr, nullptr, nullptr));
    if (!function || PyDict_SetItemString(dict, def->name, function.get()) < 0) return -1;
  }
  Ref number = Ref::steal(PyLong_FromLong(vr::interrupt_signal()));
  return number ? PyDict_SetItemString(dict, "SIGNAL", number.get()) : -1;
}

}  // namespace

Names names;
vr::ModuleState state = {"_control", "vorlen._control", "vorlen\\_control.cpp",
                         make_constants, fetch_builtins, run_body};

}  // namespace control

PyMODINIT_FUNC PyInit__control() {
  return PyModuleDef_Init(vr::module_definition<control::state>());
}
