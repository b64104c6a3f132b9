#include "plain_writer.h"

#include <algorithm>
#include <new>
#include <vector>

namespace vr::shm {

namespace {

// Deeper messages are left to the pickler (which also has a limit).
constexpr int kDeepest = 64;

bool is_scalar(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  return obj == Py_None || type == &PyBool_Type || type == &PyLong_Type ||
         type == &PyFloat_Type || type == &PyUnicode_Type || type == &PyBytes_Type;
}

bool is_container(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  return type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type;
}

// The first pass: whether `obj` is made only of what is written here, and
// where its containers and arrays are (to find any reached twice). Runs no
// Python code and allocates no Python object.
class Survey {
 public:
  explicit Survey(PyObject* array_type) : array_type_(array_type) {}

  bool plain(PyObject* obj, int depth) {
    if (is_scalar(obj)) return true;
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) == array_type_) {
      reached_.push_back(obj);
      ++arrays_;
      return true;
    }
    if (!is_container(obj) || depth >= kDeepest) return false;
    reached_.push_back(obj);
    if (PyDict_CheckExact(obj)) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(obj, &pos, &key, &value))
        if (!plain(key, depth + 1) || !plain(value, depth + 1)) return false;
      return true;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
    PyObject** items = PySequence_Fast_ITEMS(obj);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!plain(items[i], depth + 1)) return false;
    return true;
  }

  // Whether some container or array was reached twice.
  bool shared() {
    std::sort(reached_.begin(), reached_.end());
    return std::adjacent_find(reached_.begin(), reached_.end()) != reached_.end();
  }

  size_t arrays() const { return arrays_; }

 private:
  PyObject* array_type_;
  std::vector<PyObject*> reached_;
  size_t arrays_ = 0;
};

// The second pass. Asking an array for its attributes, and any allocation,
// may run Python code (a collection's finalizers) that changes the
// message: every object is held while it is written, and a container whose
// size changed is given up.
class Writer {
 public:
  Writer(PyObject* array_type, ArrayWriter write_array, std::string& out)
      : array_type_(array_type), write_array_(write_array), text_(out) {}

  // 1, 0 or -1 as write_plain.
  int write(PyObject* obj, int depth = 0) {
    if (depth > kDeepest) return 0;
    if (obj == Py_None) {
      text_.none();
    } else if (PyBool_Check(obj)) {
      text_.boolean(obj == Py_True);
    } else if (PyLong_CheckExact(obj)) {
      return integer(obj);
    } else if (PyFloat_CheckExact(obj)) {
      text_.floating(PyFloat_AS_DOUBLE(obj));
    } else if (PyUnicode_CheckExact(obj)) {
      return string(obj);
    } else if (PyBytes_CheckExact(obj)) {
      text_.bytes(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    } else if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) == array_type_) {
      return write_array_(obj, text_);
    } else if (PyList_CheckExact(obj)) {
      return list(obj, depth + 1);
    } else if (PyTuple_CheckExact(obj)) {
      return tuple(obj, depth + 1);
    } else if (PyDict_CheckExact(obj)) {
      return dict(obj, depth + 1);
    } else {
      return 0;  // changed into something else since the survey
    }
    return 1;
  }

 private:
  int integer(PyObject* obj) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow) return 0;
    text_.signed_integer(value);
    return 1;
  }

  // A string the pickler would write as UTF-8; one holding lone surrogates
  // (which UTF-8 cannot) is left to it.
  int string(PyObject* obj) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
      PyErr_Clear();
      return 0;
    }
    text_.utf8(utf8, static_cast<size_t>(size));
    return 1;
  }

  int item(PyObject* borrowed, int depth) {
    Ref held = Ref::borrow(borrowed);
    return write(held.get(), depth);
  }

  int list(PyObject* obj, int depth) {
    Py_ssize_t n = PyList_GET_SIZE(obj);
    text_.opcode(']');  // EMPTY_LIST
    if (n == 0) return 1;
    text_.opcode('(');  // MARK
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (PyList_GET_SIZE(obj) != n) return 0;
      int written = item(PyList_GET_ITEM(obj, i), depth);
      if (written <= 0) return written;
    }
    if (PyList_GET_SIZE(obj) != n) return 0;
    text_.opcode('e');  // APPENDS
    return 1;
  }

  int tuple(PyObject* obj, int depth) {
    Py_ssize_t n = PyTuple_GET_SIZE(obj);
    if (n == 0) {
      text_.opcode(')');  // EMPTY_TUPLE
      return 1;
    }
    if (n > 3) text_.opcode('(');
    for (Py_ssize_t i = 0; i < n; ++i) {
      int written = item(PyTuple_GET_ITEM(obj, i), depth);
      if (written <= 0) return written;
    }
    static const char kTupleOf[] = {0, '\x85', '\x86', '\x87'};  // TUPLE1..3
    text_.opcode(n > 3 ? 't' : kTupleOf[n]);
    return 1;
  }

  int dict(PyObject* obj, int depth) {
    Py_ssize_t n = PyDict_GET_SIZE(obj);
    text_.opcode('}');  // EMPTY_DICT
    if (n == 0) return 1;
    text_.opcode('(');
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
      int written = write(held_key.get(), depth);
      if (written > 0) written = write(held_value.get(), depth);
      if (written <= 0) return written;
      if (PyDict_GET_SIZE(obj) != n) return 0;
    }
    text_.opcode('u');  // SETITEMS
    return 1;
  }

  PyObject* array_type_;
  ArrayWriter write_array_;
  PickleText text_;
};

}  // namespace

