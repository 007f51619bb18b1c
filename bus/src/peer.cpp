// Peers: their lifecycle, their input (reading, splitting, dispatching
// frames) and their output (the flush list).
#include "peer.h"

#include <arpa/inet.h>

#include <cstring>

#include "agent.h"
#include "diagnostics.h"
#include "loop.h"
#include "pins.h"

namespace wex {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

void free_peer(Peer *p) {
  g.clients.retire(p->handle);
  release_retired(p);
  delete p;
}

void violation(Peer *p, const char *what) { close_peer(p, what); }

void handle_frame(Peer *p, const proto::Frame &f) {
  bool proving = f.type == proto::kChallenge || f.type == proto::kProof;
  if (p->state == PeerState::kAwaitingProof && !proving)
    return violation(p, "frame before its proof of the bus secret");
  if (p->state == PeerState::kAwaitingHello && f.type != proto::kHello)
    return violation(p, "frame before HELLO");
  switch (f.type) {
    case proto::kChallenge:
      return on_challenge(p, f);
    case proto::kProof:
      return on_proof(p, f);
    case proto::kHello:
      return on_hello(p, f);
    case proto::kSubscribe:
      return on_subscribe(p, f);
    case proto::kUnsubscribe:
      return on_unsubscribe(p, f);
    case proto::kReady:
      if (!proto::parse_empty(f)) return violation(p, "malformed READY");
      return on_ready(p);
    case proto::kMessage:
      if (p->state != PeerState::kEstablished) return violation(p, "MESSAGE before READY");
      return on_message(p, f);
    case proto::kPing:
      if (!proto::parse_empty(f)) return violation(p, "malformed PING");
      return;
    case proto::kBye:
      if (!proto::parse_empty(f)) return violation(p, "malformed BYE");
      return close_peer(p, nullptr);
    default:
      return violation(p, "unknown frame type");
  }
}

}  // namespace

// ---- Lifecycle ---------------------------------------------------------------

Peer *new_peer(uint32_t address, uint64_t announced_id) {
  Peer *p = new Peer;
  p->announced_id = announced_id;
  p->handle = g.clients.issue(HandleKind::kClient, p);
  in_addr a;
  a.s_addr = htonl(address);
  inet_ntop(AF_INET, &a, p->host, sizeof p->host);
  g.peers.push_back(p);
  return p;
}

void close_peer(Peer *p, const char *reason) {
  if (p->closed()) return;
  if (reason)
    warn("peer %s (%s): %s; disconnected", p->name.empty() ? "?" : p->name.c_str(), p->host,
         reason);
  if (g.transport) g.transport->close(p, false);
  p->state = p->state == PeerState::kEstablished ? PeerState::kReportOwed : PeerState::kGone;
  p->dropped += p->drop_output();
  g.closed.push_back(p);
  loop_wake();
}

bool may_open_link(uint32_t address, bool outgoing) {
  constexpr int kMaxUnfinished = 64, kMaxUnfinishedPerAddress = 16, kMaxUnfinishedOutgoing = 32;
  int unfinished = 0, from_address = 0, ours = 0;
  char host[INET_ADDRSTRLEN];
  in_addr a;
  a.s_addr = htonl(address);
  inet_ntop(AF_INET, &a, host, sizeof host);
  for (Peer *q : g.peers) {
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
  for (Peer *p : g.peers)
    if (!p->closed()) g.peers[kept++] = p;
  g.peers.resize(kept);
  kept = 0;
  for (Peer *p : g.closed) {
    if (p->state == PeerState::kReportOwed || p->pins > 0 || p->dirty)
      g.closed[kept++] = p;
    else
      free_peer(p);
  }
  g.closed.resize(kept);
}

void release_retired(Peer *p) {
  for (char *block : p->retired) ByteBuffer::release(block);
  p->retired.clear();
}

void peer_unpinned(Peer *p, bool after_disconnect) {
  if (after_disconnect) g.clients.retire(p->handle);
  if (p->pins == 0) release_retired(p);
}

Peer *known_peer(uint64_t id) {
  for (Peer *q : g.peers) {
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
    g.flush.push_back(p);
    loop_wake();
  }
}

void flush_peers() {
  g.flushing.swap(g.flush);
  for (Peer *p : g.flushing) {
    p->dirty = false;
    if (!p->closed() && !g.transport->send(p)) close_peer(p, nullptr);
  }
  g.flushing.clear();
}

// ---- Input -------------------------------------------------------------------

namespace {

bool dispatch_whole_frames(Peer *p, int budget) {
  // Compiling patterns is the one slow thing a frame can ask for: a burst of
  // SUBSCRIBEs gets a few milliseconds a turn, so other peers and timers
  // keep their turns while it compiles.
  int64_t started = -1;
  while (!p->closed()) {
    proto::Frame f;
    size_t size;
    switch (proto::split_frame(p->in.begin(), p->in.size(), &f, &size)) {
      case proto::Split::kIncomplete:
        return false;
      case proto::Split::kMalformed:
        violation(p, "frame length out of bounds");
        return false;
      case proto::Split::kFrame:
        break;
    }
    if (budget-- == 0) return true;
    if (f.type == proto::kSubscribe) {
      int64_t now = loop_now_ms();
      if (started < 0) started = now;
      if (now - started >= kCompileSliceMs) return true;
    }
    p->in.consume(size);  // before the callback: a longjmp must not replay it
    handle_frame(p, f);
  }
  return false;
}

}  // namespace

// A batch of frames runs under one pin, taken only when there is a frame to
// dispatch: most calls find none.
bool dispatch_frames(Peer *p, int budget) {
  proto::Frame f;
  size_t size;
  if (p->closed() ||
      proto::split_frame(p->in.begin(), p->in.size(), &f, &size) == proto::Split::kIncomplete)
    return false;
  return dispatch_pinned(p, dispatch_whole_frames, budget);
}

bool frame_in_progress(Peer *p) {
  proto::Frame f;
  size_t size;
  return !p->in.empty() &&
         proto::split_frame(p->in.begin(), p->in.size(), &f, &size) == proto::Split::kIncomplete;
}

void close_if_drained(Peer *p) {
  proto::Frame f;
  size_t size;
  if (p->input_ended && !p->closed() &&
      proto::split_frame(p->in.begin(), p->in.size(), &f, &size) != proto::Split::kFrame)
    close_peer(p, nullptr);
}

void read_peer(Peer *p) {
  if (dispatch_frames(p, kDispatchBudget) || p->closed()) return;
  if (p->input_ended) return close_if_drained(p);
  bool pinned = p->pins > 0;
  if (!pinned) p->in.reset_if_empty();
  char *retired = nullptr;
  char *space = p->in.reserve(kReadChunk, !pinned, &retired);
  if (retired) p->retired.push_back(retired);
  long n = g.transport->receive(p, space, kReadChunk);
  if (n == 0) return;
  if (n > 0) {
    p->in.commit(size_t(n));
    p->heard = true;
    p->received_in_tick += size_t(n);
  } else {
    p->input_ended = true;
  }
  dispatch_frames(p, kDispatchBudget);
  close_if_drained(p);
}

}  // namespace wex
