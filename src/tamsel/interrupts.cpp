// Interrupting the running request: the signal handler, the interpreter-
// level handler it triggers, and the bookkeeping of which request runs.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/syscall.h>
#include <ctime>
#include <unistd.h>

#include "runtime/process/control_page.h"
#include "interrupts.h"
#include "memory_limit.h"

namespace tamsel::interrupts {

namespace {

using vr::Ref;

enum Cause : int { kInterrupted = 1, kTimeLimit = 2 };

// Read and written by the signal handler: lock-free atomics only.
std::atomic<uint64_t> running{0};  // serial of the running request, 0: none
std::atomic<uint64_t> pending{0};  // serial an arrived interrupt is meant for
std::atomic<int> pending_cause{0};
std::atomic<long> main_tid{0};     // the thread that serves requests

uint64_t last_serial = 0;
// The KeyboardInterrupt last raised for a request, and that request's
// serial, so that code which must drop whatever it catches can still let
// this one through. Held until the request ends, so that no other object
// can take its address meanwhile.
PyObject* raised_exception = nullptr;
uint64_t raised_serial = 0;
sigset_t startup_mask;             // the signal mask requests start with
bool installed = false;            // in this process
pid_t installed_in = 0;
vr::ControlPage* page = nullptr;
PyObject* page_owner = nullptr;    // keeps `page` mapped

long current_tid() { return syscall(SYS_gettid); }

// An interrupt that arrives after the interpreter's last check and before
// a blocking call enters the kernel (time.sleep, a lock, a read) is only
// seen when that call returns. So while an interrupt is pending and its
// request still runs, the signal comes again every few milliseconds from
// a timer of its own, which breaks such a call (EINTR), and the
// interpreter checks again. Its signals carry the marker's address.
char repeat_marker;
timer_t repeat_timer;
pid_t repeat_owner = 0;  // the process that made the timer (timers do not survive fork)
constexpr long kRepeatNs = 5'000'000;

bool is_repeat(const siginfo_t* info) {
  return info->si_code == SI_TIMER && info->si_value.sival_ptr == &repeat_marker;
}

// Async-signal-safe.
void arm_repeat() {
  if (repeat_owner != getpid()) return;
  itimerspec when{};
  when.it_value.tv_nsec = kRepeatNs;
  timer_settime(repeat_timer, 0, &when, nullptr);
}

void make_repeat_timer(long tid) {
  if (repeat_owner == getpid()) return;
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = vr::interrupt_signal();
  event.sigev_value.sival_ptr = &repeat_marker;
  event._sigev_un._tid = static_cast<pid_t>(tid);
  // Without it interrupts work as before, only without the repeats.
  if (timer_create(CLOCK_MONOTONIC, &event, &repeat_timer) == 0) repeat_owner = getpid();
}

// Hands a signal that reached another thread on to the serving thread,
// keeping what it carries (the kernel takes a sender's own siginfo only for
// the codes below; the others carry nothing worth keeping).
void forward(int signum, siginfo_t* info, long tid) {
  if (info->si_code == SI_QUEUE || info->si_code == SI_TIMER)
    syscall(SYS_rt_tgsigqueueinfo, getpid(), tid, signum, info);
  else
    syscall(SYS_tgkill, getpid(), tid, signum);
}

// The signal handler. It decides at arrival which request the signal is
// meant for: an interrupt sent with sigqueue names the serial the parent
// saw running; the timer counts only for the request it was armed for;
// a plain kill means whatever runs now. Only then is the interpreter told.
void on_signal(int signum, siginfo_t* info, void*) {
  int saved_errno = errno;
  long tid = main_tid.load();
  if (tid != 0 && current_tid() != tid) {
    forward(signum, info, tid);
  } else if (is_repeat(info)) {
    uint64_t serial = pending.load();
    if (serial != 0 && serial == running.load()) {
      PyErr_SetInterruptEx(signum);
      arm_repeat();
    }
  } else if (uint64_t serial = running.load()) {
    bool meant = false;
    int cause = kInterrupted;
    if (info->si_code == SI_QUEUE) {
      meant = reinterpret_cast<uintptr_t>(info->si_value.sival_ptr) == serial;
    } else if (info->si_code == SI_TIMER) {
      meant = time_limit::expired_for(serial);
      cause = kTimeLimit;
    } else {
      meant = true;
    }
    if (meant) {
      pending_cause.store(cause);
      pending.store(serial);
      PyErr_SetInterruptEx(signum);
      arm_repeat();
    }
  }
  errno = saved_errno;
}

// Runs in the interpreter at its next check: raises KeyboardInterrupt when
// the request the signal was meant for is still the one running.
PyObject* on_trip(PyObject*, PyObject* const*, Py_ssize_t) {
  uint64_t serial = pending.exchange(0);
  if (serial == 0 || serial != running.load()) Py_RETURN_NONE;
  Ref text = Ref::steal(pending_cause.load() == kTimeLimit
                            ? time_limit::message()
                            : PyUnicode_FromString("the request was interrupted"));
  if (!text) return nullptr;
  PyErr_SetObject(PyExc_KeyboardInterrupt, text.get());
  PyObject* raised = PyErr_GetRaisedException();
  Py_XSETREF(raised_exception, Py_XNewRef(raised));
  raised_serial = serial;
  PyErr_SetRaisedException(raised);
  return nullptr;
}

PyMethodDef on_trip_def = {"_interrupt_request",
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_trip)),
                           METH_FASTCALL, nullptr};

