// The worker module's namespace: its imports, functions and classes, bound in
// this order when the module executes.
#include "tamsel.h"

namespace tamsel {

namespace {

using vr::Ref;

int make_constants();
int fetch_builtins();
int run_body(PyObject* module, PyObject* dict);

constexpr const char* kMainDoc =
    "\n    This is the main loop of a tamsel\n    \n    Parametrs : \n"
    "    _______________________\n    qi is the input queue for this main "
    "function\n    while qo is the output queue for this \n  ";

int make_constants() {
#define TAMSEL_INTERN(n) if (!(names.n = vr::intern(#n))) return -1;
  TAMSEL_NAMES(TAMSEL_INTERN)
#undef TAMSEL_INTERN
  if (!(names.builtins_key = vr::intern("__builtins__")) ||
      !(names.empty_str = PyUnicode_FromString("")) ||
      !(names.status_success = vr::intern("SUCCESS")) ||
      !(names.status_exception = vr::intern("EXCEPTION")) ||
      !(names.cancelled_info = PyUnicode_FromString(
            "the request was cancelled before it started: the call that sent it "
            "ended early\n")) ||
      !(names.poll_timeout = PyFloat_FromDouble(0.1)) ||
      !(names.timeout_kwnames = PyTuple_Pack(1, names.timeout)) ||
      !(names.process_kwnames = PyTuple_Pack(2, names.target, names.args)))
    return -1;
  return vr::ready_function_type();
}

int fetch_builtins() {
  keyboard_interrupt = vr::fetch_builtin("KeyboardInterrupt");
  return keyboard_interrupt ? 0 : -1;
}

// `import <module>` (or `import <module> as <name>`), bound in the namespace.
int import_as(PyObject* dict, const char* module, const char* name) {
  Ref module_name = Ref::steal(PyUnicode_FromString(module));
  if (!module_name) return -1;
  Ref imported = Ref::steal(
      PyImport_ImportModuleLevelObject(module_name.get(), dict, nullptr, nullptr, 0));
  if (!imported) return -1;
  return PyDict_SetItemString(dict, name, imported.get());
}

int bind_function(PyObject* dict, const vr::FunctionDef& def, const char* doc = nullptr) {
  Ref function = Ref::steal(vr::make_function(state, def, nullptr, nullptr, doc));
  if (!function) return -1;
  return PyDict_SetItemString(dict, def.name, function.get());
}

Ref method(const vr::FunctionDef& def, PyObject* defaults = nullptr,
           PyObject* kwdefaults = nullptr) {
  return Ref::steal(vr::make_function(state, def, defaults, kwdefaults, nullptr));
}

int bind_capture_class(PyObject* dict) {
  Ref kwdefaults = Ref::steal(PyDict_New());
  if (!kwdefaults) return -1;
  Ref newline = Ref::steal(PyUnicode_FromString("\n"));
  if (!newline || PyDict_SetItem(kwdefaults.get(), names.end, newline.get()) < 0)
    return -1;
  // Made one at a time: nothing is called while an error is pending.
  Ref init, xprint, clear, xreturn;
  if (!(init = method(capture_init_def)) ||
      !(xprint = method(capture_xprint_def, nullptr, kwdefaults.get())) ||
      !(clear = method(capture_clear_def)) || !(xreturn = method(capture_xreturn_def)))
    return -1;
  vr::ClassEntry entries[] = {{"__init__", init.get()},
                              {"xprint", xprint.get()},
                              {"clear", clear.get()},
                              {"xreturn", xreturn.get()}};
  Ref cls = Ref::steal(vr::make_class(state, "_HandleContent", entries, 4));
  if (!cls) return -1;
  return PyDict_SetItemString(dict, "_HandleContent", cls.get());
}

int bind_handle_class(PyObject* dict) {
  Ref defaults = Ref::steal(PyTuple_Pack(1, Py_None));
  if (!defaults) return -1;
  Ref init, blocked_put, kill, clear_output;
  if (!(init = method(handle_init_def, defaults.get())) ||
      !(blocked_put = method(handle_blocked_put_def)) || !(kill = method(handle_kill_def)) ||
      !(clear_output = method(handle_clear_output_def)))
    return -1;
  vr::ClassEntry entries[] = {{"__init__", init.get()},
                              {"blocked_put", blocked_put.get()},
                              {"kill", kill.get()},
                              {"clear_output", clear_output.get()}};
  Ref cls = Ref::steal(vr::make_class(state, "Tamsel", entries, 4));
  if (!cls) return -1;
  return PyDict_SetItemString(dict, "Tamsel", cls.get());
}

int run_body(PyObject*, PyObject* dict) {
  static const char* const plain_imports[] = {"os",     "ctypes",    "mmap", "queue",
                                              "signal", "traceback", "time"};
  for (const char* module : plain_imports)
    if (import_as(dict, module, module) < 0) return -1;
  if (import_as(dict, "numpy", "np") < 0 ||
      import_as(dict, "multiprocessing", "mp") < 0 ||
      import_as(dict, "setproctitle", "setproctitle") < 0)
    return -1;
  if (bind_function(dict, clear_queue_def) < 0 ||
      bind_function(dict, sigint_handler_def) < 0 || bind_capture_class(dict) < 0 ||
      bind_function(dict, tamsel_main_def, kMainDoc) < 0 || bind_handle_class(dict) < 0)
    return -1;
  return 0;
}

}  // namespace

vr::ModuleState state = {"tamsel", "vorlen.tamsel", "vorlen\\tamsel.cpp",
                         make_constants, fetch_builtins, run_body};
Names names;
PyObject* keyboard_interrupt = nullptr;

}  // namespace tamsel

PyMODINIT_FUNC PyInit_tamsel() {
  return PyModuleDef_Init(vr::module_definition<tamsel::state>());
}
