// The log handler and the last error.  Lines are formatted into a buffer on
// the stack, so that a diagnostic never allocates; the last error is a
// per-thread copy, because a refusal is the caller's business, on the
// caller's thread.
#include "base/diagnostics.h"

#include <cstdio>
#include <cstring>

#include "wex.h"

namespace wex {
namespace {

constexpr size_t kLineSize = 512;

void to_stderr(const char *line, void *) { std::fprintf(stderr, "wex: %s\n", line); }

WexLogHandler log_handler = to_stderr;
void *log_data = nullptr;
thread_local char last_error[kLineSize] = "";

// Lines carry texts that peers chose (names, patterns, RE2's reasons about
// them): a control byte could forge a line or drive a terminal, so every
// one becomes \xHH.  Cut to the buffer's size.
void escape_controls(const char *from, char *to, size_t size) {
  size_t n = 0;
  for (const unsigned char *c = reinterpret_cast<const unsigned char *>(from); *c; ++c) {
    if (*c >= 0x20 && *c != 0x7f) {
      if (n + 1 >= size) break;
      to[n++] = char(*c);
    } else {
      if (n + 4 >= size) break;
      n += size_t(std::snprintf(to + n, size - n, "\\x%02x", *c));
    }
  }
  to[n] = '\0';
}

void log_line(const char *line) {
  if (log_handler) log_handler(line, log_data);
}

}  // namespace

namespace {

// The line a format makes, its control bytes escaped.
void format_line(char *out, size_t size, const char *fmt, va_list ap) {
  char raw[kLineSize];
  std::vsnprintf(raw, sizeof raw, fmt, ap);
  escape_controls(raw, out, size);
}

}  // namespace

void warn(const char *fmt, ...) {
  char line[kLineSize];
  va_list ap;
  va_start(ap, fmt);
  format_line(line, sizeof line, fmt, ap);
  va_end(ap);
  log_line(line);
}

void refuse(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  format_line(last_error, sizeof last_error, fmt, ap);
  va_end(ap);
  log_line(last_error);
}

}  // namespace wex

const char *WexLastError(void) { return wex::last_error; }

void WexSetLogHandler(WexLogHandler handler, void *user_data) {
  wex::log_handler = handler;
  wex::log_data = user_data;
}
