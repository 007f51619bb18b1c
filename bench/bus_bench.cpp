// Benchmark roles for the bus, each run as its own process by bench_bus.sh
// (which pins them with taskset), with the baselines beside them: a raw TCP
// ping-pong and, when built with it, ZeroMQ PUSH/PULL.  Every message
// carries a 32-byte payload.
//
//   bus_bench echo BUS                    answers every ping
//   bus_bench rtt BUS COUNT               COUNT round trips through echo
//   bus_bench sink BUS COUNT SUBS         counts COUNT deliveries; SUBS patterns, one matches
//   bus_bench source BUS COUNT            sends COUNT messages once a sink is there
//   bus_bench tcp-echo PORT / tcp-rtt PORT COUNT
//   bus_bench zmq-pull PORT COUNT / zmq-push PORT COUNT
//   bus_bench zmq-sub PORT COUNT / zmq-pub PORT COUNT  (prefix subscription)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wex.h"
#ifdef WEX_HAVE_ZMQ
#include <zmq.h>
#endif

#include "bench_common.h"

namespace {

using bench::kPayload;
using bench::now_s;

long count_arg(const char *text) { return bench::count_arg("bus_bench", text); }

// ---- Bus roles ----

long target = 0, seen = 0;
double started = 0;

void echo_cb(WexClientPtr, void *, int, char **argv) { WexSendMsg("pong %s", argv[0]); }

void rtt_cb(WexClientPtr, void *, int, char **) {
  if (++seen == target) {
    double t = now_s() - started;
    printf("bus round trip: %.2f us\n", t / double(target) * 1e6);
    WexStop();
    return;
  }
  WexSendMsg("ping %s", kPayload);
}

void rtt_peer(WexClientPtr, void *, unsigned event) {
  if (event != WEX_CLIENT_CONNECTED) return;
  // Warm up once, then time.
  started = now_s();
  WexSendMsg("ping %s", kPayload);
}

void sink_cb(WexClientPtr, void *, int, char **) {
  if (seen++ == 0) started = now_s();
  if (seen == target) {
    double t = now_s() - started;
    printf("bus one-way: %.2f M msg/s\n", double(target - 1) / t / 1e6);
    WexStop();
  }
}

bool source_go = false;
long sent = 0;
void source_batch(WexTimerPtr timer, void *, unsigned long) {
  if (!source_go) return;
  if (sent == 0) {
    // Send cost: the time inside WexSendMsg (matching and encoding), for a
    // first batch timed on its own before the network gets involved.
    long n = target < 100000 ? target : 100000;
    double t0 = now_s();
    for (long i = 0; i < n; ++i) WexSendMsg("%s", kPayload);
    printf("bus send cost: %.0f ns/msg\n", (now_s() - t0) / double(n) * 1e9);
    sent = n;
    return;
  }
  for (int i = 0; i < 2000 && sent < target; ++i, ++sent) WexSendMsg("%s", kPayload);
  if (sent >= target) TimerRemove(timer);
}
void source_peer(WexClientPtr, void *, unsigned event) {
  if (event == WEX_CLIENT_CONNECTED) source_go = true;
  if (event == WEX_CLIENT_DISCONNECTED) WexStop();
}

int run_bus(const std::string &role, const char *bus, long count, long subs) {
  target = count;
  if (role == "echo") {
    WexInit("echo", "", nullptr, nullptr, nullptr, nullptr);
    WexBindMsg(echo_cb, nullptr, "^ping (.*)$");
  } else if (role == "rtt") {
    WexInit("rtt", "", rtt_peer, nullptr, nullptr, nullptr);
    WexBindMsg(rtt_cb, nullptr, "^pong (.*)$");
  } else if (role == "sink") {
    WexInit("sink", "", nullptr, nullptr, nullptr, nullptr);
    for (long i = 1; i < subs; ++i) WexBindMsg(sink_cb, nullptr, "^topic%ld (.*)$", i);
    WexBindMsg(sink_cb, nullptr, "^(0123.*)$");
  } else {
    WexInit("source", "", source_peer, nullptr, nullptr, nullptr);
    TimerRepeatAfter(0, 0, source_batch, nullptr);
  }
  WexStart(bus);
  WexMainLoop();
  return 0;
}

// ---- Raw TCP ping-pong ----

bool read_full(int fd, char *buf, size_t n) {
  for (size_t got = 0; got < n;) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r <= 0) return false;
    got += size_t(r);
  }
  return true;
}

int run_tcp(bool echo, int port, long count) {
  int fd = bench::tcp_socket("bus_bench", port, echo);
  char buf[32];
  if (echo) {
    while (read_full(fd, buf, 32))
      if (write(fd, buf, 32) != 32) break;
    return 0;
  }
  double t0 = now_s();
  for (long i = 0; i < count; ++i) {
    if (write(fd, kPayload, 32) != 32 || !read_full(fd, buf, 32)) return 1;
  }
  printf("raw TCP round trip: %.2f us\n", (now_s() - t0) / double(count) * 1e6);
  close(fd);
  return 0;
}

