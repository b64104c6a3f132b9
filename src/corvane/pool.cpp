// CorvanePool: a fixed number of worker handles and the dealing of a batch of
// requests over them, request k to handle k mod n.
#include <algorithm>
#include <vector>

#include "corvane.h"
#include "runtime/process/ledger.h"
#include "runtime/process/liveness.h"
#include "runtime/python/runtime_state.h"
#include "runtime/process/reaping.h"
#include "runtime/transport/queue_pipe.h"

namespace corvane {

namespace {

using vr::Ref;

// Seconds an abandoned request may ignore its interrupt before a later call
// kills its worker (vorlen.run's default).
constexpr double kDefaultGrace = 2.0;

// Unpacks one item of procs.items() into exactly two values.
int unpack_pair(PyObject* item, Ref& first, Ref& second) {
  if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
    if (size != 2) {
      if (size > 2)
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
      else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack",
                     size, size == 1 ? "" : "s");
      return -1;
    }
    first = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
    second = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
    return 0;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(item));
  if (!iterator) return -1;
  Ref* slots[] = {&first, &second};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    *slots[i] = Ref::steal(PyIter_Next(iterator.get()));
    if (!*slots[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i,
                     i == 1 ? "" : "s");
      return -1;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(iterator.get()));
  if (extra) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                 static_cast<Py_ssize_t>(2));
    return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// Calls `method` on every handle of self.procs, walking a dict directly and
// anything else through the iterable its items() returns.
int for_each_handle(PyObject* self, PyObject* method) {
  Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
  if (!procs) return -1;
  if (PyDict_CheckExact(procs.get())) {
    Py_ssize_t length = PyDict_GET_SIZE(procs.get());
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(procs.get(), &pos, &key, &value)) {
      Ref handle = Ref::borrow(value);
      Ref done = Ref::steal(call_method(handle.get(), method));
      if (!done) return -1;
      if (PyDict_GET_SIZE(procs.get()) != length) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return -1;
      }
    }
    return 0;
  }
  Ref items = Ref::steal(call_method(procs.get(), names.items));
  if (!items) return -1;
  Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
  if (!iterator) return -1;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref pid, handle;
    if (unpack_pair(item.get(), pid, handle) < 0) return -1;
    Ref done = Ref::steal(call_method(handle.get(), method));
    if (!done) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// __init__(self, N, name_pref="CorvaneingPool")
PyObject* pool_init(PyObject* const* a) {
  PyObject* self = a[0];
  if (PyObject_SetAttr(self, names.N, a[1]) < 0) return nullptr;
  Ref procs = Ref::steal(PyDict_New());
  if (!procs || PyObject_SetAttr(self, names.procs, procs.get()) < 0) return nullptr;
  if (PyObject_SetAttr(self, names.name_pref, a[2]) < 0) return nullptr;
  Ref done = Ref::steal(call_method(self, names.init_process));
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

// Starts worker `index` (a Python int) and registers it under its pid.
// Once the handle exists, its process and pid are appended to `started`
// (as far as they could be read), so that a failure from here on can kill
// the worker.
int start_worker(PyObject* self, PyObject* index, PyObject* started) {
  Ref prefix = Ref::steal(PyObject_GetAttr(self, names.name_pref));
  if (!prefix) return -1;
  Ref stem = Ref::steal(PyNumber_Add(prefix.get(), names.underscore));
  if (!stem) return -1;
  Ref number = Ref::steal(PyObject_Str(index));
  if (!number) return -1;
  Ref name = Ref::steal(PyNumber_Add(stem.get(), number.get()));
  if (!name) return -1;
  Ref cs = Ref::steal(global(names.cs));
  if (!cs) return -1;
  Ref handle_class = Ref::steal(PyObject_GetAttr(cs.get(), names.Tamsel));
  if (!handle_class) return -1;
  Ref handle = Ref::steal(PyObject_CallOneArg(handle_class.get(), name.get()));
  if (!handle) return -1;
  Ref process = Ref::steal(PyObject_GetAttr(handle.get(), names.proc));
  if (!process) return -1;
  Ref pid = Ref::steal(PyObject_GetAttr(process.get(), names.pid));
  {
    // Noted even without a pid, so that a failure kills it; the error of
    // the pid's look-up is set aside meanwhile.
    vr::SavedError raised;
    Ref entry = Ref::steal(PyTuple_Pack(2, process.get(), pid ? pid.get() : Py_None));
    int noted = entry ? PyList_Append(started, entry.get()) : -1;
    if (raised) {
      raised.restore();
      return -1;
    }
    if (noted < 0) return -1;
  }
  Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
  if (!procs) return -1;
  return PyObject_SetItem(procs.get(), pid.get(), handle.get());
}

// After a failed start: kills the workers of `started` ((process, pid)
// pairs) and drops them from self.procs, keeping the error being raised.
void undo_starts(PyObject* self, PyObject* started) {
  vr::SavedError raised;
  Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
  PyErr_Clear();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(started); ++i) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(started, i));
    PyObject* pid = PyTuple_GET_ITEM(entry.get(), 1);
    if (procs && pid != Py_None && PyObject_DelItem(procs.get(), pid) < 0) PyErr_Clear();
    vr::kill_started(PyTuple_GET_ITEM(entry.get(), 0));
  }
  raised.restore();
}

