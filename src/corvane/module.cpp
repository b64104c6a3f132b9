// The pool module's namespace: cs, reduce, CorvanePool and CorvaneNoRep,
// bound in this order when the module executes.
#include "corvane.h"

namespace corvane {

namespace {

using vr::Ref;

int make_constants() {
#define CORVANE_INTERN(n) if (!(names.n = vr::intern(#n))) return -1;
  CORVANE_NAMES(CORVANE_INTERN)
#undef CORVANE_INTERN
  if (!(names.underscore = vr::intern("_")) ||
      !(names.shared_pool_prefix = vr::intern("NoRepeatProcessingPool")))
    return -1;
  return vr::ready_function_type();
}

int fetch_builtins() {
  return (builtins.staticmethod = vr::fetch_builtin("staticmethod")) &&
                 (builtins.range = vr::fetch_builtin("range")) &&
                 (builtins.enumerate = vr::fetch_builtin("enumerate"))
             ? 0
             : -1;
}

Ref function(const vr::FunctionDef& def, PyObject* defaults = nullptr) {
  return Ref::steal(vr::make_function(state, def, defaults, nullptr, nullptr));
}

int bind_pool_class(PyObject* dict) {
  Ref prefix_default = Ref::steal(Py_BuildValue("(s)", "CorvaneingPool"));
  if (!prefix_default) return -1;
  Ref block_default = Ref::steal(PyTuple_Pack(1, Py_True));
  if (!block_default) return -1;
  // Made one at a time: nothing is called while an error is pending.
  Ref init, init_process, kill_all, clear_output, map;
  if (!(init = function(pool_init_def, prefix_default.get())) ||
      !(init_process = function(pool_init_process_def)) ||
      !(kill_all = function(pool_kill_all_def)) ||
      !(clear_output = function(pool_clear_output_def)) ||
      !(map = function(pool_map_def, block_default.get())))
    return -1;
  vr::ClassEntry entries[] = {{"__init__", init.get()},
                              {"init_process", init_process.get()},
                              {"kill_all", kill_all.get()},
                              {"clear_output", clear_output.get()},
                              {"map", map.get()}};
  Ref cls = Ref::steal(vr::make_class(state, "CorvanePool", entries, 5));
  return cls ? PyDict_SetItem(dict, names.CorvanePool, cls.get()) : -1;
}

int bind_norep_class(PyObject* dict) {
  Ref set = function(norep_set_def);
  if (!set) return -1;
  Ref static_set = Ref::steal(PyObject_CallOneArg(builtins.staticmethod, set.get()));
  if (!static_set) return -1;
  Ref init_process = function(norep_init_process_def);
  if (!init_process) return -1;
  vr::ClassEntry entries[] = {{"builtin", Py_None},
                              {"set", static_set.get()},
                              {"init_process", init_process.get()}};
  Ref cls = Ref::steal(vr::make_class(state, "CorvaneNoRep", entries, 3));
  return cls ? PyDict_SetItem(dict, names.CorvaneNoRep, cls.get()) : -1;
}

int run_body(PyObject*, PyObject* dict) {
  // import vorlen.tamsel as cs: the submodule itself.
  Ref worker_module = Ref::steal(PyImport_ImportModule("vorlen.tamsel"));
  if (!worker_module || PyDict_SetItem(dict, names.cs, worker_module.get()) < 0)
    return -1;
  Ref reduce = function(reduce_def);
  if (!reduce || PyDict_SetItem(dict, names.reduce, reduce.get()) < 0) return -1;
  if (bind_pool_class(dict) < 0) return -1;
  return bind_norep_class(dict);
}

}  // namespace

vr::ModuleState state = {"corvane", "vorlen.corvane", "vorlen\\corvane.cpp",
                         make_constants, fetch_builtins, run_body};
Names names;
Builtins builtins;

}  // namespace corvane

PyMODINIT_FUNC PyInit_corvane() {
  return PyModuleDef_Init(vr::module_definition<corvane::state>());
}
