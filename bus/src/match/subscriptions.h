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
#include <utility>
#include <vector>

#include "match/fast_match.h"
#include "match/literal_index.h"
#include "wire/protocol.h"

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
    bool removed;      // withdrawn, but the set was built with it
    FastPattern fast;  // its shape, when it has one of those matched by hand
  };
  void rebuild_set();
  void rebuild_if_due();
  // The subscriptions of subs_[0, in_set_) that may match, sorted: those of
  // the index whose literal the text starts with, and what the set says of
  // the others.  False when the set failed (out of memory).
  bool collect_hits(std::string_view text);
  // literal_seen: the text is known to start with a shaped sub's literal.
  bool match_one(const Sub &sub, std::string_view text, const TextScan &scan, bool literal_seen);

  // In order of addition.  subs_[0, in_set_) are the entries the set and the
  // index were built from (a removed one stays, without its pattern, until
  // the next build); the rest came since and are matched one by one.  So a
  // peer that toggles a few subscriptions keeps a valid set, and one that
  // changes many makes it be built again only as often as that pays.
  std::vector<Sub> subs_;
  size_t in_set_ = 0;
  size_t removed_in_set_ = 0;
  int64_t program_size_ = 0;  // of the live patterns
  size_t outside_work_ = 0;   // single matches done outside the set since it was built
  std::unordered_map<uint32_t, size_t> ids_;  // live id -> index in subs_
  // Subscriptions with a shape, by their literal: a message walks the index
  // once and meets those whose literal it starts with.
  LiteralIndex by_literal_;
  std::vector<std::pair<std::string_view, int>> literals_;  // of rebuild_set(), kept for the next
  // The set answers "which of the other patterns match" in one pass, so a
  // peer with a thousand subscriptions costs about what one with a handful
  // does; only the patterns it reports are run again for their groups.
  std::unique_ptr<RE2::Set> set_;
  std::vector<int> set_index_;  // set entry -> index in subs_
  bool built_ = false;          // the set and the index were built once
  bool set_usable_ = false;     // built, and holds something
  std::vector<int> hits_;
  std::vector<re2::StringPiece> groups_;
  // The patterns last withdrawn, still compiled, oldest first: a peer that
  // binds and unbinds the same pattern gets it back warm (RE2 builds its
  // matcher's states as it matches, so a fresh copy costs several times a
  // match at its first sends), and without compiling it again.
  void keep_withdrawn(std::unique_ptr<RE2> re);
  std::vector<std::unique_ptr<RE2>> withdrawn_;
};

constexpr size_t kWithdrawnKept = 4;

// Below this many patterns a plain loop is as fast as the set.
constexpr size_t kSetThreshold = 4;
// See rebuild_if_due(): when the set is built again.
constexpr size_t kMaxOutsideSet = 32;
constexpr size_t kBuildCost = 100;

template <class Deliver>
int SubscriptionSet::match(std::string_view text, Deliver &&deliver) {
  if (ids_.empty()) return 0;
  TextScan scan = scan_text(text);
  int matched = 0;
  auto try_one = [&](const Sub &sub, bool literal_seen) {
    if (!sub.re || !match_one(sub, text, scan, literal_seen)) return;
    deliver(sub.id, groups_.data() + 1, sub.groups);
    ++matched;
  };
  if (ids_.size() > kSetThreshold) {
    rebuild_if_due();
    if (collect_hits(text)) {
      // Deliveries go out in the order of subscription, so that a receiver
      // sees a stable sequence.
      // A shaped hit came from the index, which has seen its literal.
      for (int h : hits_) try_one(subs_[size_t(h)], true);
      for (size_t i = in_set_; i < subs_.size(); ++i) try_one(subs_[i], false);
      return matched;
    }
  }
  for (const Sub &sub : subs_) try_one(sub, false);
  return matched;
}

}  // namespace wex
