// The agent: this program's member of the bus.
//
// Discovery.  The agent listens on an ephemeral TCP port and announces it by
// a datagram to the bus address.  Of two agents, the one with the smaller id
// opens the connection; the other, when it hears a smaller id that it does
// not know yet, announces itself again so that the smaller one hears it.
// Since only one side of a pair ever connects, two agents that start at the
// same instant still end up with exactly one connection.
//
// Callbacks.  Every user callback runs from the loop (an io watch, the
// prepare hook), never from an API call, and any of them may leave by
// longjmp.  So state is made consistent before each call: a frame is
// consumed before its callback runs, a disconnection is marked reported
// before its callback runs, and nothing on the stack needs a destructor.
// Work left behind by such an exit (frames still buffered, reports not yet
// made) is picked up by the prepare hook, which says "busy" while any is left.
//
// Pinning.  A delivery hands out pointers into the peer's input buffer, and a
// callback may run a nested WexMainLoop that reads that peer again.  While a
// callback of a peer runs, the peer is pinned: its input is never moved (a
// new block is taken and the old one kept) and the peer is never freed.  A
// pin is dropped when its callback returns, or, when the callback left by
// longjmp, when the agent next runs at a shallower stack depth than the
// callback's frame, which proves that frame is gone.  Each callback runs
// below a few kilobytes of padding, so that any hook called by a later loop
// at the same depth sits above it; a nested loop runs below it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bus_address.h"
#include "diagnostics.h"
#include "environment.h"
#include "handles.h"
#include "loop.h"
#include "protocol.h"
#include "subscriptions.h"
#include "wex.h"

namespace wex {
namespace {

// A peer whose unsent output passes this is not reading: it is dropped
// rather than allowed to grow our memory without bound.
constexpr size_t kHighWater = 64u << 20;
constexpr size_t kReadChunk = 64 * 1024;
// Frames dispatched per peer per turn, so one busy peer cannot starve others.
constexpr int kDispatchBudget = 2048;
// Heartbeat: a tick every period; a peer silent for kMissedTicks ticks is
// dead, a handshake not done after kHandshakeTicks ticks is abandoned.
constexpr long kDefaultHeartbeatMs = 1000;
constexpr int kMissedTicks = 4;
constexpr int kHandshakeTicks = 5;
// How long WexStop waits for queued output to reach the peers: as long as
// some peer keeps taking it, with a pause of at most kStopDrainMs between
// two writes, and kStopDrainMaxMs in all.
constexpr int kStopDrainMs = 1000;
constexpr int kStopDrainMaxMs = 15000;
constexpr int kMaxPins = 64;
constexpr size_t kPinPadding = 4096;

enum class PeerState { kConnecting, kHandshake, kEstablished, kClosed };

struct Peer {
  uint64_t handle = 0;
  int fd = -1;
  IoWatch *watch = nullptr;
  unsigned interest = 0;
  PeerState state = PeerState::kHandshake;
  bool outgoing = false;
  bool hello = false;           // its HELLO arrived: id and name known
  bool reported = false;        // CONNECTED was reported
  bool report_pending = false;  // DISCONNECTED is owed
  bool dirty = false;           // in the flush list
  bool heard = false, spoke = false;
  bool eof = false;  // the peer closed; frames still buffered go first
  int missed_ticks = 0, handshake_ticks = 0;
  int pins = 0;
  uint64_t id = 0;
  std::string name;
  char host[INET_ADDRSTRLEN] = "";
  proto::ByteBuffer in, out;
  std::vector<char *> retired;  // old input blocks still read by a callback
  SubscriptionSet subs;
};

struct Binding {
  uint64_t handle;
  uint32_t wire_id;
  WexMsgCallback cb;
  void *user_data;
  std::string pattern;
};

struct Pin {
  void *frame;
  Peer *peer;
  bool disconnect;  // a DISCONNECTED report: the handle goes stale after it
};

struct Agent {
  const char *name = nullptr;
  const char *ready = nullptr;
  WexApplicationCallback app_cb = nullptr;
  void *app_data = nullptr;
  bool running = false;
  uint64_t id = 0;
  BusAddress bus;
  int udp_in = -1, udp_out = -1, listener = -1;
  IoWatch *udp_watch = nullptr, *listen_watch = nullptr;
  uint16_t tcp_port = 0;
  WexTimerPtr tick = nullptr, reannounce = nullptr;
  long heartbeat_ms = kDefaultHeartbeatMs;
  int announce_ticks = 0;

