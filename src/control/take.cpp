// Taking an answer from a worker's queue for a reader: its own answer (or
// the next one that belongs to no running call), dropping the answers of
// calls that ended early and keeping those of others for later readers,
// while watching the worker for a request that ignores its interrupt.
#include <algorithm>

#include "ledger.h"
#include "runtime/process/liveness.h"
#include "runtime/python/runtime_state.h"

namespace control {

namespace {

using vr::Ref;

// How often a waiting reader looks at the worker's page when it has
// something to watch: an interrupt may come at any time.
constexpr double kCheckEvery = 0.1;

enum class Verdict { kGive, kHold, kDrop };

// Whether the worker marks its answers: without that, an unmarked answer
// may be anyone's, this reader's included.
bool worker_tags(const Book& book) { return book.page && book.page->tags_answers.load(); }

// A held answer for this reader, taken out of the book: 1 with `answer`
// set (new reference), 0 when there is none, -1 when the one held is an
// answer that could not be made (its error is raised).
int from_held(Book& book, vr::Wanted& wanted, Ref& answer) {
  for (auto it = book.held.begin(); it != book.held.end(); ++it) {
    // An unmarked answer is anyone's for a reader of order alone; from a
    // worker that does not mark answers, it is the oldest request's.
    bool mine = wanted.tag == 0 || it->tag == wanted.tag ||
                (it->tag == 0 && (!wanted.only_own ||
                                  (!worker_tags(book) && book.outstanding.oldest() == wanted.tag)));
    if (!mine) continue;
    Held item = *it;
    wanted.got = item.tag;
    wanted.got_call = item.call;
    book.held.erase(it);
    if (wanted.got == 0 && wanted.tag != 0 && !worker_tags(book)) {
      // An unmarked answer taken as this reader's own: its request is
      // answered (a worker that does not mark answers answers in order).
      State state;
      book.outstanding.pass_below(wanted.tag, 0);
      book.outstanding.take_oldest(wanted.tag, state, wanted.got_call);
    }
    if (item.broken) {
      PyErr_SetRaisedException(item.answer);
      return -1;
    }
    answer = Ref::steal(item.answer);
    return 1;
  }
  return 0;
}

// What to do with an answer tagged `tag` (0: unmarked) for this reader;
// `call` is set to the call its request belonged to. Raises (kDrop with
// an exception set) when the reader's own answer was taken by another
// reader.
Verdict judge(Book& book, uint64_t& tag, const vr::Wanted& wanted, uint64_t& call) {
  call = 0;
  // A worker that does not mark its answers answers its requests in order:
  // an answer is the oldest request's.
  if (tag == 0 && !worker_tags(book)) tag = book.outstanding.oldest();
  if (tag == 0) {
    bool mine = wanted.tag == 0 || !wanted.only_own;
    return mine ? Verdict::kGive : Verdict::kHold;
  }
  if (book.outstanding.pass_below(tag, wanted.tag)) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the answer to this request was taken from the worker's answer queue "
                    "by another reader");
    return Verdict::kDrop;
  }
  State state = State::kLive;
  // Not a request this book knows waits: it goes as a live one would.
  book.outstanding.take_oldest(tag, state, call);
  if (state != State::kLive) return Verdict::kDrop;
  return wanted.tag == 0 || wanted.tag == tag ? Verdict::kGive : Verdict::kHold;
}

}  // namespace

int64_t overdue(vr::Book* target, uint64_t token, double own_grace, double* applies) {
  const Book& book = *target;
  double& grace = *applies;
  int64_t due = INT64_MAX;
  if (!book.page) return due;
  if (own_grace >= 0) {
    due = vr::overdue_at(book.page, token, vr::seconds_to_ns(own_grace));
    grace = own_grace;
  }
  if (book.outstanding.any_abandoned()) {
    uint64_t running = book.page->serial.load();
    const Run* run = running && !(running & vr::kLocalSerial) ? book.outstanding.find(running)
                                                             : nullptr;
    if (run && run->state == State::kAbandoned) {
      int64_t at = vr::overdue_at(book.page, 0, vr::seconds_to_ns(run->grace));
      if (at < due) {
        due = at;
        grace = run->grace;
      }
    }
  }
  return due;
}

namespace {

// The bound of the next wait: < 0 for none (nothing to watch), else the
// seconds until the next look at the page. Kills the worker and raises
// (returning -2) when its request is overdue now.
double next_wait(Book& book, PyObject* process, const vr::Wanted& wanted) {
  if (!wanted.wait) return 0;
  if (!book.page || !process || (wanted.grace < 0 && !book.outstanding.any_abandoned()))
    return -1;
  double grace = 0;
  int64_t due = overdue(static_cast<vr::Book*>(&book), wanted.token, wanted.grace, &grace);
  int64_t now = vr::monotonic_ns();
  if (due != INT64_MAX && due <= now) {
    vr::kill_unresponsive(process, grace);
    return -2;
  }
  return due == INT64_MAX ? kCheckEvery : std::min(kCheckEvery, (due - now) / 1e9);
}

}  // namespace

PyObject* take(vr::Book* book, PyObject* qo, PyObject* process, int sentinel,
               vr::Wanted& wanted) {
  Ref held;
  int found = from_held(*book, wanted, held);
  if (found != 0) return found > 0 ? held.release() : nullptr;
  for (;;) {
    double wait = next_wait(*book, process, wanted);
    if (wait == -2) return nullptr;
    vr::AnswerRead read;
    read.timeout = wait;
    read.sentinel = sentinel;
    Ref answer = Ref::steal(vr::read_answer(qo, process, read));
    if (!answer && read.broken) {
      // A message that could not be made: its error is its reader's, and
      // nobody's when its call ended early.
      Ref error = Ref::steal(PyErr_GetRaisedException());
      uint64_t call;
      uint64_t tag = read.tag & ~vr::kCancelledAnswer;
      Verdict verdict = judge(*book, tag, wanted, call);
      if (PyErr_Occurred()) return nullptr;
      if (verdict == Verdict::kGive) {
        PyErr_SetRaisedException(error.release());
        return nullptr;
      }
      if (verdict == Verdict::kHold) hold(*book, tag, call, error.release(), true);
      continue;
    }
    if (!answer) {
      // A signal that came between two waits has its handler run now.
      if (read.timed_out && wanted.wait) {
        if (PyErr_CheckSignals() < 0) return nullptr;
        continue;
      }
      // A worker that ended with nothing left in its queue answers no more.
      if (read.writer_ended) {
        wanted.awaited = wanted.tag == 0            ? book->outstanding.oldest_live()
                         : wanted.tag == UINT64_MAX ? 0
                                                    : wanted.tag;
        book->outstanding.forget_all();
      }
      return nullptr;  // nothing yet (not waiting), or an error
    }
    uint64_t call;
    bool cancelled = (read.tag & vr::kCancelledAnswer) != 0;
    uint64_t tag = read.tag & ~vr::kCancelledAnswer;
    Verdict verdict = judge(*book, tag, wanted, call);
    if (verdict == Verdict::kGive) {
      wanted.got = tag;
      wanted.got_call = call;
      wanted.got_cancelled = cancelled;
      return answer.release();
    }
    if (PyErr_Occurred()) return nullptr;
    if (verdict == Verdict::kHold) hold(*book, tag, call, answer.release());
  }
}

}  // namespace control
