// Submitted requests and the dispatcher that answers them (vorlen.submit).
//
// A submitted request is a ticket that waits in this process until a
// worker may take it: on its own worker (a handle's requests run in the
// order they were submitted) or in its pool's queue (the first worker of
// the pool with room takes it). A worker holds at most the request it runs
// and a window of requests queued behind it, about a millisecond of work
// (at least one, at most kMaxWindow), as the balanced batches keep it.
//
// Each worker with submitted requests in flight is a lane: one call of the
// ledger (so that no other call takes its answers or sends it requests
// meanwhile), watched by the dispatcher. The dispatcher is one native
// thread per process that waits on every busy lane's answer pipe and
// sentinel with the interpreter lock released, and takes the lock only to
// take answers through the ledger, send the next requests and resolve
// futures. A thread that waits for one future's result reads that future's
// lane itself instead, while nobody else does, which spares the hand-over
// between threads.
//
// Everything here is touched only with the interpreter lock held; the
// dispatcher thread holds no other lock, so a process forked at any moment
// inherits nothing half-held. A forked child forgets the parent's lanes and
// tickets (it has no such thread) and starts afresh when it submits.
#pragma once
#include <cstdint>
#include <deque>
#include <vector>

#include <pthread.h>
#include <sys/types.h>

#include "runtime/process/ledger.h"
#include "runtime/python/ref.h"

namespace control::dispatch {

enum class TicketState : uint8_t {
  kWaiting,    // in this process, not sent yet
  kSent,       // sent to its lane's worker, not answered yet
  kCancelled,  // cancelled: not sent, or sent and skipped by the worker
  kDone,       // its future is resolved (or is being)
};

// One submitted request; a Python object, so that its future can hold it.
struct Ticket {
  PyObject_HEAD
  PyObject* future;   // until resolved
  PyObject* request;  // until sent
  uint64_t token;     // its time limit's token, 0: none
  double grace;
  uint64_t lane;      // the lane it waits on or was sent to; 0: its pool's queue
  uint64_t tag;       // its tag on the lane's worker, once sent
  double sent_at;
  pid_t pid;          // the process that submitted it
  TicketState state;
};

extern PyTypeObject* ticket_type;

constexpr long kMaxWindow = 64;

struct Lane {
  uint64_t id = 0;
  vr::Ref qi, qo, process, put;
  vr::Book* book = nullptr;
  int reader = -1, sentinel = -1;  // our duplicates of the pipe and sentinel
  uint64_t call = 0;               // the ledger call while busy
  std::deque<Ticket*> in_flight;   // owned references, in tag order
  std::deque<Ticket*> waiting;     // submitted to this worker, not sent yet
  std::vector<uint64_t> pools;     // the pool queues it takes requests from
  bool sending = false;  // a thread is sending to it
  bool reading = false;  // a thread is reading its answers
  bool helper = false;   // ... a thread that waits for a result
  pthread_t helper_thread{};
  bool registered = false;  // its pipe is in the dispatcher's epoll
  bool armed = false;       // ... and will wake it once when readable
  bool watch_interrupts = false;  // an interrupt was sent: look for overdue
  vr::Ref death;         // the WorkerDiedError once its worker has ended
  vr::Ref killed;        // why it was killed, for the futures of its reader
  double estimate = -1;  // seconds one request takes
  long window = 2;
  double last_answer = 0;

  bool busy() const { return call != 0; }
};

struct PoolQueue {
  uint64_t id = 0;
  vr::Ref pool;
  std::deque<Ticket*> waiting;  // owned references
  std::vector<uint64_t> lanes;
};

// A future to resolve once the lanes are in order again (its callbacks run
// code that may change them).
enum class Outcome : uint8_t { kResult, kException, kCancelled };
struct Resolution {
  Ticket* ticket;  // owned
  vr::Ref value;
  Outcome outcome;
};
using Resolutions = std::vector<Resolution>;

// --- the state of this process (dispatch_state.cpp) ---
// getpid(), without a system call each time (reset in a forked child).
pid_t current_pid();
Lane* find_lane(uint64_t id);
Lane* lane_of_queue(PyObject* qo);
void add_lane(Lane* lane);
void remove_lane(Lane* lane);  // forgets and deletes it
PoolQueue* find_pool(uint64_t id);
PoolQueue* pool_queue(PyObject* pool, bool create);  // nullptr: none (or error)
void remove_pool(PoolQueue* queue);
uint64_t new_id();
// Sets up this process's state when needed (the first use, or the first in a
// forked child): -1 with an exception.
int ready();
// Starts the dispatcher thread unless it runs.
int start_thread();
// Has the dispatcher look at the lane's answer pipe (`on`) when it is
// readable, once; off does nothing (a lane's pipe stays registered for its
// life, and an event for a lane with nothing in flight is passed over).
void watch(Lane& lane, bool on);
// A thread waiting for a result reads the lane (the dispatcher passes over
// its events meanwhile), and is done with it.
void claim(Lane& lane);
void unclaim(Lane& lane);
// Has the dispatcher note the end of the lane's worker (once).
int watch_death(Lane& lane);
// Wakes the dispatcher so that it looks at its time-outs again.
void poke();
// Whether the dispatcher waits with no time-out (it will not look at a
// request that becomes overdue unless poked).
bool waiting_forever();
bool in_dispatcher();
// The lanes, for a walk (a snapshot of their ids).
std::vector<uint64_t> lane_ids();
void note_busy(int change);
size_t idle_lanes_over_limit();

// --- lanes (dispatch_lanes.cpp) ---
// The lane of a handle's worker, made on first use; nullptr with an
// exception on error, or with `local` false and none for a handle that is
// not a local worker's (its queues are not this process's to read).
Lane* lane_for(PyObject* handle, bool& local);
// Sends waiting requests to the lane's worker while it has room.
int pump(Lane& lane, Resolutions& done);
// Makes the lane busy (one ledger call): -1 with RuntimeError when its
// worker is in another call.
int begin_busy(Lane& lane);
// Takes the answers that have arrived (the caller has claimed the lane for
// reading).
int drain(Lane& lane, Resolutions& done);
// Takes the answer of the oldest request in flight, waiting for it when
// `wait` (watching for a request that ignores its interrupt): 1 taken (or
// the worker found dead), 0 none, -1 error.
int take_front(Lane& lane, Resolutions& done, bool wait);
// Kills the lane's worker when its running request is overdue: when it is
// next due (monotonic ns, INT64_MAX: never).
int64_t check_overdue(Lane& lane, Resolutions& done);
// Drops idle lanes whose worker has ended or whose handle is gone.
void sweep();
// Notes the end of an idle lane's worker when it has ended.
void note_if_ended(Lane& lane);
void fail_pool(PoolQueue& queue, PyObject* error, Resolutions& done);

// --- tickets and their futures (dispatch_calls.cpp) ---
void collect(Resolutions& done, Ticket* ticket, Outcome outcome, PyObject* value);
// Resolves the futures; an exception that is not an ordinary one (a signal
// handler's) stays raised (-1), ordinary ones go to sys.unraisablehook.
int resolve(Resolutions& done);

}  // namespace control::dispatch
