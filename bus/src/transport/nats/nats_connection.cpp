// The connection to a bus's NATS servers: see nats_connection.h.
#include "transport/nats/nats_connection.h"

#include <arpa/inet.h>
#include <nats/nats.h>

#include <cstdlib>

#include "base/immortal.h"

namespace wex {
namespace {

constexpr int kConnectTimeoutMs = 2000;
constexpr int kReconnectWaitMs = 250;

constinit Immortal<NatsHandoff> handoff_storage;

// libnats's callbacks, on its threads: a push into the handoff and nothing
// else.  The closure is the session number.
void *closure_of(uint64_t session) { return reinterpret_cast<void *>(uintptr_t(session)); }
uint64_t session_of(void *closure) { return reinterpret_cast<uintptr_t>(closure); }

void on_message(natsConnection *, natsSubscription *, natsMsg *msg, void *closure) {
  nats_handoff().push(session_of(closure), NatsItem{NatsEvent::kMessage, msg});
}
void on_disconnected(natsConnection *, void *closure) {
  nats_handoff().push(session_of(closure), NatsItem{NatsEvent::kDisconnected, nullptr});
}
void on_reconnected(natsConnection *, void *closure) {
  nats_handoff().push(session_of(closure), NatsItem{NatsEvent::kReconnected, nullptr});
}
void on_closed(natsConnection *, void *closure) {
  nats_handoff().push(session_of(closure), NatsItem{NatsEvent::kClosed, nullptr});
}
void on_error(natsConnection *, natsSubscription *, natsStatus status, void *closure) {
  nats_handoff().push(session_of(closure), NatsItem{NatsEvent::kError, nullptr, int(status)});
}

}  // namespace

NatsHandoff &nats_handoff() { return handoff_storage.value; }

bool NatsConnection::open(const std::vector<std::string> &servers, uint64_t session,
                          std::string *error) {
  session_ = session;
  natsOptions *opts = nullptr;
  std::vector<const char *> urls;
  for (const std::string &s : servers) urls.push_back(s.c_str());
  void *closure = closure_of(session);
  natsStatus s = natsOptions_Create(&opts);
  if (s == NATS_OK) s = natsOptions_SetServers(opts, urls.data(), int(urls.size()));
  if (s == NATS_OK) s = natsOptions_SetTimeout(opts, kConnectTimeoutMs);
  if (s == NATS_OK) s = natsOptions_SetMaxReconnect(opts, -1);  // forever
  if (s == NATS_OK) s = natsOptions_SetReconnectWait(opts, kReconnectWaitMs);
  if (s == NATS_OK) s = natsOptions_SetNoEcho(opts, true);    // our presence is no news to us
  if (s == NATS_OK) s = natsOptions_SetSendAsap(opts, true);  // we batch: no flusher's delay
  if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(opts, on_disconnected, closure);
  if (s == NATS_OK) s = natsOptions_SetReconnectedCB(opts, on_reconnected, closure);
  if (s == NATS_OK) s = natsOptions_SetClosedCB(opts, on_closed, closure);
  if (s == NATS_OK) s = natsOptions_SetErrorHandler(opts, on_error, closure);
  if (s == NATS_OK) s = natsConnection_Connect(&nc_, opts);
  natsOptions_Destroy(opts);
  if (s == NATS_OK) return true;
  nc_ = nullptr;
  *error = std::string("cannot reach any of its NATS servers: ") + natsStatus_GetText(s);
  return false;
}

bool NatsConnection::subscribe(const std::string &subject, std::string *error) {
  natsSubscription *sub = nullptr;
  natsStatus s =
      natsConnection_Subscribe(&sub, nc_, subject.c_str(), on_message, closure_of(session_));
  if (s == NATS_OK) {
    subs_.push_back(sub);
    return true;
  }
  *error = "cannot subscribe to " + subject + ": " + natsStatus_GetText(s);
  return false;
}

bool NatsConnection::flush(int timeout_ms, std::string *error) {
  natsStatus s = nc_ ? natsConnection_FlushTimeout(nc_, timeout_ms) : NATS_CONNECTION_CLOSED;
  if (s != NATS_OK && error)
    *error = std::string("no answer from the NATS server: ") + natsStatus_GetText(s);
  return s == NATS_OK;
}

void NatsConnection::publish(const std::string &subject, const void *data, size_t size,
                             const char *reply) {
  if (!nc_) return;
  if (reply)
    natsConnection_PublishRequest(nc_, subject.c_str(), reply, data, int(size));
  else
    natsConnection_Publish(nc_, subject.c_str(), data, int(size));
}

uint32_t NatsConnection::local_ipv4() const {
  char *ip = nullptr;
  int port = 0;
  in_addr a{};
  uint32_t host = 0;
  if (nc_ && natsConnection_GetLocalIPAndPort(nc_, &ip, &port) == NATS_OK && ip &&
      inet_pton(AF_INET, ip, &a) == 1)
    host = ntohl(a.s_addr);
  free(ip);
  return host;
}

size_t NatsConnection::max_payload() const {
  int64_t n = nc_ ? natsConnection_GetMaxPayload(nc_) : 0;
  return n > 0 ? size_t(n) : 0;
}

void NatsConnection::close() {
  for (natsSubscription *sub : subs_) natsSubscription_Destroy(sub);
  subs_.clear();
  if (nc_) {
    natsConnection_Close(nc_);
    natsConnection_Destroy(nc_);
  }
  nc_ = nullptr;
}

}  // namespace wex
