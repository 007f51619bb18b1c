#include "base/environment.h"

#include <cerrno>
#include <cstdlib>

#include "base/diagnostics.h"

namespace wex {

const char *env_text(const char *name) {
  const char *text = std::getenv(name);
  return text && *text ? text : nullptr;
}

long env_long(const char *name, long fallback, long min, long max) {
  const char *text = env_text(name);
  if (!text) return fallback;
  char *end = nullptr;
  errno = 0;
  // strtol alone would also take leading blanks and a plus sign.
  bool digits =
      (text[0] >= '0' && text[0] <= '9') || (text[0] == '-' && text[1] >= '0' && text[1] <= '9');
  long value = digits ? std::strtol(text, &end, 10) : 0;
  if (!digits || errno != 0 || *end != '\0' || value < min || value > max) {
    warn("%s=\"%s\" ignored: want a whole number in %ld..%ld; using %ld", name, text, min, max,
         fallback);
    return fallback;
  }
  return value;
}

}  // namespace wex
