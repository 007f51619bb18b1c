// Subscriptions matched without RE2.  Most patterns are an anchored literal
// prefix and a simple tail ("^LIT", "^LIT$", "^LIT(.*)$", "^(LIT.*)$",
// "^LIT(\S+) (.*)"); recognising them lets a sender compare a message only
// with the subscriptions whose prefix it starts with, and cut the groups by
// hand.  Recognition is conservative: a pattern it does not fully
// understand stays RE2's, and so does every text that is not plain ASCII
// (where "." and "\S" would have to know UTF-8).  The answer, match and
// groups, is exactly RE2's; a differential test holds it to that.
#pragma once

#include <re2/re2.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace wex {

enum class Shape : uint8_t {
  kNone,           // not recognised: RE2 decides
  kPrefix,         // ^LIT
  kExact,          // ^LIT$
  kRest,           // ^LIT(.*)       group: the rest, up to a newline
  kRestToEnd,      // ^LIT(.*)$      group: the rest, which holds no newline
  kWhole,          // ^(LIT.*)       group: the text, up to a newline
  kWholeToEnd,     // ^(LIT.*)$      group: the text, which holds no newline
  kWordRest,       // ^LIT(\S+) (.*)   groups: a word, then the rest up to a newline
  kWordRestToEnd,  // ^LIT(\S+) (.*)$  groups: a word, then the rest without newline
};

struct FastPattern {
  Shape shape = Shape::kNone;
  std::string literal;  // ASCII, metacharacters unescaped
};

// What the pattern is, when it is one of the shapes above.
FastPattern recognize(std::string_view pattern);

// Whether text starts with literal.  Literals are short, so by overlapping
// loads of eight (or four) bytes rather than a call to memcmp.
inline bool starts_with(std::string_view text, std::string_view literal) {
  size_t n = literal.size();
  if (text.size() < n) return false;
  const char *a = text.data(), *b = literal.data();
  auto load8 = [](const char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
  };
  auto load4 = [](const char *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
  };
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8)
      if (load8(a + i) != load8(b + i)) return false;
    return load8(a + n - 8) == load8(b + n - 8);
  }
  if (n >= 4) return load4(a) == load4(b) && load4(a + n - 4) == load4(b + n - 4);
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// What matching by hand needs to know of a text, found in one pass.
struct TextScan {
  bool ascii = true;                        // every byte is ASCII: only then may fast_match decide
  size_t newline = std::string_view::npos;  // the first '\n' (when ascii)
};
TextScan scan_text(std::string_view text);

// For an ASCII text that starts with the pattern's literal, given the scan of
// the text: whether the pattern matches it, with its groups as RE2 would give
// them.
bool fast_match(const FastPattern &pattern, std::string_view text, const TextScan &scan,
                re2::StringPiece *groups);

}  // namespace wex
