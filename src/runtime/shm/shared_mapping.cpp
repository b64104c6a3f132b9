#include "runtime/shm/shared_mapping.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <vector>

#include "runtime/python/runtime_state.h"
#include "runtime/shm/mapping_cache.h"
#include "runtime/shm/message_refs.h"
#include "runtime/python/gil.h"

namespace vr::shm {

namespace {

// The data of one use of a segment, exposed through the buffer protocol.
struct MappedBuffer {
  PyObject_HEAD
  Held held;
  Py_ssize_t size;
  bool readonly;  // exported read-only: the sender's object was
};

int mapped_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* mapped = reinterpret_cast<MappedBuffer*>(self);
  return PyBuffer_FillInfo(view, self, mapped->held.data, mapped->size, mapped->readonly, flags);
}

void mapped_dealloc(PyObject* self) {
  release_use(reinterpret_cast<MappedBuffer*>(self)->held);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* mapped_repr(PyObject* self) {
  auto* mapped = reinterpret_cast<MappedBuffer*>(self);
  return PyUnicode_FromFormat("<shared memory of %zd bytes>", mapped->size);
}

PyType_Slot mapped_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(mapped_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mapped_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(mapped_repr)},
    {Py_tp_doc, const_cast<char*>("Data of a shared-memory segment, mapped (writable unless "
                                  "sent read-only); released for its sender when the object "
                                  "is freed.")},
    {0, nullptr},
};
PyType_Spec mapped_spec = {"vorlen._sharedmem.SharedMemory", sizeof(MappedBuffer), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           mapped_slots};

// The segments of one message, mapped before the rest of it is unpickled.
struct Claim {
  PyObject_HEAD
  std::vector<Held>* held;
};

void claim_dealloc(PyObject* self) {
  auto* claim = reinterpret_cast<Claim*>(self);
  if (claim->held) {
    for (const Held& held : *claim->held)
      if (still_claimed(held)) release_use(held);
    delete claim->held;
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

ClaimCall claim_call = nullptr;

PyObject* claim_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!claim_call) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not callable", Py_TYPE(self)->tp_name);
    return nullptr;
  }
  if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "a claim takes no keyword arguments");
    return nullptr;
  }
  return claim_call(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
}

PyType_Slot claim_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(claim_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(claim_tp_call)},
    {Py_tp_doc, const_cast<char*>("The shared-memory segments of a message being unpickled; "
                                  "those not taken by its objects are released with it. "
                                  "Called, it opens one of the message's arrays.")},
    {0, nullptr},
};
PyType_Spec claim_spec = {"vorlen._sharedmem.Claim", sizeof(Claim), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, claim_slots};

