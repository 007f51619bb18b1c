// The wire protocol of the bus: the announcement datagram, and the frames
// that agents exchange over TCP.  docs/protocol.md is the reference for
// authors of peers in other languages; the constants here are the numbers it
// quotes.  Encoding appends to a ByteBuffer; decoding never trusts a length or
// a count, and hands back pointers into the frame instead of copies, which
// works because every text on the wire carries its own NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace wex::proto {

constexpr uint16_t kVersion = 1;

// ---- Announcement datagram (UDP) ----
// "WEXA", version (u8), kind (u8, 0 = announce), TCP port (u16), agent id (u64).
constexpr size_t kAnnounceSize = 16;
void encode_announce(unsigned char out[kAnnounceSize], uint16_t tcp_port, uint64_t agent_id);
// False for anything short, foreign or of another version.
bool decode_announce(const void *data, size_t size, uint16_t *tcp_port, uint64_t *agent_id);

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
};

// A growable byte queue: bytes are appended at the tail and consumed at the
// head.  Storage moves only inside reserve(), and only when the caller allows
// it: a buffer whose bytes a running callback still reads is never moved
// under it (see the agent's pinning).
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
  char *reserve(size_t n, bool may_move = true, char **retired = nullptr);
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
  char *data_ = nullptr;
  size_t head_ = 0, tail_ = 0, capacity_ = 0;
};

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
// argv must hold kMaxArgs entries; each points into the frame, NUL-terminated.
bool parse_message(const Frame &f, uint32_t *binding_id, int *argc, char **argv);

}  // namespace wex::proto
