// Writes the seed corpus of every fuzz target, one small file per case of
// docs/protocol.md (valid ones and each kind of malformed one), into
// DIR/<target>/seed-<case>:
//
//   cmake --build BUILD --target fuzz_seeds && BUILD/bin/fuzz_seeds bus/fuzz/corpus
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz.h"

using namespace wex::fuzz;
using namespace wex::fuzz::agent_world;
using wire::be16;
using wire::be32;
using wire::be64;

namespace {

std::string dir;
int written = 0;

void put(const std::string &target, const std::string &name, const std::string &bytes) {
  std::string d = dir + "/" + target;
  mkdir(d.c_str(), 0777);
  std::string path = d + "/seed-" + name;
  FILE *f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
    perror(path.c_str());
    exit(1);
  }
  ++written;
}

std::string schedule(const std::vector<uint8_t> &steps) {
  std::string s(1, char(steps.size()));
  for (uint8_t b : steps) s += char(b);
  return s;
}

std::string texts_message(uint32_t id, std::vector<std::string> texts) {
  return wire::message(id, texts);
}

// Frames that break one rule each of docs/protocol.md.
std::vector<std::pair<std::string, std::string>> malformed_frames() {
  std::string hello_body = "WEX!";
  be16(hello_body, 1);
  be64(hello_body, kPeerId);
  std::string name_no_nul = hello_body;
  be32(name_no_nul, 4);
  name_no_nul += "name";
  std::string name_nul_inside = hello_body;
  wire::text(name_nul_inside, std::string("na\0e", 4));
  std::string bad_magic = "WEX?" + hello_body.substr(4);
  wire::text(bad_magic, "x");
  std::string zero_id = "WEX!";
  be16(zero_id, 1);
  be64(zero_id, 0);
  wire::text(zero_id, "x");
  std::string count_over;
  be32(count_over, 1);
  be16(count_over, 257);
  std::string missing;
  be32(missing, 1);
  be16(missing, 2);
  wire::text(missing, "one");
  std::string huge_length;
  be32(huge_length, (4u << 20) + 1);
  huge_length += char(5);
  std::string max_length;
  be32(max_length, 4u << 20);
  max_length += char(5);
  return {
      {"length-zero", std::string(4, '\0')},
      {"length-over-4mib", huge_length},
      {"length-4mib-incomplete", max_length},
      {"unknown-type", wire::frame(9, "")},
      {"hello-bad-magic", wire::frame(1, bad_magic)},
      {"hello-zero-id", wire::frame(1, zero_id)},
      {"hello-name-without-nul", wire::frame(1, name_no_nul)},
      {"hello-name-nul-inside", wire::frame(1, name_nul_inside)},
      {"hello-name-1025", wire::hello(kPeerId, std::string(1025, 'n'))},
      {"hello-version-2", wire::hello(kPeerId, "v2", 2)},
      {"hello-extra-byte", wire::frame(1, wire::hello(kPeerId, "x").substr(5) + "!")},
      {"subscribe-pattern-16385", wire::subscribe(9, std::string(16385, 'a'))},
      {"subscribe-short", wire::frame(2, std::string(2, '\0'))},
      {"unsubscribe-extra", wire::frame(3, std::string(5, '\1'))},
      {"message-count-257", wire::frame(5, count_over)},
      {"message-texts-missing", wire::frame(5, missing)},
      {"ready-with-body", wire::frame(4, "x")},
      {"ping-with-body", wire::frame(6, "x")},
      {"bye-with-body", wire::frame(7, "x")},
  };
}

std::string handshake() {
  return wire::hello(kPeerId, "peer one") + wire::subscribe(1, "^(\\w+) (\\d+)$") +
         wire::subscribe(2, "hello") + wire::empty(4);
}

void frames_seeds() {
  std::string valid = handshake() + texts_message(3, {"one", "", "line\nbreak"}) +
                      texts_message(4, {}) + wire::unsubscribe(2) + wire::empty(6) + wire::empty(7);
  put("frames", "valid-whole", schedule({}) + valid);
  put("frames", "valid-bytewise", schedule({0}) + valid);
  put("frames", "valid-pinned-reads", schedule({3, 0x84, 0x10, 0xff, 0x81}) + valid);
  for (auto &[name, frame] : malformed_frames()) {
    put("frames", name, schedule({}) + frame);
    put("frames", name + "-after-valid", schedule({6, 0x82}) + valid.substr(0, 40) + frame);
  }
  put("frames", "truncated", schedule({1}) + valid.substr(0, valid.size() - 3));
}

