#include "runtime/shm/streaming_copy.h"

#include "runtime/shm/copy_helper.h"

#include <unistd.h>

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

// From a quarter of the private cache up to its size and a half: the
// copies whose destination would evict most of what the interpreter keeps
// there.
bool bypasses_cache(size_t size) {
  size_t cache = private_cache_bytes();
  return size >= cache / 4 && size <= cache + cache / 2;
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
