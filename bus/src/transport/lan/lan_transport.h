// The LAN transport: agents find each other by UDP announcements on the bus
// address (lan_discovery.cpp), and each pair talks over one TCP connection
// (lan_transport.cpp).  Internal to the library: make_lan_transport()
// (transport.h) is its one way in.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "loop/loop.h"
#include "transport/transport.h"
#include "wex.h"
#include "wire/bus_address.h"

namespace wex {

class LanTransport;

// One TCP connection, the carrier of one link.
struct Connection {
  LanTransport *owner;
  Link *link;
  int fd;
  IoWatch *watch = nullptr;
  unsigned interest = 0;
  bool connecting = false;  // an outgoing connect still in progress
};

inline Connection *connection_of(Link *link) { return static_cast<Connection *>(link->carrier); }

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

}  // namespace wex
