#include "outstanding.h"

#include <algorithm>

namespace control {

namespace {

bool run_before(const Run& run, uint64_t tag) { return run.last < tag; }

}  // namespace

void Outstanding::add(uint64_t tag, uint64_t call, float grace) {
  if (!runs_.empty()) {
    Run& newest = runs_.back();
    if (newest.last + 1 == tag && newest.call == call && newest.grace == grace &&
        newest.state == State::kLive) {
      newest.last = tag;
      return;
    }
  }
  runs_.push_back({tag, tag, call, grace, State::kLive});
}

void Outstanding::remove_newest(uint64_t tag) {
  if (runs_.empty() || runs_.back().last != tag) return;
  if (runs_.back().first == tag) {
    set_state(runs_.back(), State::kLive);
    runs_.pop_back();
  } else {
    --runs_.back().last;
  }
}

void Outstanding::pop_front() {
  set_state(runs_.front(), State::kLive);
  runs_.pop_front();
}

void Outstanding::set_state(Run& run, State state) {
  if (run.state == State::kAbandoned) --abandoned_;
  if (state == State::kAbandoned) ++abandoned_;
  run.state = state;
}

bool Outstanding::pass_below(uint64_t tag, uint64_t watched) {
  bool seen = false;
  while (!runs_.empty() && runs_.front().first < tag) {
    Run& oldest = runs_.front();
    uint64_t end = std::min(oldest.last, tag - 1);
    seen = seen || (watched >= oldest.first && watched <= end);
    if (oldest.last < tag) {
      pop_front();
    } else {
      oldest.first = tag;
    }
  }
  return seen;
}

bool Outstanding::take_oldest(uint64_t tag, State& state, uint64_t& call) {
  if (runs_.empty() || runs_.front().first != tag) return false;
  Run& oldest = runs_.front();
  state = oldest.state;
  call = oldest.call;
  if (oldest.first == oldest.last) pop_front();
  else ++oldest.first;
  return true;
}

const Run* Outstanding::find(uint64_t tag) const {
  auto it = std::lower_bound(runs_.begin(), runs_.end(), tag, run_before);
  return it != runs_.end() && it->first <= tag ? &*it : nullptr;
}

void Outstanding::split_at(uint64_t tag) {
  auto it = std::lower_bound(runs_.begin(), runs_.end(), tag, run_before);
  if (it == runs_.end() || it->first >= tag) return;
  Run tail = *it;
  tail.first = tag;
  it->last = tag - 1;
  if (tail.state == State::kAbandoned) ++abandoned_;
  runs_.insert(it + 1, tail);
}

Spans Outstanding::settle_call(uint64_t call, uint64_t from, State state) {
  Spans spans;
  for (auto it = runs_.rbegin(); it != runs_.rend() && it->last >= from; ++it) {
    if (it->call != call || it->state != State::kLive) continue;
    if (state == State::kLive) {
      it->call = 0;
      continue;
    }
    set_state(*it, state);
    spans.push_back({it->first, it->last});
  }
  return spans;
}

Spans Outstanding::mark(uint64_t first, uint64_t last, State state) {
  split_at(first);
  split_at(last + 1);
  Spans spans;
  auto it = std::lower_bound(runs_.begin(), runs_.end(), first, run_before);
  for (; it != runs_.end() && it->first <= last; ++it) {
    if (it->state != State::kLive) continue;
    set_state(*it, state);
    spans.push_back({it->first, it->last});
  }
  return spans;
}

Spans Outstanding::mark_oldest_live(size_t count, State state) {
  Spans spans;
  for (size_t i = 0; i < runs_.size() && count > 0; ++i) {
    if (runs_[i].state != State::kLive) continue;
    uint64_t size = runs_[i].last - runs_[i].first + 1;
    if (size > count) split_at(runs_[i].first + count);
    Run& run = runs_[i];
    count -= std::min<uint64_t>(count, run.last - run.first + 1);
    set_state(run, state);
    spans.push_back({run.first, run.last});
  }
  return spans;
}

void Outstanding::mark_all_live(State state) {
  for (Run& run : runs_)
    if (run.state == State::kLive) set_state(run, state);
}

uint64_t Outstanding::oldest_live() const {
  for (const Run& run : runs_)
    if (run.state == State::kLive) return run.first;
  return 0;
}

void Outstanding::forget_all() {
  runs_.clear();
  abandoned_ = 0;
}

}  // namespace control
