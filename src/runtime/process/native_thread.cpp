#include "runtime/process/native_thread.h"

#include <pthread.h>
#include <signal.h>

namespace vr {

int start_native_thread(void* (*run)(void*), void* argument) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int failed = pthread_create(&thread, &attributes, run, argument);
  pthread_attr_destroy(&attributes);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return failed;
}

}  // namespace vr
