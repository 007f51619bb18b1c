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
#include <unordered_map>
#include <vector>

#include "protocol.h"

namespace wex {

// RE2's memory budget for one pattern: its program and the cache of the
// matcher that runs it.  A pattern over it is refused in a few milliseconds
// (at 2 MiB, \pL{100} compiled, in 50 ms, into 1 MiB).  Local patterns get
// the same budget as remote ones, so a pattern that compiles at WexBindMsg
// compiles at every peer too.
constexpr int64_t kPatternMemory = 256 << 10;
// All the patterns of one peer: their programs together, in RE2
// instructions (about 16 bytes each), and the set that matches them at once.
constexpr int64_t kProgramBudget = 1 << 20;
constexpr int64_t kSetMemory = 16 << 20;
// RE2 gives up on a set whose patterns hold too many parts (it says so on
// stderr, out of our hands, and the set does not compile): past this much
// pattern text in all, a peer's patterns are matched one by one.
constexpr size_t kMaxSetText = 128 << 10;
RE2::Options pattern_options();

class SubscriptionSet {
 public:
  enum class Added { kAdded, kIgnored, kDuplicate, kFull, kOverBudget };

  SubscriptionSet();
  ~SubscriptionSet();
  SubscriptionSet(const SubscriptionSet &) = delete;
  SubscriptionSet &operator=(const SubscriptionSet &) = delete;

  // kIgnored: the pattern does not compile within the budget, or has more
  // groups than a delivery may carry; it is kept (so that its removal is
  // understood) but never matches.  *reason says why.  kOverBudget: the
  // patterns together would pass kProgramBudget; nothing was added.
  Added add(uint32_t id, std::string_view pattern, std::string *reason);
  bool remove(uint32_t id);
  size_t size() const { return ids_.size(); }

  // Calls deliver(id, groups, group_count) for each subscription that
  // matches text, in the order the subscriptions were added.  groups[i] is
  // the text of group i+1 (an empty piece with a null data pointer for a
  // group that did not take part).  Returns the number of matches.
  template <class Deliver>
  int match(std::string_view text, Deliver &&deliver);

 private:
  struct Sub {
    uint32_t id;
    std::unique_ptr<RE2> re;  // null when ignored or removed
    int groups;
    bool removed;  // withdrawn, but the set was built with it
  };
  void rebuild_set();
  bool match_one(const Sub &sub, std::string_view text);
  template <class Deliver>
  bool deliver_if_match(const Sub &sub, std::string_view text, Deliver &deliver);

  // In order of addition.  subs_[0, in_set_) are the entries the set was
  // built from (a removed one stays, without its pattern, until the next
  // build); the rest came since and are matched one by one.  So a peer that
  // toggles a few subscriptions keeps a valid set, and one that changes many
  // makes it be built again only as often as that pays.
  std::vector<Sub> subs_;
  size_t in_set_ = 0;
  size_t removed_in_set_ = 0;
  int64_t program_size_ = 0;  // of the live patterns
  size_t outside_work_ = 0;   // single matches done outside the set since it was built
  std::unordered_map<uint32_t, size_t> ids_;  // live id -> index in subs_
  // The set answers "which patterns match" in one pass, so a peer with a
  // thousand subscriptions costs about what one with a handful does; only
  // the patterns it reports are run again for their groups.
  std::unique_ptr<RE2::Set> set_;
  std::vector<int> set_index_;  // set entry -> index in subs_
  bool set_usable_ = false;
  std::vector<int> hits_;
  std::vector<re2::StringPiece> groups_;
};

// Below this many patterns a plain loop is as fast as the set.
constexpr size_t kSetThreshold = 4;
// See match(): when the set is built again.
constexpr size_t kMaxOutsideSet = 32;
constexpr size_t kBuildCost = 100;

template <class Deliver>
bool SubscriptionSet::deliver_if_match(const Sub &sub, std::string_view text, Deliver &deliver) {
  if (!sub.re || !match_one(sub, text)) return false;
  deliver(sub.id, groups_.data() + 1, sub.groups);
  return true;
}

template <class Deliver>
int SubscriptionSet::match(std::string_view text, Deliver &&deliver) {
  if (ids_.empty()) return 0;
  int matched = 0;
  if (ids_.size() > kSetThreshold) {
    // Building the set again costs about kBuildCost single matches per
    // pattern; the patterns outside it cost one match each per message.  So
    // it is built again once the matching done outside it since the last
    // build has cost as much as a build (then neither ever costs more than
    // twice what the best choice would have), or at once when most patterns
    // are outside it (the burst of a handshake), or when most patterns it
    // holds have been withdrawn.
    size_t outside = subs_.size() - in_set_;
    outside_work_ += outside;
    if (!set_ || outside > in_set_ + kMaxOutsideSet || outside_work_ > kBuildCost * subs_.size() ||
        removed_in_set_ > std::max(kMaxOutsideSet, in_set_ / 2))
      rebuild_set();
    if (set_usable_) {
      hits_.clear();
      RE2::Set::ErrorInfo info;
      bool any = set_->Match(re2::StringPiece(text.data(), text.size()), &hits_, &info);
      if (any || info.kind == RE2::Set::kNoError) {
        // The set reports in no particular order; deliveries go out in the
        // order of subscription so that a receiver sees a stable sequence.
        for (int &h : hits_) h = set_index_[size_t(h)];
        std::sort(hits_.begin(), hits_.end());
        for (int h : hits_) {
          const Sub &sub = subs_[size_t(h)];
          if (!sub.re) continue;  // removed since the set was built
          if (sub.groups > 0) {
            matched += deliver_if_match(sub, text, deliver);
          } else {  // without groups the set's answer is the whole answer
            deliver(sub.id, groups_.data() + 1, 0);
            ++matched;
          }
        }
        for (size_t i = in_set_; i < subs_.size(); ++i)
          matched += deliver_if_match(subs_[i], text, deliver);
        return matched;
      }
      set_usable_ = false;  // out of memory: the loop below does it all
    }
  }
  for (const Sub &sub : subs_) matched += deliver_if_match(sub, text, deliver);
  return matched;
}

}  // namespace wex
