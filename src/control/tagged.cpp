// Tags of messages that go through a queue's put(): the queue pickles what
// put() is given in its own thread, so the tag cannot go ahead of the
// pickled bytes there. Instead put() gets a stand-in that pickles as a call
// of _tagged_loads(tag, pickled), or of _tagged(tag, item) for an object
// that must be pickled by the queue itself: whoever unpickles it gets the
// message, and this module notes the tag for the reading thread, which asks
// for it right after (loaded_tag).
#include "control.h"
#include "ledger.h"
#include "runtime/python/runtime_state.h"

namespace control {

namespace {

using vr::Ref;

thread_local uint64_t last_loaded = 0;
PyObject* loads_function = nullptr;  // _tagged_loads, once the module has made it
PyObject* passing_function = nullptr;  // _tagged, likewise
PyTypeObject* stand_in_type = nullptr;

struct StandIn {
  PyObject_HEAD
  PyObject* reduction;  // (_tagged_loads, (tag, pickled))
};

PyObject* stand_in_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(reinterpret_cast<StandIn*>(self)->reduction);
}

void stand_in_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<StandIn*>(self)->reduction);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef stand_in_methods[] = {
    {"__reduce__", stand_in_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot stand_in_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stand_in_dealloc)},
    {Py_tp_methods, stand_in_methods},
    {Py_tp_doc, const_cast<char*>("A tagged message on its way through a queue's put(): "
                                  "pickles as the message with its tag.")},
    {0, nullptr},
};
PyType_Spec stand_in_spec = {"vorlen._control.TaggedMessage", sizeof(StandIn), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             stand_in_slots};

// _tagged_loads(tag, payload): the message pickled in `payload`, noting
// its tag for this thread.
PyObject* tagged_loads(PyObject* const* a) {
  uint64_t tag = PyLong_AsUnsignedLongLong(a[0]);
  if (tag == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
  const vr::RuntimeState* rt = vr::runtime();
  if (!rt) return nullptr;
  PyObject* message = PyObject_CallOneArg(rt->forking_loads, a[1]);
  if (message) last_loaded = tag;
  return message;
}

const char* const loads_params[] = {"tag", "payload"};

// _tagged(tag, message): `message` itself (already made by the unpickler),
// noting its tag for this thread.
PyObject* tagged_pass(PyObject* const* a) {
  uint64_t tag = PyLong_AsUnsignedLongLong(a[0]);
  if (tag == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
  last_loaded = tag;
  return Py_NewRef(a[1]);
}

const char* const pass_params[] = {"tag", "message"};

const vr::FunctionDef tagged_pass_def = {
    .name = "_tagged",
    .qualname = "_tagged",
    .traceback = "vorlen._control._tagged",
    .body = tagged_pass,
    .params = pass_params,
    .argcount = 2,
    .line = 75,
};

}  // namespace

const vr::FunctionDef tagged_loads_def = {
    .name = "_tagged_loads",
    .qualname = "_tagged_loads",
    .traceback = "vorlen._control._tagged_loads",
    .body = tagged_loads,
    .params = loads_params,
    .argcount = 2,
    .line = 70,
};

int make_tagging(PyObject* dict) {
  Ref function = Ref::steal(vr::make_function(state, tagged_loads_def, nullptr, nullptr, nullptr));
  if (!function || PyDict_SetItemString(dict, tagged_loads_def.name, function.get()) < 0)
    return -1;
  Ref passing = Ref::steal(vr::make_function(state, tagged_pass_def, nullptr, nullptr, nullptr));
  if (!passing || PyDict_SetItemString(dict, tagged_pass_def.name, passing.get()) < 0)
    return -1;
  passing_function = passing.release();
  stand_in_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&stand_in_spec));
  if (!stand_in_type) return -1;
  loads_function = function.release();
  return 0;
}

uint64_t loaded_tag() {
  uint64_t tag = last_loaded;
  last_loaded = 0;
  return tag;
}

PyObject* tagged(uint64_t tag, PyObject* item, bool pickled) {
  Ref payload = pickled ? Ref::steal(PyBytes_FromObject(item)) : Ref::borrow(item);
  if (!payload) return nullptr;
  Ref number = Ref::steal(PyLong_FromUnsignedLongLong(tag));
  if (!number) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(2, number.get(), payload.get()));
  if (!args) return nullptr;
  Ref reduction =
      Ref::steal(PyTuple_Pack(2, pickled ? loads_function : passing_function, args.get()));
  if (!reduction) return nullptr;
  auto* stand_in = PyObject_New(StandIn, stand_in_type);
  if (!stand_in) return nullptr;
  stand_in->reduction = reduction.release();
  return reinterpret_cast<PyObject*>(stand_in);
}

}  // namespace control
