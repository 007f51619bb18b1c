// The event loop: timers, public channels and the library's own io watches,
// on one thread, over the poller (poller.h).
//
// Every callback may leave by longjmp (an OCaml exception does), so no frame
// that calls one holds anything that needs a destructor, and all dispatch
// state lives in the Loop below: the phase of the current iteration, the
// fetched batch and the position in it, the timer pass.  Each position is
// advanced before its callback is called, and WexMainLoop is one state
// machine that any call, nested or after an abandoned one, simply resumes.
// Hence no "running" flag: a nested call goes on with the same pending work.
//
// Handles are (generation, slot index, kind) packed below 2^62, so a stale,
// foreign or invented value fails the generation or kind check; removals free
// the slot at once.  What a batch still refers to is checked at dispatch: an
// fd entry carries a generation in its poller key, and each watch records the
// batch in which it was created, so that a removal (or a removal and a new
// watch on the same descriptor) within one batch never reaches the wrong
// handler.  Lists that a batch walks by position are only compacted between
// batches.
#include "loop.h"

#include <fcntl.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "poller.h"
#include "wex.h"

namespace wex {
namespace {

// ---- Handles ---------------------------------------------------------------

enum Kind : uint64_t { kKindTimer = 1, kKindChannel = 2, kKindIo = 3 };
constexpr int kIndexShift = 2;
constexpr int kGenerationShift = 34;
constexpr uint32_t kGenerationLimit = 1u << 28;  // keeps every handle below 2^62

uint64_t make_handle(Kind kind, uint32_t index, uint32_t generation) {
  return uint64_t{generation} << kGenerationShift | uint64_t{index} << kIndexShift | kind;
}

// Slots reused through a free list; a slot's generation changes when it is
// freed, so every handle issued for it before goes stale.
template <typename Slot>
struct SlotTable {
  std::vector<Slot> slots;
  std::vector<uint32_t> free_slots;

  uint32_t acquire() {
    if (free_slots.empty()) {
      slots.emplace_back();
      return static_cast<uint32_t>(slots.size() - 1);
    }
    uint32_t index = free_slots.back();
    free_slots.pop_back();
    return index;
  }
  void release(uint32_t index) {
    Slot &slot = slots[index];
    slot.live = false;
    slot.generation = slot.generation + 1 < kGenerationLimit ? slot.generation + 1 : 1;
    free_slots.push_back(index);
  }
  // The live slot that the handle names, or nullptr.
  Slot *find(uint64_t handle, Kind kind, uint32_t *index_out = nullptr) {
    if ((handle & 3) != kind) return nullptr;
    uint64_t index = handle >> kIndexShift & 0xffffffffu;
    if (index >= slots.size()) return nullptr;
    Slot &slot = slots[index];
    if (!slot.live || slot.generation != handle >> kGenerationShift) return nullptr;
    if (index_out) *index_out = static_cast<uint32_t>(index);
    return &slot;
  }
};

// ---- State -----------------------------------------------------------------

struct Timer {
  uint32_t generation = 1;
  bool live = false;
  int count;            // > 0: fires that many times
  unsigned long fired;  // times fired so far
  long period_ms;       // > 0: in the heap; <= 0: once per iteration
  uint32_t ticket;      // unique to this timer; the order of its heap entry
  WexTimerCallback callback;
  void *user_data;
};

struct Watch {
  uint32_t generation = 1;
  bool live = false;
  Kind kind;
  int fd;
  unsigned interest;    // IoEvent mask; channels: kIoRead
  uint64_t created_in;  // batch number at creation: not served from that batch
  WexChannelHandler on_read;
  WexChannelDelete on_delete;
  IoCallback io_callback;
  void *user_data;  // channel user data, or io ctx
};

// Everything watched on one descriptor.  The kernel keys registrations by
// descriptor, so several watches on one fd share a registration, whose key
// is the fd with this entry's generation (bumped at each fresh registration).
struct FdEntry {
  uint32_t generation = 0;
  uint32_t live = 0;          // live watches
  unsigned registered = 0;    // interest given to the poller
  bool always_ready = false;  // refused by the poller: served as readable
  bool dirty = false;         // watches holds stale handles
  std::vector<uint64_t> watches;
};

// The keys live in the heap itself, 16 bytes, so that sifting touches no
// timer slot.  A removed timer leaves its entry behind, stale since the slot's
// ticket no longer matches: dropped when it reaches the top, or all at once
// when the stale outnumber the live.
struct HeapEntry {
  int64_t due_ms;
  uint32_t order;  // creation order: ties between equal due times
  uint32_t index;  // the timer's slot
};

struct PendingDelete {
  WexChannelDelete on_delete;
  void *user_data;
};

enum class Phase { kStart, kPoll, kDispatch, kTimers, kIdle };

constexpr int kPollBatch = 256;

struct Loop {
  SlotTable<Timer> timers;
  SlotTable<Watch> watches;
  std::vector<FdEntry> fds;
  std::vector<int> always_ready;  // fds of always-ready entries
  std::vector<int> dirty_fds;
  size_t live_watches = 0;

