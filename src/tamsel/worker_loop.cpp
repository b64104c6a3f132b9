// The serving loop of a worker process, and the two small functions that go
// with it: clear_queue (parent side) and sigint_handler (worker side).
#include <cstring>
#include <optional>
#include <unistd.h>

#include "runtime/process/control_page.h"
#include "runtime/process/ledger.h"
#include "runtime/process/liveness.h"
#include "runtime/process/parent_watch.h"
#include "runtime/transport/queue_pipe.h"
#include "runtime/transport/pickling.h"
#include "runtime/shm/shared_api.h"
#include "code_cache.h"
#include "interrupts.h"
#include "memory_limit.h"
#include "tamsel.h"

namespace tamsel {

namespace {

using vr::Ref;

constexpr const char* kMainTraceback = "vorlen.tamsel.tamsel_main";
// Lines of the definitions in the module's source, as traceback entries show them.
constexpr int kClearQueueLine = 20;     // clear_queue
constexpr int kSigintHandlerLine = 26;  // sigint_handler
constexpr int kMainLine = 60;           // tamsel_main, also on the entry of a failed request

// The first things a worker does: take its name as the process title (when
// it has one) and install sigint_handler for SIGINT.
int set_title_and_signal(PyObject* name) {
  Ref differs = Ref::steal(PyObject_RichCompare(Py_None, name, Py_NE));
  if (!differs) return -1;
  int named = PyObject_IsTrue(differs.get());
  if (named < 0) return -1;
  if (named) {
    Ref module = Ref::steal(global(names.setproctitle));
    if (!module) return -1;
    Ref done = Ref::steal(call_method(module.get(), names.setproctitle, name));
    if (!done) return -1;
  }
  Ref signal = Ref::steal(global(names.signal));
  if (!signal) return -1;
  Ref sigint = Ref::steal(PyObject_GetAttr(signal.get(), names.SIGINT));
  if (!sigint) return -1;
  Ref handler = Ref::steal(global(names.sigint_handler));
  if (!handler) return -1;
  Ref done = Ref::steal(call_method(signal.get(), names.signal, sigint.get(), handler.get()));
  return done ? 0 : -1;
}

// The worker's namespace as it starts: the capture object's bound methods
// xprint and xreturn, in this order.
PyObject* make_namespace(PyObject* pc) {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return nullptr;
  Ref xprint = Ref::steal(PyObject_GetAttr(pc, names.xprint));
  if (!xprint || PyDict_SetItem(ns.get(), names.xprint, xprint.get()) < 0)
    return nullptr;
  Ref xreturn = Ref::steal(PyObject_GetAttr(pc, names.xreturn));
  if (!xreturn || PyDict_SetItem(ns.get(), names.xreturn, xreturn.get()) < 0)
    return nullptr;
  return ns.release();
}

// exec(source, globals, locals) for a str source, as the builtin does it.
int execute_source(PyObject* source, PyObject* globals, PyObject* locals) {
  int has_builtins = PyDict_Contains(globals, names.builtins_key);
  if (has_builtins < 0) return -1;
  if (!has_builtins &&
      PyDict_SetItem(globals, names.builtins_key, PyEval_GetBuiltins()) < 0)
    return -1;
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(source, &size);
  if (!text) return -1;
  if (static_cast<Py_ssize_t>(std::strlen(text)) != size) {
    PyErr_SetString(PyExc_SyntaxError,
                    "source code string cannot contain null bytes");
    return -1;
  }
  PyCompilerFlags flags = {PyCF_SOURCE_IS_UTF8, PY_MINOR_VERSION};
  PyEval_MergeCompilerFlags(&flags);
  Ref code = Ref::steal(compiled_code(source, text, &flags));
  if (!code) return -1;
  Ref result = Ref::steal(PyEval_EvalCode(code.get(), globals, locals));
  return result ? 0 : -1;
}

// Runs every item of a request, in order: a str is executed with a fresh
// locals dict merged into the globals afterwards, a dict is merged into the
// globals, anything else is skipped.
int run_request(PyObject* request, PyObject* globals, PyObject*& locals) {
  Ref items = PyUnicode_Check(request) ? Ref::steal(vr::list_of(request))
                                       : Ref::borrow(request);
  if (!items) return -1;
  Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
  if (!iterator) return -1;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (PyUnicode_Check(item.get())) {
      PyObject* fresh = PyDict_New();
      if (!fresh) return -1;
      Py_SETREF(locals, fresh);
      if (execute_source(item.get(), globals, locals) < 0) return -1;
      if (PyDict_Update(globals, locals) < 0) return -1;
    } else if (PyDict_Check(item.get())) {
      if (PyDict_Update(globals, item.get()) < 0) return -1;
    }
  }
  return PyErr_Occurred() ? -1 : 0;
}

// Puts one answer on qo, marked with its request's tag (0: none):
// straight into its pipe when it can, else through put. An answer the
// queue cannot pickle would be lost in its feeder thread and leave the
// caller waiting, so it is replaced by a failure answer. The queue is
// checked after pickling, which runs code of the executed text that may
// have changed it.
int put_answer(PyObject* qo, PyObject* put, PyObject* answer, uint64_t tag) {
  // Large arrays go into shared memory for the process that reads the
  // answers, the one that started this worker.
  Ref reader = Ref::steal(PyLong_FromLong(getppid()));
  if (!reader) return -1;
  vr::OutgoingMessage outgoing;
  Ref sent;
  Ref pickled = Ref::steal(vr::pickle_answer(answer, sent, &outgoing, reader.get()));
  if (!pickled) return -1;
  vr::DirectQueue target;
  int direct = vr::can_send_direct(qo, put, target);
  if (direct < 0) return -1;
  if (direct) {
    int written = vr::write_pickled(target, pickled.get(), tag);
    if (written > 0) outgoing.sent();
    if (written != 0) return written < 0 ? -1 : 0;
  }
  // put() sends it later, as the same small message when it has segments,
  // or as the tagged message.
  return vr::put_message(put, outgoing, sent.get(), pickled.get(), tag);
}

// Builds [status, pc.print_content, info, pc.return_content] and sends it,
// reading qo.put first as the loop always has.
int send_answer(PyObject* qo, PyObject* pc, PyObject* status, PyObject* info, uint64_t tag) {
  Ref put = Ref::steal(PyObject_GetAttr(qo, names.put));
  if (!put) return -1;
  Ref printed = Ref::steal(PyObject_GetAttr(pc, names.print_content));
  if (!printed) return -1;
  Ref returned = Ref::steal(PyObject_GetAttr(pc, names.return_content));
  if (!returned) return -1;
  Ref answer = Ref::steal(vr::list_of(status, printed.get(), info, returned.get()));
  if (!answer) return -1;
  return put_answer(qo, put.get(), answer.get(), tag);
}

// "<type>: <message>" of an exception, as the last line of a traceback
// shows it, or its type alone when it cannot be turned into text.
PyObject* exception_line(PyObject* raised) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised));
  Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (!name) return nullptr;
  Ref text = Ref::steal(PyObject_Str(raised));
  if (!text) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
    return PyUnicode_FromFormat("%U: <exception str() failed>", name.get());
  }
  if (PyUnicode_GET_LENGTH(text.get()) == 0) return Py_NewRef(name.get());
  return PyUnicode_FromFormat("%U: %U", name.get(), text.get());
}

