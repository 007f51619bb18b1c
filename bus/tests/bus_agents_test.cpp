// Agents in separate processes (wexagent) on loopback buses of their own.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>

#include "bus_cases.h"
#include "bus_harness.h"

using bus_test::Agent;
using bus_test::agent_args;
using bus_test::split_tabs;

namespace {

// The texts of every "msg" line, in order.
std::vector<std::vector<std::string>> deliveries(const std::vector<std::string> &lines) {
  std::vector<std::vector<std::string>> out;
  for (auto &l : lines)
    if (l.rfind("msg\t", 0) == 0) out.push_back(split_tabs(l));
  return out;
}

TEST(Discovery, TwoAgentsConnectAndReportEachOther) {
  int port = bus_test::random_port();
  Agent a(agent_args(port, "alpha")), b(agent_args(port, "beta"));
  EXPECT_TRUE(a.expect("connected\tbeta\t127.0.0.1"));
  EXPECT_TRUE(b.expect("connected\talpha\t127.0.0.1"));
}

// Five agents started at once: every pair ends with exactly one connection,
// which shows as exactly one CONNECTED and exactly one delivery per peer.
TEST(Discovery, FiveAgentsStartedTogetherMeetOncePerPair) {
  int port = bus_test::random_port();
  std::vector<std::unique_ptr<Agent>> agents;
  for (int i = 0; i < 5; ++i)
    agents.push_back(std::make_unique<Agent>(
        agent_args(port, "agent" + std::to_string(i), {"-p", "4", "-w", "700", "^hi from (.*)$"})));
  for (int i = 0; i < 5; ++i) agents[size_t(i)]->write("hi from agent" + std::to_string(i) + "\n");
  for (auto &a : agents) a->close_input();
  for (int i = 0; i < 5; ++i) {
    auto lines = agents[size_t(i)]->rest(15000);
    std::multiset<std::string> connected, senders;
    for (auto &l : lines) {
      auto f = split_tabs(l);
      if (f[0] == "connected") connected.insert(f[1]);
    }
    for (auto &d : deliveries(lines)) senders.insert(d[4]);
    std::multiset<std::string> others;
    for (int j = 0; j < 5; ++j)
      if (j != i) others.insert("agent" + std::to_string(j));
    EXPECT_EQ(connected, others) << "agent" << i;
    EXPECT_EQ(senders, others) << "agent" << i << " (its own message must not come back)";
  }
}

TEST(Discovery, PairsStartedAtTheSameInstantGetOneConnection) {
  for (int round = 0; round < 4; ++round) {
    int port = bus_test::random_port();
    Agent a(agent_args(port, "left", {"-p", "1", "-w", "400", "(.*)"}));
    Agent b(agent_args(port, "right", {"-p", "1", "-w", "400", "(.*)"}));
    a.write("from left\n");
    b.write("from right\n");
    a.close_input();
    b.close_input();
    auto la = a.rest(10000), lb = b.rest(10000);
    auto da = deliveries(la), db = deliveries(lb);
    ASSERT_EQ(da.size(), 1u) << "round " << round;
    ASSERT_EQ(db.size(), 1u) << "round " << round;
    EXPECT_EQ(da[0][4], "from right");
    EXPECT_EQ(db[0][4], "from left");
  }
}

TEST(Discovery, TwoBusesOnTwoPortsStayApart) {
  int port1 = bus_test::random_port(), port2 = port1 + 1;
  Agent a(agent_args(port1, "one-a")), b(agent_args(port2, "two")), c(agent_args(port1, "one-c"));
  EXPECT_TRUE(a.expect("connected\tone-c"));
  EXPECT_TRUE(c.expect("connected\tone-a"));
  std::string line;
  EXPECT_FALSE(b.expect("connected", &line, 1500)) << line;
}

TEST(Discovery, MalformedBusTextIsAnErrorNotAHang) {
  for (const char *bus : {"300.1.2.3", ":0", ":70000", "1.2.3:10", "127.0.0.1:4000", ":x"}) {
    Agent a({bus_test::tool("wexagent"), "-b", bus});
    EXPECT_EQ(a.wait_exit(5000), 2) << bus;
  }
}

TEST(Messages, CapturedGroupsArriveInOrderAndAbsentGroupsAsEmpty) {
  int port = bus_test::random_port();
  Agent rx(agent_args(port, "rx",
                      {"^temp (\\d+)(?: unit=(\\w+))?$", "(?s)^multi(.*)end$", "^pct (.*)"}));
  Agent tx(agent_args(port, "tx", {"-p", "1", "-c", "-s"}));
  tx.write("temp 21 unit=C\ntemp 5\n/send multi\\nline\\tend\npct 100% %s %d\n");
  std::vector<std::vector<std::string>> got;
  std::string line;
  while (got.size() < 4 && rx.expect("msg\t", &line)) got.push_back(split_tabs(line));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], (std::vector<std::string>{"msg", "tx", "0", "2", "21", "C"}));
  EXPECT_EQ(got[1], (std::vector<std::string>{"msg", "tx", "0", "2", "5", ""}));
  EXPECT_EQ(got[2], (std::vector<std::string>{"msg", "tx", "1", "1", "\\nline\\t"}));
  EXPECT_EQ(got[3], (std::vector<std::string>{"msg", "tx", "2", "1", "100% %s %d"}));
  // The sender counts one delivery per matching subscription.
  int sent = 0;
  while (sent < 4 && tx.expect("sent\t", &line)) {
    EXPECT_EQ(line, "sent\t1");
    ++sent;
  }
  EXPECT_EQ(sent, 4);
}

