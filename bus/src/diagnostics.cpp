// The log handler and the last error.  Lines are formatted into a buffer on
// the stack, so that a diagnostic never allocates; the last error is a
// per-thread copy, because a refusal is the caller's business, on the
// caller's thread.
#include "diagnostics.h"

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

void log_line(const char *line) {
  if (log_handler) log_handler(line, log_data);
}

}  // namespace

void warn(const char *fmt, ...) {
  char line[kLineSize];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  log_line(line);
}

void refuse(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(last_error, sizeof last_error, fmt, ap);
  va_end(ap);
  log_line(last_error);
}

}  // namespace wex

const char *WexLastError(void) { return wex::last_error; }

void WexSetLogHandler(WexLogHandler handler, void *user_data) {
  wex::log_handler = handler;
  wex::log_data = user_data;
}
