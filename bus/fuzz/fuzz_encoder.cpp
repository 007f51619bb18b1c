// The encoder under partial sends: frames of every type built into one
// ByteBuffer, as the agent queues them for a peer, between sends that take
// only part of the output, as a socket does.  A frame built behind output
// that is partly gone makes the buffer slide its live bytes down or grow
// into a new block in the middle of the frame; a delivery that comes out
// over the frame limit is taken back out.  Checked: at every send the bytes
// that leave are exactly those of the frames built so far, in order, each
// encoded independently from docs/protocol.md (fuzz.h); the buffer holds
// exactly what has not left; and at the end the stream splits back into the
// frames built, each parsed by its own parser.
//
// Input: a sequence of operations, each an opcode byte and its fields.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz.h"
#include "wire/protocol.h"

using namespace wex;
using namespace wex::fuzz;

namespace {

// Text bytes that differ from frame to frame and along each text (never
// NUL), so that a byte of one frame found in another shows: a window of
// one long pattern with a period of 90.
constexpr size_t kLongest = (2u << 20) + 65536;
std::string_view content(size_t frame, size_t size) {
  static const std::string pattern = [] {
    std::string s(kLongest + 90, '\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = char('!' + i % 90);
    return s;
  }();
  return std::string_view(pattern).substr(frame * 31 % 90, size);
}

constexpr size_t kBudget = 96u << 10;  // bytes built per input, to keep runs fast
constexpr uint8_t kOversizedKey = 0xA5;

struct Run {
  ByteBuffer out;
  std::string expected;  // every accepted frame, as the document encodes it
  std::vector<std::string> frames;
  std::string wire;  // the bytes that left
  size_t built = 0;

  void accept(std::string frame) {
    expected += frame;
    frames.push_back(std::move(frame));
  }
  // The socket takes n bytes of the output.
  void send(size_t n) {
    if (n > out.size()) n = out.size();
    wire.append(out.begin(), n);
    out.consume(n);
    out.reset_if_empty();  // as the LAN transport does after a write
    FUZZ_CHECK(wire.size() <= expected.size() &&
               std::string_view(wire).substr(wire.size() - n) ==
                   std::string_view(expected).substr(wire.size() - n, n));
  }
  void check_size() { FUZZ_CHECK(out.size() == expected.size() - wire.size()); }
};

void build_message(Run &r, Input &in, bool oversized) {
  uint32_t id = in.u32();
  std::vector<std::string_view> texts;
  if (oversized) {  // two texts that bring the frame to either side of its limit
    texts.push_back(content(r.frames.size(), (2u << 20) - 65536 + in.u16()));
    texts.push_back(content(r.frames.size() + 1, (2u << 20) - 65536 + in.u16()));
  } else {
    size_t count = in.u8() % 9;
    for (size_t i = 0; i < count; ++i) {
      uint8_t scale = in.u8();
      size_t size = in.u16() % 3000;
      if (scale & 1) size *= 16;
      if (scale & 2) size %= 64;
      texts.push_back(content(r.frames.size() + i, size));
    }
  }
  size_t length = 1 + 4 + 2;
  for (std::string_view t : texts) length += 4 + t.size() + 1;
  bool fits = length <= proto::kMaxFrame;
  if (fits) r.built += length;  // one oversized delivery per input, not counted
  FUZZ_CHECK(proto::put_message(r.out, id, texts.data(), int(texts.size())) == fits);
  if (fits) r.accept(wire::message(id, texts));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  Run r;
  int oversized = 0;
  while (in.left() > 0 && r.built < kBudget) {
    switch (in.u8() % 8) {
      case 0: {
        uint64_t id = in.u64() | 1;
        std::string_view name = content(r.frames.size(), in.u16() % 1100);
        proto::put_hello(r.out, id, name);
        r.accept(wire::hello(id, name.substr(0, proto::kMaxName)));
        r.built += name.size();
        break;
      }
      case 1: {
        uint32_t id = in.u32();
        std::string_view pattern = content(r.frames.size(), in.u16() % (proto::kMaxPattern + 1));
        proto::put_subscribe(r.out, id, pattern);
        r.accept(wire::subscribe(id, pattern));
        r.built += pattern.size();
        break;
      }
      case 2: {
        uint32_t id = in.u32();
        proto::put_unsubscribe(r.out, id);
        r.accept(wire::unsubscribe(id));
        break;
      }
      case 3: {
        static const proto::FrameType kEmpty[] = {proto::kReady, proto::kPing, proto::kBye};
        proto::FrameType type = kEmpty[in.u8() % 3];
        proto::put_empty(r.out, type);
        r.accept(wire::empty(type));
        break;
      }
      case 4:
        build_message(r, in, false);
        break;
      case 5:  // 4 MiB of copying: rare (a key byte) and once per input at most
        if (in.u8() == kOversizedKey && oversized++ == 0) build_message(r, in, true);
        break;
      case 6: {
        size_t n = in.u16();
        if (n & 1) n <<= 4;
        r.send(n);
        break;
      }
      case 7:
        r.send(r.out.size());
        break;
    }
    r.check_size();
  }
  r.send(r.out.size());
  FUZZ_CHECK(r.wire == r.expected);

  // The stream as a receiver splits it: the frames built, in order.
  std::string &wire = r.wire;
  size_t at = 0;
  for (const std::string &want : r.frames) {
    proto::Frame f;
    size_t used = 0;
    FUZZ_CHECK(proto::split_frame(wire.data() + at, wire.size() - at, &f, &used) ==
               proto::Split::kFrame);
    FUZZ_CHECK(std::string_view(wire).substr(at, used) == want);
    proto::Hello h;
    FUZZ_CHECK(parses_as_its_type(f, &h));
    at += used;
  }
  FUZZ_CHECK(at == wire.size());
  return 0;
}
