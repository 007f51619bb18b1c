// Peers: the agents this one has a link to, from the moment the transport
// opens the link until the agent frees it.
//
// A peer's life is one state:
//
//   [kAwaitingProof --PROOF-->] kAwaitingHello --HELLO--> kAwaitingReady
//   --READY--> kEstablished
//         |                         |                         |
//         +------------- closed ----+------------------------ +
//                 |                                      |
//                 v                                      v
//              kGone  <--DISCONNECTED reported--  kReportOwed
//
// CONNECTED is reported as a peer enters kEstablished, so exactly the peers
// closed from there owe a DISCONNECTED; the others (and every peer of an
// agent that leaves by WexStop) go straight to kGone.  A closed peer stays
// in memory while a callback still holds it (pins.h) or its report is owed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/handles.h"
#include "crypto/auth.h"
#include "match/subscriptions.h"
#include "transport/transport.h"
#include "wex.h"
#include "wire/protocol.h"

namespace wex {

enum class PeerState : uint8_t {
  kAwaitingProof,  // on a bus with a secret: neither side has proved it knows it
  kAwaitingHello,  // the link is open, our handshake queued
  kAwaitingReady,  // its HELLO came: id and name known, subscriptions arriving
  kEstablished,    // its READY came: CONNECTED reported, messages flow both ways
  kReportOwed,     // closed, DISCONNECTED not reported yet
  kGone,           // closed, nothing owed
};

struct Peer : Link {
  uint64_t handle = 0;  // the client handle the application sees
  PeerState state = PeerState::kAwaitingHello;
  uint64_t id = 0;  // from its HELLO
  std::string name;
  SubscriptionSet subs;
  int pins = 0;                       // callbacks of this peer running now
  std::vector<char *> retired;        // old input blocks still read by a callback
  bool dirty = false;                 // in the agent's flush list
  bool heard = false, spoke = false;  // in this heartbeat period
  int missed_ticks = 0, handshake_ticks = 0;
  size_t received_in_tick = 0;  // bytes received in this heartbeat period
  int slow_frame_ticks = 0;     // periods in a row with a frame that hardly moved
  unsigned long dropped = 0;    // deliveries queued for it that it will never get
  // The challenge and response of a bus with a secret.
  unsigned char our_nonce[auth::kNonceSize] = {};
  unsigned char their_nonce[auth::kNonceSize] = {};
  bool challenged = false;  // their nonce came
  uint64_t proved_id = 0;   // the id its proof was for: its HELLO must claim it

  bool closed() const { return state >= PeerState::kReportOwed; }
  // The transport made this link to an agent it heard announced.
  bool outgoing() const { return announced_id != 0; }
  // Our subscriptions went to it (after its HELLO): later changes go too.
  bool subscribed() const {
    return state == PeerState::kAwaitingReady || state == PeerState::kEstablished;
  }
};

inline WexClientPtr as_client(Peer *p) { return reinterpret_cast<WexClientPtr>(p->handle); }

// The agent's peers, and the transport that carries their links.
struct Peers {
  std::unique_ptr<Transport> transport;  // of the kind of bus the agent is on
  std::vector<Peer *> open;
  std::vector<Peer *> closed;           // awaiting their report or release
  std::vector<Peer *> flush, flushing;  // with output to write (mark_dirty)
  HandleTable<Peer *> clients;          // the handles the application sees
};
extern Peers &peers;

Peer *new_peer(uint32_t address, uint64_t announced_id);
// Whether a new link to address may open now: handshakes not yet done are
// capped in all, per address and for links of our own making, so that a
// flood of connections or of forged announcements costs a bounded amount.
bool may_open_link(uint32_t address, bool outgoing);
// Closes the link at once; the report (if the application heard of the
// peer) and the release of its memory come later, from the loop.  reason,
// when given, goes to the log: it is a fault, not an ordinary goodbye.
void close_peer(Peer *p, const char *reason);
// A peer that broke the protocol: closed, with what it did on the log.
void violation(Peer *p, const char *what);
// Frees closed peers that owe nothing and are not pinned.
void sweep_peers();
// Its client handle goes stale (after its DISCONNECTED callback).
void retire_client(Peer *p);
// Frees the old input blocks that callbacks were still reading.
void release_retired(Peer *p);
// The open peer that is, or was announced as, agent id.
Peer *known_peer(uint64_t id);

// Output: frames are appended to Peer::out, and the peer joins the flush
// list, which the prepare hook writes once per iteration.
void mark_dirty(Peer *p);
void flush_peers();

}  // namespace wex
