// The subscriptions matched by hand must answer exactly as RE2 does, match
// and groups.  Random patterns of every recognised shape and of shapes that
// only look like one, against random texts (newlines, blanks that \S
// refuses and one it takes, UTF-8 and invalid bytes), each compared with
// RE2 itself: alone (the one-by-one path) and among many others (the index
// and the set).
#include "match/fast_match.h"

#include <gtest/gtest.h>

#include <random>

#include "match/subscriptions.h"
#include "match_answers.h"

using namespace wex;

namespace {

const char *const kPieces[] = {"a",   "b",   "ab",  " ",   ":",    "-",  "/", "_",
                               "\\.", "\\(", "\\$", "\\-", "\\\\", "x1", "é"};
const char *const kShapes[] = {
    // recognised
    "^L", "^L$", "^L(.*)", "^L(.*)$", "^(L.*)", "^(L.*)$", "^L(\\S+) (.*)", "^L(\\S+) (.*)$",
    // near misses: RE2 must decide these
    "L(.*)", "^L(.+)", "^L(.*?)", "(?i)^L", "^L(\\S+)(.*)", "^L(\\s+) (.*)", "^L(\\S*) (.*)",
    "^L[ab](.*)", "^(L.*)$x", "^L(.*)\\n", "^L|x", "^(?:L)(.*)", "^L(.*)(.*)", "^(L.+)$",
    "^L(\\S+) (.*)$$", "(?s)^L(.*)$", "^L\\d(.*)"};
const char *const kTextPieces[] = {"a", "b",    "ab",   " ",  ":",  "-",   "/",   "_",   ".",
                                   "(", "$",    "\\",   "x1", "\n", "\t",  "\r",  "\f",  "\v",
                                   "é", "\xff", "\xc3", "zz", "  ", "a b", "ab:", "\n\n"};

template <size_t N>
std::string pick(std::mt19937 &random, const char *const (&pieces)[N], int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += pieces[random() % N];
  return s;
}

// The literal as a text: the pattern's escapes undone.
std::string unescaped(const std::string &literal) {
  std::string s;
  for (size_t i = 0; i < literal.size(); ++i) s += literal[i] == '\\' ? literal[++i] : literal[i];
  return s;
}

TEST(FastMatch, EveryAnswerIsRE2s) {
  std::mt19937 random(20261209);
  int recognised = 0, compared = 0, matched = 0;
  for (int round = 0; round < 3500; ++round) {
    // Now and then a long literal, for the compare by words.
    std::string literal = pick(random, kPieces, int(random() % (round % 8 ? 4 : 12)));
    std::string shape = kShapes[random() % (sizeof kShapes / sizeof *kShapes)];
    std::string pattern = shape.replace(shape.find('L'), 1, literal);
    RE2 re(pattern, pattern_options());
    if (!re.ok()) continue;
    recognised += recognize(pattern).shape != Shape::kNone;
    // Alone, and as the 60th of patterns with literals of several lengths.
    SubscriptionSet alone, crowd;
    std::string reason;
    ASSERT_EQ(alone.add(1, pattern, &reason), SubscriptionSet::Added::kAdded) << pattern;
    for (uint32_t i = 0; i < 60; ++i)
      crowd.add(100 + i, i % 2 ? "^f" + std::string(i % 7, 'q') + "(.*)" : "z" + std::to_string(i),
                &reason);
    ASSERT_EQ(crowd.add(1, pattern, &reason), SubscriptionSet::Added::kAdded) << pattern;
    for (int t = 0; t < 60; ++t) {
      // Now and then a long text, to cross the scan's sixteen-byte steps.
      std::string text = pick(random, kTextPieces, int(random() % (t % 4 ? 6 : 40)));
      if (random() % 2) text = unescaped(literal) + text;
      if (random() % 4 == 0 && !text.empty()) text[random() % text.size()] ^= 1;  // a near miss
      Answer want = re2_answer(re, text);
      Answer got_alone = set_answer(alone, 1, text), got_crowd = set_answer(crowd, 1, text);
      ASSERT_EQ(got_alone, want) << "pattern " << pattern << " text \"" << text << "\": RE2 says "
                                 << show(want) << ", alone " << show(got_alone);
      ASSERT_EQ(got_crowd, want) << "pattern " << pattern << " text \"" << text << "\": RE2 says "
                                 << show(want) << ", among others " << show(got_crowd);
      ++compared;
      matched += want.matched;
    }
  }
  // The comparison means something only if both paths were taken often.
  EXPECT_GT(recognised, 800);
  EXPECT_GT(matched, compared / 10);
  std::printf("%d texts compared, %d matched; %d of the patterns matched by hand\n", compared,
              matched, recognised);
}

}  // namespace
