// The tagged requests of one worker that no reader of this process has seen
// answered, as runs of consecutive tags that share their call and fate: a
// batch of any size costs one run per worker, so a book stays small even
// when nothing of this package ever reads the worker's answers.
//
// Invariants: runs are in tag order and do not overlap; tags only grow; a
// run's tags all belong to its call (0 once handed to the caller) and share
// its state.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace control {

enum class State : uint8_t {
  kLive,       // its answer goes to its call, or to whoever reads next
  kDropped,    // its answer is dropped when it comes; it still runs
  kAbandoned,  // cancelled (or interrupted, if it had started); answer dropped
};

struct Run {
  uint64_t first, last;
  uint64_t call;
  float grace;  // seconds an interrupt of it may go unanswered
  State state;
};

// The runs of tags a change of state touched.
struct Span {
  uint64_t first, last;
};
using Spans = std::vector<Span>;

class Outstanding {
 public:
  // A request tagged `tag`, newer than every other.
  void add(uint64_t tag, uint64_t call, float grace);
  // The newest request, tagged `tag`, was not sent after all.
  void remove_newest(uint64_t tag);

  // An answer tagged `tag` has come: every request below it was answered
  // before (its answer read elsewhere) and goes. True when `watched`
  // (nonzero) was among them.
  bool pass_below(uint64_t tag, uint64_t watched);
  // Takes `tag` out when it is the oldest, with its run's state and call.
  bool take_oldest(uint64_t tag, State& state, uint64_t& call);
  // The run holding `tag`, or nullptr.
  const Run* find(uint64_t tag) const;

  // The live requests of `call` from tag `from` on become `state`, or are
  // handed to the caller (kLive: their call becomes 0).
  Spans settle_call(uint64_t call, uint64_t from, State state);
  // The live requests tagged first..last become `state`.
  Spans mark(uint64_t first, uint64_t last, State state);
  // The oldest `count` live requests become `state`.
  Spans mark_oldest_live(size_t count, State state);
  // Every live request becomes `state`.
  void mark_all_live(State state);
  // Nothing will answer any more (the worker has ended, its pipe is empty).
  void forget_all();

  uint64_t oldest() const { return runs_.empty() ? 0 : runs_.front().first; }
  // The oldest request whose answer still goes to a reader (0: none).
  uint64_t oldest_live() const;
  bool any_abandoned() const { return abandoned_ > 0; }

 private:
  void pop_front();
  // Splits runs so that one starts at `tag`.
  void split_at(uint64_t tag);
  void set_state(Run& run, State state);

  std::deque<Run> runs_;
  size_t abandoned_ = 0;  // runs in kAbandoned
};

}  // namespace control
