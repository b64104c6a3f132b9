// arrivals: the answers of a list of answer queues in the order they
// arrive, as an iterator of (index, answer) pairs.
//
// The list is grouped by distinct queue (a worker answers its requests in
// the order it got them, so a queue's k-th answer belongs to its k-th
// position in the list). One array of descriptors, kept for the whole
// iteration, holds every queue's pipe and every worker's sentinel, and one
// poll() waits on all of them; each wait takes one answer from every group
// it found ready. poll() rather than epoll: building the array costs no
// system call per queue, and descriptors whose groups are done leave it
// without one, which matters when every queue holds just one answer.
//
// A queue is a multiprocessing queue (its worker, when one registered as
// its writer, is watched too) or a foreign object with vorlen_ready_fd()
// and get(). A worker's answers are taken through the ledger: answers of
// calls that ended early are dropped on the way, answers a reader left
// with the ledger count as arrived; an iteration that ends before its last
// answer (an error, its time limit, the iterator dropped) abandons the
// requests whose answers it did not give, so that they never answer a
// later call.
#include <cmath>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "runtime/process/ledger.h"
#include "runtime/python/call.h"
#include "runtime/transport/descriptors.h"
#include "runtime/process/liveness.h"
#include "runtime/transport/queue_pipe.h"
#include "wire.h"

namespace wire {

namespace {

using vr::Ref;

// Containers hold types of this file only, so that their code stays
// inside the module instead of being exported as shared template code.
struct Position {
  Py_ssize_t value;
};
struct GroupId {
  size_t value;
};
struct DescriptorHash {
  size_t operator()(int fd) const { return std::hash<int>()(fd); }
};
struct ObjectHash {
  size_t operator()(PyObject* object) const { return std::hash<PyObject*>()(object); }
};

struct Group {
  Ref queue;
  Ref process;        // the watched writer of a multiprocessing queue, or empty
  vr::Book* book = nullptr;  // its worker's book in the ledger, if any
  int sentinel = -1;  // our copy of its sentinel, or -1
  bool foreign = false;
  bool closed = false;  // its writer's process object was closed: it has ended
  size_t next = 0, end = 0;     // its positions: State::order[next, end)
  size_t watched[2] = {};       // its entries of State::watched
  int watched_count = 0;
  uint64_t ready_in = 0;        // the last wait that found it ready

