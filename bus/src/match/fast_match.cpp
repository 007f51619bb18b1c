#include "match/fast_match.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace wex {
namespace {

// Characters that stand for themselves in a pattern, and the metacharacters
// that a backslash makes literal.  Anything else (a class, an escape like
// \d, a flag group) is left to RE2.
bool plain(char c) { return c >= 0x20 && c < 0x7f && !strchr("\\.+*?()|[]{}^$", c); }
bool escapable(char c) { return c != '\0' && strchr("\\.+*?()|[]{}^$-/ ", c) != nullptr; }

// Reads a literal from the front of p into *literal; returns what follows.
std::string_view take_literal(std::string_view p, std::string *literal) {
  size_t i = 0;
  while (i < p.size()) {
    if (plain(p[i])) {
      literal->push_back(p[i++]);
    } else if (p[i] == '\\' && i + 1 < p.size() && escapable(p[i + 1])) {
      literal->push_back(p[i + 1]);
      i += 2;
    } else {
      break;
    }
  }
  return p.substr(i);
}

bool whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

}  // namespace

FastPattern recognize(std::string_view p) {
  FastPattern f;
  if (p.empty() || p[0] != '^') return f;
  p.remove_prefix(1);
  if (p.substr(0, 1) == "(" && p.substr(0, 2) != "(?") {
    std::string_view tail = take_literal(p.substr(1), &f.literal);
    if (tail == ".*)") f.shape = Shape::kWhole;
    if (tail == ".*)$") f.shape = Shape::kWholeToEnd;
    return f;
  }
  std::string_view tail = take_literal(p, &f.literal);
  if (tail.empty()) f.shape = Shape::kPrefix;
  if (tail == "$") f.shape = Shape::kExact;
  if (tail == "(.*)") f.shape = Shape::kRest;
  if (tail == "(.*)$") f.shape = Shape::kRestToEnd;
  if (tail == "(\\S+) (.*)") f.shape = Shape::kWordRest;
  if (tail == "(\\S+) (.*)$") f.shape = Shape::kWordRestToEnd;
  return f;
}

TextScan scan_text(std::string_view text) {
  TextScan scan;
  const char *p = text.data();
  size_t n = text.size(), i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time, and the tail as the last sixteen, overlapping
  // what was scanned already.
  const __m128i newline = _mm_set1_epi8('\n');
  auto newlines = [&](__m128i v) {
    return unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, newline)));
  };
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
    if (_mm_movemask_epi8(v) != 0) return TextScan{false};
    if (unsigned m = newlines(v); m != 0 && scan.newline == std::string_view::npos)
      scan.newline = i + size_t(__builtin_ctz(m));
  }
  if (i < n && n >= 16) {
    size_t start = n - 16;
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + start));
    if (_mm_movemask_epi8(v) != 0) return TextScan{false};
    if (unsigned m = newlines(v) >> (i - start); m != 0 && scan.newline == std::string_view::npos)
      scan.newline = i + size_t(__builtin_ctz(m));
    i = n;
  }
#endif
  for (; i < n; ++i) {
    if (p[i] & 0x80) return TextScan{false};
    if (p[i] == '\n' && scan.newline == std::string_view::npos) scan.newline = i;
  }
  return scan;
}

// The literal holds no newline, and neither does a word that a blank ends, so
// the text's first newline is never before the part of it that a group takes.
bool fast_match(const FastPattern &f, std::string_view text, const TextScan &scan,
                re2::StringPiece *groups) {
  std::string_view rest = text.substr(f.literal.size());
  auto up_to_newline = [&](std::string_view s) {
    if (scan.newline == std::string_view::npos) return s;
    return s.substr(0, scan.newline - size_t(s.data() - text.data()));
  };
  bool no_newline = scan.newline == std::string_view::npos;
  switch (f.shape) {
    case Shape::kNone:
      return false;
    case Shape::kPrefix:
      return true;
    case Shape::kExact:
      return rest.empty();
    case Shape::kRest:
      groups[0] = re2::StringPiece(up_to_newline(rest));
      return true;
    case Shape::kRestToEnd:
      if (!no_newline) return false;
      groups[0] = re2::StringPiece(rest);
      return true;
    case Shape::kWhole:
      groups[0] = re2::StringPiece(up_to_newline(text));
      return true;
    case Shape::kWholeToEnd:
      if (!no_newline) return false;
      groups[0] = re2::StringPiece(text);
      return true;
    case Shape::kWordRest:
    case Shape::kWordRestToEnd: {
      // \S+ takes every non-blank it can and cannot give one back to the
      // space that must follow: the word ends at the first blank.
      size_t word = 0;
      while (word < rest.size() && !whitespace(rest[word])) ++word;
      if (word == 0 || word == rest.size() || rest[word] != ' ') return false;
      std::string_view after = rest.substr(word + 1);
      if (f.shape == Shape::kWordRestToEnd && !no_newline) return false;
      groups[0] = re2::StringPiece(rest.substr(0, word));
      groups[1] = re2::StringPiece(f.shape == Shape::kWordRest ? up_to_newline(after) : after);
      return true;
    }
  }
  return false;
}

}  // namespace wex
