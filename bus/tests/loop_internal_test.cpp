// The loop's internal interface, which the bus builds on: io watches with
// write interest, the prepare hook, the stop hook.  These functions are hidden
// in libwex.so, so this program compiles the loop's own sources in (its copy
// of the public functions takes precedence over the library's).
#include <gtest/gtest.h>
#include <setjmp.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "loop/loop.h"
#include "loop/timer_heap.h"
#include "wex.h"

namespace {

class LoopInternal : public ::testing::Test {
 protected:
  void SetUp() override { alarm(10); }
  void TearDown() override {
    alarm(0);
    wex::loop_set_prepare(nullptr, nullptr);
  }
};

struct Writer {
  std::vector<unsigned> events;
  wex::IoWatch *watch = nullptr;
  int reader = -1;
};

void on_writable(void *ctx, unsigned events) {
  auto *writer = static_cast<Writer *>(ctx);
  writer->events.push_back(events);
  if (writer->events.size() == 3) {
    // Stop asking for write; the hang-up still comes through as an error.
    wex::loop_io_modify(writer->watch, wex::kIoRead);
    close(writer->reader);
  } else if (events & wex::kIoError) {
    wex::loop_io_remove(writer->watch);
    wex::loop_io_remove(writer->watch);
  }
}

TEST_F(LoopInternal, IoWatchReportsWriteThenErrorAfterModify) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Writer writer;
  writer.reader = fds[0];
  writer.watch = wex::loop_io_add(fds[1], wex::kIoWrite, on_writable, &writer);
  ASSERT_NE(writer.watch, nullptr);
  WexMainLoop();  // ends once the watch is removed
  using wex::kIoError;
  using wex::kIoWrite;
  EXPECT_EQ(writer.events, (std::vector<unsigned>{kIoWrite, kIoWrite, kIoWrite, kIoError}));
  close(fds[1]);
}

TEST_F(LoopInternal, IoWatchRefusesWhatEpollRefuses) {
  FILE *file = tmpfile();
  testing::internal::CaptureStderr();
  EXPECT_EQ(wex::loop_io_add(fileno(file), wex::kIoRead, on_writable, nullptr), nullptr);
  EXPECT_EQ(wex::loop_io_add(-1, wex::kIoRead, on_writable, nullptr), nullptr);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("loop_io_add"), std::string::npos) << said;
  fclose(file);
  // A foreign value is ignored, a channel handle is not an io watch.
  wex::loop_io_remove(nullptr);
  wex::loop_io_modify(reinterpret_cast<wex::IoWatch *>(uintptr_t{0x1234}), wex::kIoWrite);
}

// The hook keeps an idle descriptor's loop from blocking while it says it is
// busy; a hook that leaves by longjmp counts as busy.
struct Hook {
  int calls = 0;
  WexChannelPtr idle = nullptr;
};
jmp_buf escape;

bool busy_for_a_while(void *ctx) {
  auto *hook = static_cast<Hook *>(ctx);
  ++hook->calls;
  if (hook->calls == 1) longjmp(escape, 1);
  if (hook->calls < 6) return true;
  WexChannelRemove(hook->idle);
  return false;
}

TEST_F(LoopInternal, PrepareHookRunsEachIterationAndPreventsBlocking) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Hook hook;
  hook.idle = WexChannelAdd(fds[0], nullptr, nullptr, nullptr, nullptr);  // never readable
  wex::loop_set_prepare(busy_for_a_while, &hook);
  static int exits;
  exits = 0;
  if (setjmp(escape)) ++exits;
  WexMainLoop();
  EXPECT_EQ(exits, 1);
  EXPECT_EQ(hook.calls, 6);
  close(fds[0]);
  close(fds[1]);
}

// The timer heap under a random mix of what the loop does to it: pushes,
// reschedules of the top (later, as an expiry does), pops, and a rebuild that
// drops entries.  The heap order holds throughout, and draining it yields
// (due, order) sorted.
TEST_F(LoopInternal, TimerHeapKeepsItsOrder) {
  wex::TimerHeap heap;
  std::mt19937 random(2026);
  uint32_t order = 0;
  auto ordered = [&heap] {
    const auto &e = heap.entries();
    for (size_t i = 1; i < e.size(); ++i)
      if (wex::earlier(e[i], e[(i - 1) / 2])) return false;
    return true;
  };
  for (int step = 0; step < 4000; ++step) {
    unsigned choice = random() % 4;
    if (heap.empty() || choice < 2) {
      heap.push(wex::HeapEntry{int64_t(random() % 500), order++, 0});
    } else if (choice == 2) {
      heap.delay_top(heap.top().due_ms + 1 + random() % 100);
    } else {
      heap.pop();
    }
    if (step == 2000) heap.rebuild([](const wex::HeapEntry &e) { return e.order % 3 != 0; });
    if (step % 50 == 0) {
      ASSERT_TRUE(ordered()) << "step " << step;
    }
  }
  std::vector<wex::HeapEntry> drained;
  while (!heap.empty()) {
    drained.push_back(heap.top());
    heap.pop();
  }
  EXPECT_GT(drained.size(), 400u);
  for (size_t i = 1; i < drained.size(); ++i)
    ASSERT_FALSE(wex::earlier(drained[i], drained[i - 1])) << "at " << i;
}

void request_stop(WexTimerPtr, void *fired, unsigned long) {
  ++*static_cast<int *>(fired);
  wex::loop_request_stop();
}
void count_fires(WexTimerPtr, void *fired, unsigned long) { ++*static_cast<int *>(fired); }

TEST_F(LoopInternal, StopRequestEndsOnlyTheLoopThatRuns) {
  int fired = 0;
  wex::loop_request_stop();  // nothing runs: no later call may end for it
  TimerRepeatAfter(3, 1, count_fires, &fired);
  WexMainLoop();
  EXPECT_EQ(fired, 3);
  fired = 0;
  WexTimerPtr timer = TimerRepeatAfter(0, 1, request_stop, &fired);
  WexMainLoop();
  EXPECT_EQ(fired, 1);
  TimerRemove(timer);
  int64_t before = wex::loop_now_ms();
  usleep(2000);
  EXPECT_GE(wex::loop_now_ms() - before, 2);
}

}  // namespace
