// The loop as the rest of the library sees it: the library's own io watches
// (watches.h), the clock and the wake-up (poller.h), a hook run once per
// iteration, and the stop request.  Public channels and timers are in wex.h;
// this header is internal and never installed.
#pragma once

#include <cstdint>

#include "loop/poller.h"
#include "loop/watches.h"

namespace wex {

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

}  // namespace wex
