// Lanes: the workers with submitted requests, what is sent to each and
// what comes back.
#include <algorithm>
#include <cmath>

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "control.h"
#include "dispatch.h"
#include "ledger.h"
#include "runtime/process/liveness.h"
#include "runtime/python/runtime_state.h"
#include "runtime/transport/descriptors.h"
#include "runtime/transport/queue_pipe.h"

namespace control::dispatch {

namespace {

using vr::Ref;

constexpr double kQueuedWork = 0.001;  // seconds queued behind the running request
constexpr double kSmoothing = 0.2;     // weight of the newest duration in the estimate
constexpr double kDefaultGrace = 2.0;  // for an interrupt of a request that has no grace

constexpr const char* kBusyMessage =
    "this worker has requests of vorlen.submit in flight: wait for their futures (or "
    "cancel them) before another call on it (blocked_put, map, reduce, clear_output, "
    "vorlen.run, vorlen.map)";

const vr::LedgerApi& api() { return ledger_api; }

// A duplicate of the descriptor in `owner.<attribute>`; -1 with an exception.
int duplicate(PyObject* owner, const char* attribute) {
  Ref value = Ref::steal(PyObject_GetAttrString(owner, attribute));
  int fd = value ? vr::descriptor_of(value.get()) : -1;
  if (fd < 0) return -1;
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) PyErr_SetFromErrno(PyExc_OSError);
  return copy;
}

// Fills the lane's descriptors; a closed process object raises
// WorkerDiedError.
int open_descriptors(Lane& lane) {
  lane.reader = duplicate(lane.qo.get(), "_reader");
  if (lane.reader < 0) return -1;
  lane.sentinel = duplicate(lane.process.get(), "sentinel");
  if (lane.sentinel < 0) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      vr::raise_worker_died(lane.process.get());
    }
    return -1;
  }
  return 0;
}

