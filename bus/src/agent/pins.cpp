#include "agent/pins.h"

#include <vector>

#include "agent/peer.h"
#include "base/immortal.h"

namespace wex {
namespace {

constexpr size_t kPinPadding = 4096;

struct Pin {
  void *frame;
  Peer *peer;
  bool disconnect;  // a DISCONNECTED report: the handle goes stale after it
};

// The callbacks running now, outermost first.
constinit Immortal<std::vector<Pin>> storage;
std::vector<Pin> &pins = storage.value;

// A callback of the peer returned (or was found gone after a longjmp):
// after a DISCONNECTED callback its client handle is stale, and once no
// callback reads its input, the old blocks of that input can go.
void unpin(const Pin &pin) {
  Peer *p = pin.peer;
  --p->pins;
  if (pin.disconnect) retire_client(p);
  if (p->pins == 0) release_retired(p);
}

void push_pin(void *frame, Peer *p, bool disconnect) {
  pins.push_back(Pin{frame, p, disconnect});
  ++p->pins;
}

void pop_pin(void *frame) {
  // Pins above ours belong to callbacks nested in ours that left by longjmp
  // to a point inside ours.
  while (!pins.empty()) {
    Pin pin = pins.back();
    pins.pop_back();
    unpin(pin);
    if (pin.frame == frame) return;
  }
}

// The lowest address of the padding, inside the caller's frame (hence a
// macro: alloca belongs to the function that calls it).
#define pin_frame() \
  static_cast<void *>(pad_stack(static_cast<char *>(__builtin_alloca(kPinPadding))))
char *pad_stack(char *pad) {
  pad[0] = 0;
  asm volatile("" : : "r"(pad) : "memory");
  return pad;
}

}  // namespace

// Drops the pins of callbacks that left by longjmp: their frames lie deeper
// than any frame of ours that runs once they are gone.
__attribute__((noinline)) void prune_pins() {
  char *here = static_cast<char *>(__builtin_frame_address(0));
  while (!pins.empty() && static_cast<char *>(pins.back().frame) < here) {
    Pin pin = pins.back();
    pins.pop_back();
    unpin(pin);
  }
}

__attribute__((noinline)) bool dispatch_pinned(Peer *p, bool (*dispatch)(Peer *, int), int budget) {
  void *frame = pin_frame();
  push_pin(frame, p, false);
  bool more = dispatch(p, budget);
  pop_pin(frame);
  return more;
}

__attribute__((noinline)) void call_application(Peer *p, WexApplicationCallback cb, void *data,
                                                unsigned event) {
  void *frame = pin_frame();
  push_pin(frame, p, event == WEX_CLIENT_DISCONNECTED);
  if (cb) cb(as_client(p), data, event);
  pop_pin(frame);
}

}  // namespace wex