  std::vector<HeapEntry> heap;  // timers with period > 0
  size_t live_timed = 0, stale_entries = 0;
  std::vector<uint64_t> idle;  // handles of timers with period <= 0 (may be stale)
  size_t live_idle = 0;
  uint32_t next_order = 0;

  std::vector<PendingDelete> deletes;
  size_t deletes_next = 0;

  // The iteration in progress.
  Phase phase = Phase::kStart;
  std::vector<PollerEvent> batch;
  size_t batch_count = 0, batch_next = 0, batch_watch = 0;  // event, watch within it
  uint64_t batch_number = 0;
  int64_t pass_now = 0;                // time of the timer pass
  size_t idle_next = 0, idle_end = 0;  // the idle pass: idle[next, end)

  PrepareHook prepare = nullptr;
  void *prepare_ctx = nullptr;
  bool prepare_busy = false;
  StopHook stop_hook = nullptr;
  uint64_t stop_requests = 0;
};

// Constant-initialized and never destroyed, so that no other static
// initializer or destructor can meet it dead.
union LoopStorage {
  Loop value;
  constexpr LoopStorage() : value() {}
  ~LoopStorage() {}
};
constinit LoopStorage storage;
Loop &loop = storage.value;

template <typename Pointer>
Pointer to_pointer(uint64_t handle) {
  return reinterpret_cast<Pointer>(static_cast<uintptr_t>(handle));
}

uint64_t to_handle(const void *pointer) { return reinterpret_cast<uintptr_t>(pointer); }

int64_t saturating_add(int64_t a, int64_t b) { return a > INT64_MAX - b ? INT64_MAX : a + b; }

// ---- Timer heap ------------------------------------------------------------

bool earlier(const HeapEntry &x, const HeapEntry &y) {
  return x.due_ms != y.due_ms ? x.due_ms < y.due_ms : x.order < y.order;
}

void heap_sift_up(size_t position) {
  HeapEntry entry = loop.heap[position];
  while (position > 0) {
    size_t parent = (position - 1) / 2;
    if (!earlier(entry, loop.heap[parent])) break;
    loop.heap[position] = loop.heap[parent];
    position = parent;
  }
  loop.heap[position] = entry;
}

// Moves the hole at position down to a leaf along the earlier children, then
// lets the entry rise from there: one comparison per level on the way down,
// and a rescheduled timer, due later than most, rises little.
void heap_sift_down(size_t position) {
  HeapEntry entry = loop.heap[position];
  size_t size = loop.heap.size(), top = position;
  for (;;) {
    size_t child = 2 * position + 1;
    if (child >= size) break;
    if (child + 1 < size && earlier(loop.heap[child + 1], loop.heap[child])) ++child;
    loop.heap[position] = loop.heap[child];
    position = child;
  }
  while (position > top) {
    size_t parent = (position - 1) / 2;
    if (!earlier(entry, loop.heap[parent])) break;
    loop.heap[position] = loop.heap[parent];
    position = parent;
  }
  loop.heap[position] = entry;
}

void heap_pop() {
  loop.heap[0] = loop.heap.back();
  loop.heap.pop_back();
  if (!loop.heap.empty()) heap_sift_down(0);
}

bool entry_live(const HeapEntry &entry) {
  const Timer &timer = loop.timers.slots[entry.index];
  return timer.live && timer.ticket == entry.order;
}

// Drops stale entries from the top, so that heap[0] is a live timer.
void heap_prune() {
  while (!loop.heap.empty() && !entry_live(loop.heap[0])) {
    heap_pop();
    --loop.stale_entries;
  }
}

void timer_remove(uint32_t index) {
  if (loop.timers.slots[index].period_ms > 0) {
    --loop.live_timed;
    ++loop.stale_entries;
  } else {
    --loop.live_idle;
  }
  loop.timers.release(index);
  if (loop.stale_entries > 32 && loop.stale_entries * 2 > loop.heap.size()) {
    // Only heap[0] is ever held across a callback, by nobody: rebuilding is
    // safe at any time.
    size_t kept = 0;
    for (const HeapEntry &entry : loop.heap) {
      if (entry_live(entry)) loop.heap[kept++] = entry;
    }
    loop.heap.resize(kept);
    loop.stale_entries = 0;
    for (size_t i = kept / 2; i-- > 0;) heap_sift_down(i);
  }
}

// Counts an expiry and takes what the callback needs while the slot is still
// the timer's: ending the timer (on its last expiry) frees the slot.
struct Expiry {
  WexTimerPtr timer;
  WexTimerCallback callback;
  void *user_data;
  unsigned long fired;
  bool last;
};

Expiry count_expiry(uint32_t index) {
  Timer &timer = loop.timers.slots[index];
  Expiry e{to_pointer<WexTimerPtr>(make_handle(kKindTimer, index, timer.generation)),
           timer.callback, timer.user_data, ++timer.fired, false};
  e.last = timer.count > 0 && e.fired >= static_cast<unsigned long>(timer.count);
  return e;
}

// Fires heap[0], a live timer due in this pass.  The expiry is counted and the
// timer rescheduled or ended before its callback, which may never return.
void fire_timed() {
  HeapEntry &entry = loop.heap[0];
  uint32_t index = entry.index;
  Timer &timer = loop.timers.slots[index];
  Expiry e = count_expiry(index);
  if (e.last) {
    heap_pop();
    --loop.live_timed;
    loop.timers.release(index);
  } else {
    // The next due time after the pass, on the timer's own schedule.
    int64_t due = entry.due_ms, next = saturating_add(due, timer.period_ms);
    if (next <= loop.pass_now)
      next = saturating_add(due, ((loop.pass_now - due) / timer.period_ms + 1) * timer.period_ms);
    entry.due_ms = next;
    heap_sift_down(0);
  }
  e.callback(e.timer, e.user_data, e.fired);
}

// The same for a live timer of period <= 0.
void fire_idle(uint32_t index) {
  Expiry e = count_expiry(index);
  if (e.last) {
    --loop.live_idle;
    loop.timers.release(index);
  }
  e.callback(e.timer, e.user_data, e.fired);
}

// ---- Watches ---------------------------------------------------------------

uint64_t fd_key(int fd) {
  return uint64_t{loop.fds[fd].generation} << 32 | static_cast<uint32_t>(fd);
}

unsigned entry_interest(const FdEntry &entry) {
  unsigned interest = 0;
  for (uint64_t handle : entry.watches) {
    if (Watch *w = loop.watches.find(handle, static_cast<Kind>(handle & 3)))
      interest |= w->interest;
  }
  return interest;
}

bool descriptor_open(const char *operation, int fd) {
  if (fd < 0) {
    std::fprintf(stderr, "wex: %s: negative descriptor %d\n", operation, fd);
    return false;
  }
  if (fcntl(fd, F_GETFD) < 0) {
    std::fprintf(stderr, "wex: %s: descriptor %d: %s\n", operation, fd, std::strerror(errno));
    return false;
  }
  return true;
}

// Registers a new watch on its descriptor; false, with a line on stderr, when
// the poller refuses it.
bool attach(const char *operation, int fd, uint64_t handle, unsigned interest, bool channel) {
  if (static_cast<size_t>(fd) >= loop.fds.size()) loop.fds.resize(fd + 1);
  FdEntry &entry = loop.fds[fd];
  int error = 0;
  if (entry.live == 0) {
    ++entry.generation;
    error = poller_add(fd, interest, fd_key(fd));
    if (error == EEXIST) error = poller_modify(fd, interest, fd_key(fd));
    if (error == EPERM && channel) {
      entry.always_ready = true;
      loop.always_ready.push_back(fd);
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
    std::fprintf(stderr, "wex: %s: descriptor %d: %s\n", operation, fd, std::strerror(error));
    return false;
  }
  ++entry.live;
  entry.watches.push_back(handle);
  ++loop.live_watches;
  return true;
}

// Called once the watch's slot is released.
void detach(int fd) {
  FdEntry &entry = loop.fds[fd];
  --loop.live_watches;
  if (--entry.live == 0) {
    // Nothing live is left to skip, so clearing is safe even mid-batch; the
    // batch's events for this entry now find no watch, and a fresh
    // registration gets a new generation.
    entry.watches.clear();
    if (entry.always_ready) {
      for (size_t i = 0; i < loop.always_ready.size(); ++i) {
        if (loop.always_ready[i] == fd) {
          loop.always_ready[i] = loop.always_ready.back();
          loop.always_ready.pop_back();
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
    loop.dirty_fds.push_back(fd);
  }
  if (!entry.always_ready) {
    unsigned wanted = entry_interest(entry);
    if (wanted != entry.registered && poller_modify(fd, wanted, fd_key(fd)) == 0)
      entry.registered = wanted;
  }
}

uint64_t watch_add(Kind kind, const char *operation, int fd, unsigned interest, void *user_data) {
  if (!descriptor_open(operation, fd)) return 0;
  uint32_t index = loop.watches.acquire();
  Watch &watch = loop.watches.slots[index];
  uint64_t handle = make_handle(kind, index, watch.generation);
  if (!attach(operation, fd, handle, interest, kind == kKindChannel)) {
    loop.watches.free_slots.push_back(index);
    return 0;
  }
  watch.live = true;
  watch.kind = kind;
  watch.fd = fd;
  watch.interest = interest;
  watch.created_in = loop.batch_number;
  watch.user_data = user_data;
  watch.on_read = nullptr;
  watch.on_delete = nullptr;
  watch.io_callback = nullptr;
  return handle;
}

// Drops the stale handles that removals left in the fd entries; only between
// batches, since a batch walks these lists by position.
void compact_fd_entries() {
  for (int fd : loop.dirty_fds) {
    FdEntry &entry = loop.fds[fd];
    entry.dirty = false;
    size_t kept = 0;
    for (uint64_t handle : entry.watches) {
      if (loop.watches.find(handle, static_cast<Kind>(handle & 3))) entry.watches[kept++] = handle;
    }
    entry.watches.resize(kept);
  }
  loop.dirty_fds.clear();
}

// ---- One iteration ---------------------------------------------------------

bool alive() {
  return loop.live_watches > 0 || loop.live_timed > 0 || loop.live_idle > 0 ||
         loop.deletes_next < loop.deletes.size() || loop.prepare_busy;
}

int poll_timeout() {
  if (loop.prepare_busy || loop.live_idle > 0 || !loop.always_ready.empty() ||
      loop.deletes_next < loop.deletes.size())
    return 0;
  heap_prune();
  if (loop.heap.empty()) return -1;
  int64_t wait = loop.heap[0].due_ms - loop_now_ms();
  return wait <= 0 ? 0 : wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

// Fetches the next batch: the poller's events, then one readable event per
// always-ready descriptor.  False when the poller failed.
bool fetch_batch() {
  compact_fd_entries();
  size_t needed = kPollBatch + loop.always_ready.size();
  if (loop.batch.size() < needed) loop.batch.resize(needed);
  ++loop.batch_number;
  int n = poller_wait(loop.batch.data(), kPollBatch, poll_timeout());
  if (n < 0) {
    std::fprintf(stderr, "wex: WexMainLoop: epoll_wait: %s\n", std::strerror(-n));
    loop.batch_count = 0;
    return false;
  }
  for (int fd : loop.always_ready) loop.batch[n++] = PollerEvent{fd_key(fd), kIoRead};
  loop.batch_count = n;
  loop.batch_next = 0;
  loop.batch_watch = 0;
  return true;
}

// Serves the next watch of the current event: at most one callback.
void dispatch_step() {
  PollerEvent event = loop.batch[loop.batch_next];
  uint32_t fd = static_cast<uint32_t>(event.key);
  uint64_t handle = 0;
  if (fd < loop.fds.size()) {
    const FdEntry &entry = loop.fds[fd];
    if (entry.generation == event.key >> 32 && loop.batch_watch < entry.watches.size())
      handle = entry.watches[loop.batch_watch++];
    if (handle == 0 || loop.batch_watch >= entry.watches.size()) {
      ++loop.batch_next;
      loop.batch_watch = 0;
    }
  } else {
    ++loop.batch_next;
  }
  if (handle == 0) return;
  Kind kind = static_cast<Kind>(handle & 3);
  Watch *watch = loop.watches.find(handle, kind);
  if (!watch || watch->created_in == loop.batch_number) return;
  if (kind == kKindChannel) {
    if ((event.flags & (kIoRead | kIoError)) && watch->on_read)
      watch->on_read(to_pointer<WexChannelPtr>(handle), watch->fd, watch->user_data);
  } else {
    unsigned events = event.flags & (watch->interest | kIoError);
    if (events) watch->io_callback(watch->user_data, events);
  }
}

void start_idle_pass() {
  size_t kept = 0;
  for (uint64_t handle : loop.idle) {
    if (loop.timers.find(handle, kKindTimer)) loop.idle[kept++] = handle;
  }
  loop.idle.resize(kept);
  loop.idle_next = 0;
  loop.idle_end = kept;
}

void run_next_delete() {
  PendingDelete pending = loop.deletes[loop.deletes_next++];
  if (loop.deletes_next == loop.deletes.size()) {
    loop.deletes.clear();
    loop.deletes_next = 0;
  }
  pending.on_delete(pending.user_data);
}

}  // namespace

// ---- Internal interface ----------------------------------------------------

IoWatch *loop_io_add(int fd, unsigned interest, IoCallback cb, void *ctx) {
  if (!cb) {
    std::fprintf(stderr, "wex: loop_io_add: descriptor %d: no callback\n", fd);
    return nullptr;
  }
  uint64_t handle = watch_add(kKindIo, "loop_io_add", fd, interest & (kIoRead | kIoWrite), ctx);
  if (handle == 0) return nullptr;
  loop.watches.slots[handle >> kIndexShift & 0xffffffffu].io_callback = cb;
  return to_pointer<IoWatch *>(handle);
}

void loop_io_modify(IoWatch *io, unsigned interest) {
  Watch *watch = loop.watches.find(to_handle(io), kKindIo);
  if (!watch) return;
  watch->interest = interest & (kIoRead | kIoWrite);
  int fd = watch->fd;
  FdEntry &entry = loop.fds[fd];
  unsigned wanted = entry_interest(entry);
  if (wanted != entry.registered) {
    int error = poller_modify(fd, wanted, fd_key(fd));
    if (error == ENOENT) error = poller_add(fd, wanted, fd_key(fd));
    if (error == 0)
      entry.registered = wanted;
    else
      std::fprintf(stderr, "wex: loop_io_modify: descriptor %d: %s\n", fd, std::strerror(error));
  }
}

void loop_io_remove(IoWatch *io) {
  uint32_t index;
  Watch *watch = loop.watches.find(to_handle(io), kKindIo, &index);
  if (!watch) return;
  int fd = watch->fd;
  loop.watches.release(index);
  detach(fd);
}

void loop_set_prepare(PrepareHook hook, void *ctx) {
  loop.prepare = hook;
  loop.prepare_ctx = ctx;
  if (!hook) loop.prepare_busy = false;
}

void loop_set_stop_hook(StopHook hook) { loop.stop_hook = hook; }

int64_t loop_now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

}  // namespace wex

// ---- Public interface ------------------------------------------------------

using namespace wex;

void WexMainLoop(void) {
  // A WexStop from here on ends this call; one made before it does not.
  const uint64_t stop_requests = loop.stop_requests;
  for (;;) {
    if (loop.stop_requests != stop_requests) {
      // Deletions promised "before WexMainLoop returns"; the iteration itself
      // stays where it is for the next call.
      while (loop.deletes_next < loop.deletes.size()) run_next_delete();
      return;
    }
    switch (loop.phase) {
      case Phase::kStart:
        if (loop.deletes_next < loop.deletes.size()) {
          run_next_delete();
          continue;
        }
        loop.phase = Phase::kPoll;
        if (loop.prepare) {
          // Busy unless it says otherwise: if it never returns, the next
          // iteration must not block on input it left buffered.
          loop.prepare_busy = true;
          loop.prepare_busy = loop.prepare(loop.prepare_ctx);
        }
        continue;
      case Phase::kPoll:
        if (!alive()) {
          loop.phase = Phase::kStart;
          return;
        }
        if (!fetch_batch()) {
          loop.phase = Phase::kStart;
          return;
        }
        loop.phase = Phase::kDispatch;
        continue;
      case Phase::kDispatch:
        if (loop.batch_next < loop.batch_count) {
          dispatch_step();
          continue;
        }
        compact_fd_entries();
        // The timer pass: the timers due now, then the idle ones that exist
        // now; a timer made during the pass is not run in it (a timed one is
        // due after pass_now).  No timed timer, no need to read the clock.
        loop.pass_now = loop.live_timed == 0 ? INT64_MIN : loop_now_ms();
        start_idle_pass();
        loop.phase = Phase::kTimers;
        continue;
      case Phase::kTimers:
        heap_prune();
        if (!loop.heap.empty() && loop.heap[0].due_ms <= loop.pass_now) {
          fire_timed();
          continue;
        }
        loop.phase = Phase::kIdle;
        continue;
      case Phase::kIdle:
        if (loop.idle_next < loop.idle_end) {
          uint32_t index;
          if (loop.timers.find(loop.idle[loop.idle_next++], kKindTimer, &index)) fire_idle(index);
          continue;
        }
        loop.phase = Phase::kStart;
        continue;
    }
  }
}

void WexStop(void) {
  if (loop.stop_hook) loop.stop_hook();
  ++loop.stop_requests;
}

WexTimerPtr TimerRepeatAfter(int count, long period_ms, WexTimerCallback cb, void *user_data) {
  if (!cb) {
    std::fprintf(stderr, "wex: TimerRepeatAfter: no callback\n");
    return nullptr;
  }
  uint32_t index = loop.timers.acquire();
  Timer &timer = loop.timers.slots[index];
  timer.live = true;
  timer.count = count;
  timer.fired = 0;
  timer.period_ms = period_ms;
  timer.callback = cb;
  timer.user_data = user_data;
  // A fresh ticket for every timer, idle ones too: the slot may have left a
  // stale entry in the heap under its previous ticket.
  timer.ticket = loop.next_order++;
  uint64_t handle = make_handle(kKindTimer, index, timer.generation);
  if (period_ms > 0) {
    loop.heap.push_back(HeapEntry{saturating_add(loop_now_ms(), period_ms), timer.ticket, index});
    heap_sift_up(loop.heap.size() - 1);
    ++loop.live_timed;
  } else {
    loop.idle.push_back(handle);
    ++loop.live_idle;
  }
  return to_pointer<WexTimerPtr>(handle);
}

void TimerRemove(WexTimerPtr timer) {
  uint32_t index;
  if (loop.timers.find(to_handle(timer), kKindTimer, &index)) timer_remove(index);
}

WexChannelPtr WexChannelAdd(int fd, void *user_data, WexChannelDelete on_delete,
                            WexChannelHandler on_read, WexChannelHandler /*on_write*/) {
  uint64_t handle = watch_add(kKindChannel, "WexChannelAdd", fd, kIoRead, user_data);
  if (handle == 0) return nullptr;
  Watch &watch = loop.watches.slots[handle >> kIndexShift & 0xffffffffu];
  watch.on_read = on_read;
  watch.on_delete = on_delete;
  return to_pointer<WexChannelPtr>(handle);
}

void WexChannelRemove(WexChannelPtr channel) {
  uint32_t index;
  Watch *watch = loop.watches.find(to_handle(channel), kKindChannel, &index);
  if (!watch) return;
  PendingDelete pending{watch->on_delete, watch->user_data};
  int fd = watch->fd;
  loop.watches.release(index);
  detach(fd);
  if (pending.on_delete) loop.deletes.push_back(pending);
}