void announce_seeds() {
  std::string a = "WEXA";
  a += char(1);
  a += char(0);
  be16(a, 40000);
  be64(a, 0x0102030405060708ull);
  put("announce", "valid", a);
  put("announce", "trailing-bytes", a + "more");
  put("announce", "short", a.substr(0, 15));
  put("announce", "foreign-magic", "WEXB" + a.substr(4));
  std::string v = a, k = a, p = a, i = a;
  v[4] = 2;
  k[5] = 1;
  p[6] = p[7] = 0;
  for (int j = 8; j < 16; ++j) i[size_t(j)] = 0;
  put("announce", "version-2", v);
  put("announce", "kind-1", k);
  put("announce", "port-zero", p);
  put("announce", "id-zero", i);
}

void bus_text_seeds() {
  const char *texts[][2] = {
      {"empty", ""},
      {"port-only", ":3110"},
      {"default", "127.255.255.255:3110"},
      {"address-only", "127.255.255.255"},
      {"multicast", "224.1.2.3:9999"},
      {"broadcast-all", "255.255.255.255:1"},
      {"unicast", "10.0.0.1:3110"},
      {"loopback-unicast", "127.0.0.1"},
      {"three-parts", "1.2.3"},
      {"leading-zero", "010.2.3.4"},
      {"trailing-dot", "224.2.3.4."},
      {"hex", "0x7f.1"},
      {"port-zero", ":0"},
      {"port-65535", "239.9.9.9:65535"},
      {"port-65536", ":65536"},
      {"port-leading-zeros", ":00080"},
      {"port-six-digits", ":000080"},
      {"port-empty", "224.0.0.1:"},
      {"two-colons", "224.0.0.1:1:2"},
      {"part-256", "224.0.0.256"},
  };
  for (auto &t : texts) put("bus_text", t[0], t[1]);
}

// Encoder operations (fuzz_encoder.cpp): opcode byte, then its fields.
std::string op_message(uint32_t id, std::vector<std::pair<uint8_t, uint16_t>> texts) {
  std::string s(1, char(4));
  be32(s, id);
  s += char(texts.size());
  for (auto [scale, size] : texts) {
    s += char(scale);
    be16(s, size);
  }
  return s;
}
std::string op_send(uint16_t n) {
  std::string s(1, char(6));
  be16(s, n);
  return s;
}

void encoder_seeds() {
  std::string hello(1, char(0));
  be64(hello, kPeerId);
  be16(hello, 9);
  std::string subscribe(1, char(1));
  be32(subscribe, 1);
  be16(subscribe, 14);
  std::string unsubscribe(1, char(2));
  be32(unsubscribe, 1);
  std::string ready = {char(3), char(0)};
  put("encoder", "handshake",
      hello + subscribe + subscribe + ready + op_send(12) + std::string(1, char(7)));
  // The frame-offset case: a frame goes out, one waits, and the next one
  // built makes the buffer slide its live bytes down, or grow.
  std::string first = op_message(5, {{0, 1500}}) + op_message(6, {{0, 500}}) + op_send(1516);
  put("encoder", "slide-under-a-frame",
      first + op_message(7, {{0, 2500}}) + std::string(1, char(7)));
  put("encoder", "grow-under-a-frame",
      first + op_message(7, {{1, 2500}}) + std::string(1, char(7)));
  // A delivery over the frame limit is taken back out behind queued output.
  std::string big = {char(5), char(0xA5)};
  be32(big, 8);
  be32(big, 0);
  put("encoder", "oversized-taken-back", first + big + op_message(9, {{2, 7}}) + op_send(10));
  put("encoder", "many-small",
      hello + op_message(1, {{2, 3}, {2, 0}}) + op_send(3) + ready + op_message(2, {{0, 4000}}) +
          op_send(4001) + unsubscribe);
}

