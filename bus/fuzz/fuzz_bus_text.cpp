// The bus text "[ADDRESS][:PORT]" (resolve_bus, and WexCheckBus over it),
// fed any text up to its first NUL.  Checked against a reading of its own:
// a text is accepted exactly when its address is four decimal parts 0..255
// without leading zeros (none: the default address), its port after the
// first colon is 1 to 5 digits worth 1..65535 (no colon: the default port),
// and the address can carry a bus (a multicast group, 255.255.255.255,
// 127.255.255.255 or the broadcast address of an interface of this host).
// What is accepted is that address and port; what is refused says which
// text it was, and WexCheckBus tells the same, cut to any reason buffer.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <set>
#include <string>

#include "bus_address.h"
#include "fuzz.h"
#include "wex.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::set<uint32_t> broadcasts = [] {
    unsetenv("WEX_BUS");  // "" means the default bus, not whatever the shell set
    return interface_broadcasts();
  }();
  std::string text(reinterpret_cast<const char *>(data),
                   strnlen(reinterpret_cast<const char *>(data), size));

  size_t colon = text.find(':');
  std::string host = text.substr(0, colon);
  uint32_t address = 0x7FFFFFFF;  // WEX_DEFAULT_ADDRESS
  uint16_t port = WEX_DEFAULT_PORT;
  bool valid = (host.empty() || dotted_quad(host, &address)) &&
               (colon == std::string::npos || port_text(text.substr(colon + 1), &port));
  valid = valid && ((address >> 28) == 0xE || address == 0xFFFFFFFF || address == 0x7FFFFFFF ||
                    broadcasts.count(address));

  BusAddress bus;
  std::string error;
  bool accepted = resolve_bus(text.c_str(), &bus, &error);
  FUZZ_CHECK(accepted == valid);
  if (accepted) {
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
