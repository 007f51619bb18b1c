// The frame codec and the output buffer (internal: this program links the
// library's objects).
#include "wire/protocol.h"

#include <gtest/gtest.h>

using namespace wex::proto;

namespace {

std::string bytes_of(ByteBuffer &b) { return std::string(b.begin(), b.size()); }

// Splits and parses one MESSAGE frame from the head of a buffer.
bool decode_message(std::string wire, uint32_t *id, std::vector<std::string> *texts) {
  Frame f;
  size_t used;
  if (split_frame(wire.data(), wire.size(), &f, &used) != Split::kFrame) return false;
  char *argv[kMaxArgs];
  int argc;
  if (!parse_message(f, id, &argc, argv)) return false;
  texts->assign(argv, argv + argc);
  return used == wire.size();
}

TEST(Codec, FramesRoundTrip) {
  ByteBuffer out;
  put_hello(out, 0x0102030405060708ull, "agent one");
  put_subscribe(out, 77, "^a(b)?$");
  put_unsubscribe(out, 78);
  put_empty(out, kReady);
  std::string wire = bytes_of(out);
  Frame f;
  size_t used;
  char *p = wire.data();
  size_t left = wire.size();

  ASSERT_EQ(split_frame(p, left, &f, &used), Split::kFrame);
  Hello h;
  ASSERT_TRUE(parse_hello(f, &h));
  EXPECT_EQ(h.version, kVersion);
  EXPECT_EQ(h.agent_id, 0x0102030405060708ull);
  EXPECT_EQ(std::string(h.name, h.name_size), "agent one");
  p += used, left -= used;

  ASSERT_EQ(split_frame(p, left, &f, &used), Split::kFrame);
  uint32_t id;
  const char *pattern;
  size_t size;
  ASSERT_TRUE(parse_subscribe(f, &id, &pattern, &size));
  EXPECT_EQ(id, 77u);
  EXPECT_EQ(std::string(pattern, size), "^a(b)?$");
  EXPECT_FALSE(parse_hello(f, &h)) << "a frame parses only as its own type";
  p += used, left -= used;

  ASSERT_EQ(split_frame(p, left, &f, &used), Split::kFrame);
  ASSERT_TRUE(parse_unsubscribe(f, &id));
  EXPECT_EQ(id, 78u);
  p += used, left -= used;

  ASSERT_EQ(split_frame(p, left, &f, &used), Split::kFrame);
  EXPECT_EQ(f.type, kReady);
  EXPECT_TRUE(parse_empty(f));
  EXPECT_EQ(used, left);
}

TEST(Codec, MessageTextsPointIntoTheFrameAndEndInNul) {
  ByteBuffer out;
  // An absent group comes as a null text: it goes out empty.
  const std::string_view sent[] = {"one", std::string_view(), "line\nbreak"};
  ASSERT_TRUE(put_message(out, 5, sent, 3));
  std::string wire = bytes_of(out);
  uint32_t id;
  std::vector<std::string> texts;
  ASSERT_TRUE(decode_message(wire, &id, &texts));
  EXPECT_EQ(id, 5u);
  EXPECT_EQ(texts, (std::vector<std::string>{"one", "", "line\nbreak"}));
}

TEST(Codec, EveryTruncationIsIncompleteAndNoLengthIsTrusted) {
  ByteBuffer out;
  put_hello(out, 9, "n");
  std::string wire = bytes_of(out);
  Frame f;
  size_t used;
  for (size_t n = 0; n < wire.size(); ++n)
    EXPECT_EQ(split_frame(wire.data(), n, &f, &used), Split::kIncomplete) << n;
  std::string zero(4, '\0'), huge("\x00\x40\x00\x01", 4);
  EXPECT_EQ(split_frame(zero.data(), 4, &f, &used), Split::kMalformed);
  EXPECT_EQ(split_frame(huge.data(), 4, &f, &used), Split::kMalformed) << "4 MiB + 1";
}

TEST(Codec, StrictDecoderRejectsBadFields) {
  auto message = [](auto build) {
    ByteBuffer out;
    size_t start = begin_frame(out, kMessage);
    build(out);
    end_frame(out, start);
    return bytes_of(out);
  };
  uint32_t id;
  std::vector<std::string> texts;
  // A text whose size runs past the frame.
  EXPECT_FALSE(decode_message(message([](ByteBuffer &o) {
                                put_u32(o, 1), put_u16(o, 1), put_u32(o, 1000), o.append("ab", 3);
                              }),
                              &id, &texts));
  // Missing terminating NUL, and a NUL inside a text.
  EXPECT_FALSE(decode_message(message([](ByteBuffer &o) {
                                put_u32(o, 1), put_u16(o, 1), put_u32(o, 2), o.append("abc", 3);
                              }),
                              &id, &texts));
  EXPECT_FALSE(decode_message(message([](ByteBuffer &o) {
                                put_u32(o, 1), put_u16(o, 1), put_u32(o, 2), o.append("a\0\0", 3);
                              }),
                              &id, &texts));
  // A count larger than the texts present, one over the limit, trailing bytes.
  EXPECT_FALSE(decode_message(
      message([](ByteBuffer &o) { put_u32(o, 1), put_u16(o, 2), put_text(o, "a", 1); }), &id,
      &texts));
  EXPECT_FALSE(decode_message(
      message([](ByteBuffer &o) { put_u32(o, 1), put_u16(o, uint16_t(kMaxArgs + 1)); }), &id,
      &texts));
  EXPECT_FALSE(decode_message(
      message([](ByteBuffer &o) { put_u32(o, 1), put_u16(o, 0), o.append("x", 1); }), &id, &texts));
  EXPECT_TRUE(
      decode_message(message([](ByteBuffer &o) { put_u32(o, 1), put_u16(o, 0); }), &id, &texts));
  // A frame over the limit is taken back out of the buffer.
  ByteBuffer out;
  put_empty(out, kPing);
  size_t before = out.size();
  size_t start = begin_frame(out, kMessage);
  std::string big(kMaxFrame, 'x');
  put_text(out, big.data(), big.size());
  EXPECT_FALSE(end_frame(out, start));
  EXPECT_EQ(out.size(), before);
  const std::string_view texts_over[] = {big};
  EXPECT_FALSE(put_message(out, 1, texts_over, 1));
  EXPECT_EQ(out.size(), before);
}

TEST(Codec, AnnouncementsOfOtherKindsAreRefused) {
  unsigned char d[kAnnounceSize];
  encode_announce(d, 4242, 0xABCDEF);
  uint16_t port;
  uint64_t id;
  ASSERT_TRUE(decode_announce(d, sizeof d, &port, &id));
  EXPECT_EQ(port, 4242);
  EXPECT_EQ(id, 0xABCDEFu);
  EXPECT_FALSE(decode_announce(d, sizeof d - 1, &port, &id));
  for (size_t i : {0u, 4u, 5u}) {
    unsigned char bad[kAnnounceSize];
    memcpy(bad, d, sizeof d);
    bad[i] ^= 0x40;
    EXPECT_FALSE(decode_announce(bad, sizeof bad, &port, &id)) << "byte " << i;
  }
}

TEST(Codec, NatsEnvelopesRoundTripAndRefuseWhatIsNotOurs) {
  unsigned char presence[kPresenceSize], head[kDataHead], ack[kAckSize], close[kCloseSize];
  encode_presence(presence, 0x1122334455667788ull, 0x7F000001);
  Envelope e;
  ASSERT_TRUE(decode_envelope(presence, sizeof presence, &e));
  EXPECT_EQ(e.kind, NatsKind::kPresence);
  EXPECT_EQ(e.sender, 0x1122334455667788ull);
  EXPECT_EQ(e.host, 0x7F000001u);

  encode_data_head(head, 5, 1ull << 40);
  std::string data(reinterpret_cast<char *>(head), sizeof head);
  EXPECT_FALSE(decode_envelope(data.data(), data.size(), &e)) << "DATA without bytes";
  data += "frames";
  ASSERT_TRUE(decode_envelope(data.data(), data.size(), &e));
  EXPECT_EQ(e.kind, NatsKind::kData);
  EXPECT_EQ(e.offset, 1ull << 40);
  EXPECT_EQ(std::string(e.data, e.size), "frames");

  encode_ack(ack, 5, 300, 200, kResend);
  ASSERT_TRUE(decode_envelope(ack, sizeof ack, &e));
  EXPECT_EQ(e.kind, NatsKind::kAck);
  EXPECT_EQ(e.received, 300u);
  EXPECT_EQ(e.consumed, 200u);
  EXPECT_EQ(e.flags, kResend);
  encode_ack(ack, 5, 200, 300, 0);
  EXPECT_FALSE(decode_envelope(ack, sizeof ack, &e)) << "read more than it received";

  encode_close(close, 5);
  ASSERT_TRUE(decode_envelope(close, sizeof close, &e));
  EXPECT_EQ(e.kind, NatsKind::kClose);

  EXPECT_FALSE(decode_envelope(presence, sizeof presence - 1, &e)) << "short";
  for (size_t i : {0u, 4u, 5u}) {  // magic, version, kind
    unsigned char bad[kPresenceSize];
    memcpy(bad, presence, sizeof bad);
    bad[i] = 0x7E;
    EXPECT_FALSE(decode_envelope(bad, sizeof bad, &e)) << "byte " << i;
  }
  encode_presence(presence, 0, 1);
  EXPECT_FALSE(decode_envelope(presence, sizeof presence, &e)) << "agent id 0";
}

// Output that is partly written leaves a gap at the head; a frame built
// behind it may make the buffer slide its live bytes down or grow into a
// new block.  Either way the length must land on the frame's own header.
TEST(Codec, FrameBuiltWhileTheBufferMovesKeepsItsLength) {
  for (size_t body : {size_t(2500), size_t(100000)}) {  // a slide, then a growth
    ByteBuffer out;
    auto message = [&out](size_t size) {
      std::string text(size, 'x');
      size_t start = begin_frame(out, kMessage);
      put_text(out, text.data(), text.size());
      return end_frame(out, start);
    };
    ASSERT_TRUE(message(1500));
    ASSERT_TRUE(message(500));
    out.consume(kLengthSize + 1 + 4 + 1500 + 1);  // the first went out, the second waits
    char *before = out.begin();
    ASSERT_TRUE(message(body));
    ASSERT_NE(out.begin(), before) << "the case needs the live bytes to move";
    std::string wire = bytes_of(out);
    Frame f;
    size_t used, at = 0;
    for (size_t want : {size_t(500), body}) {
      ASSERT_EQ(split_frame(wire.data() + at, wire.size() - at, &f, &used), Split::kFrame);
      EXPECT_EQ(f.size, 4 + want + 1);
      at += used;
    }
    EXPECT_EQ(at, wire.size());
  }
}

TEST(Codec, PinnedBufferKeepsItsOldBlockForReaders) {
  ByteBuffer in;
  in.append("frame-one", 9);
  char *old = in.begin();
  in.consume(9);
  char *retired = nullptr;
  // Not allowed to move: the old bytes must stay readable where they are.
  in.reserve(1 << 20, false, &retired);
  EXPECT_EQ(retired, old);
  EXPECT_EQ(std::string(retired, 9), "frame-one");
  ByteBuffer::release(retired);
}

}  // namespace
