// Buses that leave loopback, inside network namespaces that the test makes
// itself (and removes): a multicast group, and a broadcast address across a
// veth pair between two namespaces, as two hosts of a LAN would see it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "bus_harness.h"

using bus_test::Agent;

namespace {

const char *ip_tool() {
  for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (access(p, X_OK) == 0) return p;
  return nullptr;
}

bool run(const std::string &command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

// Two namespaces joined by a veth pair, 10.213.7.1/24 and 10.213.7.2/24.
bool link_pair(class Namespaces &ns, const std::string &veth);

// Namespaces named after our pid, deleted when the test ends, whatever happens.
class Namespaces {
 public:
  explicit Namespaces(int count) {
    ip_ = ip_tool();
    if (!ip_) return;
    for (int i = 0; i < count; ++i) {
      std::string name = "wextest" + std::to_string(getpid()) + "n" + std::to_string(i);
      if (!run(std::string(ip_) + " netns add " + name)) return;
      names_.push_back(name);
      if (!in(i, "link set lo up")) return;
    }
    ok_ = true;
  }
  ~Namespaces() {
    for (auto &n : names_) run(std::string(ip_) + " netns del " + n);
  }
  bool ok() const { return ok_; }
  bool in(int i, const std::string &command) {
    return run(std::string(ip_) + " -n " + names_[size_t(i)] + " " + command);
  }
  const std::string &name(int i) const { return names_[size_t(i)]; }
  // What a command run inside namespace i prints.
  std::string output(int i, const std::string &command) {
    std::string line = std::string(ip_) + " netns exec " + names_[size_t(i)] + " " + command;
    FILE *p = popen(line.c_str(), "r");
    std::string text;
    char chunk[4096];
    size_t n;
    while (p && (n = fread(chunk, 1, sizeof chunk, p)) > 0) text.append(chunk, n);
    if (p) pclose(p);
    return text;
  }
  // An agent started inside namespace i.
  std::vector<std::string> agent(int i, const std::string &bus, const std::string &agent_name,
                                 std::vector<std::string> more = {}) {
    std::vector<std::string> a = {
        ip_,  "netns", "exec", names_[size_t(i)], bus_test::tool("wexagent"),
        "-b", bus,     "-n",   agent_name};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  }

 private:
  const char *ip_ = nullptr;
  std::vector<std::string> names_;
  bool ok_ = false;
};

#define SKIP_WITHOUT_NAMESPACES(ns)                                                   \
  if (!(ns).ok())                                                                     \
  GTEST_SKIP() << "cannot create network namespaces here (needs root and iproute2); " \
                  "the multicast and cross-namespace buses are not tested"

TEST(Namespaces, MulticastBus) {
  Namespaces ns(1);
  SKIP_WITHOUT_NAMESPACES(ns);
  ASSERT_TRUE(ns.in(0, "link set lo multicast on"));
  ASSERT_TRUE(ns.in(0, "route add 224.0.0.0/4 dev lo"));
  std::string bus = "239.255.77.1:" + std::to_string(bus_test::random_port());
  Agent a(ns.agent(0, bus, "mc-a", {"^to a (.*)$"})), b(ns.agent(0, bus, "mc-b", {"-p", "1"}));
  ASSERT_TRUE(a.expect("connected\tmc-b"));
  b.write("to a over multicast\n");
  std::string line;
  ASSERT_TRUE(a.expect("msg\t", &line));
  EXPECT_EQ(line, "msg\tmc-b\t0\t1\tover multicast");
}

bool link_pair(Namespaces &ns, const std::string &veth) {
  return ns.in(0, "link add " + veth + "a type veth peer name " + veth + "b netns " + ns.name(1)) &&
         ns.in(0, "addr add 10.213.7.1/24 brd + dev " + veth + "a") &&
         ns.in(1, "addr add 10.213.7.2/24 brd + dev " + veth + "b") &&
         ns.in(0, "link set " + veth + "a up") && ns.in(1, "link set " + veth + "b up");
}

TEST(Namespaces, BroadcastBusAcrossAVethPair) {
  Namespaces ns(2);
  SKIP_WITHOUT_NAMESPACES(ns);
  std::string veth = "wexv" + std::to_string(getpid() % 100000);
  ASSERT_TRUE(link_pair(ns, veth));
  std::string bus = "10.213.7.255:" + std::to_string(bus_test::random_port());
  Agent a(ns.agent(0, bus, "left", {"-l", "^(.*)$"})), b(ns.agent(1, bus, "right", {"-p", "1"}));
  EXPECT_TRUE(a.expect("log\tbus " + bus + " is open to anyone who can reach it"))
      << "a bus beyond this host, without a secret, must say so";
  // Each sees the other at its address on the link, not at loopback.
  ASSERT_TRUE(a.expect("connected\tright\t10.213.7.2", nullptr, 15000));
  ASSERT_TRUE(b.expect("connected\tleft\t10.213.7.1", nullptr, 15000));
  b.write("across the link\n");
  std::string line;
  ASSERT_TRUE(a.expect("msg\t", &line));
  EXPECT_EQ(line, "msg\tright\t0\t1\tacross the link");
  // It listens on the address of the interface that carries the bus, and
  // its only socket that is not connected is the bus's own.
  auto local_addresses = [&ns](const char *command) {
    std::string text = ns.output(0, command), all;
    std::istringstream lines(text);
    std::string state, receive_queue, send_queue, local;
    while (lines >> state >> receive_queue >> send_queue >> local) {
      all += local.substr(0, local.rfind(':')) + " ";
      lines.ignore(1 << 20, '\n');
    }
    return all;
  };
  EXPECT_EQ(local_addresses("ss -Hltn"), "10.213.7.1 ");
  EXPECT_EQ(local_addresses("ss -Hlun"), "10.213.7.255 ");
  // A loopback bus of the same port in namespace 0 stays on its host.
  Agent local(ns.agent(0, "127.255.255.255:" + bus.substr(bus.find(':') + 1), "local"));
  EXPECT_FALSE(b.expect("connected\tlocal", nullptr, 1000));
}

// Two agents lose each other when the link between their hosts goes down
// for 10 s, and meet again soon after it comes back, by the announcements
// that every agent repeats.
TEST(Namespaces, APartitionHeals) {
  Namespaces ns(2);
  SKIP_WITHOUT_NAMESPACES(ns);
  std::string veth = "wexh" + std::to_string(getpid() % 100000);
  ASSERT_TRUE(link_pair(ns, veth));
  std::string bus = "10.213.7.255:" + std::to_string(bus_test::random_port());
  std::vector<std::string> env = {"WEX_HEARTBEAT_MS=200"};
  Agent a(ns.agent(0, bus, "left"), env), b(ns.agent(1, bus, "right"), env);
  ASSERT_TRUE(a.expect("connected\tright", nullptr, 15000));
  ASSERT_TRUE(ns.in(0, "link set " + veth + "a down"));
  EXPECT_TRUE(a.expect("disconnected\tright", nullptr, 5000));
  EXPECT_TRUE(b.expect("disconnected\tleft", nullptr, 5000));
  usleep(10000000);
  ASSERT_TRUE(ns.in(0, "link set " + veth + "a up"));
  long long healed = bus_test::now_ms();
  EXPECT_TRUE(a.expect("connected\tright", nullptr, 15000));
  EXPECT_TRUE(b.expect("connected\tleft", nullptr, 15000));
  std::printf("met again %lld ms after the link came back\n", bus_test::now_ms() - healed);
}

}  // namespace
