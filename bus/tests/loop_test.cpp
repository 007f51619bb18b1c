// The loop through its public interface: timers, channels, handles, and the
// non-local exits and nested calls that the OCaml binding relies on.  Every
// wait is bounded by an alarm (a stuck loop kills the test); no assertion
// depends on timing beyond lower bounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "wex.h"

namespace {

class Loop : public ::testing::Test {
 protected:
  void SetUp() override { alarm(10); }
  void TearDown() override { alarm(0); }
};

struct Pipe {
  int read_end = -1, write_end = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    read_end = fds[0];
    write_end = fds[1];
  }
  ~Pipe() {
    if (read_end >= 0) close(read_end);
    if (write_end >= 0) close(write_end);
  }
  void put(const std::string &text) const {
    ASSERT_EQ(write(write_end, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void close_writer() {
    close(write_end);
    write_end = -1;
  }
};

uint64_t bits(const void *handle) { return reinterpret_cast<uintptr_t>(handle); }

// ---- Timers ------------------------------------------------------------------

struct Fired {
  std::vector<int> order;
  std::vector<unsigned long> thirds;
  std::vector<WexTimerPtr> handles;
};

int64_t now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

struct TimerProbe {
  Fired *log;
  int id;
};

void record_timer(WexTimerPtr timer, void *user_data, unsigned long third) {
  auto *probe = static_cast<TimerProbe *>(user_data);
  probe->log->order.push_back(probe->id);
  probe->log->thirds.push_back(third);
  probe->log->handles.push_back(timer);
}

// The last wait (20 to 60 ms) is long enough for the poller's own timer.
TEST_F(Loop, TimersFireInDueOrderThenTheLoopEnds) {
  Fired log;
  TimerProbe slow{&log, 30}, fast{&log, 10}, middle{&log, 20}, middle_too{&log, 21};
  int64_t start = now_ms();
  TimerRepeatAfter(1, 60, record_timer, &slow);
  WexTimerPtr fast_timer = TimerRepeatAfter(1, 10, record_timer, &fast);
  TimerRepeatAfter(1, 20, record_timer, &middle);
  TimerRepeatAfter(1, 20, record_timer, &middle_too);
  WexMainLoop();  // returns by itself: nothing is left
  int64_t took = now_ms() - start;
  EXPECT_GE(took, 60);
  EXPECT_LT(took, 1000);
  EXPECT_EQ(log.order, (std::vector<int>{10, 20, 21, 30}));
  EXPECT_EQ(log.handles[0], fast_timer);
  EXPECT_EQ(log.thirds, (std::vector<unsigned long>{1, 1, 1, 1}));
}

TEST_F(Loop, CountedTimerFiresExactlyCountTimes) {
  Fired log;
  TimerProbe probe{&log, 1};
  WexTimerPtr timer = TimerRepeatAfter(3, 1, record_timer, &probe);
  WexMainLoop();
  EXPECT_EQ(log.thirds, (std::vector<unsigned long>{1, 2, 3}));
  EXPECT_EQ(log.handles, (std::vector<WexTimerPtr>(3, timer)));
  TimerRemove(timer);  // ended by itself: a no-op
}

struct SelfRemover {
  int fired = 0;
  int remove_at;
};

void remove_self(WexTimerPtr timer, void *user_data, unsigned long third) {
  auto *state = static_cast<SelfRemover *>(user_data);
  EXPECT_EQ(third, static_cast<unsigned long>(++state->fired));
  if (state->fired == state->remove_at) {
    TimerRemove(timer);
    TimerRemove(timer);
  }
}

TEST_F(Loop, TimerRemovedInsideItsOwnCallback) {
  SelfRemover repeating{0, 4}, idle{0, 3};
  WexTimerPtr a = TimerRepeatAfter(0, 1, remove_self, &repeating);
  WexTimerPtr b = TimerRepeatAfter(-1, 0, remove_self, &idle);
  WexMainLoop();
  EXPECT_EQ(repeating.fired, 4);
  EXPECT_EQ(idle.fired, 3);
  TimerRemove(a);
  TimerRemove(b);
}

TEST_F(Loop, ManyTimers) {
  constexpr int kTimers = 2000;
  static int fired[kTimers];
  struct Many {
    static void on(WexTimerPtr, void *user_data, unsigned long third) {
      int i = static_cast<int>(reinterpret_cast<intptr_t>(user_data));
      EXPECT_EQ(third, static_cast<unsigned long>(++fired[i]));
    }
  };
  std::vector<WexTimerPtr> handles;
  for (int i = 0; i < kTimers; ++i)
    handles.push_back(
        TimerRepeatAfter(3, 1 + i % 7, Many::on, reinterpret_cast<void *>(intptr_t{i})));
  for (int i = 0; i < kTimers; i += 2) TimerRemove(handles[i]);  // half removed before any fired
  WexMainLoop();
  for (int i = 0; i < kTimers; ++i) ASSERT_EQ(fired[i], i % 2 ? 3 : 0) << "timer " << i;
}

// A loop more than a period behind fires once, then goes on from the schedule.
struct Behind {
  int fired = 0;
  int64_t at[4];
};

void fall_behind(WexTimerPtr timer, void *user_data, unsigned long) {
  auto *state = static_cast<Behind *>(user_data);
  state->at[state->fired++] = now_ms();
  if (state->fired == 1) usleep(100 * 1000);  // ten periods late
  if (state->fired == 4) TimerRemove(timer);
}

TEST_F(Loop, TimerBehindSkipsMissedExpiries) {
  Behind state;
  TimerRepeatAfter(0, 10, fall_behind, &state);
  WexMainLoop();
  ASSERT_EQ(state.fired, 4);
  // A burst would fire 2, 3 and 4 at once; skipping keeps them a period apart.
  EXPECT_GE(state.at[3] - state.at[1], 9);
}

// ---- Channels ----------------------------------------------------------------

struct Reader {
  std::string text;
  int calls = 0, eof = 0, deleted = 0;
  WexChannelPtr channel = nullptr;
  int fd = -1;
  bool remove_on_eof = true;
};

bool inside_remove = false;

void count_delete(void *user_data) {
  EXPECT_FALSE(inside_remove) << "on_delete ran inside WexChannelRemove";
  ++static_cast<Reader *>(user_data)->deleted;
}

void remove_channel(WexChannelPtr channel) {
  inside_remove = true;
  WexChannelRemove(channel);
  inside_remove = false;
}

void read_some(WexChannelPtr channel, int fd, void *user_data) {
  auto *reader = static_cast<Reader *>(user_data);
  EXPECT_EQ(channel, reader->channel);
  EXPECT_EQ(fd, reader->fd);
  ++reader->calls;
  char buffer[3];  // small, so that one text takes several calls
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    reader->text.append(buffer, n);
  } else if (n == 0) {
    ++reader->eof;
    if (reader->remove_on_eof) remove_channel(channel);
  }
}

WexChannelPtr watch(Reader &reader, int fd) {
  reader.fd = fd;
  reader.channel = WexChannelAdd(fd, &reader, count_delete, read_some, read_some);
  return reader.channel;
}

TEST_F(Loop, ChannelReadsPipeUntilHangUp) {
  Pipe pipe;
  Reader reader;
  ASSERT_NE(watch(reader, pipe.read_end), nullptr);
  pipe.put("hello, ");
  pipe.put("loop");
  pipe.close_writer();
  WexMainLoop();  // ends once the channel removed itself at end of file
  EXPECT_EQ(reader.text, "hello, loop");
  EXPECT_EQ(reader.eof, 1);
  EXPECT_EQ(reader.deleted, 1);
  WexChannelRemove(reader.channel);  // stale: no second on_delete
  EXPECT_EQ(reader.deleted, 1);
  EXPECT_NE(fcntl(pipe.read_end, F_GETFD), -1);  // never closed by the loop
}

// Whichever handler runs first removes both channels: the other one, whose
// event is in the same batch, is never called.
TEST_F(Loop, ChannelRemovedInsideAHandlerGetsNoEventOfTheSameBatch) {
  Pipe a, b;
  static Reader readers[2];
  readers[0] = Reader{};
  readers[1] = Reader{};
  struct Handler {
    static void on(WexChannelPtr self, int fd, void *user_data) {
      auto *reader = static_cast<Reader *>(user_data);
      char c;
      EXPECT_EQ(read(fd, &c, 1), 1);
      ++reader->calls;
      remove_channel(readers[reader == &readers[0] ? 1 : 0].channel);
      remove_channel(self);
      EXPECT_EQ(reader->deleted, 0);  // not yet: from the loop, later
    }
  };
  a.put("x");
  b.put("y");
  for (int i = 0; i < 2; ++i) {
    readers[i].fd = i ? b.read_end : a.read_end;
    readers[i].channel =
        WexChannelAdd(readers[i].fd, &readers[i], count_delete, Handler::on, nullptr);
  }
  WexMainLoop();
  EXPECT_EQ(readers[0].calls + readers[1].calls, 1);
  EXPECT_EQ(readers[0].deleted, 1);
  EXPECT_EQ(readers[1].deleted, 1);
}

// Two channels on one descriptor share its registration.  A removes B and
// adds C on the same descriptor (C takes B's slot): B is not called for the
// event already fetched, nor is C, which is served from the next iteration.
struct Shared {
  std::string seen;
  int fd;
  WexChannelPtr a, b, c;
};
Shared shared;

void shared_c(WexChannelPtr channel, int fd, void *) {
  shared.seen += 'C';
  char byte;
  EXPECT_EQ(read(fd, &byte, 1), 1);
  WexChannelRemove(channel);
}

void shared_b(WexChannelPtr, int, void *) { shared.seen += 'B'; }

void shared_a(WexChannelPtr channel, int, void *) {
  shared.seen += 'A';
  if (shared.seen.size() == 1) {
    WexChannelRemove(shared.b);
    shared.c = WexChannelAdd(shared.fd, nullptr, nullptr, shared_c, nullptr);
  } else {
    WexChannelRemove(channel);
  }
}

TEST_F(Loop, TwoChannelsOnOneDescriptor) {
  Pipe pipe;
  pipe.put("x");
  shared = Shared{"", pipe.read_end, nullptr, nullptr, nullptr};
  shared.a = WexChannelAdd(pipe.read_end, nullptr, nullptr, shared_a, nullptr);
  shared.b = WexChannelAdd(pipe.read_end, nullptr, nullptr, shared_b, nullptr);
  ASSERT_NE(shared.b, nullptr);
  WexMainLoop();
  EXPECT_EQ(shared.seen, "AAC");
}

TEST_F(Loop, RegularFileIsAlwaysReadable) {
  char path[] = "/tmp/wex-loop-test-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);
  ASSERT_EQ(write(fd, "from a file", 11), 11);
  lseek(fd, 0, SEEK_SET);
  Reader reader;
  ASSERT_NE(watch(reader, fd), nullptr);
  WexMainLoop();
  EXPECT_EQ(reader.text, "from a file");
  EXPECT_EQ(reader.eof, 1);
  EXPECT_EQ(reader.deleted, 1);
  close(fd);
}

TEST_F(Loop, BadDescriptorsAreRefusedWithAReason) {
  Reader reader;
  testing::internal::CaptureStderr();
  EXPECT_EQ(WexChannelAdd(-1, &reader, count_delete, read_some, nullptr), nullptr);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(WexChannelAdd(fds[0], &reader, count_delete, read_some, nullptr), nullptr);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("WexChannelAdd"), std::string::npos) << said;
  EXPECT_NE(said.find("-1"), std::string::npos) << said;
  EXPECT_NE(said.find(std::to_string(fds[0])), std::string::npos) << said;
  WexMainLoop();  // nothing was left behind
  EXPECT_EQ(reader.deleted, 0);
}

TEST_F(Loop, OnDeleteRunsFromTheLoopBeforeItReturns) {
  Pipe pipe;
  Reader reader;
  watch(reader, pipe.read_end);
  remove_channel(reader.channel);
  EXPECT_EQ(reader.deleted, 0);
  WexMainLoop();
  EXPECT_EQ(reader.deleted, 1);
  EXPECT_EQ(reader.calls, 0);
}

// A period-0 timer runs once per iteration, after the descriptors: a pipe that
// stays readable and the timer take turns, neither starves the other.
struct Turns {
  std::string seen;
  WexChannelPtr channel;
  WexTimerPtr timer;
};

void busy_read(WexChannelPtr channel, int fd, void *user_data) {
  auto *turns = static_cast<Turns *>(user_data);
  char c;
  EXPECT_EQ(read(fd, &c, 1), 1);
  turns->seen += 'R';
  if (turns->seen.size() > 40) WexChannelRemove(channel);
}

void idle_turn(WexTimerPtr timer, void *user_data, unsigned long third) {
  auto *turns = static_cast<Turns *>(user_data);
  turns->seen += 'I';
  if (third == 20) TimerRemove(timer);
}

TEST_F(Loop, IdleTimerAndBusyPipeTakeTurns) {
  Pipe pipe;
  pipe.put(std::string(100, 'x'));  // readable for far longer than the test
  Turns turns;
  turns.channel = WexChannelAdd(pipe.read_end, &turns, nullptr, busy_read, nullptr);
  turns.timer = TimerRepeatAfter(0, 0, idle_turn, &turns);
  WexMainLoop();
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "RI";
  EXPECT_EQ(turns.seen, expected + "R");
}

// ---- Handles -----------------------------------------------------------------

void never_called(WexTimerPtr, void *, unsigned long) { ADD_FAILURE() << "removed timer fired"; }

TEST_F(Loop, StaleAndForeignHandlesAreIgnored) {
  Fired log;
  TimerProbe probe{&log, 7};
  WexTimerPtr timer = TimerRepeatAfter(2, 1, record_timer, &probe);
  WexTimerPtr removed = TimerRepeatAfter(0, 1, never_called, nullptr);
  Pipe pipe;
  Reader reader;
  WexChannelPtr channel = watch(reader, pipe.read_end);
  for (uint64_t handle : {bits(timer), bits(removed), bits(channel)}) {
    uint64_t top = handle >> 62;
    EXPECT_TRUE(top == 0 || top == 3) << std::hex << handle;
    EXPECT_NE(handle, 0u);
  }
  TimerRemove(removed);
  TimerRemove(removed);
  int local;
  TimerRemove(nullptr);
  TimerRemove(reinterpret_cast<WexTimerPtr>(&local));
  TimerRemove(reinterpret_cast<WexTimerPtr>(uintptr_t{0x123456789}));
  TimerRemove(reinterpret_cast<WexTimerPtr>(channel));  // another kind
  WexChannelRemove(nullptr);
  WexChannelRemove(reinterpret_cast<WexChannelPtr>(&local));
  WexChannelRemove(reinterpret_cast<WexChannelPtr>(timer));
  WexChannelRemove(reinterpret_cast<WexChannelPtr>(~uintptr_t{0}));
  // A new timer reuses the removed one's slot under a new value.
  WexTimerPtr reused = TimerRepeatAfter(1, 1, record_timer, &probe);
  EXPECT_NE(reused, removed);
  TimerRemove(removed);
  remove_channel(channel);
  WexMainLoop();
  EXPECT_EQ(log.order.size(), 3u);  // timer twice, reused once
  EXPECT_EQ(reader.deleted, 1);
  TimerRemove(timer);
  TimerRemove(reused);
}

// A removed timer's slot goes to a timer of the other sort: what is left of
// the first one in the loop's schedule must not reach the second.
struct Reuse {
  int64_t until;
  int fired = 0;
};

void idle_until(WexTimerPtr timer, void *user_data, unsigned long third) {
  auto *reuse = static_cast<Reuse *>(user_data);
  EXPECT_EQ(third, static_cast<unsigned long>(++reuse->fired));
  if (now_ms() > reuse->until) TimerRemove(timer);
}

TEST_F(Loop, ReusedTimerSlotKeepsNothingOfItsPreviousTimer) {
  Fired log;
  TimerProbe probe{&log, 1};
  TimerRemove(TimerRepeatAfter(0, 2, never_called, nullptr));
  // Freed slots come back once enough others wait behind them: in a process
  // of its own (as CTest runs each case), after 64 idle timers (which leave
  // nothing in the heap) the next timer takes the slot of the one removed
  // first, whose heap entry is still there, due in 2 ms.
  for (int i = 0; i < 64; ++i) TimerRemove(TimerRepeatAfter(0, 0, never_called, nullptr));
  Reuse reuse{now_ms() + 20};
  TimerRepeatAfter(0, 0, idle_until, &reuse);  // runs past the removed timer's due time
  TimerRepeatAfter(3, 5, record_timer, &probe);
  WexMainLoop();
  EXPECT_GT(reuse.fired, 1);
  EXPECT_EQ(log.thirds, (std::vector<unsigned long>{1, 2, 3}));
}

// ---- Non-local exits -----------------------------------------------------------

jmp_buf escape;

struct Leaver {
  std::vector<unsigned long> thirds;
  unsigned long leave_at;
};

void leave_timer(WexTimerPtr timer, void *user_data, unsigned long third) {
  auto *state = static_cast<Leaver *>(user_data);
  state->thirds.push_back(third);
  if (third == 6) TimerRemove(timer);
  if (third == state->leave_at || third == state->leave_at + 2) longjmp(escape, 1);
}

TEST_F(Loop, TimerCallbackLeftByLongjmpResumes) {
  Leaver state{{}, 2};
  Leaver last{{}, 3};  // leaves from its very last expiry
  TimerRepeatAfter(0, 1, leave_timer, &state);
  TimerRepeatAfter(3, 1, leave_timer, &last);
  static int exits;
  exits = 0;
  if (setjmp(escape)) ++exits;
  WexMainLoop();
  EXPECT_EQ(exits, 3);
  EXPECT_EQ(state.thirds, (std::vector<unsigned long>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(last.thirds, (std::vector<unsigned long>{1, 2, 3}));  // ended despite leaving
}

// Three readable pipes in one batch; the first handler leaves.  The next
// WexMainLoop goes on with the other two, not with a new batch.
struct Batch {
  std::vector<int> served;
  WexChannelPtr channels[3];
  int fds[3];
  int left = 0;
};
Batch batch;

void leave_channel(WexChannelPtr channel, int fd, void *user_data) {
  int id = static_cast<int>(reinterpret_cast<intptr_t>(user_data));
  EXPECT_EQ(channel, batch.channels[id]);
  batch.served.push_back(id);
  if (batch.served.size() == 1) {
    ++batch.left;
    longjmp(escape, 1);  // leaves its byte unread: the channel stays readable
  }
  char c;
  EXPECT_EQ(read(fd, &c, 1), 1);
  WexChannelRemove(channel);
}

TEST_F(Loop, ChannelHandlerLeftByLongjmpResumesTheBatch) {
  Pipe pipes[3];
  batch = Batch{};
  for (int i = 0; i < 3; ++i) {
    pipes[i].put("!");
    batch.fds[i] = pipes[i].read_end;
    batch.channels[i] = WexChannelAdd(pipes[i].read_end, reinterpret_cast<void *>(intptr_t{i}),
                                      nullptr, leave_channel, nullptr);
  }
  setjmp(escape);
  WexMainLoop();
  EXPECT_EQ(batch.left, 1);
  ASSERT_EQ(batch.served.size(), 4u);
  // The two other events of the batch come first, then the one whose handler
  // left, once more because its byte is still there.
  EXPECT_NE(batch.served[1], batch.served[0]);
  EXPECT_NE(batch.served[2], batch.served[0]);
  EXPECT_NE(batch.served[1], batch.served[2]);
  EXPECT_EQ(batch.served[3], batch.served[0]);
}

// ---- Nesting -------------------------------------------------------------------

struct Nest {
  int ticks = 0;
  bool inner_returned = false;
  WexTimerPtr ticker = nullptr;
};

void tick(WexTimerPtr, void *user_data, unsigned long third) {
  auto *nest = static_cast<Nest *>(user_data);
  ++nest->ticks;
  if (third == 3) WexStop();
}

void run_nested(WexTimerPtr, void *user_data, unsigned long) {
  auto *nest = static_cast<Nest *>(user_data);
  WexMainLoop();
  nest->inner_returned = true;
}

TEST_F(Loop, NestedLoopAndStopEndEveryLevel) {
  Nest nest;
  TimerRepeatAfter(1, 1, run_nested, &nest);
  nest.ticker = TimerRepeatAfter(0, 2, tick, &nest);
  WexMainLoop();  // the stop in the inner call ends this one too
  EXPECT_TRUE(nest.inner_returned);
  EXPECT_EQ(nest.ticks, 3);
  TimerRemove(nest.ticker);
}

TEST_F(Loop, NestedLoopReturnsWhenNothingIsLeft) {
  Nest nest;
  TimerRepeatAfter(1, 1, run_nested, &nest);
  TimerRepeatAfter(2, 2, tick, &nest);
  WexMainLoop();
  EXPECT_TRUE(nest.inner_returned);
  EXPECT_EQ(nest.ticks, 2);
}

// ---- The loop embedded in another ----------------------------------------------

bool readable_now(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// A loop of the program's own waits on the descriptor with the timeout and
// steps: timers and channels are served as by WexMainLoop, and work made
// outside a step makes the descriptor readable.
TEST_F(Loop, EmbeddedLoopStepsThroughDescriptorAndTimeout) {
  int fd = WexLoopDescriptor();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(WexLoopTimeout(), -1) << "nothing to wait for";
  Fired log;
  TimerProbe probe{&log, 1};
  TimerRepeatAfter(3, 5, record_timer, &probe);
  EXPECT_TRUE(readable_now(fd)) << "a new timer must wake a loop waiting elsewhere";
  Pipe pipe;
  Reader reader;
  watch(reader, pipe.read_end);
  pipe.put("embedded");
  pipe.close_writer();
  int steps = 0;
  for (int timeout; (timeout = WexLoopTimeout()) != -1 && steps < 1000; ++steps) {
    EXPECT_LE(timeout, 5);
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, timeout);
    WexLoopStep();
  }
  EXPECT_EQ(log.thirds, (std::vector<unsigned long>{1, 2, 3}));
  EXPECT_EQ(reader.text, "embedded");
  EXPECT_EQ(reader.deleted, 1);
  EXPECT_LT(steps, 1000);
}

// ---- Wait hooks and signals ------------------------------------------------------

struct Hooks {
  int before = 0, after = 0, resumed = 0;
  bool inside = false;
};
volatile sig_atomic_t got_usr1 = 0;

void before_wait(void *h) {
  auto *hooks = static_cast<Hooks *>(h);
  EXPECT_FALSE(hooks->inside);
  hooks->inside = true;
  ++hooks->before;
}
void after_wait(void *h) {
  auto *hooks = static_cast<Hooks *>(h);
  EXPECT_TRUE(hooks->inside);
  hooks->inside = false;
  ++hooks->after;
}
void stop_on_signal(void *h) {
  ++static_cast<Hooks *>(h)->resumed;
  if (got_usr1) WexStop();
}
void on_usr1(int) { got_usr1 = 1; }

// The resume hook runs after every wait, here once after a short timer's
// and once after the wait a signal ends, where it stops an idle loop at once.
TEST_F(Loop, SignalDuringAWaitRunsTheResumeHook) {
  struct sigaction action {};
  action.sa_handler = on_usr1;  // no SA_RESTART: the wait is interrupted
  sigaction(SIGUSR1, &action, nullptr);
  Hooks hooks;
  WexSetWaitHooks(before_wait, after_wait, stop_on_signal, &hooks);
  WexTimerPtr far = TimerRepeatAfter(0, 5000, never_called, nullptr);
  Fired log;
  TimerProbe soon{&log, 1};
  TimerRepeatAfter(1, 30, record_timer, &soon);
  pthread_t main_thread = pthread_self();
  std::thread signaller([main_thread] {
    usleep(100000);
    pthread_kill(main_thread, SIGUSR1);
  });
  int64_t start = now_ms();
  WexMainLoop();
  int64_t took = now_ms() - start;
  signaller.join();
  WexSetWaitHooks(nullptr, nullptr, nullptr, nullptr);
  TimerRemove(far);
  EXPECT_EQ(log.order, std::vector<int>{1});
  EXPECT_GE(hooks.resumed, 2);
  EXPECT_LT(took, 4000) << "the loop waited for its timer instead";
  EXPECT_GE(hooks.before, 1);
  EXPECT_EQ(hooks.before, hooks.after);
  EXPECT_FALSE(hooks.inside);
}

}  // namespace
