// The bus text "[ADDRESS][:PORT]" that WexStart and WexCheckBus take, and
// the checks that keep a typo from silently putting an agent on some other
// bus.  This is the only parser of it: every tool and binding asks the
// library through WexCheckBus.
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

// Reads text as WexStart does: NULL or "" means $WEX_BUS where set, else
// the default bus.  Syntax: a dotted-quad ADDRESS and a decimal PORT in
// 1..65535, either optional.  The address must be able to carry a bus: a
// multicast group, 255.255.255.255, 127.255.255.255 or the broadcast
// address of an interface of this host (a unicast address would reach only
// one of the agents sharing the port).  On failure returns false and sets
// *error to a sentence that names the text and what is wrong with it.
bool resolve_bus(const char *text, BusAddress *out, std::string *error);

std::string format_bus_address(const BusAddress &bus);

}  // namespace wex
