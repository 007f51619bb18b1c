// The environment variables the library reads, each through one checked
// helper: a value that is not what the variable wants is refused with a line
// naming the variable and the range, and the default applies.
#pragma once

namespace wex {

// The variable's value when set to a decimal in [min, max]; fallback when
// unset or empty, and (with a line on the log) when it is anything else.
long env_long(const char *name, long fallback, long min, long max);

// The variable's text, or nullptr when unset or empty.
const char *env_text(const char *name);

}  // namespace wex
