#include "base/byte_buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace wex {

ByteBuffer::~ByteBuffer() { free(data_); }

void ByteBuffer::release(char *block) { free(block); }

char *ByteBuffer::make_room(size_t n, bool may_move, char **retired) {
  size_t live = tail_ - head_;
  if (may_move && head_ > 0 && capacity_ - live >= n && live <= capacity_ / 2) {
    // Sliding the live bytes down is cheaper than growing, and in the steady
    // state (small frames, drained each iteration) it never even happens:
    // consume() resets an emptied buffer to offset 0.
    memmove(data_, data_ + head_, live);
    head_ = 0;
    tail_ = live;
    return data_ + tail_;
  }
  size_t want = capacity_ ? capacity_ : 4096;
  while (want - live < n) want *= 2;
  char *block = static_cast<char *>(malloc(want));
  if (block == nullptr) throw std::bad_alloc();
  if (live) memcpy(block, data_ + head_, live);
  if (may_move || retired == nullptr) {
    free(data_);
  } else {
    *retired = data_;
  }
  data_ = block;
  capacity_ = want;
  head_ = 0;
  tail_ = live;
  return data_ + tail_;
}

void ByteBuffer::append(const void *bytes, size_t n) {
  memcpy(reserve(n), bytes, n);
  tail_ += n;
}

}  // namespace wex
