#include "reduced.h"

#include <unistd.h>

#include "runtime/shm/shared_segments.h"

namespace vr::shm {

namespace {

struct Reduced {
  PyObject_HEAD
  PyObject* reduction;  // (callable, args)
  uint64_t batch;       // segments it settles, or 0
  pid_t owner;          // the process that made them (a forked child does not own them)
};

bool owns_batch(const Reduced* reduced) {
  return reduced->batch && reduced->owner == getpid();
}

// Pickled by the queue's sending thread: the message goes out with it.
PyObject* reduced_reduce(PyObject* self, PyObject*) {
  auto* reduced = reinterpret_cast<Reduced*>(self);
  if (owns_batch(reduced)) settle_batch(reduced->batch, true);
  return Py_NewRef(reduced->reduction);
}

void reduced_dealloc(PyObject* self) {
  auto* reduced = reinterpret_cast<Reduced*>(self);
  // Only segments still pending are closed: once pickled, they were sent.
  if (owns_batch(reduced)) settle_batch(reduced->batch, false);
  Py_XDECREF(reduced->reduction);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef reduced_methods[] = {
    {"__reduce__", reduced_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot reduced_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reduced_dealloc)},
    {Py_tp_methods, reduced_methods},
    {Py_tp_doc, const_cast<char*>("Stands for another object in a pickle: pickles as a call "
                                  "that makes it.")},
    {0, nullptr},
};
PyType_Spec reduced_spec = {"vorlen._sharedmem.Reduced", sizeof(Reduced), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            reduced_slots};

}  // namespace

PyTypeObject* reduced_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&reduced_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_reduced(PyObject* callable, PyObject* args, uint64_t batch) {
  PyTypeObject* type = reduced_type();
  if (!type) return nullptr;
  Ref reduction = Ref::steal(PyTuple_Pack(2, callable, args));
  if (!reduction) return nullptr;
  auto* reduced = PyObject_New(Reduced, type);
  if (!reduced) return nullptr;
  reduced->reduction = reduction.release();
  reduced->batch = batch;
  reduced->owner = getpid();
  return reinterpret_cast<PyObject*>(reduced);
}

}  // namespace vr::shm
