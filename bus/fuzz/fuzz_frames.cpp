// The frame decoder as a peer's input buffer sees it: any byte stream, cut
// into any chunks, read into a ByteBuffer the way dispatch.cpp reads a link
// (sometimes while a callback pins the buffer, so that it may not move), and
// split and parsed frame by frame as the agent dispatches them.
//
// Checked: the chunked stream yields exactly the frames, and the same end
// (incomplete or malformed, at the same frame), as the whole stream at once;
// every body is judged by every parse_* as docs/protocol.md judges it (an
// independent reading below), and what a parser accepts encodes back to the
// very bytes it came from; a frame consumed before its callback stays
// readable while the buffer is pinned.
//
// Input: a chunking schedule (fuzz.h), then the stream.  Step byte s: a
// read of (s & 0x7f) + 1 bytes; with s & 0x80 the buffer is pinned during it.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz.h"
#include "wire/protocol.h"

using namespace wex;
using namespace wex::fuzz;

namespace {

constexpr size_t kMaxName = 1024, kMaxPattern = 16384, kMaxArgs = 256, kMaxFrame = 4u << 20;

// docs/protocol.md, read independently of protocol.cpp.
bool doc_text(std::string_view b, size_t *at, size_t max, std::string_view *out) {
  if (b.size() - *at < 4) return false;
  size_t n = wire::get32(b, *at);
  if (n > max || b.size() - *at - 4 < n + 1) return false;
  std::string_view t = b.substr(*at + 4, n);
  if (t.find('\0') != std::string_view::npos || b[*at + 4 + n] != '\0') return false;
  *out = t;
  *at += 4 + n + 1;
  return true;
}

// The frame re-encoded from what the document says it holds, or "" when the
// document calls it malformed.
std::string doc_reencode(uint8_t type, std::string_view b) {
  size_t at = 0;
  std::string_view t;
  switch (type) {
    case 1: {  // HELLO: magic, version, non-zero id, name
      if (b.size() < 14 || b.substr(0, 4) != "WEX!") return "";
      uint64_t id = uint64_t(wire::get32(b, 6)) << 32 | wire::get32(b, 10);
      at = 14;
      if (id == 0 || !doc_text(b, &at, kMaxName, &t) || at != b.size()) return "";
      return wire::hello(id, t, uint16_t(uint8_t(b[4]) << 8 | uint8_t(b[5])));
    }
    case 2:  // SUBSCRIBE
      at = 4;
      if (b.size() < 4 || !doc_text(b, &at, kMaxPattern, &t) || at != b.size()) return "";
      return wire::subscribe(wire::get32(b, 0), t);
    case 3:  // UNSUBSCRIBE
      return b.size() == 4 ? wire::unsubscribe(wire::get32(b, 0)) : "";
    case 4:  // READY, PING, BYE
    case 6:
    case 7:
      return b.empty() ? wire::empty(type) : "";
    case 5: {  // MESSAGE
      if (b.size() < 6) return "";
      size_t count = size_t(uint8_t(b[4])) << 8 | uint8_t(b[5]);
      if (count > kMaxArgs) return "";
      std::vector<std::string_view> texts(count);
      at = 6;
      for (auto &text : texts)
        if (!doc_text(b, &at, kMaxFrame, &text)) return "";
      return at == b.size() ? wire::message(wire::get32(b, 0), texts) : "";
    }
    case 8:  // CHALLENGE: a 16-byte nonce
      return b.size() == 16 ? wire::frame(type, b) : "";
    case 9: {  // PROOF: a non-zero agent id, a 32-byte tag
      if (b.size() != 40) return "";
      uint64_t id = uint64_t(wire::get32(b, 0)) << 32 | wire::get32(b, 4);
      return id != 0 ? wire::frame(type, b) : "";
    }
  }
  return "";
}

// What the library's parser of the given type makes of the body, encoded
// again; "" when it refuses it.
std::string library_reencode(uint8_t type, const proto::Frame &f) {
  switch (type) {
    case proto::kHello: {
      proto::Hello h;
      if (!proto::parse_hello(f, &h)) return "";
      FUZZ_CHECK(h.name_size <= kMaxName && h.name[h.name_size] == '\0');
      return wire::hello(h.agent_id, std::string_view(h.name, h.name_size), h.version);
    }
    case proto::kSubscribe: {
      uint32_t id;
      const char *pattern;
      size_t size;
      if (!proto::parse_subscribe(f, &id, &pattern, &size)) return "";
      FUZZ_CHECK(size <= kMaxPattern && pattern[size] == '\0');
      return wire::subscribe(id, std::string_view(pattern, size));
    }
    case proto::kUnsubscribe: {
      uint32_t id;
      return proto::parse_unsubscribe(f, &id) ? wire::unsubscribe(id) : "";
    }
    case proto::kReady:
    case proto::kPing:
    case proto::kBye:
      return proto::parse_empty(f) ? wire::empty(type) : "";
    case proto::kMessage: {
      char *argv[proto::kMaxArgs];
      uint32_t id;
      int argc = -1;
      if (!proto::parse_message(f, &id, &argc, argv)) return "";
      FUZZ_CHECK(argc >= 0 && size_t(argc) <= kMaxArgs);
      std::vector<std::string_view> texts;
      for (int i = 0; i < argc; ++i) {
        FUZZ_CHECK(argv[i] >= f.body && argv[i] < f.body + f.size);
        texts.emplace_back(argv[i]);  // runs to its NUL, inside the frame
      }
      return wire::message(id, texts);
    }
    case proto::kChallenge: {
      const unsigned char *nonce;
      if (!proto::parse_challenge(f, &nonce, 16)) return "";
      FUZZ_CHECK(nonce == reinterpret_cast<const unsigned char *>(f.body));
      return wire::frame(type, std::string_view(f.body, 16));
    }
    case proto::kProof: {
      uint64_t id;
      const unsigned char *tag;
      if (!proto::parse_proof(f, &id, &tag, 32)) return "";
      FUZZ_CHECK(tag == reinterpret_cast<const unsigned char *>(f.body) + 8);
      std::string body(8, '\0');
      for (int i = 0; i < 8; ++i) body[i] = char(id >> (56 - 8 * i));
      return wire::frame(type, body + std::string(f.body + 8, 32));
    }
  }
  return "";
}

void check_frame(const proto::Frame &f) {
  std::string_view body(f.body, f.size);
  for (uint8_t type = 1; type <= 9; ++type) {
    proto::Frame as = f;
    as.type = type;
    std::string ours = library_reencode(type, as);
    FUZZ_CHECK(ours == doc_reencode(type, body));
    if (!ours.empty()) FUZZ_CHECK(ours == wire::frame(type, body));
  }
  // Each parser takes only frames of its own type.
  proto::Hello h;
  uint32_t id;
  const char *text;
  size_t size;
  int argc;
  char *argv[proto::kMaxArgs];
  if (f.type != proto::kHello) FUZZ_CHECK(!proto::parse_hello(f, &h));
  if (f.type != proto::kSubscribe) FUZZ_CHECK(!proto::parse_subscribe(f, &id, &text, &size));
  if (f.type != proto::kUnsubscribe) FUZZ_CHECK(!proto::parse_unsubscribe(f, &id));
  if (f.type != proto::kMessage) FUZZ_CHECK(!proto::parse_message(f, &id, &argc, argv));
  const unsigned char *bytes;
  uint64_t agent;
  if (f.type != proto::kChallenge) FUZZ_CHECK(!proto::parse_challenge(f, &bytes, 16));
  if (f.type != proto::kProof) FUZZ_CHECK(!proto::parse_proof(f, &agent, &bytes, 32));
}

struct Outcome {
  std::vector<std::string> frames;  // type and body of each
  bool malformed = false;
};

Outcome split_whole(std::string stream) {
  Outcome o;
  size_t at = 0;
  for (;;) {
    proto::Frame f;
    size_t used = 0;
    proto::Split s = proto::split_frame(stream.data() + at, stream.size() - at, &f, &used);
    if (s == proto::Split::kIncomplete) break;
    if (s == proto::Split::kMalformed) {
      o.malformed = true;
      break;
    }
    FUZZ_CHECK(used == 5 + size_t(f.size) && used <= stream.size() - at);
    FUZZ_CHECK(f.body == stream.data() + at + 5);
    o.frames.push_back(std::string(1, char(f.type)) + std::string(f.body, f.size));
    at += used;
  }
  // What is left is a frame still coming: its length, once there, is sane.
  if (!o.malformed && stream.size() - at >= 4) {
    uint32_t length = wire::get32(stream, at);
    FUZZ_CHECK(length >= 1 && length <= kMaxFrame && stream.size() - at - 4 < length);
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  Schedule schedule(in);
  std::string_view stream = in.rest();
  Outcome whole = split_whole(std::string(stream));

  ByteBuffer buffer;
  std::vector<char *> retired;
  size_t next = 0, fed = 0;
  bool malformed = false;
  const char *last_body = nullptr;  // the frame a callback may still read
  while (fed < stream.size() && !malformed) {
    uint8_t step = schedule.empty() ? 0x7f : schedule.next();
    size_t chunk = schedule.empty() ? stream.size() : size_t(step & 0x7f) + 1;
    bool pinned = step & 0x80;
    if (!pinned) {  // no callback runs: the buffer may start over or move
      last_body = nullptr;
      buffer.reset_if_empty();
    }
    char *old = nullptr;
    char *space = buffer.reserve(chunk, !pinned, &old);
    if (old) retired.push_back(old);
    if (pinned && last_body) {  // the consumed frame is where it was
      const std::string &want = whole.frames[next - 1];
      FUZZ_CHECK(std::string_view(last_body, want.size() - 1) == std::string_view(want).substr(1));
    }
    if (chunk > stream.size() - fed) chunk = stream.size() - fed;
    memcpy(space, stream.data() + fed, chunk);
    buffer.commit(chunk);
    fed += chunk;
    if (!pinned) {
      for (char *block : retired) ByteBuffer::release(block);
      retired.clear();
    }
    for (;;) {
      proto::Frame f;
      size_t used = 0;
      proto::Split s = proto::split_frame(buffer.begin(), buffer.size(), &f, &used);
      if (s == proto::Split::kIncomplete) break;
      if (s == proto::Split::kMalformed) {
        malformed = true;
        break;
      }
      buffer.consume(used);  // before the frame is handled, as dispatch.cpp does
      FUZZ_CHECK(next < whole.frames.size());
      FUZZ_CHECK(std::string(1, char(f.type)) + std::string(f.body, f.size) == whole.frames[next]);
      ++next;
      check_frame(f);
      last_body = f.body;
    }
  }
  FUZZ_CHECK(next == whole.frames.size());
  FUZZ_CHECK(malformed == whole.malformed);
  for (char *block : retired) ByteBuffer::release(block);
  return 0;
}
