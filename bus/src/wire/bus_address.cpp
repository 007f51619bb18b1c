// The bus texts and WexCheckBus: see bus_address.h.
#include "wire/bus_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "base/environment.h"
#include "wex.h"

namespace wex {

namespace {

bool parse_port(const std::string &text, uint16_t *port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + unsigned(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = uint16_t(value);
  return true;
}

bool parse_nats(const std::string &text, BusAddress *out, std::string *error);

bool parse(const std::string &text, BusAddress *out, std::string *error) {
  if (text.compare(0, 7, "nats://") == 0) return parse_nats(text.substr(7), out, error);
  out->kind = BusAddress::Kind::kLan;
  std::string address = WEX_DEFAULT_ADDRESS;
  uint16_t port = WEX_DEFAULT_PORT;
  size_t colon = text.find(':');
  std::string host_part = text.substr(0, colon);
  if (!host_part.empty()) address = host_part;
  if (colon != std::string::npos && !parse_port(text.substr(colon + 1), &port)) {
    *error = "bad port \"" + text.substr(colon + 1) + "\" (want 1..65535)";
    return false;
  }
  in_addr parsed;
  // inet_pton takes exactly four decimal parts, unlike inet_aton, which would
  // read "10.1" or "0x7f.1" as some address nobody meant.
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
    *error = "bad address \"" + address + "\" (want a dotted-quad IPv4 address)";
    return false;
  }
  out->address = ntohl(parsed.s_addr);
  out->port = port;
  out->multicast = (out->address >> 28) == 0xE;
  out->loopback = (out->address >> 24) == 127;
  return true;
}

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// Dot-separated words: a NATS subject's tokens, without its wildcards.
bool valid_bus_name(const std::string &name) {
  if (name.empty() || name.size() > kMaxBusName) return false;
  bool word = false;
  for (char c : name) {
    if (c == '.') {
      if (!word) return false;
      word = false;
    } else if (is_word_char(c)) {
      word = true;
    } else {
      return false;
    }
  }
  return word;
}

bool valid_host(const std::string &host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    in6_addr v6;
    return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6) == 1;
  }
  if (host.empty() || host.size() > 253) return false;
  for (char c : host)
    if (!is_word_char(c) && c != '.') return false;
  return host.front() != '.' && host.front() != '-';
}

// "nats://" already taken off.
bool parse_nats(const std::string &text, BusAddress *out, std::string *error) {
  size_t slash = text.find('/');
  std::string list = text.substr(0, slash);
  out->kind = BusAddress::Kind::kNats;
  out->name = kNatsDefaultBus;
  out->servers.clear();
  if (slash != std::string::npos) {
    out->name = text.substr(slash + 1);
    if (!valid_bus_name(out->name)) {
      *error = "bad bus name \"" + out->name +
               "\" (want words of letters, digits, '-' and '_', joined by dots)";
      return false;
    }
  }
  if (list.empty()) {
    *error = "no NATS server given (want nats://HOST[:PORT][,HOST[:PORT]...][/BUSNAME])";
    return false;
  }
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    std::string server = list.substr(start, comma - start);
    size_t colon = server.rfind(':');
    if (colon != std::string::npos && server.find(']', colon) != std::string::npos)
      colon = std::string::npos;  // inside an IPv6 address
    std::string host = server.substr(0, colon);
    uint16_t port = kNatsDefaultPort;
    if (!valid_host(host)) {
      *error = "bad NATS server \"" + server + "\" (want HOST[:PORT])";
      return false;
    }
    if (colon != std::string::npos && !parse_port(server.substr(colon + 1), &port)) {
      *error = "bad port \"" + server.substr(colon + 1) + "\" (want 1..65535)";
      return false;
    }
    out->servers.push_back("nats://" + host + ":" + std::to_string(port));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
#ifndef WEX_HAVE_NATS
  *error = "this library was built without NATS support (no libnats at its build)";
  return false;
#else
  return true;
#endif
}

bool usable(const BusAddress &bus, std::string *error) {
  if (bus.kind == BusAddress::Kind::kNats) return true;
  if (bus.multicast || bus.address == 0xFFFFFFFFu || bus.address == 0x7FFFFFFFu) return true;
  bool found = false;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs *i = list; i != nullptr && !found; i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
      if (!(i->ifa_flags & IFF_BROADCAST) || i->ifa_broadaddr == nullptr) continue;
      auto *b = reinterpret_cast<sockaddr_in *>(i->ifa_broadaddr);
      found = ntohl(b->sin_addr.s_addr) == bus.address;
    }
    freeifaddrs(list);
  }
  if (!found) {
    *error = "address " + format_bus_address(bus) +
             " is neither a broadcast address nor a multicast group";
  }
  return found;
}

}  // namespace

bool resolve_bus(const char *text, BusAddress *out, std::string *error) {
  const char *source = "";
  if (text == nullptr || *text == '\0') {
    text = env_text("WEX_BUS");
    source = " (from $WEX_BUS)";
    if (text == nullptr) text = source = "";
  }
  std::string reason;
  if (parse(text, out, &reason) && usable(*out, &reason)) return true;
  *error = "bus \"" + std::string(text) + "\"" + source + ": " + reason;
  return false;
}

std::string format_bus_address(const BusAddress &bus) {
  if (bus.kind == BusAddress::Kind::kNats) {
    std::string text;
    for (const std::string &s : bus.servers) text += (text.empty() ? "" : ",") + s.substr(7);
    return "nats://" + text + "/" + bus.name;
  }
  char text[32];
  snprintf(text, sizeof text, "%u.%u.%u.%u:%u", bus.address >> 24, (bus.address >> 16) & 255,
           (bus.address >> 8) & 255, bus.address & 255, bus.port);
  return text;
}

}  // namespace wex

int WexCheckBus(const char *bus, char *reason, size_t reason_size) {
  wex::BusAddress parsed;
  std::string error;
  bool ok = wex::resolve_bus(bus, &parsed, &error);
  if (reason && reason_size > 0) snprintf(reason, reason_size, "%s", ok ? "" : error.c_str());
  return ok ? 1 : 0;
}
