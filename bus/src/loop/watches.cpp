// Descriptor watches: public channels (read only, WexChannelAdd) and the
// library's own io watches (read and write, loop_io_add), over the poller.
//
// What a batch still refers to is checked at dispatch.  The kernel keys
// registrations by descriptor, so every watch on one descriptor shares one
// registration, whose key is the descriptor with its entry's generation
// (bumped at each fresh registration); and each watch records the batch in
// which it was created.  So a removal, or a removal and a new watch on the
// same descriptor, within one batch never reaches the wrong handler.  Lists
// that a batch walks by position are only compacted between batches.
#include "loop/watches.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/diagnostics.h"
#include "base/handles.h"
#include "base/immortal.h"
#include "loop/poller.h"
#include "wex.h"

namespace wex {
namespace {

struct Watch {
  int fd = -1;
  unsigned interest = 0;    // IoEvent mask; channels: kIoRead
  uint64_t created_in = 0;  // batch number at creation: not served from that batch
  WexChannelHandler on_read = nullptr;
  WexChannelDelete on_delete = nullptr;
  IoCallback io_callback = nullptr;
  void *user_data = nullptr;  // channel user data, or io ctx
};

// Everything watched on one descriptor.
struct FdEntry {
  uint32_t generation = 0;
  uint32_t live = 0;          // live watches
  unsigned registered = 0;    // interest given to the poller
  bool always_ready = false;  // refused by the poller: served as readable
  bool dirty = false;         // watches holds stale handles
  std::vector<uint64_t> watches;
};

struct PendingDelete {
  WexChannelDelete on_delete;
  void *user_data;
};

constexpr int kPollBatch = 256;

struct Watches {
  HandleTable<Watch> table;
  std::vector<FdEntry> fds;
  std::vector<int> always_ready;  // fds of always-ready entries
  std::vector<int> dirty_fds;
  size_t live = 0;
  std::vector<PendingDelete> deletes;
  size_t deletes_next = 0;
  // The batch in progress: event, and watch within its descriptor's list.
  std::vector<PollerEvent> batch;
  size_t batch_count = 0, batch_next = 0, batch_watch = 0;
  uint64_t batch_number = 0;
};

constinit Immortal<Watches> storage;
Watches &w = storage.value;

uint64_t fd_key(int fd) { return uint64_t{w.fds[fd].generation} << 32 | static_cast<uint32_t>(fd); }

unsigned entry_interest(const FdEntry &entry) {
  unsigned interest = 0;
  for (uint64_t handle : entry.watches)
    if (Watch *watch = w.table.find(handle)) interest |= watch->interest;
  return interest;
}

bool descriptor_open(const char *operation, int fd) {
  if (fd < 0) {
    refuse("%s: negative descriptor %d", operation, fd);
    return false;
  }
  if (fcntl(fd, F_GETFD) < 0) {
    refuse("%s: descriptor %d: %s", operation, fd, std::strerror(errno));
    return false;
  }
  return true;
}

// Registers a new watch on its descriptor; false, with the reason refused,
// when the poller refuses it.
bool attach(const char *operation, int fd, unsigned interest, bool channel) {
  if (static_cast<size_t>(fd) >= w.fds.size()) w.fds.resize(fd + 1);
  FdEntry &entry = w.fds[fd];
  int error = 0;
  if (entry.live == 0) {
    ++entry.generation;
    error = poller_add(fd, interest, fd_key(fd));
    if (error == EEXIST) error = poller_modify(fd, interest, fd_key(fd));
    if (error == EPERM && channel) {
      entry.always_ready = true;
      w.always_ready.push_back(fd);
      error = 0;
    } else if (error == 0) {
      entry.always_ready = false;
      entry.registered = interest;
    }
  } else if (entry.always_ready) {
    error = channel ? 0 : EPERM;
  } else {
    // Modified even when the interest is unchanged: the registration is gone
    // if the descriptor was closed and its number reused.
    unsigned wanted = entry.registered | interest;
    error = poller_modify(fd, wanted, fd_key(fd));
    if (error == ENOENT) error = poller_add(fd, wanted, fd_key(fd));
    if (error == 0) entry.registered = wanted;
  }
  if (error != 0) {
    refuse("%s: descriptor %d: %s", operation, fd, std::strerror(error));
    return false;
  }
  return true;
}

// Called once the watch's slot is retired.
void detach(int fd) {
  FdEntry &entry = w.fds[fd];
  --w.live;
  if (--entry.live == 0) {
    // Nothing live is left to skip, so clearing is safe even mid-batch; the
    // batch's events for this entry now find no watch, and a fresh
    // registration gets a new generation.
    entry.watches.clear();
    if (entry.always_ready) {
      for (size_t i = 0; i < w.always_ready.size(); ++i) {
        if (w.always_ready[i] == fd) {
          w.always_ready[i] = w.always_ready.back();
          w.always_ready.pop_back();
          break;
        }
      }
      entry.always_ready = false;
    } else {
      poller_remove(fd);
    }
    entry.registered = 0;
    return;
  }
  if (!entry.dirty) {
    entry.dirty = true;
    w.dirty_fds.push_back(fd);
  }
  if (!entry.always_ready) {
    unsigned wanted = entry_interest(entry);
    if (wanted != entry.registered && poller_modify(fd, wanted, fd_key(fd)) == 0)
      entry.registered = wanted;
  }
}

uint64_t add_watch(HandleKind kind, const char *operation, int fd, Watch watch) {
  if (!descriptor_open(operation, fd)) return 0;
  if (!attach(operation, fd, watch.interest, kind == HandleKind::kChannel)) return 0;
  watch.fd = fd;
  watch.created_in = w.batch_number;
  uint64_t handle = w.table.issue(kind, watch);
  FdEntry &entry = w.fds[fd];
  ++entry.live;
  entry.watches.push_back(handle);
  ++w.live;
  return handle;
}

// Removes a live watch; returns what its channel's on_delete needs.
PendingDelete remove_watch(uint64_t handle, Watch *watch) {
  PendingDelete pending{watch->on_delete, watch->user_data};
  int fd = watch->fd;
  w.table.retire(handle);
  detach(fd);
  return pending;
}

}  // namespace

// ---- The loop's side ---------------------------------------------------------

bool watches_alive() { return w.live > 0; }

bool watches_always_ready() { return !w.always_ready.empty(); }

bool watches_delete_pending() { return w.deletes_next < w.deletes.size(); }

bool watches_run_delete() {
  if (!watches_delete_pending()) return false;
  PendingDelete pending = w.deletes[w.deletes_next++];
  if (w.deletes_next == w.deletes.size()) {
    w.deletes.clear();
    w.deletes_next = 0;
  }
  pending.on_delete(pending.user_data);
  return true;
}

void watches_end_batch() {
  for (int fd : w.dirty_fds) {
    FdEntry &entry = w.fds[fd];
    entry.dirty = false;
    size_t kept = 0;
    for (uint64_t handle : entry.watches)
      if (w.table.find(handle)) entry.watches[kept++] = handle;
    entry.watches.resize(kept);
  }
  w.dirty_fds.clear();
}

// The poller's events, then one readable event per always-ready descriptor.
Fetch watches_fetch(int timeout_ms, int64_t due_ms, const WaitHooks &hooks) {
  watches_end_batch();
  size_t needed = kPollBatch + w.always_ready.size();
  if (w.batch.size() < needed) w.batch.resize(needed);
  ++w.batch_number;
  w.batch_count = w.batch_next = w.batch_watch = 0;
  // Only a wait that may block lets other threads of the program run: a
  // poll that returns at once is not worth the hand-over.
  bool blocking = timeout_ms != 0 && hooks.before;
  if (blocking) hooks.before(hooks.user_data);
  int n = poller_wait(w.batch.data(), kPollBatch, timeout_ms, due_ms);
  if (blocking && hooks.after) hooks.after(hooks.user_data);
  if (n == -EINTR) n = 0;
  if (n < 0) {
    warn("WexMainLoop: epoll_wait: %s", std::strerror(-n));
    return Fetch::kFailed;
  }
  for (int fd : w.always_ready) w.batch[n++] = PollerEvent{fd_key(fd), kIoRead};
  w.batch_count = n;
  return timeout_ms != 0 ? Fetch::kWaited : Fetch::kFetched;
}

bool watches_dispatch() {
  if (w.batch_next >= w.batch_count) return false;
  PollerEvent event = w.batch[w.batch_next];
  uint32_t fd = static_cast<uint32_t>(event.key);
  uint64_t handle = 0;
  if (fd < w.fds.size()) {
    const FdEntry &entry = w.fds[fd];
    if (entry.generation == event.key >> 32 && w.batch_watch < entry.watches.size())
      handle = entry.watches[w.batch_watch++];
    if (handle == 0 || w.batch_watch >= entry.watches.size()) {
      ++w.batch_next;
      w.batch_watch = 0;
    }
  } else {
    ++w.batch_next;
  }
  Watch *watch = handle ? w.table.find(handle) : nullptr;
  if (!watch || watch->created_in == w.batch_number) return true;
  if (handle_kind(handle) == HandleKind::kChannel) {
    if ((event.flags & (kIoRead | kIoError)) && watch->on_read)
      watch->on_read(reinterpret_cast<WexChannelPtr>(handle), watch->fd, watch->user_data);
  } else {
    unsigned events = event.flags & (watch->interest | kIoError);
    if (events) watch->io_callback(watch->user_data, events);
  }
  return true;
}

// ---- Internal io watches -----------------------------------------------------

IoWatch *loop_io_add(int fd, unsigned interest, IoCallback cb, void *ctx) {
  if (!cb) {
    warn("loop_io_add: descriptor %d: no callback", fd);
    return nullptr;
  }
  Watch watch;
  watch.interest = interest & (kIoRead | kIoWrite);
  watch.io_callback = cb;
  watch.user_data = ctx;
  return reinterpret_cast<IoWatch *>(add_watch(HandleKind::kIoWatch, "loop_io_add", fd, watch));
}

void loop_io_modify(IoWatch *io, unsigned interest) {
  Watch *watch = w.table.find(reinterpret_cast<uintptr_t>(io), HandleKind::kIoWatch);
  if (!watch) return;
  watch->interest = interest & (kIoRead | kIoWrite);
  int fd = watch->fd;
  FdEntry &entry = w.fds[fd];
  unsigned wanted = entry_interest(entry);
  if (wanted == entry.registered) return;
  int error = poller_modify(fd, wanted, fd_key(fd));
  if (error == ENOENT) error = poller_add(fd, wanted, fd_key(fd));
  if (error == 0)
    entry.registered = wanted;
  else
    warn("loop_io_modify: descriptor %d: %s", fd, std::strerror(error));
}

void loop_io_remove(IoWatch *io) {
  uint64_t handle = reinterpret_cast<uintptr_t>(io);
  if (Watch *watch = w.table.find(handle, HandleKind::kIoWatch)) remove_watch(handle, watch);
}

}  // namespace wex

// ---- Public channels -----------------------------------------------------------

using namespace wex;

WexChannelPtr WexChannelAdd(int fd, void *user_data, WexChannelDelete on_delete,
                            WexChannelHandler on_read, WexChannelHandler /*on_write*/) {
  Watch watch;
  watch.interest = kIoRead;
  watch.on_read = on_read;
  watch.on_delete = on_delete;
  watch.user_data = user_data;
  return reinterpret_cast<WexChannelPtr>(
      add_watch(HandleKind::kChannel, "WexChannelAdd", fd, watch));
}

void WexChannelRemove(WexChannelPtr channel) {
  uint64_t handle = reinterpret_cast<uintptr_t>(channel);
  Watch *watch = w.table.find(handle, HandleKind::kChannel);
  if (!watch) return;
  PendingDelete pending = remove_watch(handle, watch);
  if (pending.on_delete) {
    w.deletes.push_back(pending);
    loop_wake();
  }
}
