// The matching by hand against RE2 itself, on any pattern and any text.
// A pattern is either the fuzzer's bytes as they stand (so that
// recognition meets every kind of pattern text) or one of the recognised
// shapes, or a near miss, around a literal of the fuzzer's bytes, escaped
// or not; the text may start with that literal, so that the matches are
// not left to chance.
//
// Checked: whatever RE2 compiles, a SubscriptionSet answers exactly as RE2
// does, match and every group, alone and among subscriptions whose
// literals share a prefix with it (the index and the set); and a pattern
// taken as a shape has a literal the text must start with to match.
//
// Input: a flags byte (1: the pattern is raw; 2: the literal is escaped
// where RE2 would read it as an operator; 4: the text starts with the
// literal), a shape byte, a length byte, the literal or raw pattern of
// that length, then the text.
#include <string>

#include "fuzz.h"
#include "match_answers.h"

using namespace wex;

namespace {

const char *const kShapes[] = {
    // recognised
    "^L", "^L$", "^L(.*)", "^L(.*)$", "^(L.*)", "^(L.*)$", "^L(\\S+) (.*)", "^L(\\S+) (.*)$",
    // near misses
    "L(.*)", "^L(.+)", "^L(.*?)", "(?i)^L", "^L(\\S+)(.*)", "^L(\\s+) (.*)", "^L(\\S*) (.*)",
    "^(L.*)$x", "^L(.*)\\n", "^L|x", "^(?:L)(.*)", "^L(.*)(.*)", "(?s)^L(.*)$", "^L(\\S+) (.*)$$"};
constexpr size_t kShapeCount = sizeof kShapes / sizeof *kShapes;

std::string escaped(std::string_view literal) {
  std::string s;
  for (char c : literal) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) s += '\\';
    s += c;
  }
  return s;
}

// Patterns whose literals begin like most texts will, so that the index
// holds several candidates for one text.  Built once: each input's pattern
// joins it and leaves again, as subscriptions churn.
SubscriptionSet &crowd() {
  static SubscriptionSet *set = [] {
    auto *s = new SubscriptionSet;
    std::string reason;
    const char *const others[] = {
        "^a",          "^ab(.*)", "^a(\\S+) (.*)", "^(abc.*)$", "^b(.*)",
        "^[ab]+ (.*)", "^ab$",    "^(a.*)",        "x(.*)$",    "^a\\(b\\) (\\S+) (.*)$"};
    uint32_t id = 100;
    for (const char *p : others)
      FUZZ_CHECK(s->add(id++, p, &reason) == SubscriptionSet::Added::kAdded);
    return s;
  }();
  return *set;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  uint8_t flags = in.u8();
  const char *shape = kShapes[in.u8() % kShapeCount];
  std::string literal(in.bytes(in.u8()));
  std::string text(in.rest());

  std::string pattern;
  if (flags & 1) {
    pattern = literal;
  } else {
    pattern = shape;
    pattern.replace(pattern.find('L'), 1, flags & 2 ? escaped(literal) : literal);
  }
  if (flags & 4) text = literal + text;

  RE2 re(pattern, pattern_options());
  if (!re.ok()) return 0;
  Answer want = re2_answer(re, text);

  std::string reason;
  SubscriptionSet alone;
  if (alone.add(1, pattern, &reason) != SubscriptionSet::Added::kAdded) return 0;
  FUZZ_CHECK(set_answer(alone, 1, text) == want);
  FUZZ_CHECK(crowd().add(1, pattern, &reason) == SubscriptionSet::Added::kAdded);
  Answer among_others = set_answer(crowd(), 1, text);
  FUZZ_CHECK(crowd().remove(1));
  FUZZ_CHECK(among_others == want);

  FastPattern fast = recognize(pattern);
  if (fast.shape != Shape::kNone && want.matched)
    FUZZ_CHECK(text.compare(0, fast.literal.size(), fast.literal) == 0);
  return 0;
}
