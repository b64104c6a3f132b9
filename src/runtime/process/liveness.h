// Keeping callers from waiting for ever on a worker that has died.
#pragma once
#include <cstdint>

#include "runtime/python/ref.h"

namespace vr {

// Notes a worker process that a handle has just started with its request
// queue `qi`, answer queue `qo` and the name it was given: `process`
// becomes the watched writer of `qo` (when both are the real
// multiprocessing objects), is killed at interpreter exit if it is still
// alive then, and gets its book in the ledger.
int register_worker(PyObject* process, PyObject* qi, PyObject* qo, PyObject* name);

// Notes that this package is about to kill `process`, so that its death is
// not taken for the kernel's doing, with `reason` (a str, or nullptr) for
// whichever thread reports its death. Never raises an ordinary exception.
int note_killed(PyObject* process, PyObject* reason = nullptr);

// The registered writer process of `queue` (new reference), or nullptr
// (with an exception set only on error) when there is none.
PyObject* registered_writer(PyObject* queue);

// The worker process of `handle` (its attribute `proc_name`) when it is
// still the one its handle registered as the writer of `qo`: only then is
// it watched. Sets `process` (left empty otherwise); -1 on error.
int watched_process(PyObject* handle, PyObject* qo, PyObject* proc_name, Ref& process);

// queue.get(), woken also by the death of `process` (nullptr: a plain get).
// Raises vorlen.WorkerDiedError when the process ended with no message left.
PyObject* get_answer(PyObject* queue, PyObject* process);

// One message of an answer queue, with what the ledger needs to know of it.
struct AnswerRead {
  double timeout = -1;  // seconds for its first byte to come; < 0: no limit
  int sentinel = -1;    // the writer's sentinel; -1: looked up from the process
  uint64_t tag = 0;         // out: the message's tag, 0: none
  bool timed_out = false;   // out: nothing came in time (no exception is set)
  bool writer_ended = false;  // out: WorkerDiedError: the writer ended, nothing is left
  // out: a whole message left the queue but could not be made into its
  // object (unpickling failed, no memory for it): that error is raised,
  // and `tag` is the message's
  bool broken = false;
};
// As get_answer, bounded by `read.timeout` and telling the message's tag.
PyObject* read_answer(PyObject* queue, PyObject* process, AnswerRead& read);

// Raises vorlen.WorkerDiedError for `process`, which has ended or is
// ending; `detail` (or nullptr) replaces the error's usual message.
PyObject* raise_worker_died(PyObject* process, PyObject* detail = nullptr);

// The WorkerDiedError being raised, if that is what is being raised, gets
// the request its worker was running when it ended: its position in its
// batch (-1 for none) and the request itself (nullptr when not known; the
// request inside a time-limit envelope stands for the envelope). Whatever
// is being raised stays.
void name_running_request(Py_ssize_t position, PyObject* request);

// Kills `process` and raises WorkerDiedError saying that its request did
// not answer within `grace` seconds of its interrupt or time limit.
PyObject* kill_unresponsive(PyObject* process, double grace);

// The same, for a caller that already holds the process's sentinel.
PyObject* get_answer_watching(PyObject* queue, PyObject* process, int sentinel);

// The sentinel of `process`; kClosedProcess when it has none because its
// process object was closed (or never started: it will not answer either),
// -1 when it has none for another reason, -2 with an exception set.
constexpr int kClosedProcess = -3;
int process_sentinel(PyObject* process);

}  // namespace vr