  bool done() const { return next == end; }
};

// One watched descriptor, the groups it stands for, and how many of them
// still await answers.
struct Watched {
  int fd;
  std::vector<GroupId> groups;
  size_t awaiting = 0;
  size_t slot = 0;  // its place in State::polled
};

struct State {
  std::vector<Group> groups;
  std::vector<Position> order;  // the positions of the list, grouped by queue
  std::vector<Watched> watched;
  std::unordered_map<int, size_t, DescriptorHash> by_fd;  // descriptor -> watched entry
  // process -> our copy of its sentinel (closed with the state, so that a
  // process object closed meanwhile does not pull it from the wait)
  std::unordered_map<PyObject*, int, ObjectHash> sentinels;
  const vr::LedgerApi* api = nullptr;
  std::vector<pollfd> polled;   // what poll() waits on; fd < 0: done with
  std::vector<size_t> polled_entry;  // the watched entry of each slot
  size_t done_slots = 0;
  std::vector<GroupId> closed;  // groups whose writer was closed: always ready
  std::vector<GroupId> ready;   // groups found ready by the last wait
  size_t next_ready = 0;
  uint64_t waits = 0;
  size_t pending = 0;           // groups with positions left
  double deadline = -1;         // monotonic seconds; < 0: none
  Ref timeout;                  // as given, for the message
  Ref ready_hook;               // "vorlen_ready_fd"
  Ref get_name;                 // "get"
  Ref reader_name;              // "_reader"

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    for (auto& [process, fd] : sentinels)
      if (fd >= 0) close(fd);
  }
};

struct Arrivals {
  PyObject_HEAD
  State* state;  // nullptr once finished
  // Set while a next() runs: the code it calls (a source's get(), a signal
  // handler) or another thread, while the lock is released for the wait,
  // must not advance the same state under it.
  bool running;
};

PyTypeObject* arrivals_type = nullptr;

// Watches `fd` for `group`. A queue's own pipe is watched for that queue
// alone; other descriptors (a worker's sentinel, a foreign source's) may be
// shared.
void watch(State& state, int fd, size_t group, bool shared) {
  auto found = shared ? state.by_fd.find(fd) : state.by_fd.end();
  size_t entry;
  if (found != state.by_fd.end()) {
    entry = found->second;
  } else {
    entry = state.watched.size();
    if (shared) state.by_fd.emplace(fd, entry);
    state.watched.push_back({fd, {}, 0, state.polled.size()});
    state.polled.push_back({fd, POLLIN, 0});
    state.polled_entry.push_back(entry);
  }
  state.watched[entry].groups.push_back({group});
  ++state.watched[entry].awaiting;
  Group& owner = state.groups[group];
  owner.watched[owner.watched_count++] = entry;
}

// A group has had all its answers: descriptors that no other group awaits
// leave the poll() array.
void group_done(State& state, Group& group) {
  --state.pending;
  for (int i = 0; i < group.watched_count; ++i) {
    Watched& watched = state.watched[group.watched[i]];
    if (--watched.awaiting == 0) {
      state.polled[watched.slot].fd = -1;
      ++state.done_slots;
    }
  }
}

// Drops the slots of finished descriptors once they are half the array.
void compact(State& state) {
  if (state.done_slots * 2 <= state.polled.size()) return;
  size_t kept = 0;
  for (size_t slot = 0; slot < state.polled.size(); ++slot) {
    if (state.polled[slot].fd < 0) continue;
    state.polled[kept] = state.polled[slot];
    state.polled_entry[kept] = state.polled_entry[slot];
    state.watched[state.polled_entry[kept]].slot = kept;
    ++kept;
  }
  state.polled.resize(kept);
  state.polled_entry.resize(kept);
  state.done_slots = 0;
}

// Our copy of the sentinel of a writer process, made once per process: -1
// when it has none to watch, vr::kClosedProcess when its process object
// was closed (close() succeeds only once the process has ended), -2 with
// an exception on an error.
int sentinel_of(State& state, PyObject* process) {
  auto found = state.sentinels.find(process);
  if (found != state.sentinels.end()) return found->second;
  int fd = vr::process_sentinel(process);
  if (fd == -2) return -2;
  if (fd >= 0 && (fd = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -2;
  }
  state.sentinels.emplace(process, fd);
  return fd;
}

// Fills group `index` from its queue and watches its descriptors.
int add_group(State& state, size_t index) {
  Group& group = state.groups[index];
  PyObject* queue = group.queue.get();
  int exact = vr::is_multiprocessing_queue(queue);
  if (exact < 0) return -1;
  if (!exact) {
    Ref hook = Ref::steal(PyObject_GetAttr(queue, state.ready_hook.get()));
    if (!hook) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
      PyErr_Clear();
    } else {
      Ref descriptor = Ref::steal(PyObject_CallNoArgs(hook.get()));
      int fd = descriptor ? vr::descriptor_of(descriptor.get()) : -1;
      if (fd < 0) return -1;
      group.foreign = true;
      watch(state, fd, index, true);
      return 0;
    }
  }
  Ref reader = Ref::steal(PyObject_GetAttr(queue, state.reader_name.get()));
  int reader_fd = reader ? vr::descriptor_of(reader.get()) : -1;
  if (reader_fd < 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Format(PyExc_TypeError,
                 "cannot wait on a '%.100s' object: expected a multiprocessing queue "
                 "or an object with vorlen_ready_fd()",
                 Py_TYPE(queue)->tp_name);
    return -1;
  }
  watch(state, reader_fd, index, false);
  group.process = Ref::steal(vr::registered_writer(queue));
  if (!group.process) return PyErr_Occurred() ? -1 : 0;
  group.book = state.api->find(queue, nullptr);
  int sentinel = sentinel_of(state, group.process.get());
  if (sentinel == -2) return -1;
  if (sentinel == vr::kClosedProcess) {
    // Nothing more will come: it is read at once, its answers left or
    // WorkerDiedError, instead of being waited for.
    group.closed = true;
    state.closed.push_back({index});
    return 0;
  }
  group.sentinel = sentinel;
  if (sentinel >= 0) watch(state, sentinel, index, true);
  return 0;
}

// Groups the list by distinct queue, in order of first appearance.
int group_queues(State& state, PyObject* queues) {
  Ref items = Ref::steal(PySequence_Fast(queues, "as_completed() takes an iterable of queues"));
  if (!items) return -1;
  std::unordered_map<PyObject*, size_t, ObjectHash> by_queue;
  Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  std::vector<GroupId> group_of(count);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* queue = PySequence_Fast_GET_ITEM(items.get(), i);
    auto [found, added] = by_queue.try_emplace(queue, state.groups.size());
    if (added) state.groups.push_back({Ref::borrow(queue)});
    group_of[i] = {found->second};
    ++state.groups[found->second].end;  // counted here, placed below
  }
  // Each group's positions, in list order, as one slice of `order`.
  size_t start = 0;
  for (Group& group : state.groups) {
    size_t size = group.end;
    group.next = group.end = start;
    start += size;
  }
  state.order.resize(count);
  for (Py_ssize_t i = 0; i < count; ++i)
    state.order[state.groups[group_of[i].value].end++] = {i};
  // Descriptors are looked up once the list has been read: that may run
  // code, which must not change what the list held.
  for (size_t i = 0; i < state.groups.size(); ++i)
    if (add_group(state, i) < 0) return -1;
  state.pending = state.groups.size();
  return 0;
}

