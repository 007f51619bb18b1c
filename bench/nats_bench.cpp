// Plain NATS pub/sub with libnats and nothing of wex, beside which
// bench_nats.sh runs bus_bench over a NATS bus through the same nats-server:
// the same 32-byte payload, ping-pong from callbacks and one-way, so that
// the ratio is what wex adds.
//
//   nats_bench echo URL           answers every message on bench.ping on bench.pong
//   nats_bench rtt URL COUNT      COUNT round trips through echo
//   nats_bench sink URL COUNT     counts COUNT messages on bench.data
//   nats_bench source URL COUNT   publishes COUNT messages once a sink is there
#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bench_common.h"

namespace {

using bench::kPayload;
using bench::kPayloadSize;
using bench::now_s;

long count_arg(const char *text) { return bench::count_arg("nats_bench", text); }

void check(natsStatus s, const char *what) {
  if (s == NATS_OK) return;
  fprintf(stderr, "nats_bench: %s: %s\n", what, natsStatus_GetText(s));
  exit(1);
}

natsConnection *connect(const char *url, bool send_asap) {
  natsOptions *opts;
  natsConnection *nc;
  check(natsOptions_Create(&opts), "options");
  check(natsOptions_SetURL(opts, url), "URL");
  check(natsOptions_SetNoEcho(opts, true), "no echo");
  check(natsOptions_SetSendAsap(opts, send_asap), "send asap");
  check(natsConnection_Connect(&nc, opts), url);
  natsOptions_Destroy(opts);
  return nc;
}

// Waits, bounded, until done is set by a callback.
bool wait_for(const std::atomic<bool> &done, double seconds) {
  for (double end = now_s() + seconds; !done.load();
       std::this_thread::sleep_for(std::chrono::microseconds(200)))
    if (now_s() > end) return false;
  return true;
}

std::atomic<long> seen{0};
std::atomic<bool> done{false};
long target = 0;
double started = 0;

void echo_cb(natsConnection *nc, natsSubscription *, natsMsg *msg, void *) {
  natsConnection_Publish(nc, "bench.pong", natsMsg_GetData(msg), natsMsg_GetDataLength(msg));
  natsMsg_Destroy(msg);
}

// Round trips from the subscription's callback, as wex's rtt answers from
// its message callback.  Each ping carries its number in its 32 bytes, so
// that the extra pings of the warm-up start no second chain; the first pong
// starts the clock.
void ping(natsConnection *nc, long n) {
  char text[kPayloadSize + 1];
  snprintf(text, sizeof text, "%032ld", n);
  natsConnection_Publish(nc, "bench.ping", text, kPayloadSize);
}

void rtt_cb(natsConnection *nc, natsSubscription *, natsMsg *msg, void *) {
  long n = strtol(natsMsg_GetData(msg), nullptr, 10);
  natsMsg_Destroy(msg);
  if (n != seen.load()) return;  // a repeat of the warm-up
  if (n == 0) started = now_s();
  seen = n + 1;
  if (n == target) {
    printf("plain NATS round trip: %.2f us\n", (now_s() - started) / double(target) * 1e6);
    done = true;
    return;
  }
  ping(nc, n + 1);
}

void sink_cb(natsConnection *, natsSubscription *, natsMsg *msg, void *) {
  natsMsg_Destroy(msg);
  long n = seen.fetch_add(1) + 1;
  if (n == 1) started = now_s();
  if (n == target) {
    printf("plain NATS one-way: %.2f M msg/s\n", double(target - 1) / (now_s() - started) / 1e6);
    done = true;
  }
}

int run(const std::string &role, const char *url, long count) {
  target = count;
  natsSubscription *sub = nullptr;
  if (role == "echo") {
    natsConnection *nc = connect(url, true);
    check(natsConnection_Subscribe(&sub, nc, "bench.ping", echo_cb, nullptr), "subscribe");
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));  // killed by the script
  }
  if (role == "rtt") {
    natsConnection *nc = connect(url, true);
    check(natsConnection_Subscribe(&sub, nc, "bench.pong", rtt_cb, nullptr), "subscribe");
    check(natsConnection_Flush(nc), "flush");
    // Until the echo answers: pings that find nobody are lost, not counted.
    for (int i = 0; i < 500 && seen.load() == 0; ++i) {
      ping(nc, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!wait_for(done, 60)) return fprintf(stderr, "nats_bench: rtt timed out\n"), 1;
    natsConnection_Destroy(nc);
    return 0;
  }
  if (role == "sink") {
    natsConnection *nc = connect(url, false);
    check(natsConnection_Subscribe(&sub, nc, "bench.data", sink_cb, nullptr), "subscribe");
    check(natsSubscription_SetPendingLimits(sub, 100000000, 1 << 30), "pending limits");
    check(natsConnection_Flush(nc), "flush");
    // Says it is there until the first message comes.
    for (int i = 0; i < 1000 && seen.load() == 0; ++i) {
      natsConnection_PublishString(nc, "bench.ready", "");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!wait_for(done, 60)) {
      fprintf(stderr, "nats_bench: sink got %ld of %ld\n", seen.load(), target);
      return 1;
    }
    natsConnection_Destroy(nc);
    return 0;
  }
  if (role == "source") {
    natsConnection *nc = connect(url, false);
    natsMsg *ready = nullptr;
    check(natsConnection_SubscribeSync(&sub, nc, "bench.ready"), "subscribe");
    check(natsSubscription_NextMsg(&ready, sub, 10000), "waiting for the sink");
    natsMsg_Destroy(ready);
    for (long i = 0; i < count; ++i)
      natsConnection_Publish(nc, "bench.data", kPayload, kPayloadSize);
    check(natsConnection_FlushTimeout(nc, 60000), "flush");
    natsConnection_Destroy(nc);
    return 0;
  }
  fprintf(stderr, "nats_bench: unknown role \"%s\" (try --help)\n", role.c_str());
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
    fprintf(argc < 3 ? stderr : stdout,
            "usage: nats_bench echo URL | rtt URL COUNT | sink URL COUNT | source URL COUNT\n"
            "Plain NATS pub/sub with 32-byte messages, for bench/bench_nats.sh.\n");
    return argc < 3 ? 2 : 0;
  }
  return run(argv[1], argv[2], argc > 3 ? count_arg(argv[3]) : 1);
}
