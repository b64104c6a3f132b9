// reduce: one answer from each queue of a list, in the list's order.
//
// On a worker's answer queue, each answer is taken through the ledger: the
// next answer that belongs to no running call (answers of calls that ended
// early are dropped on the way). When the walk fails half-way (an
// interrupt, a dead worker), the answers it took go back in front of their
// workers' queues, so that reading the batch again gives every answer in
// its place; a dead worker's WorkerDiedError tells which positions were on
// it and the answers taken before it.
#include <vector>

#include "corvane.h"
#include "runtime/process/ledger.h"
#include "runtime/process/liveness.h"
#include "runtime/python/runtime_state.h"

namespace corvane {

namespace {

using vr::Ref;

// What the walk took, per position, to give back if it fails.
struct Taken {
  vr::Book* book;
  uint64_t tag;
  uint64_t call;
};

// A worker's answer queue met before in the walk: its writer and book.
struct Known {
  Ref queue;  // held: no other object can take its address during the walk
  Ref writer;
  vr::Book* book;  // lives as long as the queue
};

struct Walk {
  const vr::LedgerApi* api;
  uint64_t call = 0;
  std::vector<Taken> taken;
  std::vector<Known> known;  // few: one per worker of the batch
  // The worker whose end stopped the walk, and the request the walk awaited
  // of it then.
  vr::Book* ended = nullptr;
  uint64_t awaited = 0;
};

// The writer and book of `queue`, looked up once per walk.
const Known* known_queue(Walk& walk, PyObject* queue) {
  for (const Known& known : walk.known)
    if (known.queue.get() == queue) return &known;
  Ref writer = Ref::steal(vr::registered_writer(queue));
  if (!writer && PyErr_Occurred()) return nullptr;
  vr::Book* book = writer ? walk.api->find(queue, nullptr) : nullptr;
  if (book && walk.api->join(walk.call, book) < 0) return nullptr;
  walk.known.push_back({Ref::borrow(queue), writer, book});
  return &walk.known.back();
}

// element.get(); for an answer queue that a worker handle created, the wait
// also watches that worker, so a dead worker raises instead of hanging.
PyObject* take_answer(Walk& walk, PyObject* queue) {
  const Known* known = known_queue(walk, queue);
  if (!known) return nullptr;
  // Held while the element is read: the list may drop it meanwhile.
  Ref writer = known->writer;
  vr::Book* book = known->book;
  PyObject* answer;
  vr::Wanted wanted;
  if (book) {
    answer = walk.api->take(book, queue, writer.get(), -1, wanted);
    if (!answer) {
      walk.ended = book;
      walk.awaited = wanted.awaited;
    }
  }
  else if (writer)
    answer = vr::get_answer(queue, writer.get());
  else
    answer = call_method(queue, names.get);
  if (answer) walk.taken.push_back({book, wanted.got, wanted.got_call});
  return answer;
}

// Gives the answers taken back to their books, the oldest in front; the
// exception being raised stays.
void give_back(Walk& walk, PyObject* answers) {
  vr::SavedError raised;
  for (size_t i = 0; i < walk.taken.size(); ++i) {
    vr::Book* book = walk.taken[i].book;
    if (!book) continue;
    // All of this book's answers at once, in order, and only once.
    Ref mine = Ref::steal(PyList_New(0));
    if (!mine) break;
    for (size_t j = i; j < walk.taken.size(); ++j) {
      if (walk.taken[j].book != book) continue;
      Ref entry = Ref::steal(Py_BuildValue("(KKO)", walk.taken[j].tag, walk.taken[j].call,
                                           PyList_GET_ITEM(answers, j)));
      if (!entry || PyList_Append(mine.get(), entry.get()) < 0) break;
      if (j > i) walk.taken[j].book = nullptr;
    }
    if (PyErr_Occurred() || walk.api->give_back(book, mine.get()) < 0) break;
  }
  PyErr_Clear();
  raised.restore();
}

// After a WorkerDiedError at position `failed`: the answers of the later
// positions that have arrived already from the other workers are taken too,
// in order, without waiting (they go back with the rest, and tell the
// caller what was done).
void take_arrived(Walk& walk, PyObject* items, Py_ssize_t failed, PyObject* answers) {
  PyObject* dead = PySequence_Fast_GET_ITEM(items, failed);
  Ref error = Ref::steal(PyErr_GetRaisedException());
  std::vector<Taken> skipped;  // queues that had nothing: later ones wait behind them
  for (Py_ssize_t i = failed; i < PySequence_Fast_GET_SIZE(items); ++i) {
    PyObject* queue = PySequence_Fast_GET_ITEM(items, i);
    vr::Book* book = queue == dead ? nullptr : walk.api->find(queue, nullptr);
    bool blocked = !book;
    for (const Taken& other : skipped) blocked = blocked || other.book == book;
    if (blocked) {
      skipped.push_back({book, 0, 0});
      if (PyList_Append(answers, Py_None) < 0) break;
      walk.taken.push_back({nullptr, 0, 0});
      continue;
    }
    vr::Wanted wanted;
    wanted.wait = false;
    Ref answer = Ref::steal(walk.api->take(book, queue, nullptr, -1, wanted));
    if (!answer) {
      PyErr_Clear();
      skipped.push_back({book, 0, 0});
    }
    if (PyList_Append(answers, answer ? answer.get() : Py_None) < 0) break;
    walk.taken.push_back({answer ? book : nullptr, wanted.got, wanted.got_call});
  }
  PyErr_Clear();
  PyErr_SetRaisedException(error.release());
}

// A WorkerDiedError raised at `failed` gets the positions of `red` that
// stand for the dead worker's queue from there on, and the answers taken.
void describe_death(PyObject* items, Py_ssize_t failed, PyObject* answers) {
  PyObject* queue = PySequence_Fast_GET_ITEM(items, failed);
  Ref error = Ref::steal(PyErr_GetRaisedException());
  Py_ssize_t count = PyList_GET_SIZE(answers);
  Ref positions = Ref::steal(PyList_New(0));
  Ref collected = Ref::steal(PyList_GetSlice(answers, 0, count));
  bool ok = positions && collected;
  for (Py_ssize_t i = failed; ok && i < PySequence_Fast_GET_SIZE(items); ++i) {
    if (PySequence_Fast_GET_ITEM(items, i) != queue) continue;
    Ref number = Ref::steal(PyLong_FromSsize_t(i));
    ok = number && PyList_Append(positions.get(), number.get()) == 0;
  }
  if (ok && PyObject_SetAttrString(error.get(), "positions", positions.get()) == 0)
    PyObject_SetAttrString(error.get(), "answers", collected.get());
  PyErr_Clear();
  PyErr_SetRaisedException(error.release());
}

// The WorkerDiedError raised at position `failed` names that position as
// the request its worker was running, when it was the one the walk awaited.
void name_awaited(const Walk& walk, Py_ssize_t failed) {
  if (!walk.ended || walk.awaited == 0) return;
  uint64_t running, started;
  walk.api->progress(walk.ended, &running, &started);
  if (running == walk.awaited) vr::name_running_request(failed, nullptr);
}

// Whether the exception being raised is vorlen.WorkerDiedError.
bool worker_died() {
  const vr::RuntimeState* rt = vr::runtime();
  if (!rt) {
    PyErr_Clear();
    return false;
  }
  return PyErr_ExceptionMatches(rt->died_error);
}

// The walk over a list or tuple, by index (re-reading the size: a get()
// may run code that changes it).
PyObject* reduce_sequence(Walk& walk, PyObject* red) {
  Ref answers = Ref::steal(PyList_New(0));
  if (!answers) return nullptr;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(red); ++i) {
    Ref queue = Ref::borrow(PySequence_Fast_GET_ITEM(red, i));
    Ref answer = Ref::steal(take_answer(walk, queue.get()));
    if (!answer || PyList_Append(answers.get(), answer.get()) < 0) {
      if (answer) walk.taken.pop_back();
      bool died = worker_died() && i < PySequence_Fast_GET_SIZE(red);
      if (died) take_arrived(walk, red, i, answers.get());
      give_back(walk, answers.get());
      if (died) {
        describe_death(red, i, answers.get());
        name_awaited(walk, i);
      }
      return nullptr;
    }
  }
  return answers.release();
}

PyObject* reduce_iterable(Walk& walk, PyObject* red) {
  Ref answers = Ref::steal(PyList_New(0));
  if (!answers) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(red));
  if (!iterator) return nullptr;
  while (Ref queue = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref answer = Ref::steal(take_answer(walk, queue.get()));
    if (!answer || PyList_Append(answers.get(), answer.get()) < 0) {
      if (answer) walk.taken.pop_back();
      give_back(walk, answers.get());
      return nullptr;
    }
  }
  if (PyErr_Occurred()) {
    give_back(walk, answers.get());
    return nullptr;
  }
  return answers.release();
}

PyObject* reduce(PyObject* const* a) {
  PyObject* red = a[0];
  Walk walk;
  if (!(walk.api = vr::ledger())) return nullptr;
  vr::CallScope call(walk.api, nullptr, 0);
  if (!call.ok()) return nullptr;
  walk.call = call.id();
  Ref answers = Ref::steal(PyList_CheckExact(red) || PyTuple_CheckExact(red)
                               ? reduce_sequence(walk, red)
                               : reduce_iterable(walk, red));
  // The walk sends nothing: however it ended, no request is its to settle.
  call.finish(vr::Ending::kCompleted);
  return answers.release();
}

const char* const reduce_params[] = {"red"};

// Line of the definition in the module's source, as traceback entries show it.
constexpr int kReduceLine = 12;

}  // namespace

const vr::FunctionDef reduce_def = {
    .name = "reduce",
    .qualname = "reduce",
    .traceback = "vorlen.corvane.reduce",
    .body = reduce,
    .params = reduce_params,
    .argcount = 1,
    .line = kReduceLine,
};

}  // namespace corvane
