// Stopping one request of a worker, named by its tag: cancelling it while
// it has not started, interrupting it while it runs.
#include "ledger.h"

namespace control {

int cancel_unstarted(vr::Book* target, uint64_t tag) {
  Book& book = *target;
  if (!book.page) return 0;
  return vr::cancel_unstarted(book.page, tag, passed(book)) ? 1 : 0;
}

int interrupt_tag(vr::Book* target, uint64_t tag) {
  Book& book = *target;
  if (!book.page || !book.page->ready.load() || book.page->serial.load() != tag) return 0;
  // Finding the pid runs code; the signal names the tag, so a request that
  // ended meanwhile is not touched by it.
  long pid = signalable_pid(book.process.get());
  if (pid <= 0) return pid < 0 ? -1 : 0;
  return vr::interrupt_serial(book.page, pid, tag) < 0 ? -1 : 1;
}

}  // namespace control
