// Matching outgoing messages against a peer's subscriptions.
#include "subscriptions.h"

#include <gtest/gtest.h>

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
