// Compiled code for source texts that repeat. A worker that is sent the same
// text again and again (a batch of the same request, a polling loop) would
// otherwise spend most of its time compiling it.
//
// The cached code is what compiling the text again would give: the same
// file name, flags and line numbers, so tracebacks and namespaces come out
// the same. Compiling can show warnings, which a cache hit would not show
// again; a text whose compilation showed any warning is never cached.
#include "code_cache.h"

#include <cstddef>

namespace tamsel {

namespace {

using vr::Ref;

constexpr Py_ssize_t kMaxEntries = 256;
constexpr Py_ssize_t kMaxTextLength = 16 * 1024;

PyObject* cache = nullptr;  // source str -> code object, oldest first

// Stands in for warnings._showwarnmsg while one text is compiled: counts
// the warnings shown and passes each to the function it replaced, which it
// owns. Each compilation has its own counter, so a hook that keeps the
// counter and calls it later, a compilation inside a warning hook, and
// compilations in several threads each forward to a live function and
// count only for themselves.
struct WarningCounter {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* forward;  // the _showwarnmsg that was replaced
  Py_ssize_t shown;
};

WarningCounter* as_counter(PyObject* self) { return reinterpret_cast<WarningCounter*>(self); }

PyObject* counter_call(PyObject* self, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) {
  WarningCounter* counter = as_counter(self);
  ++counter->shown;
  Ref forward = Ref::borrow(counter->forward);  // the call may replace it
  if (!forward) {
    PyErr_SetString(PyExc_RuntimeError, "warning counter cleared");
    return nullptr;
  }
  return PyObject_Vectorcall(forward.get(), args, nargsf, kwnames);
}

int counter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_counter(self)->forward);
  return 0;
}

int counter_clear(PyObject* self) {
  Py_CLEAR(as_counter(self)->forward);
  return 0;
}

void counter_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  counter_clear(self);
  PyObject_GC_Del(self);
}

PyTypeObject counter_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* new_counter(PyObject* forward) {
  PyTypeObject& t = counter_type;
  if (!(t.tp_flags & Py_TPFLAGS_READY)) {
    t.tp_name = "vorlen.tamsel.warning_counter";
    t.tp_basicsize = sizeof(WarningCounter);
    t.tp_dealloc = counter_dealloc;
    t.tp_vectorcall_offset = offsetof(WarningCounter, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_traverse = counter_traverse;
    t.tp_clear = counter_clear;
    if (PyType_Ready(&t) < 0) return nullptr;
  }
  WarningCounter* counter = PyObject_GC_New(WarningCounter, &t);
  if (!counter) return nullptr;
  counter->vectorcall = counter_call;
  counter->forward = Py_NewRef(forward);
  counter->shown = 0;
  PyObject_GC_Track(counter);
  return reinterpret_cast<PyObject*>(counter);
}

// Compiles with warnings._showwarnmsg replaced by a counter; sets `warned`
// when the compilation showed a warning. The replaced function is put back
// only while the counter is still in place: code that replaced it in the
// meantime (another thread's compilation, a warning hook) keeps its own.
PyObject* compile_counting_warnings(const char* text, PyCompilerFlags* flags, bool& warned) {
  Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
  if (!warnings) return nullptr;
  Ref previous = Ref::steal(PyObject_GetAttrString(warnings.get(), "_showwarnmsg"));
  if (!previous) return nullptr;
  Ref counter = Ref::steal(new_counter(previous.get()));
  if (!counter || PyObject_SetAttrString(warnings.get(), "_showwarnmsg", counter.get()) < 0)
    return nullptr;
  PyObject* code = Py_CompileStringExFlags(text, "<string>", Py_file_input, flags, -1);
  warned = as_counter(counter.get())->shown != 0;
  vr::SavedError raised;  // the compilation's error, if any, goes first
  int restored = 0;
  Ref current = Ref::steal(PyObject_GetAttrString(warnings.get(), "_showwarnmsg"));
  if (!current)
    restored = -1;
  else if (current.get() == counter.get())
    restored = PyObject_SetAttrString(warnings.get(), "_showwarnmsg", previous.get());
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