// A type made on first use, retried after a failure.
PyTypeObject* made_type(PyObject*& type, PyType_Spec* spec) {
  if (!type) type = PyType_FromSpec(spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

// The segment cannot be had because its sender has ended: the error the
// waits for a dead worker raise.
void raise_sender_ended(pid_t pid) {
  const RuntimeState* rt = runtime();
  if (!rt) return;
  Ref detail = Ref::steal(PyUnicode_FromFormat(
      "process %d ended before the shared memory holding this message's data was read",
      static_cast<int>(pid)));
  if (!detail) return;
  Ref error = Ref::steal(PyObject_CallFunction(rt->died_error, "iOO", static_cast<int>(pid),
                                               Py_None, detail.get()));
  if (error) PyErr_SetObject(rt->died_error, error.get());
}

void raise_unavailable(const SegmentRef& ref, const char* why, int error) {
  PyErr_Format(PyExc_OSError,
               "the shared memory of process %d holding this message's data %s%s%s "
               "(VORLEN_SHM_THRESHOLD=off sends everything through the pipe)",
               static_cast<int>(ref.pid), why, error ? ": " : "",
               error ? std::strerror(error) : "");
}

// Raises the error for `outcome`. A descriptor that has gone is usually
// that of a sender being killed (its descriptors close before it is a
// zombie): waits a moment for that.
void raise_failure(const SegmentRef& ref, const Outcome& outcome) {
  switch (outcome.failure) {
    case Failure::kSenderGoing:
      if (sender_ends_within(ref, 0.2))
        raise_sender_ended(ref.pid);
      else
        raise_unavailable(ref, "is no longer there", 0);
      return;
    case Failure::kSenderEnded: raise_sender_ended(ref.pid); return;
    case Failure::kGone: raise_unavailable(ref, "is no longer there", 0); return;
    case Failure::kNoMemory:
      PyErr_Format(PyExc_MemoryError,
                   "no room to map the %llu bytes of shared memory holding this message's data",
                   static_cast<unsigned long long>(ref.size));
      return;
    case Failure::kCannotMap: raise_unavailable(ref, "cannot be mapped", outcome.error); return;
    case Failure::kRaised: return;
    default: raise_unavailable(ref, "cannot be opened", outcome.error); return;
  }
}

Held hold_or_raise(const SegmentRef& ref, Use use) {
  Outcome outcome;
  Held held = hold_use(ref, use, outcome);
  if (held.entry) return held;
  // Reached but not mapped here: released all the same, for its sender.
  if (outcome.failure == Failure::kNoMemory || outcome.failure == Failure::kCannotMap ||
      (outcome.failure == Failure::kCannotOpen && short_of_descriptors(outcome.error)))
    release_unmapped(ref);
  raise_failure(ref, outcome);
  return held;
}

}  // namespace

PyTypeObject* mapped_buffer_type() {
  static PyObject* type = nullptr;
  return made_type(type, &mapped_spec);
}

PyTypeObject* claim_type() {
  static PyObject* type = nullptr;
  return made_type(type, &claim_spec);
}

void set_claim_call(ClaimCall call) { claim_call = call; }

PyObject* claim_segments(PyObject* packed) {
  PyTypeObject* type = claim_type();
  if (!type) return nullptr;
  if (!PyBytes_Check(packed)) {
    PyErr_SetString(PyExc_TypeError, "claim() takes the packed references as bytes");
    return nullptr;
  }
  std::vector<SegmentRef> refs;
  if (!unpack_claim(PyBytes_AS_STRING(packed), PyBytes_GET_SIZE(packed), refs)) {
    PyErr_SetString(PyExc_ValueError, "not a claim's packed references");
    return nullptr;
  }
  auto* claim = PyObject_New(Claim, type);
  if (!claim) {
    for (const SegmentRef& ref : refs) release_unmapped(ref);
    return nullptr;
  }
  claim->held = new (std::nothrow) std::vector<Held>();
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(claim));
  if (!claim->held) {
    for (const SegmentRef& ref : refs) release_unmapped(ref);
    return PyErr_NoMemory();
  }
  claim->held->reserve(refs.size());
  for (size_t i = 0; i < refs.size(); ++i) {
    Held held = hold_or_raise(refs[i], Use::kClaimed);
    if (!held.entry) {
      // Those claimed so far are released with the claim; those not
      // reached, here.
      for (size_t j = i + 1; j < refs.size(); ++j) release_unmapped(refs[j]);
      return nullptr;
    }
    claim->held->push_back(held);
  }
  return owner.release();
}

PyObject* take_segment(const SegmentRef& ref, bool readonly) {
  PyTypeObject* type = mapped_buffer_type();
  if (!type) return nullptr;
  Held held = hold_or_raise(ref, Use::kInUse);
  if (!held.entry) return nullptr;
  auto* mapped = PyObject_New(MappedBuffer, type);
  if (!mapped) {
    release_use(held);
    return nullptr;
  }
  mapped->held = held;
  mapped->size = static_cast<Py_ssize_t>(ref.size);
  mapped->readonly = readonly;
  // In an object that a forked child may inherit: so must the mapping be.
  expose_to_children(held);
  return reinterpret_cast<PyObject*>(mapped);
}

PyObject* copy_segment(const SegmentRef& ref) {
  Held held = hold_or_raise(ref, Use::kCopying);
  if (!held.entry) return nullptr;
  Ref copy = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(ref.size)));
  if (!copy) {
    release_use(held);
    return nullptr;
  }
  // The bytearray is new and ours alone: it can be filled without the lock.
  // The mapping being copied is not inherited by a child forked meanwhile.
  char* into = PyByteArray_AS_STRING(copy.get());
  Py_BEGIN_ALLOW_THREADS
  // Fresh memory faulted in 4 KiB pages costs more than copying into it: a
  // large bytearray's buffer asks for huge pages, as numpy does for its
  // arrays (transparent huge pages are often given only to memory that
  // asks).
  constexpr uintptr_t kHuge = 2 << 20;
  uintptr_t from = (reinterpret_cast<uintptr_t>(into) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(into) + ref.size) & ~(kHuge - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
  std::memcpy(into, held.data, ref.size);
  VR_END_ALLOW_THREADS
  release_use(held);
  return copy.release();
}

int release_unread(const char* pickled, size_t size) {
  std::vector<SegmentRef> refs;
  find_claims(pickled, size, refs);
  int released = 0;
  for (const SegmentRef& ref : refs) released += release_unmapped(ref);
  return released;
}

}  // namespace vr::shm
