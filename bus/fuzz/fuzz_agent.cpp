// A whole agent fed one fuzzed connection.  The agent runs as a program
// runs it (WexInit, bindings, WexStart, loop steps), over an in-memory
// transport (transport.h) that hands it two links: a well-behaved
// bystander, and the fuzzed peer, whose bytes come after a valid handshake
// or instead of one, cut into reads by the input's schedule, between
// heartbeat periods, messages the agent sends, and a socket that takes only
// part of what the agent writes.
//
// Checked: the agent never crashes, leaks or hangs (every input ends with
// the agent quiet within a bounded number of loop steps, every peer freed);
// the fuzzed link is closed once its input ends, and is the only link ever
// dropped: the bystander is still connected and still exchanges messages
// both ways; every callback gets NUL-terminated texts and a live client;
// CONNECTED and DISCONNECTED come in pairs; and all the agent writes to
// either link is a stream of well-formed frames, starting with its HELLO.
//
// Input: a flags byte (1: a valid HELLO comes first, 2: then READY,
// 4: the link is one the agent opened to an announced agent, 8: the link
// ends in a failure instead of an end of input), a schedule (fuzz.h; steps
// in agent_world), then the bytes of the fuzzed peer.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "agent/pins.h"
#include "fuzz.h"
#include "loop/loop.h"

using namespace wex;
using namespace wex::fuzz;
using namespace wex::fuzz::agent_world;

namespace {

// One link as the peer's end sees it.
struct Conn {
  Link *link = nullptr;
  std::string pending;     // sent by the peer, not yet received by the agent
  bool ended = false;      // the peer sends nothing more
  bool closed = false;     // the agent closed the link
  size_t take = SIZE_MAX;  // bytes one send takes: the room in the peer's socket
  std::string sent;        // what the agent wrote
};

Conn *conn_of(Link *link) { return static_cast<Conn *>(link->carrier); }

class MemoryTransport final : public Transport {
 public:
  LinkEvents *events = nullptr;

  bool start(const BusAddress &, uint64_t, LinkEvents *e, std::string *) override {
    events = e;
    return true;
  }
  void tick(size_t) override {}
  long receive(Link *link, char *buffer, size_t size) override {
    Conn *c = conn_of(link);
    if (!c) return -1;
    if (c->pending.empty()) return c->ended ? -1 : 0;
    size_t n = std::min(size, c->pending.size());
    memcpy(buffer, c->pending.data(), n);
    c->pending.erase(0, n);
    return long(n);
  }
  bool send(Link *link) override {
    Conn *c = conn_of(link);
    if (!c) return false;
    take(link, c->take);
    return true;
  }
  void drain(const std::vector<Link *> &links, int, int) override {
    for (Link *link : links)
      if (conn_of(link)) take(link, SIZE_MAX);
  }
  void close(Link *link, bool) override {
    Conn *c = conn_of(link);
    if (!c) return;
    c->closed = true;
    link->carrier = nullptr;
  }
  void stop() override {}

