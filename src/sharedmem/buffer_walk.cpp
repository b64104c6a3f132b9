#include "buffer_walk.h"

#include <array>
#include <cstdint>

namespace vr::shm {

namespace {

// A set of object addresses (open addressing, linear probing): the walk
// looks up every container it meets, so this must cost a few nanoseconds,
// and nothing is allocated for the few containers of a small message.
class AddressSet {
 public:
  AddressSet() { inline_.fill(nullptr); }
  AddressSet(const AddressSet&) = delete;
  AddressSet& operator=(const AddressSet&) = delete;

  // Whether `p` was not in the set yet.
  bool insert(PyObject* p) {
    if ((used_ + 1) * 2 > capacity_) grow();
    size_t mask = capacity_ - 1;
    for (size_t i = slot_of(p, mask);; i = (i + 1) & mask) {
      if (slots_[i] == p) return false;
      if (!slots_[i]) {
        slots_[i] = p;
        ++used_;
        return true;
      }
    }
  }

 private:
  static constexpr size_t kInline = 64;
  static size_t slot_of(PyObject* p, size_t mask) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(p) >> 4) * 0x9e3779b97f4a7c15ULL) &
           mask;
  }
  void grow() {
    std::vector<PyObject*> old(slots_, slots_ + capacity_);
    heap_.assign(capacity_ * 4, nullptr);
    slots_ = heap_.data();
    capacity_ = heap_.size();
    used_ = 0;
    for (PyObject* p : old)
      if (p) insert(p);
  }
  std::array<PyObject*, kInline> inline_;
  std::vector<PyObject*> heap_;
  PyObject** slots_ = inline_.data();
  size_t capacity_ = kInline;
  size_t used_ = 0;
};

// A stack of objects held inline while it is small: a small message's walk
// allocates nothing.
class SmallStack {
 public:
  bool empty() const { return size_ == 0; }
  void push(PyObject* p) {
    if (size_ < kInline)
      inline_[size_] = p;
    else
      heap_.push_back(p);
    ++size_;
  }
  PyObject* pop() {
    --size_;
    if (size_ < kInline) return inline_[size_];
    PyObject* p = heap_.back();
    heap_.pop_back();
    return p;
  }

 private:
  static constexpr size_t kInline = 32;
  std::array<PyObject*, kInline> inline_;
  std::vector<PyObject*> heap_;
  size_t size_ = 0;
};

// One walk. Reads the objects as they are: nothing here runs Python code,
// so nothing can change them meanwhile (reading an envelope's slot calls
// no code of the message's).
class Walk {
 public:
  Walk(long long min_bytearray, PyObject* envelope, std::vector<Ref>& found)
      : min_bytearray_(min_bytearray), envelope_(envelope), found_(found) {}

  int run(PyObject* message) {
    consider(message);
    while (!pending_.empty() && !failed_) {
      PyObject* container = pending_.pop();
      walk_items(container);
    }
    return failed_ ? -1 : 0;
  }

 private:
  // Notes `obj` if it is wanted, queues it if it is a container not seen.
  void consider(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    // The common items of a message first, before any bookkeeping.
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyUnicode_Type ||
        type == &PyBytes_Type || obj == Py_None || type == &PyBool_Type)
      return;
    bool container = type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type ||
                     type == &PySet_Type || type == &PyFrozenSet_Type;
    bool wanted = type == &PyPickleBuffer_Type ||
                  (type == &PyByteArray_Type && min_bytearray_ >= 0 &&
                   PyByteArray_GET_SIZE(obj) >= min_bytearray_);
    if (type == reinterpret_cast<PyTypeObject*>(envelope_)) {
      consider_envelope(obj);
      return;
    }
    if (!container && !wanted) return;
    if (container && Py_SIZE(obj) == 0 && type != &PyDict_Type && type != &PySet_Type &&
        type != &PyFrozenSet_Type)
      return;  // an empty list or tuple
    if (!seen_.insert(obj)) return;
    if (wanted)
      found_.push_back(Ref::borrow(obj));
    else
      pending_.push(obj);
  }

  // The request of a time-limit envelope: its class is ours, with slots, so
  // reading the slot runs no Python code. Kept alive for the walk.
  void consider_envelope(PyObject* envelope) {
    static PyObject* name = PyUnicode_InternFromString("request");
    Ref request = Ref::steal(name ? PyObject_GetAttr(envelope, name) : nullptr);
    if (!request) {
      // An envelope without its request holds nothing to find.
      if (name && PyErr_ExceptionMatches(PyExc_AttributeError))
        PyErr_Clear();
      else
        failed_ = true;
      return;
    }
    consider(request.get());
    held_.push_back(std::move(request));
  }

  void walk_items(PyObject* container) {
    PyTypeObject* type = Py_TYPE(container);
    if (type == &PyList_Type || type == &PyTuple_Type) {
      Py_ssize_t n = PySequence_Fast_GET_SIZE(container);
      PyObject** items = PySequence_Fast_ITEMS(container);
      for (Py_ssize_t i = 0; i < n; ++i) consider(items[i]);
    } else if (type == &PyDict_Type) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(container, &pos, &key, &value)) {
        consider(key);
        consider(value);
      }
    } else {
      walk_set(container);
    }
  }

#if PY_VERSION_HEX >= 0x030D0000
  // 3.13 keeps the set's own entry walk private. The set's iterator runs no
  // Python code either, and the set keeps each item alive after the
  // iterator's reference is dropped, as the entry walk leaves it borrowed.
  void walk_set(PyObject* set) {
    Ref items = Ref::steal(PyObject_GetIter(set));
    if (!items) {
      failed_ = true;
      return;
    }
    while (PyObject* key = PyIter_Next(items.get())) {
      Py_DECREF(key);
      consider(key);
    }
    if (PyErr_Occurred()) failed_ = true;
  }
#else
  void walk_set(PyObject* set) {
    Py_ssize_t pos = 0;
    PyObject* key;
    Py_hash_t hash;
    while (_PySet_NextEntry(set, &pos, &key, &hash)) consider(key);
  }
#endif

  long long min_bytearray_;
  PyObject* envelope_;
  std::vector<Ref>& found_;
  std::vector<Ref> held_;           // requests taken out of envelopes
  bool failed_ = false;             // an exception is set
  SmallStack pending_;              // containers still to walk
  AddressSet seen_;                 // containers queued and objects found
};

}  // namespace

int find_buffers(PyObject* message, long long min_bytearray, PyObject* envelope,
                 std::vector<Ref>& found) {
  return Walk(min_bytearray, envelope, found).run(message);
}

}  // namespace vr::shm