// ---- ZeroMQ PUSH/PULL, and PUB/SUB with a prefix subscription ----

// The receiving side binds; the subscriber of PUB/SUB subscribes to the
// payload's prefix (ZeroMQ's filtering, the nearest to a pattern), and the
// publisher waits for its subscription to arrive before sending.  No
// high-water mark, so that nothing is dropped.
int run_zmq(bool receive, bool pubsub, int port, long count) {
#ifdef WEX_HAVE_ZMQ
  void *ctx = zmq_ctx_new();
  void *s =
      zmq_socket(ctx, receive ? (pubsub ? ZMQ_SUB : ZMQ_PULL) : (pubsub ? ZMQ_XPUB : ZMQ_PUSH));
  int unlimited = 0;
  zmq_setsockopt(s, receive ? ZMQ_RCVHWM : ZMQ_SNDHWM, &unlimited, sizeof unlimited);
  if (pubsub && receive) zmq_setsockopt(s, ZMQ_SUBSCRIBE, "0123", 4);
  std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
  if ((receive ? zmq_bind(s, endpoint.c_str()) : zmq_connect(s, endpoint.c_str())) != 0) {
    fprintf(stderr, "bus_bench: zmq %s: %s\n", endpoint.c_str(), zmq_strerror(zmq_errno()));
    return 1;
  }
  char buf[64];
  // Every wait is bounded: a peer that never came (its port was taken) or
  // died must not hang the benchmark.
  int limit_ms = 10000;
  zmq_setsockopt(s, ZMQ_RCVTIMEO, &limit_ms, sizeof limit_ms);
  zmq_setsockopt(s, ZMQ_LINGER, &limit_ms, sizeof limit_ms);
  if (receive) {
    bool ok = zmq_recv(s, buf, sizeof buf, 0) >= 0;
    double t0 = now_s();
    for (long i = 1; ok && i < count; ++i) ok = zmq_recv(s, buf, sizeof buf, 0) >= 0;
    if (!ok) {
      fprintf(stderr, "bus_bench: zmq %s: nothing received for 10 s\n", endpoint.c_str());
      zmq_close(s);
      zmq_ctx_term(ctx);
      return 1;
    }
    printf("ZeroMQ %s: %.2f M msg/s\n", pubsub ? "PUB/SUB, prefix" : "PUSH/PULL",
           double(count - 1) / (now_s() - t0) / 1e6);
  } else {
    // XPUB: the subscription arrived.
    if (pubsub && zmq_recv(s, buf, sizeof buf, 0) < 0) {
      fprintf(stderr, "bus_bench: zmq %s: no subscriber within 10 s\n", endpoint.c_str());
      zmq_close(s);
      zmq_ctx_term(ctx);
      return 1;
    }
    for (long i = 0; i < count; ++i) zmq_send(s, kPayload, 32, 0);
  }
  zmq_close(s);
  zmq_ctx_term(ctx);
  return 0;
#else
  (void)receive, (void)pubsub, (void)port, (void)count;
  fprintf(stderr, "bus_bench: built without ZeroMQ\n");
  return 1;
#endif
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
    fprintf(argc < 3 ? stderr : stdout,
            "usage: bus_bench echo BUS | rtt BUS COUNT | sink BUS COUNT SUBS | source BUS COUNT\n"
            "       | tcp-echo PORT | tcp-rtt PORT COUNT | zmq-pull PORT COUNT | zmq-push PORT "
            "COUNT\n"
            "       | zmq-sub PORT COUNT | zmq-pub PORT COUNT\n");
    return argc < 3 ? 2 : 0;
  }
  std::string role = argv[1];
  long count = argc > 3 ? count_arg(argv[3]) : 1;
  if (role == "echo" || role == "rtt" || role == "source") return run_bus(role, argv[2], count, 1);
  if (role == "sink") return run_bus(role, argv[2], count, argc > 4 ? count_arg(argv[4]) : 1);
  if (role == "tcp-echo" || role == "tcp-rtt")
    return run_tcp(role == "tcp-echo", int(count_arg(argv[2])), count);
  if (role == "zmq-pull" || role == "zmq-push" || role == "zmq-sub" || role == "zmq-pub")
    return run_zmq(role == "zmq-pull" || role == "zmq-sub", role == "zmq-sub" || role == "zmq-pub",
                   int(count_arg(argv[2])), count);
  fprintf(stderr, "bus_bench: unknown role \"%s\" (try --help)\n", role.c_str());
  return 2;
}
