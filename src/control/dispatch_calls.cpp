// The functions behind vorlen.submit and vorlen.Future: submitting a
// request, cancelling or interrupting it, and waiting for its answer; and
// the ticket objects that a future holds.
#include <algorithm>
#include <cmath>
#include <limits>

#include <poll.h>
#include <unistd.h>

#include "control.h"
#include "dispatch.h"
#include "ledger.h"
#include "runtime/process/liveness.h"
#include "runtime/python/runtime_state.h"
#include "runtime/transport/descriptors.h"

namespace control::dispatch {

PyTypeObject* ticket_type = nullptr;

namespace {

using vr::Ref;

// ---- the ticket type ------------------------------------------------------

int ticket_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* ticket = reinterpret_cast<Ticket*>(self);
  Py_VISIT(ticket->future);
  Py_VISIT(ticket->request);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int ticket_clear(PyObject* self) {
  auto* ticket = reinterpret_cast<Ticket*>(self);
  Py_CLEAR(ticket->future);
  Py_CLEAR(ticket->request);
  return 0;
}

void ticket_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  ticket_clear(self);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot ticket_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ticket_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ticket_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ticket_clear)},
    {Py_tp_doc, const_cast<char*>("A submitted request, as its vorlen.Future tracks it.")},
    {0, nullptr},
};
PyType_Spec ticket_spec = {"vorlen._control.Ticket", sizeof(Ticket), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                               Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           ticket_slots};

Ticket* new_ticket(PyObject* future, PyObject* request, uint64_t token, double grace) {
  auto* ticket = PyObject_GC_New(Ticket, ticket_type);
  if (!ticket) return nullptr;
  ticket->future = Py_NewRef(future);
  ticket->request = Py_NewRef(request);
  ticket->token = token;
  ticket->grace = grace;
  ticket->lane = 0;
  ticket->tag = 0;
  ticket->sent_at = 0;
  ticket->pid = current_pid();
  ticket->state = TicketState::kWaiting;
  PyObject_GC_Track(ticket);
  return ticket;
}

Ticket* as_ticket(PyObject* object) {
  if (Py_TYPE(object) == ticket_type) return reinterpret_cast<Ticket*>(object);
  PyErr_Format(PyExc_TypeError, "expected a ticket of vorlen.submit, not %.100s",
               Py_TYPE(object)->tp_name);
  return nullptr;
}

// The lane a ticket of this process waits on or was sent to, or nullptr.
Lane* lane_of(const Ticket& ticket) {
  if (ticket.pid != current_pid() || ticket.lane == 0 || ready() < 0) {
    PyErr_Clear();
    return nullptr;
  }
  return find_lane(ticket.lane);
}

// ---- submitting -----------------------------------------------------------

bool died_error_raised() {
  const vr::RuntimeState* rt = vr::runtime();
  if (!rt) {
    PyErr_Clear();
    return false;
  }
  return PyErr_ExceptionMatches(rt->died_error);
}

// The ticket's future gets the exception being raised.
void fail_now(Ticket* ticket, Resolutions& done) {
  Ref error = Ref::steal(PyErr_GetRaisedException());
  collect(done, reinterpret_cast<Ticket*>(Py_NewRef(ticket)), Outcome::kException, error.get());
}

// 0 submitted (or failed at once), 1 not a local worker's handle, -1 error.
int submit_to_handle(PyObject* handle, Ticket* ticket, Resolutions& done) {
  bool local;
  Lane* lane = lane_for(handle, local);
  if (!lane && !local) return 1;
  if (!lane) {
    if (!died_error_raised()) return -1;
    fail_now(ticket, done);
    return 0;
  }
  if (lane->death) {
    collect(done, reinterpret_cast<Ticket*>(Py_NewRef(ticket)), Outcome::kException,
            lane->death.get());
    return 0;
  }
  if (begin_busy(*lane) < 0) return -1;
  ticket->lane = lane->id;
  lane->waiting.push_back(reinterpret_cast<Ticket*>(Py_NewRef(ticket)));
  if (ticket->token != 0 && waiting_forever()) poke();
  return pump(*lane, done);
}

