// The agent's state and the parts of its logic that share it: presence
// (presence.cpp: handshake, heartbeat, peer reports), messages (messages.cpp:
// subscriptions, matching, deliveries), peers (peer.cpp) and the public agent
// API (agent.cpp).  Internal, never installed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bus_address.h"
#include "handles.h"
#include "peer.h"
#include "protocol.h"
#include "transport.h"
#include "wex.h"

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
  std::string secret;                    // WexSetSecret's; "" for $WEX_SECRET
  std::unique_ptr<Transport> transport;  // of the kind of bus
  BusAddress::Kind transport_kind = BusAddress::Kind::kLan;

  std::vector<Peer *> peers;   // open
  std::vector<Peer *> closed;  // closed, awaiting report or release
  std::vector<Peer *> flush, flushing;
  HandleTable<Peer *> clients;

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

// Never destroyed: a program may still call in from its exit handlers, and
// everything stays reachable for leak checkers.
extern Agent &g;

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

// ---- messages.cpp ----
void on_subscribe(Peer *p, const proto::Frame &f);
void on_unsubscribe(Peer *p, const proto::Frame &f);
void on_message(Peer *p, const proto::Frame &f);
// Matches one message against a peer's subscriptions and queues a delivery
// per match; returns the number of deliveries.
int queue_message(Peer *p, const char *text, size_t size);

}  // namespace wex
