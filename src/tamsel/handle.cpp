// Tamsel: the parent-side handle of one worker process.
#include "runtime/transport/queue_pipe.h"
#include "runtime/process/control_page.h"
#include "runtime/process/ledger.h"
#include "runtime/process/liveness.h"
#include "runtime/process/reaping.h"
#include "tamsel.h"

namespace tamsel {

namespace {

using vr::Ref;

// Seconds an abandoned request of blocked_put may ignore its interrupt
// before a later call kills its worker (vorlen.run's default).
constexpr double kDefaultGrace = 2.0;

PyObject* new_queue() {
  Ref mp = Ref::steal(global(names.mp));
  if (!mp) return nullptr;
  return call_method(mp.get(), names.Queue);
}

int set_new_queue(PyObject* self, PyObject* attribute) {
  Ref queue = Ref::steal(new_queue());
  if (!queue) return -1;
  return PyObject_SetAttr(self, attribute, queue.get());
}

// process.start(), then noting the worker so that waits for its answers
// watch it and interpreter exit kills it. A handle that fails to be made
// leaves no worker running: a start that failed after it forked, or a
// failure after the start, kills the process before the error propagates.
int start_and_register(PyObject* process, PyObject* qi, PyObject* qo, PyObject* name) {
  Ref started = Ref::steal(call_method(process, names.start));
  if (!started || vr::register_worker(process, qi, qo, name) < 0) {
    vr::kill_started(process);
    return -1;
  }
  return 0;
}

// __init__(self, name=None)
PyObject* handle_init(PyObject* const* a) {
  PyObject* self = a[0];
  PyObject* name = a[1];
  if (set_new_queue(self, names.qi) < 0 || set_new_queue(self, names.qo) < 0)
    return nullptr;

  Ref mp = Ref::steal(global(names.mp));
  if (!mp) return nullptr;
  Ref process_class = Ref::steal(PyObject_GetAttr(mp.get(), names.Process));
  if (!process_class) return nullptr;
  Ref target = Ref::steal(global(names.tamsel_main));
  if (!target) return nullptr;
  Ref qi = Ref::steal(PyObject_GetAttr(self, names.qi));
  if (!qi) return nullptr;
  Ref qo = Ref::steal(PyObject_GetAttr(self, names.qo));
  if (!qo) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(3, name, qi.get(), qo.get()));
  if (!args) return nullptr;
  PyObject* kwvalues[] = {target.get(), args.get()};
  Ref process = Ref::steal(PyObject_Vectorcall(process_class.get(), kwvalues, 0,
                                               names.process_kwnames));
  if (!process || PyObject_SetAttr(self, names.proc, process.get()) < 0)
    return nullptr;