TEST(Messages, TenThousandArriveInOrderNoneLost) {
  int port = bus_test::random_port();
  Agent rx(agent_args(port, "rx", {"-x", "10000", "^n(\\d+)$"}));
  Agent tx(agent_args(port, "tx", {"-p", "1"}));
  std::string burst;
  for (int i = 0; i < 10000; ++i) burst += "n" + std::to_string(i) + "\n";
  tx.write(burst);
  tx.close_input();
  auto got = deliveries(rx.rest(60000));
  ASSERT_EQ(got.size(), 10000u);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(got[size_t(i)][4], std::to_string(i)) << "at " << i;
  EXPECT_EQ(rx.wait_exit(), 0);
}

// A reader that keeps pausing leaves the sender's output partly written
// while large frames are built behind it, so the queue grows and moves its
// live bytes: each frame must still go out whole, with its own length.
TEST(Messages, SlowReaderGetsLargeFramesIntactWhileTheQueueMoves) {
  int port = bus_test::random_port();
  const int count = 300;
  std::vector<std::string> env = {"WEX_HEARTBEAT_MS=600000"};
  Agent rx(agent_args(port, "rx", {"-x", std::to_string(count), "^(\\d+) (x*)$"}), env);
  Agent tx(agent_args(port, "tx", {"-p", "1"}), env);
  std::mt19937 rng(7);
  std::vector<size_t> sizes;
  std::string burst;
  for (int i = 0; i < count; ++i) {
    sizes.push_back(1000 + rng() % 120000);
    burst += std::to_string(i) + " " + std::string(sizes.back(), 'x') + "\n";
  }
  ASSERT_TRUE(rx.expect("connected\ttx"));
  tx.write(burst);
  tx.close_input();
  for (int i = 0; i < 20; ++i) {  // pause the reader, about half the time
    kill(rx.pid(), SIGSTOP);
    usleep(20000);
    kill(rx.pid(), SIGCONT);
    usleep(20000);
  }
  auto got = deliveries(rx.rest(30000));
  ASSERT_EQ(got.size(), size_t(count));
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(got[size_t(i)][4], std::to_string(i));
    ASSERT_EQ(got[size_t(i)][5].size(), sizes[size_t(i)]) << "message " << i;
  }
  EXPECT_EQ(rx.wait_exit(), 0);
}

TEST(Messages, ReadyMessageGoesToEachNewPeerAndEmptyOneSendsNothing) {
  int port = bus_test::random_port();
  Agent quiet(agent_args(port, "quiet", {"-p", "2"}));  // speaks once it knows rx and loud
  Agent rx(agent_args(port, "rx", {"^ready (.*)$", "(.*)"}));
  Agent loud(agent_args(port, "loud", {"-r", "ready loud"}));
  std::string line;
  ASSERT_TRUE(rx.expect("msg\tloud\t0\t1\tloud", &line));
  ASSERT_TRUE(rx.expect("msg\tloud\t1\t1\tready loud", &line));
  quiet.write("marker\n");
  ASSERT_TRUE(rx.expect("msg\t", &line));
  EXPECT_EQ(line, "msg\tquiet\t1\t1\tmarker") << "the quiet agent sent something before its marker";
}

TEST(Messages, SizeLimitRefusesTheSenderOnly) {
  int port = bus_test::random_port();
  Agent rx(agent_args(port, "rx", {"^(x*)$", "^after$"}));
  Agent other(agent_args(port, "other", {"^after$"}));
  Agent tx(agent_args(port, "tx", {"-p", "2", "-s"}));
  std::string limit(1024 * 1024, 'x');
  tx.write(limit + "\n" + limit + "x\nafter\n");
  std::string line;
  ASSERT_TRUE(tx.expect("sent\t", &line, 20000));
  EXPECT_EQ(line, "sent\t1");
  ASSERT_TRUE(tx.expect("sent\t", &line));
  EXPECT_EQ(line, "sent\t-1");
  ASSERT_TRUE(tx.expect("sent\t", &line));
  EXPECT_EQ(line, "sent\t2");
  ASSERT_TRUE(rx.expect("msg\ttx\t0\t1\t", &line, 20000));
  EXPECT_EQ(split_tabs(line)[4].size(), limit.size());
  ASSERT_TRUE(rx.expect("msg\t", &line));
  EXPECT_EQ(line, "msg\ttx\t1\t0");
  EXPECT_TRUE(other.expect("msg\ttx\t0\t0"));
  EXPECT_TRUE(std::none_of(rx.skipped().begin(), rx.skipped().end(),
                           [](auto &l) { return l.rfind("disconnected", 0) == 0; }));
}

