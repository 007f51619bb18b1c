// The NATS transport: the same bus carried by NATS servers, so that agents
// that no broadcast reaches (another subnet, another site) still meet.
//
// Subjects, under the bus name B (docs/protocol.md has the whole mapping):
//   B.presence          announcements: every agent listens, each newcomer
//                       announces itself there;
//   B.agent.ID          one agent's inbox: everything its peers send it;
//   B.gone.ID.PEER      where the server answers a probe of PEER's inbox
//                       that nobody listens to any more ("no responders").
// An agent that hears an announcement of an agent it has no link with opens
// the link, and tells the newcomer with a presence of its own sent to the
// newcomer's inbox, ahead of its handshake; the newcomer opens its side on
// that.  Two agents that announce at once both open, and both find the link
// already open when the other's presence comes: one link per pair either way.
//
// One thread: libnats's threads only push into the handoff (nats_connection.h);
// everything else runs here, on the loop's thread, from the handoff's
// eventfd watch, the agent's calls and the tick.
#include <nats/nats.h>
#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "base/diagnostics.h"
#include "loop/loop.h"
#include "transport/nats/nats_connection.h"
#include "transport/nats/nats_stream.h"
#include "transport/transport.h"
#include "wire/protocol.h"

namespace wex {
namespace {

constexpr size_t kMaxChunk = 256 * 1024;
// After a reconnect, the presence is repeated for this many heartbeat
// periods: a peer that dropped us meanwhile (silence past its heartbeat)
// meets us again.
constexpr int kAnnounceAfterReconnect = 6;

constexpr int kFlushMs = 2000;
uint64_t last_session = 0;
NatsHandoff &handoff = nats_handoff();

void release_msg(void *msg) { natsMsg_Destroy(static_cast<natsMsg *>(msg)); }

std::string hex_id(uint64_t id) {
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(id));
  return text;
}

class NatsTransport;

// One link's state here: its two numbered streams and what the probes of
// the peer's inbox found.
struct Carrier {
  NatsTransport *owner = nullptr;
  uint64_t peer = 0;
  std::string inbox;  // the peer's
  std::string probe_reply;
  Link *link = nullptr;
  OutStream out;
  InStream in{release_msg};
  bool ended = false;        // the peer closed the link
  bool end_told = false;     // receive() has said so
  bool queued = false;       // in the ready list
  bool unreachable = false;  // the server said nobody listens; nothing heard since
};

Carrier *carrier_of(Link *link) { return static_cast<Carrier *>(link->carrier); }

class NatsTransport final : public Transport {
 public:
  ~NatsTransport() override { stop(); }
  bool start(const BusAddress &bus, uint64_t agent_id, LinkEvents *events,
             std::string *error) override;
  void tick(size_t peers) override;
  long receive(Link *link, char *buffer, size_t size) override;
  bool send(Link *link) override;
  void drain(const std::vector<Link *> &links, int idle_ms, int max_ms) override;
  void close(Link *link, bool leaving) override;
  void stop() override;

 private:
  void publish(const std::string &subject, const void *data, size_t size,
               const char *reply = nullptr) {
    nc_.publish(subject, data, size, reply);
  }
  static void publish_data(void *ctx, uint64_t offset, const char *data, size_t size);
  void announce(const std::string &subject);
  void send_ack(Carrier *c, uint8_t flags, bool probe = false);
  Carrier *find(uint64_t peer);
  void pump();
  void handle(const NatsItem &item);
  void handle_message(natsMsg *msg);
  void on_presence(const proto::Envelope &e, bool direct);
  void on_no_responders(const char *subject);
  void on_reconnected();
  void fail_all(const char *reason);
  void make_ready(Carrier *c);
  Carrier *next_ready();
  static void on_wake(void *ctx, unsigned events);

