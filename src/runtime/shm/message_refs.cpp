#include "runtime/shm/message_refs.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace vr::shm {

namespace {

// SHORT_BINUNICODE "vorlen._sharedmem", SHORT_BINUNICODE "claim",
// STACK_GLOBAL, then BINBYTES: the references as one packed string.
constexpr std::string_view kCallee =
    "\x8c\x11vorlen._sharedmem\x8c\x05"
    "claim\x93"
    "B";
constexpr char kTuple1 = '\x85';
constexpr char kReduce = 'R';
constexpr char kMemoize = '\x94';
constexpr size_t kProtoLength = 2;  // PROTO and its protocol byte

}  // namespace

PyObject* with_claim(const char* pickled, size_t size, const std::vector<SegmentRef>& refs,
                     bool memoized) {
  if (size < kProtoLength || static_cast<unsigned char>(pickled[0]) != 0x80) {
    PyErr_SetString(PyExc_RuntimeError, "a pickle that does not start with PROTO");
    return nullptr;
  }
  size_t packed = refs.size() * sizeof(SegmentRef);
  size_t total = size + kCallee.size() + 4 + packed + 2 + (memoized ? 1 : 0);
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  if (!out) return nullptr;
  char* at = PyBytes_AS_STRING(out.get());
  std::memcpy(at, pickled, kProtoLength);
  at += kProtoLength;
  std::memcpy(at, kCallee.data(), kCallee.size());
  at += kCallee.size();
  uint32_t length = static_cast<uint32_t>(packed);
  for (int i = 0; i < 4; ++i) *at++ = static_cast<char>((length >> (8 * i)) & 0xff);
  if (packed) std::memcpy(at, refs.data(), packed);
  at += packed;
  *at++ = kTuple1;
  *at++ = kReduce;
  if (memoized) *at++ = kMemoize;
  std::memcpy(at, pickled + kProtoLength, size - kProtoLength);
  return out.release();
}

bool unpack_claim(const char* data, size_t size, std::vector<SegmentRef>& out) {
  if (size % sizeof(SegmentRef) != 0) return false;
  for (size_t at = 0; at < size; at += sizeof(SegmentRef)) {
    SegmentRef ref;
    std::memcpy(&ref, data + at, sizeof ref);
    out.push_back(ref);
  }
  return true;
}

void find_claims(const char* data, size_t size, std::vector<SegmentRef>& out) {
  std::string_view text(data, size);
  for (size_t at = text.find(kCallee); at != std::string_view::npos;
       at = text.find(kCallee, at + 1)) {
    size_t start = at + kCallee.size();
    if (start + 4 > size) return;
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
      length |= static_cast<uint32_t>(static_cast<unsigned char>(data[start + i])) << (8 * i);
    if (length > size - start - 4) continue;
    unpack_claim(data + start + 4, length, out);
  }
}

}  // namespace vr::shm
