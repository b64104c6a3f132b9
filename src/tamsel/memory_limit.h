// The worker's side of the limit on its resident memory (set by the parent
// on the page they share): before a request it turns the request away when
// it is above the limit, after a request it notes that it passed it, and
// while a request runs a native thread ends it when it passes it (see
// runtime/process/memory_watch.h).
#pragma once
#include "runtime/process/control_page.h"

namespace tamsel::memory_limit {

// Before request `tag` runs: whether it must be turned away because the
// worker is above its limit (now, or after an earlier request: it then
// runs nothing more until it is replaced). Starts the watch of running
// requests the first time the page asks for it. -1 with an exception.
int refuses(vr::ControlPage* page, bool& refused);

// After a request ran (its own exception, if any, being raised): when the
// worker is above its limit now, adds a warning line to the capture
// object's printed text and retires the worker. The exception being raised
// stays, and an ordinary error of the warning is dropped; -1 when the
// warning raised another kind of exception (then set) with none before.
int after_request(vr::ControlPage* page, PyObject* pc);

// The error text of the answer to a request turned away (new reference).
PyObject* refusal_text(const vr::ControlPage* page);

}  // namespace tamsel::memory_limit
