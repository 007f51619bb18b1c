// The agent: this program's member of the bus, and its public lifecycle
// (WexInit, WexStart, WexStop and the queries), the heartbeat tick, and the
// prepare hook through which the loop lets it dispatch and write.
//
// Callbacks.  Every user callback runs from the loop (a transport's io
// callback, the prepare hook), never from an API call, and any of them may
// leave by longjmp.  So state is made consistent before each call: a frame
// is consumed before its callback runs, a disconnection is marked reported
// before its callback runs, and nothing on the stack needs a destructor.
// Work left behind by such an exit (frames still buffered, reports not yet
// made) is picked up by the prepare hook, which says "busy" while any is
// left.
#include "agent/agent.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>

#include "agent/pins.h"
#include "base/diagnostics.h"
#include "base/environment.h"
#include "base/immortal.h"
#include "crypto/auth.h"
#include "loop/loop.h"

namespace wex {

// Not constinit, as the bindings' hash map cannot be: initialized with the
// library, before any program's static initializer can call in.
Immortal<Agent> agent_storage;
Agent &agent = agent_storage.value;

namespace {

constexpr long kDefaultHeartbeatMs = 1000;
// How long WexStop waits for queued output to reach the peers: as long as
// some peer keeps taking it, with a pause of at most kStopDrainMs between
// two writes, and kStopDrainMaxMs in all.
constexpr int kStopDrainMs = 1000;
constexpr int kStopDrainMaxMs = 15000;

// What the transport tells the agent.
class Events final : public LinkEvents {
 public:
  bool may_open_link(uint32_t host, bool outgoing) override {
    return wex::may_open_link(host, outgoing);
  }
  Link *link_opened(uint32_t host, uint64_t announced_id) override {
    Peer *p = new_peer(host, announced_id);
    if (auth::enabled())
      start_proof(p);
    else if (!p->outgoing())
      queue_hello(p);
    return p;
  }
  void link_readable(Link *link) override {
    prune_pins();
    read_peer(static_cast<Peer *>(link));
  }
  void link_failed(Link *link, const char *reason) override {
    close_peer(static_cast<Peer *>(link), reason);
  }
  bool knows_agent(uint64_t id) override { return known_peer(id) != nullptr; }
};

Events events;

void on_tick(WexTimerPtr, void *, unsigned long) {
  prune_pins();
  if (!agent.running) return;
  peers.transport->tick(peers.open.size());
  heartbeat_tick();
}

bool on_prepare(void *) {
  prune_pins();
  sweep_peers();
  // Reports first: a peer gone is news older than anything still buffered.
  report_disconnections();
  bool busy = false;
  for (size_t i = 0; i < peers.open.size(); ++i) {
    Peer *p = peers.open[i];
    if (p->closed() || (p->in.empty() && !p->input_ended)) continue;
    if (dispatch_frames(p, kDispatchBudget)) busy = true;
    close_if_drained(p);
  }
  if (peers.transport) flush_peers();
  for (Peer *p : peers.closed) busy = busy || p->state == PeerState::kReportOwed;
  return busy;
}

// Leaves the bus: goodbyes, a bounded wait for queued output, then every link
// closed without a report (our own leaving is no news to us).
void leave() {
  if (!agent.running) return;
  agent.running = false;
  for (Peer *p : peers.flush) p->dirty = false;
  peers.flush.clear();
  std::vector<Link *> open;
  for (Peer *p : peers.open) {
    if (p->closed()) continue;
    proto::put_empty(p->out, proto::kBye);
    open.push_back(p);
  }
  peers.transport->drain(open, kStopDrainMs, kStopDrainMaxMs);
  for (Peer *p : peers.open) {
    if (p->closed()) continue;
    peers.transport->close(p, true);
    p->state = PeerState::kGone;
    p->drop_output();
    peers.closed.push_back(p);
  }
  for (Peer *p : peers.closed) {
    if (p->state == PeerState::kReportOwed) p->state = PeerState::kGone;
    peers.clients.retire(p->handle);
  }
  peers.transport->stop();
  if (agent.tick) TimerRemove(agent.tick);
  agent.tick = nullptr;
  sweep_peers();
}

uint64_t fresh_id() {
  uint64_t id = 0;
  while (id == 0) {
    if (getrandom(&id, sizeof id, GRND_NONBLOCK) != sizeof id)
      id = uint64_t(loop_now_ms()) * 0x9E3779B97F4A7C15ull ^ uint64_t(getpid()) << 32;
  }
  return id;
}

Peer *client(WexClientPtr handle) {
  prune_pins();  // a DISCONNECTED callback left by longjmp is over: stale now
  Peer **p = peers.clients.find(reinterpret_cast<uint64_t>(handle), HandleKind::kClient);
  return p ? *p : nullptr;
}

}  // namespace
}  // namespace wex

