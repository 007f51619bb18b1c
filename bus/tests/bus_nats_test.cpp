// The bus over NATS: wexagent processes on a nats-server that each test
// starts on loopback, and on a three-node cluster with routes, each agent on
// a node of its own.  Skipped, saying why, where nats-server is missing or
// the library was built without libnats.
#include <gtest/gtest.h>

#include <set>

#include "bus_cases.h"
#include "bus_harness.h"

using bus_test::Agent;
using bus_test::agent_args;
using bus_test::NatsCluster;
using bus_test::NatsServer;
using bus_test::split_tabs;

namespace {

#define SKIP_WITHOUT_NATS() \
  if (std::string why = bus_test::nats_missing(); !why.empty()) GTEST_SKIP() << why

std::string nats_bus(const NatsServer &s, const std::string &name = "") {
  return "nats://" + s.url() + (name.empty() ? "" : "/" + name);
}

// The texts of "msg" lines for one pattern index, in order, with their count
// of copies so that a duplicate shows.
std::vector<std::string> texts_of(const std::vector<std::string> &lines, const std::string &index) {
  std::vector<std::string> texts;
  for (auto &l : lines) {
    auto f = split_tabs(l);
    if (f[0] == "msg" && f.size() > 4 && f[2] == index) texts.push_back(f[4]);
  }
  return texts;
}

// Waits until the agent has reported each of these peers connected.
bool meets(Agent &agent, std::set<std::string> names) {
  std::string line;
  while (!names.empty() && agent.expect("connected\t", &line)) names.erase(split_tabs(line)[1]);
  return names.empty();
}

bool any_line(const std::vector<std::string> &lines, const std::string &prefix) {
  for (auto &l : lines)
    if (l.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

class OneServer : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_NATS();
    server.start();
    ASSERT_TRUE(server.ready()) << "nats-server did not come up on " << server.url();
  }
  NatsServer server;
};

// Captures, the ready message, no self-delivery, the size limit and the
// delivery count, as on a LAN; the largest message crosses in several NATS
// messages and arrives whole.
TEST_F(OneServer, MessagesBehaveAsOnALan) {
  std::string bus = nats_bus(server);
  Agent rx(agent_args(bus, "rx", {"-r", "ready rx", "^temp (\\d+)(?: unit=(\\w+))?$", "^(x*)$"}));
  Agent tx(agent_args(bus, "tx", {"-p", "1", "-s", "^ready (.*)$", "^temp"}));
  std::string line;
  ASSERT_TRUE(rx.expect("connected\ttx\t127.0.0.1", &line));
  std::string limit(1024 * 1024, 'x');
  tx.write("temp 21 unit=C\ntemp 5\n" + limit + "\n" + limit + "x\ntemp 0\n");
  std::vector<std::string> got;
  while (got.size() < 4 && rx.expect("msg\t", &line, 20000)) got.push_back(line);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], "msg\ttx\t0\t2\t21\tC");
  EXPECT_EQ(got[1], "msg\ttx\t0\t2\t5\t");
  EXPECT_EQ(got[2], "msg\ttx\t1\t1\t" + limit);
  EXPECT_EQ(got[3], "msg\ttx\t0\t2\t0\t");
  tx.close_input();
  auto lines = tx.rest(15000);
  std::vector<std::string> sent;
  for (auto &l : lines)
    if (l.rfind("sent\t", 0) == 0) sent.push_back(l);
  EXPECT_EQ(sent,
            (std::vector<std::string>{"sent\t1", "sent\t1", "sent\t1", "sent\t-1", "sent\t1"}));
  EXPECT_EQ(texts_of(lines, "0"), std::vector<std::string>{"rx"}) << "the ready message, once";
  EXPECT_TRUE(texts_of(lines, "1").empty()) << "tx got one of its own messages";
}

TEST_F(OneServer, UnbindStopsDeliveriesAtTheSender) {
  bus_test::unbind_stops_deliveries_at_the_sender(nats_bus(server));
}

// A peer killed outright sends no goodbye; the server, asked once per
// heartbeat period, says that nobody listens on its inbox any more.
TEST_F(OneServer, KilledPeerIsReportedGoneByTheServer) {
  std::string bus = nats_bus(server);
  Agent stays(agent_args(bus, "stays"), {}, true), dies(agent_args(bus, "dies"));
  ASSERT_TRUE(stays.expect("connected\tdies"));
  ASSERT_TRUE(dies.expect("connected\tstays"));
  kill(dies.pid(), SIGKILL);
  EXPECT_TRUE(stays.expect("wex: peer dies (127.0.0.1): its connection to the NATS server closed",
                           nullptr, 10000));
  EXPECT_TRUE(stays.expect("disconnected\tdies\t127.0.0.1"));
}