void close_descriptors(Lane& lane) {
  for (int* fd : {&lane.reader, &lane.sentinel}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

// A new lane for the worker behind `qi`, `qo` and `process`.
Lane* make_lane(PyObject* qi, PyObject* qo, PyObject* process, bool& local) {
  Ref writer = Ref::steal(vr::registered_writer(qo));
  if (!writer && PyErr_Occurred()) return nullptr;
  vr::Book* book = writer.get() == process ? api().find(qo, qi) : nullptr;
  if (!book) {
    local = false;
    return nullptr;
  }
  Ref put = Ref::steal(PyObject_GetAttrString(qi, "put"));
  if (!put) return nullptr;
  auto* lane = new Lane;
  lane->qi = Ref::borrow(qi);
  lane->qo = Ref::borrow(qo);
  lane->process = Ref::borrow(process);
  lane->put = std::move(put);
  lane->book = book;
  if (open_descriptors(*lane) < 0) {
    close_descriptors(*lane);
    delete lane;
    return nullptr;
  }
  lane->id = new_id();
  lane->last_answer = vr::monotonic_seconds();
  add_lane(lane);
  if (watch_death(*lane) < 0) {
    remove_lane(lane);
    return nullptr;
  }
  return lane;
}

bool unused(const Lane& lane) {
  return !lane.busy() && !lane.reading && !lane.sending && lane.waiting.empty() &&
         lane.in_flight.empty() && lane.pools.empty();
}

void become_idle(Lane& lane) {
  if (!lane.busy()) return;
  uint64_t call = lane.call;
  lane.call = 0;
  watch(lane, false);
  note_busy(-1);
  lane.watch_interrupts = false;
  api().end(call, vr::Ending::kCompleted);
}

// Updates the estimate of a request's duration and the window from it.
void learn(Lane& lane, double sent_at) {
  double now = vr::monotonic_seconds();
  double duration = now - std::max(sent_at, lane.last_answer);
  lane.last_answer = now;
  lane.estimate = lane.estimate < 0 ? duration
                                    : lane.estimate + kSmoothing * (duration - lane.estimate);
  double queued = lane.estimate > 0 ? std::ceil(kQueuedWork / lane.estimate) : kMaxWindow;
  lane.window = static_cast<long>(std::max(2.0, std::min<double>(kMaxWindow, 1 + queued)));
}

// Sends `ticket` (an owned reference, taken) to the lane's worker. -1 only
// for an exception that is not an ordinary one, which the ticket's future
// gets as well.
int send(Lane& lane, Ticket* ticket, Resolutions& done) {
  uint64_t tag = api().tag(lane.book, lane.call, ticket->token, ticket->grace);
  ticket->lane = lane.id;
  ticket->tag = tag;
  ticket->state = TicketState::kSent;
  ticket->sent_at = vr::monotonic_seconds();
  lane.in_flight.push_back(ticket);
  Ref request = Ref::steal(ticket->request);
  ticket->request = nullptr;
  int sent = vr::send_message(lane.qi.get(), lane.put.get(), request.get(), tag);
  if (sent == 0) return 0;
  api().unsent(lane.book, tag, sent == vr::kMaybeQueued);
  auto at = std::find(lane.in_flight.begin(), lane.in_flight.end(), ticket);
  if (at != lane.in_flight.end()) lane.in_flight.erase(at);
  Ref error = Ref::steal(PyErr_GetRaisedException());
  bool ordinary = PyErr_GivenExceptionMatches(error.get(), PyExc_Exception);
  collect(done, ticket, Outcome::kException, error.get());
  if (ordinary) return 0;
  PyErr_SetRaisedException(error.release());
  return -1;
}

// The first ticket of `queue` that is still to be sent (cancelled ones
// leave it), or nullptr.
Ticket* first_waiting(std::deque<Ticket*>& queue) {
  while (!queue.empty() && queue.front()->state != TicketState::kWaiting) {
    Ticket* gone = queue.front();
    queue.pop_front();
    Py_DECREF(gone);
  }
  return queue.empty() ? nullptr : queue.front();
}

bool has_room(const Lane& lane) {
  return !lane.death && !lane.sending &&
         static_cast<long>(lane.in_flight.size()) < lane.window;
}

bool has_room_while_sending(const Lane* lane) {
  return lane && !lane->death && static_cast<long>(lane->in_flight.size()) < lane->window;
}

// Sends the lane's own waiting requests while it has room.
int fill_own(Lane& lane, Resolutions& done) {
  if (!lane.busy() || lane.sending) return 0;
  lane.sending = true;
  uint64_t id = lane.id;
  int status = 0;
  Lane* current = &lane;
  while (status == 0 && has_room_while_sending(current)) {
    Ticket* ticket = first_waiting(current->waiting);
    if (!ticket) break;
    current->waiting.pop_front();
    status = send(*current, ticket, done);
    current = find_lane(id);
    if (!current) return status;
  }
  current->sending = false;
  return status;
}

}  // namespace

int begin_busy(Lane& lane) {
  if (lane.busy()) return 0;
  if (start_thread() < 0) return -1;
  uint64_t call = api().begin(&lane.book, 1);
  if (call == 0) return -1;
  api().label(call, kBusyMessage);
  lane.call = call;
  note_busy(1);
  return 0;
}

Lane* lane_for(PyObject* handle, bool& local) {
  local = true;
  Ref qi = Ref::steal(PyObject_GetAttrString(handle, "qi"));
  if (!qi) return nullptr;
  Ref qo = Ref::steal(PyObject_GetAttrString(handle, "qo"));
  if (!qo) return nullptr;
  Ref process = Ref::steal(PyObject_GetAttrString(handle, "proc"));
  if (!process) return nullptr;
  Lane* lane = lane_of_queue(qo.get());
  if (lane && lane->qi.get() == qi.get() && lane->process.get() == process.get()) return lane;
  if (lane) {
    if (!unused(*lane)) {
      PyErr_SetString(PyExc_RuntimeError,
                      "the handle's queues or process changed while it had requests of "
                      "vorlen.submit in flight");
      return nullptr;
    }
    remove_lane(lane);
  }
  int real = vr::is_multiprocessing_queue(qi.get());
  if (real > 0) real = vr::is_multiprocessing_queue(qo.get());
  if (real < 0) return nullptr;
  if (real == 0) {
    local = false;
    return nullptr;
  }
  return make_lane(qi.get(), qo.get(), process.get(), local);
}

namespace {

// The lane with the fewest requests in flight among those of `queue` with
// room that can take part (not in another call), or nullptr.
Lane* least_loaded(PoolQueue& queue, std::vector<uint64_t>& refused) {
  Lane* best = nullptr;
  for (uint64_t id : queue.lanes) {
    Lane* lane = find_lane(id);
    if (!lane || !has_room(*lane) || std::find(refused.begin(), refused.end(), id) != refused.end())
      continue;
    if (!best || lane->in_flight.size() < best->in_flight.size()) best = lane;
  }
  return best;
}

// Deals the pool's waiting requests, one at a time, to its least loaded
// workers while they have room.
int distribute(uint64_t pool, Resolutions& done) {
  std::vector<uint64_t> refused;  // in another call
  for (;;) {
    PoolQueue* queue = find_pool(pool);
    if (!queue) return 0;
    Ticket* ticket = first_waiting(queue->waiting);
    if (!ticket) {
      remove_pool(queue);
      return 0;
    }
    Lane* lane = least_loaded(*queue, refused);
    if (!lane) return 0;
    if (begin_busy(*lane) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return -1;
      PyErr_Clear();
      refused.push_back(lane->id);
      continue;
    }
    queue->waiting.pop_front();
    lane->sending = true;
    uint64_t id = lane->id;
    int status = send(*lane, ticket, done);
    if ((lane = find_lane(id))) {
      lane->sending = false;
      if (!lane->helper) watch(*lane, true);
    }
    if (status < 0) return -1;
  }
}

}  // namespace

int pump(Lane& lane, Resolutions& done) {
  uint64_t id = lane.id;
  if (fill_own(lane, done) < 0) return -1;
  Lane* current = find_lane(id);
  if (!current) return 0;
  std::vector<uint64_t> pools = current->pools;
  for (uint64_t pool : pools)
    if (distribute(pool, done) < 0) return -1;
  current = find_lane(id);
  if (!current) return 0;
  if (current->in_flight.empty() && current->waiting.empty() && !current->reading &&
      !current->sending)
    become_idle(*current);
  // Watched only from here, once its requests are out: a thread that goes
  // on to wait for the answer itself takes the lane before the answer comes,
  // and the dispatcher is not woken for it.
  if (current->busy() && !current->helper) watch(*current, true);
  return 0;
}

namespace {

// The worker of `lane` has ended (the WorkerDiedError being raised says
// how): its futures fail with that error, the pools it served deal to
// their other workers.
void lane_died(Lane& lane, Resolutions& done) {
  lane.death = Ref::steal(PyErr_GetRaisedException());
  if (lane.killed) lane.death = std::move(lane.killed);
  for (Ticket* ticket : lane.in_flight) collect(done, ticket, Outcome::kException, lane.death.get());
  lane.in_flight.clear();
  for (Ticket* ticket : lane.waiting) collect(done, ticket, Outcome::kException, lane.death.get());
  lane.waiting.clear();
  become_idle(lane);
  std::vector<uint64_t> pools = lane.pools;
  for (uint64_t id : pools) {
    if (distribute(id, done) < 0) PyErr_WriteUnraisable(nullptr);
    PoolQueue* queue = find_pool(id);
    if (!queue) continue;
    bool served = false;
    for (uint64_t member : queue->lanes) {
      Lane* other = find_lane(member);
      served = served || (other && other->busy());
    }
    if (!served) fail_pool(*queue, lane.death.get(), done);
  }
}

bool is_died_error(PyObject* error) {
  const vr::RuntimeState* rt = vr::runtime();
  if (!rt) {
    PyErr_Clear();
    return false;
  }
  return PyErr_GivenExceptionMatches(error, rt->died_error);
}

}  // namespace

void fail_pool(PoolQueue& queue, PyObject* error, Resolutions& done) {
  for (Ticket* ticket : queue.waiting) {
    if (ticket->state == TicketState::kWaiting) collect(done, ticket, Outcome::kException, error);
    else Py_DECREF(ticket);
  }
  queue.waiting.clear();
  remove_pool(&queue);
}

int take_front(Lane& lane, Resolutions& done, bool wait) {
  if (lane.in_flight.empty()) return 0;
  uint64_t id = lane.id;
  Ticket* front = lane.in_flight.front();
  vr::Wanted wanted;
  wanted.tag = front->tag;
  wanted.only_own = true;
  wanted.wait = wait;
  // A request that ignores its time limit or interrupt is the dispatcher's
  // to find (it looks at every busy worker, also one read here), so that
  // this wait is a plain one.
  Ref answer = Ref::steal(api().take(lane.book, lane.qo.get(), lane.process.get(),
                                     lane.sentinel, wanted));
  Lane* current = find_lane(id);
  if (!current) return answer || !PyErr_Occurred() ? 0 : -1;
  if (!answer && !PyErr_Occurred()) return 0;
  if (!answer) {
    PyObject* error = PyErr_GetRaisedException();
    if (is_died_error(error)) {
      PyErr_SetRaisedException(error);
      lane_died(*current, done);
      return 0;
    }
    if (!PyErr_GivenExceptionMatches(error, PyExc_Exception)) {
      PyErr_SetRaisedException(error);
      return -1;
    }
    // This request's answer was lost on the way (too large to hold, taken
    // by another reader): its future says why; the lane goes on.
    current->in_flight.pop_front();
    collect(done, front, Outcome::kException, error);
    Py_DECREF(error);
    return 1;
  }
  current->in_flight.pop_front();
  learn(*current, front->sent_at);
  if (front->state == TicketState::kCancelled) {
    Py_DECREF(front);
  } else if (wanted.got_cancelled) {
    collect(done, front, Outcome::kCancelled, nullptr);
  } else {
    collect(done, front, Outcome::kResult, answer.get());
  }
  return 1;
}

int drain(Lane& lane, Resolutions& done) {
  uint64_t id = lane.id;
  for (Lane* current = &lane; current; current = find_lane(id)) {
    int taken = take_front(*current, done, false);
    if (taken <= 0) return taken;
  }
  return 0;
}

int64_t check_overdue(Lane& lane, Resolutions& done) {
  Ticket* running = nullptr;
  for (Ticket* ticket : lane.in_flight) {
    if (ticket->state == TicketState::kSent) {
      running = ticket;
      break;
    }
  }
  if (!running && !lane.watch_interrupts) return INT64_MAX;
  uint64_t token = running ? running->token : 0;
  double grace = running ? running->grace : kDefaultGrace;
  double applies = grace;
  int64_t due = api().overdue(lane.book, token, grace, &applies);
  if (due > vr::monotonic_ns()) return due;
  vr::kill_unresponsive(lane.process.get(), applies);
  if (!PyErr_Occurred()) return INT64_MAX;
  if (!is_died_error(PyErr_Occurred())) {
    PyErr_WriteUnraisable(nullptr);
    return INT64_MAX;
  }
  if (lane.reading) {
    // A thread reads its answers: it meets the end of the worker, and
    // its futures get this error, which says why it ended.
    lane.killed = Ref::steal(PyErr_GetRaisedException());
    return INT64_MAX;
  }
  lane_died(lane, done);
  return INT64_MAX;
}

void note_if_ended(Lane& lane) {
  if (lane.death || !vr::readable_now(lane.sentinel)) return;
  vr::raise_worker_died(lane.process.get());
  if (!PyErr_Occurred()) return;
  if (!is_died_error(PyErr_Occurred())) {
    PyErr_WriteUnraisable(nullptr);
    return;
  }
  lane.death = Ref::steal(PyErr_GetRaisedException());
}

void sweep() {
  if (idle_lanes_over_limit() == 0) return;
  for (uint64_t id : lane_ids()) {
    Lane* lane = find_lane(id);
    if (!lane || !unused(*lane)) continue;
    // Gone: its worker has ended, or nobody but this holds its queue (the
    // handle was dropped).
    bool gone = lane->death || Py_REFCNT(lane->qo.get()) == 1 || vr::readable_now(lane->sentinel);
    if (gone) remove_lane(lane);
  }
}

}  // namespace control::dispatch
