// The bus texts that WexStart and WexCheckBus take: "[ADDRESS][:PORT]" for
// a LAN bus, "nats://HOST[:PORT][,HOST[:PORT]...][/BUSNAME]" for a bus
// carried by NATS servers; and the checks that keep a typo from silently
// putting an agent on some other bus.  This is the only parser of them:
// every tool and binding asks the library through WexCheckBus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wex {

struct BusAddress {
  enum class Kind : uint8_t { kLan, kNats };
  Kind kind = Kind::kLan;
  // A LAN bus.
  uint32_t address = 0;  // IPv4, host byte order
  uint16_t port = 0;
  bool multicast = false;  // 224.0.0.0/4
  bool loopback = false;   // 127.0.0.0/8: this host only
  // A NATS bus: the servers to try, each "nats://HOST:PORT", and the name
  // that keeps this bus apart from others on the same servers.
  std::vector<std::string> servers;
  std::string name;
};

constexpr uint16_t kNatsDefaultPort = 4222;
constexpr const char *kNatsDefaultBus = "wex";
constexpr size_t kMaxBusName = 128;

// Reads text as WexStart does: NULL or "" means $WEX_BUS where set, else
// the default bus.  Syntax: a dotted-quad ADDRESS and a decimal PORT in
// 1..65535, either optional.  The address must be able to carry a bus: a
// multicast group, 255.255.255.255, 127.255.255.255 or the broadcast
// address of an interface of this host (a unicast address would reach only
// one of the agents sharing the port).  A NATS text names at least one
// server, each HOST a name, an IPv4 address or a bracketed IPv6 address,
// PORT 1..65535 (default 4222), and BUSNAME (default "wex") dot-separated
// words of letters, digits, '-' and '_'; a library built without libnats
// refuses it.  On failure returns false and sets
// *error to a sentence that names the text and what is wrong with it.
bool resolve_bus(const char *text, BusAddress *out, std::string *error);

std::string format_bus_address(const BusAddress &bus);

}  // namespace wex
