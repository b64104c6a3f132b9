// Pickling messages as a multiprocessing queue does, and telling early when
// a message could not be sent.
#pragma once
#include "ref.h"

namespace vr {

// Values that pickle as they are (str, numbers, bytes, None, and lists,
// tuples and dicts of them), told without pickling them.
bool is_plainly_picklable(PyObject* message);

// The message pickled as the queue pickles it (a bytes-like object).
PyObject* pickle_message(PyObject* message);

// Raises the pickling error in the caller when `message` cannot be sent
// through a multiprocessing queue. Plain data is accepted without pickling.
int check_picklable(PyObject* message);

// The worker's answer as it can be sent: `answer` itself, or a failure
// answer without the returned values that cannot be pickled, whose error
// text names each such key and the reason.
PyObject* sendable_answer(PyObject* answer);

}  // namespace vr
