// Storage for the library's global state: constant-initialized, so that it
// exists before any static initializer of a program can call in, and never
// destroyed, so that exit handlers may still call in and leak checkers see
// everything reachable.
#pragma once

namespace wex {

template <typename T>
union Immortal {
  T value;
  constexpr Immortal() : value() {}
  ~Immortal() {}
};

}  // namespace wex