// The lanes of a pool's handles; the error of a dead worker is kept in
// `death` (the pool's others still serve). 1 when a handle is not a local
// worker's.
int pool_lanes(PyObject* handles, std::vector<uint64_t>& lanes, Ref& death) {
  Ref items = Ref::steal(PySequence_Fast(handles, "the pool's handles must be a sequence"));
  if (!items) return -1;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    bool local;
    Lane* lane = lane_for(PySequence_Fast_GET_ITEM(items.get(), i), local);
    if (!lane && !local) return 1;
    if (!lane) {
      if (!died_error_raised()) return -1;
      death = Ref::steal(PyErr_GetRaisedException());
      continue;
    }
    // An idle worker that has ended takes no requests (a busy one is found
    // out by whoever reads its answers).
    if (!lane->busy()) note_if_ended(*lane);
    if (lane->death) {
      death = lane->death;
      continue;
    }
    lanes.push_back(lane->id);
  }
  return 0;
}

// Makes `lanes` the ones the pool's queue deals to.
void set_members(PoolQueue& queue, const std::vector<uint64_t>& lanes) {
  for (uint64_t id : queue.lanes) {
    Lane* lane = find_lane(id);
    if (lane && std::find(lanes.begin(), lanes.end(), id) == lanes.end())
      std::erase(lane->pools, queue.id);
  }
  for (uint64_t id : lanes) {
    Lane* lane = find_lane(id);
    if (lane && std::find(lane->pools.begin(), lane->pools.end(), queue.id) == lane->pools.end())
      lane->pools.push_back(queue.id);
  }
  queue.lanes = lanes;
}

int submit_to_pool(PyObject* pool, PyObject* handles, Ticket* ticket, Resolutions& done) {
  std::vector<uint64_t> lanes;
  Ref death;
  int found = pool_lanes(handles, lanes, death);
  if (found != 0) return found;
  if (lanes.empty()) {
    if (death) {
      collect(done, reinterpret_cast<Ticket*>(Py_NewRef(ticket)), Outcome::kException,
              death.get());
      return 0;
    }
    PyErr_SetString(PyExc_ValueError, "the pool has no workers");
    return -1;
  }
  PoolQueue* queue = pool_queue(pool, true);
  uint64_t id = queue->id;
  set_members(*queue, lanes);
  queue->waiting.push_back(reinterpret_cast<Ticket*>(Py_NewRef(ticket)));
  if (ticket->token != 0 && waiting_forever()) poke();
  for (uint64_t lane_id : lanes) {
    Lane* lane = find_lane(lane_id);
    if (lane && pump(*lane, done) < 0) return -1;
    if (ticket->state != TicketState::kWaiting) return 0;
  }
  // Still here: every worker is full or in another call. One that is busy
  // with submitted requests takes it when it has room.
  if (!(queue = find_pool(id))) return 0;
  for (uint64_t lane_id : queue->lanes) {
    Lane* lane = find_lane(lane_id);
    if (lane && lane->busy()) return 0;
  }
  std::erase(queue->waiting, ticket);
  Py_DECREF(ticket);
  if (queue->waiting.empty()) remove_pool(queue);
  PyErr_SetString(PyExc_RuntimeError,
                  "every worker of the pool is in another call (a batch, or a call from "
                  "another thread): a worker serves one call at a time");
  return -1;
}

