// What every transport shares: the bookkeeping of a link's output.
#include "transport/transport.h"

#include "wire/protocol.h"

namespace wex {

void Link::sent(size_t n) {
  if (n == out.size()) {
    // All of it (the common case): no frame is left half sent, and there is
    // nothing to walk.
    next_frame_ = 0;
    begun_is_message_ = false;
  } else {
    if (n > next_frame_) {
      bool is_message = false;
      next_frame_ +=
          proto::frame_end_after(out.begin() + next_frame_, n - next_frame_, &is_message);
      begun_is_message_ = is_message;  // the frame that covers byte n - 1
    }
    next_frame_ -= n;
  }
  out.consume(n);
  out.reset_if_empty();
}

unsigned long Link::drop_output() {
  unsigned long lost = proto::count_messages(out.begin() + next_frame_, out.size() - next_frame_);
  if (next_frame_ > 0 && begun_is_message_) ++lost;
  next_frame_ = 0;
  out.clear();
  return lost;
}

}  // namespace wex
