// Matching outgoing messages against a peer's subscriptions.
#include "match/subscriptions.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

using namespace wex;
using wex::proto::kMaxArgs;
using wex::proto::kMaxSubscriptions;

namespace {

struct Delivery {
  uint32_t id;
  std::vector<std::string> groups;
  bool operator==(const Delivery &o) const { return id == o.id && groups == o.groups; }
};

std::vector<Delivery> match_all(SubscriptionSet &s, std::string_view text) {
  std::vector<Delivery> out;
  int n = s.match(text, [&](uint32_t id, const re2::StringPiece *g, int count) {
    Delivery d{id, {}};
    for (int i = 0; i < count; ++i)
      d.groups.emplace_back(g[i].data() ? std::string(g[i]) : "<absent>");
    out.push_back(d);
  });
  EXPECT_EQ(size_t(n), out.size());
  return out;
}

TEST(Matching, CapturesAndAbsentGroupsThroughLoopAndSet) {
  // Below the threshold matching loops; above it the set filters first:
  // both must give the same deliveries, in subscription order.
  for (size_t fillers : {0u, 50u}) {
    SubscriptionSet s;
    std::string reason;
    for (size_t i = 0; i < fillers; ++i)
      ASSERT_EQ(s.add(uint32_t(1000 + i), "^filler" + std::to_string(i) + "$", &reason),
                SubscriptionSet::Added::kAdded);
    ASSERT_EQ(s.add(1, "temp (\\d+)( C)?", &reason), SubscriptionSet::Added::kAdded);
    ASSERT_EQ(s.add(2, "^t", &reason), SubscriptionSet::Added::kAdded);
    ASSERT_EQ(s.add(3, "(", &reason), SubscriptionSet::Added::kIgnored);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(match_all(s, "temp 21"), (std::vector<Delivery>{{1, {"21", "<absent>"}}, {2, {}}}))
        << fillers;
    EXPECT_EQ(match_all(s, "x temp 3 C"), (std::vector<Delivery>{{1, {"3", " C"}}})) << fillers;
    EXPECT_TRUE(match_all(s, "nothing").empty());
    EXPECT_EQ(s.add(2, "again", &reason), SubscriptionSet::Added::kDuplicate);
    EXPECT_TRUE(s.remove(1));
    EXPECT_TRUE(s.remove(3)) << "an ignored pattern can still be withdrawn";
    EXPECT_FALSE(s.remove(1));
    EXPECT_EQ(match_all(s, "temp 21"), (std::vector<Delivery>{{2, {}}}));
  }
}

// Subscriptions that come and go between messages, as a peer that toggles
// them does: the set, the patterns added since it was built and the ones
// withdrawn from it must together answer exactly what one RE2 per pattern
// answers, in subscription order, through every rebuild.
TEST(Matching, ChurnGivesWhatEachPatternAloneGives) {
  std::mt19937 random(11);
  SubscriptionSet s;
  std::map<uint32_t, std::unique_ptr<RE2>> reference;  // ids grow: map order is add order
  uint32_t next_id = 1;
  std::string reason;
  // RE2's patterns, and shaped ones whose literals are prefixes of each
  // other ("k1", "k15") and repeat under several ids.
  auto pattern_of = [](unsigned k) {
    std::string n = std::to_string(k % 40);
    switch (k % 4) {
      case 0:
        return "^k" + n + " (\\w+)";
      case 1:
        return "^k" + n + "(.*)";
      case 2:
        return "^(k" + n + ".*)$";
      default:
        return "k" + n + "\\b";
    }
  };
  for (int step = 0; step < 3000; ++step) {
    unsigned op = random() % 10;
    if (op < 4 || reference.size() < 8) {
      std::string p = pattern_of(random());
      ASSERT_EQ(s.add(next_id, p, &reason), SubscriptionSet::Added::kAdded);
      reference[next_id++] = std::make_unique<RE2>(p);
    } else if (op < 7) {
      auto it = reference.begin();
      std::advance(it, long(random() % reference.size()));
      ASSERT_TRUE(s.remove(it->first));
      reference.erase(it);
    } else {
      std::string text = "k" + std::to_string(random() % 40) + " word";
      std::vector<Delivery> want;
      for (auto &[id, re] : reference) {
        re2::StringPiece g;
        if (re->NumberOfCapturingGroups() == 0 ? RE2::PartialMatch(text, *re)
                                               : RE2::PartialMatch(text, *re, &g))
          want.push_back(Delivery{id, re->NumberOfCapturingGroups()
                                          ? std::vector<std::string>{std::string(g)}
                                          : std::vector<std::string>{}});
      }
      ASSERT_EQ(match_all(s, text), want)
          << "step " << step << ", " << reference.size() << " patterns";
    }
  }
}

TEST(Matching, RemotePatternsAreBounded) {
  SubscriptionSet s;
  std::string reason;
  // Beyond RE2's memory budget: ignored, not fatal.
  EXPECT_EQ(s.add(1, "((((a{100}){100}){100}){100})", &reason), SubscriptionSet::Added::kIgnored);
  std::string groups;
  for (size_t i = 0; i <= kMaxArgs; ++i) groups += "(a)?";
  EXPECT_EQ(s.add(2, groups, &reason), SubscriptionSet::Added::kIgnored);
  for (uint32_t i = 3; s.size() < kMaxSubscriptions; ++i) s.add(i, "x", &reason);
  EXPECT_EQ(s.add(999999, "y", &reason), SubscriptionSet::Added::kFull);
}

}  // namespace