  // The page the worker shares with this process, made before it starts.
  if (vr::create_control_page(qi.get(), process.get()) < 0) {
    vr::forget_page_offer(process.get());
    return nullptr;
  }
  Ref started_process = Ref::steal(PyObject_GetAttr(self, names.proc));
  int started = started_process
                    ? start_and_register(started_process.get(), qi.get(), qo.get(), name)
                    : -1;
  vr::forget_page_offer(process.get());
  if (started < 0) return nullptr;
  Py_RETURN_NONE;
}

// The answer to `w`, as one call of the ledger: the oldest answer that
// belongs to no other call (an answer to a request put on qi directly
// comes first, as order says), never one of a call that ended early.
PyObject* tracked_put(PyObject* self, vr::Book* book, PyObject* qi, PyObject* put,
                      PyObject* w) {
  const vr::LedgerApi* api = vr::ledger();
  vr::CallScope call(api, &book, 1);
  if (!call.ok()) return nullptr;
  uint64_t tag = api->tag(book, call.id(), 0, kDefaultGrace);
  if (int sent = vr::send_message(qi, put, w, tag); sent < 0) {
    api->unsent(book, tag, sent == vr::kMaybeQueued);
    return nullptr;
  }
  Ref qo = Ref::steal(PyObject_GetAttr(self, names.qo));
  if (!qo) return nullptr;
  Ref process;
  if (vr::watched_process(self, qo.get(), names.proc, process) < 0) return nullptr;
  if (api->find(qo.get(), qi) != book) {  // answers come elsewhere than qo
    call.finish(vr::Ending::kCompleted);
    return vr::get_answer(qo.get(), process.get());
  }
  vr::Wanted wanted;
  wanted.tag = tag;
  return vr::take_answer(call, book, qo.get(), process.get(), wanted, w);
}

// blocked_put(self, w)
PyObject* handle_blocked_put(PyObject* const* a) {
  PyObject* self = a[0];
  PyObject* w = a[1];
  Ref qi = Ref::steal(PyObject_GetAttr(self, names.qi));
  if (!qi) return nullptr;
  Ref put = Ref::steal(PyObject_GetAttr(qi.get(), names.put));
  if (!put) return nullptr;
  vr::Book* book;
  if (vr::find_book(nullptr, qi.get(), book) < 0) return nullptr;
  if (book) return tracked_put(self, book, qi.get(), put.get(), w);
  if (vr::send_message(qi.get(), put.get(), w) < 0) return nullptr;
  Ref qo = Ref::steal(PyObject_GetAttr(self, names.qo));
  if (!qo) return nullptr;
  Ref process;
  if (vr::watched_process(self, qo.get(), names.proc, process) < 0) return nullptr;
  return vr::get_answer(qo.get(), process.get());
}

// kill(self)
PyObject* handle_kill(PyObject* const* a) {
  PyObject* self = a[0];
  Ref process = Ref::steal(PyObject_GetAttr(self, names.proc));
  if (!process) return nullptr;
  Ref alive = Ref::steal(call_method(process.get(), names.is_alive));
  if (!alive) return nullptr;
  int is_alive = PyObject_IsTrue(alive.get());
  if (is_alive < 0) return nullptr;
  if (is_alive) {
    Ref again = Ref::steal(PyObject_GetAttr(self, names.proc));
    if (!again || vr::note_killed(again.get()) < 0) return nullptr;
    Ref killed = Ref::steal(call_method(again.get(), names.kill));
    if (!killed) return nullptr;
  }
  Py_RETURN_NONE;
}

// clear_output(self)
PyObject* handle_clear_output(PyObject* const* a) {
  Ref clear = Ref::steal(global(names.clear_queue));
  if (!clear) return nullptr;
  Ref qo = Ref::steal(PyObject_GetAttr(a[0], names.qo));
  if (!qo) return nullptr;
  Ref done = Ref::steal(PyObject_CallOneArg(clear.get(), qo.get()));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

const char* const init_params[] = {"self", "name"};
const char* const put_params[] = {"self", "w"};
const char* const self_only[] = {"self"};

// Lines of the definitions in the module's source, as traceback entries show them.
constexpr int kInitLine = 120;         // Tamsel.__init__
constexpr int kBlockedPutLine = 130;   // Tamsel.blocked_put
constexpr int kKillLine = 134;         // Tamsel.kill
constexpr int kClearOutputLine = 139;  // Tamsel.clear_output

}  // namespace

const vr::FunctionDef handle_init_def = {
    .name = "__init__",
    .qualname = "Tamsel.__init__",
    .traceback = "vorlen.tamsel.Tamsel.__init__",
    .body = handle_init,
    .params = init_params,
    .argcount = 2,
    .line = kInitLine,
};
const vr::FunctionDef handle_blocked_put_def = {
    .name = "blocked_put",
    .qualname = "Tamsel.blocked_put",
    .traceback = "vorlen.tamsel.Tamsel.blocked_put",
    .body = handle_blocked_put,
    .params = put_params,
    .argcount = 2,
    .line = kBlockedPutLine,
};
const vr::FunctionDef handle_kill_def = {
    .name = "kill",
    .qualname = "Tamsel.kill",
    .traceback = "vorlen.tamsel.Tamsel.kill",
    .body = handle_kill,
    .params = self_only,
    .argcount = 1,
    .line = kKillLine,
};
const vr::FunctionDef handle_clear_output_def = {
    .name = "clear_output",
    .qualname = "Tamsel.clear_output",
    .traceback = "vorlen.tamsel.Tamsel.clear_output",
    .body = handle_clear_output,
    .params = self_only,
    .argcount = 1,
    .line = kClearOutputLine,
};

}  // namespace tamsel
