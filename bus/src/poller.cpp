// The epoll backend of the loop.
#include "poller.h"

#include <sys/epoll.h>
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
  if (n < 0) return errno == EINTR ? 0 : -errno;
  for (int i = 0; i < n; ++i) {
    uint32_t e = scratch[i].events;
    events[i].key = scratch[i].data.u64;
    events[i].flags = ((e & (EPOLLIN | EPOLLPRI)) ? kIoRead : 0u) |
                      ((e & EPOLLOUT) ? kIoWrite : 0u) |
                      ((e & (EPOLLHUP | EPOLLERR)) ? kIoError : 0u);
  }
  return n;
}

}  // namespace wex
