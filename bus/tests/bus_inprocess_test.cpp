// The test process itself is an agent, with wexagent processes as peers:
// what only the C interface can show (handles, unbinding from a callback,
// leaving a callback by longjmp).  Every loop runs under a watchdog alarm.
#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <thread>

#include "bus_harness.h"
#include "wex.h"

using bus_test::Agent;

namespace {

std::vector<std::string> peer_args(int port, std::vector<std::string> more = {}) {
  std::vector<std::string> a = {bus_test::tool("wexagent"), "-b", ":" + std::to_string(port), "-n",
                                "peer"};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

std::string bus_of(int port) { return ":" + std::to_string(port); }

void ignore_peers(WexClientPtr, void *, unsigned) {}

// Puts this process on a bus of its own as agent "inproc", bound to pattern
// (when given) before it starts; returns the bus's port.
int join(WexApplicationCallback on_peer, const char *ready = "", WexMsgCallback cb = nullptr,
         const char *pattern = nullptr) {
  int port = bus_test::random_port();
  WexInit("inproc", ready, on_peer, nullptr, nullptr, nullptr);
  if (cb) {
    EXPECT_NE(WexBindMsg(cb, nullptr, "%s", pattern), nullptr) << pattern;
  }
  WexStart(bus_of(port).c_str());
  EXPECT_EQ(WexRunning(), 1);
  return port;
}

// ---- Unbinding a subscription whose delivery is already buffered ----

struct UnbindState {
  WexBindingPtr second = nullptr;
  std::vector<std::string> first_got;
  int second_calls = 0;
};
UnbindState unbind_state;

void first_cb(WexClientPtr, void *, int argc, char **argv) {
  ASSERT_EQ(argc, 1);
  unbind_state.first_got.push_back(argv[0]);
  if (unbind_state.first_got.size() == 1) WexUnbindMsg(unbind_state.second);
  if (unbind_state.first_got.size() == 2) WexStop();
}
void second_cb(WexClientPtr, void *, int, char **) { ++unbind_state.second_calls; }

TEST(InProcess, UnbindInsideADeliveryCancelsOneAlreadyReceived) {
  alarm(20);
  int port = bus_test::random_port();
  WexInit("inproc", "", ignore_peers, nullptr, nullptr, nullptr);
  ASSERT_NE(WexBindMsg(first_cb, nullptr, "^x(\\d)$"), nullptr);
  // Bound second: its delivery of "x1" sits behind the first one's in the
  // same write, so it is buffered when the first callback unbinds it.
  unbind_state.second = WexBindMsg(second_cb, nullptr, "^x(%d)$", 1);
  ASSERT_NE(unbind_state.second, nullptr);
  WexStart(bus_of(port).c_str());
  Agent peer(peer_args(port, {"-p", "1", "-w", "2000"}));
  peer.write("x1\nx2\n");
  WexMainLoop();
  EXPECT_EQ(unbind_state.first_got, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(unbind_state.second_calls, 0);
  WexUnbindMsg(unbind_state.second);  // stale now: a no-op
  WexUnbindMsg(nullptr);
  alarm(0);
}

// ---- Leaving a callback by longjmp ----

jmp_buf jump_out;
std::vector<int> jump_got;
bool jumped = false;

void jumping_cb(WexClientPtr, void *, int argc, char **argv) {
  ASSERT_EQ(argc, 1);
  int n = atoi(argv[0]);
  jump_got.push_back(n);
  if (n == 2 && !jumped) {
    jumped = true;
    longjmp(jump_out, 1);
  }
  if (n == 6) WexStop();
}

TEST(InProcess, LongjmpOutOfADeliveryLosesAndRepeatsNothing) {
  alarm(20);
  int port = join(ignore_peers, "", jumping_cb, "^m(\\d+)$");
  Agent peer(peer_args(port, {"-p", "1", "-w", "2000"}));
  peer.write("m1\nm2\nm3\nm4\nm5\nm6\n");
  if (setjmp(jump_out) == 0) WexMainLoop();
  ASSERT_TRUE(jumped);
  if (jump_got.size() < 6) WexMainLoop();  // the frames left buffered come now
  EXPECT_EQ(jump_got, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  alarm(0);
}

// ---- Deliveries nested deep, from two peers ----

// Every delivery runs a nested loop that delivers the next one, 84 deep: the
// first 64 from peer a, whose input grows into new blocks meanwhile, the rest
// from peer b.  Every level's texts must still be there when its nested loop
// returns, and then the peers' pins all come off.
struct Nesting {
  Agent *b = nullptr;
  int depth = 0, deepest = 0, broken = 0;
};
Nesting nesting;
constexpr int kFromA = 64, kFromB = 20;

void nest(WexClientPtr, void *, int argc, char **argv) {
  std::vector<std::string> texts(argv, argv + argc);
  int level = ++nesting.depth;
  nesting.deepest = std::max(nesting.deepest, level);
  if (level == kFromA) {
    std::string burst;
    for (int i = 0; i < kFromB; ++i)
      burst += "b" + std::to_string(i) + " " + std::string(100, 'y') + "\n";
    nesting.b->write(burst);
  }
  if (level < kFromA + kFromB)
    WexMainLoop();
  else
    WexStop();
  for (int i = 0; i < argc; ++i) nesting.broken += texts[size_t(i)] != argv[i];
  --nesting.depth;
}

TEST(InProcess, DeliveriesNestedDeeperThanSixtyFourKeepTheirTexts) {
  alarm(30);
  int port = join(ignore_peers, "", nest, "^([ab])(\\d+) ([xy]*)$");
  Agent a(bus_test::agent_args(port, "a", {"-p", "2", "-w", "5000"}));
  Agent b(bus_test::agent_args(port, "b", {"-p", "2", "-w", "5000"}));
  nesting = Nesting{&b};
  std::string burst;
  for (int i = 0; i < kFromA; ++i)
    burst += "a" + std::to_string(i) + " " + std::string(3000, 'x') + "\n";
  // From a thread: a reads only once it has met both of us, in our loop.
  std::thread writer([&a, &burst] { a.write(burst); });
  WexMainLoop();
  writer.join();
  EXPECT_EQ(nesting.deepest, kFromA + kFromB);
  EXPECT_EQ(nesting.depth, 0);
  EXPECT_EQ(nesting.broken, 0);
  alarm(0);
}

// ---- Leaving the application callback by longjmp ----

jmp_buf peer_jump;
WexClientPtr jumped_client = nullptr;
int peer_events = 0;
Agent *leaving_peer = nullptr;

void jumping_peers(WexClientPtr client, void *, unsigned event) {
  ++peer_events;
  jumped_client = client;
  (void)event;
  longjmp(peer_jump, 1);
}

TEST(InProcess, LongjmpOutOfPeerEventsKeepsTheAgentWhole) {
  alarm(20);
  int port = join(jumping_peers, "ready inproc");
  Agent peer(peer_args(port, {"^ready (.*)$"}));
  if (setjmp(peer_jump) == 0) WexMainLoop();
  ASSERT_EQ(peer_events, 1);
  // The ready message was queued before the callback left; the loop sends it.
  EXPECT_STREQ(WexGetApplicationName(jumped_client), "peer");
  // Once the loop has run a while (and sent the ready message), the peer
  // leaves: DISCONNECTED, left by longjmp too.
  leaving_peer = &peer;
  TimerRepeatAfter(
      1, 300, [](WexTimerPtr, void *, unsigned long) { leaving_peer->close_input(); }, nullptr);
  if (setjmp(peer_jump) == 0) WexMainLoop();
  ASSERT_EQ(peer_events, 2);
  EXPECT_EQ(WexGetApplicationName(jumped_client), nullptr) << "stale once its callback is over";
  auto lines = peer.rest(5000);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "msg\tinproc\t0\t1\tinproc"), lines.end());
  WexStop();
  alarm(0);
}

// ---- Client handles ----

struct HandleState {
  WexClientPtr client = nullptr;
  std::string name_during, host_during;
  bool stale_after = false;
  int connects = 0;
};
HandleState handles;

void check_stale(WexTimerPtr, void *, unsigned long) {
  handles.stale_after = WexGetApplicationName(handles.client) == nullptr &&
                        WexGetApplicationHost(handles.client) == nullptr;
  WexStop();
}

void watching_peers(WexClientPtr client, void *, unsigned event) {
  if (event == WEX_CLIENT_CONNECTED) {
    handles.client = client;
    ++handles.connects;
    return;
  }
  const char *name = WexGetApplicationName(client);
  const char *host = WexGetApplicationHost(client);
  handles.name_during = name ? name : "(null)";
  handles.host_during = host ? host : "(null)";
  TimerRepeatAfter(1, 1, check_stale, nullptr);
}

TEST(InProcess, ClientHandleIsValidDuringItsDisconnectionAndStaleAfter) {
  alarm(20);
  int port = join(watching_peers);
  Agent peer(peer_args(port, {"-p", "1"}));
  peer.close_input();  // it leaves once it has met us
  WexMainLoop();
  EXPECT_EQ(handles.connects, 1);
  EXPECT_EQ(handles.name_during, "peer");
  EXPECT_EQ(handles.host_during, "127.0.0.1");
  EXPECT_TRUE(handles.stale_after);
  // Foreign values: never issued, or issued by the loop for a timer.
  WexTimerPtr timer = TimerRepeatAfter(1, 100000, check_stale, nullptr);
  EXPECT_EQ(WexGetApplicationName(reinterpret_cast<WexClientPtr>(timer)), nullptr);
  TimerRemove(timer);
  EXPECT_EQ(WexGetApplicationName(nullptr), nullptr);
  EXPECT_EQ(WexGetApplicationHost(reinterpret_cast<WexClientPtr>(uintptr_t(0x1230))), nullptr);
  uintptr_t v = reinterpret_cast<uintptr_t>(handles.client);
  EXPECT_NE(v, 0u);
  EXPECT_EQ(v >> 63, (v >> 62) & 1) << "two highest bits equal";
  alarm(0);
}

void stop_on_connect(WexClientPtr, void *, unsigned event) {
  if (event == WEX_CLIENT_CONNECTED) {
    ++handles.connects;
    WexStop();
  }
}

TEST(InProcess, StartAfterStopJoinsTheBusAgain) {
  alarm(20);
  int port = bus_test::random_port();
  handles = HandleState{};
  WexInit("inproc", "", stop_on_connect, nullptr, nullptr, nullptr);
  Agent peer(peer_args(port));
  WexStart(bus_of(port).c_str());
  WexMainLoop();
  EXPECT_EQ(handles.connects, 1);
  WexStart(bus_of(port).c_str());
  WexMainLoop();
  EXPECT_EQ(handles.connects, 2);
  EXPECT_TRUE(peer.expect("connected\tinproc"));
  EXPECT_TRUE(peer.expect("disconnected\tinproc"));
  EXPECT_TRUE(peer.expect("connected\tinproc"));
  alarm(0);
}

// ---- Flushing before an exit ----

// A child process sends 200 messages when it meets the peer, flushes, and
// leaves by _exit: no stop, no goodbye.  What WexFlush handed over arrives.
void send_then_exit(WexClientPtr, void *, unsigned event) {
  if (event != WEX_CLIENT_CONNECTED) return;
  for (int i = 0; i < 200; ++i) {
    // Formatted, a text between two literals (odd ones), and every fourth a
    // counted text that is not NUL-terminated where it ends.
    std::string digits = std::to_string(i);
    std::string fmt = std::string("n%s") + digits.back();
    std::string counted = "n" + digits + "99";
    digits.pop_back();
    if (i % 4 == 2)
      WexSendText(counted.data(), counted.size() - 2);
    else
      i % 2 ? WexSendMsg(fmt.c_str(), digits.c_str()) : WexSendMsg("n%d", i);
  }
  _exit(WexFlush(5000) == 0 ? 0 : 3);
}

TEST(InProcess, FlushHandsQueuedMessagesOverBeforeAnExit) {
  alarm(30);
  int port = bus_test::random_port();
  Agent peer(bus_test::agent_args(port, "peer", {"-x", "200", "^n(\\d+)$"}));
  pid_t child = fork();
  if (child == 0) {
    alarm(20);
    WexInit("flusher", "", send_then_exit, nullptr, nullptr, nullptr);
    WexStart(bus_of(port).c_str());
    WexMainLoop();
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  int got = 0;
  std::string line;
  while (got < 200 && peer.expect("msg\tflusher\t0\t1\t", &line, 10000)) {
    EXPECT_EQ(line, "msg\tflusher\t0\t1\t" + std::to_string(got));
    ++got;
  }
  EXPECT_EQ(got, 200);
  alarm(0);
}

std::vector<std::string> logged;
void keep_line(const char *line, void *) { logged.push_back(line); }

// Every refusal is one line on the log and the caller's WexLastError(); a
// refused bus leaves the agent visibly off it.
TEST(InProcess, BadInputIsRefusedWithAReasonAndWithoutHarm) {
  alarm(20);
  WexSetLogHandler(keep_line, nullptr);
  auto refused = [](const std::string &what) {
    std::string reason = WexLastError();
    bool found =
        reason.find(what) != std::string::npos && !logged.empty() && logged.back() == reason;
    logged.clear();
    return found ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << reason;
  };
  WexInit("inproc", "", ignore_peers, nullptr, nullptr, nullptr);
  EXPECT_EQ(WexBindMsg(first_cb, nullptr, "(unclosed"), nullptr);
  EXPECT_TRUE(refused("pattern \"(unclosed\" refused: missing )"));
  EXPECT_EQ(WexChannelAdd(-1, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_TRUE(refused("negative descriptor"));
  EXPECT_EQ(TimerRepeatAfter(1, 1, nullptr, nullptr), nullptr);
  EXPECT_TRUE(refused("no callback"));
  for (const char *bus : {"not a bus", "127.0.0.1:4000"}) {
    WexStart(bus);
    EXPECT_EQ(WexRunning(), 0) << bus;
    EXPECT_TRUE(refused(bus));
  }
  EXPECT_EQ(WexSendMsg("nobody %s", "hears"), 0);
  WexMainLoop();  // nothing to wait for: returns at once
  int port = bus_test::random_port();
  WexStart(bus_of(port).c_str());
  EXPECT_EQ(WexRunning(), 1);
  WexStart(bus_of(port + 1).c_str());  // already running: changes nothing
  EXPECT_TRUE(refused("already on bus 127.255.255.255:" + std::to_string(port)));
  EXPECT_EQ(WexRunning(), 1);
  std::string big(WEX_MAX_MESSAGE + 1, 'x');
  EXPECT_EQ(WexSendMsg("%s", big.c_str()), -1);
  EXPECT_TRUE(refused("refused, the limit is"));
  EXPECT_EQ(WexSendText(big.data(), big.size()), -1);
  EXPECT_TRUE(refused("refused, the limit is"));
  EXPECT_EQ(WexSendText("a\0b", 3), -1);
  EXPECT_TRUE(refused("holds a NUL byte"));
  EXPECT_EQ(WexSendText(big.data(), big.size() - 1), 0);
  big.pop_back();
  EXPECT_EQ(WexSendMsg("%s", big.c_str()), 0);
  big.pop_back();
  EXPECT_EQ(WexSendMsg("<%s>", big.c_str()), -1);
  EXPECT_TRUE(refused("refused, the limit is"));
  big.pop_back();
  EXPECT_EQ(WexSendMsg("<%s>", big.c_str()), 0);
  WexSetLogHandler(nullptr, nullptr);  // silenced: the reason is still there
  EXPECT_EQ(WexBindMsg(first_cb, nullptr, "("), nullptr);
  EXPECT_TRUE(logged.empty());
  EXPECT_NE(std::string(WexLastError()).find("missing )"), std::string::npos);
  WexStop();
  EXPECT_EQ(WexRunning(), 0);
  WexStop();  // harmless off the bus
  alarm(0);
}

}  // namespace
