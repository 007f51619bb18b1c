// Pins: the longjmp-safe way the agent calls user callbacks about a peer.
//
// A delivery hands out pointers into the peer's input buffer, and a callback
// may run a nested WexMainLoop that reads that peer again.  While a callback
// of a peer runs, the peer is pinned: its input is never moved (a new block
// is taken and the old one kept, see Peer::retired) and the peer is never
// freed.  Deliveries share one pin, taken for the whole batch of frames that
// they come in; an application callback has a pin of its own.  A pin is
// dropped when its batch or callback is done, or, when a callback left by
// longjmp, when the agent next runs at a shallower stack depth than the
// pin's padding, which proves that the callback's frame is gone: every entry point of
// the agent calls prune_pins() first.  Each callback runs below a few
// kilobytes of padding, so that any hook called by a later loop at the same
// depth sits above it; a nested loop runs below it.  Nesting has no limit
// but the stack's.
#pragma once

#include "wex.h"

namespace wex {

struct Peer;

void prune_pins();
// Runs dispatch(p, budget) with p pinned: one pin for every delivery that
// the frames it dispatches make (a delivery calls its callback directly).
bool dispatch_pinned(Peer *p, bool (*dispatch)(Peer *, int), int budget);
// The application callback for a peer event; after a DISCONNECTED callback
// the peer's client handle is stale.
void call_application(Peer *p, WexApplicationCallback cb, void *user_data, unsigned event);

}  // namespace wex
