// One subscription's answer to one text, as RE2 gives it and as a
// SubscriptionSet gives it: the differential test and the fuzz target of the
// matching by hand compare the two.
#pragma once

#include <re2/re2.h>

#include <string>
#include <vector>

#include "match/subscriptions.h"

namespace wex {

struct Answer {
  bool matched = false;
  std::vector<std::string> groups;
  bool operator==(const Answer &o) const { return matched == o.matched && groups == o.groups; }
};

inline std::string show(const Answer &a) {
  std::string s = a.matched ? "match" : "no match";
  for (auto &g : a.groups) s += " [" + g + "]";
  return s;
}

inline Answer re2_answer(const RE2 &re, const std::string &text) {
  int n = re.NumberOfCapturingGroups();
  std::vector<re2::StringPiece> pieces(size_t(n) + 1);
  Answer a;
  a.matched = re.Match(text, 0, text.size(), RE2::UNANCHORED, pieces.data(), n + 1);
  if (a.matched)
    for (int i = 1; i <= n; ++i)
      a.groups.push_back(pieces[size_t(i)].data() ? std::string(pieces[size_t(i)]) : "<absent>");
  return a;
}

inline Answer set_answer(SubscriptionSet &set, uint32_t id, const std::string &text) {
  Answer a;
  set.match(text, [&](uint32_t got, const re2::StringPiece *g, int count) {
    if (got != id) return;
    a.matched = true;
    for (int i = 0; i < count; ++i)
      a.groups.push_back(g[i].data() ? std::string(g[i]) : "<absent>");
  });
  return a;
}

}  // namespace wex
