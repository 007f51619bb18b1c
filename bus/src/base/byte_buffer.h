// A growable byte queue, the input and output of one link: bytes are
// appended at the tail and consumed at the head.  Storage moves only inside
// reserve(), and only when the caller allows it: a buffer whose bytes a
// running callback still reads is never moved under it (see pins.h).
#pragma once

#include <cstddef>

namespace wex {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer &) = delete;
  ByteBuffer &operator=(const ByteBuffer &) = delete;
  ~ByteBuffer();

  char *begin() { return data_ + head_; }
  size_t size() const { return tail_ - head_; }
  bool empty() const { return head_ == tail_; }
  // Ensures n free bytes at the tail and returns them.  When the storage
  // must move and may_move is false, the old block is handed to *retired
  // (still valid for readers) instead of being freed; the caller frees it
  // later with ByteBuffer::release.
  char *reserve(size_t n, bool may_move = true, char **retired = nullptr) {
    if (capacity_ - tail_ >= n) return data_ + tail_;  // inline: every frame asks
    return make_room(n, may_move, retired);
  }
  void commit(size_t n) { tail_ += n; }
  // Consumed bytes stay where they are until reset_if_empty() or a moving
  // reserve(): a callback may still be reading a frame that was consumed
  // before it was called.
  void consume(size_t n) { head_ += n; }
  void reset_if_empty() {
    if (head_ == tail_) head_ = tail_ = 0;
  }
  void append(const void *bytes, size_t n);
  void clear() { head_ = tail_ = 0; }
  // Marks and positions count from the first live byte, never from the
  // start of the storage: reserve() may slide the live bytes down or move
  // them to a new block while a frame is built, but nothing is consumed in
  // the middle of a frame, so a mark stays true across both.
  size_t mark() const { return tail_ - head_; }
  char *at(size_t mark) { return data_ + head_ + mark; }
  // Drops everything appended after the mark (a frame that came out too big).
  void truncate_to(size_t mark) { tail_ = head_ + (mark < size() ? mark : size()); }
  static void release(char *block);

 private:
  char *make_room(size_t n, bool may_move, char **retired);
  char *data_ = nullptr;
  size_t head_ = 0, tail_ = 0, capacity_ = 0;
};

}  // namespace wex
