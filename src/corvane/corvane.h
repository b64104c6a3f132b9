// The pool module: pools of worker handles, the dealing of batches over them,
// the collection of their answers, and the shared no-repeat pool.
#pragma once
#include "runtime/python/call.h"
#include "runtime/python/function.h"

namespace corvane {

extern vr::ModuleState state;

#define CORVANE_NAMES(X)                                                       \
  X(CNR) X(CorvaneNoRep) X(CorvanePool) X(N) X(Tamsel) X(builtin)              \
  X(clear_output) X(cs) X(get) X(init_process) X(items) X(kill) X(kill_all)    \
  X(name_pref) X(pid) X(proc) X(procs) X(put) X(qi) X(qo) X(reduce) X(values)

struct Names {
#define CORVANE_DECLARE(n) PyObject* n;
  CORVANE_NAMES(CORVANE_DECLARE)
#undef CORVANE_DECLARE
  PyObject* underscore;            // "_"
  PyObject* shared_pool_prefix;    // "NoRepeatProcessingPool"
};
extern Names names;

// Builtins fetched once, when the module executes.
struct Builtins {
  PyObject* staticmethod;
  PyObject* range;
  PyObject* enumerate;
};
extern Builtins builtins;

inline PyObject* global(PyObject* name) { return vr::lookup_global(state, name); }
using vr::call_method;

extern const vr::FunctionDef reduce_def;
extern const vr::FunctionDef pool_init_def, pool_init_process_def,
    pool_kill_all_def, pool_clear_output_def, pool_map_def;
extern const vr::FunctionDef norep_set_def, norep_init_process_def;

}  // namespace corvane
