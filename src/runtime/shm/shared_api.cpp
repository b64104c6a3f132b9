#include "runtime/shm/shared_api.h"

#include "runtime/transport/pickling.h"

namespace vr {

namespace {

const SharedMemoryApi* loaded_api = nullptr;

const SharedMemoryApi* load_api() {
  if (loaded_api) return loaded_api;
  // PyCapsule_Import walks attributes from the package down: the module
  // must have been imported first.
  Ref module = Ref::steal(PyImport_ImportModule("vorlen._sharedmem"));
  if (!module) return nullptr;
  loaded_api = static_cast<const SharedMemoryApi*>(PyCapsule_Import(kSharedMemoryCapsule, 0));
  return loaded_api;
}

}  // namespace

OutgoingMessage::~OutgoingMessage() {
  if (batch_) api_->settle(batch_, false);
}

PyObject* OutgoingMessage::pickle(PyObject* message, PyObject* reader) {
  // Plain data holds no array: pickled as always.
  if (is_plainly_picklable(message)) return pickle_plain_message(message);
  const SharedMemoryApi* api = load_api();
  if (!api) return nullptr;
  api_ = api;
  if (batch_) api->settle(batch_, false);  // a first attempt that was not sent
  return api->pickle(message, reader, &batch_, &rewritten_);
}

PyObject* OutgoingMessage::for_put(PyObject* message, PyObject* pickled) {
  if ((!batch_ && !rewritten_) || !pickled) return Py_NewRef(message);
  return api_->wrap(pickled);
}

void OutgoingMessage::sent() {
  if (batch_) api_->settle(batch_, true);
  batch_ = 0;
}

void sweep_shared_memory() {
  if (loaded_api && loaded_api->holds_anything()) loaded_api->sweep();
}

}  // namespace vr