// The failure answer's text when traceback.format_exc() itself fails (a
// frame whose namespace its formatting cannot handle): the exception's
// type and message, and why there is no traceback. The exception that
// formatting raised is being raised; it is consumed here.
PyObject* unformatted_info(PyObject* raised) {
  Ref failure = Ref::steal(PyErr_GetRaisedException());
  Ref why = Ref::steal(exception_line(failure.get()));
  if (!why) return nullptr;
  Ref line = Ref::steal(exception_line(raised));
  if (!line) return nullptr;
  return PyUnicode_FromFormat("the traceback could not be formatted (%U)\n%U\n", why.get(),
                              line.get());
}

int send_failure(PyObject* qo, PyObject* pc, PyObject* raised, uint64_t tag) {
  // Make `raised` the exception being handled, so format_exc() sees it, and
  // put back the one that was handled before once the answer is sent.
  PyObject* previous = PyErr_GetHandledException();
  PyErr_SetHandledException(raised);
  int status = -1;
  Ref module = Ref::steal(global(names.traceback));
  if (module) {
    Ref formatted = Ref::steal(call_method(module.get(), names.format_exc));
    Ref info = formatted ? Ref::steal(PyObject_Str(formatted.get())) : Ref();
    // Formatting the answer must not cost the worker: an ordinary error of
    // it still gives the request its answer.
    if (!info && PyErr_ExceptionMatches(PyExc_Exception))
      info = Ref::steal(unformatted_info(raised));
    if (info) status = send_answer(qo, pc, names.status_exception, info.get(), tag);
  }
  PyErr_SetHandledException(previous);
  Py_XDECREF(previous);
  return status;
}

