// The books of the workers and the calls in progress: what each request
// belongs to and what becomes of it when its call ends.
#include <algorithm>
#include <unordered_map>
#include <vector>

#include <pthread.h>

#include "control.h"
#include "ledger.h"
#include "runtime/python/runtime_state.h"
#include "runtime/transport/queue_pipe.h"

namespace control {

namespace {

using vr::Ref;

// Containers hold types of this file only, so that their code stays inside
// the module instead of being exported as shared template code.
struct KeyHash {
  size_t operator()(PyObject* key) const { return std::hash<PyObject*>()(key); }
};
struct Member {
  vr::Book* book;
  Ref queue;         // the book's qo, held so that the book lives
  uint64_t first;    // the book's call_first while the call is suspended
};
// A call in progress, in a slot that is used again once it has ended (its
// member list keeps its room): a call costs no allocation once the calls of
// a process have found their slots.
struct CallRecord {
  uint64_t call = 0;  // 0: a free slot
  std::vector<Member> members;
  const char* busy = nullptr;  // what another call meeting it is told, if set
};

std::unordered_map<PyObject*, vr::Book*, KeyHash> books;       // by answer queue
std::unordered_map<PyObject*, vr::Book*, KeyHash> by_requests;  // by request queue
std::deque<CallRecord> calls;  // a deque: a slot stays where it is while others are added
uint64_t last_call = 0;

CallRecord* record_of(uint64_t call) {
  for (CallRecord& record : calls)
    if (record.call == call) return &record;
  return nullptr;
}

CallRecord& free_record(uint64_t call) {
  CallRecord* record = record_of(0);
  if (!record) record = &calls.emplace_back();
  record->call = call;
  record->busy = nullptr;
  return *record;
}

unsigned long this_thread() { return static_cast<unsigned long>(pthread_self()); }

void release_held(std::deque<Held>& held) {
  std::deque<Held> dropped;
  dropped.swap(held);
  for (Held& item : dropped) Py_DECREF(item.answer);
}

void delete_book(vr::Book* book) {
  release_held(book->held);
  delete book;
}

// The weak reference's callback: the answer queue is going, and its book
// with it.
PyObject* drop_book(PyObject*, PyObject* reference) {
  for (auto it = books.begin(); it != books.end(); ++it) {
    if (it->second->watch.get() != reference) continue;
    vr::Book* book = it->second;
    books.erase(it);
    for (auto other = by_requests.begin(); other != by_requests.end(); ++other) {
      if (other->second != book) continue;
      by_requests.erase(other);
      break;
    }
    delete_book(book);
    break;
  }
  Py_RETURN_NONE;
}

PyMethodDef drop_book_def = {"_drop_book", drop_book, METH_O, nullptr};

vr::Book* find(PyObject* qo, PyObject* qi) {
  auto& table = qo ? books : by_requests;
  auto found = table.find(qo ? qo : qi);
  if (found == table.end()) return nullptr;
  vr::Book* book = found->second;
  if (qi && !vr::refers_to(book->requests.get(), qi)) return nullptr;
  return book;
}

int open(PyObject* qi, PyObject* qo, PyObject* process) {
  static PyObject* callback = nullptr;
  if (!callback && !(callback = PyCFunction_New(&drop_book_def, nullptr))) return -1;
  if (books.count(qo)) return 0;
  // Tags travel only on the real queues' own paths.
  int real = vr::is_multiprocessing_queue(qi);
  if (real > 0) real = vr::is_multiprocessing_queue(qo);
  if (real <= 0) return real;
  auto* book = new vr::Book;
  book->qo = qo;
  book->process = Ref::borrow(process);
  book->watch = Ref::steal(PyWeakref_NewRef(qo, callback));
  if (!book->watch) {
    delete_book(book);
    // A queue that takes no weak references keeps no book: its answers
    // are matched by order alone.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  book->requests = Ref::steal(PyWeakref_NewRef(qi, nullptr));
  if (!book->requests) {
    delete_book(book);
    return -1;
  }
  book->page_owner = Ref::steal(vr::find_control_page(qi, book->page));
  if (!book->page_owner && PyErr_Occurred()) {
    delete_book(book);
    return -1;
  }
  books.emplace(qo, book);
  by_requests[qi] = book;
  return 0;
}

PyObject* busy_error(const vr::Book& book) {
  const CallRecord* record = record_of(book.call);
  if (record && record->busy) {
    PyErr_SetString(PyExc_RuntimeError, record->busy);
    return nullptr;
  }
  PyErr_SetString(PyExc_RuntimeError,
                  book.thread == this_thread()
                      ? "a call on this worker (or its pool) is already in progress in this "
                        "thread: it was called again from a callback or a signal handler of "
                        "that call, which goes on"
                      : "a call on this worker (or its pool) is already in progress in another "
                        "thread: a worker serves one call at a time");
  return nullptr;
}

// Marks `book` as in `call`.
void enter(vr::Book* book, uint64_t call, CallRecord& record) {
  book->call = call;
  book->call_first = 0;
  book->thread = this_thread();
  record.members.push_back({book, Ref::borrow(book->qo), 0});
}

uint64_t begin(vr::Book* const* list, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (list[i] && list[i]->call != 0) {
      busy_error(*list[i]);
      return 0;
    }
  }
  uint64_t call = ++last_call;
  CallRecord& record = free_record(call);
  for (size_t i = 0; i < count; ++i)
    if (list[i] && list[i]->call != call) enter(list[i], call, record);  // a pool may list a worker twice
  return call;
}

int join(uint64_t call, vr::Book* book) {
  if (book->call == call) return 0;
  if (book->call != 0) {
    busy_error(*book);
    return -1;
  }
  CallRecord* record = record_of(call);
  if (record) enter(book, call, *record);
  return 0;
}

void suspend(uint64_t call) {
  CallRecord* record = record_of(call);
  if (!record) return;
  for (Member& member : record->members) {
    member.first = member.book->call_first;
    if (member.book->call == call) member.book->call = 0;
  }
}

void resume(uint64_t call) {
  CallRecord* record = record_of(call);
  if (!record) return;
  for (Member& member : record->members) {
    member.book->call = call;
    member.book->call_first = member.first;
    member.book->thread = this_thread();
  }
}

uint64_t tag(vr::Book* book, uint64_t call, uint64_t, double grace) {
  uint64_t tag = ++book->last_tag;
  book->outstanding.add(tag, call, static_cast<float>(grace));
  if (book->call == call && book->call_first == 0) book->call_first = tag;
  return tag;
}

void abandon(vr::Book* book, uint64_t first, uint64_t last);

void unsent(vr::Book* book, uint64_t tag, bool maybe_queued) {
  if (maybe_queued && book->page && book->page->tags_answers.load()) {
    abandon(book, tag, tag);
    return;
  }
  book->outstanding.remove_newest(tag);
  if (book->call_first == tag) book->call_first = 0;
}

// Cancels the tags of `spans` on the worker and interrupts the one it runs
// if it is among them; the exception being raised stays.
void stop_requests(Book& book, const Spans& spans) {
  if (!book.page || spans.empty()) return;
  vr::SavedError raised;
  uint64_t below = passed(book);
  for (const Span& span : spans) vr::cancel_tags(book.page, span.first, span.last, below);
  uint64_t running = book.page->serial.load();
  bool stopped = false;
  for (const Span& span : spans) stopped = stopped || (running >= span.first && running <= span.last);
  if (stopped && book.page->ready.load()) {
    long pid = signalable_pid(book.process.get());
    if (pid > 0 && vr::interrupt_serial(book.page, pid, running) < 0) PyErr_Clear();
    if (pid < 0) PyErr_Clear();
  }
  raised.restore();
}

// Answers of `call` that a reader took and held go with it.
void drop_held_of(Book& book, uint64_t call) {
  std::deque<Held> kept, dropped;
  for (Held& item : book.held) (item.tag != 0 && item.call == call ? dropped : kept).push_back(item);
  book.held.swap(kept);
  for (Held& item : dropped) Py_DECREF(item.answer);
}

// What `how` makes of the requests of `call` on one worker.
void settle_call(Book& book, uint64_t call, vr::Ending how) {
  if (book.call == call) book.call = 0;
  uint64_t first = book.call_first;
  book.call_first = 0;
  if (how == vr::Ending::kAbandoned) drop_held_of(book, call);
  if (first == 0) return;
  State state = how == vr::Ending::kHanded      ? State::kLive
                : how == vr::Ending::kAbandoned ? State::kAbandoned
                                                : State::kDropped;
  Spans spans = book.outstanding.settle_call(call, first, state);
  if (how == vr::Ending::kAbandoned) stop_requests(book, spans);
}

void abandon(vr::Book* book, uint64_t first, uint64_t last) {
  stop_requests(*book, book->outstanding.mark(first, last, State::kAbandoned));
}

void end(uint64_t call, vr::Ending how) {
  if (call == 0) return;
  CallRecord* record = record_of(call);
  if (!record) return;
  vr::SavedError raised;
  // By index: settling may run code (the interrupt's look-up of a process)
  // that makes calls of its own, which take other slots; this one stays.
  for (size_t i = 0; i < record->members.size(); ++i)
    settle_call(*record->members[i].book, call, how);
  // Cleared while the slot is still taken: releasing the last reference
  // to a queue runs code, which may begin calls of its own.
  record->members.clear();
  record->call = 0;
  raised.restore();
}

void clear(vr::Book* book) {
  release_held(book->held);
  book->outstanding.mark_all_live(State::kDropped);
}

int settle(vr::Book* book, uint64_t tag) {
  tag &= ~vr::kCancelledAnswer;
  if (tag == 0) return 0;
  book->outstanding.pass_below(tag, 0);
  State state;
  uint64_t call;
  return book->outstanding.take_oldest(tag, state, call) && state != State::kLive ? 1 : 0;
}

int give_back(vr::Book* book, PyObject* taken) {
  Py_ssize_t count = PyList_GET_SIZE(taken);
  std::deque<Held> back;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PyList_GET_ITEM(taken, i);
    uint64_t tag = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(pair, 0));
    uint64_t call = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(pair, 1));
    if (PyErr_Occurred()) {
      for (Held& item : back) Py_DECREF(item.answer);
      return -1;
    }
    back.push_back({tag, call, Py_NewRef(PyTuple_GET_ITEM(pair, 2)), false});
  }
  book->held.insert(book->held.begin(), back.begin(), back.end());
  return 0;
}

