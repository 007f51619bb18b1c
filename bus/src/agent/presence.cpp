// Presence: what agents tell each other about themselves.  The handshake
// (HELLO with id and name, then our subscriptions, then READY), the
// heartbeat that finds silent peers, and the reports of peers coming and
// going.
//
// Who speaks first.  The agent that was announced (it accepted the link)
// sends its HELLO at once; the one that connected sends nothing until that
// HELLO came with the id it heard announced.  Each side sends its
// subscriptions only after the other's HELLO.  So a forged announcement
// that lures us to connect learns nothing of us, not even our name, unless
// it speaks the protocol as the agent it claimed to be.
#include <algorithm>
#include <cstring>

#include "agent/agent.h"
#include "agent/pins.h"
#include "base/diagnostics.h"

namespace wex {
namespace {

// A peer silent for kMissedTicks heartbeat periods is dead; a handshake not
// done after kHandshakeTicks periods is abandoned.
constexpr int kMissedTicks = 4;
constexpr int kHandshakeTicks = 5;

}  // namespace

void queue_hello(Peer *p) {
  const char *name = agent.name ? agent.name : "";
  proto::put_hello(p->out, agent.id, std::string_view(name, strnlen(name, proto::kMaxName)));
  mark_dirty(p);
}

namespace {

void queue_subscriptions(Peer *p) {
  std::vector<const Binding *> in_order;  // of binding: of wire id
  in_order.reserve(agent.bindings.size());
  for (const auto &entry : agent.bindings) in_order.push_back(entry.second);
  std::sort(in_order.begin(), in_order.end(),
            [](const Binding *a, const Binding *b) { return a->wire_id < b->wire_id; });
  for (const Binding *b : in_order) proto::put_subscribe(p->out, b->wire_id, b->pattern);
  proto::put_empty(p->out, proto::kReady);
  mark_dirty(p);
}

}  // namespace

void start_proof(Peer *p) {
  p->state = PeerState::kAwaitingProof;
  auth::fresh_nonce(p->our_nonce);
  if (!p->outgoing()) {
    proto::put_challenge(p->out, p->our_nonce, auth::kNonceSize);
    mark_dirty(p);
  }
}

// The acceptor's nonce reaches the connector, which answers with its own
// nonce and its proof; the connector's nonce reaches the acceptor just
// before that proof.
void on_challenge(Peer *p, const proto::Frame &f) {
  const unsigned char *nonce;
  if (p->state != PeerState::kAwaitingProof || p->challenged)
    return violation(p, "CHALLENGE out of place");
  if (!proto::parse_challenge(f, &nonce, auth::kNonceSize))
    return violation(p, "malformed CHALLENGE");
  memcpy(p->their_nonce, nonce, auth::kNonceSize);
  p->challenged = true;
  if (!p->outgoing()) return;
  unsigned char tag[auth::kTagSize];
  auth::proof(tag, true, p->their_nonce, p->our_nonce, agent.id, p->announced_id);
  proto::put_challenge(p->out, p->our_nonce, auth::kNonceSize);
  proto::put_proof(p->out, agent.id, tag, sizeof tag);
  mark_dirty(p);
}

// Checked before anything else of the peer is taken: a wrong secret, no
// secret, or a proof replayed from another connection (its nonces differ)
// end the link here.
void on_proof(Peer *p, const proto::Frame &f) {
  uint64_t id;
  const unsigned char *tag;
  if (p->state != PeerState::kAwaitingProof || !p->challenged)
    return violation(p, "PROOF out of place");
  if (!proto::parse_proof(f, &id, &tag, auth::kTagSize)) return violation(p, "malformed PROOF");
  unsigned char want[auth::kTagSize];
  if (p->outgoing()) {
    auth::proof(want, false, p->their_nonce, p->our_nonce, agent.id, id);
    if (id != p->announced_id || !auth::same_tag(want, tag))
      return violation(p, "no proof of the bus secret");
  } else {
    auth::proof(want, true, p->our_nonce, p->their_nonce, id, agent.id);
    if (id == agent.id || !auth::same_tag(want, tag))
      return violation(p, "no proof of the bus secret");
    auth::proof(want, false, p->our_nonce, p->their_nonce, id, agent.id);
    proto::put_proof(p->out, agent.id, want, sizeof want);
    queue_hello(p);
  }
  p->proved_id = id;
  p->state = PeerState::kAwaitingHello;
}

void on_hello(Peer *p, const proto::Frame &f) {
  proto::Hello hello;
  if (p->state != PeerState::kAwaitingHello) return violation(p, "second HELLO");
  if (!proto::parse_hello(f, &hello)) return violation(p, "malformed HELLO");
  if (hello.version != proto::kVersion) return violation(p, "unsupported protocol version");
  if (hello.agent_id == agent.id) return violation(p, "claims our own identity");
  if (p->announced_id && hello.agent_id != p->announced_id)
    return violation(p, "identity differs from its announcement");
  if (auth::enabled() && hello.agent_id != p->proved_id)
    return violation(p, "identity differs from its proof");
  Peer *other = known_peer(hello.agent_id);
  if (other && other != p) return violation(p, "second connection from a known agent");
  p->id = hello.agent_id;
  p->name.assign(hello.name, hello.name_size);
  p->state = PeerState::kAwaitingReady;
  if (p->outgoing()) queue_hello(p);
  queue_subscriptions(p);
}

void on_ready(Peer *p) {
  if (p->state != PeerState::kAwaitingReady) return violation(p, "READY twice");
  p->state = PeerState::kEstablished;
  // The ready message is queued before the callback runs: if the callback
  // leaves by longjmp, the peer still gets it, and first.
  if (agent.ready && agent.ready[0])
    queue_message(p, agent.ready, strnlen(agent.ready, WEX_MAX_MESSAGE));
  // Written now rather than at the next iteration: once the application
  // hears of the peer, our own handshake has left (the peer may learn of us
  // from that very callback, through whatever the application does).
  if (!peers.transport->send(p)) return close_peer(p, nullptr);
  call_application(p, agent.app_cb, agent.app_data, WEX_CLIENT_CONNECTED);
}

namespace {

// A frame must keep coming: a peer whose unfinished frame grew by less than
// this in a heartbeat period, two periods running, is dropped (else one byte
// a second would hold up to 4 MiB for good).  And all input buffered across
// peers has a cap: the peers with the largest unfinished frames go first.
constexpr size_t kFrameBytesPerSecond = 64 * 1024;
constexpr int kSlowFrameTicks = 2;
constexpr size_t kMaxBufferedInput = 256u << 20;

void check_input(Peer *p) {
  size_t floor = std::max<size_t>(1, kFrameBytesPerSecond * size_t(agent.heartbeat_ms) / 1000);
  if (frame_in_progress(p) && p->received_in_tick < floor) {
    if (++p->slow_frame_ticks >= kSlowFrameTicks) close_peer(p, "a frame not completed in time");
  } else {
    p->slow_frame_ticks = 0;
  }
  p->received_in_tick = 0;
}

void cap_buffered_input() {
  size_t total = 0;
  for (Peer *p : peers.open)
    if (!p->closed()) total += p->in.size();
  while (total > kMaxBufferedInput) {
    Peer *largest = nullptr;
    for (Peer *p : peers.open)
      if (!p->closed() && frame_in_progress(p) && (!largest || p->in.size() > largest->in.size()))
        largest = p;
    if (!largest) return;
    total -= largest->in.size();
    close_peer(largest, "too much input buffered across peers");
  }
}

}  // namespace

void heartbeat_tick() {
  for (size_t i = 0; i < peers.open.size(); ++i) {
    Peer *p = peers.open[i];
    if (p->closed()) continue;
    check_input(p);
    if (p->closed()) continue;
    if (p->state != PeerState::kEstablished) {
      if (++p->handshake_ticks > kHandshakeTicks) close_peer(p, "handshake not finished in time");
      continue;
    }
    if (p->heard) {
      p->heard = false;
      p->missed_ticks = 0;
    } else if (++p->missed_ticks >= kMissedTicks) {
      close_peer(p, "silent for too long (no heartbeat)");
      continue;
    }
    if (!p->spoke) {
      proto::put_empty(p->out, proto::kPing);
      mark_dirty(p);
    }
    p->spoke = false;
  }
  cap_buffered_input();
}

void report_disconnections() {
  for (size_t i = 0; i < peers.closed.size(); ++i) {
    Peer *p = peers.closed[i];
    if (p->state != PeerState::kReportOwed) continue;
    p->state = PeerState::kGone;
    call_application(p, agent.app_cb, agent.app_data, WEX_CLIENT_DISCONNECTED);
  }
}

}  // namespace wex