// Agent inputs (fuzz_agent.cpp): flags, schedule, the peer's bytes.
std::string agent(uint8_t flags, std::vector<uint8_t> steps, const std::string &bytes) {
  return std::string(1, char(flags)) + schedule(steps) + bytes;
}

void agent_seeds() {
  std::string subs =
      wire::subscribe(1, "^(\\w+) (\\d+)$") + wire::subscribe(2, "^(ping|ready) (.*)$");
  std::string conv = texts_message(1, {"word", "42"}) + texts_message(2, {}) +
                     texts_message(3, {"ping from the peer"}) + texts_message(4, {" deep"}) +
                     texts_message(4, {""}) + wire::unsubscribe(2) + wire::empty(6);
  put("agent", "handshake-in-stream", agent(0, {}, handshake() + conv + wire::empty(7)));
  put("agent", "established-conversation", agent(3, {}, subs + wire::empty(4) + conv));
  put("agent", "subscribed-then-sends",
      agent(1, {40, kStepSend, kStepSend + 2, 200, kStepTake + 1, kStepSend + 4, kStepAll},
            subs + wire::empty(4) + conv + wire::empty(7)));
  put("agent", "bytewise", agent(3, {0}, conv));
  put("agent", "slow-socket-and-ticks",
      agent(1, {kStepTake, 20, kStepTick, kStepSend, kStepTake + 2, kStepTick, 100},
            subs + wire::empty(4) + conv));
  put("agent", "handshake-times-out",
      agent(1, {0, kStepTick, kStepTick, kStepTick, kStepTick, kStepTick, kStepTick, kStepTick},
            subs + "x"));
  put("agent", "announced", agent(7, {}, conv));
  put("agent", "announced-other-id", agent(4, {}, wire::hello(kBystanderId + 5, "impostor")));
  put("agent", "claims-our-id", agent(0, {}, wire::hello(kOurId, "me")));
  put("agent", "claims-bystander-id", agent(0, {}, wire::hello(kBystanderId, "twin")));
  put("agent", "frame-before-hello", agent(0, {}, wire::empty(6)));
  put("agent", "message-before-ready", agent(1, {}, texts_message(1, {"a", "1"})));
  put("agent", "second-hello", agent(1, {}, wire::hello(kPeerId, "again")));
  put("agent", "ready-twice", agent(3, {}, wire::empty(4)));
  put("agent", "subscription-id-twice",
      agent(1, {}, wire::subscribe(5, "a") + wire::subscribe(5, "b")));
  put("agent", "bad-pattern",
      agent(3, {kStepSend}, wire::subscribe(5, "(") + wire::subscribe(6, "(a)(b")));
  put("agent", "failed-link", agent(11, {10, kStepSend + 1}, conv));
  put("agent", "forged-group-counts",
      agent(3, {},
            texts_message(1, {}) + texts_message(1, {"a", "b", "c"}) + texts_message(99, {"x"})));
  for (auto &[name, frame] : malformed_frames())
    put("agent", "established-" + name, agent(3, {}, frame));
}

// Matcher inputs (fuzz_fast_match.cpp): flags, shape, literal, text.  Each
// recognised shape with a literal the text starts with, and a raw pattern.
void fast_match_seeds() {
  const char *const texts[] = {" word the rest", "", "\nafter", "x\xc3\xa9 y"};
  for (uint8_t shape = 0; shape < 8; ++shape)
    for (size_t t = 0; t < 4; ++t) {
      std::string in = {char(4 | (t & 2)), char(shape), char(3)};
      put("fast_match", "shape-" + std::to_string(shape) + "-" + std::to_string(t),
          in + "a.b" + texts[t]);
    }
  std::string raw = "^a(\\S+) (.*)$";
  put("fast_match", "raw", std::string{char(5), char(0), char(raw.size())} + raw + "x y");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s CORPUS-DIR\n", argv[0]);
    return 2;
  }
  dir = argv[1];
  mkdir(dir.c_str(), 0777);
  frames_seeds();
  announce_seeds();
  bus_text_seeds();
  encoder_seeds();
  agent_seeds();
  fast_match_seeds();
  printf("%d seeds written under %s\n", written, dir.c_str());
  return 0;
}
