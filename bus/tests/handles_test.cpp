// The one handle table: kinds, generations and slot reuse.
#include "base/handles.h"

#include <gtest/gtest.h>

#include <set>

using namespace wex;

namespace {

TEST(Handles, StaleForeignAndReusedHandlesNeverReachAnotherObject) {
  HandleTable<int> table;
  uint64_t timer = table.issue(HandleKind::kTimer, 1);
  uint64_t client = table.issue(HandleKind::kClient, 2);
  ASSERT_NE(table.find(timer, HandleKind::kTimer), nullptr);
  EXPECT_EQ(*table.find(timer, HandleKind::kTimer), 1);
  EXPECT_EQ(table.find(timer, HandleKind::kChannel), nullptr) << "another kind";
  EXPECT_EQ(table.find(timer ^ 1), nullptr) << "kind bits forged";
  EXPECT_EQ(table.find(0), nullptr);
  EXPECT_EQ(table.find(~uint64_t{0}), nullptr);
  EXPECT_TRUE(table.retire(timer));
  EXPECT_FALSE(table.retire(timer)) << "twice";
  EXPECT_EQ(table.find(timer), nullptr);
  EXPECT_EQ(*table.find(client, HandleKind::kClient), 2);

  // Slots come back in the order they were freed, once enough wait behind
  // them, and then under a new generation.
  std::vector<uint64_t> freed;
  for (int i = 0; i < 100; ++i) freed.push_back(table.issue(HandleKind::kBinding, i));
  for (uint64_t h : freed) table.retire(h);
  std::set<uint32_t> slots_of_freed;
  for (uint64_t h : freed) slots_of_freed.insert(HandleTable<int>::index_of(h));
  bool reused = false;
  for (int i = 0; i < 200; ++i) {
    uint64_t h = table.issue(HandleKind::kBinding, 1000 + i);
    EXPECT_EQ(h >> 62, 0u) << "survives a 63-bit tagged integer";
    for (uint64_t old : freed) EXPECT_NE(h, old);
    reused = reused || slots_of_freed.count(HandleTable<int>::index_of(h)) > 0;
  }
  EXPECT_TRUE(reused);
  for (uint64_t old : freed) EXPECT_EQ(table.find(old), nullptr);
}

}  // namespace
