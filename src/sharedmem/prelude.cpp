#include "prelude.h"

namespace vr::shm {

namespace {

// pickler.dump(obj), whatever obj is (a tuple is one argument).
int dump(PyObject* pickler, PyObject* obj) {
  static PyObject* name = PyUnicode_InternFromString("dump");
  if (!name) return -1;
  Ref done = Ref::steal(PyObject_CallMethodOneArg(pickler, name, obj));
  return done ? 0 : -1;
}

// Turns the STOP that ends what `file` holds into a POP.
int stop_to_pop(PyObject* file) {
  Ref at = Ref::steal(PyObject_CallMethod(file, "seek", "ii", -1, 2));
  Ref last = at ? Ref::steal(PyObject_CallMethod(file, "read", "i", 1)) : Ref();
  if (!last) return -1;
  if (!PyBytes_Check(last.get()) || PyBytes_GET_SIZE(last.get()) != 1 ||
      PyBytes_AS_STRING(last.get())[0] != '.') {
    PyErr_SetString(PyExc_RuntimeError, "a pickle that does not end with STOP");
    return -1;
  }
  at = Ref::steal(PyObject_CallMethod(file, "seek", "ii", -1, 2));
  Ref written = at ? Ref::steal(PyObject_CallMethod(file, "write", "y#", "0", 1)) : Ref();
  return written ? 0 : -1;
}

// The pickler's memo with the entry of each proxy now holding its target:
// {id: (index, object)}, as the memo's setter takes it.
PyObject* memo_for_targets(PyObject* pickler, PyObject* proxies, PyObject* targets) {
  Ref proxy_memo = Ref::steal(PyObject_GetAttrString(pickler, "memo"));
  Ref memo = proxy_memo ? Ref::steal(PyObject_CallMethod(proxy_memo.get(), "copy", nullptr))
                        : Ref();
  if (!memo) return nullptr;
  if (!PyDict_CheckExact(memo.get())) {
    PyErr_SetString(PyExc_TypeError, "the pickler's memo did not copy to a dict");
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(proxies); ++i) {
    Ref key = Ref::steal(PyLong_FromVoidPtr(PyTuple_GET_ITEM(proxies, i)));
    if (!key) return nullptr;
    PyObject* entry = PyDict_GetItemWithError(memo.get(), key.get());  // borrowed
    if (!entry || !PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) {
      if (!PyErr_Occurred())
        PyErr_SetString(PyExc_RuntimeError, "a proxy missing from the pickler's memo");
      return nullptr;
    }
    Ref rekeyed = Ref::steal(PyTuple_Pack(2, PyTuple_GET_ITEM(entry, 0),
                                          PyTuple_GET_ITEM(targets, i)));
    if (!rekeyed || PyDict_SetItem(memo.get(), key.get(), rekeyed.get()) < 0) return nullptr;
  }
  return memo.release();
}

}  // namespace

PyObject* dumps_with_prelude(PyObject* pickler_class, PyObject* message, PyObject* proxies,
                             PyObject* targets) {
  static PyObject* bytes_io = nullptr;
  if (!bytes_io) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io || !(bytes_io = PyObject_GetAttrString(io.get(), "BytesIO"))) return nullptr;
  }
  Ref file = Ref::steal(PyObject_CallNoArgs(bytes_io));
  Ref pickler = file ? Ref::steal(PyObject_CallFunctionObjArgs(pickler_class, file.get(),
                                                               Py_None, nullptr))
                     : Ref();
  if (!pickler) return nullptr;
  if (dump(pickler.get(), proxies) < 0 || stop_to_pop(file.get()) < 0) return nullptr;
  Ref memo = Ref::steal(memo_for_targets(pickler.get(), proxies, targets));
  if (!memo || PyObject_SetAttrString(pickler.get(), "memo", memo.get()) < 0) return nullptr;
  if (dump(pickler.get(), message) < 0) return nullptr;
  return PyObject_CallMethod(file.get(), "getbuffer", nullptr);
}

}  // namespace vr::shm