// Starts N workers. When one of them fails to start, the ones this call
// started are killed, so that none runs on with nothing referring to it.
int start_workers(PyObject* self) {
  Ref n = Ref::steal(PyObject_GetAttr(self, names.N));
  if (!n) return -1;
  Ref indices = Ref::steal(PyObject_CallOneArg(builtins.range, n.get()));
  if (!indices) return -1;
  Ref iterator = Ref::steal(PyObject_GetIter(indices.get()));
  if (!iterator) return -1;
  Ref started = Ref::steal(PyList_New(0));
  if (!started) return -1;
  while (Ref index = Ref::steal(PyIter_Next(iterator.get()))) {
    if (start_worker(self, index.get(), started.get()) < 0) {
      undo_starts(self, started.get());
      return -1;
    }
  }
  return PyErr_Occurred() ? -1 : 0;
}

// init_process(self)
PyObject* pool_init_process(PyObject* const* a) {
  PyObject* self = a[0];
  Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
  if (!procs) return nullptr;
  Py_ssize_t count = PyObject_Length(procs.get());
  if (count < 0) return nullptr;
  if (count > 0) {
    Ref killed = Ref::steal(call_method(self, names.kill_all));
    if (!killed) return nullptr;
  }
  if (start_workers(self) < 0) return nullptr;
  Py_RETURN_NONE;
}

