// A link's two directions as NATS messages carry them.  NATS delivers what
// one connection publishes in order, but a message in flight when a server
// dies is lost, and a client that reconnects may send again what it had
// buffered.  So the bytes of a link are numbered: the sending side cuts
// Link::out into DATA messages at stream offsets, keeps them until the peer
// acknowledges them, and sends them again after a loss; the receiving side
// puts them back in order, drops what it has already, and asks for a resend
// when it sees a gap.  A window on the bytes the peer's agent has not read
// yet keeps a peer that stops reading from growing anything but Link::out,
// where the agent's own limit (64 MiB) applies, as on a LAN.
//
// No libnats here: the transport hands in what arrived and publishes what
// comes out, so this logic is tested on its own (nats_stream_test.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "base/byte_buffer.h"

namespace wex {

// Bytes a peer may have in flight that its agent has not read yet.
constexpr uint64_t kStreamWindow = 4u << 20;

// Publishes one DATA message: the bytes [offset, offset + size) of a stream.
using Publish = void (*)(void *ctx, uint64_t offset, const char *data, size_t size);

class OutStream {
 public:
  // Moves what the window allows from out into DATA messages of at most max
  // bytes each; the rest stays in out for a later call.
  void send(ByteBuffer &out, size_t max, Publish publish, void *ctx);
  // The peer's acknowledgement: it holds every byte before received and its
  // agent has read every byte before consumed.  False when that cannot be
  // (more than was sent, or consumed past received): the link is broken.
  bool on_ack(uint64_t received, uint64_t consumed);
  // Publishes again every byte the peer has not acknowledged.
  void resend(size_t max, Publish publish, void *ctx);
  // Once per heartbeat period: true when bytes wait for an acknowledgement
  // that has not moved for two periods (the last messages may be lost).
  bool stalled();
  uint64_t sent() const { return sent_; }
  uint64_t unacknowledged() const { return sent_ - received_; }

 private:
  uint64_t sent_ = 0, received_ = 0, consumed_ = 0;
  ByteBuffer retained_;  // the bytes [received_, sent_)
  uint64_t received_at_tick_ = 0;
  int stalled_ticks_ = 0;
};

class InStream {
 public:
  // release(owner) frees the message that brought a chunk, once it is read.
  explicit InStream(void (*release)(void *owner)) : release_(release) {}
  ~InStream();
  InStream(const InStream &) = delete;
  InStream &operator=(const InStream &) = delete;

  enum class Accept {
    kQueued,     // the new bytes are kept (with owner) until read
    kDuplicate,  // nothing new: the caller frees the message
    kGap,        // bytes are missing before it: the caller frees it and
                 // asks for a resend when ask_resend() says so
  };
  Accept accept(uint64_t offset, const char *data, size_t size, void *owner);
  // Copies up to size bytes, in order, into buffer; returns their count.
  size_t read(char *buffer, size_t size);
  size_t available() const { return size_t(expected_ - consumed_); }
  // True once per gap: the caller then asks the peer to send again.
  bool ask_resend();
  // Whether an acknowledgement is owed now: a quarter of the window was
  // read since the last one.  (The transport also sends one every period.)
  bool ack_due() const { return consumed_ - told_consumed_ >= kStreamWindow / 4; }
  // Once per heartbeat period: a resend asked for may have been lost itself,
  // so the next gap asks again.
  void tick() { gap_told_ = false; }
  // What the next acknowledgement says; the caller sends it.
  void acknowledged(uint64_t *received, uint64_t *consumed);

 private:
  struct Chunk {
    const char *data;
    size_t size;
    void *owner;
  };
  void (*release_)(void *);
  std::deque<Chunk> chunks_;
  size_t head_ = 0;  // bytes of chunks_.front() already read
  uint64_t expected_ = 0, consumed_ = 0;
  uint64_t told_received_ = 0, told_consumed_ = 0;
  bool gap_told_ = false;
};

}  // namespace wex