  uint64_t id_ = 0, session_ = 0;
  LinkEvents *events_ = nullptr;
  bool started_ = false;
  NatsConnection nc_;
  IoWatch *watch_ = nullptr;
  std::string name_, presence_, gone_prefix_, servers_;
  uint32_t host_ = 0;
  size_t max_chunk_ = kMaxChunk;
  int announce_left_ = 0;
  std::unordered_map<uint64_t, Carrier *> links_;  // open links by peer id
  std::deque<Carrier *> ready_;                    // links with input to hand over
  std::vector<NatsItem> items_;
  std::vector<char> scratch_;
};

bool NatsTransport::start(const BusAddress &bus, uint64_t agent_id, LinkEvents *events,
                          std::string *error) {
  id_ = agent_id;
  events_ = events;
  session_ = ++last_session;
  name_ = bus.name;
  presence_ = bus.name + ".presence";
  gone_prefix_ = bus.name + ".gone." + hex_id(id_) + ".";
  servers_.clear();
  for (const std::string &s : bus.servers) servers_ += (servers_.empty() ? "" : ",") + s;
  // The handoff first: what the connection delivers from its first moment
  // on belongs to this session.  Then one round trip: the subscriptions are
  // in place before anyone can answer.
  if (!handoff.open(session_, error) || !nc_.open(bus.servers, session_, error) ||
      !nc_.subscribe(bus.name + ".agent." + hex_id(id_), error) ||
      !nc_.subscribe(gone_prefix_ + "*", error) || !nc_.subscribe(presence_, error) ||
      !nc_.flush(kFlushMs, error)) {
    stop();
    return false;
  }
  watch_ = loop_io_add(handoff.fd(), kIoRead, on_wake, this);
  if (!watch_) {
    *error = "cannot watch the handoff's descriptor";
    stop();
    return false;
  }
  host_ = nc_.local_ipv4();
  if (nc_.max_payload() > proto::kDataHead + 1)
    max_chunk_ = std::min(kMaxChunk, nc_.max_payload() - proto::kDataHead);
  started_ = true;
  announce(presence_);
  announce_left_ = 2;  // as on a LAN: twice more, in case one is lost
  return true;
}

void NatsTransport::publish_data(void *ctx, uint64_t offset, const char *data, size_t size) {
  auto *c = static_cast<Carrier *>(ctx);
  NatsTransport *self = c->owner;
  self->scratch_.resize(proto::kDataHead + size);
  char *p = self->scratch_.data();
  proto::encode_data_head(reinterpret_cast<unsigned char *>(p), self->id_, offset);
  memcpy(p + proto::kDataHead, data, size);
  self->publish(c->inbox, p, self->scratch_.size());
}

void NatsTransport::announce(const std::string &subject) {
  unsigned char presence[proto::kPresenceSize];
  proto::encode_presence(presence, id_, host_);
  publish(subject, presence, sizeof presence);
}

// With probe, the ACK asks the server to answer if nobody listens on the
// peer's inbox: then its connection is gone.
void NatsTransport::send_ack(Carrier *c, uint8_t flags, bool probe) {
  uint64_t received, consumed;
  c->in.acknowledged(&received, &consumed);
  unsigned char ack[proto::kAckSize];
  proto::encode_ack(ack, id_, received, consumed, flags);
  publish(c->inbox, ack, sizeof ack, probe ? c->probe_reply.c_str() : nullptr);
}

Carrier *NatsTransport::find(uint64_t peer) {
  auto it = links_.find(peer);
  return it == links_.end() ? nullptr : it->second;
}

void NatsTransport::tick(size_t) {
  if (!started_) return;
  if (announce_left_ > 0) {
    --announce_left_;
    announce(presence_);
  }
  std::vector<Carrier *> gone;
  for (auto &entry : links_) {
    Carrier *c = entry.second;
    // Told that nobody listens (in answer to the probe of the last tick),
    // and nothing heard since, for a whole period: a reconnect through
    // another server would have been quicker.
    if (c->unreachable) {
      gone.push_back(c);
      continue;
    }
    if (c->out.stalled()) c->out.resend(max_chunk_, publish_data, c);
    c->in.tick();
    send_ack(c, 0, true);  // a probe each period, and what we have
  }
  for (Carrier *c : gone) events_->link_failed(c->link, "its connection to the NATS server closed");
}

void NatsTransport::on_wake(void *ctx, unsigned) {
  auto *self = static_cast<NatsTransport *>(ctx);
  self->pump();
  // Last, as the seam requires: it may run user callbacks.  The eventfd
  // stays readable, so the loop calls again for the links still waiting.
  if (Carrier *c = self->next_ready()) return self->events_->link_readable(c->link);
  handoff.rest();
}

void NatsTransport::pump() {
  std::vector<NatsItem> items;
  items.swap(items_);
  handoff.take(&items);
  for (const NatsItem &item : items) handle(item);
  items.clear();
  items_.swap(items);
}

void NatsTransport::handle(const NatsItem &item) {
  switch (item.event) {
    case NatsEvent::kMessage:
      return handle_message(static_cast<natsMsg *>(item.msg));
    case NatsEvent::kDisconnected:
      return warn("NATS: lost the server; reconnecting to one of %s", servers_.c_str());
    case NatsEvent::kReconnected:
      return on_reconnected();
    case NatsEvent::kClosed:
      return fail_all("the NATS connection closed");
    case NatsEvent::kError:
      return warn("NATS: %s", natsStatus_GetText(natsStatus(item.status)));
  }
}

void NatsTransport::handle_message(natsMsg *msg) {
  const char *subject = natsMsg_GetSubject(msg);
  if (natsMsg_IsNoResponders(msg)) {
    on_no_responders(subject);
    return natsMsg_Destroy(msg);
  }
  proto::Envelope e;
  if (!started_ ||
      !proto::decode_envelope(natsMsg_GetData(msg), size_t(natsMsg_GetDataLength(msg)), &e) ||
      e.sender == id_)
    return natsMsg_Destroy(msg);
  bool direct = presence_ != subject;
  if (e.kind == proto::NatsKind::kPresence) {
    on_presence(e, direct);
    return natsMsg_Destroy(msg);
  }
  Carrier *c = direct ? find(e.sender) : nullptr;
  if (!c) return natsMsg_Destroy(msg);
  c->unreachable = false;
  switch (e.kind) {
    case proto::NatsKind::kData:
      switch (c->in.accept(e.offset, e.data, e.size, msg)) {
        case InStream::Accept::kQueued:
          return make_ready(c);
        case InStream::Accept::kGap:
          if (c->in.ask_resend()) send_ack(c, proto::kResend);
          break;
        case InStream::Accept::kDuplicate:
          break;
      }
      break;
    case proto::NatsKind::kAck:
      if (!c->out.on_ack(e.received, e.consumed)) {
        events_->link_failed(c->link, "acknowledged bytes it was never sent");
        break;
      }
      if (e.flags & proto::kResend) c->out.resend(max_chunk_, publish_data, c);
      send(c->link);  // the window may have opened
      break;
    case proto::NatsKind::kClose:
      // The link is over; a new one with the same peer may follow at once.
      c->ended = true;
      links_.erase(c->peer);
      make_ready(c);
      break;
    case proto::NatsKind::kPresence:
      break;
  }
  natsMsg_Destroy(msg);
}

void NatsTransport::on_presence(const proto::Envelope &e, bool direct) {
  if (find(e.sender)) return;
  auto *c = new Carrier;
  c->owner = this;
  c->peer = e.sender;
  c->inbox = name_ + ".agent." + hex_id(e.sender);
  c->probe_reply = gone_prefix_ + hex_id(e.sender);
  links_[e.sender] = c;
  // The newcomer learns of us ahead of our handshake, on the same subject.
  if (!direct) announce(c->inbox);
  // Two agents may hear each other's presence at the same moment, so the
  // roles of the handshake cannot follow who heard whom first: the agent of
  // the larger id speaks first, like the side that accepts on a LAN; the
  // other names the id it expects and waits, like the side that connects.
  c->link = events_->link_opened(e.host, id_ > e.sender ? 0 : e.sender);
  c->link->carrier = c;
}

void NatsTransport::on_no_responders(const char *subject) {
  if (strncmp(subject, gone_prefix_.c_str(), gone_prefix_.size()) != 0) return;
  Carrier *c = find(strtoull(subject + gone_prefix_.size(), nullptr, 16));
  if (c) c->unreachable = true;
}

// Whatever was in flight through the server that died may be lost, both
// ways: send again what the peers have not acknowledged, and ask them to do
// the same.  What arrives twice is dropped by its offset.
void NatsTransport::on_reconnected() {
  for (auto &entry : links_) {
    entry.second->out.resend(max_chunk_, publish_data, entry.second);
    send_ack(entry.second, proto::kResend);
  }
  announce(presence_);
  announce_left_ = kAnnounceAfterReconnect;
}

void NatsTransport::fail_all(const char *reason) {
  std::vector<Carrier *> all;
  for (auto &entry : links_) all.push_back(entry.second);
  for (Carrier *c : all) events_->link_failed(c->link, reason);
}

void NatsTransport::make_ready(Carrier *c) {
  if (c->queued) return;
  c->queued = true;
  ready_.push_back(c);
}

// Round robin over the links with input, so one busy peer cannot starve
// the others.
Carrier *NatsTransport::next_ready() {
  while (!ready_.empty()) {
    Carrier *c = ready_.front();
    ready_.pop_front();
    if (c->in.available() == 0 && (!c->ended || c->end_told)) {
      c->queued = false;
      continue;
    }
    ready_.push_back(c);
    return c;
  }
  return nullptr;
}

long NatsTransport::receive(Link *link, char *buffer, size_t size) {
  Carrier *c = carrier_of(link);
  if (!c) return -1;
  size_t n = c->in.read(buffer, size);
  if (n > 0) {
    if (c->in.ack_due()) send_ack(c, 0);
    return long(n);
  }
  if (!c->ended) return 0;
  c->end_told = true;
  return -1;
}

bool NatsTransport::send(Link *link) {
  Carrier *c = carrier_of(link);
  if (!c) return false;
  c->out.send(link->out, max_chunk_, publish_data, c);
  return true;
}

// Acknowledgements are what open the windows, so they are taken from the
// handoff here, with the loop stopped, until the output is gone.
void NatsTransport::drain(const std::vector<Link *> &links, int idle_ms, int max_ms) {
  int64_t start = loop_now_ms();
  int64_t deadline = start + idle_ms;
  size_t before = SIZE_MAX;
  for (int round = 0; round < 1000000 && started_; ++round) {
    pump();
    size_t queued = 0;
    for (Link *link : links) {
      if (!carrier_of(link)) continue;
      send(link);
      queued += link->out.size();
    }
    if (queued < before) deadline = std::min(loop_now_ms() + idle_ms, start + max_ms);
    before = queued;
    int64_t left = deadline - loop_now_ms();
    if (queued == 0 || left <= 0) break;
    handoff.rest();
    pollfd p{handoff.fd(), POLLIN, 0};
    poll(&p, 1, int(left));
  }
  nc_.flush(int(std::max<int64_t>(1, deadline - loop_now_ms())));
  if (!ready_.empty()) handoff.wake();
}

void NatsTransport::close(Link *link, bool) {
  Carrier *c = carrier_of(link);
  if (!c) return;
  link->carrier = nullptr;
  // Unlike a socket, nothing tells the peer that we are done: CLOSE does.
  unsigned char close[proto::kCloseSize];
  proto::encode_close(close, id_);
  if (!c->ended) publish(c->inbox, close, sizeof close);
  auto it = links_.find(c->peer);
  if (it != links_.end() && it->second == c) links_.erase(it);
  if (c->queued) ready_.erase(std::find(ready_.begin(), ready_.end(), c));
  delete c;
}

void NatsTransport::stop() {
  bool started_before_stop = started_;
  started_ = false;
  if (watch_) loop_io_remove(watch_);
  watch_ = nullptr;
  if (started_before_stop) nc_.flush(kFlushMs / 2);
  handoff.close();
  nc_.close();
  for (auto &entry : links_) entry.second->link->carrier = nullptr, delete entry.second;
  links_.clear();
  ready_.clear();
}

}  // namespace

std::unique_ptr<Transport> make_nats_transport() { return std::make_unique<NatsTransport>(); }

}  // namespace wex