// W = qi.get(timeout=0.1), reading the queue's pipe directly when it can.
// `taken` tells whether a request left the queue although it could not be
// unpickled: that request is answered like any other failure. `tag` is
// set to the tag its caller gave it (0: none).
PyObject* next_request(PyObject* qi, bool& taken, uint64_t& tag) {
  Ref get = Ref::steal(PyObject_GetAttr(qi, names.get));
  if (!get) return nullptr;
  const vr::LedgerApi* api = vr::ledger();
  if (!api) return nullptr;
  api->loaded_tag();  // forgets one that nobody asked for
  Ref request;
  vr::Receive how;
  how.timeout = 0.1;
  int received = vr::receive_message(qi, get.get(), how, request);
  taken = how.taken;
  tag = how.tag ? how.tag : api->loaded_tag();
  if (received < 0) return nullptr;
  if (received) return request.release();
  PyObject* kwvalues[] = {names.poll_timeout};
  PyObject* got = PyObject_Vectorcall(get.get(), kwvalues, 0, names.timeout_kwnames);
  tag = api->loaded_tag();
  return got;
}

// Runs the request while it is marked as running, so that an interrupt
// reaches it and nothing else: not the answer being built afterwards.
// `skipped` says why nothing was run, when its caller cancelled it or the
// worker is above its memory limit. A request that ran is followed by the
// check of that limit, whose warning goes into the answer.
int run_marked(PyObject* request, uint64_t tag, PyObject* globals, PyObject*& locals,
               PyObject* pc, interrupts::Skipped& skipped) {
  Ref items = Ref::steal(interrupts::begin(request, tag, skipped));
  if (skipped != interrupts::Skipped::kNo) return 0;
  int ran = items ? run_request(items.get(), globals, locals) : -1;
  interrupts::end();
  if (items && memory_limit::after_request(interrupts::shared_page(), pc) < 0) ran = -1;
  return ran;
}

// The answer to a request that was taken but not run: [EXCEPTION, printed
// text, why, returned values], marked as never run.
int send_skipped(PyObject* qo, PyObject* pc, interrupts::Skipped skipped, uint64_t tag) {
  Ref why = skipped == interrupts::Skipped::kCancelled
                ? Ref::borrow(names.cancelled_info)
                : Ref::steal(memory_limit::refusal_text(interrupts::shared_page()));
  if (!why) return -1;
  return send_answer(qo, pc, names.status_exception, why.get(),
                     tag ? tag | vr::kCancelledAnswer : 0);
}

enum class Outcome { kNextCycle, kLeave };

// What to do with an exception that stopped a cycle of the loop. `taken`
// says whether a request had been taken from qi when it was raised.
Outcome handle_exception(PyObject* qo, PyObject* pc, bool taken, uint64_t tag) {
  if (!taken) {
    // The idle time-out, and an interrupt while waiting, are silent.
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Ref queue = Ref::steal(global(names.queue));
    Ref empty = queue ? Ref::steal(PyObject_GetAttr(queue.get(), names.Empty)) : Ref();
    if (!empty) return Outcome::kLeave;
    int is_empty = PyObject_IsInstance(raised.get(), empty.get());
    if (is_empty < 0) return Outcome::kLeave;
    if (is_empty || PyErr_GivenExceptionMatches(raised.get(), keyboard_interrupt))
      return Outcome::kNextCycle;
    PyErr_SetRaisedException(raised.release());
  }
  // Inside a request, an interrupt raised by the executed code is answered
  // like any Exception: its caller waits for exactly one answer.
  PyObject* current = PyErr_Occurred();
  bool answered = PyErr_GivenExceptionMatches(current, PyExc_Exception) ||
                  (taken && PyErr_GivenExceptionMatches(current, keyboard_interrupt));
  if (!answered) return Outcome::kLeave;
  vr::add_traceback(state, kMainTraceback, kMainLine);
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  return send_failure(qo, pc, raised.get(), tag) < 0 ? Outcome::kLeave : Outcome::kNextCycle;
}

