// The epoll backend of the loop.
#include "loop/poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/diagnostics.h"

namespace wex {
namespace {

// Created on first use, close-on-exec so that a program the process runs does
// not inherit it.
int epoll_descriptor = -1;

constexpr int kScratchSize = 256;
epoll_event scratch[kScratchSize];

// The wake descriptor, registered under a key no watch has, once a program
// waits on the epoll descriptor itself: writing it makes that descriptor
// readable.  Its event is consumed here and never reaches the loop.
constexpr uint64_t kWakeKey = ~uint64_t{0};
int wake_descriptor = -1;
bool wake_pending = false;

// A wait that counts down to a timer's due time waits without a timeout on
// a timerfd armed for that time: epoll_wait given a timeout arms and cancels
// a kernel timer at every call, a quarter of a microsecond of every round
// trip on loopback, while the due time (a heartbeat's, say) stays the same
// for thousands of waits.  It is armed again only when the due time changes,
// and then only for a wait long enough that one system call more is nothing
// beside it; a shorter wait passes its timeout as before.  A timerfd left
// armed for a time no longer needed wakes one wait early, which is harmless.
constexpr uint64_t kTimerKey = ~uint64_t{0} - 1;
constexpr int kArmAtLeastMs = 20;
int timer_descriptor = -1;
bool timer_unavailable = false;
int64_t armed_due = kNoDue;

int control(int op, int fd, unsigned interest, uint64_t key);

bool arm_timer(int64_t due_ms) {
  if (timer_unavailable) return false;
  if (timer_descriptor < 0) {
    timer_descriptor = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_descriptor < 0 || control(EPOLL_CTL_ADD, timer_descriptor, kIoRead, kTimerKey) != 0) {
      if (timer_descriptor >= 0) close(timer_descriptor);
      timer_descriptor = -1;
      timer_unavailable = true;  // timeouts then, as without it
      return false;
    }
  }
  itimerspec at{};
  at.it_value.tv_sec = time_t(due_ms / 1000);
  at.it_value.tv_nsec = long(due_ms % 1000) * 1000000;
  if (timerfd_settime(timer_descriptor, TFD_TIMER_ABSTIME, &at, nullptr) != 0) return false;
  armed_due = due_ms;
  return true;
}

int descriptor() {
  if (epoll_descriptor < 0) {
    epoll_descriptor = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_descriptor < 0) warn("epoll_create1: %s", std::strerror(errno));
  }
  return epoll_descriptor;
}

int control(int op, int fd, unsigned interest, uint64_t key) {
  int ep = descriptor();
  if (ep < 0) return errno;
  epoll_event event{};
  event.events = ((interest & kIoRead) ? EPOLLIN : 0u) | ((interest & kIoWrite) ? EPOLLOUT : 0u);
  event.data.u64 = key;
  return epoll_ctl(ep, op, fd, &event) == 0 ? 0 : errno;
}

}  // namespace

int poller_add(int fd, unsigned interest, uint64_t key) {
  return control(EPOLL_CTL_ADD, fd, interest, key);
}

int poller_modify(int fd, unsigned interest, uint64_t key) {
  return control(EPOLL_CTL_MOD, fd, interest, key);
}

void poller_remove(int fd) {
  if (epoll_descriptor >= 0) epoll_ctl(epoll_descriptor, EPOLL_CTL_DEL, fd, nullptr);
}

int poller_wait(PollerEvent *events, int max, int timeout_ms, int64_t due_ms) {
  int ep = descriptor();
  if (ep < 0) return -errno;
  if (max > kScratchSize) max = kScratchSize;
  if (timeout_ms > 0 && due_ms != kNoDue &&
      (due_ms == armed_due || (timeout_ms >= kArmAtLeastMs && arm_timer(due_ms))))
    timeout_ms = -1;
  int n = epoll_wait(ep, scratch, max, timeout_ms);
  if (n < 0) return -errno;
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    if (scratch[i].data.u64 == kTimerKey) {  // armed_due has come: the loop's timers see to it
      uint64_t expirations;
      if (read(timer_descriptor, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
        warn("timer descriptor: %s", std::strerror(errno));
      armed_due = kNoDue;
      continue;
    }
    if (scratch[i].data.u64 == kWakeKey) {
      uint64_t count;
      if (read(wake_descriptor, &count, sizeof count) < 0 && errno != EAGAIN)
        warn("wake descriptor: %s", std::strerror(errno));
      wake_pending = false;
      continue;
    }
    uint32_t e = scratch[i].events;
    events[kept].key = scratch[i].data.u64;
    events[kept].flags = ((e & (EPOLLIN | EPOLLPRI)) ? kIoRead : 0u) |
                         ((e & EPOLLOUT) ? kIoWrite : 0u) |
                         ((e & (EPOLLHUP | EPOLLERR)) ? kIoError : 0u);
    ++kept;
  }
  return kept;
}

int poller_descriptor() {
  int ep = descriptor();
  if (ep >= 0 && wake_descriptor < 0) {
    wake_descriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_descriptor < 0 || control(EPOLL_CTL_ADD, wake_descriptor, kIoRead, kWakeKey) != 0) {
      warn("wake descriptor: %s", std::strerror(errno));
      if (wake_descriptor >= 0) close(wake_descriptor);
      wake_descriptor = -1;
    }
  }
  return ep;
}

void poller_wake() {
  if (wake_descriptor < 0 || wake_pending) return;
  uint64_t one = 1;
  if (write(wake_descriptor, &one, sizeof one) == sizeof one) wake_pending = true;
}

int64_t loop_now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

}  // namespace wex
