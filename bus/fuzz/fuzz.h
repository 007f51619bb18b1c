// What the fuzz targets share: a fatal check that libFuzzer records as a
// crash (and the replay driver as a failure), a reader over the fuzzer's
// bytes, and frames written byte by byte from docs/protocol.md, so that a
// target compares the library's encoding and decoding with an encoding of
// its own rather than with itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wire/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace wex::fuzz {

[[noreturn]] inline void fail(const char *file, int line, const char *what) {
  fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  abort();
}
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::wex::fuzz::fail(__FILE__, __LINE__, #cond))

// The fuzzer's bytes, taken from the front.  Past the end every read gives
// zeros, so a target never has to ask whether a field is there.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : p_(data), left_(size) {}
  size_t left() const { return left_; }
  uint8_t u8() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
  }
  uint16_t u16() { return uint16_t(u8() << 8 | u8()); }
  uint32_t u32() { return uint32_t(u16()) << 16 | u16(); }
  uint64_t u64() { return uint64_t(u32()) << 32 | u32(); }
  // Up to n bytes (fewer at the end).
  std::string_view bytes(size_t n) {
    if (n > left_) n = left_;
    std::string_view s(reinterpret_cast<const char *>(p_), n);
    p_ += n;
    left_ -= n;
    return s;
  }
  std::string_view rest() { return bytes(left_); }

 private:
  const uint8_t *p_;
  size_t left_;
};

// A chunking schedule: a count byte, then that many step bytes, used in a
// cycle ("no steps" is one step that takes everything).  The rest of the
// input is the stream that the steps cut up.
class Schedule {
 public:
  explicit Schedule(Input &in) {
    n_ = in.u8() % 33;
    std::string_view s = in.bytes(n_);
    n_ = s.size();
    for (size_t i = 0; i < n_; ++i) steps_[i] = uint8_t(s[i]);
  }
  bool empty() const { return n_ == 0; }
  uint8_t next() {
    uint8_t s = steps_[i_];
    i_ = (i_ + 1) % n_;
    return s;
  }

 private:
  uint8_t steps_[32] = {};
  size_t n_ = 0, i_ = 0;
};

// Frames as docs/protocol.md writes them: big-endian integers, texts with
// a 4-byte size and a NUL, a 4-byte length over the type and the body.
namespace wire {
inline void be16(std::string &s, uint16_t v) {
  s += char(v >> 8);
  s += char(v);
}
inline void be32(std::string &s, uint32_t v) {
  for (int i = 3; i >= 0; --i) s += char(v >> (8 * i));
}
inline void be64(std::string &s, uint64_t v) {
  be32(s, uint32_t(v >> 32));
  be32(s, uint32_t(v));
}
inline void text(std::string &s, std::string_view t) {
  be32(s, uint32_t(t.size()));
  s += t;
  s += '\0';
}
inline std::string frame(uint8_t type, std::string_view body) {
  std::string f;
  be32(f, uint32_t(body.size() + 1));
  f += char(type);
  f += body;
  return f;
}
inline std::string hello(uint64_t id, std::string_view name, uint16_t version = 1) {
  std::string b = "WEX!";
  be16(b, version);
  be64(b, id);
  text(b, name);
  return frame(1, b);
}
inline std::string subscribe(uint32_t id, std::string_view pattern) {
  std::string b;
  be32(b, id);
  text(b, pattern);
  return frame(2, b);
}
inline std::string unsubscribe(uint32_t id) {
  std::string b;
  be32(b, id);
  return frame(3, b);
}
inline std::string empty(uint8_t type) { return frame(type, ""); }
template <class Texts>
std::string message(uint32_t id, const Texts &texts) {
  std::string b;
  be32(b, id);
  be16(b, uint16_t(texts.size()));
  for (std::string_view t : texts) text(b, t);
  return frame(5, b);
}
inline uint32_t get32(std::string_view s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = v << 8 | uint8_t(s[at + i]);
  return v;
}
}  // namespace wire

// Whether the parser of the frame's own type takes it; a HELLO's fields go
// to *hello.  A frame of no known type is not taken.
inline bool parses_as_its_type(const proto::Frame &f, proto::Hello *hello) {
  uint32_t id;
  const char *text;
  size_t size;
  int argc;
  char *argv[proto::kMaxArgs];
  const unsigned char *bytes;
  uint64_t agent;
  switch (f.type) {
    case proto::kHello:
      return proto::parse_hello(f, hello);
    case proto::kSubscribe:
      return proto::parse_subscribe(f, &id, &text, &size);
    case proto::kUnsubscribe:
      return proto::parse_unsubscribe(f, &id);
    case proto::kMessage:
      return proto::parse_message(f, &id, &argc, argv);
    case proto::kReady:
    case proto::kPing:
    case proto::kBye:
      return proto::parse_empty(f);
    case proto::kChallenge:  // a 16-byte nonce
      return proto::parse_challenge(f, &bytes, 16);
    case proto::kProof:  // an id and a 32-byte tag
      return proto::parse_proof(f, &agent, &bytes, 32);
  }
  return false;
}

// The world of the agent target (fuzz_agent.cpp), which its seeds must know:
// the agent's id once started, the ids of its two peers, and the agent's
// bindings, whose wire ids are 1, 2, ... in this order.
namespace agent_world {
constexpr uint64_t kOurId = 0x0123456789abcdefull;
constexpr uint64_t kBystanderId = 0x1111111111111111ull;
constexpr uint64_t kPeerId = 0x2222222222222222ull;
constexpr const char *kBindings[] = {
    "^(\\w+) (\\d+)$",  // 1: two groups
    "^hello$",          // 2: none
    "^echo (.*)$",      // 3: its callback sends the group as a message
    "^nest( .*)?$",     // 4: its callback runs a nested loop step
};
// Step bytes of the agent target's schedule, besides reads of s + 1 bytes.
constexpr uint8_t kStepTake =
    0xF0;  // 0xF0..0xF7: the peer's socket takes 0, 4, 16, ... bytes a send
constexpr uint8_t kStepSend = 0xF8;  // 0xF8..0xFC: the agent sends one of kTexts
constexpr uint8_t kStepTick = 0xFD;  // a heartbeat period passes
constexpr uint8_t kStepAll = 0xFE;   // 0xFE, 0xFF: a read of everything left
constexpr const char *kTexts[] = {"ping 1", "hello", "fuzz 12345", "",
                                  "a longer text (with groups) 0123456789"};
}  // namespace agent_world

}  // namespace wex::fuzz
