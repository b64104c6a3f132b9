#include "runtime/shm/shared_api.h"

#include "runtime/transport/descriptors.h"
#include "runtime/transport/pickling.h"

namespace vr {

namespace {

const char kModuleName[] = "vorlen._sharedmem";

const SharedMemoryApi* loaded_api = nullptr;

// The table published by `module`. Taken from the module object itself:
// the module is reachable as an attribute of the package only once its
// import has finished all its steps, which an exception raised in between
// (a signal handler, say) can keep from happening for good.
const SharedMemoryApi* api_of(PyObject* module) {
  Ref capsule = Ref::steal(PyObject_GetAttrString(module, "_api"));
  if (!capsule) return nullptr;
  auto* api = static_cast<const SharedMemoryApi*>(
      PyCapsule_GetPointer(capsule.get(), kSharedMemoryCapsule));
  if (api) observe_wait_ends(api->wait_ended);
  return api;
}

// The table if the module has been imported by anyone, without importing
// it; nullptr when it has not. Leaves the error state as it found it: the
// caller may be passing an error on.
const SharedMemoryApi* api_if_imported() {
  static PyObject* name = nullptr;
  SavedError raised;
  if (!name) name = PyUnicode_InternFromString(kModuleName);
  Ref module = Ref::steal(name ? PyImport_GetModule(name) : nullptr);
  if (module) loaded_api = api_of(module.get());
  PyErr_Clear();
  raised.restore();
  return loaded_api;
}

}  // namespace

const SharedMemoryApi* shared_memory_api() {
  if (loaded_api) return loaded_api;
  Ref module = Ref::steal(PyImport_ImportModule(kModuleName));
  if (!module) return nullptr;
  loaded_api = api_of(module.get());
  return loaded_api;
}

OutgoingMessage::~OutgoingMessage() {
  if (batch_) api_->settle(batch_, false);
}

PyObject* OutgoingMessage::pickle(PyObject* message, PyObject* reader) {
  // Plain data holds no array: pickled as always.
  if (is_plainly_picklable(message)) return pickle_plain_message(message);
  const SharedMemoryApi* api = shared_memory_api();
  if (!api) return nullptr;
  api_ = api;
  if (batch_) api->settle(batch_, false);  // a first attempt that was not sent
  batch_ = 0;
  return api->pickle(message, reader, &batch_, &rewritten_);
}

PyObject* OutgoingMessage::for_put(PyObject* message, PyObject* pickled) {
  if ((!batch_ && !rewritten_) || !pickled) return Py_NewRef(message);
  PyObject* wrapper = api_->wrap(pickled, batch_);
  if (wrapper) batch_ = 0;  // the wrapper settles them from here on
  return wrapper;
}

void OutgoingMessage::sent() {
  if (batch_) api_->settle(batch_, true);
  batch_ = 0;
}

void sweep_shared_memory() {
  // Whichever module made segments or mappings, they are this process's:
  // the module that receives the answers sweeps them too.
  const SharedMemoryApi* api = loaded_api ? loaded_api : api_if_imported();
  if (api && api->holds_anything()) api->sweep();
}

}  // namespace vr
