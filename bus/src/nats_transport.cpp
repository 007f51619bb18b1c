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
// One thread: libnats's threads only push into the handoff (nats_handoff.h);
// everything else runs here, on the loop's thread, from the handoff's
// eventfd watch, the agent's calls and the tick.
#include <arpa/inet.h>
#include <nats/nats.h>
#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "diagnostics.h"
#include "immortal.h"
#include "loop.h"
#include "nats_handoff.h"
#include "nats_stream.h"
#include "protocol.h"
#include "transport.h"

namespace wex {
namespace {

constexpr int kConnectTimeoutMs = 2000;
constexpr int kReconnectWaitMs = 250;
constexpr size_t kMaxChunk = 256 * 1024;
// After a reconnect, the presence is repeated for this many heartbeat
// periods: a peer that dropped us meanwhile (silence past its heartbeat)
// meets us again.
constexpr int kAnnounceAfterReconnect = 6;

constinit Immortal<NatsHandoff> handoff_storage;
NatsHandoff &handoff = handoff_storage.value;
uint64_t last_session = 0;

void release_msg(void *msg) { natsMsg_Destroy(static_cast<natsMsg *>(msg)); }

std::string hex_id(uint64_t id) {
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(id));
  return text;
}

// libnats's callbacks, on its threads: a push into the handoff and nothing
// else.  The closure is the session number.
uint64_t session_of(void *closure) { return reinterpret_cast<uintptr_t>(closure); }
void on_nats_message(natsConnection *, natsSubscription *, natsMsg *msg, void *closure) {
  handoff.push(session_of(closure), NatsItem{NatsEvent::kMessage, msg});
}
void on_nats_disconnected(natsConnection *, void *closure) {
  handoff.push(session_of(closure), NatsItem{NatsEvent::kDisconnected, nullptr});
}
void on_nats_reconnected(natsConnection *, void *closure) {
  handoff.push(session_of(closure), NatsItem{NatsEvent::kReconnected, nullptr});
}
void on_nats_closed(natsConnection *, void *closure) {
  handoff.push(session_of(closure), NatsItem{NatsEvent::kClosed, nullptr});
}
void on_nats_error(natsConnection *, natsSubscription *, natsStatus status, void *closure) {
  handoff.push(session_of(closure), NatsItem{NatsEvent::kError, nullptr, int(status)});
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
  void tick() override;
  long receive(Link *link, char *buffer, size_t size) override;
  bool send(Link *link) override;
  void drain(const std::vector<Link *> &links, int idle_ms, int max_ms) override;
  void close(Link *link, bool leaving) override;
  void stop() override;

 private:
  bool connect(const BusAddress &bus, std::string *error);
  bool subscribe(const std::string &subject, natsSubscription **sub, std::string *error);
  void publish(const std::string &subject, const void *data, size_t size,
               const char *reply = nullptr);
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
  natsConnection *nc_ = nullptr;
  natsSubscription *subs_[3] = {};
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
  // on belongs to this session.
  if (!handoff.open(session_, error) || !connect(bus, error) ||
      !subscribe(bus.name + ".agent." + hex_id(id_), &subs_[0], error) ||
      !subscribe(gone_prefix_ + "*", &subs_[1], error) || !subscribe(presence_, &subs_[2], error)) {
    stop();
    return false;
  }
  // One round trip: the subscriptions are in place before anyone can answer.
  natsStatus s = natsConnection_FlushTimeout(nc_, kConnectTimeoutMs);
  watch_ = s == NATS_OK ? loop_io_add(handoff.fd(), kIoRead, on_wake, this) : nullptr;
  if (!watch_) {
    *error = s == NATS_OK ? "cannot watch the handoff"
                          : std::string("no answer from the NATS server: ") + natsStatus_GetText(s);
    stop();
    return false;
  }
  char *ip = nullptr;
  int port = 0;
  in_addr a{};
  if (natsConnection_GetLocalIPAndPort(nc_, &ip, &port) == NATS_OK && ip &&
      inet_pton(AF_INET, ip, &a) == 1)
    host_ = ntohl(a.s_addr);
  free(ip);
  int64_t payload = natsConnection_GetMaxPayload(nc_);
  if (payload > int64_t(proto::kDataHead) + 1)
    max_chunk_ = std::min(kMaxChunk, size_t(payload) - proto::kDataHead);
  started_ = true;
  announce(presence_);
  announce_left_ = 2;  // as on a LAN: twice more, in case one is lost
  return true;
}

bool NatsTransport::connect(const BusAddress &bus, std::string *error) {
  natsOptions *opts = nullptr;
  std::vector<const char *> urls;
  for (const std::string &s : bus.servers) urls.push_back(s.c_str());
  void *closure = reinterpret_cast<void *>(uintptr_t(session_));
  natsStatus s = natsOptions_Create(&opts);
  if (s == NATS_OK) s = natsOptions_SetServers(opts, urls.data(), int(urls.size()));
  if (s == NATS_OK) s = natsOptions_SetTimeout(opts, kConnectTimeoutMs);
  if (s == NATS_OK) s = natsOptions_SetMaxReconnect(opts, -1);  // forever
  if (s == NATS_OK) s = natsOptions_SetReconnectWait(opts, kReconnectWaitMs);
  if (s == NATS_OK) s = natsOptions_SetNoEcho(opts, true);    // our presence is no news to us
  if (s == NATS_OK) s = natsOptions_SetSendAsap(opts, true);  // we batch: no flusher's delay
  if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(opts, on_nats_disconnected, closure);
  if (s == NATS_OK) s = natsOptions_SetReconnectedCB(opts, on_nats_reconnected, closure);
  if (s == NATS_OK) s = natsOptions_SetClosedCB(opts, on_nats_closed, closure);
  if (s == NATS_OK) s = natsOptions_SetErrorHandler(opts, on_nats_error, closure);
  if (s == NATS_OK) s = natsConnection_Connect(&nc_, opts);
  natsOptions_Destroy(opts);
  if (s == NATS_OK) return true;
  nc_ = nullptr;
  *error = std::string("cannot reach any of its NATS servers: ") + natsStatus_GetText(s);
  return false;
}

bool NatsTransport::subscribe(const std::string &subject, natsSubscription **sub,
                              std::string *error) {
  void *closure = reinterpret_cast<void *>(uintptr_t(session_));
  natsStatus s = natsConnection_Subscribe(sub, nc_, subject.c_str(), on_nats_message, closure);
  if (s == NATS_OK) return true;
  *error = "cannot subscribe to " + subject + ": " + natsStatus_GetText(s);
  return false;
}

// A message that cannot go now (the connection is away and its buffer full)
// is not an error here: DATA is kept until acknowledged and sent again after
// the reconnect, and the rest is repeated by its own schedule.
void NatsTransport::publish(const std::string &subject, const void *data, size_t size,
                            const char *reply) {
  if (!nc_) return;
  if (reply)
    natsConnection_PublishRequest(nc_, subject.c_str(), reply, data, int(size));
  else
    natsConnection_Publish(nc_, subject.c_str(), data, int(size));
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

void NatsTransport::tick() {
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
  c->link = events_->link_opened(e.host, e.sender);
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
  if (nc_) natsConnection_FlushTimeout(nc_, std::max<int64_t>(1, deadline - loop_now_ms()));
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
  started_ = false;
  if (watch_) loop_io_remove(watch_);
  watch_ = nullptr;
  if (nc_) natsConnection_FlushTimeout(nc_, kConnectTimeoutMs / 2);
  handoff.close();
  for (natsSubscription *&sub : subs_) {
    if (sub) natsSubscription_Destroy(sub);
    sub = nullptr;
  }
  if (nc_) {
    natsConnection_Close(nc_);
    natsConnection_Destroy(nc_);
  }
  nc_ = nullptr;
  for (auto &entry : links_) entry.second->link->carrier = nullptr, delete entry.second;
  links_.clear();
  ready_.clear();
}

}  // namespace

std::unique_ptr<Transport> make_nats_transport() { return std::make_unique<NatsTransport>(); }

}  // namespace wex
