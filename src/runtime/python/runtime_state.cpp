#include "runtime/python/runtime_state.h"

namespace vr {

namespace {

RuntimeState loaded_state;
bool loaded = false;

constexpr PyObject* RuntimeState::*kObjects[] = {
    &RuntimeState::queue_type,    &RuntimeState::queue_put,
    &RuntimeState::queue_get,     &RuntimeState::queue_empty,
    &RuntimeState::connection_type,
    &RuntimeState::forking_dumps, &RuntimeState::forking_loads,
    &RuntimeState::plain_dumps,   &RuntimeState::format_exception,
    &RuntimeState::writers,       &RuntimeState::register_worker,
    &RuntimeState::died_error,    &RuntimeState::pages,
    &RuntimeState::timed_request, &RuntimeState::worker_ended,
    &RuntimeState::note_killed,
};

constexpr const char* kNameTexts[kNameCount] = {
    "_thread", "_closed", "_writer",  "_wlock",  "_sem", "_reader",
    "_rlock",  "acquire", "release", "get",    "_handle"};

int import_attribute(PyObject*& slot, const char* module, const char* attribute) {
  Ref m = Ref::steal(PyImport_ImportModule(module));
  if (!m) return -1;
  slot = PyObject_GetAttrString(m.get(), attribute);
  return slot ? 0 : -1;
}

int attribute(PyObject*& slot, PyObject* owner, const char* attribute) {
  slot = PyObject_GetAttrString(owner, attribute);
  return slot ? 0 : -1;
}

int load(RuntimeState& s) {
  for (int i = 0; i < kNameCount; ++i)
    if (!(s.names[i] = PyUnicode_InternFromString(kNameTexts[i]))) return -1;
  Ref pickler;
  PyObject* pickler_class = nullptr;
  if (import_attribute(pickler_class, "multiprocessing.reduction", "ForkingPickler") < 0)
    return -1;
  pickler = Ref::steal(pickler_class);
  if (import_attribute(s.queue_type, "multiprocessing.queues", "Queue") < 0 ||
      attribute(s.queue_put, s.queue_type, "put") < 0 ||
      attribute(s.queue_get, s.queue_type, "get") < 0 ||
      import_attribute(s.queue_empty, "queue", "Empty") < 0 ||
      import_attribute(s.connection_type, "multiprocessing.connection", "Connection") < 0 ||
      attribute(s.forking_dumps, pickler.get(), "dumps") < 0 ||
      attribute(s.forking_loads, pickler.get(), "loads") < 0 ||
      import_attribute(s.plain_dumps, "pickle", "dumps") < 0 ||
      import_attribute(s.format_exception, "traceback", "format_exception") < 0 ||
      import_attribute(s.writers, "vorlen._liveness", "writers") < 0 ||
      import_attribute(s.register_worker, "vorlen._liveness", "register") < 0 ||
      import_attribute(s.died_error, "vorlen._errors", "WorkerDiedError") < 0 ||
      import_attribute(s.worker_ended, "vorlen._errors", "worker_ended") < 0 ||
      import_attribute(s.note_killed, "vorlen._liveness", "note_killed") < 0 ||
      import_attribute(s.pages, "vorlen._pages", "pages") < 0 ||
      import_attribute(s.timed_request, "vorlen._timed", "TimedRequest") < 0)
    return -1;
  return 0;
}

void drop(RuntimeState& s) {
  for (auto member : kObjects) Py_CLEAR(s.*member);
  for (PyObject*& name : s.names) Py_CLEAR(name);
}

}  // namespace

const RuntimeState* runtime() {
  if (loaded) return &loaded_state;
  RuntimeState fresh;
  if (load(fresh) < 0) {
    drop(fresh);
    return nullptr;
  }
  // The imports run Python code, which may have loaded the state already.
  if (loaded) {
    drop(fresh);
  } else {
    loaded_state = fresh;
    loaded = true;
  }
  return &loaded_state;
}

}  // namespace vr