// submit(handles, pool, future, request, token, grace): sends `request` for
// `future` to the worker of handles[0] (pool None) or to the first free
// worker of `handles` (the workers of `pool`); the ticket, or None (nothing
// done) when a handle is not a local worker's.
PyObject* submit(PyObject* const* a) {
  uint64_t token = PyLong_AsUnsignedLongLong(a[4]);
  if (token == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
  double grace = PyFloat_AsDouble(a[5]);
  if (grace == -1.0 && PyErr_Occurred()) return nullptr;
  if (ready() < 0) return nullptr;
  sweep();
  Ref ticket = Ref::steal(reinterpret_cast<PyObject*>(new_ticket(a[2], a[3], token, grace)));
  if (!ticket) return nullptr;
  auto* own = reinterpret_cast<Ticket*>(ticket.get());
  Resolutions done;
  int status;
  if (a[1] == Py_None) {
    Ref handle = Ref::steal(PySequence_GetItem(a[0], 0));
    status = handle ? submit_to_handle(handle.get(), own, done) : -1;
  } else {
    status = submit_to_pool(a[1], a[0], own, done);
  }
  if (status != 0 && own->state == TicketState::kWaiting) {
    // Not sent: it never will be.
    own->state = TicketState::kCancelled;
    Py_CLEAR(own->future);
  }
  vr::SavedError raised;
  int resolved = resolve(done);
  if (raised) raised.restore();
  else if (resolved < 0) status = -1;
  if (status > 0) Py_RETURN_NONE;
  return status < 0 ? nullptr : ticket.release();
}

// ---- stopping one request -------------------------------------------------

// cancel(ticket): True when the request will never run.
PyObject* cancel(PyObject* const* a) {
  Ticket* ticket = as_ticket(a[0]);
  if (!ticket) return nullptr;
  bool cancelled = false;
  if (ticket->state == TicketState::kWaiting) {
    cancelled = true;
  } else if (ticket->state == TicketState::kSent) {
    Lane* lane = lane_of(*ticket);
    cancelled = lane && ledger_api.cancel_unstarted(lane->book, ticket->tag) == 1;
  } else {
    cancelled = ticket->state == TicketState::kCancelled;
  }
  if (cancelled && ticket->state != TicketState::kCancelled) {
    ticket->state = TicketState::kCancelled;
    Py_CLEAR(ticket->request);
    Py_CLEAR(ticket->future);
  }
  return PyBool_FromLong(cancelled);
}

// interrupt(ticket): interrupts the request if its worker runs it now;
// whether it did.
PyObject* interrupt(PyObject* const* a) {
  Ticket* ticket = as_ticket(a[0]);
  if (!ticket) return nullptr;
  if (ticket->state != TicketState::kSent) Py_RETURN_FALSE;
  Lane* lane = lane_of(*ticket);
  if (!lane) Py_RETURN_FALSE;
  uint64_t id = lane->id;
  int sent = ledger_api.interrupt_tag(lane->book, ticket->tag);
  if (sent < 0) return nullptr;
  if (sent == 0) Py_RETURN_FALSE;
  if ((lane = find_lane(id))) lane->watch_interrupts = true;
  poke();
  Py_RETURN_TRUE;
}

// running(ticket): whether its worker runs the request now.
PyObject* running(PyObject* const* a) {
  Ticket* ticket = as_ticket(a[0]);
  if (!ticket) return nullptr;
  Lane* lane = ticket->state == TicketState::kSent ? lane_of(*ticket) : nullptr;
  Book* book = lane ? static_cast<Book*>(lane->book) : nullptr;
  return PyBool_FromLong(book && book->page && book->page->serial.load() == ticket->tag);
}

// ---- waiting --------------------------------------------------------------

// Reads the ticket's lane in this thread until the ticket is resolved or
// `deadline` (monotonic seconds, infinity for none) passes, while no other
// thread reads it.
int read_for(Ticket* ticket, Lane* lane, double deadline) {
  uint64_t id = lane->id;
  lane->reading = true;
  lane->helper = true;
  lane->helper_thread = pthread_self();
  claim(*lane);
  Resolutions done;
  int status = 0;
  bool forever = std::isinf(deadline);
  while (status == 0 && ticket->state != TicketState::kDone &&
         ticket->state != TicketState::kCancelled) {
    if (forever) {
      status = take_front(*lane, done, true);
      if (status > 0) status = 0;
    } else {
      int64_t due = check_overdue(*lane, done);
      if (!(lane = find_lane(id)) || lane->death) break;
      double now = vr::monotonic_seconds();
      if (now >= deadline) break;
      double until = std::min(deadline, now + 0.1);
      if (due != INT64_MAX) until = std::min(until, due / 1e9);
      pollfd fds[2] = {{lane->reader, POLLIN, 0}, {lane->sentinel, POLLIN, 0}};
      bool interrupted;
      int ready = vr::poll_released(fds, 2, vr::milliseconds_until(until), interrupted);
      if (ready < 0) status = -1;
      else if (ready > 0 && (lane = find_lane(id))) status = drain(*lane, done);
    }
    if (status == 0 && resolve(done) < 0) status = -1;
    if (!(lane = find_lane(id)) || lane->death) break;
  }
  vr::SavedError raised;
  if ((lane = find_lane(id))) {
    lane->reading = false;
    lane->helper = false;
    unclaim(*lane);
    if (pump(*lane, done) < 0 && !raised) status = -1;
  }
  if (resolve(done) < 0 && !raised) status = -1;
  if (raised) raised.restore();
  return status;
}

// wait(ticket, timeout): waits for the ticket's answer in this thread when
// nobody else reads its worker's answers; returns once the future is
// resolved, the time-out (seconds, None for none) has passed, or another
// thread reads them (the future's own wait then takes over).
PyObject* wait(PyObject* const* a) {
  Ticket* ticket = as_ticket(a[0]);
  if (!ticket) return nullptr;
  double deadline = std::numeric_limits<double>::infinity();
  if (a[1] != Py_None) {
    double timeout = PyFloat_AsDouble(a[1]);
    if (timeout == -1.0 && PyErr_Occurred()) return nullptr;
    deadline = vr::monotonic_seconds() + std::max(0.0, timeout);
  }
  if (ticket->pid != current_pid()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this future belongs to the process this one was forked from: its "
                    "answer does not come here");
    return nullptr;
  }
  if (ticket->state == TicketState::kDone || ticket->state == TicketState::kCancelled)
    Py_RETURN_NONE;
  Lane* lane = lane_of(*ticket);
  if (in_dispatcher() ||
      (lane && lane->helper && pthread_equal(lane->helper_thread, pthread_self()))) {
    PyErr_SetString(PyExc_RuntimeError,
                    "a future's callback waited for a vorlen future that is not done: "
                    "callbacks run in the thread that resolves the futures, which would "
                    "wait for itself");
    return nullptr;
  }
  if (!lane || lane->reading || !lane->busy()) Py_RETURN_NONE;
  if (read_for(ticket, lane, deadline) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* in_dispatcher_thread(PyObject* const*) { return PyBool_FromLong(in_dispatcher()); }

const char* const submit_params[] = {"handles", "pool", "future", "request", "token", "grace"};
const char* const ticket_params[] = {"ticket"};
const char* const wait_params[] = {"ticket", "timeout"};

}  // namespace

// ---- resolving futures ----------------------------------------------------

void collect(Resolutions& done, Ticket* ticket, Outcome outcome, PyObject* value) {
  if (ticket->state == TicketState::kCancelled || ticket->state == TicketState::kDone ||
      !ticket->future) {
    Py_DECREF(ticket);
    return;
  }
  ticket->state = TicketState::kDone;
  Py_CLEAR(ticket->request);
  done.push_back({ticket, Ref::borrow(value), outcome});
}

namespace {

// Attribute names and values of vorlen.Future, interned once.
struct FutureNames {
  PyObject *waited, *callbacks, *state, *result, *exception, *pending, *finished;
};
FutureNames* future_names() {
  static FutureNames names{};
  if (!names.waited) {
    names = {vr::intern("_waited"),          vr::intern("_done_callbacks"), vr::intern("_state"),
             vr::intern("_result"),          vr::intern("_exception"),      vr::intern("PENDING"),
             vr::intern("FINISHED")};
    if (!names.waited || !names.callbacks || !names.state || !names.result ||
        !names.exception || !names.pending || !names.finished) {
      names.waited = nullptr;
      return nullptr;
    }
  }
  return &names;
}

// Resolves a future that nobody waits for and that has no callbacks by
// setting its state, as its set_result would (no Python code runs here, so
// nothing can start waiting meanwhile): 1 done, 0 not such a future, -1
// error.
int settle_quietly(PyObject* future, const Resolution& item) {
  if (item.outcome == Outcome::kCancelled) return 0;
  FutureNames* names = future_names();
  if (!names) return -1;
  Ref waited = Ref::steal(PyObject_GetAttr(future, names->waited));
  Ref callbacks = waited ? Ref::steal(PyObject_GetAttr(future, names->callbacks)) : Ref();
  Ref state = callbacks ? Ref::steal(PyObject_GetAttr(future, names->state)) : Ref();
  if (!state) {
    // Not a vorlen.Future: its own set_result says what to do.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (waited.get() != Py_False || !PyList_CheckExact(callbacks.get()) ||
      PyList_GET_SIZE(callbacks.get()) != 0 || state.get() != names->pending)
    return 0;
  PyObject* slot = item.outcome == Outcome::kResult ? names->result : names->exception;
  if (PyObject_SetAttr(future, slot, item.value.get()) < 0 ||
      PyObject_SetAttr(future, names->state, names->finished) < 0)
    return -1;
  return 1;
}

// The future's own method for the outcome; its result.
PyObject* call_resolver(PyObject* future, const Resolution& item) {
  switch (item.outcome) {
    case Outcome::kResult:
      return PyObject_CallMethod(future, "set_result", "O", item.value.get());
    case Outcome::kException:
      return PyObject_CallMethod(future, "set_exception", "O", item.value.get());
    case Outcome::kCancelled:
      break;
  }
  return PyObject_CallMethod(future, "_settle_cancelled", nullptr);
}

}  // namespace

int resolve(Resolutions& done) {
  Resolutions batch;
  batch.swap(done);
  Ref kept;  // the first exception that is not an ordinary one
  for (Resolution& item : batch) {
    Ref ticket = Ref::steal(reinterpret_cast<PyObject*>(item.ticket));
    Ref future = Ref::steal(item.ticket->future);
    item.ticket->future = nullptr;
    if (!future) continue;
    int quiet = settle_quietly(future.get(), item);
    if (quiet > 0) continue;
    Ref result = quiet < 0 ? Ref() : Ref::steal(call_resolver(future.get(), item));
    if (!result && !kept && !PyErr_ExceptionMatches(PyExc_Exception)) {
      // A signal handler raised in the future's code: the future is resolved
      // all the same (a second try finds it done, or does it), then the
      // handler's exception goes on.
      kept = Ref::steal(PyErr_GetRaisedException());
      result = Ref::steal(call_resolver(future.get(), item));
      if (!result && PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
    }
    if (result) continue;
    if (PyErr_ExceptionMatches(PyExc_Exception) || kept) {
      PyErr_WriteUnraisable(future.get());
    } else {
      kept = Ref::steal(PyErr_GetRaisedException());
    }
  }
  if (!kept) return 0;
  PyErr_SetRaisedException(kept.release());
  return -1;
}

int make_ticket_type(PyObject* dict) {
  ticket_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&ticket_spec));
  (void)dict;  // not a name of the module: tickets come only from submit()
  return ticket_type ? 0 : -1;
}

}  // namespace control::dispatch

