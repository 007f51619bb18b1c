// Numbered streams over NATS messages: see nats_stream.h.
#include "transport/nats/nats_stream.h"

#include <algorithm>
#include <cstring>

namespace wex {

void OutStream::send(ByteBuffer &out, size_t max, Publish publish, void *ctx) {
  while (!out.empty()) {
    uint64_t unread = sent_ - consumed_;
    if (unread >= kStreamWindow) break;
    size_t n = size_t(std::min<uint64_t>({out.size(), max, kStreamWindow - unread}));
    publish(ctx, sent_, out.begin(), n);
    retained_.append(out.begin(), n);
    out.consume(n);
    sent_ += n;
  }
  out.reset_if_empty();
}

bool OutStream::on_ack(uint64_t received, uint64_t consumed) {
  if (received > sent_ || consumed > received) return false;
  if (received > received_) {
    retained_.consume(size_t(received - received_));
    retained_.reset_if_empty();
    received_ = received;
  }
  consumed_ = std::max(consumed_, consumed);
  return true;
}

void OutStream::resend(size_t max, Publish publish, void *ctx) {
  stalled_ticks_ = 0;
  for (size_t done = 0; done < retained_.size();) {
    size_t n = std::min(max, retained_.size() - done);
    publish(ctx, received_ + done, retained_.begin() + done, n);
    done += n;
  }
}

bool OutStream::stalled() {
  if (received_ == sent_ || received_ != received_at_tick_) {
    received_at_tick_ = received_;
    stalled_ticks_ = 0;
    return false;
  }
  return ++stalled_ticks_ >= 2;
}

InStream::~InStream() {
  for (Chunk &c : chunks_) release_(c.owner);
}

InStream::Accept InStream::accept(uint64_t offset, const char *data, size_t size, void *owner) {
  if (offset > expected_) return Accept::kGap;
  if (offset + size <= expected_) return Accept::kDuplicate;
  size_t skip = size_t(expected_ - offset);  // a resend that overlaps what we have
  chunks_.push_back(Chunk{data + skip, size - skip, owner});
  expected_ += size - skip;
  gap_told_ = false;
  return Accept::kQueued;
}

size_t InStream::read(char *buffer, size_t size) {
  size_t done = 0;
  while (done < size && !chunks_.empty()) {
    Chunk &c = chunks_.front();
    size_t n = std::min(size - done, c.size - head_);
    memcpy(buffer + done, c.data + head_, n);
    done += n;
    head_ += n;
    if (head_ == c.size) {
      release_(c.owner);
      chunks_.pop_front();
      head_ = 0;
    }
  }
  consumed_ += done;
  return done;
}

bool InStream::ask_resend() {
  if (gap_told_) return false;
  gap_told_ = true;
  return true;
}

void InStream::acknowledged(uint64_t *received, uint64_t *consumed) {
  *received = told_received_ = expected_;
  *consumed = told_consumed_ = consumed_;
}

}  // namespace wex
