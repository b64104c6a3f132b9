// deal: a batch over a pool's workers, by position (request k to worker
// k mod n, all sent at once, as CorvanePool.map deals) or to whichever
// worker becomes free first; the answers in request order.
//
// The batch is one call of the ledger: it waits on every worker at once,
// takes each answer as it arrives, watches every worker for a request that
// ignores its interrupt or time limit (killing it after the grace period),
// and, when it ends early, leaves no request behind that could answer a
// later call.
//
// A batch given a `recover` callable lets it replace a worker that ended,
// or that turned a request away unrun (it is above its memory limit): the
// requests on it that never started go to the new worker, those that had
// started are lost (never run twice), and the batch goes on; once every
// other request is answered, it raises the first death's WorkerDiedError
// for the lost ones.
//
// Dealing to the first free worker, each worker holds only a few requests
// at a time: the one it runs and enough queued behind it to cover the
// parent's reaction time (reading an answer, sending the next request), so
// that it never sits idle in between. How many that is follows from how
// long requests take: the parent keeps a running estimate of one request's
// duration and queues about kQueuedWork seconds of work behind the running
// request, at least one request and at most kMaxInFlight - 1. Long requests
// thus get two in flight per worker, trivial ones up to kMaxInFlight, and at
// most about kQueuedWork of work ever waits behind a request that turns out
// to be long. And none waits behind it for long: once nothing is left to
// send, a worker that runs dry takes a request that another worker holds
// queued (not started) behind the one it runs: that request is withdrawn
// there (the ledger's cancellation, its answer dropped) and sent to the
// free worker, so that every request runs exactly once, as soon as a
// worker is free.
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <deque>
#include <vector>

#include "runtime/python/gil.h"
#include "runtime/process/control_page.h"
#include "runtime/process/ledger.h"
#include "runtime/process/liveness.h"
#include "runtime/python/runtime_state.h"
#include "runtime/transport/descriptors.h"
#include "runtime/transport/queue_pipe.h"
#include "wire.h"