namespace control {

// Lines of the definitions in the module's source, as traceback entries show them.
constexpr int kSubmitLine = 90;

const vr::FunctionDef submit_def = {
    .name = "submit",
    .qualname = "submit",
    .traceback = "vorlen._control.submit",
    .body = dispatch::submit,
    .params = dispatch::submit_params,
    .argcount = 6,
    .line = kSubmitLine,
};
const vr::FunctionDef cancel_def = {
    .name = "cancel",
    .qualname = "cancel",
    .traceback = "vorlen._control.cancel",
    .body = dispatch::cancel,
    .params = dispatch::ticket_params,
    .argcount = 1,
    .line = kSubmitLine + 10,
};
const vr::FunctionDef interrupt_ticket_def = {
    .name = "interrupt_ticket",
    .qualname = "interrupt_ticket",
    .traceback = "vorlen._control.interrupt_ticket",
    .body = dispatch::interrupt,
    .params = dispatch::ticket_params,
    .argcount = 1,
    .line = kSubmitLine + 20,
};
const vr::FunctionDef running_def = {
    .name = "running",
    .qualname = "running",
    .traceback = "vorlen._control.running",
    .body = dispatch::running,
    .params = dispatch::ticket_params,
    .argcount = 1,
    .line = kSubmitLine + 30,
};
const vr::FunctionDef wait_def = {
    .name = "wait",
    .qualname = "wait",
    .traceback = "vorlen._control.wait",
    .body = dispatch::wait,
    .params = dispatch::wait_params,
    .argcount = 2,
    .line = kSubmitLine + 40,
};
const vr::FunctionDef in_dispatcher_def = {
    .name = "in_dispatcher",
    .qualname = "in_dispatcher",
    .traceback = "vorlen._control.in_dispatcher",
    .body = dispatch::in_dispatcher_thread,
    .params = nullptr,
    .argcount = 0,
    .line = kSubmitLine + 50,
};

}  // namespace control
