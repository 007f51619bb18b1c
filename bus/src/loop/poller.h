// The loop's view of the kernel's readiness interface: epoll behind five
// functions, so that the loop itself knows nothing of epoll (redis's ae_epoll
// plays the same role).  Level-triggered; the key is the loop's, handed back
// with each event.  Internal, never installed.
#pragma once

#include <cstdint>

namespace wex {

// What a descriptor is ready for.  Interest is a mask of kIoRead and kIoWrite;
// reported flags add kIoError for hang-up or error, which the kernel always
// reports.
enum IoEvent : unsigned { kIoRead = 1u, kIoWrite = 2u, kIoError = 4u };

struct PollerEvent {
  uint64_t key;
  unsigned flags;
};

// 0, or the errno of the failure (EPERM: the descriptor is always ready, as a
// regular file is, and cannot be watched).
int poller_add(int fd, unsigned interest, uint64_t key);
int poller_modify(int fd, unsigned interest, uint64_t key);
// Errors are ignored: a descriptor closed by its owner has left already.
void poller_remove(int fd);
// Waits at most timeout_ms (-1: no limit) and stores at most max events.
// Returns their number, or -errno (-EINTR when a signal interrupted it).
// due_ms, when not kNoDue, is the time (loop_now_ms) that the timeout counts
// down to: the poller may then keep a timer of its own armed for it across
// waits, instead of handing the kernel a timeout at every wait.
constexpr int64_t kNoDue = INT64_MIN;
int poller_wait(PollerEvent *events, int max, int timeout_ms, int64_t due_ms = kNoDue);

// The epoll descriptor, for a program that waits on it in a loop of its own;
// from the first call on, poller_wake() makes it readable.
int poller_descriptor();
// Makes the descriptor readable until the next poller_wait (no-op before the
// first poller_descriptor()).
void poller_wake();

// Something for the loop to do arose outside it (output queued, a timer
// made): a program that embeds the loop (WexLoopDescriptor) must step it.
// Costs nothing until a program asks for the descriptor.
inline void loop_wake() { poller_wake(); }

// Milliseconds on the monotonic clock.
int64_t loop_now_ms();

}  // namespace wex
