#!/bin/sh
# Two OCaml agents (the typed library, native and bytecode) beside two C++
# agents (bus_bench) in the same run: round trip and one-way throughput of
# 32-byte messages on loopback, each agent pinned with taskset, both on one
# CPU and then one on each.  The ratio OCaml/C++ is the figure to read; the
# target is 1.1 at most for native code, and 2 for bytecode one-way.  Runs
# on these small machines swing by a factor of two, so each figure is the
# best of $OCAML_BENCH_RUNS runs (default 3).
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
cxx=${WEX_BENCH_BIN:?run through bench/run.sh or set WEX_BENCH_BIN}/bus_bench
build=${BUILD:-_cmake}
case $build in /*) ;; *) build=$top/$build ;; esac
export PKG_CONFIG_PATH=${PKG_CONFIG_PATH:-$build/pkgconfig}
export LD_LIBRARY_PATH=${LD_LIBRARY_PATH:-$build/lib}
rounds=${OCAML_BENCH_ROUNDS:-20000}
messages=${OCAML_BENCH_MESSAGES:-1000000}
runs=${OCAML_BENCH_RUNS:-3}
cd "$top"
dune build --profile release ./bench/ocaml_bench/ocaml_bench.exe ./bench/ocaml_bench/ocaml_bench.bc
out=${DUNE_BUILD_DIR:-_build}/default
export CAML_LD_LIBRARY_PATH=$top/$out/stubs:$top/$out/ocaml${CAML_LD_LIBRARY_PATH:+:$CAML_LD_LIBRARY_PATH}
native=$top/$out/bench/ocaml_bench/ocaml_bench.exe
bytecode=$top/$out/bench/ocaml_bench/ocaml_bench.bc

port() { sh "$(dirname "$0")/../scripts/random-port.sh"; }
# The number in a line such as "bus round trip: 12.34 us".
figure() { sed -n 's/.*: \([0-9.]*\) .*/\1/p'; }

# best lowest|highest COMMAND... -> the best figure of $runs runs
best() {
  order=$1; shift
  i=0
  while [ $i -lt "$runs" ]; do "$@"; i=$((i + 1)); done |
    sort -g | if [ "$order" = lowest ]; then head -n 1; else tail -n 1; fi
}

# rtt PROGRAM SERVER_CPU CLIENT_CPU -> microseconds per round trip
rtt() {
  bus=":$(port)"
  taskset -c "$2" "$1" echo "$bus" & server=$!
  taskset -c "$3" "$1" rtt "$bus" "$rounds" | figure
  kill $server; wait $server 2>/dev/null || true
}

# oneway PROGRAM SINK_CPU SOURCE_CPU -> millions of messages per second
oneway() {
  bus=":$(port)"
  taskset -c "$2" "$1" sink "$bus" "$messages" > "$tmp" & sink=$!
  taskset -c "$3" "$1" source "$bus" "$messages" > /dev/null
  wait $sink || true
  figure < "$tmp"
}

tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "?" }'; }

for placement in "0 0" "0 1"; do
  set -- $placement
  echo "-- agents on CPUs $1 and $2"
  c=$(best lowest rtt "$cxx" "$1" "$2")
  n=$(best lowest rtt "$native" "$1" "$2")
  b=$(best lowest rtt "$bytecode" "$1" "$2")
  echo "   round trip (us, lower is better): C++ $c, OCaml native $n ($(ratio "$n" "$c")x), bytecode $b ($(ratio "$b" "$c")x)"
  c=$(best highest oneway "$cxx" "$1" "$2")
  n=$(best highest oneway "$native" "$1" "$2")
  b=$(best highest oneway "$bytecode" "$1" "$2")
  echo "   one-way (M msg/s, higher is better): C++ $c, OCaml native $n ($(ratio "$c" "$n")x slower), bytecode $b ($(ratio "$c" "$b")x slower)"
done