using namespace wex;

void WexInit(const char *name, const char *ready, WexApplicationCallback cb, void *user_data,
             void *, void *) {
  agent.name = name;
  agent.ready = ready;
  agent.app_cb = cb;
  agent.app_data = user_data;
}

void WexStart(const char *bus) {
  if (agent.running) {
    refuse("WexStart: the agent is already on bus %s", format_bus_address(agent.bus).c_str());
    return;
  }
  std::string error;
  BusAddress parsed;
  if (!resolve_bus(bus, &parsed, &error)) {
    refuse("WexStart: %s; not started", error.c_str());
    return;
  }
  if (!auth::load(agent.secret.c_str(), &error)) {
    refuse("WexStart: %s; not started", error.c_str());
    return;
  }
  if (!auth::enabled() && !parsed.loopback)
    warn("bus %s is open to anyone who can reach it: set WEX_SECRET to admit members only",
         format_bus_address(parsed).c_str());
  prune_pins();
  sweep_peers();
  agent.bus = parsed;
  agent.id = fresh_id();
  agent.heartbeat_ms = env_long("WEX_HEARTBEAT_MS", kDefaultHeartbeatMs, 10, 600000);
  if (!peers.transport || agent.transport_kind != agent.bus.kind) {
    peers.transport.reset();
    agent.transport_kind = agent.bus.kind;
#ifdef WEX_HAVE_NATS
    if (agent.bus.kind == BusAddress::Kind::kNats) peers.transport = make_nats_transport();
#endif
    if (agent.bus.kind == BusAddress::Kind::kLan) peers.transport = make_lan_transport();
  }
  if (!peers.transport) {  // resolve_bus refuses such a bus first
    refuse("WexStart: bus %s: no transport for it here; not started",
           format_bus_address(agent.bus).c_str());
    return;
  }
  if (!peers.transport->start(agent.bus, agent.id, &events, &error)) {
    refuse("WexStart: bus %s: %s; not started", format_bus_address(agent.bus).c_str(),
           error.c_str());
    return;
  }
  agent.running = true;
  loop_set_prepare(on_prepare, nullptr);
  agent.tick = TimerRepeatAfter(0, agent.heartbeat_ms, on_tick, nullptr);
}

void WexStop(void) {
  leave();
  loop_request_stop();
}

int WexRunning(void) { return agent.running ? 1 : 0; }

void WexSetSecret(const char *secret) { agent.secret = secret ? secret : ""; }

int WexFlush(int timeout_ms) {
  if (!agent.running) return 0;
  prune_pins();
  flush_peers();
  std::vector<Link *> queued;
  for (Peer *p : peers.open)
    if (!p->closed() && !p->out.empty()) queued.push_back(p);
  if (timeout_ms > 0)
    peers.transport->drain(queued, std::min(timeout_ms, kStopDrainMs), timeout_ms);
  int left = 0;
  for (Peer *p : peers.open) left += !p->closed() && !p->out.empty();
  return left;
}

const char *WexGetApplicationName(WexClientPtr handle) {
  Peer *p = client(handle);
  return p ? p->name.c_str() : nullptr;
}

const char *WexGetApplicationHost(WexClientPtr handle) {
  Peer *p = client(handle);
  return p ? p->host : nullptr;
}

long WexGetApplicationDropped(WexClientPtr handle) {
  Peer *p = client(handle);
  return p ? long(p->dropped) : -1;
}
