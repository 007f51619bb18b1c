// The handoff from libnats's threads to the loop: see nats_handoff.h.
#include "transport/nats/nats_handoff.h"

#include <nats/nats.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace wex {
namespace {

void destroy(const NatsItem &item) {
  if (item.msg) natsMsg_Destroy(static_cast<natsMsg *>(item.msg));
}

}  // namespace

bool NatsHandoff::open(uint64_t session, std::string *error) {
  if (fd_ < 0) fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd_ < 0) {
    *error = std::string("eventfd: ") + strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  session_ = session;
  return true;
}

void NatsHandoff::close() {
  std::vector<NatsItem> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    session_ = 0;
    dropped.swap(items_);
  }
  for (const NatsItem &item : dropped) destroy(item);
  rest();
}

void NatsHandoff::push(uint64_t session, const NatsItem &item) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (session != 0 && session == session_) {
      items_.push_back(item);
      if (!signalled_) {
        signalled_ = true;
        uint64_t one = 1;
        if (write(fd_, &one, sizeof one) < 0) {
          // Only a full counter fails, and then it is readable anyway.
        }
      }
      return;
    }
  }
  destroy(item);
}

void NatsHandoff::take(std::vector<NatsItem> *into) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (into->empty())
    into->swap(items_);
  else
    into->insert(into->end(), items_.begin(), items_.end());
  items_.clear();
}

void NatsHandoff::rest() {
  if (fd_ < 0) return;
  uint64_t count;
  if (read(fd_, &count, sizeof count) < 0) {
    // Nothing was signalled: already clear.
  }
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = !items_.empty();
  if (signalled_) wake();
}

void NatsHandoff::wake() {
  uint64_t one = 1;
  if (fd_ >= 0 && write(fd_, &one, sizeof one) < 0) {
    // As in push: a full counter is readable anyway.
  }
}

}  // namespace wex
