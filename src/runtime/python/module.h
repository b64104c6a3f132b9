// The process-wide state of one extension module and the steps that create
// and execute it at import. Each module keeps exactly one ModuleState.
#pragma once
#include "runtime/python/ref.h"
#include <cstdint>

namespace vr {

struct ModuleState {
  const char* short_name;  // "tamsel": used in the re-initialisation refusal
  const char* full_name;   // "vorlen.tamsel": sys.modules key, traceback prefix
  const char* filename;    // file name of traceback entries
  // Creates interned names and constants; runs after the version check.
  int (*make_constants)();
  // Fetches the builtin names the module uses, once the module is in
  // sys.modules.
  int (*fetch_builtins)();
  // Runs the module body, binding each name as soon as it is made; the last
  // part of the exec step.
  int (*run_body)(PyObject* module, PyObject* dict);

  PyObject* module = nullptr;  // the module object once executed
  PyObject* dict = nullptr;    // its namespace (borrowed from module)
  int64_t interpreter_id = -1;
};

// The create step: interpreter check, the same object on a second create,
// else a new module carrying the spec's attributes.
PyObject* module_create(ModuleState& state, PyObject* spec);
// The exec step: refusal of re-initialisation, version warning, constants,
// sys.modules entry, builtins, module body.
int module_exec(ModuleState& state, PyObject* module);

// The definition of a module whose create and exec steps are those above,
// for multi-phase initialisation: PyInit_<name> returns
// PyModuleDef_Init(module_definition<state>()).
template <ModuleState& state>
PyModuleDef* module_definition() {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_create, reinterpret_cast<void*>(+[](PyObject* spec, PyModuleDef*) {
         return module_create(state, spec);
       })},
      {Py_mod_exec,
       reinterpret_cast<void*>(+[](PyObject* module) { return module_exec(state, module); })},
      {0, nullptr},
  };
  static PyModuleDef definition = {
      PyModuleDef_HEAD_INIT, state.full_name, nullptr, 0, nullptr, slots,
      nullptr, nullptr, nullptr,
  };
  return &definition;
}

// Looks a module-level name up at the moment of use: the module's namespace
// (none once its execution failed), then the builtins; NameError when
// neither has it. New reference.
PyObject* lookup_global(const ModuleState& state, PyObject* name);
// Fetches a builtin once, at module execution; NameError when it is missing.
PyObject* fetch_builtin(const char* name);

// Adds a traceback entry named `qualified` (already dotted) to the exception
// being raised.
void add_traceback(const ModuleState& state, const char* qualified, int line);

// Builds a class as a class statement does: type(name, (), namespace), the
// namespace holding __module__, __qualname__ and then `entries` in order.
struct ClassEntry {
  const char* name;
  PyObject* value;  // borrowed
};
PyObject* make_class(const ModuleState& state, const char* name,
                     const ClassEntry* entries, size_t count);

// Interns a name for the life of the process (never released).
PyObject* intern(const char* text);

}  // namespace vr
