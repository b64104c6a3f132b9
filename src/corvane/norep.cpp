// CorvaneNoRep: one shared pool kept on a holder object, handed out again on
// later set-up calls and restarted only when the requested size changes.
#include "corvane.h"

namespace corvane {

namespace {

using vr::Ref;

// CorvaneNoRep.builtin, the class looked up afresh in the module's globals.
PyObject* holder() {
  Ref cls = Ref::steal(global(names.CorvaneNoRep));
  if (!cls) return nullptr;
  return PyObject_GetAttr(cls.get(), names.builtin);
}

// set(builtin)
PyObject* norep_set(PyObject* const* a) {
  Ref cls = Ref::steal(global(names.CorvaneNoRep));
  if (!cls || PyObject_SetAttr(cls.get(), names.builtin, a[0]) < 0) return nullptr;
  Py_RETURN_NONE;
}

// Whether the holder carries a pool: any ordinary error while reading it
// means no; an interrupt (KeyboardInterrupt, SystemExit) goes to the caller.
int holder_has_pool() {
  Ref current = Ref::steal(holder());
  if (!current) return -1;
  Ref pool = Ref::steal(PyObject_GetAttr(current.get(), names.CNR));
  if (pool) return 1;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
  PyErr_Clear();
  return 0;
}

PyObject* reuse_pool(PyObject* n) {
  Ref current = Ref::steal(holder());
  if (!current) return nullptr;
  Ref pool = Ref::steal(PyObject_GetAttr(current.get(), names.CNR));
  if (!pool) return nullptr;
  Ref size = Ref::steal(PyObject_GetAttr(pool.get(), names.N));
  if (!size) return nullptr;
  Ref differs = Ref::steal(PyObject_RichCompare(n, size.get(), Py_NE));
  if (!differs) return nullptr;
  int resize = PyObject_IsTrue(differs.get());
  if (resize < 0) return nullptr;
  if (resize) {
    if (PyObject_SetAttr(pool.get(), names.N, n) < 0) return nullptr;
    Ref restarted = Ref::steal(call_method(pool.get(), names.init_process));
    if (!restarted) return nullptr;
  }
  return pool.release();
}

// A pool that could not be stored would keep its workers running with
// nothing referring to them, and the program could not exit: kill them,
// keeping the error that is being raised.
void kill_unstored(PyObject* pool) {
  vr::SavedError raised;
  Ref killed = Ref::steal(call_method(pool, names.kill_all));
  raised.restore();
}

PyObject* build_pool(PyObject* n) {
  Ref pool_class = Ref::steal(global(names.CorvanePool));
  if (!pool_class) return nullptr;
  PyObject* args[] = {n, names.shared_pool_prefix};
  Ref pool = Ref::steal(PyObject_Vectorcall(pool_class.get(), args, 2, nullptr));
  if (!pool) return nullptr;
  Ref current = Ref::steal(holder());
  if (!current || PyObject_SetAttr(current.get(), names.CNR, pool.get()) < 0) {
    kill_unstored(pool.get());
    return nullptr;
  }
  Py_RETURN_NONE;
}

// init_process(n)
PyObject* norep_init_process(PyObject* const* a) {
  int has_pool = holder_has_pool();
  if (has_pool < 0) return nullptr;
  return has_pool ? reuse_pool(a[0]) : build_pool(a[0]);
}

const char* const set_params[] = {"builtin"};
const char* const init_params[] = {"n"};

// Lines of the definitions in the module's source, as traceback entries show them.
constexpr int kSetLine = 70;          // CorvaneNoRep.set
constexpr int kInitProcessLine = 75;  // CorvaneNoRep.init_process

}  // namespace

const vr::FunctionDef norep_set_def = {
    .name = "set",
    .qualname = "CorvaneNoRep.set",
    .traceback = "vorlen.corvane.CorvaneNoRep.set",
    .body = norep_set,
    .params = set_params,
    .argcount = 1,
    .line = kSetLine,
};
const vr::FunctionDef norep_init_process_def = {
    .name = "init_process",
    .qualname = "CorvaneNoRep.init_process",
    .traceback = "vorlen.corvane.CorvaneNoRep.init_process",
    .body = norep_init_process,
    .params = init_params,
    .argcount = 1,
    .line = kInitProcessLine,
};

}  // namespace corvane
