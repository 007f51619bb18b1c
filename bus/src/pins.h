// Pins: the longjmp-safe way the agent calls user callbacks about a peer.
//
// A delivery hands out pointers into the peer's input buffer, and a callback
// may run a nested WexMainLoop that reads that peer again.  While a callback
// of a peer runs, the peer is pinned: its input is never moved (a new block
// is taken and the old one kept, see Peer::retired) and the peer is never
// freed.  A pin is dropped when its callback returns, or, when the callback
// left by longjmp, when the agent next runs at a shallower stack depth than
// the callback's frame, which proves that frame is gone: every entry point of
// the agent calls prune_pins() first.  Each callback runs below a few
// kilobytes of padding, so that any hook called by a later loop at the same
// depth sits above it; a nested loop runs below it.  Nesting has no limit
// but the stack's.
#pragma once

#include "wex.h"

namespace wex {

struct Peer;

void prune_pins();
void call_message(Peer *p, WexMsgCallback cb, void *user_data, int argc, char **argv);
// The application callback for a peer event; after a DISCONNECTED callback
// the peer's client handle is stale.
void call_application(Peer *p, WexApplicationCallback cb, void *user_data, unsigned event);

}  // namespace wex
