#include "subscriptions.h"

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
  for (const Sub &s : subs_)
    if (s.id == id) return Added::kDuplicate;
  if (subs_.size() >= proto::kMaxSubscriptions) return Added::kFull;
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
  subs_.push_back(Sub{id, std::move(re), groups});
  set_stale_ = true;
  return result;
}

bool SubscriptionSet::remove(uint32_t id) {
  auto it = std::find_if(subs_.begin(), subs_.end(), [id](const Sub &s) { return s.id == id; });
  if (it == subs_.end()) return false;
  subs_.erase(it);
  set_stale_ = true;
  return true;
}

void SubscriptionSet::rebuild_set() {
  set_stale_ = false;
  set_usable_ = false;
  set_index_.clear();
  RE2::Options options = pattern_options();
  options.set_max_mem(kSetMemory);
  set_ = std::make_unique<RE2::Set>(options, RE2::UNANCHORED);
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
