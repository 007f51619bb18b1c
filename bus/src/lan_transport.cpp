// The LAN transport: agents find each other by UDP announcements on the bus
// address, and each pair talks over one TCP connection.
//
// Discovery.  The agent listens on an ephemeral TCP port and announces it by
// a datagram to the bus address.  Of two agents, the one with the smaller id
// opens the connection; the other, when it hears a smaller id that it does
// not know yet, announces itself again so that the smaller one hears it.
// Since only one side of a pair ever connects, two agents that start at the
// same instant still end up with exactly one connection.
//
// Agents announce again every few heartbeat periods (more seldom on a large
// bus, with jitter so that a bus does not announce in step), so that two
// agents that lost each other, across a partition say, meet again within
// kMaxAnnounceTicks periods once it heals.  Announcements cost whoever hears
// them a connection: attempts are limited per announcing address, and the
// agent caps the handshakes in progress (may_open_link).
//
// What listens where.  Peers connect back to the source address of our
// announcements, so the TCP listener is bound to that address alone: the
// address of the interface that carries the bus (127.0.0.1 on a loopback
// bus, so nobody from the network can join it).  The sending UDP socket is
// connected to the bus address, so it takes no datagram from anyone; a bus
// on 255.255.255.255, whose receiving socket must bind to every address,
// takes only datagrams that were sent to 255.255.255.255.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <unordered_map>

#include "auth.h"
#include "diagnostics.h"
#include "environment.h"
#include "loop.h"
#include "protocol.h"
#include "transport.h"
#include "wex.h"