// Waits until some group is ready or the deadline passes (then raises
// TimeoutError).
int wait_ready(State& state) {
  state.ready.clear();
  state.next_ready = 0;
  ++state.waits;
  compact(state);
  for (GroupId id : state.closed) {
    Group& group = state.groups[id.value];
    if (group.done()) continue;
    group.ready_in = state.waits;
    state.ready.push_back(id);
  }
  // Answers another reader left with the ledger have arrived already.
  for (size_t i = 0; i < state.groups.size(); ++i) {
    Group& group = state.groups[i];
    if (group.done() || !group.book || group.ready_in == state.waits ||
        !state.api->holds_answers(group.book))
      continue;
    group.ready_in = state.waits;
    state.ready.push_back({i});
  }
  while (state.ready.empty()) {
    // A signal that came while this thread was not waiting has its handler
    // run now: the wait would not end for it.
    if (PyErr_CheckSignals() < 0) return -1;
    int timeout_ms = state.deadline >= 0 ? vr::milliseconds_until(state.deadline) : -1;
    bool interrupted;
    int count = vr::poll_released(state.polled.data(), state.polled.size(), timeout_ms,
                                  interrupted);
    if (count < 0) return -1;
    if (interrupted) continue;
    if (count == 0 && timeout_ms >= 0) {
      if (vr::monotonic_seconds() < state.deadline) continue;  // a capped wait
      PyErr_Format(PyExc_TimeoutError, "answers still missing after %S s",
                   state.timeout.get());
      return -1;
    }
    for (size_t slot = 0; slot < state.polled.size() && count > 0; ++slot) {
      if (state.polled[slot].fd < 0 || state.polled[slot].revents == 0) continue;
      --count;
      for (GroupId id : state.watched[state.polled_entry[slot]].groups) {
        Group& group = state.groups[id.value];
        if (group.done() || group.ready_in == state.waits) continue;
        group.ready_in = state.waits;
        state.ready.push_back(id);
      }
    }
  }
  return 0;
}

// The next answer of group `index` and its position, as a pair; nullptr
// with no exception set when the group had nothing for this reader after
// all (only answers of calls that ended early, now dropped).
PyObject* take(State& state, size_t index, uint64_t call) {
  Group& group = state.groups[index];
  Ref answer;
  if (group.foreign) {
    answer = Ref::steal(vr::call_method(group.queue.get(), state.get_name.get()));
  } else if (group.book) {
    if (state.api->join(call, group.book) < 0) return nullptr;
    vr::Wanted wanted;
    wanted.wait = group.closed;
    answer = Ref::steal(state.api->take(group.book, group.queue.get(), group.process.get(),
                                        group.sentinel, wanted));
    if (!answer && !PyErr_Occurred()) return nullptr;
    if (!answer && wanted.awaited != 0) {
      uint64_t running, started;
      state.api->progress(group.book, &running, &started);
      if (running == wanted.awaited) vr::name_running_request(state.order[group.next].value, nullptr);
    }
  } else if (group.sentinel >= 0) {
    answer = Ref::steal(
        vr::get_answer_watching(group.queue.get(), group.process.get(), group.sentinel));
  } else {
    answer = Ref::steal(
        vr::get_answer(group.queue.get(), group.closed ? group.process.get() : nullptr));
  }
  if (!answer) return nullptr;
  Py_ssize_t position = state.order[group.next++].value;
  if (group.done()) group_done(state, group);
  Ref number = Ref::steal(PyLong_FromSsize_t(position));
  if (!number) return nullptr;
  return PyTuple_Pack(2, number.get(), answer.get());
}

// An iteration that ends before its last answer: the requests whose
// answers it did not give are abandoned (keeping the exception being
// raised).
void abandon_rest(State& state) {
  if (state.pending == 0) return;
  vr::SavedError raised;
  for (Group& group : state.groups)
    if (group.book && !group.done()) state.api->abandon_due(group.book, group.end - group.next);
  raised.restore();
}

