// The wire protocol of the bus: the announcement datagram, the frames that
// agents exchange over TCP, and the envelope that carries both over NATS.  docs/protocol.md is the
// reference for authors of peers in other languages; the constants here are the numbers it quotes.
// Encoding appends to a ByteBuffer; decoding never trusts a length or a count, and hands back
// pointers into the frame instead of copies, which works because every text on the wire carries its
// own NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/byte_buffer.h"

namespace wex::proto {

using wex::ByteBuffer;

constexpr uint16_t kVersion = 1;

// ---- Announcement datagram (UDP) ----
// "WEXA", version (u8), kind (u8), TCP port (u16), agent id (u64); kind 0
// ends there, kind 1 (on a bus with a secret) adds a 16-byte MAC of those
// 16 bytes.
constexpr size_t kAnnounceSize = 16;
constexpr size_t kSignedAnnounceSize = 32;
enum AnnounceKind : uint8_t { kPlainAnnounce = 0, kSignedAnnounce = 1 };
void encode_announce(unsigned char out[kAnnounceSize], uint16_t tcp_port, uint64_t agent_id,
                     AnnounceKind kind = kPlainAnnounce);
// False for anything short, foreign or of another version or kind.  A
// signed one is at least kSignedAnnounceSize bytes, its MAC after the 16th.
bool decode_announce(const void *data, size_t size, uint16_t *tcp_port, uint64_t *agent_id,
                     AnnounceKind *kind = nullptr);

// ---- Frames (TCP) ----
// u32 length (big-endian, counts the type byte and the body), u8 type, body.
constexpr size_t kLengthSize = 4;
constexpr uint32_t kMaxFrame = 4u << 20;     // largest length field accepted
constexpr size_t kMaxName = 1024;            // agent name, bytes
constexpr size_t kMaxPattern = 16 * 1024;    // subscription pattern, bytes
constexpr size_t kMaxArgs = 256;             // texts in one delivery
constexpr size_t kMaxSubscriptions = 10000;  // per peer

enum FrameType : uint8_t {
  kHello = 1,
  kSubscribe = 2,
  kUnsubscribe = 3,
  kReady = 4,
  kMessage = 5,
  kPing = 6,
  kBye = 7,
  kChallenge = 8,  // on a bus with a secret: a nonce
  kProof = 9,      // on a bus with a secret: an agent id and its proof
};

// Big-endian fields, written in place.
inline void set_u16(unsigned char *p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void set_u32(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

// Encoding.  Frames are built in place: begin_frame writes a placeholder
// length and the type, end_frame patches the length.  Returns false from
// end_frame when the frame came out over kMaxFrame (the frame is then taken
// back out of the buffer).
size_t begin_frame(ByteBuffer &out, FrameType type);
bool end_frame(ByteBuffer &out, size_t start);
void put_u16(ByteBuffer &out, uint16_t v);
void put_u32(ByteBuffer &out, uint32_t v);
void put_u64(ByteBuffer &out, uint64_t v);
void put_text(ByteBuffer &out, const char *text, size_t size);  // u32 size, bytes, NUL

void put_hello(ByteBuffer &out, uint64_t agent_id, std::string_view name);
void put_subscribe(ByteBuffer &out, uint32_t binding_id, std::string_view pattern);
void put_unsubscribe(ByteBuffer &out, uint32_t binding_id);
void put_empty(ByteBuffer &out, FrameType type);  // READY, PING, BYE

// A whole MESSAGE frame (binding id, count, texts), sized first and written
// in one piece: the frame of every delivery.  A text is anything with data()
// and size(); a null data() of size 0 is an empty text.  False, and nothing
// appended, when the frame would pass kMaxFrame.
template <class Text>
bool put_message(ByteBuffer &out, uint32_t binding_id, const Text *texts, int count) {
  size_t length = 1 + 4 + 2;
  for (int i = 0; i < count; ++i) length += 4 + size_t(texts[i].size()) + 1;
  if (length > kMaxFrame) return false;
  auto *p = reinterpret_cast<unsigned char *>(out.reserve(kLengthSize + length));
  set_u32(p, uint32_t(length));
  p[4] = kMessage;
  set_u32(p + 5, binding_id);
  set_u16(p + 9, uint16_t(count));
  p += 11;
  for (int i = 0; i < count; ++i) {
    size_t n = size_t(texts[i].size());
    set_u32(p, uint32_t(n));
    if (n) std::memcpy(p + 4, texts[i].data(), n);
    p[4 + n] = '\0';
    p += 4 + n + 1;
  }
  out.commit(kLengthSize + length);
  return true;
}

// Decoding.
struct Frame {
  uint8_t type;
  char *body;  // inside the caller's buffer
  uint32_t size;
};
enum class Split { kFrame, kIncomplete, kMalformed };
// Looks at the head of [data, data+avail): a whole frame (*consumed set to
// its size on the wire), not enough bytes yet, or a length no agent sends.
Split split_frame(char *data, size_t avail, Frame *frame, size_t *consumed);

// Frames laid end to end from data: the offset just past the frame that
// covers offset n (n itself when a frame ends there), and whether that
// frame is a MESSAGE.  The caller knows the frames are whole.
size_t frame_end_after(const char *data, size_t n, bool *is_message);
// The MESSAGE frames among whole frames laid end to end in [data, data+size).
unsigned long count_messages(const char *data, size_t size);

struct Hello {
  uint16_t version;
  uint64_t agent_id;
  const char *name;
  size_t name_size;
};
bool parse_hello(const Frame &f, Hello *out);
bool parse_subscribe(const Frame &f, uint32_t *binding_id, const char **pattern,
                     size_t *pattern_size);
bool parse_unsubscribe(const Frame &f, uint32_t *binding_id);
bool parse_empty(const Frame &f);
void put_challenge(ByteBuffer &out, const unsigned char *nonce, size_t size);
void put_proof(ByteBuffer &out, uint64_t agent_id, const unsigned char *tag, size_t size);
bool parse_challenge(const Frame &f, const unsigned char **nonce, size_t size);
bool parse_proof(const Frame &f, uint64_t *agent_id, const unsigned char **tag, size_t size);
// argv must hold kMaxArgs entries; each points into the frame, NUL-terminated.
bool parse_message(const Frame &f, uint32_t *binding_id, int *argc, char **argv);

// ---- NATS envelope ----
// Every NATS message of a bus: "WEXN", version (u8), kind (u8), the sender's
// agent id (u64), then by kind:
//   PRESENCE  IPv4 host (u32, 0 = unknown)
//   DATA      stream offset (u64), then at least one byte of the link's frames
//   ACK       received (u64), consumed (u64), flags (u8: kResend)
//   CLOSE     nothing
enum class NatsKind : uint8_t { kPresence = 1, kData = 2, kAck = 3, kClose = 4 };
constexpr size_t kEnvelopeHead = 14;
constexpr size_t kPresenceSize = kEnvelopeHead + 4;
constexpr size_t kDataHead = kEnvelopeHead + 8;
constexpr size_t kAckSize = kEnvelopeHead + 17;
constexpr size_t kCloseSize = kEnvelopeHead;
constexpr uint8_t kResend = 1;  // ACK: a gap was seen, send again from `received`

struct Envelope {
  NatsKind kind;
  uint64_t sender;
  uint32_t host = 0;                    // PRESENCE
  uint64_t offset = 0;                  // DATA
  const char *data = nullptr;           // DATA: the stream bytes
  size_t size = 0;                      // DATA: their count
  uint64_t received = 0, consumed = 0;  // ACK
  uint8_t flags = 0;                    // ACK
};
void encode_presence(unsigned char out[kPresenceSize], uint64_t sender, uint32_t host);
void encode_data_head(unsigned char out[kDataHead], uint64_t sender, uint64_t offset);
void encode_ack(unsigned char out[kAckSize], uint64_t sender, uint64_t received, uint64_t consumed,
                uint8_t flags);
void encode_close(unsigned char out[kCloseSize], uint64_t sender);
// False for anything foreign, of another version or kind, of the wrong size
// for its kind, from agent id 0, or DATA without bytes.
bool decode_envelope(const void *data, size_t size, Envelope *out);

}  // namespace wex::proto
