// The ledger: which request each answer belongs to, across every call that
// sends requests to a worker or reads its answers.
//
// Each request that a call of this package sends to a worker (blocked_put,
// map, vorlen.run, vorlen.map) carries a tag, a number unique on that
// worker, and the worker marks its answer with the same tag. The tag
// travels outside the message itself (ahead of the pickled object, or in
// the reconstructor of a message that goes through the queue's put()), so
// a plain qo.get() still returns exactly the worker's answer list. The
// parent keeps, per worker, a book of the tagged requests not yet answered
// and of the call each belongs to; the package's readers take only answers
// of the call they serve, or unmarked ones in order, and drop the answers
// of calls that ended early. A book is keyed by the worker's answer queue
// and lives as long as that queue.
//
// The books and the calls are one set per process, kept by the module
// vorlen._control; the other modules reach them through the function table
// it publishes (loaded on first use).
#pragma once
#include <cstdint>

#include "runtime/python/ref.h"

namespace vr {

struct Book;

// What becomes of a call's requests still unanswered when it ends.
enum class Ending : int {
  // It returned without them (blocked_put gave the older answer of a
  // request put on the queue directly): they run, their answers are
  // dropped as they come.
  kCompleted,
  // It handed them to its caller (map(block=False)): their answers stay
  // for whoever reads the queues next.
  kHanded,
  // It ended early (an exception, a generator that gave fewer requests the
  // second time): those not started never run, the running one is
  // interrupted, and their answers are dropped as they come.
  kAbandoned,
};

// What a reader takes, and what it got.
struct Wanted {
  // The answer to this request. 0: the next answer that belongs to no
  // running call (reduce, as_completed, clear).
  uint64_t tag = 0;
  // With a tag: an unmarked answer (to a request put on the queue
  // directly) is not this one and is kept for a later reader. Without:
  // it is returned, as order alone says (blocked_put).
  bool only_own = false;
  // False: return nullptr with no exception set as soon as nothing wanted
  // has arrived.
  bool wait = true;
  // The caller's own watch of the request the worker runs (run, map): its
  // time-limit token and grace period in seconds, grace < 0 for none.
  uint64_t token = 0;
  double grace = -1;
  // Out: the tag of the answer taken (0: unmarked), the call its request
  // belonged to (0: none running), and whether it is the answer of a
  // request that was cancelled before it started.
  uint64_t got = 0;
  uint64_t got_call = 0;
  bool got_cancelled = false;
  // Out, when the worker has ended with nothing left to take: the tag of
  // the request whose answer this reader was waiting for (its own, or the
  // oldest still due to a reader of the next answer; 0: none known).
  uint64_t awaited = 0;
};

struct LedgerApi {
  // The book of the worker answering on `qo` (borrowed; it lives as long
  // as `qo`), or nullptr when none is kept; with `qi`, only when that is
  // the worker's request queue; with `qo` nullptr, the book of the worker
  // serving `qi`. Never raises.
  Book* (*find)(PyObject* qo, PyObject* qi);
  // Opens the book of a worker just started by a handle, with its request
  // queue `qi`, answer queue `qo` and process (whose page, if any, is
  // registered under `qi` already).
  int (*open)(PyObject* qi, PyObject* qo, PyObject* process);
  // Starts a call on the workers of `books` (nullptr entries skipped): its
  // number, or 0 with RuntimeError when one of them is in a call already.
  uint64_t (*begin)(Book* const* books, size_t count);
  // Adds the worker of `book` to `call`: -1 with RuntimeError when it is
  // in another call.
  int (*join)(uint64_t call, Book* book);
  // Lets the workers of `call` take part in another call meanwhile (a call
  // that collects this one's answers) and takes them back.
  void (*suspend)(uint64_t call);
  void (*resume)(uint64_t call);
  // Ends the call (nothing for 0), keeping the exception being raised.
  void (*end)(uint64_t call, Ending how);
  // The tag of the next request of `call` on the worker of `book`, noted
  // with its time-limit token and grace period (for the later escalation
  // of an abandoned request that ignores its interrupt).
  uint64_t (*tag)(Book* book, uint64_t call, uint64_t token, double grace);
  // A request tagged `tag` was not sent after all, or, with `maybe_queued`
  // (its queue's put() raised), perhaps was: then, from a worker that marks
  // its answers, it is abandoned rather than forgotten, so that its answer,
  // if it comes, is dropped instead of kept for a reader it does not belong
  // to.
  void (*unsent)(Book* book, uint64_t tag, bool maybe_queued);
  // Abandons the requests tagged first..last (whose call will not read
  // their answers): not started, they never run; running, interrupted.
  void (*abandon)(Book* book, uint64_t first, uint64_t last);
  // clear_output: drops the answers the book holds and marks those of the
  // requests handed to the caller to be dropped as they come.
  void (*clear)(Book* book);
  // Takes an answer from `qo` (written by `process`, watched through
  // `sentinel` when >= 0, looked up when -1; nullptr: not watched).
  PyObject* (*take)(Book* book, PyObject* qo, PyObject* process, int sentinel, Wanted& wanted);
  // Notes a message read from `qo` by other means (its tag), and whether
  // it is to be dropped: 1 drop, 0 keep.
  int (*settle)(Book* book, uint64_t tag);
  // Puts answers a reader took but could not hand over back in front of
  // what the book holds, in their order: `taken` is a list of (tag, call,
  // answer) tuples, as Wanted's got, got_call and the answer.
  int (*give_back)(Book* book, PyObject* taken);
  // When the request the worker of `book` runs becomes overdue (monotonic
  // ns, INT64_MAX for never): by the caller's own watch (time-limit
  // `token`, `grace` seconds; grace < 0 for none), or as an abandoned
  // request that ignores its interrupt. `applies` is set to the grace
  // period that makes it due.
  int64_t (*overdue)(Book* book, uint64_t token, double grace, double* applies);
  // Whether the book holds an answer for a reader of the next answer.
  bool (*holds_answers)(Book* book);
  // Abandons the oldest `count` answers still due to readers of the next
  // answer (as_completed ending early): held ones are dropped, requests
  // not answered yet are abandoned.
  void (*abandon_due)(Book* book, size_t count);
  // The tag that unpickling a put()-sent message carried in this thread,
  // forgetting it (0: none).
  uint64_t (*loaded_tag)();
  // What the queue's put() pickles into the message marked with `tag`: the
  // message `pickled` (its bytes), or else the object `item` that put()
  // would be given for it (kept, not pickled ahead: a stand-in for shared
  // memory settles its segments when the queue pickles it).
  PyObject* (*tagged)(uint64_t tag, PyObject* item, bool pickled);
  // Takes back request `tag` of the running call, queued behind the one
  // the worker runs, to send it elsewhere: 1 when it will never run there
  // (its answer, a cancellation, is dropped); 0 when it was left alone (the
  // worker may have reached it); 2 when that cannot be told (the worker may
  // be about to start it): it stays, and its answer comes back as the
  // request's own or as a cancellation (got_cancelled).
  int (*withdraw)(Book* book, uint64_t tag);
  // What the worker of `book` runs (its page's serial: 0 for nothing,
  // kLocalSerial set for a request put on the queue directly) and the tag
  // of the newest request it has begun; once it has ended, what they were
  // when it ended. Both 0 without a page.
  void (*progress)(Book* book, uint64_t* running, uint64_t* started);
  // Names what `call` is, for the RuntimeError that a call meeting one of
  // its workers raises: `busy` (static text) replaces the usual message.
  void (*label)(uint64_t call, const char* busy);
  // Cancels the request tagged `tag` only if its worker has not started
  // it: 1 when it never runs (its answer, marked as cancelled, still comes
  // to its call's reader), 0 when it may have started or cannot be
  // cancelled (nothing changes then).
  int (*cancel_unstarted)(Book* book, uint64_t tag);
  // Interrupts the request tagged `tag` if the worker runs it now: 1 sent,
  // 0 not running, -1 with an exception on an unexpected error.
  int (*interrupt_tag)(Book* book, uint64_t tag);
};
constexpr const char* kLedgerCapsule = "vorlen._control._ledger";

// The table, loaded on first use from the module object that importing
// vorlen._control returns; nullptr with the exception set when it cannot
// be loaded (the next call tries again).
const LedgerApi* ledger();

// The book of `qo` and `qi` (either may be nullptr, as for find) if the
// ledger is loaded or can be, else nullptr; a failure to load is an error
// (-1), no book is not.
int find_book(PyObject* qo, PyObject* qi, Book*& book);

// A call as a scope: begins on construction (check ok()), ends when it
// goes out of scope as kAbandoned unless finish() said otherwise.
class CallScope {
 public:
  CallScope(const LedgerApi* api, Book* const* books, size_t count);
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
  ~CallScope();

  // False when the call could not begin (RuntimeError is set).
  bool ok() const { return call_ != 0; }
  uint64_t id() const { return call_; }
  void finish(Ending how);

 private:
  const LedgerApi* api_;
  uint64_t call_ = 0;
};

// The answer to the one request of `call`, tagged `wanted.tag`, taken from
// `qo` as `wanted` says; the call then ends as completed. On an error the
// request `w` is named in it when it is the one the worker runs.
PyObject* take_answer(CallScope& call, Book* book, PyObject* qo, PyObject* process,
                      Wanted& wanted, PyObject* w);

}  // namespace vr
