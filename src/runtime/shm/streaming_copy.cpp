#include "runtime/shm/streaming_copy.h"

#include "runtime/shm/copy_choice.h"
#include "runtime/shm/copy_helper.h"
#include "runtime/transport/descriptors.h"

#include <unistd.h>

#include <atomic>
#include <bit>
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

#if defined(__x86_64__)
// Whether stores around the cache are faster here (way 1), measured on
// copies from a quarter of the private cache up to its size and a half.
CopyChoice around_cache;
#endif

// Whether a copy split with the helper is faster here (way 1), measured
// apart for each power of two of sizes from where splitting starts: the
// hand-over costs the same whatever the size, the gain grows with it. The
// split must save more than the helper costs elsewhere: woken again after
// each split copy, it takes processor time from the round trips around it
// (measured: 7-9 µs a message where two processors serve two processes).
constexpr int kSplitClasses = 16;
constexpr int64_t kSplitMarginNs = 10'000;
CopyChoice split_with_helper[kSplitClasses];

CopyChoice& split_choice_for(size_t size) {
  int power = std::bit_width(size / split_from()) - 1;
  return split_with_helper[power < kSplitClasses ? power : kSplitClasses - 1];
}

// Whether a copy of `size` bytes may be written around the cache:
// - from a quarter of the private cache up to its size and a half: its
//   destination would evict most of what the interpreter keeps there;
// - from a sixteenth, when one of the last few copies was large: written
//   through the cache it would evict part of the large array the process
//   sends again (an answer of 256 KB made the next answer of 1 MB, read
//   from memory instead, half as slow again). Alone, a copy of that size
//   is faster through the cache.
// Larger copies are bound by the memory, where the C library's copy is
// faster. Whether it is, where it may, is `around_cache`'s to say.
bool may_bypass_cache(size_t size) {
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

#if defined(__x86_64__)
// Copies `size` bytes with `copy`, timed into `choice` as `way`.
void timed_copy(CopyChoice& choice, int way, ChunkCopy copy, char* to, const char* from,
                size_t size) {
  int64_t start = monotonic_ns();
  copy(to, from, size);
  choice.measured(way, monotonic_ns() - start, size);
}

// A copy that measures `around_cache`: half each way, the way `first`
// first (the halves' order alternates from one such copy to the next, so
// that neither way always finds the source in the cache).
void copy_measuring_cache(char* to, const char* from, size_t size, int first) {
  size_t half = size / 2 / 64 * 64;  // the second half stays aligned
  ChunkCopy ways[2] = {plain_copy, stream};
  timed_copy(around_cache, first, ways[first], to, from, half);
  timed_copy(around_cache, 1 - first, ways[1 - first], to + half, from + half, size - half);
}
#endif

// Copies with `copy`, split with the helper where that is faster here.
void copy_maybe_split(char* to, const char* from, size_t size, ChunkCopy copy) {
  if (!worth_splitting(size)) {
    copy(to, from, size);
    return;
  }
  CopyChoice& choice = split_choice_for(size);
  CopyChoice::Pick pick = choice.pick(size, kSplitMarginNs);
  int64_t start = pick.measuring ? monotonic_ns() : 0;
  if (pick.way == 1)
    copy_in_parallel(to, from, size, copy);
  else
    copy(to, from, size);
  if (pick.measuring) choice.measured(pick.way, monotonic_ns() - start, size);
}

}  // namespace

void copy_for_reader(void* to, const void* from, size_t size) {
  char* target = static_cast<char*>(to);
  const char* source = static_cast<const char*>(from);
  ChunkCopy copy = plain_copy;
#if defined(__x86_64__)
  if (may_bypass_cache(size) && reinterpret_cast<uintptr_t>(to) % 32 == 0) {
    if (size < private_cache_bytes() / 4) {
      if (around_cache.leaning() == 1) copy = stream;
    } else {
      CopyChoice::Pick pick = around_cache.pick();
      if (pick.measuring) {
        copy_measuring_cache(target, source, size, pick.way);
        return;
      }
      if (pick.way == 1) copy = stream;
    }
  }
#endif
  copy_maybe_split(target, source, size, copy);
}

}  // namespace vr::shm
