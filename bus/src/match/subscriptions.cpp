#include "match/subscriptions.h"

#include <algorithm>

namespace wex {

RE2::Options pattern_options() {
  RE2::Options options;
  options.set_log_errors(false);
  options.set_max_mem(kPatternMemory);
  return options;
}

SubscriptionSet::SubscriptionSet() { groups_.resize(proto::kMaxArgs + 1); }
SubscriptionSet::~SubscriptionSet() = default;

SubscriptionSet::Added SubscriptionSet::add(uint32_t id, std::string_view pattern,
                                            std::string *reason) {
  if (ids_.count(id)) return Added::kDuplicate;
  if (ids_.size() >= proto::kMaxSubscriptions) return Added::kFull;
  std::unique_ptr<RE2> re;
  auto same = std::find_if(withdrawn_.begin(), withdrawn_.end(),
                           [&](const auto &w) { return w->pattern() == pattern; });
  if (same != withdrawn_.end()) {
    re = std::move(*same);
    withdrawn_.erase(same);
  } else {
    re = std::make_unique<RE2>(re2::StringPiece(pattern.data(), pattern.size()), pattern_options());
  }
  Added result = Added::kAdded;
  int groups = 0;
  if (!re->ok()) {
    *reason = re->error();
    re.reset();
    result = Added::kIgnored;
  } else if ((groups = re->NumberOfCapturingGroups()) > int(proto::kMaxArgs)) {
    *reason = "more than " + std::to_string(proto::kMaxArgs) + " groups";
    re.reset();
    result = Added::kIgnored;
  }
  if (re) {
    if (program_size_ + re->ProgramSize() > kProgramBudget) return Added::kOverBudget;
    program_size_ += re->ProgramSize();
  }
  FastPattern fast;
  if (re) fast = recognize(pattern);
  ids_[id] = subs_.size();
  subs_.push_back(Sub{id, std::move(re), groups, false, std::move(fast)});
  return result;
}

bool SubscriptionSet::remove(uint32_t id) {
  auto it = ids_.find(id);
  if (it == ids_.end()) return false;
  size_t index = it->second;
  ids_.erase(it);
  if (subs_[index].re) program_size_ -= subs_[index].re->ProgramSize();
  keep_withdrawn(std::move(subs_[index].re));
  if (index < in_set_) {
    // The set still holds the pattern; its hits are skipped from now on.
    subs_[index].removed = true;
    ++removed_in_set_;
    return true;
  }
  // Outside the set, a subscription just goes: the few after it move down.
  subs_.erase(subs_.begin() + long(index));
  for (size_t i = index; i < subs_.size(); ++i) ids_[subs_[i].id] = i;
  return true;
}

void SubscriptionSet::keep_withdrawn(std::unique_ptr<RE2> re) {
  if (!re) return;
  if (withdrawn_.size() == kWithdrawnKept) withdrawn_.erase(withdrawn_.begin());
  withdrawn_.push_back(std::move(re));
}

void SubscriptionSet::rebuild_if_due() {
  // Building the set again costs about kBuildCost single matches per
  // pattern; the patterns outside it cost one match each per message.  So it
  // is built again once the matching done outside it since the last build
  // has cost as much as a build (then neither ever costs more than twice
  // what the best choice would have), or at once when most patterns are
  // outside it (the burst of a handshake), or when most patterns it holds
  // have been withdrawn.
  size_t outside = subs_.size() - in_set_;
  outside_work_ += outside;
  if (!built_ || outside > in_set_ + kMaxOutsideSet || outside_work_ > kBuildCost * subs_.size() ||
      removed_in_set_ > std::max(kMaxOutsideSet, in_set_ / 2))
    rebuild_set();
}

void SubscriptionSet::rebuild_set() {
  size_t kept = 0;
  for (size_t i = 0; i < subs_.size(); ++i) {
    if (subs_[i].removed) continue;
    if (kept != i) subs_[kept] = std::move(subs_[i]);
    ids_[subs_[kept].id] = kept;
    ++kept;
  }
  subs_.resize(kept);
  built_ = true;
  in_set_ = kept;
  removed_in_set_ = 0;
  outside_work_ = 0;
  set_index_.clear();
  set_usable_ = false;
  size_t text = 0;
  literals_.clear();
  for (size_t i = 0; i < subs_.size(); ++i) {
    const Sub &sub = subs_[i];
    if (!sub.re) continue;
    if (sub.fast.shape == Shape::kNone) {
      text += sub.re->pattern().size();
      set_index_.push_back(int(i));
      continue;
    }
    literals_.emplace_back(sub.fast.literal, int(i));
  }
  by_literal_.build(literals_);
  set_.reset();
  if (set_index_.empty() || text > kMaxSetText) return;
  RE2::Options options = pattern_options();
  options.set_max_mem(kSetMemory);
  set_ = std::make_unique<RE2::Set>(options, RE2::UNANCHORED);
  for (int i : set_index_)
    if (set_->Add(subs_[size_t(i)].re->pattern(), nullptr) < 0) return;
  set_usable_ = set_->Compile();
}

bool SubscriptionSet::collect_hits(std::string_view text) {
  hits_.clear();
  if (!set_index_.empty()) {
    if (!set_usable_) return false;
    RE2::Set::ErrorInfo info;
    if (!set_->Match(re2::StringPiece(text.data(), text.size()), &hits_, &info) &&
        info.kind != RE2::Set::kNoError) {
      set_usable_ = false;  // out of memory: matched one by one from now on
      return false;
    }
    for (int &h : hits_) h = set_index_[size_t(h)];
  }
  by_literal_.prefixes_of(text, [this](int sub) { hits_.push_back(sub); });
  if (hits_.size() > 1) std::sort(hits_.begin(), hits_.end());
  return true;
}

bool SubscriptionSet::match_one(const Sub &sub, std::string_view text, const TextScan &scan,
                                bool literal_seen) {
  if (sub.fast.shape != Shape::kNone) {
    if (!literal_seen && !starts_with(text, sub.fast.literal)) return false;
    if (scan.ascii || sub.fast.shape == Shape::kPrefix || sub.fast.shape == Shape::kExact)
      return fast_match(sub.fast, text, scan, groups_.data() + 1);
  }
  // Asking for no submatch at all lets RE2 stop at the first match it sees;
  // group 0 is asked for only when there are groups to extract after it.
  return sub.re->Match(re2::StringPiece(text.data(), text.size()), 0, text.size(), RE2::UNANCHORED,
                       groups_.data(), sub.groups == 0 ? 0 : sub.groups + 1);
}

}  // namespace wex
