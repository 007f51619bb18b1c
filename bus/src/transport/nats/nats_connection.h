// The connection to a bus's NATS servers, as the NATS transport uses it:
// libnats's options, the callbacks that libnats calls on its own threads
// (each only pushes into the handoff, nats_handoff.h), and the few calls the
// transport makes.  Everything that names libnats's connection is here; the
// transport sees subjects and bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/nats/nats_handoff.h"

struct __natsConnection;
struct __natsSubscription;

namespace wex {

// The one handoff of the process, never destroyed: a libnats thread may
// still push into it after the connection that it served was closed.
NatsHandoff &nats_handoff();

class NatsConnection {
 public:
  ~NatsConnection() { close(); }
  // Connects to one of servers ("nats://HOST:PORT"), as libnats picks and
  // with its reconnects to any server of the cluster, forever.  Messages and
  // events go to the handoff, marked with session.  A server that does not
  // answer is given up after two seconds.
  bool open(const std::vector<std::string> &servers, uint64_t session, std::string *error);
  bool subscribe(const std::string &subject, std::string *error);
  // Waits for one round trip with the server: everything sent before it is
  // in place there.
  bool flush(int timeout_ms, std::string *error = nullptr);
  // What cannot go now (the connection away and its buffer full) is dropped
  // without a word: the transport repeats what matters.
  void publish(const std::string &subject, const void *data, size_t size,
               const char *reply = nullptr);
  uint32_t local_ipv4() const;  // host byte order; 0 when unknown or not IPv4
  size_t max_payload() const;
  void close();

 private:
  __natsConnection *nc_ = nullptr;
  std::vector<__natsSubscription *> subs_;
  uint64_t session_ = 0;
};

}  // namespace wex
