#include "runtime/shm/copy_choice.h"

namespace vr::shm {

CopyChoice::Pick CopyChoice::pick(size_t bytes, int64_t margin_ns) {
  uint32_t use = uses_.fetch_add(1, std::memory_order_relaxed);
  if (use < kMeasured) return {static_cast<int>(use % 2), true};
  if (use >= kMeasured + kTrusted) {
    // A new round: this copy is its first.
    best_[0].store(UINT64_MAX, std::memory_order_relaxed);
    best_[1].store(UINT64_MAX, std::memory_order_relaxed);
    uses_.store(1, std::memory_order_relaxed);
    return {0, true};
  }
  return {leaning(bytes, margin_ns), false};
}

int CopyChoice::leaning(size_t bytes, int64_t margin_ns) const {
  uint64_t first = best_[0].load(std::memory_order_relaxed);
  uint64_t second = best_[1].load(std::memory_order_relaxed);
  if (second >= first) return 0;
  // Picoseconds saved on `bytes`, against the margin.
  using wide = unsigned __int128;
  return wide{first - second} * bytes > wide{static_cast<uint64_t>(margin_ns)} * 1000 ? 1 : 0;
}

void CopyChoice::measured(int way, int64_t ns, size_t bytes) {
  if (ns < 0 || bytes == 0) return;
  uint64_t per_byte = static_cast<uint64_t>(ns) * 1000 / bytes;
  std::atomic<uint64_t>& best = best_[way];
  uint64_t seen = best.load(std::memory_order_relaxed);
  while (per_byte < seen &&
         !best.compare_exchange_weak(seen, per_byte, std::memory_order_relaxed)) {
  }
}

}  // namespace vr::shm
