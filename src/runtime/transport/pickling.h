// Pickling messages as a multiprocessing queue does, and telling early when
// a message could not be sent.
#pragma once
#include "runtime/python/ref.h"

namespace vr {

class OutgoingMessage;

// Values that pickle as they are (str, numbers, bytes, None, and lists,
// tuples and dicts of them), told without pickling them.
bool is_plainly_picklable(PyObject* message);

// The message pickled as the queue pickles it (a bytes-like object).
PyObject* pickle_message(PyObject* message);

// The same, for a message already found plainly picklable (not looked at
// again).
PyObject* pickle_plain_message(PyObject* message);

// The worker's answer pickled as the queue pickles it, with the answer that
// was pickled in `sent`: `answer` itself, or, when it does not pickle, a
// failure answer without the parts that do not, whose error text names each
// returned key left out and the reason. Whatever pickling raises, a
// KeyboardInterrupt or SystemExit from a __reduce__ included, ends up in
// that text instead of being raised: the caller waits for exactly one
// answer. With `outgoing`, the answer is first pickled through it for
// `reader` (large arrays into shared memory).
PyObject* pickle_answer(PyObject* answer, Ref& sent, OutgoingMessage* outgoing = nullptr,
                        PyObject* reader = nullptr);

}  // namespace vr
