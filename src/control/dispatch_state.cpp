// The dispatcher's state, one per process, and its thread.
#include <cerrno>
#include <atomic>
#include <cstring>
#include <unordered_map>

#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "runtime/python/gil.h"
#include "dispatch.h"
#include "runtime/process/control_page.h"
#include "runtime/process/native_thread.h"
#include "runtime/transport/descriptors.h"

namespace control::dispatch {

namespace {

using vr::Ref;

// How long interpreter exit waits for the dispatcher to leave.
constexpr double kStopSeconds = 5.0;

// Containers hold types of this file only, so that their code stays inside
// the module instead of being exported as shared template code.
struct IdHash {
  size_t operator()(uint64_t id) const { return std::hash<uint64_t>()(id); }
};
struct ObjectHash {
  size_t operator()(PyObject* object) const { return std::hash<PyObject*>()(object); }
};

struct State {
  pid_t pid = 0;
  int epoll = -1;
  int wake = -1;  // an eventfd in the epoll: a poke
  int done = -1;  // an eventfd the thread writes as it leaves
  bool running = false;
  std::atomic<bool> stopping{false};  // read by the thread without the lock
  bool waiting_forever = false;
  pthread_t thread{};
  std::unordered_map<uint64_t, Lane*, IdHash> lanes;
  std::unordered_map<PyObject*, uint64_t, ObjectHash> lane_by_queue;
  std::unordered_map<uint64_t, PoolQueue*, IdHash> pools;
  std::unordered_map<PyObject*, uint64_t, ObjectHash> pool_by_object;
  uint64_t last_id = 0;
  size_t busy = 0;
};

// Never deleted: a forked child leaves its parent's state behind (leaked)
// and makes its own.
State* state = nullptr;
bool exit_hook_installed = false;

// The lanes that a thread waiting for a result reads, as the dispatcher
// sees them without the interpreter lock: slot id % kSlots holds the id of
// a lane being read so (two lanes sharing a slot only cost the dispatcher
// a look under the lock).
constexpr size_t kSlots = 1024;
std::atomic<uint64_t> claimed_lanes[kSlots];
pid_t known_pid = 0;  // this process's, 0 until asked for (a fork resets it)

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// In a forked child, before anything else runs: the dispatcher thread does
// not exist here, and the lanes are the parent's. Their descriptors are
// closed; the rest (Python objects among it) is left as it is.
void forget_in_child() {
  known_pid = 0;
  for (auto& slot : claimed_lanes) slot.store(0);
  if (!state) return;
  for (auto& [id, lane] : state->lanes) {
    close_fd(lane->reader);
    close_fd(lane->sentinel);
  }
  close_fd(state->epoll);
  close_fd(state->wake);
  close_fd(state->done);
  state = nullptr;
}

int add_to_epoll(int epoll, int fd, uint64_t data) {
  epoll_event event = {};
  event.events = EPOLLIN;
  event.data.u64 = data;
  if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0) return 0;
  PyErr_SetFromErrno(PyExc_OSError);
  return -1;
}

void drain_eventfd(int fd) {
  uint64_t count;
  while (read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
  }
}

// When the dispatcher must look at its lanes again (monotonic ns, INT64_MAX:
// only when something happens), killing the workers whose request is
// overdue now.
int64_t next_deadline(Resolutions& done) {
  constexpr int64_t kCheckEvery = 100'000'000;  // ns, while a request may become overdue
  if (state->busy == 0) return INT64_MAX;
  int64_t soonest = INT64_MAX;
  bool watch = false;
  for (uint64_t id : lane_ids()) {
    Lane* lane = find_lane(id);
    if (!lane || !lane->busy()) continue;
    soonest = std::min(soonest, check_overdue(*lane, done));
    lane = find_lane(id);
    if (!lane || !lane->busy()) continue;
    watch = watch || lane->watch_interrupts;
    for (Ticket* ticket : lane->in_flight) watch = watch || ticket->token != 0;
  }
  if (watch) soonest = std::min(soonest, vr::monotonic_ns() + kCheckEvery);
  return soonest;
}

// A lane id of the wait's events (0: a poke), kept in a type of this
// file.
struct Ready {
  uint64_t id;
};

// Reads the lanes whose pipe or worker woke the dispatcher.
void serve(const std::vector<Ready>& ready, Resolutions& done) {
  for (Ready event : ready) {
    uint64_t id = event.id;
    if (id == 0) {
      drain_eventfd(state->wake);
      continue;
    }
    Lane* lane = find_lane(id);
    if (!lane) continue;
    lane->armed = false;  // its one event has come
    if (lane->reading) continue;
    if (!lane->busy()) {
      note_if_ended(*lane);
      continue;
    }
    lane->reading = true;
    int read = drain(*lane, done);
    lane = find_lane(id);
    if (!lane) continue;
    lane->reading = false;
    if (read < 0 || pump(*lane, done) < 0) PyErr_WriteUnraisable(nullptr);
  }
}

// Waits (without the interpreter lock) until `deadline_ns` (INT64_MAX: no
// limit) for events that need the lock: those of lanes that a waiting
// thread reads itself are passed over. With `look_first`, it looks for a
// while before it sleeps (see worth_looking). False when the wait failed.
bool wait_for_work(State& own, int64_t deadline_ns, bool look_first, std::vector<Ready>& ready) {
  ready.clear();
  epoll_event events[64];
  for (;;) {
    int timeout = -1;
    if (deadline_ns != INT64_MAX) {
      int64_t left = deadline_ns - vr::monotonic_ns();
      timeout = static_cast<int>(std::max<int64_t>(0, (left + 999'999) / 1'000'000));
    }
    int count;
    if (look_first) {
      pollfd any = {own.epoll, POLLIN, 0};
      count = vr::spin_then_poll(&any, 1, timeout);
      if (count > 0) count = epoll_wait(own.epoll, events, 64, 0);
    } else {
      count = epoll_wait(own.epoll, events, 64, timeout);
    }
    if (own.stopping.load()) return true;
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (count == 0) return true;  // time to look at the lanes
    for (int i = 0; i < count; ++i) {
      uint64_t id = events[i].data.u64;
      if (id != 0 && claimed_lanes[id % kSlots].load() == id) continue;
      ready.push_back({id});
    }
    if (!ready.empty()) return true;
    // Woken only by a lane that a waiting thread reads: that thread looks,
    // and looking here too would only take a processor from it.
    look_first = false;
  }
}

// Whether the dispatcher should look for a while before it sleeps: unless
// a waiting thread reads a lane's answers itself (that thread looks; the
// dispatcher would only take its processor), the answer to a request sent
// just now, whether it made its lane busy already or not, usually comes
// meanwhile.
bool worth_looking() {
  for (auto& [id, lane] : state->lanes)
    if (lane->reading) return false;
  return true;
}

void* run_thread(void*) {
  PyGILState_STATE gil = PyGILState_Ensure();
  State* own = state;
  own->thread = pthread_self();
  Resolutions done;
  std::vector<Ready> ready;
  ready.reserve(64);
  int64_t deadline = next_deadline(done);
  if (resolve(done) < 0) PyErr_WriteUnraisable(nullptr);
  while (state == own && !own->stopping.load()) {
    bool waited;
    own->waiting_forever = deadline == INT64_MAX;
    bool look_first = worth_looking();
    Py_BEGIN_ALLOW_THREADS
    waited = wait_for_work(*own, deadline, look_first, ready);
    VR_END_ALLOW_THREADS
    own->waiting_forever = false;
    if (state != own || own->stopping.load()) break;
    if (!waited) {
      PyErr_SetFromErrno(PyExc_OSError);
      PyErr_WriteUnraisable(nullptr);
      break;
    }
    serve(ready, done);
    // The futures last, then the lock goes at once: their callbacks wake
    // the threads that wait for them (an event loop), which want the lock.
    deadline = next_deadline(done);
    if (resolve(done) < 0) PyErr_WriteUnraisable(nullptr);
  }
  own->running = false;
  int leaving = own->done;
  PyGILState_Release(gil);
  uint64_t one = 1;
  if (write(leaving, &one, sizeof one) < 0) {
  }
  return nullptr;
}

// stop_dispatcher(): at interpreter exit, the dispatcher leaves before the
// interpreter goes (a thread that took the lock after that would be ended in
// the middle of its work). Requests in flight are left to their workers.
PyObject* stop_dispatcher(PyObject*, PyObject*) {
  if (!state || !state->running || state->pid != current_pid()) Py_RETURN_NONE;
  state->stopping = true;
  poke();
  pollfd leaving = {state->done, POLLIN, 0};
  int64_t give_up = vr::monotonic_ns() + static_cast<int64_t>(kStopSeconds * 1e9);
  Py_BEGIN_ALLOW_THREADS
  // Signals are not looked at here: the interpreter is on its way out.
  for (int64_t now = vr::monotonic_ns(); now < give_up; now = vr::monotonic_ns()) {
    int ready = poll(&leaving, 1, static_cast<int>((give_up - now) / 1'000'000) + 1);
    if (ready > 0 || (ready < 0 && errno != EINTR)) break;
  }
  VR_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef stop_def = {"_stop_dispatcher", stop_dispatcher, METH_NOARGS, nullptr};

int install_exit_hook() {
  if (exit_hook_installed) return 0;
  Ref function = Ref::steal(PyCFunction_New(&stop_def, nullptr));
  if (!function) return -1;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
  if (!done) return -1;
  exit_hook_installed = true;
  return 0;
}

}  // namespace

pid_t current_pid() {
  if (known_pid == 0) known_pid = getpid();
  return known_pid;
}

int ready() {
  if (state && state->pid == current_pid()) return 0;
  static bool fork_hook = false;
  if (!fork_hook) {
    if (pthread_atfork(nullptr, nullptr, forget_in_child) != 0) {
      PyErr_SetString(PyExc_RuntimeError, "could not register the dispatcher's fork handler");
      return -1;
    }
    fork_hook = true;
  }
  // A child that inherited the registration of the exit hook registers its
  // own (atexit keeps the parent's list in a forked child, but not
  // multiprocessing's children of other start methods).
  exit_hook_installed = false;
  auto* fresh = new State;
  fresh->pid = current_pid();
  fresh->epoll = epoll_create1(EPOLL_CLOEXEC);
  fresh->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  fresh->done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fresh->epoll < 0 || fresh->wake < 0 || fresh->done < 0 ||
      add_to_epoll(fresh->epoll, fresh->wake, 0) < 0) {
    if (!PyErr_Occurred()) PyErr_SetFromErrno(PyExc_OSError);
    close_fd(fresh->epoll);
    close_fd(fresh->wake);
    close_fd(fresh->done);
    delete fresh;
    return -1;
  }
  state = fresh;
  return 0;
}

int start_thread() {
  if (state->running) return 0;
  if (install_exit_hook() < 0) return -1;
  state->stopping = false;
  drain_eventfd(state->done);
  int failed = vr::start_native_thread(run_thread, nullptr);
  if (failed) {
    errno = failed;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  state->running = true;
  return 0;
}

void watch(Lane& lane, bool on) {
  if (!on || lane.armed || lane.reader < 0) return;
  // One event per arming: the dispatcher passes over a lane that a waiting
  // thread reads without taking the interpreter lock, and a level-triggered
  // pipe would wake it again and again until that thread has read it.
  epoll_event event = {};
  event.events = EPOLLIN | EPOLLONESHOT;
  event.data.u64 = lane.id;
  int how = lane.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (epoll_ctl(state->epoll, how, lane.reader, &event) < 0) return;
  lane.registered = lane.armed = true;
}

void claim(Lane& lane) {
  claimed_lanes[lane.id % kSlots].store(lane.id);
  if (!lane.armed) return;
  // Disarmed (still one-shot, so that even a hang-up comes once at most):
  // the answer would otherwise wake a sleeping dispatcher only for it to
  // pass the event over, and that wake-up is paid by the worker that
  // writes the answer.
  epoll_event event = {};
  event.events = EPOLLONESHOT;
  event.data.u64 = lane.id;
  if (epoll_ctl(state->epoll, EPOLL_CTL_MOD, lane.reader, &event) == 0) lane.armed = false;
}

void unclaim(Lane& lane) {
  uint64_t id = lane.id;
  claimed_lanes[id % kSlots].compare_exchange_strong(id, 0);
  // Its event may have come meanwhile and been passed over.
  lane.armed = false;
}

int watch_death(Lane& lane) {
  // Once: a dead worker's sentinel stays readable, and its end is noted
  // the first time.
  epoll_event event = {};
  event.events = EPOLLIN | EPOLLONESHOT;
  event.data.u64 = lane.id;
  if (epoll_ctl(state->epoll, EPOLL_CTL_ADD, lane.sentinel, &event) == 0) return 0;
  PyErr_SetFromErrno(PyExc_OSError);
  return -1;
}

void poke() {
  if (!state || !state->running) return;
  uint64_t one = 1;
  if (write(state->wake, &one, sizeof one) < 0) {
  }
}

bool in_dispatcher() {
  return state && state->running && state->pid == current_pid() &&
         pthread_equal(state->thread, pthread_self());
}

Lane* find_lane(uint64_t id) {
  auto found = state->lanes.find(id);
  return found == state->lanes.end() ? nullptr : found->second;
}

Lane* lane_of_queue(PyObject* qo) {
  auto found = state->lane_by_queue.find(qo);
  return found == state->lane_by_queue.end() ? nullptr : find_lane(found->second);
}

void add_lane(Lane* lane) {
  state->lanes[lane->id] = lane;
  state->lane_by_queue[lane->qo.get()] = lane->id;
}

void remove_lane(Lane* lane) {
  if (lane->registered) epoll_ctl(state->epoll, EPOLL_CTL_DEL, lane->reader, nullptr);
  if (lane->sentinel >= 0) epoll_ctl(state->epoll, EPOLL_CTL_DEL, lane->sentinel, nullptr);
  state->lanes.erase(lane->id);
  auto found = state->lane_by_queue.find(lane->qo.get());
  if (found != state->lane_by_queue.end() && found->second == lane->id)
    state->lane_by_queue.erase(found);
  close_fd(lane->reader);
  close_fd(lane->sentinel);
  delete lane;
}

PoolQueue* find_pool(uint64_t id) {
  auto found = state->pools.find(id);
  return found == state->pools.end() ? nullptr : found->second;
}

PoolQueue* pool_queue(PyObject* pool, bool create) {
  auto found = state->pool_by_object.find(pool);
  if (found != state->pool_by_object.end()) return find_pool(found->second);
  if (!create) return nullptr;
  auto* queue = new PoolQueue;
  queue->id = new_id();
  queue->pool = Ref::borrow(pool);
  state->pools[queue->id] = queue;
  state->pool_by_object[pool] = queue->id;
  return queue;
}

void remove_pool(PoolQueue* queue) {
  for (uint64_t id : queue->lanes) {
    Lane* lane = find_lane(id);
    if (!lane) continue;
    std::erase(lane->pools, queue->id);
  }
  state->pools.erase(queue->id);
  state->pool_by_object.erase(queue->pool.get());
  for (Ticket* ticket : queue->waiting) Py_DECREF(ticket);
  delete queue;
}

uint64_t new_id() { return ++state->last_id; }

std::vector<uint64_t> lane_ids() {
  std::vector<uint64_t> ids;
  ids.reserve(state->lanes.size());
  for (auto& [id, lane] : state->lanes) ids.push_back(id);
  return ids;
}

void note_busy(int change) { state->busy += change; }

size_t idle_lanes_over_limit() {
  constexpr size_t kKeptLanes = 16;
  size_t count = state->lanes.size();
  return count > kKeptLanes ? count - kKeptLanes : 0;
}

bool waiting_forever() { return state && state->waiting_forever; }

void notice_interrupt() {
  if (!state || state->pid != current_pid() || state->busy == 0) return;
  for (auto& [id, lane] : state->lanes)
    if (lane->busy()) lane->watch_interrupts = true;
  poke();
}

}  // namespace control::dispatch
