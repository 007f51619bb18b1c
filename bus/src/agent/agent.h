// The agent's state and the parts of its logic that share it: presence
// (presence.cpp: handshake, heartbeat, peer reports), messages (messages.cpp:
// subscriptions, matching, deliveries), the dispatch of what peers send
// (dispatch.cpp) and the public agent API (agent.cpp).  Its peers, and what
// carries their links, are one level down (peer.h).  Internal, never
// installed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/peer.h"
#include "base/handles.h"
#include "transport/transport.h"
#include "wex.h"
#include "wire/bus_address.h"
#include "wire/protocol.h"

namespace wex {

struct Binding {
  uint64_t handle = 0;
  uint32_t wire_id = 0;  // its id on the wire, in SUBSCRIBE and MESSAGE frames
  WexMsgCallback cb = nullptr;
  void *user_data = nullptr;
  std::string pattern;
  int groups = 0;  // a delivery for it carries exactly this many texts
};

struct Agent {
  const char *name = nullptr;
  const char *ready = nullptr;
  WexApplicationCallback app_cb = nullptr;
  void *app_data = nullptr;
  bool running = false;
  uint64_t id = 0;
  BusAddress bus;
  long heartbeat_ms = 0;
  WexTimerPtr tick = nullptr;
  std::string secret;                                        // WexSetSecret's; "" for $WEX_SECRET
  BusAddress::Kind transport_kind = BusAddress::Kind::kLan;  // of peers.transport

  // By wire id, for the lookup of every delivery we receive.  Wire ids only
  // grow, so their order is the order of binding (the handshake's).
  std::unordered_map<uint32_t, Binding *> bindings;
  // The binding of the last delivery: a burst of messages for one pattern
  // finds it without a probe.  Cleared when that binding goes.
  Binding *last_delivered = nullptr;
  HandleTable<Binding *> binding_handles;
  uint32_t next_wire_id = 1;

  char *message = nullptr;  // WexSendMsg's buffer, WEX_MAX_MESSAGE + 1 bytes
};

// This program's agent (never destroyed: base/immortal.h).
extern Agent &agent;

// ---- presence.cpp ----
// Our HELLO, first of the handshake; the rest follows the peer's HELLO.
void queue_hello(Peer *p);
void on_hello(Peer *p, const proto::Frame &f);
// A new link on a bus with a secret: the acceptor's challenge goes first.
void start_proof(Peer *p);
void on_challenge(Peer *p, const proto::Frame &f);
void on_proof(Peer *p, const proto::Frame &f);
void on_ready(Peer *p);
void heartbeat_tick();
// Reports the DISCONNECTED events owed, each marked reported before its
// callback runs (a longjmp out of one leaves the rest for the next call).
void report_disconnections();

// ---- dispatch.cpp ----
// Input: reads what the link has (a backlog is dispatched first, so that a
// slow consumer leaves bytes in the kernel, where TCP slows the sender), and
// dispatches whole frames, each consumed before its handler runs.
void read_peer(Peer *p);
// Returns true when whole frames are left because the budget ran out.
bool dispatch_frames(Peer *p, int budget);
// A peer whose input ended is closed once every whole frame it sent has
// been dispatched: its last messages are not lost.
void close_if_drained(Peer *p);
// Whether its input ends in a frame not complete yet.
bool frame_in_progress(Peer *p);

// Frames dispatched per peer per turn, so one busy peer cannot starve others,
// and the milliseconds its SUBSCRIBEs may spend compiling in one turn.
constexpr int kDispatchBudget = 2048;
constexpr int kCompileSliceMs = 5;

// ---- messages.cpp ----
void on_subscribe(Peer *p, const proto::Frame &f);
void on_unsubscribe(Peer *p, const proto::Frame &f);
void on_message(Peer *p, const proto::Frame &f);
// Matches one message against a peer's subscriptions and queues a delivery
// per match; returns the number of deliveries.
int queue_message(Peer *p, const char *text, size_t size);

}  // namespace wex
