#!/bin/sh
# Fails when a C or C++ file of the tree differs from what .clang-format
# makes of it, naming each one; `sh scripts/check-format.sh --fix` rewrites
# them instead.  OCaml files follow .ocamlformat, checked with
# `dune build @fmt` wherever ocamlformat is installed (Debian 12 has no
# package of it, so a machine without it says so and skips that half).
cd "$(dirname "$0")/.." || exit 1
command -v clang-format >/dev/null || { echo "check-format: clang-format is not installed" >&2; exit 1; }
status=0
for f in $(git ls-files --cached --others --exclude-standard '*.c' '*.h' '*.cpp'); do
  if [ "$1" = "--fix" ]; then
    clang-format -i "$f"
  elif ! clang-format "$f" | cmp -s - "$f"; then
    echo "check-format: $f differs from .clang-format (sh scripts/check-format.sh --fix)" >&2
    status=1
  fi
done
if command -v ocamlformat >/dev/null; then
  if [ "$1" = "--fix" ]; then dune build @fmt --auto-promote >/dev/null 2>&1; else dune build @fmt || status=1; fi
else
  echo "check-format: ocamlformat not installed; OCaml formatting not checked"
fi
exit $status
