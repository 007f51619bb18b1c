#!/bin/sh
# Builds the benchmarks and runs every bench/bench_*.sh in turn.  Figures on
# these small machines swing between runs: read them as ratios taken in one run.
set -e
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
build=${BUILD:-_cmake}
cmake -S "$top/bus" -B "$top/$build" -DWEX_BENCH=ON >/dev/null
cmake --build "$top/$build" -j 2 >/dev/null
export WEX_BENCH_BIN="$top/$build/bench"
for script in "$here"/bench_*.sh; do
  [ -f "$script" ] || continue
  echo "== $(basename "$script" .sh)"
  sh "$script"
done