// kill_all(self)
PyObject* pool_kill_all(PyObject* const* a) {
  PyObject* self = a[0];
  if (for_each_handle(self, names.kill) < 0) return nullptr;
  Ref fresh = Ref::steal(PyDict_New());
  if (!fresh || PyObject_SetAttr(self, names.procs, fresh.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// clear_output(self)
PyObject* pool_clear_output(PyObject* const* a) {
  if (for_each_handle(a[0], names.clear_output) < 0) return nullptr;
  Py_RETURN_NONE;
}

// The handle that receives request `position` of a batch.
PyObject* handle_for(PyObject* handles, Py_ssize_t position) {
  Py_ssize_t count = PyList_GET_SIZE(handles);
  if (count == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "integer modulo by zero");
    return nullptr;
  }
  return Py_NewRef(PyList_GET_ITEM(handles, position % count));
}

// The batch's place in the ledger: its call, and the worker and tag of
// each request sent (no book: a worker whose queues keep none), with the
// request, which a worker's death names.
struct Sent {
  vr::Book* book;
  uint64_t tag;
  Ref request;
};
struct Sending {
  const vr::LedgerApi* api = nullptr;
  uint64_t call = 0;
  std::vector<Sent> sent;  // per request sent, in order
};

// The book of the worker serving `qi`, in the batch's call.
int book_for(Sending& sending, PyObject* qi, vr::Book*& book) {
  book = sending.api->find(nullptr, qi);
  return book ? sending.api->join(sending.call, book) : 0;
}

// Sending pass: request k onto the input queue of handle k mod n. The
// number of requests sent, or -1.
Py_ssize_t send_batch(PyObject* handles, PyObject* batch, Sending& sending) {
  Ref iterator = Ref::steal(PyObject_GetIter(batch));
  if (!iterator) return -1;
  Py_ssize_t position = 0;
  while (Ref request = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref handle = Ref::steal(handle_for(handles, position++));
    if (!handle) return -1;
    Ref qi = Ref::steal(PyObject_GetAttr(handle.get(), names.qi));
    if (!qi) return -1;
    Ref put = Ref::steal(PyObject_GetAttr(qi.get(), names.put));
    if (!put) return -1;
    vr::Book* book;
    if (book_for(sending, qi.get(), book) < 0) return -1;
    uint64_t tag = book ? sending.api->tag(book, sending.call, 0, kDefaultGrace) : 0;
    if (int sent = vr::send_message(qi.get(), put.get(), request.get(), tag); sent < 0) {
      if (book) sending.api->unsent(book, tag, sent == vr::kMaybeQueued);
      return -1;
    }
    sending.sent.push_back({book, tag, std::move(request)});
  }
  return PyErr_Occurred() ? -1 : position;
}

// Collecting pass: the output queue of the handle that got each request,
// for at most the `sent` requests of the sending pass. An iterable that
// gives more the second time must not have answers awaited that no
// request will bring.
PyObject* answer_queues(PyObject* handles, PyObject* batch, Py_ssize_t sent) {
  Ref queues = Ref::steal(PyList_New(0));
  if (!queues) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(batch));
  if (!iterator) return nullptr;
  for (Py_ssize_t position = 0; position < sent; ++position) {
    Ref request = Ref::steal(PyIter_Next(iterator.get()));
    if (!request) break;
    Ref handle = Ref::steal(handle_for(handles, position));
    if (!handle) return nullptr;
    Ref qo = Ref::steal(PyObject_GetAttr(handle.get(), names.qo));
    if (!qo || PyList_Append(queues.get(), qo.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return queues.release();
}

// The tags of one worker's requests, first to last.
struct TagRange {
  vr::Book* book;
  uint64_t first, last;
};

// The requests sent whose answers no queue of the result stands for (an
// iterable that gave fewer the second time): nobody will read them. They
// are abandoned a worker at a time, all its tags at once (the batch's tags
// on one worker follow each other without a gap): abandoned one by one,
// the running one would be interrupted before the next was cancelled, and
// the worker could start that one meanwhile.
void abandon_unlisted(Sending& sending, Py_ssize_t listed) {
  std::vector<TagRange> ranges;
  for (size_t position = static_cast<size_t>(listed); position < sending.sent.size();
       ++position) {
    const Sent& sent = sending.sent[position];
    if (!sent.book) continue;
    auto range = std::find_if(ranges.begin(), ranges.end(),
                              [&](const TagRange& r) { return r.book == sent.book; });
    if (range == ranges.end()) ranges.push_back({sent.book, sent.tag, sent.tag});
    else range->last = sent.tag;
  }
  for (const TagRange& range : ranges) sending.api->abandon(range.book, range.first, range.last);
}

// A WorkerDiedError that names the position of the request its worker was
// running gets that request too.
void name_request(const Sending& sending) {
  const vr::RuntimeState* rt = vr::runtime();
  if (!rt) {
    PyErr_Clear();
    return;
  }
  if (!PyErr_ExceptionMatches(rt->died_error)) return;
  Ref error = Ref::steal(PyErr_GetRaisedException());
  Ref position = Ref::steal(PyObject_GetAttrString(error.get(), "position"));
  Py_ssize_t index = position && PyLong_Check(position.get())
                         ? PyLong_AsSsize_t(position.get())
                         : -1;
  PyErr_Clear();
  PyErr_SetRaisedException(error.release());
  if (index >= 0 && static_cast<size_t>(index) < sending.sent.size())
    vr::name_running_request(index, sending.sent[index].request.get());
}

// The answers of `queues` through the module's reduce, the batch's workers
// lent to it meanwhile.
PyObject* collect(PyObject* queues, Sending& sending) {
  Ref reduce = Ref::steal(global(names.reduce));
  if (!reduce) return nullptr;
  sending.api->suspend(sending.call);
  PyObject* answers = PyObject_CallOneArg(reduce.get(), queues);
  sending.api->resume(sending.call);
  if (!answers) name_request(sending);
  return answers;
}

// map(self, args, block=True)
PyObject* pool_map(PyObject* const* a) {
  PyObject* self = a[0];
  PyObject* batch = a[1];
  Ref cleared = Ref::steal(call_method(self, names.clear_output));
  if (!cleared) return nullptr;
  Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
  if (!procs) return nullptr;
  Ref values = Ref::steal(call_method(procs.get(), names.values));
  if (!values) return nullptr;
  Ref handles = Ref::steal(PySequence_List(values.get()));
  if (!handles) return nullptr;
  Sending sending;
  if (!(sending.api = vr::ledger())) return nullptr;
  // The batch is one call: ended early, its requests not yet answered are
  // cancelled or interrupted, and their answers never reach a later call.
  vr::CallScope call(sending.api, nullptr, 0);
  if (!call.ok()) return nullptr;
  sending.call = call.id();
  Py_ssize_t sent = send_batch(handles.get(), batch, sending);
  if (sent < 0) return nullptr;
  Ref queues = Ref::steal(answer_queues(handles.get(), batch, sent));
  if (!queues) return nullptr;
  abandon_unlisted(sending, PyList_GET_SIZE(queues.get()));
  int block = PyObject_IsTrue(a[2]);
  if (block < 0) return nullptr;
  if (!block) {
    call.finish(vr::Ending::kHanded);
    return queues.release();
  }
  Ref answers = Ref::steal(collect(queues.get(), sending));
  if (answers) call.finish(vr::Ending::kCompleted);
  return answers.release();
}

const char* const init_params[] = {"self", "N", "name_pref"};
const char* const self_only[] = {"self"};
const char* const map_params[] = {"self", "args", "block"};

// Lines of the definitions in the module's source, as traceback entries show them.
constexpr int kInitLine = 30;         // CorvanePool.__init__
constexpr int kInitProcessLine = 36;  // CorvanePool.init_process
constexpr int kKillAllLine = 45;      // CorvanePool.kill_all
constexpr int kClearOutputLine = 50;  // CorvanePool.clear_output
constexpr int kMapLine = 54;          // CorvanePool.map

}  // namespace

const vr::FunctionDef pool_init_def = {
    .name = "__init__",
    .qualname = "CorvanePool.__init__",
    .traceback = "vorlen.corvane.CorvanePool.__init__",
    .body = pool_init,
    .params = init_params,
    .argcount = 3,
    .line = kInitLine,
};
const vr::FunctionDef pool_init_process_def = {
    .name = "init_process",
    .qualname = "CorvanePool.init_process",
    .traceback = "vorlen.corvane.CorvanePool.init_process",
    .body = pool_init_process,
    .params = self_only,
    .argcount = 1,
    .line = kInitProcessLine,
};
const vr::FunctionDef pool_kill_all_def = {
    .name = "kill_all",
    .qualname = "CorvanePool.kill_all",
    .traceback = "vorlen.corvane.CorvanePool.kill_all",
    .body = pool_kill_all,
    .params = self_only,
    .argcount = 1,
    .line = kKillAllLine,
};
const vr::FunctionDef pool_clear_output_def = {
    .name = "clear_output",
    .qualname = "CorvanePool.clear_output",
    .traceback = "vorlen.corvane.CorvanePool.clear_output",
    .body = pool_clear_output,
    .params = self_only,
    .argcount = 1,
    .line = kClearOutputLine,
};
const vr::FunctionDef pool_map_def = {
    .name = "map",
    .qualname = "CorvanePool.map",
    .traceback = "vorlen.corvane.CorvanePool.map",
    .body = pool_map,
    .params = map_params,
    .argcount = 3,
    .line = kMapLine,
};

}  // namespace corvane