PyObject* tamsel_main(PyObject* const* a) {
  PyObject* name = a[0];
  PyObject* qi = a[1];
  PyObject* qo = a[2];
  if (set_title_and_signal(name) < 0) return nullptr;
  Ref capture_class = Ref::steal(global(names._HandleContent));
  if (!capture_class) return nullptr;
  Ref pc = Ref::steal(PyObject_CallNoArgs(capture_class.get()));
  if (!pc) return nullptr;
  Ref globals = Ref::steal(make_namespace(pc.get()));
  if (!globals) return nullptr;
  // A worker whose parent has died has nobody left to serve.
  if (vr::watch_parent() < 0) return nullptr;
  if (interrupts::start(qi) < 0) return nullptr;
  PyObject* locals = PyDict_New();
  if (!locals) return nullptr;

  for (;;) {
    // Segments of earlier answers that the reader has taken are closed here,
    // at the latest one poll interval after they were taken.
    vr::sweep_shared_memory();
    Ref cleared = Ref::steal(call_method(pc.get(), names.clear));
    if (!cleared) break;
    bool taken = false;
    auto skipped = interrupts::Skipped::kNo;
    uint64_t tag = 0;
    Ref request = Ref::steal(next_request(qi, taken, tag));
    if (request) {
      taken = true;
      if (run_marked(request.get(), tag, globals.get(), locals, pc.get(), skipped) == 0 &&
          (skipped != interrupts::Skipped::kNo
               ? send_skipped(qo, pc.get(), skipped, tag)
               : send_answer(qo, pc.get(), names.status_success, names.empty_str, tag)) == 0)
        continue;
    }
    if (handle_exception(qo, pc.get(), taken, tag) == Outcome::kLeave) break;
  }
  Py_DECREF(locals);
  return nullptr;
}

// Empties q with one get per waiting item. On the answer queue of a handle
// each item is read watching its worker, so that an answer the worker broke
// off by dying raises WorkerDiedError instead of waiting for its rest; and
// the answers still to come of the requests sent by earlier calls are
// dropped as they come (answers to requests put on the queue directly are
// not: they come in order, as always).
PyObject* clear_queue(PyObject* const* a) {
  PyObject* q = a[0];
  Ref writer = Ref::steal(vr::registered_writer(q));
  if (!writer && PyErr_Occurred()) return nullptr;
  vr::Book* book;
  if (vr::find_book(q, nullptr, book) < 0) return nullptr;
  const vr::LedgerApi* api = book ? vr::ledger() : nullptr;
  std::optional<vr::CallScope> call;
  if (book) {
    call.emplace(api, &book, 1);
    if (!call->ok()) return nullptr;
    api->clear(book);
  }
  for (;;) {
    Ref empty = Ref::steal(call_method(q, names.empty));
    if (!empty) return nullptr;
    int is_empty = PyObject_IsTrue(empty.get());
    if (is_empty < 0) return nullptr;
    if (is_empty) break;
    vr::AnswerRead read;
    Ref item = Ref::steal(writer ? vr::read_answer(q, writer.get(), read)
                                 : call_method(q, names.get));
    if (!item) return nullptr;
    if (book) api->settle(book, read.tag);
  }
  if (call) call->finish(vr::Ending::kCompleted);
  Py_RETURN_NONE;
}

PyObject* sigint_handler(PyObject* const*) {
  if (!state.dict) {  // the module's execution failed after this was made
    PyErr_SetString(PyExc_RuntimeError, "vorlen.tamsel has no namespace");
    return nullptr;
  }
  if (PyDict_SetItem(state.dict, names.stop, Py_True) < 0) return nullptr;
  Py_RETURN_NONE;
}

const char* const main_params[] = {"name", "qi", "qo"};
const char* const queue_params[] = {"q"};
const char* const signal_params[] = {"signum", "frame"};

}  // namespace

const vr::FunctionDef tamsel_main_def = {
    .name = "tamsel_main",
    .qualname = "tamsel_main",
    .traceback = kMainTraceback,
    .body = tamsel_main,
    .params = main_params,
    .argcount = 3,
    .line = kMainLine,
};
const vr::FunctionDef clear_queue_def = {
    .name = "clear_queue",
    .qualname = "clear_queue",
    .traceback = "vorlen.tamsel.clear_queue",
    .body = clear_queue,
    .params = queue_params,
    .argcount = 1,
    .line = kClearQueueLine,
};
const vr::FunctionDef sigint_handler_def = {
    .name = "sigint_handler",
    .qualname = "sigint_handler",
    .traceback = "vorlen.tamsel.sigint_handler",
    .body = sigint_handler,
    .params = signal_params,
    .argcount = 2,
    .line = kSigintHandlerLine,
};

}  // namespace tamsel
