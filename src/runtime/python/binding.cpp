#include "runtime/python/binding.h"

namespace vr {

namespace {

Py_ssize_t defaults_size(const Signature& sig) {
  return sig.defaults ? PyTuple_GET_SIZE(sig.defaults.get()) : 0;
}

// How many positional parameters have a default: a __defaults__ longer than
// the parameter list gives its last items to all of them, as a Python
// function takes them.
Py_ssize_t default_count(const Signature& sig) {
  Py_ssize_t n = defaults_size(sig);
  return n > sig.argcount ? sig.argcount : n;
}

// "takes exactly/at least/at most N positional argument(s) (G given)".
int raise_count_error(const Signature& sig, bool too_many, Py_ssize_t given) {
  Py_ssize_t defaults = default_count(sig);
  Py_ssize_t required = sig.argcount - defaults;
  bool exact = defaults == 0 && !sig.varargs;
  const char* bound = exact ? "exactly" : (too_many ? "at most" : "at least");
  Py_ssize_t number = (exact || !too_many) ? required : sig.argcount;
  PyErr_Format(PyExc_TypeError,
               "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               sig.name, bound, number, number == 1 ? "" : "s", given);
  return -1;
}

bool same_name(PyObject* a, PyObject* b) {
  if (a == b) return true;
  return PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0;
}

// Index of the keyword in `kwnames` that names `name`, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < n; ++j)
    if (same_name(PyTuple_GET_ITEM(kwnames, j), name)) return j;
  return -1;
}

// Index of the named (non-star) parameter called `key`, or -1.
int find_parameter(const Signature& sig, PyObject* key) {
  int named = sig.argcount + sig.kwonlycount;
  for (int i = 0; i < named; ++i)
    if (same_name(PyTuple_GET_ITEM(sig.varnames, i), key)) return i;
  return -1;
}

int collect_varargs(const Signature& sig, PyObject* const* args,
                    Py_ssize_t nargs, BoundArguments& out) {
  Py_ssize_t extra = nargs > sig.argcount ? nargs - sig.argcount : 0;
  PyObject* varargs = PyTuple_New(extra);
  if (!varargs) return -1;
  for (Py_ssize_t i = 0; i < extra; ++i)
    PyTuple_SET_ITEM(varargs, i, Py_NewRef(args[sig.argcount + i]));
  out.slots[sig.argcount + sig.kwonlycount] = varargs;
  return 0;
}

int fill_defaults(const Signature& sig, BoundArguments& out) {
  // Parameter i takes item i + (size - argcount): the last items.
  Py_ssize_t offset = defaults_size(sig) - sig.argcount;
  for (Py_ssize_t i = sig.argcount - default_count(sig); i < sig.argcount; ++i)
    if (!out.slots[i])
      out.slots[i] = Py_NewRef(PyTuple_GET_ITEM(sig.defaults.get(), i + offset));
  for (int k = 0; k < sig.kwonlycount; ++k) {
    int i = sig.argcount + k;
    if (out.slots[i]) continue;
    PyObject* name = PyTuple_GET_ITEM(sig.varnames, i);
    PyObject* value =
        sig.kwdefaults ? PyDict_GetItemWithError(sig.kwdefaults.get(), name) : nullptr;
    if (!value) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError,
                     "%s() missing 1 required keyword-only argument: '%U'",
                     sig.name, name);
      return -1;
    }
    out.slots[i] = Py_NewRef(value);
  }
  return 0;
}

}  // namespace

int bind_arguments(const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, BoundArguments& out) {
  Py_ssize_t kwcount = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject* const* kwvalues = args + nargs;
  Py_ssize_t required = sig.argcount - default_count(sig);

  // 1. The positional count.
  if (nargs > sig.argcount && !sig.varargs)
    return raise_count_error(sig, true, nargs);
  if (nargs < required && kwcount == 0)
    return raise_count_error(sig, false, nargs);

  Py_ssize_t positional = nargs < sig.argcount ? nargs : sig.argcount;
  for (Py_ssize_t i = 0; i < positional; ++i) out.slots[i] = Py_NewRef(args[i]);
  if (sig.varargs && collect_varargs(sig, args, nargs, out) < 0) return -1;
  PyObject* varkw = nullptr;  // owned by its slot
  if (sig.varkw) {
    varkw = PyDict_New();
    if (!varkw) return -1;
    out.slots[sig.argcount + sig.kwonlycount + sig.varargs] = varkw;
  }

  // 2. The required parameters, one by one: by position, else by keyword.
  for (Py_ssize_t i = nargs; i < required; ++i) {
    Py_ssize_t j = find_keyword(kwnames, PyTuple_GET_ITEM(sig.varnames, i));
    if (j < 0) return raise_count_error(sig, false, i);
    out.slots[i] = Py_NewRef(kwvalues[j]);
  }

  // 3. The remaining keywords, in the order they were passed.
  for (Py_ssize_t j = 0; j < kwcount; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
      return -1;
    }
    int i = find_parameter(sig, key);
    // A required parameter past the positional ones took this keyword in
    // step 2 (call keywords are unique), so it is already bound.
    if (i >= nargs && i < required) continue;
    if (i >= 0) {
      if (out.slots[i]) {
        PyErr_Format(PyExc_TypeError,
                     "%s() got multiple values for keyword argument '%U'",
                     sig.name, key);
        return -1;
      }
      out.slots[i] = Py_NewRef(kwvalues[j]);
    } else if (varkw) {
      if (PyDict_SetItem(varkw, key, kwvalues[j]) < 0) return -1;
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   sig.name, key);
      return -1;
    }
  }
  return fill_defaults(sig, out);
}

}  // namespace vr
