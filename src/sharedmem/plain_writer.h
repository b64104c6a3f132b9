// Pickling without the pickler a message made of plain data and large
// arrays: a worker's usual answer ([status, printed, info, {name: array}])
// and a request that hands arrays to the worker's namespace.
//
// The pickler costs little on its own, but around the copy of a large
// array it runs with its caches emptied by that copy: creating the
// pickler, asking reducer_override, saving the reduction and importing the
// module of every global cost as much as a fifth of a 1 MB answer. Written
// here, the same message is a few hundred bytes of opcodes.
//
// What is written is an ordinary protocol 4 pickle, which pickle.loads
// turns into the same objects as the pickler's (a string that occurs
// twice is two equal strings rather than one; nothing else differs). A
// message that holds anything else, or the same container or array twice
// (the pickler would keep them shared), is left to the pickler.
#pragma once
#include "runtime/python/ref.h"

#include <cstdint>
#include <string>

namespace vr::shm {

// Appends to a pickle being written.
class PickleText {
 public:
  explicit PickleText(std::string& out) : out_(out) {}
  void opcode(char op) { out_.push_back(op); }
  void none() { opcode('N'); }
  void boolean(bool value) { opcode(value ? '\x88' : '\x89'); }
  void signed_integer(int64_t value);
  void unsigned_integer(uint64_t value);
  void utf8(const char* text, size_t size);
  void bytes(const char* data, size_t size);
  void floating(double value);
  // The global module.name (both names shorter than 256 bytes).
  void global(const char* module, const char* name);

 private:
  void little_endian(uint64_t value, int count);
  // `data` after the opcode for its length: one byte, four or eight.
  void sized(const char (&opcodes)[3], const char* data, size_t size);
  std::string& out_;
};

// Writes the reduction of one array: 1 written, 0 it is not to be written
// here (the pickler then pickles the whole message), -1 with an exception.
using ArrayWriter = int (*)(PyObject* array, PickleText& text);

// `message` as a protocol 4 pickle (PROTO ... STOP) in `out`, arrays of
// exactly `array_type` written by `write_array`. 1 written; 0 when it is
// not such a message, or it changed while written (nothing written but
// what `write_array` made); -1 with an exception.
int write_plain(PyObject* message, PyObject* array_type, ArrayWriter write_array,
                std::string& out);

}  // namespace vr::shm