void finish(Arrivals* self) {
  State* state = self->state;
  self->state = nullptr;
  if (state) abandon_rest(*state);
  delete state;
}

PyObject* next_arrival(Arrivals* self) {
  State* state = self->state;
  // Each step is a call of the ledger on the workers it reads from: a
  // signal handler or source that reads them meanwhile is refused.
  vr::CallScope call(state->api, nullptr, 0);
  if (!call.ok()) {
    finish(self);
    return nullptr;
  }
  for (;;) {
    if (state->pending == 0) {
      finish(self);
      return nullptr;
    }
    while (state->next_ready < state->ready.size()) {
      size_t group = state->ready[state->next_ready++].value;
      if (state->groups[group].done()) continue;
      PyObject* pair = take(*state, group, call.id());
      if (!pair && !PyErr_Occurred()) continue;
      // Like a generator, the iteration ends with its first error.
      if (!pair) finish(self);
      else call.finish(vr::Ending::kCompleted);
      return pair;
    }
    if (wait_ready(*state) < 0) {
      finish(self);
      return nullptr;
    }
  }
}

PyObject* arrivals_next(PyObject* object) {
  Arrivals* self = reinterpret_cast<Arrivals*>(object);
  if (!self->state) return nullptr;
  if (self->running) {
    PyErr_SetString(PyExc_ValueError, "arrivals already executing");
    return nullptr;
  }
  self->running = true;
  PyObject* pair = next_arrival(self);
  self->running = false;
  return pair;
}

void arrivals_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  finish(reinterpret_cast<Arrivals*>(object));
  type->tp_free(object);
  Py_DECREF(type);
}

// The iterator holds its queues and their workers' processes, and a source
// may hold the iterator: the collector must see those references.
int arrivals_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  const State* state = reinterpret_cast<Arrivals*>(object)->state;
  if (!state) return 0;
  for (const Group& group : state->groups) {
    Py_VISIT(group.queue.get());
    Py_VISIT(group.process.get());
  }
  Py_VISIT(state->timeout.get());
  return 0;
}

// Only an iterator that nothing reaches any more is cleared, never one in
// the middle of next().
int arrivals_clear(PyObject* object) {
  finish(reinterpret_cast<Arrivals*>(object));
  return 0;
}

PyType_Slot arrivals_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(arrivals_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(arrivals_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(arrivals_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(arrivals_clear)},
    {0, nullptr},
};

PyType_Spec arrivals_spec = {
    .name = "vorlen._wire.arrivals",
    .basicsize = sizeof(Arrivals),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    .slots = arrivals_slots,
};

int make_state(State& state, PyObject* timeout) {
  if (timeout != Py_None) {
    double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1 && PyErr_Occurred()) return -1;
    if (std::isnan(seconds) || seconds < 0) {
      PyErr_Format(PyExc_ValueError,
                   "timeout must be a non-negative number of seconds, not %R", timeout);
      return -1;
    }
    state.deadline = vr::monotonic_seconds() + seconds;
    state.timeout = Ref::borrow(timeout);
  }
  state.ready_hook = Ref::steal(PyUnicode_InternFromString("vorlen_ready_fd"));
  state.get_name = Ref::steal(PyUnicode_InternFromString("get"));
  state.reader_name = Ref::steal(PyUnicode_InternFromString("_reader"));
  return state.ready_hook && state.get_name && state.reader_name ? 0 : -1;
}

// arrivals(queues, timeout)
PyObject* arrivals(PyObject* const* a) {
  if (!arrivals_type) {
    arrivals_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&arrivals_spec));
    if (!arrivals_type) return nullptr;
  }
  auto* state = new State;
  state->api = vr::ledger();
  if (!state->api || make_state(*state, a[1]) < 0 || group_queues(*state, a[0]) < 0) {
    delete state;
    return nullptr;
  }
  Arrivals* self = PyObject_GC_New(Arrivals, arrivals_type);
  if (!self) {
    delete state;
    return nullptr;
  }
  self->state = state;
  self->running = false;
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

const char* const arrivals_params[] = {"queues", "timeout"};

// Line of the definition in the module's source, as traceback entries show it.
constexpr int kArrivalsLine = 40;

}  // namespace

const vr::FunctionDef arrivals_def = {
    .name = "arrivals",
    .qualname = "arrivals",
    .traceback = "vorlen._wire.arrivals",
    .body = arrivals,
    .params = arrivals_params,
    .argcount = 2,
    .line = kArrivalsLine,
};

}  // namespace wire
