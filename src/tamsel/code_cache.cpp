// Compiled code for source texts that repeat. A worker that is sent the same
// text again and again (a batch of the same request, a polling loop) would
// otherwise spend most of its time compiling it.
//
// The cached code is what compiling the text again would give: the same
// file name, flags and line numbers, so tracebacks and namespaces come out
// the same. Compiling can show warnings, which a cache hit would not show
// again; a text whose compilation showed any warning is never cached.
#include "code_cache.h"

namespace tamsel {

namespace {

using vr::Ref;

constexpr Py_ssize_t kMaxEntries = 256;
constexpr Py_ssize_t kMaxTextLength = 16 * 1024;

PyObject* cache = nullptr;           // source str -> code object, oldest first
PyObject* shown_warning = nullptr;   // warnings._showwarnmsg while compiling
unsigned long warnings_shown = 0;

// Stands in for warnings._showwarnmsg while a text is compiled: counts the
// warning and shows it as the replaced function would.
PyObject* count_and_show(PyObject*, PyObject* message) {
  ++warnings_shown;
  return PyObject_CallOneArg(shown_warning, message);
}

PyMethodDef count_and_show_def = {"_showwarnmsg", count_and_show, METH_O, nullptr};

// Compiles with warnings._showwarnmsg replaced by the counter; sets
// `warned` when the compilation showed a warning.
PyObject* compile_counting_warnings(const char* text, PyCompilerFlags* flags, bool& warned) {
  Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
  if (!warnings) return nullptr;
  Ref previous = Ref::steal(PyObject_GetAttrString(warnings.get(), "_showwarnmsg"));
  if (!previous) return nullptr;
  Ref counter = Ref::steal(PyCFunction_New(&count_and_show_def, nullptr));
  if (!counter || PyObject_SetAttrString(warnings.get(), "_showwarnmsg", counter.get()) < 0)
    return nullptr;
  PyObject* outer = shown_warning;  // a compilation inside a warning handler
  shown_warning = previous.get();
  unsigned long before = warnings_shown;
  PyObject* code = Py_CompileStringExFlags(text, "<string>", Py_file_input, flags, -1);
  warned = warnings_shown != before;
  shown_warning = outer;
  vr::SavedError raised;  // the compilation's error, if any, goes first
  int restored = PyObject_SetAttrString(warnings.get(), "_showwarnmsg", previous.get());
  raised.restore();
  if (restored < 0) Py_CLEAR(code);
  return code;
}

int remember(PyObject* source, PyObject* code) {
  if (PyDict_GET_SIZE(cache) >= kMaxEntries) {
    Py_ssize_t pos = 0;
    PyObject *oldest, *value;
    PyDict_Next(cache, &pos, &oldest, &value);
    Ref key = Ref::borrow(oldest);
    if (PyDict_DelItem(cache, key.get()) < 0) return -1;
  }
  return PyDict_SetItem(cache, source, code);
}

}  // namespace

PyObject* compiled_code(PyObject* source, const char* text, PyCompilerFlags* flags) {
  bool cacheable = PyUnicode_CheckExact(source) &&
                   PyUnicode_GET_LENGTH(source) <= kMaxTextLength &&
                   flags->cf_flags == PyCF_SOURCE_IS_UTF8;
  if (!cacheable) return Py_CompileStringExFlags(text, "<string>", Py_file_input, flags, -1);
  if (!cache && !(cache = PyDict_New())) return nullptr;
  PyObject* hit = PyDict_GetItemWithError(cache, source);
  if (hit) return Py_NewRef(hit);
  if (PyErr_Occurred()) return nullptr;
  bool warned = false;
  Ref code = Ref::steal(compile_counting_warnings(text, flags, warned));
  if (!code) return nullptr;
  if (!warned && remember(source, code.get()) < 0) return nullptr;
  return code.release();
}

}  // namespace tamsel
