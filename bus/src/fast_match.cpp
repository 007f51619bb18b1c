#include "fast_match.h"

#include <cstring>

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

bool plain_ascii(std::string_view text) {
  const char *p = text.data();
  size_t n = text.size(), i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < n; ++i)
    if (p[i] & 0x80) return false;
  return true;
}

bool fast_match(const FastPattern &f, std::string_view text, re2::StringPiece *groups) {
  std::string_view rest = text.substr(f.literal.size());
  auto up_to_newline = [](std::string_view s) { return s.substr(0, s.find('\n')); };
  auto no_newline = [](std::string_view s) { return s.find('\n') == std::string_view::npos; };
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
      if (!no_newline(rest)) return false;
      groups[0] = re2::StringPiece(rest);
      return true;
    case Shape::kWhole:
      groups[0] = re2::StringPiece(up_to_newline(text));
      return true;
    case Shape::kWholeToEnd:
      if (!no_newline(text)) return false;
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
      if (f.shape == Shape::kWordRestToEnd && !no_newline(after)) return false;
      groups[0] = re2::StringPiece(rest.substr(0, word));
      groups[1] = re2::StringPiece(f.shape == Shape::kWordRest ? up_to_newline(after) : after);
      return true;
    }
  }
  return false;
}

}  // namespace wex
