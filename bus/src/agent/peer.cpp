// Peers: their lifecycle and their output (the flush list).  Their input
// is the agent's (dispatch.cpp).
#include "agent/peer.h"

#include <arpa/inet.h>

#include <cstring>

#include "base/diagnostics.h"
#include "base/immortal.h"
#include "loop/poller.h"

namespace wex {

constinit Immortal<Peers> peers_storage;
Peers &peers = peers_storage.value;

namespace {

void free_peer(Peer *p) {
  peers.clients.retire(p->handle);
  release_retired(p);
  delete p;
}

}  // namespace

// ---- Lifecycle ---------------------------------------------------------------

Peer *new_peer(uint32_t address, uint64_t announced_id) {
  Peer *p = new Peer;
  p->announced_id = announced_id;
  p->handle = peers.clients.issue(HandleKind::kClient, p);
  in_addr a;
  a.s_addr = htonl(address);
  inet_ntop(AF_INET, &a, p->host, sizeof p->host);
  peers.open.push_back(p);
  return p;
}

void violation(Peer *p, const char *what) { close_peer(p, what); }

void close_peer(Peer *p, const char *reason) {
  if (p->closed()) return;
  if (reason)
    warn("peer %s (%s): %s; disconnected", p->name.empty() ? "?" : p->name.c_str(), p->host,
         reason);
  if (peers.transport) peers.transport->close(p, false);
  p->state = p->state == PeerState::kEstablished ? PeerState::kReportOwed : PeerState::kGone;
  p->dropped += p->drop_output();
  peers.closed.push_back(p);
  loop_wake();
}

bool may_open_link(uint32_t address, bool outgoing) {
  constexpr int kMaxUnfinished = 64, kMaxUnfinishedPerAddress = 16, kMaxUnfinishedOutgoing = 32;
  int unfinished = 0, from_address = 0, ours = 0;
  char host[INET_ADDRSTRLEN];
  in_addr a;
  a.s_addr = htonl(address);
  inet_ntop(AF_INET, &a, host, sizeof host);
  for (Peer *q : peers.open) {
    if (q->closed() || q->state == PeerState::kEstablished) continue;
    ++unfinished;
    from_address += strcmp(q->host, host) == 0;
    ours += q->outgoing();
  }
  return unfinished < kMaxUnfinished && from_address < kMaxUnfinishedPerAddress &&
         (!outgoing || ours < kMaxUnfinishedOutgoing);
}

void sweep_peers() {
  size_t kept = 0;
  for (Peer *p : peers.open)
    if (!p->closed()) peers.open[kept++] = p;
  peers.open.resize(kept);
  kept = 0;
  for (Peer *p : peers.closed) {
    if (p->state == PeerState::kReportOwed || p->pins > 0 || p->dirty)
      peers.closed[kept++] = p;
    else
      free_peer(p);
  }
  peers.closed.resize(kept);
}

void release_retired(Peer *p) {
  for (char *block : p->retired) ByteBuffer::release(block);
  p->retired.clear();
}

void retire_client(Peer *p) { peers.clients.retire(p->handle); }

Peer *known_peer(uint64_t id) {
  for (Peer *q : peers.open) {
    if (q->closed()) continue;
    if ((q->state >= PeerState::kAwaitingReady && q->id == id) || q->announced_id == id) return q;
  }
  return nullptr;
}

// ---- Output ------------------------------------------------------------------

void mark_dirty(Peer *p) {
  p->spoke = true;
  if (!p->dirty) {
    p->dirty = true;
    peers.flush.push_back(p);
    loop_wake();
  }
}

void flush_peers() {
  peers.flushing.swap(peers.flush);
  for (Peer *p : peers.flushing) {
    p->dirty = false;
    if (!p->closed() && !peers.transport->send(p)) close_peer(p, nullptr);
  }
  peers.flushing.clear();
}

}  // namespace wex