bool holds_answers(vr::Book* book) { return !book->held.empty(); }

// Whether `serial` (read from the page) says the worker runs a tagged
// request below `tag`, so that it has not reached `tag` yet.
bool runs_before(uint64_t serial, uint64_t tag) {
  return serial != 0 && !(serial & vr::kLocalSerial) && serial < tag;
}

int withdraw(vr::Book* book, uint64_t tag) {
  if (!book->page || !runs_before(book->page->serial.load(), tag)) return 0;
  vr::cancel_tags(book->page, tag, tag, passed(*book));
  // Still before it once the cancellation is out: the worker will see it
  // when it gets there. Otherwise it may have started meanwhile.
  if (!runs_before(book->page->serial.load(), tag)) return 2;
  book->outstanding.mark(tag, tag, State::kDropped);
  return 1;
}

void label(uint64_t call, const char* busy) {
  if (CallRecord* record = record_of(call)) record->busy = busy;
}

void abandon_due(vr::Book* book, size_t count) {
  while (count > 0 && !book->held.empty()) {
    Py_DECREF(book->held.front().answer);
    book->held.pop_front();
    --count;
  }
  if (count > 0) stop_requests(*book, book->outstanding.mark_oldest_live(count, State::kAbandoned));
}

void progress(vr::Book* book, uint64_t* running, uint64_t* started) {
  *running = book->page ? book->page->serial.load() : 0;
  *started = book->page ? book->page->started.load() : 0;
}

}  // namespace

uint64_t passed(const Book& book) {
  uint64_t running = book.page->serial.load();
  uint64_t below = book.outstanding.oldest();
  if (below == 0) below = book.last_tag + 1;
  if (running != 0 && !(running & vr::kLocalSerial)) below = std::max(below, running);
  return below;
}

int hold(Book& book, uint64_t tag, uint64_t call, PyObject* answer, bool broken) {
  book.held.push_back({tag, call, answer, broken});
  return 0;
}

const vr::LedgerApi ledger_api = {
    .find = find,
    .open = open,
    .begin = begin,
    .join = join,
    .suspend = suspend,
    .resume = resume,
    .end = end,
    .tag = tag,
    .unsent = unsent,
    .abandon = abandon,
    .clear = clear,
    .take = take,
    .settle = settle,
    .give_back = give_back,
    .overdue = overdue,
    .holds_answers = holds_answers,
    .abandon_due = abandon_due,
    .loaded_tag = loaded_tag,
    .tagged = tagged,
    .withdraw = withdraw,
    .progress = progress,
    .label = label,
    .cancel_unstarted = cancel_unstarted,
    .interrupt_tag = interrupt_tag,
};

}  // namespace control
