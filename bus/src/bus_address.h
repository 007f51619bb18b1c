// The bus text "[ADDRESS][:PORT]" that WexStart takes, and the checks that
// keep a typo from silently putting an agent on some other bus.
#pragma once

#include <cstdint>
#include <string>

namespace wex {

struct BusAddress {
  uint32_t address = 0;  // IPv4, host byte order
  uint16_t port = 0;
  bool multicast = false;  // 224.0.0.0/4
  bool loopback = false;   // 127.0.0.0/8: this host only
};

// Syntax only: a dotted-quad ADDRESS and a decimal PORT in 1..65535, either
// of them optional (defaults from wex.h).  On failure returns false and sets
// *error to a reason that names the bad part.
bool parse_bus_address(const std::string &text, BusAddress *out, std::string *error);

// Whether the address can carry a bus: a multicast group, the limited
// broadcast 255.255.255.255, the loopback broadcast 127.255.255.255, or the
// broadcast address of an interface of this host.  A unicast address would
// reach only one of the agents sharing the port, so it is refused.
bool bus_address_usable(const BusAddress &bus, std::string *error);

std::string format_bus_address(const BusAddress &bus);

}  // namespace wex
