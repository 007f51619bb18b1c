// The subscriptions a peer told us about, and the matching of our outgoing
// messages against them.  Matching happens on the sender, so a message
// crosses the network only to peers that want it, already cut into the
// texts of the pattern's groups.
#pragma once

#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"

namespace wex {

// RE2's memory budget for one pattern.  Local patterns get the same budget
// as remote ones, so a pattern that compiles at WexBindMsg compiles at
// every peer too.
constexpr int64_t kPatternMemory = 2 << 20;
constexpr int64_t kSetMemory = 64 << 20;
RE2::Options pattern_options();

class SubscriptionSet {
 public:
  enum class Added { kAdded, kIgnored, kDuplicate, kFull };

  SubscriptionSet();
  ~SubscriptionSet();
  SubscriptionSet(const SubscriptionSet &) = delete;
  SubscriptionSet &operator=(const SubscriptionSet &) = delete;

  // kIgnored: the pattern does not compile within the budget, or has more
  // groups than a delivery may carry; it is kept (so that its removal is
  // understood) but never matches.  *reason says why.
  Added add(uint32_t id, std::string_view pattern, std::string *reason);
  bool remove(uint32_t id);
  size_t size() const { return subs_.size(); }

  // Calls deliver(id, groups, group_count) for each subscription that
  // matches text, in the order the subscriptions were added.  groups[i] is
  // the text of group i+1 (an empty piece with a null data pointer for a
  // group that did not take part).  Returns the number of matches.
  template <class Deliver>
  int match(std::string_view text, Deliver &&deliver);

 private:
  struct Sub {
    uint32_t id;
    std::unique_ptr<RE2> re;  // null when ignored
    int groups;
  };
  void rebuild_set();
  bool match_one(const Sub &sub, std::string_view text);

  std::vector<Sub> subs_;
  // The set answers "which patterns match" in one pass, so a peer with a
  // thousand subscriptions costs about what one with a handful does; only
  // the patterns it reports are run again for their groups.
  std::unique_ptr<RE2::Set> set_;
  std::vector<int> set_index_;  // set entry -> index in subs_
  bool set_stale_ = true;
  bool set_usable_ = false;
  std::vector<int> hits_;
  std::vector<re2::StringPiece> groups_;
};

// Below this many patterns a plain loop is as fast as the set.
constexpr size_t kSetThreshold = 4;

template <class Deliver>
int SubscriptionSet::match(std::string_view text, Deliver &&deliver) {
  if (subs_.empty()) return 0;
  int matched = 0;
  if (subs_.size() > kSetThreshold) {
    if (set_stale_) rebuild_set();
    if (set_usable_) {
      hits_.clear();
      RE2::Set::ErrorInfo info;
      if (set_->Match(re2::StringPiece(text.data(), text.size()), &hits_, &info)) {
        // The set reports in no particular order; deliveries go out in the
        // order of subscription so that a receiver sees a stable sequence.
        for (int &h : hits_) h = set_index_[size_t(h)];
        std::sort(hits_.begin(), hits_.end());
        for (int h : hits_) {
          const Sub &sub = subs_[size_t(h)];
          // Without groups the set's answer is the whole answer.
          if (sub.groups == 0 || match_one(sub, text)) {
            deliver(sub.id, groups_.data() + 1, sub.groups);
            ++matched;
          }
        }
        return matched;
      }
      if (info.kind != RE2::Set::kNoError)
        set_usable_ = false;  // out of memory: loop
      else
        return 0;
    }
  }
  for (const Sub &sub : subs_) {
    if (sub.re && match_one(sub, text)) {
      deliver(sub.id, groups_.data() + 1, sub.groups);
      ++matched;
    }
  }
  return matched;
}

}  // namespace wex
