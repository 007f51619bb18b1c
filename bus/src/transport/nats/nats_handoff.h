// What libnats's threads hand to the loop's thread.  libnats reads, delivers
// messages and reports connection events on threads of its own; none of
// them may touch the agent.  Their callbacks only push an item here, under
// a mutex, and make an eventfd readable (once per batch, not per message);
// the loop watches the eventfd, and the transport takes the items from
// there, on the loop's thread.
//
// Items carry the session they belong to: a callback of a connection that
// WexStop closed may still be running when a later WexStart opens the next
// one, and what it pushes then is dropped, not taken for the new session.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace wex {

enum class NatsEvent : uint8_t { kMessage, kDisconnected, kReconnected, kClosed, kError };

struct NatsItem {
  NatsEvent event;
  void *msg;       // kMessage: the natsMsg, owned by whoever takes the item
  int status = 0;  // kError: the natsStatus libnats reported
};

class NatsHandoff {
 public:
  // A new session: true with the eventfd ready, false with *error set.
  bool open(uint64_t session, std::string *error);
  // Ends the session: later pushes are dropped, and what is queued is freed.
  void close();
  int fd() const { return fd_; }
  // Any thread.  A message of another session (or none) is destroyed.
  void push(uint64_t session, const NatsItem &item);
  // The loop's thread: appends every queued item, in order, to *into.
  void take(std::vector<NatsItem> *into);
  // The loop's thread, with nothing left to do: the eventfd is cleared,
  // unless items arrived meanwhile.
  void rest();
  // The loop's thread: work is left for the eventfd's callback.
  void wake();

 private:
  std::mutex mutex_;
  std::vector<NatsItem> items_;
  uint64_t session_ = 0;  // 0: closed
  bool signalled_ = false;
  int fd_ = -1;
};

}  // namespace wex
