// The loop's descriptor watches, as the loop's iteration sees them
// (loop.cpp): public channels and the library's own io watches, fetched from
// the poller in batches and dispatched one watch at a time.  The public
// WexChannelAdd and WexChannelRemove, and the internal loop_io_* of loop.h,
// are in watches.cpp.
#pragma once

#include "loop.h"

namespace wex {

bool watches_alive();         // some watch could still call back
bool watches_always_ready();  // a watched descriptor is always readable: do not block

// Fetches the next batch, waiting at most timeout_ms (-1: no limit), with the
// wait hooks around a wait that may block.  kFailed, with a line on the
// log, when the poller failed; kWaited when the wait may have blocked (a
// signal may have ended it), kFetched when it was a poll that returned at
// once.
enum class Fetch { kFetched, kWaited, kFailed };
Fetch watches_fetch(int timeout_ms, int64_t due_ms, const WaitHooks &hooks);
// Serves the next watch of the batch: at most one callback.  False when the
// batch is done.  The position is advanced before the callback.
bool watches_dispatch();
// Between batches: drops what removals left in the per-descriptor lists.
void watches_end_batch();

// The on_delete handlers of removed channels run from the loop, one per call:
// false when none is pending.
bool watches_run_delete();
bool watches_delete_pending();

}  // namespace wex