// Registers on_trip with the interpreter's signal module (the C module, so
// that whatever stands in for `signal` in the worker module sees nothing),
// then puts on_signal in front of the interpreter's own handler. Only the
// main thread may do so: elsewhere interrupts stay off.
int install() {
  installed = false;
  static PyObject* handler = nullptr;  // made once; a failure raises again next time
  if (!handler && !(handler = PyCFunction_New(&on_trip_def, nullptr))) return -1;
  Ref module = Ref::steal(PyImport_ImportModule("_signal"));
  if (!module) return -1;
  Ref previous = Ref::steal(
      PyObject_CallMethod(module.get(), "signal", "iO", vr::interrupt_signal(), handler));
  if (!previous) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    PyErr_Clear();  // not the main thread
    return 0;
  }
  struct sigaction action {};
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  if (sigaction(vr::interrupt_signal(), &action, nullptr) < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  installed = true;
  installed_in = getpid();
  make_repeat_timer(main_tid.load());
  return 0;
}

}  // namespace

int start(PyObject* qi) {
  running.store(0);
  pending.store(0);
  main_tid.store(current_tid());
  pthread_sigmask(SIG_SETMASK, nullptr, &startup_mask);
  if (install() < 0) return -1;
  page = nullptr;
  Py_CLEAR(page_owner);
  if (!installed) return 0;
  page_owner = vr::find_control_page(qi, page);
  if (!page_owner) return PyErr_Occurred() ? -1 : 0;
  page->serial.store(0);
  page->tags_answers.store(1);
  page->ready.store(1);
  return 0;
}

PyObject* begin(PyObject* request, uint64_t tag, Skipped& skipped) {
  skipped = Skipped::kNo;
  pthread_sigmask(SIG_SETMASK, &startup_mask, nullptr);
  time_limit::Limit limit;
  Ref items = Ref::steal(time_limit::unwrap(request, limit));
  if (!items) return nullptr;
  // Before it shows as running, so that the watch of running requests
  // never takes a request turned away for one that passed the limit.
  bool refused;
  if (memory_limit::refuses(page, refused) < 0) return nullptr;
  if (refused) {
    skipped = Skipped::kRefused;
    Py_RETURN_NONE;
  }
  uint64_t serial = tag != 0 ? tag : (++last_serial | vr::kLocalSerial);
  // Running first, the page after (release: a parent that reads this
  // serial from the page sees the fields before it, and the handler finds
  // the request running).
  running.store(serial, std::memory_order_release);
  if (page) {
    page->token.store(limit.token, std::memory_order_relaxed);
    page->deadline_ns.store(limit.seconds ? limit.deadline_ns : 0, std::memory_order_relaxed);
    page->serial.store(serial);
    // Only after the serial is out: a parent cancelling it now either is
    // seen here or sees it running (and interrupts it).
    bool cancelled = false;
    if (tag != 0) {
      cancelled = vr::is_cancelled(page, tag);
      page->decided.store(cancelled ? tag | vr::kCancelledAnswer : tag);
    }
    if (cancelled) {
      end();
      skipped = Skipped::kCancelled;
      Py_RETURN_NONE;
    }
    // From here on it counts as run, whatever becomes of it.
    if (tag != 0) page->started.store(tag);
  }
  // Without the handler the timer's signal would end the process.
  bool timed = limit.seconds && installed && installed_in == getpid();
  if (timed && time_limit::arm(serial, limit, main_tid.load()) < 0) {
    end();
    return nullptr;
  }
  return items.release();
}

bool is_own_interrupt(PyObject* exception) {
  return exception != nullptr && exception == raised_exception &&
         raised_serial != 0 && raised_serial == running.load();
}

vr::ControlPage* shared_page() { return page; }

void end() {
  Py_CLEAR(raised_exception);
  raised_serial = 0;
  running.store(0, std::memory_order_release);
  if (page) page->serial.store(0, std::memory_order_release);
  time_limit::disarm();
}

}  // namespace tamsel::interrupts
