// Sending large arrays through shared memory, as seen from the modules that
// send messages. The machinery and its state live once per process in the
// module vorlen._sharedmem; the other modules reach it through the table of
// functions it publishes, loaded on first use.
#pragma once
#include "runtime/python/ref.h"

#include <cstddef>
#include <cstdint>

namespace vr {

struct SharedMemoryApi {
  // `message` pickled as the queue pickles it, except that large numpy
  // arrays, bytearrays and PickleBuffers are copied into shared memory and
  // pickled as references to it (and smaller PickleBuffers as copies).
  // `reader` is the queue the message travels on (its reader is then
  // looked up among the queues of the worker handles), or the pid of this
  // process's parent, which reads a worker's answers. Segments made are pending until settle(); `batch`
  // is set to the number naming them, 0 when none was made. `rewritten` is
  // set when the message holds objects that the queue's own pickling would
  // not have sent that way (or not at all).
  PyObject* (*pickle)(PyObject* message, PyObject* reader, uint64_t* batch, bool* rewritten);
  // The pending segments of `batch` were sent, or were not (they are
  // closed).
  void (*settle)(uint64_t batch, bool sent);
  // Notes what the readers did with the segments, closing those no longer
  // needed (rate-limited).
  void (*sweep)();
  // Whether this process holds segments or mappings, or pidfds of peers.
  bool (*holds_anything)();
  // An object that the queue's put() pickles into `pickled` again, for a
  // message whose segments (those of `batch`, or none when 0) are already
  // made. The object settles them itself: as sent once it has been pickled
  // (by the queue's sending thread: the message is then on its way), as not
  // sent when it is freed without ever having been pickled (put() raised
  // before it queued the message, or the queue dropped it). So whether the
  // message went out is decided by what the queue holds, not by whether
  // put() raised.
  PyObject* (*wrap)(PyObject* pickled, uint64_t batch);
  // For a message that was read from a pipe but will never be unpickled
  // (say, a request whose caller cancelled it): releases the segments it
  // names, as unpickling it would have once done with them, so that their
  // sender may reuse or close them. `pickled` is the message as read, the
  // whole frame without its length header; the references are found in it
  // wherever they sit (also in a message nested in another as bytes, as a
  // message wrapped for put() is). Segments of a sender that has ended are
  // gone already. Returns the number of segments released, never raises,
  // runs no Python code; call it with the interpreter lock held.
  int (*release_unread)(const char* pickled, size_t size);
  // A thread of this process has ended a wait for a message; called
  // without the interpreter lock, runs no Python code.
  void (*wait_ended)();
};
constexpr const char* kSharedMemoryCapsule = "vorlen._sharedmem._api";

// The function table, loaded on first use: nullptr with an exception when
// vorlen._sharedmem cannot be imported (the next call tries again).
const SharedMemoryApi* shared_memory_api();

// The pickled form of one message on its way to a queue. Its segments are
// closed again unless sent() is called, or the object from for_put() has
// taken them over.
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
  // that put() pickles into the same message (and that settles the
  // segments from then on, see SharedMemoryApi::wrap).
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
