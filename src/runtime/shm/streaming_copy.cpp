#include "runtime/shm/streaming_copy.h"

#include "runtime/shm/copy_helper.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vr::shm {

namespace {

// The private (level 2) cache of one processor, as the C library reports
// it; 1 MiB when it does not.
size_t private_cache_bytes() {
  static const size_t bytes = [] {
    long reported = sysconf(_SC_LEVEL2_CACHE_SIZE);
    return reported > 0 ? static_cast<size_t>(reported) : size_t{1} << 20;
  }();
  return bytes;
}

// Copies since the last large one (a quarter of the private cache or
// more): a process that sends large arrays keeps them in its cache, to be
// read again for the next message.
std::atomic<uint32_t> copies_since_large{UINT32_MAX};
constexpr uint32_t kRecentCopies = 8;

// Whether a copy of `size` bytes is written around the cache:
// - from a quarter of the private cache up to its size and a half, always:
//   its destination would evict most of what the interpreter keeps there;
// - from a sixteenth, when one of the last few copies was large: written
//   through the cache it would evict part of the large array the process
//   sends again (an answer of 256 KB made the next answer of 1 MB, read
//   from memory instead, half as slow again). Alone, a copy of that size
//   is faster through the cache.
// Larger copies are bound by the memory, where the C library's copy is
// faster.
bool bypasses_cache(size_t size) {
  size_t cache = private_cache_bytes();
  if (size >= cache / 4) {
    copies_since_large.store(0, std::memory_order_relaxed);
    return size <= cache + cache / 2;
  }
  if (size < cache / 16) return false;
  uint32_t since = copies_since_large.load(std::memory_order_relaxed);
  if (since < kRecentCopies) copies_since_large.store(since + 1, std::memory_order_relaxed);
  return since < kRecentCopies;
}

#if defined(__x86_64__)
// 64 bytes a step: loads through the cache (the source is the caller's
// array), stores around it. The fence orders them before the header's
// release store that publishes the data.
__attribute__((target("avx2"))) void stream_avx2(char* to, const char* from, size_t size) {
  size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i));
    __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i + 32));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to + i), low);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to + i + 32), high);
  }
  _mm_sfence();
  std::memcpy(to + i, from + i, size - i);
}

void stream_sse2(char* to, const char* from, size_t size) {
  size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    for (size_t part = 0; part < 64; part += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + part));
      _mm_stream_si128(reinterpret_cast<__m128i*>(to + i + part), v);
    }
  }
  _mm_sfence();
  std::memcpy(to + i, from + i, size - i);
}

void stream(char* to, const char* from, size_t size) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2)
    stream_avx2(to, from, size);
  else
    stream_sse2(to, from, size);
}
#endif

void plain_copy(char* to, const char* from, size_t size) { std::memcpy(to, from, size); }

}  // namespace

void copy_for_reader(void* to, const void* from, size_t size) {
  ChunkCopy copy = plain_copy;
#if defined(__x86_64__)
  if (bypasses_cache(size) && reinterpret_cast<uintptr_t>(to) % 32 == 0) copy = stream;
#endif
  char* target = static_cast<char*>(to);
  const char* source = static_cast<const char*>(from);
  if (worth_splitting(size))
    copy_in_parallel(target, source, size, copy);
  else
    copy(target, source, size);
}

}  // namespace vr::shm
