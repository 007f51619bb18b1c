// The LAN transport's connections: one TCP connection per pair of agents,
// accepted by the listener or opened to an announced agent (the
// announcements are lan_discovery.cpp's), read and written without
// blocking, drained with a deadline when the agent stops.
#include "transport/lan/lan_transport.h"

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

#include "base/diagnostics.h"
#include "loop/loop.h"
#include "transport/transport.h"
#include "wex.h"
#include "wire/protocol.h"

namespace wex {
namespace {

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

}  // namespace

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

std::unique_ptr<Transport> make_lan_transport() { return std::make_unique<LanTransport>(); }

}  // namespace wex