namespace wire {

namespace {

using vr::Ref;

constexpr double kQueuedWork = 0.001;  // seconds queued behind the running request
constexpr long kMaxInFlight = 64;
constexpr double kSmoothing = 0.2;     // weight of the newest duration in the estimate
constexpr double kCheckEvery = 0.1;    // seconds between looks at the workers' pages
constexpr double kStealAgain = 0.0005;  // seconds before a refused withdrawal is tried again

struct Sent {
  Py_ssize_t position;
  uint64_t tag;
  double at;
  // Its withdrawal could not be told: its answer may be a cancellation.
  bool withdrawing = false;
};

// A request to send again: withdrawn from a worker, or cancelled there.
struct Resend {
  Py_ssize_t position;
};

// A descriptor of our own (a duplicate), closed with the worker: closing
// the process object or the queue meanwhile does not pull it from the wait.
struct OwnFd {
  int fd = -1;
  OwnFd() = default;
  OwnFd(const OwnFd&) = delete;
  OwnFd& operator=(const OwnFd&) = delete;
  ~OwnFd() { reset(); }
  void reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

struct Worker {
  size_t index = 0;  // its place in the batch's handles
  Ref qi, qo, process, put;
  vr::Book* book = nullptr;
  OwnFd reader, sentinel;
  bool watched = true;
  std::deque<Sent> in_flight;
  double last_answer = 0;
};

// A position whose request was lost with its worker.
struct Lost {
  Py_ssize_t position;
};

struct Epoll {
  int fd = -1;
  ~Epoll() {
    if (fd >= 0) close(fd);
  }
};

struct Batch {
  const vr::LedgerApi* api = nullptr;
  PyObject* died_error = nullptr;  // vorlen.WorkerDiedError
  uint64_t call = 0;
  std::deque<Worker> workers;  // (a deque: workers never move once made)
  PyObject* requests;  // list, borrowed from the caller's arguments, as are the rest
  PyObject* tokens;    // list of ints, one per request (0: no time limit)
  PyObject* report;    // None, or report(done, answer) after every answer
  PyObject* recover;   // None, or recover(index, error) -> a handle in its place, or None
  Ref answers;         // the result, one slot per request
  std::vector<Lost> lost;  // requests lost with workers that were replaced
  Ref first_death;         // the WorkerDiedError of the first of those workers
  double grace = 2.0;
  bool by_position = false;
  double next_check = 0;  // monotonic seconds
  long fixed = 0;      // a fixed number in flight per worker; 0: the estimate
  long limit = 2;
  double estimate = -1;
  Py_ssize_t next = 0, done = 0, total = 0;
  std::deque<Resend> again;  // sent before `next`
  double steal_at = INFINITY;  // monotonic seconds of the next try to withdraw
  Epoll poll;
};

// The WorkerDiedError being raised gets the request `worker` was running
// when it ended, if it was one of the batch's.
void name_running(Batch& batch, const Worker& worker) {
  uint64_t running, started;
  batch.api->progress(worker.book, &running, &started);
  for (const Sent& sent : worker.in_flight)
    if (sent.tag == running && sent.position < PyList_GET_SIZE(batch.requests))
      vr::name_running_request(sent.position, PyList_GET_ITEM(batch.requests, sent.position));
}

// The WorkerDiedError being raised gets the positions of the requests that
// were on `worker` unanswered (the one it ran first) and the answers taken.
void describe_death(Batch& batch, const Worker& worker) {
  const vr::RuntimeState* rt = vr::runtime();
  if (!rt || !PyErr_ExceptionMatches(rt->died_error)) {
    if (!rt) PyErr_Clear();
    return;
  }
  Ref error = Ref::steal(PyErr_GetRaisedException());
  Ref positions = Ref::steal(PyList_New(0));
  Ref answers = Ref::steal(PyList_GetSlice(batch.answers.get(), 0, batch.total));
  bool ok = positions && answers;
  for (const Sent& sent : worker.in_flight) {
    Ref number = ok ? Ref::steal(PyLong_FromSsize_t(sent.position)) : Ref();
    ok = number && PyList_Append(positions.get(), number.get()) == 0;
  }
  if (ok && PyObject_SetAttrString(error.get(), "positions", positions.get()) == 0)
    PyObject_SetAttrString(error.get(), "answers", answers.get());
  PyErr_Clear();
  PyErr_SetRaisedException(error.release());
}

// A duplicate of the descriptor `value` stands for (or `value` is nullptr
// because reading it raised), into `out`. 0 done; 1 when there is none to
// have (`closed` is set when that was a ValueError: a closed process
// object); -1 error.
int own_descriptor(PyObject* value, OwnFd& out, bool& closed) {
  int fd = value ? vr::descriptor_of(value) : -1;
  if (fd < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    closed = PyErr_ExceptionMatches(PyExc_ValueError);
    PyErr_Clear();
    return 1;
  }
  out.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (out.fd < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  return 0;
}

// One worker from its handle: its queues, process, book and descriptors.
// A handle of another kind raises TypeError; a worker whose process object
// was closed (it has ended) raises WorkerDiedError.
int make_worker(Batch& batch, PyObject* handle, Worker& worker) {
  worker.qi = Ref::steal(PyObject_GetAttrString(handle, "qi"));
  worker.qo = worker.qi ? Ref::steal(PyObject_GetAttrString(handle, "qo")) : Ref();
  worker.process = worker.qo ? Ref::steal(PyObject_GetAttrString(handle, "proc")) : Ref();
  if (!worker.process) return -1;
  worker.put = Ref::steal(PyObject_GetAttrString(worker.qi.get(), "put"));
  if (!worker.put) return -1;
  Ref writer = Ref::steal(vr::registered_writer(worker.qo.get()));
  if (!writer && PyErr_Occurred()) return -1;
  worker.book = writer.get() == worker.process.get() ? batch.api->find(worker.qo.get(), worker.qi.get())
                                         : nullptr;
  bool closed = false;
  int status = 1;
  if (worker.book) {
    Ref reader = Ref::steal(PyObject_GetAttrString(worker.qo.get(), "_reader"));
    status = own_descriptor(reader.get(), worker.reader, closed);
  }
  if (status == 0) {
    Ref sentinel = Ref::steal(PyObject_GetAttrString(worker.process.get(), "sentinel"));
    status = own_descriptor(sentinel.get(), worker.sentinel, closed);
  }
  if (status < 0) return -1;
  if (status == 0) return 0;
  if (closed) {
    vr::raise_worker_died(worker.process.get());
    return -1;
  }
  PyErr_Format(PyExc_TypeError,
               "vorlen.map needs a pool of local worker handles (Tamsel), not %.100s",
               Py_TYPE(handle)->tp_name);
  return -1;
}

int watch(Batch& batch, int fd, size_t index) {
  epoll_event event = {};
  event.events = EPOLLIN;
  event.data.u64 = index;
  if (epoll_ctl(batch.poll.fd, EPOLL_CTL_ADD, fd, &event) == 0) return 0;
  PyErr_SetFromErrno(PyExc_OSError);
  return -1;
}

void forget(Batch& batch, Worker& worker) {
  if (!worker.watched) return;
  for (int fd : {worker.reader.fd, worker.sentinel.fd})
    epoll_ctl(batch.poll.fd, EPOLL_CTL_DEL, fd, nullptr);
  worker.watched = false;
}

uint64_t token_of(const Batch& batch, Py_ssize_t position) {
  return PyLong_AsUnsignedLongLong(PyList_GET_ITEM(batch.tokens, position));
}

// Sends request `position` to `worker`.
int send_one(Batch& batch, Worker& worker, Py_ssize_t position) {
  if (position >= PyList_GET_SIZE(batch.requests)) {
    PyErr_SetString(PyExc_RuntimeError, "the batch changed size while it was sent");
    return -1;
  }
  uint64_t token = token_of(batch, position);
  if (token == static_cast<uint64_t>(-1) && PyErr_Occurred()) return -1;
  Ref message = Ref::borrow(PyList_GET_ITEM(batch.requests, position));
  uint64_t tag = batch.api->tag(worker.book, batch.call, token, batch.grace);
  if (int sent = vr::send_message(worker.qi.get(), worker.put.get(), message.get(), tag);
      sent < 0) {
    batch.api->unsent(worker.book, tag, sent == vr::kMaybeQueued);
    return -1;
  }
  worker.in_flight.push_back({position, tag, vr::monotonic_seconds()});
  return 0;
}

bool nothing_to_send(const Batch& batch) {
  return batch.again.empty() && batch.next >= batch.total;
}

// Sends requests to `worker` until it holds `up_to` or none are left.
int send_to(Batch& batch, Worker& worker, long up_to) {
  while (static_cast<long>(worker.in_flight.size()) < up_to && !nothing_to_send(batch)) {
    if (!batch.again.empty()) {
      if (send_one(batch, worker, batch.again.front().position) < 0) return -1;
      batch.again.pop_front();
      continue;
    }
    if (send_one(batch, worker, batch.next) < 0) return -1;
    ++batch.next;
  }
  return 0;
}

// Updates the duration estimate, and the in-flight limit from it.
void learn(Batch& batch, double duration) {
  if (batch.fixed > 0) return;
  batch.estimate = batch.estimate < 0 ? duration
                                      : batch.estimate + kSmoothing * (duration - batch.estimate);
  double queued = batch.estimate > 0 ? std::ceil(kQueuedWork / batch.estimate) : kMaxInFlight;
  batch.limit = static_cast<long>(std::max(2.0, std::min<double>(kMaxInFlight, 1 + queued)));
}

// Stores `answer` at its position and reports it.
int place(Batch& batch, Worker& worker, PyObject* answer) {
  double now = vr::monotonic_seconds();
  Sent sent = worker.in_flight.front();
  worker.in_flight.pop_front();
  PyList_SetItem(batch.answers.get(), sent.position, Py_NewRef(answer));
  ++batch.done;
  learn(batch, now - std::max(sent.at, worker.last_answer));
  worker.last_answer = now;
  if (batch.report == Py_None) return 0;
  Ref done = Ref::steal(PyLong_FromSsize_t(batch.done));
  if (!done) return -1;
  Ref reported =
      Ref::steal(PyObject_CallFunctionObjArgs(batch.report, done.get(), answer, nullptr));
  return reported ? 0 : -1;
}

// Puts a new worker, from the handle `fresh`, in the place of `worker`:
// watched from here on and taking part in the batch's call.
int swap_in(Batch& batch, Worker& worker, PyObject* fresh) {
  forget(batch, worker);
  worker.reader.reset();
  worker.sentinel.reset();
  worker.in_flight.clear();
  worker.book = nullptr;
  if (make_worker(batch, fresh, worker) < 0) return -1;
  if (batch.api->join(batch.call, worker.book) < 0 ||
      watch(batch, worker.reader.fd, worker.index) < 0 ||
      watch(batch, worker.sentinel.fd, worker.index) < 0)
    return -1;
  worker.watched = true;
  worker.last_answer = vr::monotonic_seconds();
  return 0;
}

// Asks `recover` for a worker in the place of `worker`, which ended
// (`error`, its WorkerDiedError) or turned a request away unrun (`error`
// nullptr). Given one, the requests of `worker` that never started are
// sent to it and those that had started are lost: 0. 1 when recover gives
// none; -1 on an error (recover's own keeps `error` as its context).
int replace(Batch& batch, Worker& worker, PyObject* error) {
  uint64_t running, started;
  batch.api->progress(worker.book, &running, &started);
  std::vector<Lost> lost, again;
  for (const Sent& sent : worker.in_flight)
    (error && sent.tag <= started ? lost : again).push_back({sent.position});
  Ref index = Ref::steal(PyLong_FromSize_t(worker.index));
  if (!index) return -1;
  Ref fresh = Ref::steal(PyObject_CallFunctionObjArgs(batch.recover, index.get(),
                                                      error ? error : Py_None, nullptr));
  if (!fresh) {
    if (error) {
      Ref raised = Ref::steal(PyErr_GetRaisedException());
      PyException_SetContext(raised.get(), Py_NewRef(error));
      PyErr_SetRaisedException(raised.release());
    }
    return -1;
  }
  if (fresh.get() == Py_None) return 1;
  if (swap_in(batch, worker, fresh.get()) < 0) return -1;
  for (Lost position : lost) {
    batch.lost.push_back(position);
    ++batch.done;
  }
  if (error && !lost.empty() && !batch.first_death) batch.first_death = Ref::borrow(error);
  for (Lost position : again)
    if (send_one(batch, worker, position.position) < 0) return -1;
  return 0;
}

// After `worker` ended (its WorkerDiedError being raised): replaced when
// the batch can and will (1), else left out when it had nothing in flight
// (0); otherwise the batch ends with the error (-1, as on any error).
int ended(Batch& batch, Worker& worker) {
  name_running(batch, worker);
  if (batch.recover != Py_None) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    int replaced = replace(batch, worker, error.get());
    if (replaced <= 0) return replaced < 0 ? -1 : 1;
    PyErr_SetRaisedException(error.release());
  }
  if (worker.in_flight.empty()) {  // it ended while idle: it gets nothing more
    PyErr_Clear();
    forget(batch, worker);
    return 0;
  }
  describe_death(batch, worker);
  return -1;
}

// Takes the answers of `worker` that have arrived (raising WorkerDiedError
// if it died with requests in flight), and refills it. Answers that are
// not the batch's (of an earlier call, dropped; of requests put on the
// queue directly, kept for later readers) are taken off the pipe too.
// 1 when an answer was taken (or the worker replaced), 0 when none had
// come, -1 error.
int take_arrived(Batch& batch, Worker& worker) {
  int taken = 0;
  for (;;) {
    vr::Wanted wanted;
    wanted.tag = worker.in_flight.empty() ? UINT64_MAX : worker.in_flight.front().tag;
    wanted.only_own = true;
    wanted.wait = false;
    Ref answer = Ref::steal(batch.api->take(worker.book, worker.qo.get(), worker.process.get(),
                                            worker.sentinel.fd, wanted));
    if (!answer) {
      if (!PyErr_Occurred()) return taken;  // nothing more for now
      if (!PyErr_ExceptionMatches(batch.died_error)) return -1;
      int outcome = ended(batch, worker);
      return outcome < 0 ? -1 : outcome == 1 ? 1 : taken;  // replaced: it takes requests
    }
    if (worker.in_flight.empty()) {  // cannot be: only the batch's own answers are given
      PyErr_SetString(PyExc_RuntimeError, "an answer came that no request of the batch awaits");
      return -1;
    }
    if (wanted.got_cancelled && worker.in_flight.front().withdrawing) {
      // A request withdrawn for another worker that this one skipped after
      // all: it has not run anywhere yet.
      batch.again.push_back({worker.in_flight.front().position});
      worker.in_flight.pop_front();
      taken = 1;
      continue;
    }
    // Any other request of the batch answered as never run: the worker is
    // above its memory limit.
    if (wanted.got_cancelled && batch.recover != Py_None) {
      int replaced = replace(batch, worker, nullptr);
      if (replaced <= 0) return replaced < 0 ? -1 : 1;
    }
    if (place(batch, worker, answer.get()) < 0) return -1;
    taken = 1;
  }
}

int collect(Batch& batch, Worker& worker) {
  for (;;) {
    int taken = take_arrived(batch, worker);
    if (taken <= 0 || batch.by_position) return taken < 0 ? -1 : 0;
    // The requests sent now may have been answered already (an answer the
    // ledger held for them).
    size_t before = worker.in_flight.size();
    if (send_to(batch, worker, batch.fixed > 0 ? batch.fixed : batch.limit) < 0) return -1;
    if (worker.in_flight.size() == before) return 0;
  }
}

// A worker's index (a type of this file, so that the vector's code stays
// inside the module instead of being exported as shared template code).
struct WorkerId {
  size_t value;
};

// Waits for ready workers, at most until the next check is due; their
// indexes, each once.
int wait_ready(Batch& batch, std::vector<WorkerId>& ready) {
  // A signal that came while this thread was not waiting (or that another
  // thread took) has its handler run now: the wait would not end for it.
  if (PyErr_CheckSignals() < 0) return -1;
  epoll_event events[64];
  int timeout_ms = vr::milliseconds_until(std::min(batch.next_check, batch.steal_at));
  int count;
  Py_BEGIN_ALLOW_THREADS
  count = epoll_wait(batch.poll.fd, events, 64, timeout_ms);
  VR_END_ALLOW_THREADS
  ready.clear();
  if (count < 0) {
    if (errno != EINTR) {
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
    return PyErr_CheckSignals();
  }
  for (int i = 0; i < count; ++i) {
    size_t index = events[i].data.u64;
    bool seen = false;
    for (WorkerId other : ready) seen = seen || other.value == index;
    if (!seen) ready.push_back({index});
  }
  return 0;
}

// Kills any worker whose request has ignored its interrupt or time limit
// for longer than the grace period (raising WorkerDiedError), and sets
// when to look again.
int check_overdue(Batch& batch) {
  double now = vr::monotonic_seconds();
  if (now < batch.next_check) return 0;
  int64_t soonest = INT64_MAX;
  for (Worker& worker : batch.workers) {
    if (!worker.watched) continue;
    uint64_t token = worker.in_flight.empty() ? 0 : token_of(batch, worker.in_flight.front().position);
    double grace = batch.grace;
    int64_t due = batch.api->overdue(worker.book, token, batch.grace, &grace);
    if (due != INT64_MAX && due <= vr::monotonic_ns()) {
      vr::kill_unresponsive(worker.process.get(), grace);
      if (!PyErr_ExceptionMatches(batch.died_error)) return -1;
      // (Answers it sent before were taken as they came: it was overdue.)
      if (ended(batch, worker) < 0) return -1;
      continue;
    }
    soonest = std::min(soonest, due);
  }
  double wait = kCheckEvery;
  if (soonest != INT64_MAX)
    wait = std::min(wait, std::max(0.0, (soonest - vr::monotonic_ns()) / 1e9));
  batch.next_check = vr::monotonic_seconds() + wait;
  return 0;
}

// Once nothing is left to send, each worker that runs dry takes a request
// queued behind the running one on the worker that holds most of them.
// A withdrawal that could not be told safe is tried again shortly.
int rebalance(Batch& batch) {
  batch.steal_at = INFINITY;
  if (batch.by_position || !nothing_to_send(batch)) return 0;
  for (Worker& thief : batch.workers) {
    if (!thief.watched || !thief.in_flight.empty()) continue;
    Worker* victim = nullptr;
    for (Worker& other : batch.workers)
      if (other.watched && other.in_flight.size() >= 2 &&
          (!victim || other.in_flight.size() > victim->in_flight.size()))
        victim = &other;
    if (!victim) return 0;
    Sent& queued = victim->in_flight.back();
    if (queued.withdrawing) continue;  // its answer tells
    int withdrawn = batch.api->withdraw(victim->book, queued.tag);
    if (withdrawn != 1) {
      queued.withdrawing = withdrawn == 2;
      if (withdrawn == 0) batch.steal_at = vr::monotonic_seconds() + kStealAgain;
      continue;
    }
    Py_ssize_t position = queued.position;
    victim->in_flight.pop_back();
    if (send_one(batch, thief, position) < 0) return -1;
  }
  return 0;
}

// The first requests: by position all of them, in order; otherwise one per
// worker per round, in the pool's order, as a plain map deals them, up to
// the in-flight limit.
int send_first(Batch& batch) {
  size_t count = batch.workers.size();
  if (batch.by_position) {
    for (; batch.next < batch.total; ++batch.next)
      if (send_one(batch, batch.workers[batch.next % count], batch.next) < 0) return -1;
    return 0;
  }
  long first = batch.fixed > 0 ? batch.fixed : batch.limit;
  for (long round = 1; round <= first && batch.next < batch.total; ++round)
    for (Worker& worker : batch.workers)
      if (send_to(batch, worker, round) < 0) return -1;
  return 0;
}

// Raises WorkerDiedError for a batch whose workers have all ended.
int all_ended(Batch& batch) {
  for (Worker& worker : batch.workers)
    if (worker.watched) return 0;
  vr::raise_worker_died(batch.workers.back().process.get());
  return -1;
}

// Every request is answered but those lost with replaced workers: the
// first death's WorkerDiedError, telling them and the answers.
int raise_lost(Batch& batch) {
  std::sort(batch.lost.begin(), batch.lost.end(),
            [](Lost a, Lost b) { return a.position < b.position; });
  Ref positions = Ref::steal(PyList_New(0));
  Ref answers = Ref::steal(PyList_GetSlice(batch.answers.get(), 0, batch.total));
  if (!positions || !answers) return -1;
  for (Lost lost : batch.lost) {
    Ref number = Ref::steal(PyLong_FromSsize_t(lost.position));
    if (!number || PyList_Append(positions.get(), number.get()) < 0) return -1;
  }
  PyObject* error = batch.first_death.get();
  if (PyObject_SetAttrString(error, "positions", positions.get()) < 0 ||
      PyObject_SetAttrString(error, "answers", answers.get()) < 0)
    return -1;
  PyErr_SetRaisedException(batch.first_death.release());
  return -1;
}

int run(Batch& batch) {
  batch.poll.fd = epoll_create1(EPOLL_CLOEXEC);
  if (batch.poll.fd < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  for (size_t i = 0; i < batch.workers.size(); ++i)
    batch.workers[i].index = i;
  for (size_t i = 0; i < batch.workers.size(); ++i)
    if (watch(batch, batch.workers[i].reader.fd, i) < 0 ||
        watch(batch, batch.workers[i].sentinel.fd, i) < 0)
      return -1;
  double started = vr::monotonic_seconds();
  for (Worker& worker : batch.workers) worker.last_answer = started;
  if (send_first(batch) < 0) return -1;
  std::vector<WorkerId> ready;
  while (batch.done < batch.total) {
    if (check_overdue(batch) < 0 || all_ended(batch) < 0 || rebalance(batch) < 0 ||
        wait_ready(batch, ready) < 0)
      return -1;
    for (WorkerId index : ready)
      if (collect(batch, batch.workers[index.value]) < 0) return -1;
  }
  return batch.lost.empty() ? 0 : raise_lost(batch);
}

int parse(Batch& batch, PyObject* const* a) {
  if (!PyList_Check(a[1]) || !PyList_Check(a[2]) ||
      PyList_GET_SIZE(a[1]) != PyList_GET_SIZE(a[2])) {
    PyErr_SetString(PyExc_TypeError, "deal() takes a list of requests and one of tokens");
    return -1;
  }
  batch.requests = a[1];
  batch.tokens = a[2];
  batch.total = PyList_GET_SIZE(a[1]);
  batch.grace = PyFloat_AsDouble(a[3]);
  if (batch.grace == -1 && PyErr_Occurred()) return -1;
  int balance = PyObject_IsTrue(a[4]);
  if (balance < 0) return -1;
  batch.by_position = !balance;
  batch.fixed = PyLong_AsLong(a[5]);
  if (batch.fixed == -1 && PyErr_Occurred()) return -1;
  batch.report = a[6];
  batch.recover = a[7];
  batch.answers = Ref::steal(PyList_New(batch.total));
  if (!batch.answers) return -1;
  for (Py_ssize_t i = 0; i < batch.total; ++i)
    PyList_SET_ITEM(batch.answers.get(), i, Py_NewRef(Py_None));
  return 0;
}

// deal(handles, requests, tokens, grace, balance, fixed, report, recover)
PyObject* deal(PyObject* const* a) {
  Batch batch;
  if (parse(batch, a) < 0) return nullptr;
  if (!(batch.api = vr::ledger())) return nullptr;
  const vr::RuntimeState* rt = vr::runtime();
  if (!rt) return nullptr;
  batch.died_error = rt->died_error;
  // A snapshot: reading each handle's attributes runs code that may change
  // the list.
  Ref handles = Ref::steal(PySequence_Tuple(a[0]));
  if (!handles) return nullptr;
  Py_ssize_t count = PyTuple_GET_SIZE(handles.get());
  if (batch.total == 0) return batch.answers.release();
  if (count == 0) {
    PyErr_SetString(PyExc_ValueError, "the pool has no workers");
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    batch.workers.emplace_back();
    if (make_worker(batch, PyTuple_GET_ITEM(handles.get(), i), batch.workers.back()) < 0)
      return nullptr;
  }
  std::vector<vr::Book*> books;
  for (Worker& worker : batch.workers) books.push_back(worker.book);
  vr::CallScope call(batch.api, books.data(), books.size());
  if (!call.ok()) return nullptr;
  batch.call = call.id();
  if (run(batch) < 0) return nullptr;
  call.finish(vr::Ending::kCompleted);
  return batch.answers.release();
}

const char* const deal_params[] = {"handles", "requests", "tokens", "grace",
                                   "balance", "fixed",    "report", "recover"};

// Line of the definition in the module's source, as traceback entries show it.
constexpr int kDealLine = 20;

}  // namespace

const vr::FunctionDef deal_def = {
    .name = "deal",
    .qualname = "deal",
    .traceback = "vorlen._wire.deal",
    .body = deal,
    .params = deal_params,
    .argcount = 8,
    .line = kDealLine,
};

}  // namespace wire
