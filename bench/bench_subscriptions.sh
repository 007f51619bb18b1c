#!/bin/sh
# A send's matching cost while the receiver's subscriptions change
# (bench/subscriptions_bench.cpp).  Pinned to one processor where taskset
# exists.
set -e
bin=${WEX_BENCH_BIN:?run through bench/run.sh or set WEX_BENCH_BIN}/subscriptions_bench
if command -v taskset >/dev/null 2>&1; then
  exec taskset -c 0 "$bin" "$@"
fi
exec "$bin" "$@"