  static void take(Link *link, size_t most) {
    size_t n = std::min(link->out.size(), most);
    conn_of(link)->sent.append(link->out.begin(), n);
    link->out.consume(n);
    link->out.reset_if_empty();
  }
};

MemoryTransport *transport;
Conn bystander, fuzzed;
std::map<uint64_t, int> connected;  // client handle -> CONNECTED minus DISCONNECTED
std::vector<std::vector<std::string>> from_bystander;  // deliveries of binding 1
int nesting = 0;

uint64_t handle_of(Link *link) { return static_cast<Peer *>(link)->handle; }

void on_peer(WexClientPtr client, void *, unsigned event) {
  FUZZ_CHECK(WexGetApplicationName(client) != nullptr && WexGetApplicationHost(client) != nullptr);
  int &state = connected[reinterpret_cast<uint64_t>(client)];
  FUZZ_CHECK(event == WEX_CLIENT_CONNECTED || event == WEX_CLIENT_DISCONNECTED);
  state += event == WEX_CLIENT_CONNECTED ? 1 : -1;
  FUZZ_CHECK(state == 0 || state == 1);
}

void on_message(WexClientPtr client, void *data, int argc, char **argv) {
  FUZZ_CHECK(WexGetApplicationName(client) != nullptr);
  FUZZ_CHECK(argc >= 0 && argc <= int(proto::kMaxArgs) && argv[argc] == nullptr);
  std::vector<std::string> texts;
  for (int i = 0; i < argc; ++i) texts.emplace_back(argv[i]);  // each ends in a NUL
  uintptr_t binding = reinterpret_cast<uintptr_t>(data);
  if (binding == 1 && reinterpret_cast<uint64_t>(client) == handle_of(bystander.link))
    from_bystander.push_back(texts);
  if (binding == 3 && argc >= 1) WexSendMsg("%s", argv[0]);
  if (binding == 4 && nesting < 4) {
    ++nesting;
    WexLoopStep();
    --nesting;
  }
}

void setup() {
  setenv("WEX_HEARTBEAT_MS", "600000", 1);  // periods pass when the input says so
  WexSetLogHandler(nullptr, nullptr);
  WexInit("fuzzed agent", "ready 7", on_peer, nullptr, nullptr, nullptr);
  uintptr_t n = 0;
  for (const char *pattern : kBindings)
    FUZZ_CHECK(WexBindMsg(on_message, reinterpret_cast<void *>(++n), "%s", pattern) != nullptr);
  transport = new MemoryTransport;
  peers.transport.reset(transport);
  WexStart("127.255.255.255:3110");
  FUZZ_CHECK(WexRunning() == 1 && transport->events != nullptr);
  agent.id = kOurId;  // a fixed id, so that inputs can claim it
}

// Whether the agent still has something to do without new input.
bool busy() {
  if (!peers.closed.empty() || !peers.flush.empty()) return true;
  for (Conn *c : {&bystander, &fuzzed}) {
    if (!c->link || c->closed) continue;
    auto *p = static_cast<Peer *>(c->link);
    proto::Frame f;
    size_t n;
    if (!c->pending.empty() || (c->ended && !p->input_ended)) return true;
    if (proto::split_frame(p->in.begin(), p->in.size(), &f, &n) == proto::Split::kFrame)
      return true;
    if (p->input_ended || (!p->out.empty() && c->take > 0)) return true;
  }
  return false;
}

// Runs the loop as the LAN transport would drive it (a link readable while
// it has input, writable while its socket has room) until the agent is
// quiet; an agent that never gets there hangs.
void settle() {
  for (int i = 0; busy(); ++i) {
    FUZZ_CHECK(i < 20000);
    for (Conn *c : {&bystander, &fuzzed}) {
      if (!c->link || c->closed) continue;
      if (!c->link->out.empty() && c->take > 0) MemoryTransport::take(c->link, c->take);
      if (!c->pending.empty() || c->ended) transport->events->link_readable(c->link);
    }
    WexLoopStep();
  }
}

// More periods than any timeout of the agent lasts (handshake, silence)
// show nothing new, and each costs a round of loop steps.
constexpr int kMaxTicks = 12;

// A heartbeat period passes; the bystander spoke in it.
void tick() {
  bystander.pending += wire::empty(proto::kPing);
  settle();
  prune_pins();
  heartbeat_tick();
  settle();
}

Link *open(Conn &c, uint64_t announced_id) {
  c = Conn{};
  c.link = transport->events->link_opened(0x7F000001, announced_id);
  c.link->carrier = &c;
  return c.link;
}

// Frames the agent wrote on one link: well-formed, HELLO first with our id.
// A link closed while a frame was half written ends in a part of it.
std::vector<std::string> check_output(const Conn &c) {
  std::vector<std::string> frames;
  std::string s = c.sent;
  size_t at = 0;
  for (;;) {
    proto::Frame f;
    size_t used = 0;
    proto::Split split = proto::split_frame(s.data() + at, s.size() - at, &f, &used);
    FUZZ_CHECK(split != proto::Split::kMalformed);
    if (split == proto::Split::kIncomplete) break;
    proto::Hello h;
    FUZZ_CHECK(parses_as_its_type(f, &h));
    if (f.type == proto::kHello) FUZZ_CHECK(frames.empty() && h.agent_id == kOurId);
    FUZZ_CHECK(at > 0 || f.type == proto::kHello);
    frames.push_back(s.substr(at, used));
    at += used;
  }
  FUZZ_CHECK(at == s.size() || c.closed);
  return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = (setup(), true);
  (void)ready;
  Input in(data, size);
  uint8_t flags = in.u8();
  Schedule schedule(in);
  std::string stream;
  if (flags & 1) stream += wire::hello(kPeerId, "fuzzed peer");
  if (flags & 2) stream += wire::empty(proto::kReady);
  stream += in.rest();

  // The bystander: connected before the fuzzed peer comes.
  connected.clear();
  from_bystander.clear();
  open(bystander, 0);
  bystander.pending = wire::hello(kBystanderId, "bystander") + wire::subscribe(1, "^(ping) (.*)$") +
                      wire::empty(proto::kReady);
  settle();
  uint64_t bystander_handle = handle_of(bystander.link);
  FUZZ_CHECK(connected[bystander_handle] == 1);

  // The fuzzed peer.
  open(fuzzed, flags & 4 ? kPeerId : 0);
  uint64_t fuzzed_handle = handle_of(fuzzed.link);
  size_t fed = 0;
  int idle = 0, ticks = 0;
  while (fed < stream.size()) {
    uint8_t step = schedule.empty() ? kStepAll : schedule.next();
    size_t chunk = 0;
    if (step < kStepTake) {
      chunk = size_t(step) + 1;
    } else if (step < kStepSend) {
      fuzzed.take = step == kStepTake ? 0 : size_t(1) << (2 * (step - kStepTake));
    } else if (step < kStepTick) {
      WexSendMsg("%s", kTexts[step - kStepSend]);
    } else if (step == kStepTick) {
      if (++ticks <= kMaxTicks) tick();
    } else {
      chunk = stream.size();
    }
    if (chunk == 0 && ++idle > 32) chunk = stream.size();  // a schedule of no reads
    if (chunk == 0) continue;
    idle = 0;
    chunk = std::min(chunk, stream.size() - fed);
    fuzzed.pending.append(stream, fed, chunk);
    fed += chunk;
    settle();
  }
  if (flags & 8) {
    if (!fuzzed.closed) transport->events->link_failed(fuzzed.link, "reset by the fuzzer");
  } else {
    fuzzed.ended = true;
  }
  fuzzed.take = SIZE_MAX;
  settle();
  FUZZ_CHECK(fuzzed.closed);
  check_output(fuzzed);

  // The bystander is still there, and messages still go both ways.
  FUZZ_CHECK(!bystander.closed && connected[bystander_handle] == 1);
  auto *by = static_cast<Peer *>(bystander.link);
  FUZZ_CHECK(by->state == PeerState::kEstablished);
  std::vector<std::string> texts = {"still", "there"};
  bystander.pending += wire::message(1, texts);
  FUZZ_CHECK(WexSendMsg("ping %zu", size) >= 1);
  settle();
  FUZZ_CHECK(from_bystander.size() == 1 && from_bystander[0] == texts);
  std::vector<std::string> frames = check_output(bystander);
  std::string ping = std::to_string(size);
  FUZZ_CHECK(!frames.empty() &&
             frames.back() == wire::message(1, std::vector<std::string>{"ping", ping}));

  // It leaves; every peer is reported gone and freed.
  bystander.pending += wire::empty(proto::kBye);
  settle();
  FUZZ_CHECK(bystander.closed);
  FUZZ_CHECK(connected[bystander_handle] == 0 && connected[fuzzed_handle] == 0);
  FUZZ_CHECK(peers.open.empty() && peers.closed.empty() && peers.flush.empty());
  FUZZ_CHECK(WexGetApplicationName(reinterpret_cast<WexClientPtr>(bystander_handle)) == nullptr);
  FUZZ_CHECK(WexGetApplicationName(reinterpret_cast<WexClientPtr>(fuzzed_handle)) == nullptr);
  return 0;
}
