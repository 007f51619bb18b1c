// What the C++ benchmark programs share: the payload, a clock and the
// checked reading of a count argument.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace bench {

constexpr char kPayload[] = "0123456789abcdef0123456789abcdef";  // 32 bytes
constexpr int kPayloadSize = 32;
static_assert(sizeof kPayload == kPayloadSize + 1);

inline double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A positive count, or the program ends saying what was wrong.
inline long count_arg(const char *program, const char *text) {
  char *end;
  long v = strtol(text, &end, 10);
  if (*end || v <= 0) {
    fprintf(stderr, "%s: \"%s\" is not a positive count\n", program, text);
    exit(2);
  }
  return v;
}

}  // namespace bench
