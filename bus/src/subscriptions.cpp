#include "subscriptions.h"

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
  auto re =
      std::make_unique<RE2>(re2::StringPiece(pattern.data(), pattern.size()), pattern_options());
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
  ids_[id] = subs_.size();
  subs_.push_back(Sub{id, std::move(re), groups, false});
  return result;
}

bool SubscriptionSet::remove(uint32_t id) {
  auto it = ids_.find(id);
  if (it == ids_.end()) return false;
  size_t index = it->second;
  ids_.erase(it);
  if (subs_[index].re) program_size_ -= subs_[index].re->ProgramSize();
  if (index < in_set_) {
    // The set still holds the pattern; its hits are skipped from now on.
    subs_[index].re.reset();
    subs_[index].removed = true;
    ++removed_in_set_;
    return true;
  }
  // Outside the set, a subscription just goes: the few after it move down.
  subs_.erase(subs_.begin() + long(index));
  for (size_t i = index; i < subs_.size(); ++i) ids_[subs_[i].id] = i;
  return true;
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
  in_set_ = kept;
  removed_in_set_ = 0;
  outside_work_ = 0;
  set_usable_ = false;
  set_index_.clear();
  RE2::Options options = pattern_options();
  options.set_max_mem(kSetMemory);
  set_ = std::make_unique<RE2::Set>(options, RE2::UNANCHORED);
  size_t text = 0;
  for (const Sub &sub : subs_) text += sub.re ? sub.re->pattern().size() : 0;
  if (text > kMaxSetText) return;
  for (size_t i = 0; i < subs_.size(); ++i) {
    if (!subs_[i].re) continue;
    if (set_->Add(subs_[i].re->pattern(), nullptr) < 0) return;
    set_index_.push_back(int(i));
  }
  set_usable_ = set_->Compile();
}

bool SubscriptionSet::match_one(const Sub &sub, std::string_view text) {
  // Asking for no submatch at all lets RE2 stop at the first match it sees;
  // group 0 is asked for only when there are groups to extract after it.
  return sub.re->Match(re2::StringPiece(text.data(), text.size()), 0, text.size(), RE2::UNANCHORED,
                       groups_.data(), sub.groups == 0 ? 0 : sub.groups + 1);
}

}  // namespace wex
