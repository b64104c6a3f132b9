// Sending large arrays through shared memory, as seen from the modules that
// send messages. The machinery and its state live once per process in the
// module vorlen._sharedmem; the other modules reach it through the table of
// functions it publishes, loaded on first use.
#pragma once
#include "runtime/python/ref.h"

#include <cstdint>

namespace vr {

struct SharedMemoryApi {
  // `message` pickled as the queue pickles it, except that large numpy
  // arrays, bytearrays and PickleBuffers are copied into shared memory and
  // pickled as references to it (and smaller PickleBuffers as copies).
  // `reader` is the pid of the process that will read the message, or the
  // queue it travels on (its reader is then looked up among the queues of
  // the worker handles). Segments made are pending until settle(); `batch`
  // is set to the number naming them, 0 when none was made. `rewritten` is
  // set when the message holds objects that the queue's own pickling would
  // not have sent that way (or not at all).
  PyObject* (*pickle)(PyObject* message, PyObject* reader, uint64_t* batch, bool* rewritten);
  // The segments of `batch` were sent, or were not (they are closed).
  void (*settle)(uint64_t batch, bool sent);
  // Notes what the readers did with the segments, closing those no longer
  // needed (rate-limited).
  void (*sweep)();
  // Whether this process holds segments, or descriptors of their readers.
  bool (*holds_anything)();
  // An object that the queue's put() pickles into `pickled` again, for a
  // message whose segments are already made.
  PyObject* (*wrap)(PyObject* pickled);
};
constexpr const char* kSharedMemoryCapsule = "vorlen._sharedmem._api";

// The pickled form of one message on its way to a queue. Its segments are
// closed again unless sent() is called.
class OutgoingMessage {
 public:
  OutgoingMessage() = default;
  OutgoingMessage(const OutgoingMessage&) = delete;
  OutgoingMessage& operator=(const OutgoingMessage&) = delete;
  ~OutgoingMessage();

  // New reference to the pickled message, or nullptr with an exception.
  PyObject* pickle(PyObject* message, PyObject* reader);
  // What to hand the queue's put() instead of writing `pickled`: the
  // message itself, or, when it has segments or was rewritten, a wrapper
  // that put() pickles into the same message.
  PyObject* for_put(PyObject* message, PyObject* pickled);
  void sent();

 private:
  const SharedMemoryApi* api_ = nullptr;
  uint64_t batch_ = 0;  // the segments made for this message, if any
  bool rewritten_ = false;  // its pickle is not what put() would make
};

// Closes the segments that are no longer needed, if this process ever made
// any. Cheap when there are none: called after every answer received and
// every cycle of the worker loop.
void sweep_shared_memory();

}  // namespace vr
