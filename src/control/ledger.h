// The ledger's books and calls (see runtime/process/ledger.h for what they
// are for), as this module keeps them: once per process.
//
// Invariants of a book:
// - `outstanding` holds the tagged requests sent to the worker whose
//   answers no reader of this process has seen, in tag order (the order in
//   which the worker takes and answers them).
// - An answer tagged t arriving means every request tagged below t was
//   answered before: their answers were taken by a reader that cannot tell
//   (a plain qo.get()), and they go.
// - `held` holds answers a reader took off the queue that belonged to
//   someone else (a request put on the queue directly, a batch handed to
//   the caller), oldest first; an answer of a call that ended early is
//   never held.
// - `call` is nonzero exactly while a call is in progress on the worker;
//   its requests are the newest ones, from `call_first` on.
#pragma once
#include <cstdint>
#include <deque>

#include "outstanding.h"
#include "runtime/process/control_page.h"
#include "runtime/process/ledger.h"
#include "runtime/python/ref.h"

namespace control {

struct Held {
  uint64_t tag;  // 0: unmarked
  uint64_t call;
  PyObject* answer;  // owned; the exception to raise when `broken`
  bool broken = false;  // an answer that could not be made
};

struct Book {
  PyObject* qo = nullptr;  // the key; the book goes when qo does
  vr::Ref watch;           // weak reference to qo that drops the book
  vr::Ref requests;        // weak reference to the worker's request queue
  vr::Ref process;         // the worker's process, as its handle registered it
  vr::Ref page_owner;      // keeps `page` mapped
  vr::ControlPage* page = nullptr;
  uint64_t last_tag = 0;
  Outstanding outstanding;
  std::deque<Held> held;
  uint64_t call = 0;
  uint64_t call_first = 0;  // the call's first tag on this worker, 0: none yet
  unsigned long thread = 0;
};

// The tag below which no request of the worker can start any more.
uint64_t passed(const Book& book);

// Holds `answer` (new reference taken) for a later reader; with `broken`,
// the exception its reading raised instead.
int hold(Book& book, uint64_t tag, uint64_t call, PyObject* answer, bool broken = false);

// The pid of a started process that has not been reaped and catches the
// interrupt signal (so that it is a worker ready for it), or 0; -1 with an
// exception on an error other than an ordinary one.
long signalable_pid(PyObject* process);

// The function table published as vorlen._control._ledger.
extern const vr::LedgerApi ledger_api;

// Parts of the table, defined with the code they belong to.
PyObject* take(vr::Book* book, PyObject* qo, PyObject* process, int sentinel,
               vr::Wanted& wanted);
int64_t overdue(vr::Book* book, uint64_t token, double grace, double* applies);
uint64_t loaded_tag();
PyObject* tagged(uint64_t tag, PyObject* item, bool pickled);
int cancel_unstarted(vr::Book* book, uint64_t tag);
int interrupt_tag(vr::Book* book, uint64_t tag);

// Makes what the tagged messages need (the reconstructor and the stand-in
// type); called when the module executes.
int make_tagging(PyObject* dict);

}  // namespace control

namespace vr {
// The opaque type of the public header is this module's book.
struct Book : control::Book {};
}  // namespace vr
