// Presence: what agents tell each other about themselves.  The handshake
// (HELLO with id and name, then our subscriptions, then READY), the
// heartbeat that finds silent peers, and the reports of peers coming and
// going.
#include <cstring>

#include "agent.h"
#include "diagnostics.h"
#include "pins.h"

namespace wex {
namespace {

// A peer silent for kMissedTicks heartbeat periods is dead; a handshake not
// done after kHandshakeTicks periods is abandoned.
constexpr int kMissedTicks = 4;
constexpr int kHandshakeTicks = 5;

void violation(Peer *p, const char *what) { close_peer(p, what); }

}  // namespace

void queue_handshake(Peer *p) {
  const char *name = g.name ? g.name : "";
  proto::put_hello(p->out, g.id, std::string_view(name, strnlen(name, proto::kMaxName)));
  for (auto &entry : g.bindings) proto::put_subscribe(p->out, entry.first, entry.second->pattern);
  proto::put_empty(p->out, proto::kReady);
  mark_dirty(p);
}

void on_hello(Peer *p, const proto::Frame &f) {
  proto::Hello hello;
  if (p->state != PeerState::kAwaitingHello) return violation(p, "second HELLO");
  if (!proto::parse_hello(f, &hello)) return violation(p, "malformed HELLO");
  if (hello.version != proto::kVersion) return violation(p, "unsupported protocol version");
  if (hello.agent_id == g.id) return violation(p, "claims our own identity");
  if (p->announced_id && hello.agent_id != p->announced_id)
    return violation(p, "identity differs from its announcement");
  Peer *other = known_peer(hello.agent_id);
  if (other && other != p) return violation(p, "second connection from a known agent");
  p->id = hello.agent_id;
  p->name.assign(hello.name, hello.name_size);
  p->state = PeerState::kAwaitingReady;
}

void on_ready(Peer *p) {
  if (p->state != PeerState::kAwaitingReady) return violation(p, "READY twice");
  p->state = PeerState::kEstablished;
  // The ready message is queued before the callback runs: if the callback
  // leaves by longjmp, the peer still gets it, and first.
  if (g.ready && g.ready[0]) queue_message(p, g.ready, strnlen(g.ready, WEX_MAX_MESSAGE));
  call_application(p, g.app_cb, g.app_data, WEX_CLIENT_CONNECTED);
}

void heartbeat_tick() {
  for (size_t i = 0; i < g.peers.size(); ++i) {
    Peer *p = g.peers[i];
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
}

void report_disconnections() {
  for (size_t i = 0; i < g.closed.size(); ++i) {
    Peer *p = g.closed[i];
    if (p->state != PeerState::kReportOwed) continue;
    p->state = PeerState::kGone;
    call_application(p, g.app_cb, g.app_data, WEX_CLIENT_DISCONNECTED);
  }
}

}  // namespace wex
