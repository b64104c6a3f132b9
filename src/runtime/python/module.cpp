#include "runtime/python/module.h"

#include <cstdio>
#include <frameobject.h>

namespace vr {

namespace {

// Copies one attribute of the import spec into the module namespace; a
// missing attribute is skipped, any other error fails.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from,
                        const char* to, bool skip_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(dict, to, value.get());
}

int check_interpreter(ModuleState& state) {
  int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (state.interpreter_id == -1) {
    state.interpreter_id = current;
    return current == -1 ? -1 : 0;
  }
  if (current != state.interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be "
                    "loaded into one interpreter per process.");
    return -1;
  }
  return 0;
}

// Compares the running interpreter with the one the module was built for
// (3.12 or 3.13), on major and minor number.
int warn_on_version_mismatch(const ModuleState& state) {
  int major = static_cast<int>((Py_Version >> 24) & 0xff);
  int minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
  char message[200];
  std::snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s "
                "runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, state.full_name, "does not match",
                major, minor);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int register_in_sys_modules(const ModuleState& state, PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  Ref key = Ref::steal(PyUnicode_FromString(state.full_name));
  if (!key) return -1;
  int has = PyDict_Contains(modules, key.get());
  if (has < 0) return -1;
  if (has) return 0;
  return PyDict_SetItem(modules, key.get(), module);
}

}  // namespace

PyObject* module_create(ModuleState& state, PyObject* spec) {
  if (check_interpreter(state) < 0) return nullptr;
  if (state.module) return Py_NewRef(state.module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());  // borrowed
  if (copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
      copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
      copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
      copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__",
                          true) < 0)
    return nullptr;
  return module.release();
}

int module_exec(ModuleState& state, PyObject* module) {
  if (state.module) {
    if (state.module == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is "
                 "not supported.",
                 state.short_name);
    return -1;
  }
  state.module = Py_NewRef(module);
  state.dict = PyModule_GetDict(module);

  bool constants_made = false;
  auto fail = [&]() {
    if (constants_made) {
      char entry[200];
      std::snprintf(entry, sizeof entry, "init %s", state.full_name);
      add_traceback(state, entry, 1);
    }
    Py_CLEAR(state.module);
    state.dict = nullptr;
    return -1;
  };

  PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
  if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins) < 0)
    return fail();
  if (warn_on_version_mismatch(state) < 0) return fail();
  if (state.make_constants() < 0) return fail();
  constants_made = true;
  if (register_in_sys_modules(state, module) < 0) return fail();
  if (state.fetch_builtins() < 0) return fail();
  if (state.run_body(module, state.dict) < 0) return fail();
  return 0;
}

PyObject* lookup_global(const ModuleState& state, PyObject* name) {
  // A function can outlive a module whose execution failed; that module's
  // namespace is gone and binds nothing any more.
  PyObject* value = state.dict ? PyDict_GetItemWithError(state.dict, name) : nullptr;
  if (value) return Py_NewRef(value);  // borrowed until here
  if (PyErr_Occurred()) return nullptr;
  static PyObject* builtins = nullptr;  // the builtins module's dict
  if (!builtins) {
    PyObject* module = PyImport_AddModule("builtins");  // borrowed
    if (!module) return nullptr;
    builtins = Py_NewRef(PyModule_GetDict(module));
  }
  value = PyDict_GetItemWithError(builtins, name);
  if (value) return Py_NewRef(value);
  if (PyErr_Occurred()) return nullptr;
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

PyObject* fetch_builtin(const char* name) {
  PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
  if (!builtins) return nullptr;
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return nullptr;
  PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(builtins), key.get());
  if (!value) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return nullptr;
  }
  return Py_NewRef(value);
}

void add_traceback(const ModuleState& state, const char* qualified, int line) {
  SavedError raised;
  if (!raised) return;
  PyCodeObject* code = PyCode_NewEmpty(state.filename, qualified, line);
  PyFrameObject* frame = nullptr;
  if (code) {
    PyObject* globals = state.dict ? state.dict : PyEval_GetGlobals();
    Ref scratch;
    if (!globals) {
      scratch = Ref::steal(PyDict_New());
      globals = scratch.get();
    }
    if (globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
  }
  // A failure to make the entry must not replace the exception it decorates.
  raised.restore();
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(code);
}

PyObject* make_class(const ModuleState& state, const char* name,
                     const ClassEntry* entries, size_t count) {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return nullptr;
  Ref module_name = Ref::steal(PyUnicode_FromString(state.full_name));
  if (!module_name) return nullptr;
  Ref class_name = Ref::steal(PyUnicode_InternFromString(name));
  if (!class_name) return nullptr;
  if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", class_name.get()) < 0)
    return nullptr;
  for (size_t i = 0; i < count; ++i)
    if (PyDict_SetItemString(ns.get(), entries[i].name, entries[i].value) < 0)
      return nullptr;
  Ref bases = Ref::steal(PyTuple_New(0));
  if (!bases) return nullptr;
  return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                      class_name.get(), bases.get(), ns.get(),
                                      nullptr);
}

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

}  // namespace vr
