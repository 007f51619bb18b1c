// The agent's input: what each peer's link has is read into its buffer,
// split into frames, and each frame handed to the agent's handler for its
// type (presence.cpp, messages.cpp).  Each frame is consumed before its
// handler runs, since a handler may run a user callback that leaves by
// longjmp.
#include "agent/agent.h"
#include "agent/pins.h"
#include "loop/poller.h"

namespace wex {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

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
  long n = peers.transport->receive(p, space, kReadChunk);
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
