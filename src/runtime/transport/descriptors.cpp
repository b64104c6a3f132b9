#include "runtime/transport/descriptors.h"
#include "runtime/python/gil.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <poll.h>
#include <time.h>

namespace vr {

double monotonic_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

int milliseconds_until(double deadline) {
  double left = deadline - monotonic_seconds();
  if (left == INFINITY) return -1;
  if (!(left > 0)) return 0;
  double milliseconds = std::ceil(left * 1000);
  return milliseconds < INT_MAX ? static_cast<int>(milliseconds) : INT_MAX;
}

int poll_released(pollfd* fds, nfds_t count, int timeout_ms, bool& interrupted,
                  Signals signals) {
  int ready;
  Py_BEGIN_ALLOW_THREADS
  ready = poll(fds, count, timeout_ms);
  VR_END_ALLOW_THREADS
  interrupted = false;
  for (nfds_t i = 0; ready > 0 && i < count; ++i) {
    if (fds[i].revents & POLLNVAL) {  // not an open descriptor
      errno = EBADF;
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
  }
  if (ready >= 0) return ready;
  if (errno != EINTR) {
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  if (signals == Signals::kRun && PyErr_CheckSignals() < 0) return -1;
  interrupted = true;
  return 0;
}

int descriptor_of(PyObject* obj) {
  // An int, or what fileno() returns; a negative or too large number raises
  // as os.read() would instead of being taken for an error or cut short.
  return PyObject_AsFileDescriptor(obj);
}

int descriptor_or_none(PyObject* obj, const char* attribute) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, attribute));
  int fd = value ? descriptor_of(value.get()) : -1;
  if (fd >= 0) return fd;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -2;
  PyErr_Clear();
  return -1;
}

int wait_readable(int first, int second, bool& first_ready, bool& second_ready,
                  Signals signals) {
  for (;;) {
    pollfd fds[2] = {{first, POLLIN, 0}, {second, POLLIN, 0}};
    bool interrupted;
    if (poll_released(fds, 2, -1, interrupted, signals) < 0) return -1;
    if (interrupted) continue;
    first_ready = fds[0].revents != 0;
    second_ready = fds[1].revents != 0;
    return 0;
  }
}

int wait_readable_within(int first, int second, double seconds, bool& first_ready,
                         bool& second_ready) {
  double deadline = monotonic_seconds() + seconds;
  for (;;) {
    pollfd fds[2] = {{first, POLLIN, 0}, {second, POLLIN, 0}};
    bool interrupted;
    int ready = poll_released(fds, 2, milliseconds_until(deadline), interrupted);
    if (ready < 0) return -1;
    if (interrupted || (ready == 0 && monotonic_seconds() < deadline)) continue;
    first_ready = fds[0].revents != 0;
    second_ready = fds[1].revents != 0;
    return ready > 0 ? 1 : 0;
  }
}

int wait_readable_for(int fd, double seconds) {
  double deadline = monotonic_seconds() + seconds;
  for (;;) {
    pollfd check = {fd, POLLIN, 0};
    bool interrupted;
    int ready = poll_released(&check, 1, milliseconds_until(deadline), interrupted);
    if (ready < 0) return -1;
    if (interrupted || (ready == 0 && monotonic_seconds() < deadline)) continue;
    return ready > 0 ? 1 : 0;
  }
}

bool readable_now(int fd) {
  pollfd check = {fd, POLLIN, 0};
  return poll(&check, 1, 0) > 0 && check.revents != 0;
}

}  // namespace vr
