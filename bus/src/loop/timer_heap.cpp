#include "loop/timer_heap.h"

namespace wex {

void TimerHeap::push(const HeapEntry &entry) {
  entries_.push_back(entry);
  sift_up(entries_.size() - 1);
}

void TimerHeap::pop() {
  entries_[0] = entries_.back();
  entries_.pop_back();
  if (!entries_.empty()) sift_down(0);
}

void TimerHeap::delay_top(int64_t due_ms) {
  entries_[0].due_ms = due_ms;
  sift_down(0);
}

void TimerHeap::sift_up(size_t position) {
  HeapEntry entry = entries_[position];
  while (position > 0) {
    size_t parent = (position - 1) / 2;
    if (!earlier(entry, entries_[parent])) break;
    entries_[position] = entries_[parent];
    position = parent;
  }
  entries_[position] = entry;
}

// Moves the hole at position down to a leaf along the earlier children, then
// lets the entry rise from there: one comparison per level on the way down,
// and a rescheduled timer, due later than most, rises little.
void TimerHeap::sift_down(size_t position) {
  HeapEntry entry = entries_[position];
  size_t size = entries_.size(), top = position;
  for (;;) {
    size_t child = 2 * position + 1;
    if (child >= size) break;
    if (child + 1 < size && earlier(entries_[child + 1], entries_[child])) ++child;
    entries_[position] = entries_[child];
    position = child;
  }
  while (position > top) {
    size_t parent = (position - 1) / 2;
    if (!earlier(entry, entries_[parent])) break;
    entries_[position] = entries_[parent];
    position = parent;
  }
  entries_[position] = entry;
}

}  // namespace wex
