// The bus texts "[ADDRESS][:PORT]" and "nats://SERVERS[/BUSNAME]"
// (resolve_bus, and WexCheckBus over it), fed any text up to its first NUL.
// Checked against a reading of its own.  A LAN text:
// a text is accepted exactly when its address is four decimal parts 0..255
// without leading zeros (none: the default address), its port after the
// first colon is 1 to 5 digits worth 1..65535 (no colon: the default port),
// and the address can carry a bus (a multicast group, 255.255.255.255,
// 127.255.255.255 or the broadcast address of an interface of this host).
// A NATS text: servers HOST[:PORT] joined by commas, each HOST a name of
// letters, digits, '-', '_' and '.' (not starting with '.' or '-', at most
// 253 bytes) or a bracketed IPv6 address, PORT as above (default 4222);
// BUSNAME (default "wex") at most 128 bytes of dot-joined words of letters,
// digits, '-' and '_'; refused by a library built without NATS.
// What is accepted is that address and port, or those servers and that
// name; what is refused says which text it was, and WexCheckBus tells the same, cut to any reason
// buffer.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz.h"
#include "wex.h"
#include "wire/bus_address.h"

using namespace wex;

namespace {

std::set<uint32_t> interface_broadcasts() {
  std::set<uint32_t> found;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs *i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_BROADCAST) || !i->ifa_broadaddr) continue;
    found.insert(ntohl(reinterpret_cast<sockaddr_in *>(i->ifa_broadaddr)->sin_addr.s_addr));
  }
  freeifaddrs(list);
  return found;
}

bool dotted_quad(const std::string &s, uint32_t *out) {
  uint32_t address = 0;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (at >= s.size() || s[at++] != '.')) return false;
    size_t start = at;
    unsigned value = 0;
    while (at < s.size() && s[at] >= '0' && s[at] <= '9' && at - start < 4)
      value = value * 10 + unsigned(s[at++] - '0');
    size_t digits = at - start;
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && s[start] == '0')) return false;
    address = address << 8 | value;
  }
  *out = address;
  return at == s.size();
}

bool port_text(const std::string &s, uint16_t *out) {
  if (s.empty() || s.size() > 5) return false;
  unsigned value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + unsigned(c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *out = uint16_t(value);
  return true;
}

bool word_char(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; }

bool nats_host(const std::string &h) {
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') {
    in6_addr v6;
    return inet_pton(AF_INET6, h.substr(1, h.size() - 2).c_str(), &v6) == 1;
  }
  if (h.empty() || h.size() > 253 || h[0] == '.' || h[0] == '-') return false;
  for (char c : h)
    if (!word_char(c) && c != '.') return false;
  return true;
}

bool bus_name(const std::string &n) {
  if (n.empty() || n.size() > 128 || n.front() == '.' || n.back() == '.' ||
      n.find("..") != std::string::npos)
    return false;
  for (char c : n)
    if (!word_char(c) && c != '.') return false;
  return true;
}

// The servers ("nats://HOST:PORT" each) and bus name of a NATS text
// without its "nats://", or false.
bool nats_text(const std::string &s, std::vector<std::string> *servers, std::string *name) {
  size_t slash = s.find('/');
  *name = slash == std::string::npos ? "wex" : s.substr(slash + 1);
  if (!bus_name(*name)) return false;
  std::string list = s.substr(0, slash);
  if (list.empty()) return false;
  for (size_t start = 0;;) {
    size_t comma = list.find(',', start);
    std::string server = list.substr(start, comma == std::string::npos ? comma : comma - start);
    size_t colon = server.rfind(':');
    if (colon != std::string::npos && server.find(']', colon) != std::string::npos)
      colon = std::string::npos;
    uint16_t port = 4222;
    std::string host = server.substr(0, colon);
    if (!nats_host(host)) return false;
    if (colon != std::string::npos && !port_text(server.substr(colon + 1), &port)) return false;
    servers->push_back("nats://" + host + ":" + std::to_string(port));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::set<uint32_t> broadcasts = [] {
    unsetenv("WEX_BUS");  // "" means the default bus, not whatever the shell set
    return interface_broadcasts();
  }();
  std::string text(reinterpret_cast<const char *>(data),
                   strnlen(reinterpret_cast<const char *>(data), size));

  bool nats = text.rfind("nats://", 0) == 0;
  std::vector<std::string> servers;
  std::string name;
  size_t colon = text.find(':');
  std::string host = text.substr(0, colon);
  uint32_t address = 0x7FFFFFFF;  // WEX_DEFAULT_ADDRESS
  uint16_t port = WEX_DEFAULT_PORT;
  bool valid;
  if (nats) {
    valid = nats_text(text.substr(7), &servers, &name);
#ifndef WEX_HAVE_NATS
    valid = false;
#endif
  } else {
    valid = (host.empty() || dotted_quad(host, &address)) &&
            (colon == std::string::npos || port_text(text.substr(colon + 1), &port));
    valid = valid && ((address >> 28) == 0xE || address == 0xFFFFFFFF || address == 0x7FFFFFFF ||
                      broadcasts.count(address));
  }

  BusAddress bus;
  std::string error;
  bool accepted = resolve_bus(text.c_str(), &bus, &error);
  FUZZ_CHECK(accepted == valid);
  if (accepted && nats) {
    FUZZ_CHECK(bus.kind == BusAddress::Kind::kNats && bus.servers == servers && bus.name == name);
    BusAddress again;
    FUZZ_CHECK(resolve_bus(format_bus_address(bus).c_str(), &again, &error));
    FUZZ_CHECK(again.servers == bus.servers && again.name == bus.name);
  } else if (accepted) {
    FUZZ_CHECK(bus.kind == BusAddress::Kind::kLan);
    FUZZ_CHECK(bus.address == address && bus.port == port);
    FUZZ_CHECK(bus.multicast == ((address >> 28) == 0xE));
    FUZZ_CHECK(bus.loopback == ((address >> 24) == 127));
    BusAddress again;
    FUZZ_CHECK(resolve_bus(format_bus_address(bus).c_str(), &again, &error));
    FUZZ_CHECK(again.address == bus.address && again.port == bus.port);
  } else {
    FUZZ_CHECK(error.rfind("bus \"" + text + "\"", 0) == 0 && error.size() > text.size() + 8);
  }

  // WexCheckBus: the same verdict, the reason cut to the buffer with its NUL.
  for (size_t reason_size : {size_t(0), size_t(1), text.size() % 61, size_t(256)}) {
    char *reason = new char[reason_size + 1];
    memset(reason, 'z', reason_size + 1);
    FUZZ_CHECK(WexCheckBus(text.c_str(), reason_size ? reason : nullptr, reason_size) ==
               (accepted ? 1 : 0));
    FUZZ_CHECK(reason[reason_size] == 'z');  // nothing written past the buffer
    if (reason_size > 0) {
      std::string want = accepted ? "" : error.substr(0, reason_size - 1);
      FUZZ_CHECK(strnlen(reason, reason_size) == want.size() && want == reason);
    }
    delete[] reason;
  }
  return 0;
}