// A backtracking engine would take ages on this; RE2 answers at once, and
// the message after it still arrives.
TEST(Messages, PathologicalPatternDoesNotStallTheBus) {
  int port = bus_test::random_port();
  Agent rx(agent_args(port, "rx", {"(a+)+$"}));
  Agent tx(agent_args(port, "tx", {"-p", "1"}));
  tx.write(std::string(50000, 'a') + "!\naaa\n");
  std::string line;
  ASSERT_TRUE(rx.expect("msg\t", &line, 20000));
  EXPECT_EQ(line, "msg\ttx\t0\t1\taaa");
}

TEST(PeerEvents, LeavingByStopIsReported) {
  int port = bus_test::random_port();
  Agent stays(agent_args(port, "stays")), leaves(agent_args(port, "leaves"));
  ASSERT_TRUE(stays.expect("connected\tleaves"));
  ASSERT_TRUE(leaves.expect("connected\tstays"));
  leaves.close_input();
  EXPECT_EQ(leaves.wait_exit(), 0);
  EXPECT_TRUE(stays.expect("disconnected\tleaves\t127.0.0.1", nullptr, 5000));
}

TEST(PeerEvents, KilledPeerIsReportedBySocketClose) {
  int port = bus_test::random_port();
  Agent stays(agent_args(port, "stays")), dies(agent_args(port, "dies"));
  ASSERT_TRUE(stays.expect("connected\tdies"));
  kill(dies.pid(), SIGKILL);
  EXPECT_TRUE(stays.expect("disconnected\tdies", nullptr, 5000));
}

// A frozen peer keeps its socket open; only the heartbeat notices.
TEST(PeerEvents, FrozenPeerIsReportedByHeartbeat) {
  int port = bus_test::random_port();
  std::vector<std::string> env = {"WEX_HEARTBEAT_MS=100"};
  Agent stays(agent_args(port, "stays"), env), freezes(agent_args(port, "freezes"), env);
  ASSERT_TRUE(stays.expect("connected\tfreezes"));
  kill(freezes.pid(), SIGSTOP);
  long long start = bus_test::now_ms();
  EXPECT_TRUE(stays.expect("disconnected\tfreezes", nullptr, 8000));
  EXPECT_LT(bus_test::now_ms() - start, 8000);
  kill(freezes.pid(), SIGCONT);
}

// A peer that stops reading must not make the sender buffer without bound.
// The heartbeat is set far off, so only the high-water mark can act here.
// What the sender counted as delivered is either received or told lost.
TEST(PeerEvents, PeerThatStopsReadingIsDroppedAtTheHighWaterMarkAndItsLossIsCounted) {
  int port = bus_test::random_port();
  std::vector<std::string> env = {"WEX_HEARTBEAT_MS=600000"};
  Agent rx(agent_args(port, "rx", {"^(x+)$"}), env);
  Agent tx(agent_args(port, "tx", {"-p", "1", "-s"}), env);
  ASSERT_TRUE(rx.expect("connected\ttx"));
  kill(rx.pid(), SIGSTOP);
  std::string line(1024 * 1024, 'x');
  line += '\n';
  // 100 MiB of deliveries for a reader that takes none: over the 64 MiB mark.
  for (int i = 0; i < 100; ++i) tx.write(line);
  std::string gone;
  ASSERT_TRUE(tx.expect("disconnected\trx", &gone, 30000));
  long counted = 0;
  for (auto &l : tx.skipped()) counted += l == "sent\t1";
  auto fields = split_tabs(gone);
  ASSERT_EQ(fields.size(), 4u) << gone;
  long lost = std::stol(fields[3]);
  EXPECT_GT(lost, 0);
  std::string sent;
  EXPECT_TRUE(tx.expect("sent\t0", &sent, 5000)) << "later messages find nobody";
  kill(rx.pid(), SIGCONT);
  long received = 0;
  std::string got;
  while (rx.expect("msg\ttx\t0\t1\t", &got, 3000)) ++received;
  EXPECT_EQ(received + lost, counted) << received << " received, " << lost << " lost";
}

TEST(Subscriptions, UnbindStopsDeliveriesAtTheSender) {
  bus_test::unbind_stops_deliveries_at_the_sender(":" + std::to_string(bus_test::random_port()));
}

}  // namespace
