#include "runtime/process/reaping.h"

#include "runtime/process/liveness.h"

namespace vr {

namespace {

// How long to wait for a killed process to end, so that it leaves no
// zombie behind; a killed process normally ends at once.
constexpr double kReapSeconds = 1.0;

}  // namespace

void kill_started(PyObject* process) {
  SavedError raised;
  Ref owned = Ref::borrow(process);
  if (note_killed(owned.get()) < 0) PyErr_Clear();
  Ref killed = Ref::steal(PyObject_CallMethod(owned.get(), "kill", nullptr));
  PyErr_Clear();
  Ref joined = Ref::steal(PyObject_CallMethod(owned.get(), "join", "d", kReapSeconds));
  PyErr_Clear();
  raised.restore();
}

}  // namespace vr
