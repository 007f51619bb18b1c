#include "wire/protocol.h"

namespace wex::proto {

namespace {

constexpr unsigned char kAnnounceMagic[4] = {'W', 'E', 'X', 'A'};
constexpr unsigned char kHelloMagic[4] = {'W', 'E', 'X', '!'};
constexpr unsigned char kEnvelopeMagic[4] = {'W', 'E', 'X', 'N'};

uint16_t get_u16(const unsigned char *p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t get_u32(const unsigned char *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint64_t get_u64(const unsigned char *p) { return uint64_t(get_u32(p)) << 32 | get_u32(p + 4); }
void set_u64(unsigned char *p, uint64_t v) {
  set_u32(p, uint32_t(v >> 32));
  set_u32(p + 4, uint32_t(v));
}

// A bounds-checked reader over one frame body.  Every getter fails once the
// body is exhausted, so a decoder that checks ok() at the end has checked
// every field.
class Reader {
 public:
  Reader(char *body, size_t size) : p_(body), end_(body + size) {}
  bool ok() const { return ok_; }
  bool at_end() const { return ok_ && p_ == end_; }
  bool bytes(void *out, size_t n) {
    if (!ok_ || size_t(end_ - p_) < n) return ok_ = false;
    memcpy(out, p_, n);
    p_ += n;
    return true;
  }
  uint16_t u16() {
    unsigned char b[2] = {0, 0};
    bytes(b, 2);
    return get_u16(b);
  }
  uint32_t u32() {
    unsigned char b[4] = {0, 0, 0, 0};
    bytes(b, 4);
    return get_u32(b);
  }
  uint64_t u64() {
    unsigned char b[8] = {};
    bytes(b, 8);
    return get_u64(b);
  }
  // A text: u32 size, that many bytes without NUL, then one NUL.
  char *text(size_t max, size_t *size) {
    uint32_t n = u32();
    if (!ok_ || n > max || size_t(end_ - p_) < size_t(n) + 1) {
      ok_ = false;
      return nullptr;
    }
    char *t = p_;
    if (t[n] != '\0' || memchr(t, '\0', n) != nullptr) {
      ok_ = false;
      return nullptr;
    }
    p_ += size_t(n) + 1;
    *size = n;
    return t;
  }

 private:
  char *p_;
  char *end_;
  bool ok_ = true;
};

}  // namespace

void encode_announce(unsigned char out[kAnnounceSize], uint16_t tcp_port, uint64_t agent_id,
                     AnnounceKind kind) {
  memcpy(out, kAnnounceMagic, 4);
  out[4] = uint8_t(kVersion);
  out[5] = kind;
  set_u16(out + 6, tcp_port);
  set_u64(out + 8, agent_id);
}

bool decode_announce(const void *data, size_t size, uint16_t *tcp_port, uint64_t *agent_id,
                     AnnounceKind *kind) {
  auto p = static_cast<const unsigned char *>(data);
  if (size < kAnnounceSize || memcmp(p, kAnnounceMagic, 4) != 0) return false;
  if (p[4] != kVersion || p[5] > kSignedAnnounce) return false;
  if (p[5] == kSignedAnnounce && size < kSignedAnnounceSize) return false;
  if (kind) *kind = AnnounceKind(p[5]);
  *tcp_port = get_u16(p + 6);
  *agent_id = get_u64(p + 8);
  return *tcp_port != 0 && *agent_id != 0;
}

// ---- Encoding ----

size_t begin_frame(ByteBuffer &out, FrameType type) {
  size_t start = out.mark();
  unsigned char head[5] = {0, 0, 0, 0, type};
  out.append(head, sizeof head);
  return start;
}

bool end_frame(ByteBuffer &out, size_t start) {
  size_t length = out.mark() - start - kLengthSize;
  if (length > kMaxFrame) {
    out.truncate_to(start);
    return false;
  }
  set_u32(reinterpret_cast<unsigned char *>(out.at(start)), uint32_t(length));
  return true;
}

void put_u16(ByteBuffer &out, uint16_t v) {
  unsigned char b[2];
  set_u16(b, v);
  out.append(b, 2);
}
void put_u32(ByteBuffer &out, uint32_t v) {
  unsigned char b[4];
  set_u32(b, v);
  out.append(b, 4);
}
void put_u64(ByteBuffer &out, uint64_t v) {
  unsigned char b[8];
  set_u64(b, v);
  out.append(b, 8);
}
void put_text(ByteBuffer &out, const char *text, size_t size) {
  char *p = out.reserve(4 + size + 1);
  set_u32(reinterpret_cast<unsigned char *>(p), uint32_t(size));
  if (size) memcpy(p + 4, text, size);
  p[4 + size] = '\0';
  out.commit(4 + size + 1);
}

void put_hello(ByteBuffer &out, uint64_t agent_id, std::string_view name) {
  size_t start = begin_frame(out, kHello);
  out.append(kHelloMagic, 4);
  put_u16(out, kVersion);
  put_u64(out, agent_id);
  put_text(out, name.data(), name.size() > kMaxName ? kMaxName : name.size());
  end_frame(out, start);
}

void put_subscribe(ByteBuffer &out, uint32_t binding_id, std::string_view pattern) {
  size_t start = begin_frame(out, kSubscribe);
  put_u32(out, binding_id);
  put_text(out, pattern.data(), pattern.size());
  end_frame(out, start);
}

void put_unsubscribe(ByteBuffer &out, uint32_t binding_id) {
  size_t start = begin_frame(out, kUnsubscribe);
  put_u32(out, binding_id);
  end_frame(out, start);
}

void put_empty(ByteBuffer &out, FrameType type) {
  size_t start = begin_frame(out, type);
  end_frame(out, start);
}

// ---- Decoding ----

Split split_frame(char *data, size_t avail, Frame *frame, size_t *consumed) {
  if (avail < kLengthSize) return Split::kIncomplete;
  uint32_t length = get_u32(reinterpret_cast<unsigned char *>(data));
  // The length is judged before waiting for the body, so a peer that claims
  // a huge frame is dropped at once instead of making us buffer it.
  if (length == 0 || length > kMaxFrame) return Split::kMalformed;
  if (avail - kLengthSize < length) return Split::kIncomplete;
  frame->type = uint8_t(data[kLengthSize]);
  frame->body = data + kLengthSize + 1;
  frame->size = length - 1;
  *consumed = kLengthSize + length;
  return Split::kFrame;
}

size_t frame_end_after(const char *data, size_t n, bool *is_message) {
  size_t at = 0;
  while (at < n) {
    *is_message = uint8_t(data[at + kLengthSize]) == kMessage;
    at += kLengthSize + get_u32(reinterpret_cast<const unsigned char *>(data + at));
  }
  return at;
}

unsigned long count_messages(const char *data, size_t size) {
  unsigned long messages = 0;
  for (size_t at = 0; at + kLengthSize < size;
       at += kLengthSize + get_u32(reinterpret_cast<const unsigned char *>(data + at)))
    messages += uint8_t(data[at + kLengthSize]) == kMessage;
  return messages;
}

bool parse_hello(const Frame &f, Hello *out) {
  if (f.type != kHello) return false;
  Reader r(f.body, f.size);
  unsigned char magic[4] = {};
  r.bytes(magic, 4);
  out->version = r.u16();
  out->agent_id = r.u64();
  out->name = r.text(kMaxName, &out->name_size);
  return r.at_end() && memcmp(magic, kHelloMagic, 4) == 0 && out->agent_id != 0;
}

bool parse_subscribe(const Frame &f, uint32_t *binding_id, const char **pattern,
                     size_t *pattern_size) {
  if (f.type != kSubscribe) return false;
  Reader r(f.body, f.size);
  *binding_id = r.u32();
  *pattern = r.text(kMaxPattern, pattern_size);
  return r.at_end();
}

bool parse_unsubscribe(const Frame &f, uint32_t *binding_id) {
  if (f.type != kUnsubscribe) return false;
  Reader r(f.body, f.size);
  *binding_id = r.u32();
  return r.at_end();
}

bool parse_empty(const Frame &f) { return f.size == 0; }

void put_challenge(ByteBuffer &out, const unsigned char *nonce, size_t size) {
  size_t start = begin_frame(out, kChallenge);
  out.append(nonce, size);
  end_frame(out, start);
}

void put_proof(ByteBuffer &out, uint64_t agent_id, const unsigned char *tag, size_t size) {
  size_t start = begin_frame(out, kProof);
  put_u64(out, agent_id);
  out.append(tag, size);
  end_frame(out, start);
}

bool parse_challenge(const Frame &f, const unsigned char **nonce, size_t size) {
  if (f.type != kChallenge || f.size != size) return false;
  *nonce = reinterpret_cast<const unsigned char *>(f.body);
  return true;
}

bool parse_proof(const Frame &f, uint64_t *agent_id, const unsigned char **tag, size_t size) {
  if (f.type != kProof || f.size != 8 + size) return false;
  *agent_id = get_u64(reinterpret_cast<const unsigned char *>(f.body));
  *tag = reinterpret_cast<const unsigned char *>(f.body) + 8;
  return *agent_id != 0;
}

bool parse_message(const Frame &f, uint32_t *binding_id, int *argc, char **argv) {
  if (f.type != kMessage) return false;
  Reader r(f.body, f.size);
  *binding_id = r.u32();
  uint16_t n = r.u16();
  if (!r.ok() || n > kMaxArgs) return false;
  for (unsigned i = 0; i < n; ++i) {
    size_t size;
    argv[i] = r.text(kMaxFrame, &size);
    if (!r.ok()) return false;
  }
  *argc = n;
  return r.at_end();
}

// ---- NATS envelope ----

namespace {

void put_envelope_head(unsigned char *out, NatsKind kind, uint64_t sender) {
  memcpy(out, kEnvelopeMagic, 4);
  out[4] = uint8_t(kVersion);
  out[5] = uint8_t(kind);
  set_u64(out + 6, sender);
}

}  // namespace

void encode_presence(unsigned char out[kPresenceSize], uint64_t sender, uint32_t host) {
  put_envelope_head(out, NatsKind::kPresence, sender);
  set_u32(out + kEnvelopeHead, host);
}

void encode_data_head(unsigned char out[kDataHead], uint64_t sender, uint64_t offset) {
  put_envelope_head(out, NatsKind::kData, sender);
  set_u64(out + kEnvelopeHead, offset);
}

void encode_ack(unsigned char out[kAckSize], uint64_t sender, uint64_t received, uint64_t consumed,
                uint8_t flags) {
  put_envelope_head(out, NatsKind::kAck, sender);
  set_u64(out + kEnvelopeHead, received);
  set_u64(out + kEnvelopeHead + 8, consumed);
  out[kEnvelopeHead + 16] = flags;
}

void encode_close(unsigned char out[kCloseSize], uint64_t sender) {
  put_envelope_head(out, NatsKind::kClose, sender);
}

bool decode_envelope(const void *data, size_t size, Envelope *out) {
  auto p = static_cast<const unsigned char *>(data);
  if (size < kEnvelopeHead || memcmp(p, kEnvelopeMagic, 4) != 0 || p[4] != kVersion) return false;
  out->kind = NatsKind(p[5]);
  out->sender = get_u64(p + 6);
  if (out->sender == 0) return false;
  const unsigned char *body = p + kEnvelopeHead;
  switch (out->kind) {
    case NatsKind::kPresence:
      if (size != kPresenceSize) return false;
      out->host = get_u32(body);
      return true;
    case NatsKind::kData:
      if (size <= kDataHead) return false;
      out->offset = get_u64(body);
      out->data = reinterpret_cast<const char *>(p + kDataHead);
      out->size = size - kDataHead;
      return true;
    case NatsKind::kAck:
      if (size != kAckSize) return false;
      out->received = get_u64(body);
      out->consumed = get_u64(body + 8);
      out->flags = body[16];
      return out->consumed <= out->received;
    case NatsKind::kClose:
      return size == kCloseSize;
  }
  return false;
}

}  // namespace wex::proto
