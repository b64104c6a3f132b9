// A choice between two ways of copying, settled by timing the process's own
// copies.
//
// Which way copies an array into a segment faster depends on the machine,
// not on anything the program can ask it: stores that bypass the cache make
// a 1 MB copy a fifth faster on one server and twice as slow on another,
// whose ordinary copy runs at twice the speed; a copy split with a second
// thread halves a 200 MB transfer on both, but slows a 1 MB one where the
// processors are slow to hand work over. So each choice is measured where
// it is made: the first copies it decides alternate the two ways, the way
// with the lower best time per byte is taken for the next copies, and after
// a while the two are measured again (the machine's load may have changed).
// The best time of each way, not its mean: a copy interrupted or preempted
// says nothing of its way.
//
// Races between threads that copy at once only blur a measurement: every
// field is an independent atomic, and any way chosen copies correctly.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vr::shm {

class CopyChoice {
 public:
  // The way the next copy takes (0 or 1), and whether it is measured: then
  // the caller times it and reports the time with `measured`. Way 1 is
  // taken only when it would copy `bytes` faster than way 0 by more than
  // `margin_ns` (for a way whose costs are not all in the copy).
  struct Pick {
    int way;
    bool measuring;
  };
  Pick pick(size_t bytes = 0, int64_t margin_ns = 0);

  // The way the last round found faster (0 before any was measured),
  // without counting a copy.
  int leaning(size_t bytes = 0, int64_t margin_ns = 0) const;

  // A copy of `bytes` by `way` took `ns` nanoseconds.
  void measured(int way, int64_t ns, size_t bytes);

  // Copies measured per round, alternating the ways (half each), and copies
  // made with the chosen way before the next round.
  static constexpr uint32_t kMeasured = 8;
  static constexpr uint32_t kTrusted = 1024;

 private:
  std::atomic<uint32_t> uses_{0};  // copies since this round began
  // Best picoseconds per byte of each way in this round.
  std::atomic<uint64_t> best_[2] = {UINT64_MAX, UINT64_MAX};
};

}  // namespace vr::shm
