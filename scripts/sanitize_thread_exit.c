/* Preloaded into the processes of the sanitizer run, after the sanitizers'
 * own libraries.
 *
 * The interpreter ends a daemon thread that asks for the interpreter lock
 * while the interpreter finalizes with pthread_exit(), which unwinds the
 * thread's stack through whatever frames of our modules it passes.
 * AddressSanitizer learns of the unwinding of exceptions (it intercepts
 * their throw) but not of this one: the red zones of the frames left this
 * way stay poisoned, and the unwinder's own use of that stack then reads as
 * an error, whose report fails ("CHECK failed: asan_thread.cpp"), since the
 * frame there is not one the sanitizer laid out. Telling the sanitizer
 * first that the stack is left, as it is told for an exception, clears
 * them. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

void __asan_handle_no_return(void);

void pthread_exit(void* value) {
  static void (*real)(void*) = NULL;
  if (!real) real = (void (*)(void*))dlsym(RTLD_NEXT, "pthread_exit");
  __asan_handle_no_return();
  real(value);
  __builtin_unreachable();
}
