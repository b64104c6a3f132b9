// The worker module: the serving loop that runs in every worker process, the
// capture object it fills, and the parent-side handle of one worker.
#pragma once
#include "runtime/python/call.h"
#include "runtime/python/function.h"

namespace tamsel {

extern vr::ModuleState state;

// Interned names and constants, made once when the module executes.
#define TAMSEL_NAMES(X)                                                    \
  X(Empty) X(KeyboardInterrupt) X(Process) X(Queue) X(SIGINT) X(_HandleContent) \
  X(args) X(clear) X(clear_queue) X(empty) X(end) X(format_exc) X(get)     \
  X(is_alive) X(kill) X(mp) X(pid) X(print_content) X(proc) X(put) X(qi)   \
  X(qo) X(queue) X(return_content) X(setproctitle) X(signal)               \
  X(sigint_handler) X(start) X(stop) X(tamsel_main) X(target) X(timeout)   \
  X(traceback) X(update) X(xprint) X(xreturn)

struct Names {
#define TAMSEL_DECLARE(n) PyObject* n;
  TAMSEL_NAMES(TAMSEL_DECLARE)
#undef TAMSEL_DECLARE
  PyObject* builtins_key;  // "__builtins__"
  PyObject* empty_str;
  PyObject* status_success;    // "SUCCESS"
  PyObject* status_exception;  // "EXCEPTION"
  PyObject* cancelled_info;    // the error text of a cancelled request's answer
  PyObject* poll_timeout;  // the float 0.1
  PyObject* timeout_kwnames;  // ("timeout",)
  PyObject* process_kwnames;  // ("target", "args")
};
extern Names names;
extern PyObject* keyboard_interrupt;  // the builtin, fetched at load

// Module-level name looked up at the moment of use (new reference).
inline PyObject* global(PyObject* name) { return vr::lookup_global(state, name); }
using vr::call_method;

// Function definitions, one per Python-visible function.
extern const vr::FunctionDef clear_queue_def, sigint_handler_def, tamsel_main_def;
extern const vr::FunctionDef capture_init_def, capture_xprint_def,
    capture_clear_def, capture_xreturn_def;
extern const vr::FunctionDef handle_init_def, handle_blocked_put_def,
    handle_kill_def, handle_clear_output_def;

}  // namespace tamsel
