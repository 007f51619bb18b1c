// The event loop: one iteration runs the delete handlers of removed channels,
// the prepare hook, a poll, the dispatch of the batch, the timers due, then
// the idle timers; timers.cpp and watches.cpp keep the positions within the
// last three.
//
// Every callback may leave by longjmp (an OCaml exception does), so no frame
// that calls one holds anything that needs a destructor, and all dispatch
// state lives in loop structures: the phase of the current iteration here,
// the batch and the timer pass in their own files.  Each position is
// advanced before its callback is called, and WexMainLoop is one state
// machine that any call, nested or after an abandoned one, simply resumes.
// Hence no "running" flag: a nested call goes on with the same pending work.
#include "loop/loop.h"

#include "base/immortal.h"
#include "loop/poller.h"
#include "loop/timers.h"
#include "loop/watches.h"
#include "wex.h"

namespace wex {
namespace {

enum class Phase { kStart, kPoll, kDispatch, kTimers, kIdle };

struct Loop {
  Phase phase = Phase::kStart;
  PrepareHook prepare = nullptr;
  void *prepare_ctx = nullptr;
  bool prepare_busy = false;
  uint64_t stop_requests = 0;
  WaitHooks hooks;
};

constinit Immortal<Loop> storage;
Loop &loop = storage.value;

bool alive() {
  return watches_alive() || timers_alive() || watches_delete_pending() || loop.prepare_busy;
}

int poll_timeout(int64_t *due_ms = nullptr) {
  if (due_ms) *due_ms = kNoDue;
  if (loop.prepare_busy || timers_idle() || watches_always_ready() || watches_delete_pending())
    return 0;
  return timers_wait_ms(due_ms);
}

}  // namespace

void loop_set_prepare(PrepareHook hook, void *ctx) {
  loop.prepare = hook;
  loop.prepare_ctx = ctx;
  if (!hook) loop.prepare_busy = false;
}

void loop_request_stop() {
  ++loop.stop_requests;
  loop_wake();  // a loop embedded elsewhere steps, and sees the agent gone
}

}  // namespace wex

using namespace wex;

namespace {

// WexMainLoop, or with one_step a single iteration that never blocks
// (WexLoopStep): the same state machine either way.
void run(bool one_step) {
  // A stop requested from here on ends this call; one made before it does not.
  const uint64_t stop_requests = loop.stop_requests;
  for (;;) {
    if (loop.stop_requests != stop_requests) {
      // Deletions promised "before WexMainLoop returns"; the iteration itself
      // stays where it is for the next call.
      while (watches_run_delete()) {
      }
      return;
    }
    switch (loop.phase) {
      case Phase::kStart:
        if (watches_run_delete()) continue;
        loop.phase = Phase::kPoll;
        if (loop.prepare) {
          // Busy unless it says otherwise: if it never returns, the next
          // iteration must not block on input it left buffered.
          loop.prepare_busy = true;
          loop.prepare_busy = loop.prepare(loop.prepare_ctx);
        }
        continue;
      case Phase::kPoll: {
        int64_t due_ms = kNoDue;
        int timeout_ms = one_step ? 0 : poll_timeout(&due_ms);
        Fetch fetched = alive() ? watches_fetch(timeout_ms, due_ms, loop.hooks) : Fetch::kFailed;
        if (fetched == Fetch::kFailed) {
          loop.phase = Phase::kStart;
          return;
        }
        loop.phase = Phase::kDispatch;
        // Back from a wait: what became pending meanwhile (a signal's
        // handler) may run now, and may stop the loop or leave it by
        // longjmp: the batch is fetched and waits for the next call.
        if (fetched == Fetch::kWaited && loop.hooks.resume) loop.hooks.resume(loop.hooks.user_data);
        continue;
      }
      case Phase::kDispatch:
        if (watches_dispatch()) continue;
        watches_end_batch();
        timers_begin_pass();
        loop.phase = Phase::kTimers;
        continue;
      case Phase::kTimers:
        if (!timers_fire_due()) loop.phase = Phase::kIdle;
        continue;
      case Phase::kIdle:
        if (timers_fire_idle()) continue;
        loop.phase = Phase::kStart;
        if (one_step) return;
        continue;
    }
  }
}

}  // namespace

void WexMainLoop(void) { run(false); }

void WexLoopStep(void) { run(true); }

int WexLoopDescriptor(void) { return poller_descriptor(); }

int WexLoopTimeout(void) {
  if (!alive()) return -1;
  if (loop.phase != Phase::kStart) return 0;  // an iteration left half done
  return poll_timeout();
}

void WexSetWaitHooks(void (*before)(void *), void (*after)(void *), void (*resume)(void *),
                     void *user_data) {
  loop.hooks = WaitHooks{before, after, resume, user_data};
}
