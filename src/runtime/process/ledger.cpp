#include "runtime/process/ledger.h"

#include "runtime/process/liveness.h"

namespace vr {

namespace {

const LedgerApi* loaded_api = nullptr;

}  // namespace

const LedgerApi* ledger() {
  if (loaded_api) return loaded_api;
  // From the module object the import gives back, not by walking the
  // package's attributes: the package gets its attribute only after the
  // module is in sys.modules, and a failed or interrupted first import
  // leaves it missing.
  Ref module = Ref::steal(PyImport_ImportModule("vorlen._control"));
  if (!module) return nullptr;
  Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ledger"));
  if (!capsule) return nullptr;
  auto* api = static_cast<const LedgerApi*>(PyCapsule_GetPointer(capsule.get(), kLedgerCapsule));
  if (api) loaded_api = api;
  return api;
}

int find_book(PyObject* qo, PyObject* qi, Book*& book) {
  book = nullptr;
  const LedgerApi* api = ledger();
  if (!api) return -1;
  book = api->find(qo, qi);
  return 0;
}

CallScope::CallScope(const LedgerApi* api, Book* const* books, size_t count) : api_(api) {
  call_ = api_->begin(books, count);
}

CallScope::~CallScope() {
  if (!call_ || !holds_thread_state()) return;
  // Stopping the requests runs Python code (looking up the worker's
  // process), where the interpreter may end this thread as it finalizes.
  try {
    api_->end(call_, Ending::kAbandoned);
  } catch (...) {
    park_ended_thread_or_rethrow();
  }
}

void CallScope::finish(Ending how) {
  if (call_) api_->end(call_, how);
  call_ = 0;
}

PyObject* take_answer(CallScope& call, Book* book, PyObject* qo, PyObject* process,
                      Wanted& wanted, PyObject* w) {
  const LedgerApi* api = ledger();
  Ref answer = Ref::steal(api->take(book, qo, process, -1, wanted));
  if (answer) {
    call.finish(Ending::kCompleted);
    return answer.release();
  }
  uint64_t running, started;
  api->progress(book, &running, &started);
  if (running == wanted.tag) name_running_request(-1, w);
  return nullptr;
}

}  // namespace vr
