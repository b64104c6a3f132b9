// _HandleContent: collects, inside a worker, what executed code prints through
// xprint and hands back through xreturn.
#include "interrupts.h"
#include "tamsel.h"

namespace tamsel {

namespace {

// Appends `text` to the str `*value`, in place when `*value` has no other
// holder (as CPython does for `s += t`), so that many small appends cost
// linear time. On failure `*value` is still the old, valid str.
int append_str(PyObject** value, PyObject* text) {
  Py_ssize_t old_length = PyUnicode_GET_LENGTH(*value);
  Py_ssize_t added = PyUnicode_GET_LENGTH(text);
  if (added == 0) return 0;
  bool fits = PyUnicode_KIND(text) <= PyUnicode_KIND(*value) &&
              !(PyUnicode_IS_ASCII(*value) && !PyUnicode_IS_ASCII(text));
  if (!fits || old_length == 0) {
    PyObject* joined = PyUnicode_Concat(*value, text);
    if (!joined) return -1;
    Py_SETREF(*value, joined);
    return 0;
  }
  // Resizes in place when *value is modifiable, else makes a fresh copy.
  if (PyUnicode_Resize(value, old_length + added) < 0) return -1;
  return PyUnicode_CopyCharacters(*value, old_length, text, 0, added) < 0 ? -1 : 0;
}

// Whether `self.print_content` is a plain entry of the instance dict holding
// an exact str (no descriptor, no attribute hooks): 1 with the dict and the
// str in `dict` and `value`, 0 when it is not, -1 on error. Both are owned:
// looking the entry up may run a key's __eq__, which can replace the
// instance dict or the entry.
int plain_content(PyObject* self, vr::Ref& dict, vr::Ref& value) {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_getattro != PyObject_GenericGetAttr ||
      type->tp_setattro != PyObject_GenericSetAttr ||
      _PyType_Lookup(type, names.print_content))
    return 0;
  PyObject** dictptr = _PyObject_GetDictPtr(self);
  if (!dictptr || !*dictptr) return 0;
  dict = vr::Ref::borrow(*dictptr);
  value = vr::Ref::borrow(PyDict_GetItemWithError(dict.get(), names.print_content));
  if (!value) return PyErr_Occurred() ? -1 : 0;
  return PyUnicode_CheckExact(value.get()) ? 1 : 0;
}

PyObject* as_text(PyObject* item) {
  return PyUnicode_CheckExact(item) ? Py_NewRef(item) : PyObject_Str(item);
}

// self.print_content += text(item), reading the attribute before the item is
// turned into text. `convert` false adds the item as it is (the `end`).
int add_to_print_content(PyObject* self, PyObject* item, bool convert) {
  vr::Ref dict, value;
  int plain = plain_content(self, dict, value);
  if (plain < 0) return -1;
  if (!plain || !(convert || PyUnicode_CheckExact(item))) {
    value = vr::Ref::steal(PyObject_GetAttr(self, names.print_content));
    if (!value) return -1;
    vr::Ref text = vr::Ref::steal(convert ? as_text(item) : Py_NewRef(item));
    if (!text) return -1;
    vr::Ref sum = vr::Ref::steal(PyNumber_InPlaceAdd(value.get(), text.get()));
    if (!sum) return -1;
    return PyObject_SetAttr(self, names.print_content, sum.get());
  }
  vr::Ref text = vr::Ref::steal(convert ? as_text(item) : Py_NewRef(item));
  if (!text) return -1;
  // Converting the item runs arbitrary code, which may have replaced the
  // entry or the whole instance dict: then the result is stored as an
  // ordinary attribute and the str is not grown in place.
  PyObject** dictptr = _PyObject_GetDictPtr(self);
  bool held = dictptr && *dictptr == dict.get();
  if (held) {
    PyObject* entry = PyDict_GetItemWithError(dict.get(), names.print_content);
    if (!entry && PyErr_Occurred()) return -1;
    // The look-up may have run code again: the dict must still be the one.
    held = entry == value.get() && *dictptr == dict.get();
  }
  if (!held || !PyUnicode_CheckExact(text.get())) {
    vr::Ref sum = vr::Ref::steal(PyNumber_InPlaceAdd(value.get(), text.get()));
    if (!sum) return -1;
    return PyObject_SetAttr(self, names.print_content, sum.get());
  }
  // Drop the dict's reference while growing, so the str can be its own
  // buffer's only holder.
  if (PyDict_SetItem(dict.get(), names.print_content, Py_None) < 0) return -1;
  PyObject* grown = value.release();
  int status = append_str(&grown, text.get());
  vr::SavedError raised;  // append_str's error, when status < 0
  // grown, or the old str
  int stored = PyDict_SetItem(dict.get(), names.print_content, grown);
  Py_DECREF(grown);
  if (status < 0) {
    raised.restore();
    return -1;
  }
  return stored;
}

PyObject* capture_init(PyObject* const* a) {
  vr::Ref clear = vr::Ref::steal(PyObject_GetAttr(a[0], names.clear));
  if (!clear) return nullptr;
  vr::Ref result = vr::Ref::steal(PyObject_CallNoArgs(clear.get()));
  if (!result) return nullptr;
  Py_RETURN_NONE;
}

// xprint(self, *ws, end="\n"): slots are self, end, ws.
PyObject* capture_xprint(PyObject* const* a) {
  PyObject* self = a[0];
  PyObject* end = a[1];
  PyObject* items = a[2];
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
    // Items that cannot be turned into text or added are dropped silently,
    // whatever they raise; only an interrupt of the request itself, which
    // may land in an item's __str__, goes on to stop the request.
    if (add_to_print_content(self, PyTuple_GET_ITEM(items, i), true) < 0) {
      vr::Ref raised = vr::Ref::steal(PyErr_GetRaisedException());
      if (interrupts::is_own_interrupt(raised.get())) {
        PyErr_SetRaisedException(raised.release());
        return nullptr;
      }
    }
  }
  if (add_to_print_content(self, end, false) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* capture_clear(PyObject* const* a) {
  PyObject* self = a[0];
  if (PyObject_SetAttr(self, names.print_content, names.empty_str) < 0)
    return nullptr;
  vr::Ref fresh = vr::Ref::steal(PyDict_New());
  if (!fresh || PyObject_SetAttr(self, names.return_content, fresh.get()) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

// xreturn(self, **kwds): slots are self, kwds.
PyObject* capture_xreturn(PyObject* const* a) {
  vr::Ref content = vr::Ref::steal(PyObject_GetAttr(a[0], names.return_content));
  if (!content) return nullptr;
  vr::Ref result = vr::Ref::steal(call_method(content.get(), names.update, a[1]));
  if (!result) return nullptr;
  Py_RETURN_NONE;
}

const char* const self_only[] = {"self"};
const char* const xprint_params[] = {"self", "end", "ws"};
const char* const xreturn_params[] = {"self", "kwds"};


// Lines of the definitions in the module's source, as traceback entries show them.
constexpr int kInitLine = 30;     // _HandleContent.__init__
constexpr int kXprintLine = 34;   // _HandleContent.xprint
constexpr int kClearLine = 45;    // _HandleContent.clear
constexpr int kXreturnLine = 49;  // _HandleContent.xreturn

}  // namespace

const vr::FunctionDef capture_init_def = {
    .name = "__init__",
    .qualname = "_HandleContent.__init__",
    .traceback = "vorlen.tamsel._HandleContent.__init__",
    .body = capture_init,
    .params = self_only,
    .argcount = 1,
    .line = kInitLine,
};
const vr::FunctionDef capture_xprint_def = {
    .name = "xprint",
    .qualname = "_HandleContent.xprint",
    .traceback = "vorlen.tamsel._HandleContent.xprint",
    .body = capture_xprint,
    .params = xprint_params,
    .argcount = 1,
    .kwonlycount = 1,
    .varargs = true,
    .line = kXprintLine,
};
const vr::FunctionDef capture_clear_def = {
    .name = "clear",
    .qualname = "_HandleContent.clear",
    .traceback = "vorlen.tamsel._HandleContent.clear",
    .body = capture_clear,
    .params = self_only,
    .argcount = 1,
    .line = kClearLine,
};
const vr::FunctionDef capture_xreturn_def = {
    .name = "xreturn",
    .qualname = "_HandleContent.xreturn",
    .traceback = "vorlen.tamsel._HandleContent.xreturn",
    .body = capture_xreturn,
    .params = xreturn_params,
    .argcount = 1,
    .varkw = true,
    .line = kXreturnLine,
};

}  // namespace tamsel
