#include "runtime/python/function.h"

#include "runtime/python/binding.h"

#include <cstddef>
#include <structmember.h>

namespace vr {

namespace {

// varnames, name, qualname, globals and code are never NULL, not even after
// the garbage collector cleared the object (which a finalizer or a weak
// reference callback may still reach): tp_clear leaves varnames, globals and
// code alone, since they cannot be part of a cycle that only they would
// break (code and varnames hold nothing but strings, and globals is the
// module's namespace, which the module state keeps alive), and swaps the
// empty string in for name and qualname, which may be str subclasses.
struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  const ModuleState* state;
  PyObject* varnames;  // tuple of interned parameter names, co_varnames order
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* globals;
  PyObject* dict;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* code;
  PyObject* weakrefs;
};

// The name and qualified name of a cleared function: the empty string.
PyObject* cleared_name = nullptr;

FunctionObject* as_function(PyObject* self) {
  return reinterpret_cast<FunctionObject*>(self);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args,
                              size_t nargsf, PyObject* kwnames) {
  FunctionObject* f = as_function(callable);
  const FunctionDef& def = *f->def;
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* result;
  if (!kwnames && nargs == def.argcount && !def.varargs && !def.varkw &&
      def.kwonlycount == 0) {
    result = def.body(args);
  } else {
    BoundArguments bound;
    Signature signature{def.name,      f->varnames,
                        def.argcount,  def.kwonlycount,
                        def.varargs,   def.varkw,
                        Ref::borrow(f->defaults), Ref::borrow(f->kwdefaults)};
    result = bind_arguments(signature, args, nargs, kwnames, bound) < 0
                 ? nullptr
                 : def.body(bound.slots);
  }
  if (!result) {
    // As the interpreter reports a function that fails without saying why.
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_SystemError, "%s returned NULL without setting an exception",
                   def.traceback);
    add_traceback(*f->state, def.traceback, def.line);
  }
  return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname,
                              self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  Py_VISIT(f->varnames);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->globals);
  Py_VISIT(f->dict);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->code);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  // Every field is valid before the old value is released: releasing runs
  // finalizers, which may use this function.
  Py_SETREF(f->name, Py_NewRef(cleared_name));
  Py_SETREF(f->qualname, Py_NewRef(cleared_name));
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  FunctionObject* f = as_function(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->varnames);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->code);
  PyObject_GC_Del(self);
}

// __reduce__: the qualified name, so that pickle stores a reference that is
// found again by importing the module and walking the dotted name.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Attribute access, as a Python function offers it.

int set_str(PyObject** slot, PyObject* value, const char* what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}

PyObject* get_name(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) {
  return set_str(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
  PyObject* d = as_function(self)->defaults;
  return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
  return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  PyObject* d = as_function(self)->kwdefaults;
  return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
  return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
  return 0;
}

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_globals(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->globals);
}
PyObject* get_code(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->code);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Filled in by ready_function_type(); C++ cannot mix the header macro with
// designated initialisers.
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};


// A code object that carries only the signature: argument counts, flags and
// parameter names, which is all that signature introspection reads.
PyObject* make_code(const ModuleState& state, const FunctionDef& def,
                    PyObject* varnames, PyObject* qualname) {
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(state.filename, def.name, def.line)));
  if (!code) return nullptr;
  int flags = CO_OPTIMIZED | CO_NEWLOCALS;
  if (def.varargs) flags |= CO_VARARGS;
  if (def.varkw) flags |= CO_VARKEYWORDS;
  Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
  if (!replace) return nullptr;
  Ref empty = Ref::steal(PyTuple_New(0));
  if (!empty) return nullptr;
  Ref kwargs = Ref::steal(Py_BuildValue(
      "{s:i,s:i,s:i,s:n,s:i,s:O,s:O}", "co_argcount", def.argcount,
      "co_posonlyargcount", 0, "co_kwonlyargcount", def.kwonlycount,
      "co_nlocals", PyTuple_GET_SIZE(varnames), "co_flags", flags,
      "co_varnames", varnames, "co_qualname", qualname));
  if (!kwargs) return nullptr;
  return PyObject_Call(replace.get(), empty.get(), kwargs.get());
}

}  // namespace

int ready_function_type() {
  PyTypeObject& t = function_type;
  if (t.tp_flags & Py_TPFLAGS_READY) return 0;
  if (!cleared_name && !(cleared_name = PyUnicode_New(0, 0))) return -1;
  t.tp_name = "vorlen.function";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_getattro = PyObject_GenericGetAttr;
  t.tp_setattro = PyObject_GenericSetAttr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
               Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  t.tp_methods = function_methods;
  t.tp_members = function_members;
  t.tp_getset = function_getset;
  t.tp_descr_get = function_descr_get;
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  return PyType_Ready(&t);
}

PyObject* make_function(const ModuleState& state, const FunctionDef& def,
                        PyObject* defaults, PyObject* kwdefaults,
                        const char* doc) {
  int nparams = def.argcount + def.kwonlycount + def.varargs + def.varkw;
  Ref varnames = Ref::steal(PyTuple_New(nparams));
  if (!varnames) return nullptr;
  for (int i = 0; i < nparams; ++i) {
    PyObject* name = PyUnicode_InternFromString(def.params[i]);
    if (!name) return nullptr;
    PyTuple_SET_ITEM(varnames.get(), i, name);
  }
  Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
  if (!name) return nullptr;
  Ref qualname = Ref::steal(PyUnicode_FromString(def.qualname));
  if (!qualname) return nullptr;
  Ref module = Ref::steal(PyUnicode_FromString(state.full_name));
  if (!module) return nullptr;
  Ref docstring = doc ? Ref::steal(PyUnicode_FromString(doc)) : Ref::borrow(Py_None);
  if (!docstring) return nullptr;
  Ref code = Ref::steal(make_code(state, def, varnames.get(), qualname.get()));
  if (!code) return nullptr;

  FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
  if (!f) return nullptr;
  f->vectorcall = function_vectorcall;
  f->def = &def;
  f->state = &state;
  f->varnames = varnames.release();
  f->name = name.release();
  f->qualname = qualname.release();
  f->module = module.release();
  f->doc = docstring.release();
  f->globals = Py_NewRef(state.dict);
  f->dict = nullptr;
  f->defaults = Py_XNewRef(defaults);
  f->kwdefaults = Py_XNewRef(kwdefaults);
  f->annotations = nullptr;
  f->code = code.release();
  f->weakrefs = nullptr;
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

}  // namespace vr
