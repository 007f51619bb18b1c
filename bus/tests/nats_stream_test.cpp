// The numbered streams of a NATS link (internal: this program links the
// library's objects): losses, duplicates and resends between an OutStream
// and an InStream wired through a lossy list of messages, and the window.
#include "transport/nats/nats_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace wex;

namespace {

struct Message {
  uint64_t offset;
  std::string bytes;
};

int released = 0;
void release(void *owner) {
  ++released;
  delete static_cast<std::string *>(owner);
}

void collect(void *ctx, uint64_t offset, const char *data, size_t size) {
  static_cast<std::vector<Message> *>(ctx)->push_back(Message{offset, std::string(data, size)});
}

// Hands one message to the receiver the way the transport does: a copy it
// owns until the stream releases it.
InStream::Accept deliver(InStream &in, const Message &m) {
  auto *owned = new std::string(m.bytes);
  InStream::Accept a = in.accept(m.offset, owned->data(), owned->size(), owned);
  if (a != InStream::Accept::kQueued) release(owned);
  return a;
}

std::string read_all(InStream &in) {
  std::string got(in.available(), '\0');
  got.resize(in.read(got.data(), got.size()));
  return got;
}

TEST(NatsStream, LossAndDuplicatesAreRepairedInOrderByAResend) {
  OutStream out;
  InStream in(release);
  ByteBuffer queued;
  std::vector<Message> wire;
  queued.append("abcdefghij", 10);
  out.send(queued, 4, collect, &wire);  // "abcd" "efgh" "ij"
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_TRUE(queued.empty());
  EXPECT_EQ(deliver(in, wire[0]), InStream::Accept::kQueued);
  // "efgh" is lost in a reconnect: "ij" shows the gap.
  EXPECT_EQ(deliver(in, wire[2]), InStream::Accept::kGap);
  EXPECT_TRUE(in.ask_resend());
  EXPECT_FALSE(in.ask_resend()) << "one request per gap";
  uint64_t received, consumed;
  in.acknowledged(&received, &consumed);
  EXPECT_EQ(received, 4u);
  ASSERT_TRUE(out.on_ack(received, consumed));
  wire.clear();
  out.resend(3, collect, &wire);  // "efg" "hij", cut differently this time
  ASSERT_EQ(wire.size(), 2u);
  EXPECT_EQ(wire[0].offset, 4u);
  EXPECT_EQ(deliver(in, wire[0]), InStream::Accept::kQueued);
  EXPECT_EQ(deliver(in, wire[0]), InStream::Accept::kDuplicate);
  EXPECT_EQ(deliver(in, wire[1]), InStream::Accept::kQueued);
  EXPECT_EQ(deliver(in, Message{8, "ij"}), InStream::Accept::kDuplicate) << "the old copy of ij";
  EXPECT_EQ(read_all(in), "abcdefghij");
  // A resend that overlaps what arrived keeps only the new tail.
  queued.append("KL", 2);
  out.send(queued, 4, collect, &wire);
  EXPECT_EQ(deliver(in, Message{8, "ijKL"}), InStream::Accept::kQueued);
  EXPECT_EQ(read_all(in), "KL");
}

TEST(NatsStream, EveryReadMessageIsReleasedAndTheRestAtTheEnd) {
  released = 0;
  {
    InStream in(release);
    deliver(in, Message{0, "one"});
    deliver(in, Message{3, "two"});
    deliver(in, Message{6, "three"});
    char buffer[4];
    EXPECT_EQ(in.read(buffer, 4), 4u);  // "one" and a byte of "two"
    EXPECT_EQ(released, 1);
  }
  EXPECT_EQ(released, 3) << "what was never read is released with the stream";
}

// A peer whose agent reads nothing stops the sender at the window; what is
// left stays in the agent's own output, where its limit applies.
TEST(NatsStream, TheWindowHoldsBackWhatThePeerHasNotRead) {
  OutStream out;
  InStream in(release);
  ByteBuffer queued;
  std::vector<Message> wire;
  std::string block(1 << 20, 'x');
  for (int i = 0; i < 6; ++i) queued.append(block.data(), block.size());
  out.send(queued, 256 * 1024, collect, &wire);
  EXPECT_EQ(out.sent(), kStreamWindow);
  EXPECT_EQ(queued.size(), 6 * block.size() - kStreamWindow);
  for (auto &m : wire) deliver(in, m);
  uint64_t received, consumed;
  EXPECT_FALSE(in.ack_due());
  in.acknowledged(&received, &consumed);
  ASSERT_TRUE(out.on_ack(received, consumed));
  out.send(queued, 256 * 1024, collect, &wire);
  EXPECT_EQ(out.sent(), kStreamWindow) << "received but unread: still in the window";
  std::string sink(kStreamWindow / 2, '\0');
  in.read(sink.data(), sink.size());
  EXPECT_TRUE(in.ack_due());
  in.acknowledged(&received, &consumed);
  ASSERT_TRUE(out.on_ack(received, consumed));
  out.send(queued, 256 * 1024, collect, &wire);
  EXPECT_EQ(out.sent(), kStreamWindow + kStreamWindow / 2);
  EXPECT_FALSE(out.on_ack(out.sent() + 1, 0)) << "acknowledging bytes never sent";
}

// The last message lost leaves no later one to show the gap: two quiet
// heartbeat periods with bytes unacknowledged call for a resend.
TEST(NatsStream, UnacknowledgedBytesCallForAResendAfterTwoQuietPeriods) {
  OutStream out;
  ByteBuffer queued;
  std::vector<Message> wire;
  EXPECT_FALSE(out.stalled()) << "nothing sent";
  queued.append("tail", 4);
  out.send(queued, 64, collect, &wire);
  EXPECT_FALSE(out.stalled());
  EXPECT_TRUE(out.stalled());
  wire.clear();
  out.resend(64, collect, &wire);
  ASSERT_EQ(wire.size(), 1u);
  EXPECT_EQ(wire[0].bytes, "tail");
  EXPECT_FALSE(out.stalled()) << "a resend starts the count again";
  ASSERT_TRUE(out.on_ack(4, 4));
  EXPECT_FALSE(out.stalled());
  EXPECT_FALSE(out.stalled()) << "all acknowledged";
}

}  // namespace
