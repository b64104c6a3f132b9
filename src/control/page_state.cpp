// What the parent reads of a worker's page, and the memory limit it writes
// there (for vorlen.restart, vorlen.limit_memory and the reports of a
// worker's death).
#include "control.h"

namespace control {

namespace {

using vr::Ref;

// page_state(qi): (serial, started, memory_limit, memory_state,
// memory_seen) of the worker serving `qi`, or None when it has no page.
PyObject* page_state(PyObject* const* a) {
  vr::ControlPage* page;
  Ref owner = Ref::steal(vr::find_control_page(a[0], page));
  if (!owner) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  }
  return Py_BuildValue("(KKKkK)", page->serial.load(), page->started.load(),
                       page->memory_limit.load(),
                       static_cast<unsigned long>(page->memory_state.load()),
                       page->memory_seen.load());
}

// limit_memory(qi, limit, during): writes the limit (bytes, 0 for none) on
// the page of the worker serving `qi`; whether it has one.
PyObject* limit_memory(PyObject* const* a) {
  uint64_t limit = PyLong_AsUnsignedLongLong(a[1]);
  if (limit == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
  int during = PyObject_IsTrue(a[2]);
  if (during < 0) return nullptr;
  vr::ControlPage* page;
  Ref owner = Ref::steal(vr::find_control_page(a[0], page));
  if (!owner) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_FALSE;
  }
  // The flag first: a watch that sees the new limit sees how it applies.
  page->memory_during.store(during ? 1 : 0);
  page->memory_limit.store(limit);
  Py_RETURN_TRUE;
}

const char* const state_params[] = {"qi"};
const char* const limit_params[] = {"qi", "limit", "during"};

}  // namespace

const vr::FunctionDef page_state_def = {
    .name = "page_state",
    .qualname = "page_state",
    .traceback = "vorlen._control.page_state",
    .body = page_state,
    .params = state_params,
    .argcount = 1,
    .line = 90,
};
const vr::FunctionDef limit_memory_def = {
    .name = "limit_memory",
    .qualname = "limit_memory",
    .traceback = "vorlen._control.limit_memory",
    .body = limit_memory,
    .params = limit_params,
    .argcount = 3,
    .line = 100,
};

}  // namespace control
