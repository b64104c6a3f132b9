// deal: a batch dealt to whichever worker becomes free first.
//
// Each worker holds only a few requests at a time: the one it runs and
// enough queued behind it to cover the parent's reaction time (reading an
// answer, sending the next request), so that it never sits idle in between.
// How many that is follows from how long requests take: the parent keeps a
// running estimate of one request's duration and queues about kQueuedWork
// seconds of work behind the running request, at least one request and at
// most kMaxInFlight - 1. Long requests thus get two in flight per worker,
// trivial ones up to kMaxInFlight, and at most about kQueuedWork of work
// ever waits behind a request that turns out to be long.
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <deque>
#include <vector>

#include "runtime/transport/descriptors.h"
#include "runtime/process/liveness.h"
#include "runtime/transport/queue_pipe.h"
#include "wire.h"

namespace wire {

namespace {

using vr::Ref;

constexpr double kQueuedWork = 0.001;  // seconds queued behind the running request
constexpr long kMaxInFlight = 64;
constexpr double kSmoothing = 0.2;     // weight of the newest duration in the estimate

struct Sent {
  Py_ssize_t position;
  double at;
};

struct Worker {
  Ref qi, qo, process, put;
  int reader = -1, sentinel = -1;
  bool watched = true;
  std::deque<Sent> in_flight;
  double last_answer = 0;
};

struct Epoll {
  int fd = -1;
  ~Epoll() {
    if (fd >= 0) close(fd);
  }
};

struct Batch {
  std::vector<Worker> workers;
  PyObject* requests;  // borrowed from the caller's arguments, as are the rest
  PyObject* answers;
  PyObject* check;     // None, or check(running) -> seconds until the next check
  PyObject* report;    // None, or report(done, answer) after every answer
  double next_check = 0;  // monotonic seconds; infinity: no (more) checks
  long fixed = 0;      // a fixed number in flight per worker; 0: the estimate
  long limit = 2;
  double estimate = -1;
  Py_ssize_t next = 0, done = 0, total = 0;
  Epoll poll;
};

// One worker from its (qi, qo, process, reader fd, sentinel fd) tuple.
int unpack_worker(PyObject* item, Worker& worker) {
  PyObject *qi, *qo, *process;
  int reader, sentinel;
  if (!PyArg_ParseTuple(item, "OOOii;a worker is (qi, qo, process, reader, sentinel)",
                        &qi, &qo, &process, &reader, &sentinel))
    return -1;
  worker.qi = Ref::borrow(qi);
  worker.qo = Ref::borrow(qo);
  worker.process = Ref::borrow(process);
  worker.put = Ref::steal(PyObject_GetAttrString(qi, "put"));
  worker.reader = reader;
  worker.sentinel = sentinel;
  return worker.put ? 0 : -1;
}

int watch(Batch& batch, int fd, size_t index) {
  if (fd < 0) return 0;
  epoll_event event = {};
  event.events = EPOLLIN;
  event.data.u64 = index;
  if (epoll_ctl(batch.poll.fd, EPOLL_CTL_ADD, fd, &event) == 0) return 0;
  PyErr_SetFromErrno(PyExc_OSError);
  return -1;
}

void forget(Batch& batch, Worker& worker) {
  if (!worker.watched) return;
  for (int fd : {worker.reader, worker.sentinel})
    if (fd >= 0) epoll_ctl(batch.poll.fd, EPOLL_CTL_DEL, fd, nullptr);
  worker.watched = false;
}

// Sends requests to `worker` until it holds `up_to` or none are left.
int send_to(Batch& batch, Worker& worker, long up_to) {
  while (static_cast<long>(worker.in_flight.size()) < up_to && batch.next < batch.total) {
    Py_ssize_t position = batch.next;
    if (position >= PyList_GET_SIZE(batch.requests)) {
      PyErr_SetString(PyExc_RuntimeError, "the batch changed size while it was sent");
      return -1;
    }
    Ref message = Ref::borrow(PyList_GET_ITEM(batch.requests, position));
    if (vr::send_message(worker.qi.get(), worker.put.get(), message.get()) < 0) return -1;
    worker.in_flight.push_back({position, vr::monotonic_seconds()});
    batch.next = position + 1;
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

// Takes one answer of `worker` (raising WorkerDiedError if it died with
// requests in flight), stores it at its position and refills the worker.
int collect(Batch& batch, Worker& worker) {
  if (worker.in_flight.empty()) {
    // Nothing awaited here: the worker ended while idle, and gets nothing
    // more, since requests go only to workers that answer.
    forget(batch, worker);
    return 0;
  }
  Ref answer = Ref::steal(
      worker.sentinel >= 0
          ? vr::get_answer_watching(worker.qo.get(), worker.process.get(), worker.sentinel)
          : vr::get_answer(worker.qo.get(), worker.process.get()));
  if (!answer) return -1;
  double now = vr::monotonic_seconds();
  Sent sent = worker.in_flight.front();
  worker.in_flight.pop_front();
  if (sent.position >= PyList_GET_SIZE(batch.answers)) {
    PyErr_SetString(PyExc_RuntimeError, "the answer list changed size");
    return -1;
  }
  PyList_SetItem(batch.answers, sent.position, Py_NewRef(answer.get()));
  ++batch.done;
  learn(batch, now - std::max(sent.at, worker.last_answer));
  worker.last_answer = now;
  if (batch.report != Py_None) {
    Ref done = Ref::steal(PyLong_FromSsize_t(batch.done));
    if (!done) return -1;
    Ref reported = Ref::steal(PyObject_CallFunctionObjArgs(batch.report, done.get(),
                                                           answer.get(), nullptr));
    if (!reported) return -1;
  }
  return send_to(batch, worker, batch.fixed > 0 ? batch.fixed : batch.limit);
}

// A worker's index (a type of this file, so that the vector's code stays
// inside the module instead of being exported as shared template code).
struct WorkerId {
  size_t value;
};

// Waits for ready workers, at most until the next check is due; their
// indexes, each once.
int wait_ready(Batch& batch, std::vector<WorkerId>& ready) {
  epoll_event events[64];
  int timeout_ms = vr::milliseconds_until(batch.next_check);
  int count;
  Py_BEGIN_ALLOW_THREADS
  count = epoll_wait(batch.poll.fd, events, 64, timeout_ms);
  Py_END_ALLOW_THREADS
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

// Calls check(running) once it is due: `running` holds, per worker, the
// position of the request it runs (its oldest unanswered one), or None.
// It answers with the seconds until it is due again (None: never), and
// raises to end the batch (a worker killed for ignoring its interrupt).
int check_if_due(Batch& batch) {
  if (batch.check == Py_None || vr::monotonic_seconds() < batch.next_check) return 0;
  Ref running = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.workers.size())));
  if (!running) return -1;
  for (size_t i = 0; i < batch.workers.size(); ++i) {
    const Worker& worker = batch.workers[i];
    PyObject* position = worker.in_flight.empty()
                             ? Py_NewRef(Py_None)
                             : PyLong_FromSsize_t(worker.in_flight.front().position);
    if (!position) return -1;
    PyList_SET_ITEM(running.get(), static_cast<Py_ssize_t>(i), position);
  }
  Ref wait = Ref::steal(PyObject_CallOneArg(batch.check, running.get()));
  if (!wait) return -1;
  if (wait.get() == Py_None) {
    batch.next_check = INFINITY;
    return 0;
  }
  double seconds = PyFloat_AsDouble(wait.get());
  if (seconds == -1 && PyErr_Occurred()) return -1;
  batch.next_check = vr::monotonic_seconds() + std::max(0.0, seconds);
  return 0;
}

int run(Batch& batch) {
  batch.poll.fd = epoll_create1(EPOLL_CLOEXEC);
  if (batch.poll.fd < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  for (size_t i = 0; i < batch.workers.size(); ++i)
    if (watch(batch, batch.workers[i].reader, i) < 0 ||
        watch(batch, batch.workers[i].sentinel, i) < 0)
      return -1;
  // The first requests go out in the pool's order, one per worker per
  // round, as a plain map deals them.
  long first = batch.fixed > 0 ? batch.fixed : batch.limit;
  double started = vr::monotonic_seconds();
  for (Worker& worker : batch.workers) worker.last_answer = started;
  for (long round = 1; round <= first && batch.next < batch.total; ++round)
    for (Worker& worker : batch.workers)
      if (send_to(batch, worker, round) < 0) return -1;
  std::vector<WorkerId> ready;
  while (batch.done < batch.total) {
    if (check_if_due(batch) < 0 || wait_ready(batch, ready) < 0) return -1;
    for (WorkerId index : ready)
      if (collect(batch, batch.workers[index.value]) < 0) return -1;
  }
  return 0;
}

// deal(workers, requests, answers, fixed, check, report)
PyObject* deal(PyObject* const* a) {
  Batch batch;
  if (!PyList_Check(a[0]) || !PyList_Check(a[1]) || !PyList_Check(a[2])) {
    PyErr_SetString(PyExc_TypeError, "deal() takes lists of workers, requests and answers");
    return nullptr;
  }
  batch.requests = a[1];
  batch.answers = a[2];
  batch.total = PyList_GET_SIZE(a[1]);
  if (PyList_GET_SIZE(a[2]) != batch.total) {
    PyErr_SetString(PyExc_ValueError, "deal() needs one answer slot per request");
    return nullptr;
  }
  batch.fixed = PyLong_AsLong(a[3]);
  if (batch.fixed == -1 && PyErr_Occurred()) return nullptr;
  batch.check = a[4];
  batch.report = a[5];
  if (batch.check == Py_None) batch.next_check = INFINITY;
  // A snapshot: looking up each queue's put runs code that may change the list.
  Ref workers = Ref::steal(PyList_AsTuple(a[0]));
  if (!workers) return nullptr;
  Py_ssize_t count = PyTuple_GET_SIZE(workers.get());
  if (count == 0 && batch.total > 0) {
    PyErr_SetString(PyExc_ValueError, "the pool has no workers");
    return nullptr;
  }
  batch.workers.resize(count);
  for (Py_ssize_t i = 0; i < count; ++i)
    if (unpack_worker(PyTuple_GET_ITEM(workers.get(), i), batch.workers[i]) < 0) return nullptr;
  if (run(batch) < 0) return nullptr;
  Py_RETURN_NONE;
}

const char* const deal_params[] = {"workers", "requests", "answers",
                                   "fixed",   "check",    "report"};

// Line of the definition in the module's source, as traceback entries show it.
constexpr int kDealLine = 20;

}  // namespace

const vr::FunctionDef deal_def = {
    .name = "deal",
    .qualname = "deal",
    .traceback = "vorlen._wire.deal",
    .body = deal,
    .params = deal_params,
    .argcount = 6,
    .line = kDealLine,
};

}  // namespace wire