void PickleText::little_endian(uint64_t value, int count) {
  for (int i = 0; i < count; ++i) out_.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void PickleText::signed_integer(int64_t value) {
  if (value >= 0 && value < 0x100) {
    opcode('K');  // BININT1
    little_endian(static_cast<uint64_t>(value), 1);
  } else if (value >= 0 && value < 0x10000) {
    opcode('M');  // BININT2
    little_endian(static_cast<uint64_t>(value), 2);
  } else if (value >= INT32_MIN && value <= INT32_MAX) {
    opcode('J');  // BININT
    little_endian(static_cast<uint64_t>(value), 4);
  } else {
    opcode('\x8a');  // LONG1: 8 bytes of two's complement
    little_endian(8, 1);
    little_endian(static_cast<uint64_t>(value), 8);
  }
}

void PickleText::unsigned_integer(uint64_t value) {
  if (value <= static_cast<uint64_t>(INT64_MAX)) {
    signed_integer(static_cast<int64_t>(value));
    return;
  }
  opcode('\x8a');  // LONG1, with a ninth byte that keeps it positive
  little_endian(9, 1);
  little_endian(value, 8);
  little_endian(0, 1);
}

void PickleText::sized(const char (&opcodes)[3], const char* data, size_t size) {
  if (size < 0x100) {
    opcode(opcodes[0]);
    little_endian(size, 1);
  } else if (size <= UINT32_MAX) {
    opcode(opcodes[1]);
    little_endian(size, 4);
  } else {
    opcode(opcodes[2]);
    little_endian(size, 8);
  }
  out_.append(data, size);
}

void PickleText::utf8(const char* text, size_t size) {
  sized({'\x8c', 'X', '\x8d'}, text, size);  // SHORT_BINUNICODE, BINUNICODE, BINUNICODE8
}

void PickleText::bytes(const char* data, size_t size) {
  sized({'C', 'B', '\x8e'}, data, size);  // SHORT_BINBYTES, BINBYTES, BINBYTES8
}

void PickleText::floating(double value) {
  char packed[8];
  PyFloat_Pack8(value, packed, 0);  // big-endian, as BINFLOAT has it; cannot fail
  opcode('G');
  out_.append(packed, sizeof packed);
}

void PickleText::global(const char* module, const char* name) {
  utf8(module, std::char_traits<char>::length(module));
  utf8(name, std::char_traits<char>::length(name));
  opcode('\x93');  // STACK_GLOBAL
}

int write_plain(PyObject* message, PyObject* array_type, ArrayWriter write_array,
                std::string& out) {
  try {
    Survey survey(array_type);
    if (!survey.plain(message, 0) || survey.arrays() == 0 || survey.shared()) return 0;
    out.assign("\x80\x04", 2);  // PROTO 4
    Ref held = Ref::borrow(message);
    int written = Writer(array_type, write_array, out).write(held.get());
    if (written > 0) out.push_back('.');  // STOP
    return written;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

}  // namespace vr::shm