  std::vector<Peer *> peers;   // not closed
  std::vector<Peer *> closed;  // closed, awaiting report or release
  std::vector<Peer *> flush, flushing;
  HandleTable<Peer *> clients;

  std::map<uint32_t, Binding *> bindings;  // by wire id, in order of binding
  HandleTable<Binding *> binding_handles;
  uint32_t next_wire_id = 1;

  char *message = nullptr;  // WexSendMsg's buffer, WEX_MAX_MESSAGE + 1 bytes

  Pin pins[kMaxPins];
  int pin_count = 0;
};

// Never destroyed: a program may still call in from its exit handlers, and
// everything stays reachable for leak checkers.
Agent &g = *new Agent;

WexClientPtr as_client(Peer *p) { return reinterpret_cast<WexClientPtr>(p->handle); }

// ---- Pins and user callbacks -----------------------------------------------

void release_retired(Peer *p) {
  for (char *block : p->retired) proto::ByteBuffer::release(block);
  p->retired.clear();
}

void unpin(const Pin &pin) {
  Peer *p = pin.peer;
  --p->pins;
  if (pin.disconnect) g.clients.retire(p->handle);
  if (p->pins == 0) release_retired(p);
}

// Drops the pins of callbacks that left by longjmp: their frames lie deeper
// than any frame of ours that runs once they are gone.
__attribute__((noinline)) void prune_pins() {
  char *here = static_cast<char *>(__builtin_frame_address(0));
  while (g.pin_count > 0 && static_cast<char *>(g.pins[g.pin_count - 1].frame) < here)
    unpin(g.pins[--g.pin_count]);
}

void push_pin(void *frame, Peer *p, bool disconnect) {
  ++p->pins;
  if (g.pin_count < kMaxPins) {
    g.pins[g.pin_count++] = Pin{frame, p, disconnect};
  } else if (disconnect) {
    // Nesting this deep is a runaway; keep the handle valid rather than risk it.
  }
}

void pop_pin(void *frame) {
  // Pins above ours belong to callbacks nested in ours that left by longjmp
  // to a point inside ours.
  while (g.pin_count > 0) {
    Pin pin = g.pins[--g.pin_count];
    unpin(pin);
    if (pin.frame == frame) return;
  }
}

// The lowest address of the padding, inside the caller's frame (hence a
// macro: alloca belongs to the function that calls it).
#define pin_frame() \
  static_cast<void *>(pad_stack(static_cast<char *>(__builtin_alloca(kPinPadding))))
char *pad_stack(char *pad) {
  pad[0] = 0;
  asm volatile("" : : "r"(pad) : "memory");
  return pad;
}

__attribute__((noinline)) void call_message(Peer *p, WexMsgCallback cb, void *data, int argc,
                                            char **argv) {
  void *frame = pin_frame();
  push_pin(frame, p, false);
  cb(as_client(p), data, argc, argv);
  pop_pin(frame);
}

__attribute__((noinline)) void call_application(Peer *p, unsigned event) {
  void *frame = pin_frame();
  bool disconnect = event == WEX_CLIENT_DISCONNECTED;
  push_pin(frame, p, disconnect);
  if (g.app_cb) g.app_cb(as_client(p), g.app_data, event);
  pop_pin(frame);
}

// ---- Peers -------------------------------------------------------------------

void mark_dirty(Peer *p) {
  p->spoke = true;
  if (!p->dirty) {
    p->dirty = true;
    g.flush.push_back(p);
  }
}

void set_interest(Peer *p, unsigned interest) {
  if (p->watch && interest != p->interest) {
    p->interest = interest;
    loop_io_modify(p->watch, interest);
  }
}

// Closes the socket at once; the report (if the user ever heard of the peer)
// and the release of its memory come later, from the loop.  reason, when
// given, is printed: it is a fault, not an ordinary goodbye.
void close_peer(Peer *p, const char *reason) {
  if (p->state == PeerState::kClosed) return;
  if (reason) {
    warn("peer %s (%s): %s; disconnected", p->name.empty() ? "?" : p->name.c_str(), p->host,
         reason);
  }
  if (p->watch) loop_io_remove(p->watch);
  p->watch = nullptr;
  if (p->fd >= 0) close(p->fd);
  p->fd = -1;
  p->state = PeerState::kClosed;
  p->report_pending = p->reported;
  p->out.clear();
  g.closed.push_back(p);
}

void violation(Peer *p, const char *what) { close_peer(p, what); }

Peer *new_peer(int fd, uint32_t address, bool outgoing) {
  Peer *p = new Peer;
  p->fd = fd;
  p->outgoing = outgoing;
  p->handle = g.clients.issue(HandleKind::kClient, p);
  in_addr a;
  a.s_addr = htonl(address);
  inet_ntop(AF_INET, &a, p->host, sizeof p->host);
  g.peers.push_back(p);
  return p;
}

void free_peer(Peer *p) {
  g.clients.retire(p->handle);
  release_retired(p);
  delete p;
}

// Frees closed peers that are reported and no longer pinned, and forgets
// closed peers in the live list.
void sweep() {
  size_t kept = 0;
  for (Peer *p : g.peers)
    if (p->state != PeerState::kClosed) g.peers[kept++] = p;
  g.peers.resize(kept);
  kept = 0;
  for (Peer *p : g.closed) {
    if (p->report_pending || p->pins > 0 || p->dirty)
      g.closed[kept++] = p;
    else
      free_peer(p);
  }
  g.closed.resize(kept);
}

void queue_handshake(Peer *p) {
  const char *name = g.name ? g.name : "";
  proto::put_hello(p->out, g.id, std::string_view(name, strnlen(name, proto::kMaxName)));
  for (auto &entry : g.bindings) proto::put_subscribe(p->out, entry.first, entry.second->pattern);
  proto::put_empty(p->out, proto::kReady);
  mark_dirty(p);
}

// Matches one message against a peer's subscriptions and queues a delivery
// per match.  Returns the number of deliveries.
int queue_message(Peer *p, const char *text, size_t size) {
  int deliveries = 0;
  p->subs.match(std::string_view(text, size),
                [p, &deliveries](uint32_t id, const re2::StringPiece *groups, int count) {
                  size_t start = proto::begin_frame(p->out, proto::kMessage);
                  proto::put_u32(p->out, id);
                  proto::put_u16(p->out, uint16_t(count));
                  for (int i = 0; i < count; ++i)
                    proto::put_text(p->out, groups[i].data() ? groups[i].data() : "",
                                    groups[i].size());
                  if (proto::end_frame(p->out, start))
                    ++deliveries;
                  else
                    warn("delivery to %s dropped: its captured texts exceed %u bytes",
                         p->name.c_str(), proto::kMaxFrame);
                });
  if (deliveries == 0) return 0;
  if (p->out.size() > kHighWater) {
    char reason[96];
    snprintf(reason, sizeof reason, "not reading, %zu bytes queued", p->out.size());
    close_peer(p, reason);
    return deliveries;
  }
  mark_dirty(p);
  return deliveries;
}

// One write per call: the loop calls this once per iteration for each peer
// with output, and again when a full socket becomes writable.
void flush_peer(Peer *p) {
  if (p->state == PeerState::kClosed || p->state == PeerState::kConnecting) return;
  if (!p->out.empty()) {
    ssize_t n = send(p->fd, p->out.begin(), p->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p->out.consume(size_t(n));
      p->out.reset_if_empty();
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      close_peer(p, nullptr);
      return;
    }
  }
  set_interest(p, p->out.empty() ? kIoRead : kIoRead | kIoWrite);
}

void flush_all() {
  g.flushing.swap(g.flush);
  for (Peer *p : g.flushing) {
    p->dirty = false;
    flush_peer(p);
  }
  g.flushing.clear();
}

Peer *known_peer(uint64_t id) {
  for (Peer *q : g.peers)
    if (q->state != PeerState::kClosed && (q->hello || q->outgoing) && q->id == id) return q;
  return nullptr;
}

// ---- Frames from a peer --------------------------------------------------------

void on_hello(Peer *p, const proto::Frame &f) {
  proto::Hello hello;
  if (p->hello) return violation(p, "second HELLO");
  if (!proto::parse_hello(f, &hello)) return violation(p, "malformed HELLO");
  if (hello.version != proto::kVersion) return violation(p, "unsupported protocol version");
  if (hello.agent_id == g.id) return violation(p, "claims our own identity");
  if (p->outgoing && hello.agent_id != p->id)
    return violation(p, "identity differs from its announcement");
  Peer *other = known_peer(hello.agent_id);
  if (other && other != p) return violation(p, "second connection from a known agent");
  p->id = hello.agent_id;
  p->name.assign(hello.name, hello.name_size);
  p->hello = true;
}

void on_subscribe(Peer *p, const proto::Frame &f) {
  uint32_t id;
  const char *pattern;
  size_t size;
  if (!proto::parse_subscribe(f, &id, &pattern, &size)) return violation(p, "malformed SUBSCRIBE");
  std::string reason;
  switch (p->subs.add(id, std::string_view(pattern, size), &reason)) {
    case SubscriptionSet::Added::kAdded:
      break;
    case SubscriptionSet::Added::kIgnored:
      warn("pattern %u of %s ignored: %s", id, p->name.c_str(), reason.c_str());
      break;
    case SubscriptionSet::Added::kDuplicate:
      return violation(p, "subscription id used twice");
    case SubscriptionSet::Added::kFull:
      return violation(p, "too many subscriptions");
  }
}

void on_ready(Peer *p) {
  if (p->state != PeerState::kHandshake) return violation(p, "READY twice");
  p->state = PeerState::kEstablished;
  p->reported = true;
  // The ready message is queued before the callback runs: if the callback
  // leaves by longjmp, the peer still gets it, and first.
  if (g.ready && g.ready[0]) queue_message(p, g.ready, strnlen(g.ready, WEX_MAX_MESSAGE));
  call_application(p, WEX_CLIENT_CONNECTED);
}

void on_message(Peer *p, const proto::Frame &f) {
  char *argv[proto::kMaxArgs + 1];
  uint32_t id;
  int argc;
  if (!proto::parse_message(f, &id, &argc, argv)) return violation(p, "malformed MESSAGE");
  argv[argc] = nullptr;
  auto it = g.bindings.find(id);
  if (it == g.bindings.end()) return;  // unbound since the peer matched it
  call_message(p, it->second->cb, it->second->user_data, argc, argv);
}

void handle_frame(Peer *p, const proto::Frame &f) {
  if (!p->hello && f.type != proto::kHello) return violation(p, "frame before HELLO");
  switch (f.type) {
    case proto::kHello:
      return on_hello(p, f);
    case proto::kSubscribe:
      return on_subscribe(p, f);
    case proto::kUnsubscribe: {
      uint32_t id;
      if (!proto::parse_unsubscribe(f, &id)) return violation(p, "malformed UNSUBSCRIBE");
      p->subs.remove(id);
      return;
    }
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

// Dispatches buffered frames one at a time.  Returns true when whole frames
// are left because the budget ran out.
bool dispatch_frames(Peer *p, int budget) {
  while (p->state != PeerState::kClosed) {
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
    p->in.consume(size);  // before the callback: a longjmp must not replay it
    handle_frame(p, f);
  }
  return false;
}

// A peer that closed after sending is closed here only once every whole
// frame it sent has been dispatched: its last messages are not lost.
void close_if_drained(Peer *p) {
  proto::Frame f;
  size_t size;
  if (p->eof && p->state != PeerState::kClosed &&
      proto::split_frame(p->in.begin(), p->in.size(), &f, &size) != proto::Split::kFrame)
    close_peer(p, nullptr);
}

void read_peer(Peer *p) {
  // A backlog is dispatched before more is read, so a slow consumer leaves
  // the bytes in the kernel, where TCP slows the sender down.
  if (dispatch_frames(p, kDispatchBudget) || p->state == PeerState::kClosed) return;
  if (p->eof) return close_if_drained(p);
  bool pinned = p->pins > 0;
  if (!pinned) p->in.reset_if_empty();
  char *retired = nullptr;
  char *space = p->in.reserve(kReadChunk, !pinned, &retired);
  if (retired) p->retired.push_back(retired);
  ssize_t n = recv(p->fd, space, kReadChunk, MSG_DONTWAIT);
  if (n > 0) {
    p->in.commit(size_t(n));
    p->heard = true;
    dispatch_frames(p, kDispatchBudget);
  } else if (n == 0) {
    p->eof = true;
    dispatch_frames(p, kDispatchBudget);
    close_if_drained(p);
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    p->eof = true;  // a reset: what arrived before it still counts
    dispatch_frames(p, kDispatchBudget);
    close_if_drained(p);
  }
}

void finish_connect(Peer *p) {
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(p->fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
    close_peer(p, nullptr);  // the announcer went away; nobody heard of it yet
    return;
  }
  p->state = PeerState::kHandshake;
  flush_peer(p);
}

void on_peer_io(void *ctx, unsigned events) {
  prune_pins();
  Peer *p = static_cast<Peer *>(ctx);
  if (p->state == PeerState::kConnecting) {
    finish_connect(p);
    return;
  }
  if ((events & kIoWrite) && p->state != PeerState::kClosed) flush_peer(p);
  if ((events & (kIoRead | kIoError)) && p->state != PeerState::kClosed) read_peer(p);
}

// ---- Discovery ---------------------------------------------------------------

void set_nodelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void send_announce() {
  unsigned char datagram[proto::kAnnounceSize];
  proto::encode_announce(datagram, g.tcp_port, g.id);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(g.bus.address);
  to.sin_port = htons(g.bus.port);
  if (sendto(g.udp_out, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr *>(&to),
             sizeof to) < 0)
    warn("announce on %s: %s", format_bus_address(g.bus).c_str(), strerror(errno));
}

void on_reannounce(WexTimerPtr, void *, unsigned long) {
  g.reannounce = nullptr;
  if (g.running) send_announce();
}

void connect_to(uint32_t address, uint16_t port, uint64_t id) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    warn("socket: %s", strerror(errno));
    return;
  }
  set_nodelay(fd);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  to.sin_port = htons(port);
  int rc = connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
  if (rc != 0 && errno != EINPROGRESS) {
    close(fd);
    return;
  }
  Peer *p = new_peer(fd, address, true);
  p->id = id;
  p->state = rc == 0 ? PeerState::kHandshake : PeerState::kConnecting;
  p->interest = rc == 0 ? kIoRead : kIoWrite;
  p->watch = loop_io_add(fd, p->interest, on_peer_io, p);
  if (!p->watch) return close_peer(p, "cannot watch the socket");
  queue_handshake(p);
}

void on_udp(void *, unsigned) {
  prune_pins();
  for (int i = 0; i < 32 && g.running; ++i) {
    unsigned char datagram[256];
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(g.udp_in, datagram, sizeof datagram, MSG_DONTWAIT,
                         reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n < 0) break;
    uint16_t port;
    uint64_t id;
    if (!proto::decode_announce(datagram, size_t(n), &port, &id)) continue;
    if (id == g.id || known_peer(id)) continue;
    if (g.id < id) {
      connect_to(ntohl(from.sin_addr.s_addr), port, id);
    } else if (!g.reannounce) {
      // Coalesced: several newcomers at once get one answer.
      g.reannounce = TimerRepeatAfter(1, 5, on_reannounce, nullptr);
    }
  }
}

void on_accept(void *, unsigned) {
  prune_pins();
  for (int i = 0; i < 32 && g.running; ++i) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    int fd = accept4(g.listener, reinterpret_cast<sockaddr *>(&from), &from_len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) break;
    set_nodelay(fd);
    Peer *p = new_peer(fd, ntohl(from.sin_addr.s_addr), false);
    p->state = PeerState::kHandshake;
    p->interest = kIoRead;
    p->watch = loop_io_add(fd, kIoRead, on_peer_io, p);
    if (!p->watch) {
      close_peer(p, "cannot watch the socket");
      continue;
    }
    queue_handshake(p);
  }
}

void on_tick(WexTimerPtr, void *, unsigned long) {
  prune_pins();
  if (!g.running) return;
  // Repeat the announcement twice: a datagram lost on a real network would
  // otherwise leave an agent alone until someone else joins.
  if (g.announce_ticks < 2) {
    ++g.announce_ticks;
    send_announce();
  }
  for (size_t i = 0; i < g.peers.size(); ++i) {
    Peer *p = g.peers[i];
    if (p->state == PeerState::kClosed) continue;
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

// ---- The loop's hooks ----------------------------------------------------------

bool on_prepare(void *) {
  prune_pins();
  sweep();
  bool busy = false;
  // Reports first: a peer gone is news older than anything still buffered.
  for (size_t i = 0; i < g.closed.size(); ++i) {
    Peer *p = g.closed[i];
    if (!p->report_pending) continue;
    p->report_pending = false;
    call_application(p, WEX_CLIENT_DISCONNECTED);
  }
  for (size_t i = 0; i < g.peers.size(); ++i) {
    Peer *p = g.peers[i];
    if (p->state == PeerState::kClosed || (p->in.empty() && !p->eof)) continue;
    if (dispatch_frames(p, kDispatchBudget)) busy = true;
    close_if_drained(p);
  }
  flush_all();
  for (Peer *p : g.closed) busy = busy || p->report_pending;
  return busy;
}

// Gives queued output (goodbyes included) a bounded time to leave.  A slow
// reader that still takes what we write keeps the wait going: giving up on
// it would silently drop messages that WexSendMsg accepted.
void drain_before_close() {
  int64_t start = loop_now_ms();
  int64_t deadline = start + kStopDrainMs;
  for (int round = 0; round < 1000000; ++round) {
    pollfd fds[64];
    Peer *owners[64];
    nfds_t n = 0;
    for (Peer *p : g.peers) {
      if (p->state == PeerState::kClosed || p->state == PeerState::kConnecting) continue;
      if (p->out.empty() || n == 64) continue;
      fds[n] = pollfd{p->fd, POLLOUT, 0};
      owners[n++] = p;
    }
    int64_t left = deadline - loop_now_ms();
    if (n == 0 || left <= 0) return;
    if (poll(fds, n, int(left)) <= 0) return;
    for (nfds_t i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      Peer *p = owners[i];
      ssize_t w = send(p->fd, p->out.begin(), p->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w > 0) {
        p->out.consume(size_t(w));
        int64_t now = loop_now_ms();
        deadline = std::min(now + kStopDrainMs, start + kStopDrainMaxMs);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR)
        p->out.clear();
      p->out.reset_if_empty();
    }
  }
}

void close_endpoint(int *fd, IoWatch **watch) {
  if (watch && *watch) loop_io_remove(*watch);
  if (watch) *watch = nullptr;
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void on_stop() {
  if (!g.running) return;
  g.running = false;
  for (Peer *p : g.flush) p->dirty = false;
  g.flush.clear();
  for (Peer *p : g.peers)
    if (p->state == PeerState::kHandshake || p->state == PeerState::kEstablished)
      proto::put_empty(p->out, proto::kBye);
  drain_before_close();
  for (size_t i = 0; i < g.peers.size(); ++i) {
    Peer *p = g.peers[i];
    if (p->state == PeerState::kClosed) continue;
    if (p->fd >= 0) {
      // Half-close first and discard what the peer still had in flight: a
      // socket closed with unread input resets the connection, and a reset
      // can destroy the goodbye we just sent.
      shutdown(p->fd, SHUT_WR);
      char sink[4096];
      for (int k = 0; k < 64 && recv(p->fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++k) {
      }
    }
    p->reported = false;  // our own leaving is no news to report
    close_peer(p, nullptr);
  }
  for (Peer *p : g.closed) {
    p->report_pending = false;
    g.clients.retire(p->handle);
  }
  close_endpoint(&g.udp_in, &g.udp_watch);
  close_endpoint(&g.udp_out, nullptr);
  close_endpoint(&g.listener, &g.listen_watch);
  if (g.tick) TimerRemove(g.tick);
  if (g.reannounce) TimerRemove(g.reannounce);
  g.tick = g.reannounce = nullptr;
  sweep();
}

// ---- Starting -------------------------------------------------------------------

uint64_t fresh_id() {
  uint64_t id = 0;
  while (id == 0) {
    if (getrandom(&id, sizeof id, GRND_NONBLOCK) != sizeof id)
      id = uint64_t(loop_now_ms()) * 0x9E3779B97F4A7C15ull ^ uint64_t(getpid()) << 32;
  }
  return id;
}

bool open_sockets(std::string *error) {
  auto fail = [error](const char *what) {
    *error = std::string(what) + ": " + strerror(errno);
    return false;
  };
  int one = 1;
  sockaddr_in bus{};
  bus.sin_family = AF_INET;
  bus.sin_port = htons(g.bus.port);
  bus.sin_addr.s_addr = htonl(g.bus.address == 0xFFFFFFFFu ? INADDR_ANY : g.bus.address);

  // Receiving: bound to the bus address itself, so that only datagrams sent
  // to this bus arrive; SO_REUSEADDR lets every agent of the host share it.
  g.udp_in = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (g.udp_in < 0) return fail("UDP socket");
  setsockopt(g.udp_in, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(g.udp_in, reinterpret_cast<sockaddr *>(&bus), sizeof bus) != 0)
    return fail("bind to the bus port");
  if (g.bus.multicast) {
    ip_mreqn join{};
    join.imr_multiaddr.s_addr = htonl(g.bus.address);
    if (setsockopt(g.udp_in, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
      return fail("join the multicast group");
  }
  // Sending: a socket of its own, so the datagram's source is a real address
  // of this host (the announcer's peers connect back to it).
  g.udp_out = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (g.udp_out < 0) return fail("UDP socket");
  if (g.bus.multicast) {
    int ttl = int(env_long("WEX_MULTICAST_TTL", 1, 1, 255));
    setsockopt(g.udp_out, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(g.udp_out, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
  } else {
    setsockopt(g.udp_out, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  }

  // A loopback bus listens on loopback only: nobody from the network can join.
  g.listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (g.listener < 0) return fail("TCP socket");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(g.bus.loopback ? INADDR_LOOPBACK : INADDR_ANY);
  if (bind(g.listener, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
    return fail("bind the TCP listener");
  if (listen(g.listener, 128) != 0) return fail("listen");
  socklen_t len = sizeof local;
  getsockname(g.listener, reinterpret_cast<sockaddr *>(&local), &len);
  g.tcp_port = ntohs(local.sin_port);

  g.udp_watch = loop_io_add(g.udp_in, kIoRead, on_udp, nullptr);
  g.listen_watch = loop_io_add(g.listener, kIoRead, on_accept, nullptr);
  if (!g.udp_watch || !g.listen_watch) {
    *error = "cannot watch the bus sockets";
    return false;
  }
  return true;
}

}  // namespace
}  // namespace wex

using namespace wex;

void WexInit(const char *name, const char *ready, WexApplicationCallback cb, void *user_data,
             void *, void *) {
  g.name = name;
  g.ready = ready;
  g.app_cb = cb;
  g.app_data = user_data;
}

void WexStart(const char *bus) {
  if (g.running) {
    refuse("WexStart: the agent is already on bus %s", format_bus_address(g.bus).c_str());
    return;
  }
  std::string error;
  BusAddress parsed;
  if (!resolve_bus(bus, &parsed, &error)) {
    refuse("WexStart: %s; not started", error.c_str());
    return;
  }
  prune_pins();
  sweep();
  g.bus = parsed;
  g.id = fresh_id();
  g.heartbeat_ms = env_long("WEX_HEARTBEAT_MS", kDefaultHeartbeatMs, 10, 600000);
  g.announce_ticks = 0;
  if (!open_sockets(&error)) {
    refuse("WexStart: bus %s: %s; not started", format_bus_address(g.bus).c_str(), error.c_str());
    close_endpoint(&g.udp_in, &g.udp_watch);
    close_endpoint(&g.udp_out, nullptr);
    close_endpoint(&g.listener, &g.listen_watch);
    return;
  }
  g.running = true;
  loop_set_prepare(on_prepare, nullptr);
  g.tick = TimerRepeatAfter(0, g.heartbeat_ms, on_tick, nullptr);
  send_announce();
}

void WexStop(void) {
  on_stop();
  loop_request_stop();
}

int WexSendMsg(const char *fmt, ...) {
  if (fmt == nullptr) {
    refuse("WexSendMsg: null format");
    return -1;
  }
  if (g.message == nullptr) g.message = static_cast<char *>(malloc(WEX_MAX_MESSAGE + 1));
  if (g.message == nullptr) {
    refuse("WexSendMsg: out of memory");
    return -1;
  }
  va_list ap;
  va_start(ap, fmt);
  int n;
  if (fmt[0] == '%' && fmt[1] == 's' && fmt[2] == '\0') {
    // The common call, and the one the OCaml stubs make: a plain copy is
    // several times cheaper than the formatter.
    const char *text = va_arg(ap, const char *);
    if (text == nullptr) text = "(null)";
    size_t size = strnlen(text, size_t(WEX_MAX_MESSAGE) + 1);
    n = int(size);
    if (size <= WEX_MAX_MESSAGE) memcpy(g.message, text, size + 1);
  } else {
    n = vsnprintf(g.message, WEX_MAX_MESSAGE + 1, fmt, ap);
  }
  va_end(ap);
  if (n < 0) {
    refuse("WexSendMsg: cannot format the message");
    return -1;
  }
  if (n > WEX_MAX_MESSAGE) {
    refuse("WexSendMsg: message of %d bytes refused, the limit is %d", n, WEX_MAX_MESSAGE);
    return -1;
  }
  size_t size = strnlen(g.message, size_t(n));
  int deliveries = 0;
  for (size_t i = 0; i < g.peers.size(); ++i) {
    Peer *p = g.peers[i];
    if (p->state == PeerState::kEstablished) deliveries += queue_message(p, g.message, size);
  }
  return deliveries;
}

WexBindingPtr WexBindMsg(WexMsgCallback cb, void *user_data, const char *fmt, ...) {
  if (cb == nullptr || fmt == nullptr) {
    refuse("WexBindMsg: null %s", cb ? "pattern" : "callback");
    return nullptr;
  }
  va_list ap;
  va_start(ap, fmt);
  char small[256];
  int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) {
    refuse("WexBindMsg: cannot format the pattern");
    return nullptr;
  }
  if (size_t(n) > proto::kMaxPattern) {
    refuse("WexBindMsg: pattern of %d bytes refused, the limit is %zu", n, proto::kMaxPattern);
    return nullptr;
  }
  std::string pattern;
  if (size_t(n) < sizeof small) {
    pattern.assign(small, size_t(n));
  } else {
    pattern.resize(size_t(n) + 1);
    va_start(ap, fmt);
    vsnprintf(pattern.data(), pattern.size(), fmt, ap);
    va_end(ap);
    pattern.resize(size_t(n));
  }
  pattern.resize(strlen(pattern.c_str()));
  RE2 re(pattern, pattern_options());
  if (!re.ok()) {
    refuse("WexBindMsg: pattern \"%s\" refused: %s", pattern.c_str(), re.error().c_str());
    return nullptr;
  }
  if (re.NumberOfCapturingGroups() > int(proto::kMaxArgs)) {
    refuse("WexBindMsg: pattern \"%s\" refused: more than %zu groups", pattern.c_str(),
           proto::kMaxArgs);
    return nullptr;
  }
  Binding *b = new Binding{0, g.next_wire_id++, cb, user_data, std::move(pattern)};
  b->handle = g.binding_handles.issue(HandleKind::kBinding, b);
  g.bindings[b->wire_id] = b;
  for (Peer *p : g.peers) {
    if (p->state == PeerState::kClosed) continue;
    proto::put_subscribe(p->out, b->wire_id, b->pattern);
    mark_dirty(p);
  }
  return reinterpret_cast<WexBindingPtr>(b->handle);
}

void WexUnbindMsg(WexBindingPtr binding) {
  Binding **found =
      g.binding_handles.find(reinterpret_cast<uint64_t>(binding), HandleKind::kBinding);
  if (found == nullptr) return;
  Binding *b = *found;
  g.binding_handles.retire(b->handle);
  g.bindings.erase(b->wire_id);
  for (Peer *p : g.peers) {
    if (p->state == PeerState::kClosed) continue;
    proto::put_unsubscribe(p->out, b->wire_id);
    mark_dirty(p);
  }
  delete b;
}

const char *WexGetApplicationName(WexClientPtr client) {
  prune_pins();  // a DISCONNECTED callback left by longjmp is over: stale now
  Peer **p = g.clients.find(reinterpret_cast<uint64_t>(client), HandleKind::kClient);
  return p ? (*p)->name.c_str() : nullptr;
}

const char *WexGetApplicationHost(WexClientPtr client) {
  prune_pins();  // a DISCONNECTED callback left by longjmp is over: stale now
  Peer **p = g.clients.find(reinterpret_cast<uint64_t>(client), HandleKind::kClient);
  return p ? (*p)->host : nullptr;
}

int WexRunning(void) { return g.running ? 1 : 0; }
