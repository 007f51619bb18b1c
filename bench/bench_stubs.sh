#!/bin/sh
# The stub library's crossing costs (bench/stubs_bench), native then bytecode,
# each beside its baselines of the same run.  Pinned to one processor where
# taskset exists.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-_cmake}
case $build in /*) ;; *) build=$top/$build ;; esac
export PKG_CONFIG_PATH=${PKG_CONFIG_PATH:-$build/pkgconfig}
export LD_LIBRARY_PATH=${LD_LIBRARY_PATH:-$build/lib}
cd "$top"
dune build --profile release ./bench/stubs_bench/stubs_bench.exe ./bench/stubs_bench/stubs_bench.bc
out=$top/_build/default
# Where ocamlrun finds dllwex_stubs.so and the benchmark's own stubs.
export CAML_LD_LIBRARY_PATH=$out/stubs:$out/bench/stubs_bench${CAML_LD_LIBRARY_PATH:+:$CAML_LD_LIBRARY_PATH}
pin=
if command -v taskset >/dev/null 2>&1; then pin="taskset -c 0"; fi
$pin "$out/bench/stubs_bench/stubs_bench.exe"
$pin ocamlrun "$out/bench/stubs_bench/stubs_bench.bc"
