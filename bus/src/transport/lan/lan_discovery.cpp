// The LAN transport's discovery.  The agent listens on an ephemeral TCP
// port and announces it by a datagram to the bus address.  Of two agents, the one with the smaller
// id opens the connection; the other, when it hears a smaller id that it does not know yet,
// announces itself again so that the smaller one hears it. Since only one side of a pair ever
// connects, two agents that start at the same instant still end up with exactly one connection.
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
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/diagnostics.h"
#include "base/environment.h"
#include "crypto/auth.h"
#include "transport/lan/lan_transport.h"
#include "wire/protocol.h"

namespace wex {
namespace {

// Announcements are repeated every kAnnounceTicks heartbeat periods, one
// more per 20 peers, kMaxAnnounceTicks at most, give or take one.
constexpr int kAnnounceTicks = 5;
constexpr int kMaxAnnounceTicks = 30;
// Connections made to one announcing address: a bucket of kConnectBurst,
// refilled by kConnectsPerTick each heartbeat period.
constexpr int kConnectBurst = 8;
constexpr int kConnectsPerTick = 4;

}  // namespace

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

}  // namespace wex
