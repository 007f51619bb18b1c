// The one way the library speaks: every diagnostic line goes through the log
// handler (stderr by default, see WexSetLogHandler), and every refusal of a
// public call also becomes this thread's WexLastError().
#pragma once

#include <cstdarg>

namespace wex {

// A line for the log: something went wrong that no caller is waiting to hear
// about (a peer dropped, a datagram that could not be sent).
void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A public call refused its input or could not do its work: the line goes to
// the log and becomes WexLastError() on this thread.
void refuse(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace wex
