#include "reduced.h"

namespace vr::shm {

namespace {

struct Reduced {
  PyObject_HEAD
  PyObject* reduction;  // (callable, args)
};

PyObject* reduced_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(reinterpret_cast<Reduced*>(self)->reduction);
}

void reduced_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<Reduced*>(self)->reduction);
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
  static PyObject* type = PyType_FromSpec(&reduced_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_reduced(PyObject* callable, PyObject* args) {
  PyTypeObject* type = reduced_type();
  if (!type) return nullptr;
  Ref reduction = Ref::steal(PyTuple_Pack(2, callable, args));
  if (!reduction) return nullptr;
  auto* reduced = PyObject_New(Reduced, type);
  if (!reduced) return nullptr;
  reduced->reduction = reduction.release();
  return reinterpret_cast<PyObject*>(reduced);
}

}  // namespace vr::shm
