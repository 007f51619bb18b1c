// The loop's descriptor watches: public channels (WexChannelAdd and
// WexChannelRemove, in watches.cpp) and the library's own io watches
// (loop_io_*, below), fetched from the poller in batches and dispatched one
// watch at a time by the loop's iteration (loop.cpp).
#pragma once

#include <cstdint>

#include "loop/poller.h"

namespace wex {

// ---- The library's own io watches --------------------------------------------

// events is a mask of IoEvent; kIoError covers hang-up and socket errors.
using IoCallback = void (*)(void *ctx, unsigned events);
struct IoWatch;

// Watches fd with the given interest (kIoRead and/or kIoWrite).  Returns
// nullptr, with a line on the log, when epoll refuses the descriptor.  A
// watch keeps the loop alive, like a channel.
IoWatch *loop_io_add(int fd, unsigned interest, IoCallback cb, void *ctx);
void loop_io_modify(IoWatch *watch, unsigned interest);
// No callback for this watch runs after this call, even for an event already
// fetched in the current batch; the memory is reclaimed by the loop later.
void loop_io_remove(IoWatch *watch);

// The program's hooks around a wait of the loop (WexSetWaitHooks).
struct WaitHooks {
  void (*before)(void *) = nullptr;
  void (*after)(void *) = nullptr;
  void (*resume)(void *) = nullptr;
  void *user_data = nullptr;
};

// ---- As the loop's iteration sees them ---------------------------------------

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
