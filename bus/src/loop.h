// The loop as the rest of the library sees it: watches on the agent's own
// sockets (with write interest, unlike public channels), a hook run once per
// iteration, the clock, and the stop request.  Public channels and timers are
// in wex.h; this header is internal and never installed.
#pragma once

#include <cstdint>

#include "poller.h"

namespace wex {

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

// Runs at the start of every loop iteration, before the loop computes how long
// it may block.  It may run user callbacks (and so may never return, if one
// leaves by longjmp).  It returns true when it left work pending (buffered
// input not yet dispatched, say): the loop then polls without blocking and
// calls it again at the next iteration.  It may be re-entered: a callback
// that it runs may call WexMainLoop, whose iterations run the hook too; so,
// like the loop, it keeps its position in its own structures and advances it
// before each callback.  One hook; nullptr clears it.
using PrepareHook = bool (*)(void *ctx);
void loop_set_prepare(PrepareHook hook, void *ctx);

// Ends every WexMainLoop that runs now, each once the callback it is in (if
// any) has returned.  A request made while no WexMainLoop runs ends no later
// call.
void loop_request_stop();

// Something for the loop to do arose outside it (output queued, a timer
// made): a program that embeds the loop (WexLoopDescriptor) must step it.
// Costs nothing until a program asks for the descriptor.
void loop_wake();

// The program's hooks around a wait of the loop (WexSetWaitHooks).
struct WaitHooks {
  void (*before)(void *) = nullptr;
  void (*after)(void *) = nullptr;
  void (*resume)(void *) = nullptr;
  void *user_data = nullptr;
};

// Milliseconds on the monotonic clock.
int64_t loop_now_ms();

}  // namespace wex
