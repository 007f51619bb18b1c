// The loop's timers, as the loop's iteration sees them (loop.cpp): timed
// timers in a heap by due time, idle timers (period <= 0) in a list served
// once per iteration.  The public TimerRepeatAfter and TimerRemove are in
// timers.cpp.
#pragma once

#include <cstdint>

namespace wex {

bool timers_alive();  // some timer could still fire
bool timers_idle();   // an idle timer exists: the loop must not block
// Until the next timed timer: -1 none, 0 due; *due_ms (when asked) is its
// due time, or kNoDue (poller.h) without one.
int timers_wait_ms(int64_t *due_ms = nullptr);

// The timer pass of one iteration: the timers due at its start, then the idle
// timers that exist at its start; a timer made during the pass is not run in
// it.  Each fire_* call fires at most one timer and returns false when its
// part of the pass is over.  Positions are advanced before each callback,
// so a callback that leaves by longjmp leaves a pass that simply goes on.
void timers_begin_pass();
bool timers_fire_due();
bool timers_fire_idle();

}  // namespace wex
