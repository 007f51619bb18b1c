#!/bin/sh
# The install as a user gets it.  make install PREFIX=<a temporary prefix>;
# nothing installed may send a linker or a loader into this tree; then, with
# this tree's build directories moved aside, a small user project is built
# against the install alone (dune native and bytecode, ocamlfind native),
# with only the variables the README names, and each program meets the
# installed C++ agent on a loopback bus of its own; the installed wexprobe
# starts.  Every step is bounded by timeout; everything is put back and
# removed at the end.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${BUILD:-_cmake}
tmp=$(mktemp -d)
prefix=$tmp/prefix
passed=0 failed=0
pass() { echo "install: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL install: $*"; failed=$((failed + 1)); }

moved=""
restore() {
  for dir in $moved; do mv "$dir.away-$$" "$dir"; done
  moved=""
}
trap 'restore; rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM HUP

if ! timeout 900 make install BUILD="$build" PREFIX="$prefix" >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log"
  echo "FAIL install: make install failed"
  exit 1
fi

pass "make install PREFIX=$prefix"

# A part that cannot be installed fails make install: here the OCaml
# library's directory is taken by a file.
mkdir -p "$tmp/taken/lib" && : >"$tmp/taken/lib/wex"
if timeout 900 make install BUILD="$build" PREFIX="$tmp/taken" >"$tmp/taken.log" 2>&1; then
  fail "make install succeeded although lib/wex could not be made"
else
  pass "make install fails when the OCaml library cannot be installed"
fi

# Search paths recorded into the tree: RUNPATH of any installed ELF file, the
# link flags that wex.cma and wex.cmxa hand to every user's link, the
# findlib and pkg-config files.  (Debug information may name the tree.)
before=$failed
for file in $(find "$prefix" -type f); do
  readelf -d "$file" 2>/dev/null | grep -E '\((RPATH|RUNPATH)\)' | grep -qF "$top" &&
    fail "${file#$prefix/} has a search path into the source tree"
done
for archive in wex.cma wex.cmxa; do
  [ -f "$prefix/lib/wex/$archive" ] || { fail "no lib/wex/$archive"; continue; }
  ocamlobjinfo "$prefix/lib/wex/$archive" | grep '^Extra' | grep -F "$top" &&
    fail "$archive links users against the source tree"
done
grep -lF "$top" "$prefix/lib/wex/META" "$prefix/lib/wex/dune-package" \
  "$prefix/lib/pkgconfig/wex.pc" && fail "the files above name the source tree"
[ $failed = "$before" ] && pass "nothing installed has a search path into $top"

# The user's project, and the environment the README gives a user of a
# prefix of their own: nothing else of ours (no LD_LIBRARY_PATH, no
# LIBRARY_PATH, no PKG_CONFIG_PATH).
mkdir -p "$tmp/user" "$tmp/home"
cat >"$tmp/user/dune-project" <<'EOF'
(lang dune 2.9)
EOF
cat >"$tmp/user/dune" <<'EOF'
(executable (name agent) (modes byte exe) (libraries wex))
EOF
cat >"$tmp/user/agent.ml" <<'EOF'
(* Answers the first "ping TEXT" with "pong TEXT" and leaves; gives up
   after 10 s. *)
let () =
  Wex.init ~name:"user" (fun _ _ -> ());
  let _ =
    Wex.bind "^ping (.*)$" (fun _ texts ->
        Wex.sendf "pong %s" texts.(0);
        Wex.stop ())
  in
  let _ =
    Wex.Timer.every ~count:1 ~ms:10_000 (fun _ ->
        prerr_endline "agent: no ping within 10 s";
        exit 1)
  in
  Wex.start ~bus:Sys.argv.(1) ();
  Wex.main_loop ()
EOF
user() {
  env -i PATH="$PATH" HOME="$tmp/home" OCAMLPATH="$prefix/lib" \
    CAML_LD_LIBRARY_PATH="$prefix/lib/stublibs" "$@"
}

for dir in "$build" _build _build-install; do
  case $dir in /*) ;; *) dir=$top/$dir ;; esac
  if [ -e "$dir" ]; then
    mv "$dir" "$dir.away-$$" && moved="$moved $dir"
  fi
done

cd "$tmp/user"
if ! user timeout 300 dune build --root . ./agent.exe ./agent.bc 2>"$tmp/dune.log"; then
  cat "$tmp/dune.log"
  fail "dune could not build the user's agent against the install"
fi
if ! user timeout 300 ocamlfind ocamlopt -package wex -linkpkg agent.ml -o agent-findlib \
  2>"$tmp/findlib.log"; then
  cat "$tmp/findlib.log"
  fail "ocamlfind could not build the user's agent against the install"
fi

tab=$(printf '\t')
meet() { # NAME PROGRAM: the program answers the installed C++ agent's ping
  name=$1 program=$2
  [ -x "$program" ] || { fail "$name: no agent was built"; return; }
  port=$((20000 + $(od -An -N2 -tu2 /dev/urandom | tr -d ' ') % 40000))
  bus=127.255.255.255:$port
  printf 'ping %s\n' "$name" |
    user timeout 20 "$prefix/bin/wexagent" -b "$bus" -n cxx -p 1 -w 10000 -x 1 '^pong (.*)$' \
      >"$tmp/$name.cxx" 2>&1 &
  cxx=$!
  user timeout 20 "$program" "$bus" >"$tmp/$name.out" 2>&1
  code=$?
  if [ $code != 0 ]; then
    fail "$name agent: exit $code"
    kill "$cxx" 2>/dev/null
  fi
  wait "$cxx" || fail "$name: the installed wexagent: exit $?"
  if grep -qx "msg${tab}user${tab}0${tab}1${tab}$name" "$tmp/$name.cxx"; then
    pass "$name agent built against the install met the installed wexagent"
  else
    fail "$name: no pong reached the installed wexagent"
    cat "$tmp/$name.out" "$tmp/$name.cxx"
  fi
}
meet native _build/default/agent.exe
meet bytecode _build/default/agent.bc
meet findlib ./agent-findlib

if user timeout 10 "$prefix/bin/wexprobe" --help=plain >"$tmp/probe.help" 2>&1 &&
  grep -q '^SYNOPSIS' "$tmp/probe.help"; then
  pass "the installed wexprobe --help runs"
else
  cat "$tmp/probe.help"
  fail "the installed wexprobe --help"
fi

echo "install: $passed passed, $failed failed"
[ $failed = 0 ]
