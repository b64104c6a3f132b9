// vorlen._wire: the answer of one output queue, watching its worker; the
// loop that deals a batch to whichever worker becomes free first; and the
// answers of many queues in the order they arrive. For the package's Python
// functions (vorlen.map, vorlen.as_completed).
#include "runtime/process/ledger.h"
#include "runtime/process/liveness.h"
#include "wire.h"

namespace wire {

namespace {

using vr::Ref;

int make_constants() { return vr::ready_function_type(); }

int fetch_builtins() { return 0; }

// receive(queue, process): the next answer on `queue`, written by the
// worker `process` (None: whatever process registered as its writer, if
// any). Raises vorlen.WorkerDiedError once that worker has ended with no
// whole answer left, also in the middle of one.
PyObject* receive(PyObject* const* a) {
  PyObject* queue = a[0];
  Ref process = Ref::borrow(a[1]);
  if (process.get() == Py_None) {
    process = Ref::steal(vr::registered_writer(queue));
    if (!process && PyErr_Occurred()) return nullptr;
  }
  vr::Book* book;
  if (vr::find_book(queue, nullptr, book) < 0) return nullptr;
  if (!book) return vr::get_answer(queue, process.get());
  // The next answer that belongs to no running call, as reduce takes it.
  const vr::LedgerApi* api = vr::ledger();
  vr::CallScope call(api, &book, 1);
  if (!call.ok()) return nullptr;
  vr::Wanted wanted;
  Ref answer = Ref::steal(api->take(book, queue, process.get(), -1, wanted));
  call.finish(vr::Ending::kCompleted);
  return answer.release();
}

const char* const receive_params[] = {"queue", "process"};

// Line of the definition in the module's source, as traceback entries show it.
constexpr int kReceiveLine = 10;

int run_body(PyObject*, PyObject* dict) {
  // deal's last parameter, recover, may be left out.
  Ref deal_defaults = Ref::steal(PyTuple_Pack(1, Py_None));
  if (!deal_defaults) return -1;
  for (const vr::FunctionDef* def : {&receive_def, &deal_def, &arrivals_def}) {
    PyObject* defaults = def == &deal_def ? deal_defaults.get() : nullptr;
    Ref function = Ref::steal(vr::make_function(state, *def, defaults, nullptr, nullptr));
    if (!function || PyDict_SetItemString(dict, def->name, function.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace

const vr::FunctionDef receive_def = {
    .name = "receive",
    .qualname = "receive",
    .traceback = "vorlen._wire.receive",
    .body = receive,
    .params = receive_params,
    .argcount = 2,
    .line = kReceiveLine,
};

vr::ModuleState state = {"_wire", "vorlen._wire", "vorlen\\_wire.cpp",
                         make_constants, fetch_builtins, run_body};

}  // namespace wire

PyMODINIT_FUNC PyInit__wire() {
  return PyModuleDef_Init(vr::module_definition<wire::state>());
}
