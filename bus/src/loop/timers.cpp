// Timers: TimerRepeatAfter and TimerRemove, and the timer pass of the loop.
//
// Every expiry is counted, and its timer rescheduled or ended, before its
// callback runs, since the callback may never return.  A removed timer leaves
// its heap entry behind, stale because the slot's ticket no longer matches
// the entry's order: dropped when it reaches the top, or all at once when
// the stale outnumber the live.
#include "loop/timers.h"

#include <climits>
#include <vector>

#include "base/diagnostics.h"
#include "base/handles.h"
#include "base/immortal.h"
#include "loop/poller.h"
#include "loop/timer_heap.h"
#include "wex.h"

namespace wex {
namespace {

struct Timer {
  int count = 0;            // > 0: fires that many times
  unsigned long fired = 0;  // times fired so far
  long period_ms = 0;       // > 0: in the heap; <= 0: once per iteration
  uint32_t ticket = 0;      // unique to this timer; the order of its heap entry
  WexTimerCallback callback = nullptr;
  void *user_data = nullptr;
};

struct Timers {
  HandleTable<Timer> table;
  TimerHeap heap;  // timers with period > 0
  size_t live_timed = 0, stale_entries = 0;
  std::vector<uint64_t> idle;  // handles of timers with period <= 0 (may be stale)
  size_t live_idle = 0;
  uint32_t next_ticket = 0;
  // The pass in progress.
  int64_t pass_now = 0;
  size_t idle_next = 0, idle_end = 0;  // idle[next, end)
};

constinit Immortal<Timers> storage;
Timers &timers = storage.value;

int64_t saturating_add(int64_t a, int64_t b) { return a > INT64_MAX - b ? INT64_MAX : a + b; }

bool entry_live(const HeapEntry &entry) {
  const Timer *timer = timers.table.at(entry.index);
  return timer && timer->ticket == entry.order;
}

// Drops stale entries from the top, so that the top is a live timer.
void prune() {
  while (!timers.heap.empty() && !entry_live(timers.heap.top())) {
    timers.heap.pop();
    --timers.stale_entries;
  }
}

void end_timer(uint64_t handle, const Timer &timer) {
  if (timer.period_ms > 0) {
    --timers.live_timed;
    ++timers.stale_entries;
  } else {
    --timers.live_idle;
  }
  timers.table.retire(handle);
  if (timers.stale_entries > 32 && timers.stale_entries * 2 > timers.heap.size()) {
    // No entry is held across a callback, by anybody: rebuilding is safe at
    // any time.
    timers.heap.rebuild(entry_live);
    timers.stale_entries = 0;
  }
}

// Counts an expiry and takes what the callback needs while the slot is still
// the timer's: ending the timer (on its last expiry) frees the slot.
struct Expiry {
  WexTimerPtr timer;
  WexTimerCallback callback;
  void *user_data;
  unsigned long fired;
};

Expiry count_expiry(uint64_t handle, Timer &timer, bool *last) {
  Expiry e{reinterpret_cast<WexTimerPtr>(handle), timer.callback, timer.user_data, ++timer.fired};
  *last = timer.count > 0 && e.fired >= static_cast<unsigned long>(timer.count);
  return e;
}

}  // namespace

bool timers_alive() { return timers.live_timed > 0 || timers.live_idle > 0; }

bool timers_idle() { return timers.live_idle > 0; }

int timers_wait_ms(int64_t *due_ms) {
  prune();
  if (due_ms) *due_ms = timers.heap.empty() ? kNoDue : timers.heap.top().due_ms;
  if (timers.heap.empty()) return -1;  // and no need to read the clock
  int64_t wait = timers.heap.top().due_ms - loop_now_ms();
  return wait <= 0 ? 0 : wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

void timers_begin_pass() {
  // No timed timer, no need to read the clock.
  timers.pass_now = timers.live_timed == 0 ? INT64_MIN : loop_now_ms();
  size_t kept = 0;
  for (uint64_t handle : timers.idle)
    if (timers.table.find(handle, HandleKind::kTimer)) timers.idle[kept++] = handle;
  timers.idle.resize(kept);
  timers.idle_next = 0;
  timers.idle_end = kept;
}

// Fires the top of the heap when it is due in this pass.  A timed timer made
// during the pass is due after pass_now, so it waits for the next one.
bool timers_fire_due() {
  prune();
  if (timers.heap.empty() || timers.heap.top().due_ms > timers.pass_now) return false;
  const HeapEntry &entry = timers.heap.top();
  uint32_t index = entry.index;
  uint64_t handle = timers.table.handle_at(index);
  Timer &timer = *timers.table.at(index);
  bool last;
  Expiry e = count_expiry(handle, timer, &last);
  if (last) {
    timers.heap.pop();
    --timers.live_timed;
    timers.table.retire(handle);
  } else {
    // The next due time after the pass, on the timer's own schedule.
    int64_t due = entry.due_ms, next = saturating_add(due, timer.period_ms);
    if (next <= timers.pass_now)
      next = saturating_add(due, ((timers.pass_now - due) / timer.period_ms + 1) * timer.period_ms);
    timers.heap.delay_top(next);
  }
  e.callback(e.timer, e.user_data, e.fired);
  return true;
}

bool timers_fire_idle() {
  while (timers.idle_next < timers.idle_end) {
    uint64_t handle = timers.idle[timers.idle_next++];
    Timer *timer = timers.table.find(handle, HandleKind::kTimer);
    if (!timer) continue;
    bool last;
    Expiry e = count_expiry(handle, *timer, &last);
    if (last) {
      --timers.live_idle;
      timers.table.retire(handle);
    }
    e.callback(e.timer, e.user_data, e.fired);
    return true;
  }
  return false;
}

}  // namespace wex

using namespace wex;

WexTimerPtr TimerRepeatAfter(int count, long period_ms, WexTimerCallback cb, void *user_data) {
  if (!cb) {
    refuse("TimerRepeatAfter: no callback");
    return nullptr;
  }
  // A fresh ticket for every timer, idle ones too: the slot may have left a
  // stale entry in the heap under its previous ticket.
  Timer timer{count, 0, period_ms, timers.next_ticket++, cb, user_data};
  uint64_t handle = timers.table.issue(HandleKind::kTimer, timer);
  if (period_ms > 0) {
    uint32_t index = HandleTable<Timer>::index_of(handle);
    timers.heap.push(HeapEntry{saturating_add(loop_now_ms(), period_ms), timer.ticket, index});
    ++timers.live_timed;
  } else {
    timers.idle.push_back(handle);
    ++timers.live_idle;
  }
  loop_wake();  // the wait of a loop embedded elsewhere may now end sooner
  return reinterpret_cast<WexTimerPtr>(handle);
}

void TimerRemove(WexTimerPtr timer) {
  uint64_t handle = reinterpret_cast<uintptr_t>(timer);
  if (Timer *t = timers.table.find(handle, HandleKind::kTimer)) end_timer(handle, *t);
}