namespace wex {
namespace {

class LanTransport;

// Announcements are repeated every kAnnounceTicks heartbeat periods, one
// more per 20 peers, kMaxAnnounceTicks at most, give or take one.
constexpr int kAnnounceTicks = 5;
constexpr int kMaxAnnounceTicks = 30;
// Connections made to one announcing address: a bucket of kConnectBurst,
// refilled by kConnectsPerTick each heartbeat period.
constexpr int kConnectBurst = 8;
constexpr int kConnectsPerTick = 4;

// One TCP connection, the carrier of one link.
struct Connection {
  LanTransport *owner;
  Link *link;
  int fd;
  IoWatch *watch = nullptr;
  unsigned interest = 0;
  bool connecting = false;  // an outgoing connect still in progress
};

Connection *connection_of(Link *link) { return static_cast<Connection *>(link->carrier); }

void set_nodelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void close_endpoint(int *fd, IoWatch **watch) {
  if (watch && *watch) loop_io_remove(*watch);
  if (watch) *watch = nullptr;
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

class LanTransport final : public Transport {
 public:
  bool start(const BusAddress &bus, uint64_t agent_id, LinkEvents *events,
             std::string *error) override;
  void tick(size_t peers) override;
  long receive(Link *link, char *buffer, size_t size) override;
  bool send(Link *link) override;
  void drain(const std::vector<Link *> &links, int idle_ms, int max_ms) override;
  void close(Link *link, bool leaving) override;
  void stop() override;

 private:
  bool open_sockets(std::string *error);
  void announce();
  void adopt(int fd, uint32_t address, uint64_t announced_id, bool connecting);
  void connect_to(uint32_t address, uint16_t port, uint64_t id);
  void set_interest(Connection *c, unsigned interest);
  static void on_udp(void *ctx, unsigned events);
  static void on_accept(void *ctx, unsigned events);
  static void on_connection(void *ctx, unsigned events);
  static void on_reannounce(WexTimerPtr, void *ctx, unsigned long);
  bool may_connect(uint32_t address);
  void accept_failed(int error);
  bool receive_announcement(unsigned char *datagram, size_t size, ssize_t *n, sockaddr_in *from);

  BusAddress bus_;
  sockaddr_in bus_to_{};
  uint64_t id_ = 0;
  LinkEvents *events_ = nullptr;
  bool started_ = false;
  int udp_in_ = -1, udp_out_ = -1, listener_ = -1;
  IoWatch *udp_watch_ = nullptr, *listen_watch_ = nullptr;
  uint16_t tcp_port_ = 0;
  int announce_ticks_ = 0, next_announce_ = 0;
  WexTimerPtr reannounce_ = nullptr;
  std::unordered_map<uint32_t, int> connect_tokens_;  // by announcing address
  long refused_connects_ = 0;                         // since the last tick
  int spare_fd_ = -1;  // closed to accept (and shed) a connection at the descriptor limit
  bool listener_paused_ = false;
  std::minstd_rand jitter_{std::random_device{}()};
};

bool LanTransport::start(const BusAddress &bus, uint64_t agent_id, LinkEvents *events,
                         std::string *error) {
  bus_ = bus;
  id_ = agent_id;
  events_ = events;
  announce_ticks_ = 0;
  next_announce_ = 1;  // again soon after joining: a datagram may be lost
  connect_tokens_.clear();
  if (!open_sockets(error)) {
    stop();
    return false;
  }
  started_ = true;
  announce();
  return true;
}

bool LanTransport::open_sockets(std::string *error) {
  auto fail = [error](const char *what) {
    *error = std::string(what) + ": " + strerror(errno);
    return false;
  };
  int one = 1;
  bus_to_ = sockaddr_in{};
  bus_to_.sin_family = AF_INET;
  bus_to_.sin_addr.s_addr = htonl(bus_.address);
  bus_to_.sin_port = htons(bus_.port);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(bus_.port);
  at.sin_addr.s_addr = htonl(bus_.address == 0xFFFFFFFFu ? INADDR_ANY : bus_.address);

  // Receiving: bound to the bus address itself, so that only datagrams sent
  // to this bus arrive; SO_REUSEADDR lets every agent of the host share it.
  udp_in_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (udp_in_ < 0) return fail("UDP socket");
  setsockopt(udp_in_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(udp_in_, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0)
    return fail("bind to the bus port");
  if (bus_.multicast) {
    ip_mreqn join{};
    join.imr_multiaddr.s_addr = htonl(bus_.address);
    if (setsockopt(udp_in_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
      return fail("join the multicast group");
  }
  if (bus_.address == 0xFFFFFFFFu) setsockopt(udp_in_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
  // Sending: a socket of its own, so the datagram's source is a real address
  // of this host (the announcer's peers connect back to it), connected to
  // the bus address so that it receives nothing.
  udp_out_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (udp_out_ < 0) return fail("UDP socket");
  if (bus_.multicast) {
    int ttl = int(env_long("WEX_MULTICAST_TTL", 1, 1, 255));
    setsockopt(udp_out_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(udp_out_, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
  } else {
    setsockopt(udp_out_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (connect(udp_out_, reinterpret_cast<sockaddr *>(&bus_to_), sizeof bus_to_) == 0) {
    socklen_t len = sizeof local;
    getsockname(udp_out_, reinterpret_cast<sockaddr *>(&local), &len);
    local.sin_port = 0;
  } else {
    // No route to the bus yet (an interface still down): announcements will
    // say so as they fail; peers may come from any interface.
    warn("bus %s: no route yet (%s): listening on every interface",
         format_bus_address(bus_).c_str(), strerror(errno));
  }
  if (bus_.loopback) local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return fail("TCP socket");
  if (bind(listener_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
    return fail("bind the TCP listener");
  if (listen(listener_, 128) != 0) return fail("listen");
  socklen_t len = sizeof local;
  getsockname(listener_, reinterpret_cast<sockaddr *>(&local), &len);
  tcp_port_ = ntohs(local.sin_port);

  udp_watch_ = loop_io_add(udp_in_, kIoRead, on_udp, this);
  listen_watch_ = loop_io_add(listener_, kIoRead, on_accept, this);
  if (!udp_watch_ || !listen_watch_) {
    *error = "cannot watch the bus sockets";
    return false;
  }
  spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return true;
}

void LanTransport::announce() {
  unsigned char datagram[proto::kSignedAnnounceSize];
  size_t size = proto::kAnnounceSize;
  if (auth::enabled()) {
    proto::encode_announce(datagram, tcp_port_, id_, proto::kSignedAnnounce);
    auth::announce_tag(datagram + proto::kAnnounceSize, datagram, proto::kAnnounceSize);
    size = proto::kSignedAnnounceSize;
  } else {
    proto::encode_announce(datagram, tcp_port_, id_);
  }
  if (sendto(udp_out_, datagram, size, 0, reinterpret_cast<sockaddr *>(&bus_to_), sizeof bus_to_) <
      0)
    warn("announce on %s: %s", format_bus_address(bus_).c_str(), strerror(errno));
}

void LanTransport::tick(size_t peers) {
  if (!started_) return;
  if (++announce_ticks_ >= next_announce_) {
    announce_ticks_ = 0;
    int ticks = std::min(kMaxAnnounceTicks, kAnnounceTicks + int(peers / 20));
    next_announce_ = ticks - 1 + int(jitter_() % 3);
    announce();
  }
  for (auto it = connect_tokens_.begin(); it != connect_tokens_.end();) {
    it->second += kConnectsPerTick;
    if (it->second >= kConnectBurst)
      it = connect_tokens_.erase(it);  // full again: forget the address
    else
      ++it;
  }
  if (refused_connects_ > 0) {
    warn(
        "%ld connections not made in the last period: too many handshakes in progress, or "
        "too many announcements from one address",
        refused_connects_);
    refused_connects_ = 0;
  }
  if (listener_paused_) {
    listener_paused_ = false;
    loop_io_modify(listen_watch_, kIoRead);
  }
}

bool LanTransport::may_connect(uint32_t address) {
  auto [it, fresh] = connect_tokens_.try_emplace(address, kConnectBurst);
  if (it->second > 0 && events_->may_open_link(address, true)) {
    --it->second;
    return true;
  }
  ++refused_connects_;
  return false;
}

void LanTransport::on_reannounce(WexTimerPtr, void *ctx, unsigned long) {
  auto *self = static_cast<LanTransport *>(ctx);
  self->reannounce_ = nullptr;
  if (self->started_) self->announce();
}

void LanTransport::adopt(int fd, uint32_t address, uint64_t announced_id, bool connecting) {
  set_nodelay(fd);
  auto *c = new Connection{this, nullptr, fd};
  c->connecting = connecting;
  c->interest = connecting ? kIoWrite : kIoRead;
  c->watch = loop_io_add(fd, c->interest, on_connection, c);
  if (!c->watch) {
    ::close(fd);
    delete c;
    return;
  }
  c->link = events_->link_opened(address, announced_id);
  c->link->carrier = c;
}

void LanTransport::connect_to(uint32_t address, uint16_t port, uint64_t id) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    warn("socket: %s", strerror(errno));
    return;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  to.sin_port = htons(port);
  int rc = connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
  if (rc != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return;
  }
  adopt(fd, address, id, rc != 0);
}

// One datagram into datagram; false when none is left.  On a bus of
// 255.255.255.255 a datagram sent to any other address is read and dropped
// (*n = -1).
bool LanTransport::receive_announcement(unsigned char *datagram, size_t size, ssize_t *n,
                                        sockaddr_in *from) {
  iovec part{datagram, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr message{};
  message.msg_name = from;
  message.msg_namelen = sizeof *from;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  *n = recvmsg(udp_in_, &message, MSG_DONTWAIT);
  if (*n < 0) return false;
  if (bus_.address == 0xFFFFFFFFu) {
    bool to_bus = false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
      in_pktinfo info;
      memcpy(&info, CMSG_DATA(c), sizeof info);
      to_bus = info.ipi_addr.s_addr == htonl(INADDR_BROADCAST);
    }
    if (!to_bus) *n = -1;
  }
  return true;
}

void LanTransport::on_udp(void *ctx, unsigned) {
  auto *self = static_cast<LanTransport *>(ctx);
  for (int i = 0; i < 32 && self->started_; ++i) {
    unsigned char datagram[256];
    sockaddr_in from{};
    ssize_t n;
    if (!self->receive_announcement(datagram, sizeof datagram, &n, &from)) break;
    uint16_t port;
    uint64_t id;
    proto::AnnounceKind kind;
    if (n < 0 || !proto::decode_announce(datagram, size_t(n), &port, &id, &kind)) continue;
    // A bus with a secret hears only announcements signed with it; one
    // without hears none that are signed (it could not join them anyway).
    bool signed_well =
        kind == proto::kSignedAnnounce && auth::enabled() &&
        auth::announce_tag_valid(datagram + proto::kAnnounceSize, datagram, proto::kAnnounceSize);
    if (auth::enabled() ? !signed_well : kind != proto::kPlainAnnounce) continue;
    if (id == self->id_ || self->events_->knows_agent(id)) continue;
    uint32_t address = ntohl(from.sin_addr.s_addr);
    if (self->id_ < id) {
      if (self->may_connect(address)) self->connect_to(address, port, id);
    } else if (!self->reannounce_) {
      // Coalesced: several newcomers at once get one answer.
      self->reannounce_ = TimerRepeatAfter(1, 5, on_reannounce, self);
    }
  }
}

void LanTransport::on_accept(void *ctx, unsigned) {
  auto *self = static_cast<LanTransport *>(ctx);
  for (int i = 0; i < 32 && self->started_ && !self->listener_paused_; ++i) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    int fd = accept4(self->listener_, reinterpret_cast<sockaddr *>(&from), &from_len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      self->accept_failed(errno);
      break;
    }
    uint32_t address = ntohl(from.sin_addr.s_addr);
    if (!self->events_->may_open_link(address, false)) {
      ::close(fd);
      ++self->refused_connects_;
      continue;
    }
    self->adopt(fd, address, 0, false);
  }
}

// Out of descriptors, the connection waiting would make the listener
// readable at every iteration: the spare descriptor makes room to accept it
// and shed it, and if even that fails the listener rests until the next
// heartbeat period.
void LanTransport::accept_failed(int error) {
  if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) return;
  int fd = -1;
  if (spare_fd_ >= 0) {
    ::close(spare_fd_);
    fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  ++refused_connects_;
  if (fd < 0 && !listener_paused_) {
    warn("accept: %s: not listening until the next heartbeat", strerror(error));
    listener_paused_ = true;
    loop_io_modify(listen_watch_, 0);
  }
}

void LanTransport::set_interest(Connection *c, unsigned interest) {
  if (c->watch && interest != c->interest) {
    c->interest = interest;
    loop_io_modify(c->watch, interest);
  }
}

void LanTransport::on_connection(void *ctx, unsigned events) {
  auto *c = static_cast<Connection *>(ctx);
  LanTransport *self = c->owner;
  if (c->connecting) {
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
      // The announcer went away; nobody heard of it yet.
      self->events_->link_failed(c->link, nullptr);
      return;
    }
    c->connecting = false;
    if (!self->send(c->link)) self->events_->link_failed(c->link, nullptr);
    return;
  }
  if ((events & kIoWrite) && !self->send(c->link)) {
    self->events_->link_failed(c->link, nullptr);
    return;
  }
  if (events & (kIoRead | kIoError)) self->events_->link_readable(c->link);
}

long LanTransport::receive(Link *link, char *buffer, size_t size) {
  Connection *c = connection_of(link);
  if (!c || c->connecting) return c ? 0 : -1;
  ssize_t n = recv(c->fd, buffer, size, MSG_DONTWAIT);
  if (n > 0) return long(n);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return -1;  // closed, or a reset: what arrived before it still counts
}

// One write per call: the agent calls this once per iteration for each link
// with output, and the connection's watch again when a full socket drains.
bool LanTransport::send(Link *link) {
  Connection *c = connection_of(link);
  if (!c) return false;
  if (c->connecting) return true;
  if (!link->out.empty()) {
    ssize_t n = ::send(c->fd, link->out.begin(), link->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      link->sent(size_t(n));
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return false;
    }
  }
  set_interest(c, link->out.empty() ? kIoRead : kIoRead | kIoWrite);
  return true;
}

// A slow reader that still takes what we write keeps the wait going: giving
// up on it would silently drop messages that WexSendMsg accepted.
void LanTransport::drain(const std::vector<Link *> &links, int idle_ms, int max_ms) {
  int64_t start = loop_now_ms();
  int64_t deadline = start + idle_ms;
  for (int round = 0; round < 1000000; ++round) {
    pollfd fds[64];
    Link *owners[64];
    nfds_t n = 0;
    for (Link *link : links) {
      Connection *c = connection_of(link);
      if (!c || c->connecting || link->out.empty() || n == 64) continue;
      fds[n] = pollfd{c->fd, POLLOUT, 0};
      owners[n++] = link;
    }
    int64_t left = deadline - loop_now_ms();
    if (n == 0 || left <= 0) return;
    if (poll(fds, n, int(left)) <= 0) return;
    for (nfds_t i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      Link *link = owners[i];
      ssize_t w =
          ::send(fds[i].fd, link->out.begin(), link->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w > 0) {
        link->sent(size_t(w));
        deadline = std::min(loop_now_ms() + idle_ms, start + max_ms);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        link->drop_output();
      }
    }
  }
}

void LanTransport::close(Link *link, bool leaving) {
  Connection *c = connection_of(link);
  if (!c) return;
  link->carrier = nullptr;
  if (leaving && !c->connecting) {
    // Half-close first and discard what the peer still had in flight: a
    // socket closed with unread input resets the connection, and a reset
    // can destroy the goodbye we just sent.
    shutdown(c->fd, SHUT_WR);
    char sink[4096];
    for (int k = 0; k < 64 && recv(c->fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++k) {
    }
  }
  close_endpoint(&c->fd, &c->watch);
  delete c;
}

void LanTransport::stop() {
  started_ = false;
  close_endpoint(&udp_in_, &udp_watch_);
  close_endpoint(&udp_out_, nullptr);
  close_endpoint(&listener_, &listen_watch_);
  close_endpoint(&spare_fd_, nullptr);
  listener_paused_ = false;
  if (reannounce_) TimerRemove(reannounce_);
  reannounce_ = nullptr;
}

}  // namespace

std::unique_ptr<Transport> make_lan_transport() { return std::make_unique<LanTransport>(); }

}  // namespace wex
