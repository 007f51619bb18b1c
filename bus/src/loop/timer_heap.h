// The timed timers' schedule: a binary min-heap of (due time, order) keys.
// The keys live in the heap itself, 16 bytes each, so that sifting touches
// no timer.  A removed timer leaves its entry behind; the owner tells stale
// entries apart (see timers.cpp) and drops them when they reach the top, or
// all at once through rebuild().
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wex {

struct HeapEntry {
  int64_t due_ms;
  uint32_t order;  // unique per timer, in creation order: ties between equal due times
  uint32_t index;  // the timer's slot
};

// One comparison of (due, order) as a single 96-bit key: no branch on ties,
// which are common (timers made together with one period).
inline bool earlier(const HeapEntry &x, const HeapEntry &y) {
  using Key = unsigned __int128;
  auto key = [](const HeapEntry &e) {
    return Key(uint64_t(e.due_ms) ^ (uint64_t{1} << 63)) << 32 | e.order;
  };
  return key(x) < key(y);
}

class TimerHeap {
 public:
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  const HeapEntry &top() const { return entries_[0]; }
  const std::vector<HeapEntry> &entries() const { return entries_; }

  void push(const HeapEntry &entry);
  void pop();
  // The top entry falls due later (an expiry rescheduled it).
  void delay_top(int64_t due_ms);
  // Keeps only the entries that keep(entry) accepts, in heap order again.
  template <class Keep>
  void rebuild(Keep &&keep) {
    size_t kept = 0;
    for (const HeapEntry &entry : entries_)
      if (keep(entry)) entries_[kept++] = entry;
    entries_.resize(kept);
    for (size_t i = kept / 2; i-- > 0;) sift_down(i);
  }

 private:
  void sift_up(size_t position);
  void sift_down(size_t position);
  std::vector<HeapEntry> entries_;
};

}  // namespace wex