TEST_F(OneServer, LeavingAndJoiningAgainIsReportedBothTimes) {
  std::string bus = nats_bus(server);
  Agent stays(agent_args(bus, "stays", {"^hi$"}));
  for (int round = 0; round < 2; ++round) {
    Agent leaves(agent_args(bus, "leaves", {"-p", "1"}));
    leaves.write("hi\n");
    leaves.close_input();
    ASSERT_TRUE(stays.expect("connected\tleaves")) << "round " << round;
    EXPECT_TRUE(stays.expect("msg\tleaves\t0\t0"));
    EXPECT_TRUE(stays.expect("disconnected\tleaves")) << "round " << round;
    EXPECT_EQ(leaves.wait_exit(), 0);
  }
}

// Bus names keep buses apart on one server, and a NATS bus is not a LAN bus.
TEST_F(OneServer, BusesOfOtherNamesAndLanBusesStayApart) {
  int port = bus_test::random_port();
  Agent a(agent_args(nats_bus(server, "one"), "one-a")),
      b(agent_args(nats_bus(server, "two"), "two"));
  Agent c(agent_args(nats_bus(server, "one"), "one-c")), lan(agent_args(port, "lan"));
  EXPECT_TRUE(a.expect("connected\tone-c"));
  EXPECT_TRUE(c.expect("connected\tone-a"));
  std::string line;
  EXPECT_FALSE(b.expect("connected", &line, 1500)) << line;
  EXPECT_FALSE(lan.expect("connected", &line, 100)) << line;
}

// A server that is not there is a refusal at start, soon, never a hang.
TEST(NatsStart, UnreachableServersAreARefusal) {
  SKIP_WITHOUT_NATS();
  std::string bus = "nats://127.0.0.1:" + std::to_string(bus_test::free_tcp_port()) +
                    ",127.0.0.1:" + std::to_string(bus_test::free_tcp_port());
  Agent a(agent_args(bus, "alone"), {}, true);
  std::string line;
  EXPECT_TRUE(a.expect("wex: WexStart: bus " + bus.substr(0, 7), &line)) << line;
  EXPECT_NE(line.find("cannot reach any of its NATS servers"), std::string::npos) << line;
  EXPECT_EQ(a.wait_exit(10000), 2);
}

class Cluster : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_NATS();
    ASSERT_TRUE(cluster.start()) << "the three nodes did not route to each other";
  }
  std::string on(int node) { return nats_bus(cluster.node[node]); }
  NatsCluster cluster;
};

TEST_F(Cluster, AgentsOnThreeNodesMeetAndKeepTheOrderOfTenThousand) {
  Agent a(agent_args(on(0), "a", {"-p", "2"})), b(agent_args(on(1), "b"));
  Agent c(agent_args(on(2), "c", {"-x", "10000", "^n(\\d+)$"}));
  EXPECT_TRUE(meets(b, {"a", "c"}));
  std::string burst;
  for (int i = 0; i < 10000; ++i) burst += "n" + std::to_string(i) + "\n";
  a.write(burst);
  a.close_input();
  auto got = texts_of(c.rest(60000), "0");
  ASSERT_EQ(got.size(), 10000u);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(got[size_t(i)], std::to_string(i)) << "at " << i;
}

// The node an agent talks to dies under it, while it sends: the agent
// reconnects through another node, its peer never hears it gone, and every
// message arrives once, in order, both ways.
TEST_F(Cluster, KillingTheNodeOfAnAgentLosesNothingAndDuplicatesNothing) {
  Agent a(agent_args(on(0), "a", {"-w", "3000", "^to a (\\d+)$"}), {}, true);
  Agent b(agent_args(on(1), "b", {"^to b (\\d+)$"}), {}, true);
  ASSERT_TRUE(a.expect("connected\tb"));
  ASSERT_TRUE(b.expect("connected\ta"));
  std::string burst, back;
  for (int i = 0; i < 2000; ++i) burst += "to b " + std::to_string(i) + "\n";
  for (int i = 0; i < 200; ++i) back += "to a " + std::to_string(i) + "\n";
  cluster.node[0].kill_hard();
  a.write(burst);
  b.write(back);
  a.close_input();  // a stays 3 s longer, past the reconnect, then leaves
  auto la = a.rest(30000);
  EXPECT_EQ(a.wait_exit(), 0);
  ASSERT_TRUE(b.expect("disconnected\ta", nullptr, 10000)) << "a's goodbye";
  auto lb = b.skipped();  // everything before it
  b.close_input();
  for (auto &l : b.rest(10000)) lb.push_back(l);
  auto to_b = texts_of(lb, "0"), to_a = texts_of(la, "0");
  ASSERT_EQ(to_b.size(), 2000u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(to_b[size_t(i)], std::to_string(i)) << "at " << i;
  ASSERT_EQ(to_a.size(), 200u);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(to_a[size_t(i)], std::to_string(i)) << "at " << i;
  EXPECT_TRUE(any_line(la, "wex: NATS: lost the server")) << "the kill did not reach a";
  EXPECT_FALSE(any_line(la, "disconnected\t")) << "a reported b gone";
  EXPECT_FALSE(any_line(lb, "disconnected\t")) << "b reported a gone before its goodbye";
}

}  // namespace
