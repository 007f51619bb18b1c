// The epoll backend of the loop.
#include "poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diagnostics.h"

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

int poller_wait(PollerEvent *events, int max, int timeout_ms) {
  int ep = descriptor();
  if (ep < 0) return -errno;
  if (max > kScratchSize) max = kScratchSize;
  int n = epoll_wait(ep, scratch, max, timeout_ms);
  if (n < 0) return -errno;
  int kept = 0;
  for (int i = 0; i < n; ++i) {
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

}  // namespace wex
